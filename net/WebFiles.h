#pragma once

#include <cstddef>
#include <string_view>

namespace hNet {

// The files a server serves, as the program embeds them: nothing is read from disk.
struct WebFile {
    std::string_view path;         // "/index.html"
    std::string_view contentType;  // "text/html; charset=utf-8"
    std::string_view body;
    std::string_view etag;  // quoted, made from the content at build time
};

struct WebSite {
    const WebFile* files;
    std::size_t count;
    std::string_view index;           // the path of the file served for "/"
    std::string_view securityPolicy;  // sent as Content-Security-Policy with every file
};

}  // namespace hNet
