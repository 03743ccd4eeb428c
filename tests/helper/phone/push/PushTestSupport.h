#pragma once

// The other side of the push layer for tests: a subscriber that decrypts as a
// browser does, a token verifier, throwaway certificates, collected outcomes.

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "helper/phone/push/Base64Url.h"
#include "helper/phone/push/OpenSsl.h"
#include "helper/phone/push/PushSender.h"

namespace pushtest {

namespace push = ringlark::helper::push;
namespace ossl = ringlark::helper::push::ossl;

inline const unsigned char* u(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

inline std::string unb64(std::string_view text)
{
    const std::optional<std::string> bytes = push::base64UrlDecode(text);
    EXPECT_TRUE(bytes) << text;
    return bytes.value_or("");
}

struct Subscriber {
    std::shared_ptr<EVP_PKEY> key{ossl::generateP256().release(), EVP_PKEY_free};
    std::string point = *ossl::publicPoint(key.get());
    std::string auth = *ossl::randomBytes(16);
    push::Subscription at(std::string endpoint) const
    {
        return {std::move(endpoint), push::base64UrlEncode(point), push::base64UrlEncode(auth)};
    }
};

// Opens a single-record aes128gcm body; nullopt when anything is off.
inline std::optional<std::string> decryptBody(std::string_view body, const Subscriber& s)
{
    if (body.size() < 21 + 65 + 17 || body[20] != 65)
        return std::nullopt;
    const std::string_view salt = body.substr(0, 16), asPublic = body.substr(21, 65), sealed = body.substr(86);
    const ossl::Pkey peer = ossl::publicKeyFromPoint(asPublic);
    const std::optional<std::string> shared = peer ? ossl::ecdh(s.key.get(), peer.get()) : std::nullopt;
    if (!shared)
        return std::nullopt;
    const std::string ikm = *ossl::hkdf(s.auth, *shared, std::string("WebPush: info\0", 14) + s.point + std::string(asPublic), 32);
    const std::string cek = *ossl::hkdf(salt, ikm, std::string("Content-Encoding: aes128gcm\0", 28), 16);
    const std::string nonce = *ossl::hkdf(salt, ikm, std::string("Content-Encoding: nonce\0", 24), 12);

    std::string plain(sealed.size() - 16, '\0'), tag(sealed.substr(plain.size()));
    auto* out = reinterpret_cast<unsigned char*>(plain.data());
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0, tail = 0;
    const bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, u(cek), u(nonce)) == 1
        && EVP_DecryptUpdate(ctx, out, &n, u(sealed), static_cast<int>(plain.size())) == 1
        && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1
        && EVP_DecryptFinal_ex(ctx, out + n, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    // Zero padding may follow the last record's delimiter 0x02.
    const std::size_t end = plain.find_last_not_of('\0');
    if (!ok || end == std::string::npos || plain[end] != '\x02')
        return std::nullopt;
    return plain.substr(0, end);
}

inline bool verifyEs256(std::string_view point, std::string_view message, std::string_view raw)
{
    const ossl::Pkey key = ossl::publicKeyFromPoint(point);
    if (raw.size() != 64 || !key)
        return false;
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(u(raw), 32, nullptr), BN_bin2bn(u(raw) + 32, 32, nullptr));
    unsigned char* der = nullptr;
    const int length = i2d_ECDSA_SIG(sig, &der);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key.get()) == 1
        && EVP_DigestVerify(ctx, der, static_cast<std::size_t>(length), u(message), message.size()) == 1;
    EVP_MD_CTX_free(ctx);
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return ok;
}

// "vapid t=<header>.<claims>.<signature>, k=<key>" taken apart and decoded.
struct Vapid {
    std::string signedPart, signature, header, claims, key;
};
inline std::optional<Vapid> parseVapid(std::string_view value)
{
    const std::size_t k = value.find(", k="), dot1 = value.find('.'), dot2 = value.rfind('.');
    if (!value.starts_with("vapid t=") || k == std::string_view::npos || dot1 == dot2 || dot2 > k)
        return std::nullopt;
    return Vapid{std::string(value.substr(8, dot2 - 8)), unb64(value.substr(dot2 + 1, k - dot2 - 1)),
                 unb64(value.substr(8, dot1 - 8)), unb64(value.substr(dot1 + 1, dot2 - dot1 - 1)), unb64(value.substr(k + 4))};
}

struct TestCert {
    std::shared_ptr<EVP_PKEY> key{ossl::generateP256().release(), EVP_PKEY_free};
    std::shared_ptr<X509> cert{X509_new(), X509_free};
    std::string pem() const
    {
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, cert.get());
        char* data = nullptr;
        const long length = BIO_get_mem_data(bio, &data);
        std::string out(data, static_cast<std::size_t>(length));
        BIO_free(bio);
        return out;
    }
};

// A certificate for `name`, signed by `issuer` or by itself.
inline TestCert makeCert(const std::string& name, bool isCa, const TestCert* issuer)
{
    static long serial = 1;
    TestCert out;
    X509* x = out.cert.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_set_pubkey(x, out.key.get());
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC, u(name), -1, -1, 0);
    X509* signer = issuer ? issuer->cert.get() : x;
    X509_set_issuer_name(x, X509_get_subject_name(signer));
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, signer, x, nullptr, nullptr, 0);
    for (const auto& [nid, value] : {std::pair{NID_subject_alt_name, "DNS:" + name},
                                     std::pair{NID_basic_constraints, std::string(isCa ? "critical,CA:TRUE" : "CA:FALSE")}}) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_sign(x, (issuer ? issuer : &out)->key.get(), EVP_sha256());
    return out;
}

// Outcomes arrive on the sender's threads.
class Outcomes {
public:
    push::PushSender::Done done(std::string tag)
    {
        return [this, tag](push::Outcome outcome) {
            std::lock_guard lock(mutex_);
            got_[tag] = std::move(outcome);
            changed_.notify_all();
        };
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return got_.size() >= count; });
    }
    push::Outcome operator[](const std::string& tag)
    {
        std::lock_guard lock(mutex_);
        return got_.count(tag) ? got_[tag] : push::Outcome{-1, "no outcome"};
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, push::Outcome> got_;
};

} // namespace pushtest
