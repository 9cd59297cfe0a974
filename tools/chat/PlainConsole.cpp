#include <array>

#include "ChatConsole.h"
#include "ConsoleInput.h"
#include "WireFormat.h"

namespace {

constexpr std::size_t InputChunkBytes = 4096;

}  // namespace

bool PlainConsole::ReadInput(const LineHandler& onLine) {
    std::array<char, InputChunkBytes> chunk{};
    const int count = ReadHandle(input, chunk.data(), static_cast<int>(chunk.size()));
    if (count <= 0) {
        if (!partialLine.empty() && !skippingLongLine) {
            onLine(std::move(partialLine));
        }
        partialLine.clear();
        return false;
    }
    bool wanted = true;
    for (int i = 0; i < count && wanted; ++i) {
        const char c = chunk[static_cast<std::size_t>(i)];
        if (c == '\n') {
            if (!skippingLongLine) {
                wanted = onLine(std::move(partialLine));
            }
            partialLine.clear();
            skippingLongLine = false;
        } else if (!skippingLongLine) {
            partialLine += c;
            // Bounds the line buffer: no line this long can be sent anyway.
            if (partialLine.size() > hNet::MaxTextBytes + 1) {
                Warn("line too long: at most " + std::to_string(hNet::MaxTextBytes) +
                     " bytes fit one message; not sent.");
                partialLine.clear();
                skippingLongLine = true;
            }
        }
    }
    return true;
}
