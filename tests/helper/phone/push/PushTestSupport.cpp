#include "PushTestSupport.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "helper/phone/push/Base64Url.h"

namespace pushtest {

namespace {

const unsigned char* u(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// HKDF written out with HMAC, apart from the library's KDF call.
std::string hkdf(std::string_view salt, std::string_view ikm, std::string info, std::size_t length)
{
    unsigned char prk[32];
    unsigned char okm[32];
    unsigned int n = 0;
    HMAC(EVP_sha256(), salt.data(), static_cast<int>(salt.size()), u(ikm), ikm.size(), prk, &n);
    info.push_back('\x01');
    HMAC(EVP_sha256(), prk, 32, u(info), info.size(), okm, &n);
    return std::string(reinterpret_cast<char*>(okm), length);
}

std::string pem(auto write)
{
    BIO* bio = BIO_new(BIO_s_mem());
    write(bio);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return out;
}

} // namespace

std::string unb64(std::string_view text)
{
    const std::optional<std::string> bytes = push::base64UrlDecode(text);
    EXPECT_TRUE(bytes) << text;
    return bytes.value_or("");
}

push::Subscription Subscriber::subscription(std::string endpoint) const
{
    return {std::move(endpoint), push::base64UrlEncode(publicPoint), push::base64UrlEncode(auth)};
}

Subscriber makeSubscriber()
{
    Subscriber s;
    s.key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free);
    s.publicPoint = push::ossl::publicPoint(s.key.get()).value();
    s.auth = push::ossl::randomBytes(16).value();
    return s;
}

std::optional<std::string> decryptBody(std::string_view body, const Subscriber& subscriber)
{
    if (body.size() < 21)
        return std::nullopt;
    const std::string_view salt = body.substr(0, 16);
    const auto idLength = static_cast<unsigned char>(body[20]);
    if (body.size() < 21 + idLength + 17u)
        return std::nullopt;
    const std::string_view asPublic = body.substr(21, idLength);
    const std::string_view sealed = body.substr(21 + idLength);

    const push::ossl::Pkey peer = push::ossl::publicKeyFromPoint(asPublic);
    const std::optional<std::string> shared = peer ? push::ossl::ecdh(subscriber.key.get(), peer.get()) : std::nullopt;
    if (!shared)
        return std::nullopt;
    std::string keyInfo("WebPush: info\0", 14);
    keyInfo += subscriber.publicPoint;
    keyInfo += asPublic;
    const std::string ikm = hkdf(subscriber.auth, *shared, keyInfo, 32);
    const std::string cek = hkdf(salt, ikm, std::string("Content-Encoding: aes128gcm\0", 28), 16);
    const std::string nonce = hkdf(salt, ikm, std::string("Content-Encoding: nonce\0", 24), 12);

    const std::string_view data = sealed.substr(0, sealed.size() - 16);
    std::string tag(sealed.substr(sealed.size() - 16));
    std::string plain(data.size(), '\0');
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    int tail = 0;
    const bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, u(cek), u(nonce)) == 1
        && EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char*>(plain.data()), &n, u(data), static_cast<int>(data.size())) == 1
        && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1
        && EVP_DecryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(plain.data()) + n, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    // Padding is zeros after the last record's delimiter 0x02.
    const std::size_t end = plain.find_last_not_of('\0');
    if (!ok || end == std::string::npos || plain[end] != '\x02')
        return std::nullopt;
    return plain.substr(0, end);
}

bool verifyEs256(std::string_view publicPoint, std::string_view message, std::string_view rawSignature)
{
    if (rawSignature.size() != 64)
        return false;
    const push::ossl::Pkey key = push::ossl::publicKeyFromPoint(publicPoint);
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(u(rawSignature), 32, nullptr), BN_bin2bn(u(rawSignature) + 32, 32, nullptr));
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig, &der);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = key && EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key.get()) == 1
        && EVP_DigestVerify(ctx, der, static_cast<std::size_t>(derLength), u(message), message.size()) == 1;
    EVP_MD_CTX_free(ctx);
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return ok;
}

std::optional<VapidHeader> parseVapid(std::string_view authorization)
{
    constexpr std::string_view start = "vapid t=";
    const std::size_t comma = authorization.find(", k=");
    if (!authorization.starts_with(start) || comma == std::string_view::npos)
        return std::nullopt;
    const std::string_view jwt = authorization.substr(start.size(), comma - start.size());
    const std::size_t dot1 = jwt.find('.');
    const std::size_t dot2 = jwt.rfind('.');
    if (dot1 == dot2)
        return std::nullopt;
    const auto header = push::base64UrlDecode(jwt.substr(0, dot1));
    const auto claims = push::base64UrlDecode(jwt.substr(dot1 + 1, dot2 - dot1 - 1));
    const auto signature = push::base64UrlDecode(jwt.substr(dot2 + 1));
    const auto key = push::base64UrlDecode(authorization.substr(comma + 4));
    if (!header || !claims || !signature || !key)
        return std::nullopt;
    return VapidHeader{std::string(jwt.substr(0, dot2)), *signature, *header, *claims, *key};
}

TestCert makeCert(const std::string& dnsName, bool isCa, const TestCert* issuer)
{
    static std::atomic<long> serial{1};
    TestCert out;
    out.key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free);
    out.cert.reset(X509_new(), X509_free);
    X509* x = out.cert.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_set_pubkey(x, out.key.get());
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC, u(dnsName), -1, -1, 0);
    X509* signer = issuer ? issuer->cert.get() : x;
    X509_set_issuer_name(x, X509_get_subject_name(signer));
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, signer, x, nullptr, nullptr, 0);
    const std::string san = "DNS:" + dnsName;
    for (const auto& [nid, value] : {std::pair{NID_subject_alt_name, san.c_str()},
                                     std::pair{NID_basic_constraints, isCa ? "critical,CA:TRUE" : "CA:FALSE"}}) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_sign(x, issuer ? issuer->key.get() : out.key.get(), EVP_sha256());
    out.certPem = pem([&](BIO* bio) { PEM_write_bio_X509(bio, x); });
    out.keyPem = pem([&](BIO* bio) { PEM_write_bio_PrivateKey(bio, out.key.get(), nullptr, nullptr, 0, nullptr, nullptr); });
    return out;
}

LocalServer::LocalServer(std::unique_ptr<httplib::Server> server) : server_(std::move(server)) {}

void LocalServer::start()
{
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

LocalServer::~LocalServer()
{
    server_->stop();
    if (thread_.joinable())
        thread_.join();
}

push::PushSender::Done Outcomes::done(std::string tag)
{
    return [this, tag](push::Outcome outcome) {
        std::lock_guard lock(mutex_);
        got_[tag] = std::move(outcome);
        changed_.notify_all();
    };
}

bool Outcomes::waitFor(std::size_t count, std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return got_.size() >= count; });
}

push::Outcome Outcomes::operator[](const std::string& tag)
{
    std::lock_guard lock(mutex_);
    return got_.count(tag) ? got_[tag] : push::Outcome{-1, "no outcome"};
}

} // namespace pushtest
