#include "HttpRequest.h"

#include <algorithm>
#include <cstring>

#include "HttpText.h"

namespace hNet {

namespace {

bool IsFieldValueByte(unsigned char byte) {
    return byte == '\t' || (byte >= ' ' && byte != 0x7F);
}

bool IsVersion(std::string_view text) {
    return text.size() == 8 && text.substr(0, 5) == "HTTP/" && IsDigit(text[5]) && text[6] == '.' &&
           IsDigit(text[7]);
}

// METHOD SP target SP HTTP/x.y, with single spaces and a target of visible ASCII.
bool ParseRequestLine(std::string_view line, HttpRequest& request) {
    const std::size_t methodEnd = line.find(' ');
    if (methodEnd == std::string_view::npos) {
        return false;
    }
    const std::size_t targetEnd = line.find(' ', methodEnd + 1);
    if (targetEnd == std::string_view::npos) {
        return false;
    }
    const std::string_view method = line.substr(0, methodEnd);
    const std::string_view target = line.substr(methodEnd + 1, targetEnd - methodEnd - 1);
    const std::string_view version = line.substr(targetEnd + 1);
    const auto visible = [](unsigned char byte) { return byte > ' ' && byte < 0x7F; };
    if (!IsToken(method) || target.empty() || !std::all_of(target.begin(), target.end(), visible) ||
        !IsVersion(version)) {
        return false;
    }
    request.method = method;
    request.target = target;
    request.version = version;
    return true;
}

// name: value, the name right against the colon (so no folded line gets through).
bool ParseFieldLine(std::string_view line, HttpRequest& request) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
        return false;
    }
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (!std::all_of(value.begin(), value.end(), IsFieldValueByte)) {
        return false;
    }
    std::string name = AsciiLower(line.substr(0, colon));
    const auto same = std::find_if(request.fields.begin(), request.fields.end(),
                                   [&name](const auto& field) { return field.first == name; });
    if (same == request.fields.end()) {
        request.fields.emplace_back(std::move(name), value);
    } else if (!value.empty()) {
        // An empty value adds nothing to the list.
        same->second.append(same->second.empty() ? "" : ", ").append(value);
    }
    return true;
}

// The length of the head through its blank line, 0 while it has not all come, or npos
// where a line ends in a bare LF.
std::size_t FindHeadEnd(std::string_view window) {
    std::size_t lineStart = 0;
    for (std::size_t lf = window.find('\n'); lf != std::string_view::npos;
         lf = window.find('\n', lineStart)) {
        if (lf == 0 || window[lf - 1] != '\r') {
            return std::string_view::npos;
        }
        if (lf - 1 == lineStart) {
            return lf + 1;
        }
        lineStart = lf + 1;
    }
    return 0;
}

}  // namespace

const std::string* HttpRequest::Field(std::string_view lowerName) const {
    for (const auto& [name, value] : fields) {
        if (name == lowerName) {
            return &value;
        }
    }
    return nullptr;
}

HeadParse ParseRequestHead(std::string_view received, HttpRequest& request,
                           std::size_t& headBytes) {
    const std::string_view window = received.substr(0, MaxRequestHeadBytes);
    const std::size_t end = FindHeadEnd(window);
    if (end == std::string_view::npos) {
        return HeadParse::Malformed;
    }
    if (end == 0) {
        return window.size() == MaxRequestHeadBytes ? HeadParse::TooLarge : HeadParse::Incomplete;
    }
    request = HttpRequest();
    // The lines before the blank one, each ending with CR LF.
    std::string_view lines = window.substr(0, end - 2);
    for (std::size_t index = 0; !lines.empty(); ++index) {
        const std::size_t lineEnd = lines.find("\r\n");
        const std::string_view line = lines.substr(0, lineEnd);
        lines.remove_prefix(lineEnd + 2);
        if (index > MaxRequestFields) {
            return HeadParse::TooLarge;
        }
        if (!(index == 0 ? ParseRequestLine(line, request) : ParseFieldLine(line, request))) {
            return HeadParse::Malformed;
        }
    }
    if (request.method.empty()) {
        return HeadParse::Malformed;
    }
    headBytes = end;
    return HeadParse::Complete;
}

}  // namespace hNet
