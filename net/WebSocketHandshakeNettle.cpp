#include <nettle/base64.h>
#include <nettle/sha1.h>

#include <cstdint>

#include "WebSocketHandshake.h"

namespace hNet {

std::string WebSocketAcceptKey(std::string_view clientKey) {
    const std::string keyed = std::string(clientKey).append(WebSocketKeySuffix);
    sha1_ctx context;
    sha1_init(&context);
    sha1_update(&context, keyed.size(), reinterpret_cast<const std::uint8_t*>(keyed.data()));
    std::uint8_t digest[SHA1_DIGEST_SIZE];
    sha1_digest(&context, sizeof(digest), digest);
    std::string accept(BASE64_ENCODE_RAW_LENGTH(sizeof(digest)), '\0');
    base64_encode_raw(accept.data(), sizeof(digest), digest);
    return accept;
}

}  // namespace hNet
