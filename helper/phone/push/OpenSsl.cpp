#include "helper/phone/push/OpenSsl.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

namespace ringlark::helper::push::ossl {

namespace {

struct CtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
    void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
    void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
    void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};
template <class T>
using Owned = std::unique_ptr<T, CtxFree>;

const unsigned char* bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }
unsigned char* bytes(std::string& s) { return reinterpret_cast<unsigned char*>(s.data()); }

// Failures are reported by our return values; leftovers on the queue would be
// misread by the next caller on this thread (cpp-httplib among them).
template <class T>
T clean(T value)
{
    ERR_clear_error();
    return value;
}

} // namespace

Pkey publicKeyFromPoint(std::string_view point)
{
    if (point.size() != kPointSize || point[0] != 0x04)
        return clean(Pkey{});
    char group[] = "prime256v1";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<char*>(point.data()), point.size()),
        OSSL_PARAM_construct_end(),
    };
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0
        || EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params) <= 0)
        return clean(Pkey{});
    Pkey key(raw);
    // Importing already rejects points off the curve; the explicit check keeps
    // that true whatever the provider does.
    Owned<EVP_PKEY_CTX> check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1)
        return clean(Pkey{});
    return key;
}

Pkey keyFromScalar(std::string_view scalar)
{
    if (scalar.size() != kScalarSize)
        return Pkey{};
    // An ECPrivateKey structure without its optional public key: decoding it
    // derives the public point, which importing the bare scalar does not.
    static constexpr unsigned char head[] = {0x30, 0x31, 0x02, 0x01, 0x01, 0x04, 0x20};
    static constexpr unsigned char tail[] = {0xa0, 0x0a, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
    std::string der(reinterpret_cast<const char*>(head), sizeof head);
    der.append(scalar);
    der.append(reinterpret_cast<const char*>(tail), sizeof tail);
    const unsigned char* p = bytes(der);
    Pkey key(d2i_PrivateKey(EVP_PKEY_EC, nullptr, &p, static_cast<long>(der.size())));
    wipe(der);
    if (!key)
        return clean(Pkey{});
    Owned<EVP_PKEY_CTX> check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!check || EVP_PKEY_check(check.get()) != 1)
        return clean(Pkey{});
    return key;
}

Pkey generateP256()
{
    return clean(Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")));
}

bool isP256(EVP_PKEY* key)
{
    char group[32] = {};
    std::size_t length = 0;
    const bool ok = key && EVP_PKEY_is_a(key, "EC")
        && EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) == 1
        && (std::string_view(group) == "prime256v1" || std::string_view(group) == "P-256");
    return clean(ok);
}

std::optional<std::string> publicPoint(EVP_PKEY* key)
{
    std::string out(kPointSize, '\0');
    std::size_t length = 0;
    // Uncompressed is the default encoding for EC keys.
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, bytes(out), out.size(), &length) != 1
        || length != kPointSize || out[0] != 0x04)
        return clean(std::optional<std::string>{});
    return out;
}

std::optional<std::string> ecdh(EVP_PKEY* own, EVP_PKEY* peer)
{
    // Peers come from publicKeyFromPoint, which has checked them; checking
    // again here would double the cost of a push.
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own, nullptr));
    std::size_t length = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) <= 0 || EVP_PKEY_derive_set_peer_ex(ctx.get(), peer, 0) <= 0
        || EVP_PKEY_derive(ctx.get(), nullptr, &length) <= 0)
        return clean(std::optional<std::string>{});
    std::string secret(length, '\0');
    if (EVP_PKEY_derive(ctx.get(), bytes(secret), &length) <= 0)
        return clean(std::optional<std::string>{});
    secret.resize(length);
    return secret;
}

std::optional<std::string> hkdf(std::string_view salt, std::string_view ikm, std::string_view info,
                                std::size_t length)
{
    Owned<EVP_KDF> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    Owned<EVP_KDF_CTX> ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    if (!ctx)
        return clean(std::optional<std::string>{});
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(salt.data()), salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<char*>(ikm.data()), ikm.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info.data()), info.size()),
        OSSL_PARAM_construct_end(),
    };
    std::string out(length, '\0');
    if (EVP_KDF_derive(ctx.get(), bytes(out), out.size(), params) != 1)
        return clean(std::optional<std::string>{});
    return out;
}

std::optional<std::string> sha256(std::string_view data)
{
    std::string out(32, '\0');
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), bytes(out), &length, EVP_sha256(), nullptr) != 1 || length != 32)
        return clean(std::optional<std::string>{});
    return out;
}

std::optional<std::string> randomBytes(std::size_t count)
{
    std::string out(count, '\0');
    if (RAND_bytes(bytes(out), static_cast<int>(count)) != 1)
        return clean(std::optional<std::string>{});
    return out;
}

std::optional<std::string> signEs256(EVP_PKEY* key, std::string_view message)
{
    Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1
        || EVP_DigestSign(ctx.get(), nullptr, &length, bytes(message), message.size()) != 1)
        return clean(std::optional<std::string>{});
    std::string der(length, '\0');
    if (EVP_DigestSign(ctx.get(), bytes(der), &length, bytes(message), message.size()) != 1)
        return clean(std::optional<std::string>{});

    // OpenSSL gives SEQUENCE { r INTEGER, s INTEGER }; JWS wants both as
    // fixed 32-byte big-endian numbers side by side.
    const unsigned char* p = bytes(der);
    Owned<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length)));
    if (!sig)
        return clean(std::optional<std::string>{});
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(sig.get(), &r, &s);
    std::string raw(64, '\0');
    if (BN_bn2binpad(r, bytes(raw), 32) != 32 || BN_bn2binpad(s, bytes(raw) + 32, 32) != 32)
        return clean(std::optional<std::string>{});
    return raw;
}

void wipe(std::string& secret)
{
    OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

} // namespace ringlark::helper::push::ossl
