#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "helper/phone/push/Expected.h"

namespace ringlark::helper::push {

// One 4096-byte record holds the 86-byte header, the plaintext, its one-byte
// delimiter and the 16-byte tag: 3993 bytes of plaintext at most.
inline constexpr std::uint32_t kRecordSize = 4096;
inline constexpr std::size_t kMaxPlaintext = 3993;

// Fixed values in place of the fresh ones every message gets; tests only.
struct EceFixed {
    std::string asPrivate;  // 32-byte P-256 scalar
    std::string salt;       // 16 bytes
};

// Encrypts a push message for one subscription with the aes128gcm content
// coding in a single record. uaPublic is the subscription's p256dh key
// (65-byte uncompressed point) and authSecret its 16-byte auth secret, both
// already decoded. Gives the whole request body: header, then ciphertext.
Expected<std::string> encrypt(std::string_view plaintext, std::string_view uaPublic, std::string_view authSecret,
                              const std::optional<EceFixed>& fixed = std::nullopt);

} // namespace ringlark::helper::push
