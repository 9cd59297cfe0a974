#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which they need.
#include <bcrypt.h>
#include <wincrypt.h>

#include "WebSocketHandshake.h"

namespace hNet {

namespace {

constexpr ULONG Sha1Bytes = 20;

// Opened once and kept for the life of the program, as CNG recommends.
BCRYPT_ALG_HANDLE Sha1Provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        return BCRYPT_SUCCESS(
                   BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA1_ALGORITHM, nullptr, 0))
                   ? opened
                   : nullptr;
    }();
    return provider;
}

}  // namespace

std::string WebSocketAcceptKey(std::string_view clientKey) {
    std::string keyed = std::string(clientKey).append(WebSocketKeySuffix);
    UCHAR digest[Sha1Bytes];
    if (Sha1Provider() == nullptr ||
        !BCRYPT_SUCCESS(BCryptHash(Sha1Provider(), nullptr, 0,
                                   reinterpret_cast<PUCHAR>(keyed.data()),
                                   static_cast<ULONG>(keyed.size()), digest, Sha1Bytes))) {
        return {};
    }
    char accept[32];
    DWORD length = sizeof(accept);
    if (!CryptBinaryToStringA(digest, Sha1Bytes, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, accept,
                              &length)) {
        return {};
    }
    return std::string(accept, length);
}

}  // namespace hNet
