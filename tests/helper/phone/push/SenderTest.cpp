// The sender against push services and ntfy servers on this computer.

#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "PushTestSupport.h"
#include "helper/phone/push/Ece.h"
#include "helper/phone/push/Payload.h"
#include "helper/phone/push/Vapid.h"

using namespace ringlark::helper::push;
using namespace pushtest;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

const auto kNow = std::chrono::system_clock::time_point(std::chrono::seconds(1'800'000'000));

// A push service that keeps what it is sent; /push/slow answers only when
// released (or after 5 s), /push/gone says the subscription is no more.
class PushService {
public:
    explicit PushService(std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>())
        : server_(std::move(server))
    {
        server_.http().Post("/push/(ok|gone|slow)", [this](const httplib::Request& request, httplib::Response& response) {
            std::unique_lock lock(mutex_);
            received.push_back(request);
            if (request.matches[1] == "slow") {
                arrived_.notify_all();
                released_.wait_for(lock, 5s, [this] { return release_; });
            }
            response.status = request.matches[1] == "gone" ? 410 : 201;
        });
        server_.http().Post("/", [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex_);
            received.push_back(request);
            response.set_content(R"({"id":"n1"})", "application/json");
        });
        server_.start();
    }
    ~PushService() { release(); }

    std::string url(const std::string& path, const char* scheme = "http") const
    {
        return std::string(scheme) + "://" + (scheme == std::string("https") ? "localhost" : "127.0.0.1") + ":"
            + std::to_string(server_.port()) + path;
    }
    bool waitForSlow()
    {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, 5s, [this] { return !received.empty(); });
    }
    void release()
    {
        std::lock_guard lock(mutex_);
        release_ = true;
        released_.notify_all();
    }
    std::size_t count()
    {
        std::lock_guard lock(mutex_);
        return received.size();
    }

    std::vector<httplib::Request> received;

private:
    std::mutex mutex_;
    std::condition_variable arrived_, released_;
    bool release_ = false;
    LocalServer server_;
};

PushSender::Options testOptions()
{
    PushSender::Options options;
    options.testMode = true;
    options.subject = "https://box.tail.ts.net";
    options.timeout = 3s;
    options.clock = [] { return kNow; };
    return options;
}

const VapidKey& vapidKey()
{
    static const VapidKey key = *VapidKey::generate();
    return key;
}

} // namespace

