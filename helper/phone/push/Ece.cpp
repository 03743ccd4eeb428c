#include "helper/phone/push/Ece.h"

#include <memory>

#include <openssl/err.h>

#include "helper/phone/push/OpenSsl.h"

namespace ringlark::helper::push {

namespace {

constexpr std::size_t kSaltSize = 16;
constexpr std::size_t kAuthSize = 16;
constexpr std::size_t kTagSize = 16;

std::optional<std::string> aes128gcm(std::string_view key, std::string_view nonce, std::string_view plaintext)
{
    struct Free {
        void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
    };
    std::unique_ptr<EVP_CIPHER_CTX, Free> ctx(EVP_CIPHER_CTX_new());
    const auto* k = reinterpret_cast<const unsigned char*>(key.data());
    const auto* iv = reinterpret_cast<const unsigned char*>(nonce.data());
    std::string out(plaintext.size() + kTagSize, '\0');
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    int n = 0;
    int tail = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_gcm(), nullptr, k, iv) != 1
        || EVP_EncryptUpdate(ctx.get(), o, &n, reinterpret_cast<const unsigned char*>(plaintext.data()),
                             static_cast<int>(plaintext.size()))
            != 1
        || EVP_EncryptFinal_ex(ctx.get(), o + n, &tail) != 1
        || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, o + n + tail) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(n + tail) + kTagSize);
    return out;
}

} // namespace

Expected<std::string> encrypt(std::string_view plaintext, std::string_view uaPublic, std::string_view authSecret,
                              const std::optional<EceFixed>& fixed)
{
    if (plaintext.size() > kMaxPlaintext)
        return Failure{"push message too long: " + std::to_string(plaintext.size()) + " bytes, at most "
                       + std::to_string(kMaxPlaintext)};
    if (authSecret.size() != kAuthSize)
        return Failure{"the subscription's auth secret is not 16 bytes"};
    const ossl::Pkey ua = ossl::publicKeyFromPoint(uaPublic);
    if (!ua)
        return Failure{"the subscription's p256dh key is not a P-256 point"};

    const ossl::Pkey as = fixed ? ossl::keyFromScalar(fixed->asPrivate) : ossl::generateP256();
    const std::optional<std::string> salt = fixed ? std::optional(fixed->salt) : ossl::randomBytes(kSaltSize);
    if (!as || !salt || salt->size() != kSaltSize)
        return Failure{"could not make the message's key or salt"};
    const std::optional<std::string> asPublic = ossl::publicPoint(as.get());
    std::optional<std::string> shared = ossl::ecdh(as.get(), ua.get());
    if (!asPublic || !shared)
        return Failure{"key agreement failed"};

    // The subscription's auth secret and both public keys bind the shared
    // secret to this pair; the salt then makes the key and nonce per message.
    std::string keyInfo = std::string("WebPush: info", 14);
    keyInfo.append(uaPublic);
    keyInfo.append(*asPublic);
    std::optional<std::string> ikm = ossl::hkdf(authSecret, *shared, keyInfo, 32);
    ossl::wipe(*shared);
    if (!ikm)
        return Failure{"key derivation failed"};
    std::optional<std::string> cek = ossl::hkdf(*salt, *ikm, std::string_view("Content-Encoding: aes128gcm", 28), 16);
    const std::optional<std::string> nonce = ossl::hkdf(*salt, *ikm, std::string_view("Content-Encoding: nonce", 24), 12);
    ossl::wipe(*ikm);
    if (!cek || !nonce)
        return Failure{"key derivation failed"};

    // A single record, so it is also the last one: delimiter 0x02, no padding.
    std::string record(plaintext);
    record.push_back('\x02');
    const std::optional<std::string> sealed = aes128gcm(*cek, *nonce, record);
    ossl::wipe(*cek);
    if (!sealed)
        return Failure{"encryption failed"};

    std::string body = *salt;
    body.push_back(static_cast<char>(kRecordSize >> 24 & 0xff));
    body.push_back(static_cast<char>(kRecordSize >> 16 & 0xff));
    body.push_back(static_cast<char>(kRecordSize >> 8 & 0xff));
    body.push_back(static_cast<char>(kRecordSize & 0xff));
    body.push_back(static_cast<char>(asPublic->size()));
    body.append(*asPublic);
    body.append(*sealed);
    return body;
}

} // namespace ringlark::helper::push
