#pragma once

#include <string>

#include "WebSocketFrame.h"

namespace hNet {

// What the connection of a browser keeps besides what every connection does: where it
// stands in the frames the browser sends, and the control frames on their way.
struct WebSocketState {
    FrameReader reader{FrameReader::Peer::Client};
    // The payload of the control frame being read: at most MaxControlPayloadBytes.
    std::string controlPayload;
    // Control frames to send once the data frame being sent is whole. Only the latest
    // ping is answered, so this holds one pong at most.
    std::string pendingControl;
};

}  // namespace hNet
