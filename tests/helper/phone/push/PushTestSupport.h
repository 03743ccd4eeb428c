#pragma once

// Test-side counterparts of the push layer: a subscriber that decrypts like a
// browser, a token verifier, throwaway certificates and a local server.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <httplib.h>

#include "helper/phone/push/OpenSsl.h"
#include "helper/phone/push/PushSender.h"

namespace pushtest {

namespace push = ringlark::helper::push;

std::string unb64(std::string_view text);  // base64url that must decode

// A browser's side of a subscription.
struct Subscriber {
    std::shared_ptr<EVP_PKEY> key;
    std::string publicPoint;
    std::string auth;
    push::Subscription subscription(std::string endpoint) const;
};
Subscriber makeSubscriber();

// Opens an aes128gcm body as a receiver does; nullopt when anything is off.
std::optional<std::string> decryptBody(std::string_view body, const Subscriber& subscriber);

bool verifyEs256(std::string_view publicPoint, std::string_view message, std::string_view rawSignature);

// The parts of "vapid t=<jwt>, k=<key>"; empty when it does not parse.
struct VapidHeader {
    std::string signingInput, signature, headerJson, claimsJson, key;
};
std::optional<VapidHeader> parseVapid(std::string_view authorization);

struct TestCert {
    std::string certPem, keyPem;
    std::shared_ptr<X509> cert;
    std::shared_ptr<EVP_PKEY> key;
};
// A certificate for `dnsName`, signed by `issuer` or by itself.
TestCert makeCert(const std::string& dnsName, bool isCa, const TestCert* issuer);

// An http(s) server on 127.0.0.1 at an ephemeral port, for handlers set before start().
class LocalServer {
public:
    explicit LocalServer(std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>());
    ~LocalServer();
    httplib::Server& http() { return *server_; }
    void start();
    int port() const { return port_; }

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
};

// Collects outcomes delivered on the sender's threads.
class Outcomes {
public:
    push::PushSender::Done done(std::string tag);
    bool waitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    push::Outcome operator[](const std::string& tag);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, push::Outcome> got_;
};

} // namespace pushtest
