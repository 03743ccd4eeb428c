#pragma once

// Small owners and one-call helpers over OpenSSL's EVP interface, shared by
// the push files. Every helper returns nullopt/null on failure and leaves no
// error on OpenSSL's thread-local queue.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/evp.h>

namespace ringlark::helper::push::ossl {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

inline constexpr std::size_t kPointSize = 65;  // 0x04 || x || y
inline constexpr std::size_t kScalarSize = 32;

// A P-256 public key from its uncompressed point; null unless the point is on the curve.
Pkey publicKeyFromPoint(std::string_view point);
// A P-256 key pair from its private scalar (the public half is derived).
Pkey keyFromScalar(std::string_view scalar);
Pkey generateP256();
bool isP256(EVP_PKEY* key);

std::optional<std::string> publicPoint(EVP_PKEY* key);
// `peer` must come from publicKeyFromPoint (it is not checked again).
std::optional<std::string> ecdh(EVP_PKEY* own, EVP_PKEY* peer);
// HKDF-SHA-256, extract and expand in one.
std::optional<std::string> hkdf(std::string_view salt, std::string_view ikm, std::string_view info,
                                std::size_t length);
std::optional<std::string> sha256(std::string_view data);
std::optional<std::string> randomBytes(std::size_t count);

// ES256: signs SHA-256 of the message and gives the raw r || s form JWTs use.
std::optional<std::string> signEs256(EVP_PKEY* key, std::string_view message);

// Overwrites a string that held a secret before it is freed.
void wipe(std::string& secret);

} // namespace ringlark::helper::push::ossl