TEST(PushSender, DeliversWhatTheSubscriberCanReadAndVerify)
{
    PushService service;
    const Subscriber subscriber = makeSubscriber();
    Outcomes outcomes;
    PushSender sender(testOptions(), vapidKey());
    const std::string payload = payloadFor({"r-1", "Log in", "Code?", "Codex", "Firefox", "/r/r-1"});
    sender.send(subscriber.subscription(service.url("/push/ok")), payload, topicFor("r-1"), outcomes.done("ok"));
    sender.send(subscriber.subscription(service.url("/push/gone")), payload, "", outcomes.done("gone"));
    ASSERT_TRUE(outcomes.waitFor(2));
    EXPECT_EQ(outcomes["ok"].status, 201) << outcomes["ok"].error;
    EXPECT_TRUE(outcomes["ok"].delivered());
    EXPECT_EQ(outcomes["gone"].status, 410);
    EXPECT_TRUE(outcomes["gone"].gone());

    const httplib::Request& request = service.received.at(service.received[0].path == "/push/ok" ? 0 : 1);
    EXPECT_EQ(request.get_header_value("TTL"), "600");
    EXPECT_EQ(request.get_header_value("Urgency"), "high");
    EXPECT_EQ(request.get_header_value("Topic"), topicFor("r-1"));
    EXPECT_EQ(request.get_header_value("Content-Encoding"), "aes128gcm");
    EXPECT_EQ(request.get_header_value("Content-Type"), "application/octet-stream");
    EXPECT_EQ(decryptBody(request.body, subscriber), payload);

    const std::optional<VapidHeader> vapid = parseVapid(request.get_header_value("Authorization"));
    ASSERT_TRUE(vapid);
    EXPECT_EQ(vapid->key, vapidKey().publicKey());
    EXPECT_TRUE(verifyEs256(vapid->key, vapid->signingInput, vapid->signature));
    const json claims = json::parse(vapid->claimsJson);
    EXPECT_EQ(claims["aud"], service.url(""));
    EXPECT_EQ(claims["exp"], 1'800'000'000 + 12 * 3600);
}

TEST(PushSender, RefusesBadRequestsWithoutSendingThem)
{
    PushService service;
    const Subscriber s = makeSubscriber();
    const std::string ok = service.url("/push/ok");
    struct Case {
        const char* name;
        Subscription subscription;
        std::string payload, topic;
        bool testMode;
    };
    const Case cases[] = {
        {"this computer outside tests", s.subscription(ok), "{}", "", false},
        {"not a push service", s.subscription("https://example.org/push"), "{}", "", true},
        {"key not base64url", {ok, "!!", s.subscription(ok).auth}, "{}", "", true},
        {"key not a point", {ok, "AAAA", s.subscription(ok).auth}, "{}", "", true},
        {"topic too long", s.subscription(ok), "{}", std::string(33, 'a'), true},
        {"topic not base64url", s.subscription(ok), "{}", "a b", true},
        {"payload too long", s.subscription(ok), std::string(kMaxPlaintext + 1, 'x'), "", true},
    };
    Outcomes outcomes;
    std::vector<std::unique_ptr<PushSender>> senders;
    for (const Case& c : cases) {
        PushSender::Options options = testOptions();
        options.testMode = c.testMode;
        senders.push_back(std::make_unique<PushSender>(options, vapidKey()));
        senders.back()->send(c.subscription, c.payload, c.topic, outcomes.done(c.name));
    }
    ASSERT_TRUE(outcomes.waitFor(std::size(cases)));
    for (const Case& c : cases) {
        EXPECT_EQ(outcomes[c.name].status, 0) << c.name;
        EXPECT_FALSE(outcomes[c.name].error.empty()) << c.name;
    }
    EXPECT_EQ(service.count(), 0u);
}

TEST(PushSender, ChecksTheServiceCertificate)
{
    QTemporaryDir dir;
    const TestCert ca = makeCert("test-ca.invalid", true, nullptr);
    const std::string caFile = dir.path().toStdString() + "/ca.pem";
    std::ofstream(caFile) << ca.certPem;
    struct Case {
        const char* name;
        TestCert served;
        bool trustTestCa;
        int status;
    };
    const Case cases[] = {
        {"self-signed", makeCert("localhost", false, nullptr), false, 0},
        {"self-signed, another anchor trusted", makeCert("localhost", false, nullptr), true, 0},
        {"signed by a trusted anchor", makeCert("localhost", false, &ca), true, 201},
        {"for another name", makeCert("elsewhere.test", false, &ca), true, 0},
        {"signed by an anchor the system does not know", makeCert("localhost", false, &ca), false, 0},
    };
    const Subscriber subscriber = makeSubscriber();
    for (const Case& c : cases) {
        PushService service(std::make_unique<httplib::SSLServer>(c.served.cert.get(), c.served.key.get()));
        PushSender::Options options = testOptions();
        if (c.trustTestCa)
            options.caFile = caFile;
        Outcomes outcomes;
        {
            PushSender sender(options, vapidKey());
            sender.send(subscriber.subscription(service.url("/push/ok", "https")), "{}", "", outcomes.done("x"));
            ASSERT_TRUE(outcomes.waitFor(1)) << c.name;
        }
        EXPECT_EQ(outcomes["x"].status, c.status) << c.name << ": " << outcomes["x"].error;
        EXPECT_EQ(service.count(), c.status ? 1u : 0u) << c.name;
        if (c.status == 0) {
            EXPECT_NE(outcomes["x"].error.find("certificate"), std::string::npos) << outcomes["x"].error;
        }
    }
}

TEST(PushSender, DropsTheOldestWhenTooManyWait)
{
    PushService service;
    const Subscriber s = makeSubscriber();
    PushSender::Options options = testOptions();
    options.workers = 1;
    options.queueLimit = 2;
    Outcomes outcomes;
    PushSender sender(options, vapidKey());
    sender.send(s.subscription(service.url("/push/slow")), "{}", "", outcomes.done("a"));
    ASSERT_TRUE(service.waitForSlow());
    for (const char* tag : {"b", "c", "d"})
        sender.send(s.subscription(service.url("/push/ok")), "{}", "", outcomes.done(tag));
    service.release();
    ASSERT_TRUE(outcomes.waitFor(4));
    EXPECT_EQ(outcomes["b"].status, 0);
    EXPECT_NE(outcomes["b"].error.find("dropped"), std::string::npos);
    for (const char* tag : {"a", "c", "d"})
        EXPECT_EQ(outcomes[tag].status, 201) << tag << ": " << outcomes[tag].error;
}

TEST(PushSender, SlowServicesTimeOutAndShutDownDoesNotWaitForThem)
{
    PushService service;
    const Subscriber s = makeSubscriber();
    Outcomes outcomes;
    PushSender::Options options = testOptions();
    options.timeout = 200ms;
    const auto start = std::chrono::steady_clock::now();
    {
        PushSender sender(options, vapidKey());
        sender.send(s.subscription(service.url("/push/slow")), "{}", "", outcomes.done("timeout"));
        ASSERT_TRUE(outcomes.waitFor(1, 3s));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(outcomes["timeout"].status, 0);
    EXPECT_FALSE(outcomes["timeout"].error.empty());

    options.timeout = 10s;
    const auto stopAt = std::chrono::steady_clock::now();
    {
        PushSender sender(options, vapidKey());
        sender.send(s.subscription(service.url("/push/slow")), "{}", "", outcomes.done("shutdown"));
        while (service.count() < 2 && std::chrono::steady_clock::now() - stopAt < 3s)
            std::this_thread::sleep_for(5ms);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 4s);
    EXPECT_EQ(outcomes["shutdown"].status, 0);
}

TEST(PushSender, PublishesToNtfy)
{
    PushService service;
    const Notice notice{"r-1", "Log in", "Code?", "Codex", "Firefox", "/r/r-1"};
    const NtfyTarget target{service.url(""), "ringlark_t", "tk_abc"};
    const Expected<HttpRequest> request = ntfyRequest(target, notice, "http://box/r/r-1", "http://box/d/x", true);
    ASSERT_TRUE(request) << request.error();
    Outcomes outcomes;
    PushSender sender(testOptions(), vapidKey());
    sender.publishNtfy(*request, outcomes.done("ntfy"));
    PushSender::Options live = testOptions();
    live.testMode = false;
    PushSender strict(live, vapidKey());
    strict.publishNtfy(*request, outcomes.done("strict"));
    ASSERT_TRUE(outcomes.waitFor(2));
    EXPECT_EQ(outcomes["ntfy"].status, 200) << outcomes["ntfy"].error;
    EXPECT_EQ(outcomes["strict"].status, 0);
    ASSERT_GE(service.count(), 1u);
    EXPECT_EQ(service.received.back().get_header_value("Authorization"), "Bearer tk_abc");
    EXPECT_EQ(json::parse(service.received.back().body)["topic"], "ringlark_t");
}
