#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "helper/phone/push/Expected.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace ringlark::helper::push {

// The computer's P-256 key that signs every push request. Browsers bind each
// subscription to its public half, so the key must outlive them all: a key
// file that cannot be read is reported, never replaced, because a new key
// would silently cut off every phone.
class VapidKey {
public:
    // Reads the PEM private key at `path`, or makes one and stores it there
    // (mode 0600, written to a temporary file and renamed into place). Refuses
    // a symbolic link, a file owned by someone else or open to other users,
    // and a file that does not hold a P-256 key. The folder must exist.
    static Expected<VapidKey> loadOrCreate(const std::filesystem::path& path);

    static Expected<VapidKey> fromPem(std::string_view pem);
    static Expected<VapidKey> generate();

    // The 65-byte uncompressed point, and the form browsers take as
    // applicationServerKey.
    const std::string& publicKey() const { return public_; }
    std::string publicKeyBase64Url() const;

    // ES256 signature in raw r || s form (64 bytes).
    Expected<std::string> sign(std::string_view message) const;
    Expected<std::string> toPem() const;

private:
    VapidKey(std::shared_ptr<EVP_PKEY> key, std::string publicPoint);

    // Shared so copies are cheap; signing leaves the key unchanged, so threads may share it.
    std::shared_ptr<EVP_PKEY> key_;
    std::string public_;
};

} // namespace ringlark::helper::push
