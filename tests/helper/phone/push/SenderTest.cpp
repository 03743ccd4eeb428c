// The sender against push services and ntfy servers on this computer.

#include <fstream>
#include <thread>

#include <QTemporaryDir>
#include <httplib.h>
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

// A push service on 127.0.0.1 that keeps what it is sent: /push/gone says the
// subscription is no more, /push/slow answers only once released (or after 5 s),
// / takes ntfy publishes.
class PushService {
public:
    explicit PushService(std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>())
        : server_(std::move(server))
    {
        server_->Post("/(push/(ok|gone|slow))?", [this](const httplib::Request& request, httplib::Response& response) {
            std::unique_lock lock(mutex_);
            received.push_back(request);
            arrived_.notify_all();
            if (request.matches[2] == "slow")
                released_.wait_for(lock, 5s, [this] { return release_; });
            response.status = request.matches[2] == "gone" ? 410 : request.matches[2] == "" ? 200 : 201;
        });
        port_ = server_->bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        while (!server_->is_running())
            std::this_thread::sleep_for(1ms);
    }
    ~PushService()
    {
        release();
        server_->stop();
        thread_.join();
    }
    std::string url(const std::string& path, bool tls = false) const
    {
        return (tls ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port_) + path;
    }
    bool waitForRequests(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, 5s, [&] { return received.size() >= count; });
    }
    void release()
    {
        std::lock_guard lock(mutex_);
        release_ = true;
        released_.notify_all();
    }

    std::vector<httplib::Request> received;

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable arrived_, released_;
    bool release_ = false;
};

PushSender::Options testOptions(bool testMode = true)
{
    PushSender::Options options;
    options.testMode = testMode;
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
    const Subscriber subscriber;
    Outcomes outcomes;
    PushSender sender(testOptions(), vapidKey());
    const std::string payload = payloadFor({"r-1", "Log in", "Code?", "Codex", "Firefox", "/r/r-1"});
    sender.send(subscriber.at(service.url("/push/ok")), payload, topicFor("r-1"), outcomes.done("ok"));
    ASSERT_TRUE(outcomes.waitFor(1));
    sender.send(subscriber.at(service.url("/push/gone")), payload, "", outcomes.done("gone"));
    ASSERT_TRUE(outcomes.waitFor(2));
    EXPECT_TRUE(outcomes["ok"].delivered()) << outcomes["ok"].error;
    EXPECT_TRUE(outcomes["gone"].gone()) << outcomes["gone"].status;

    const httplib::Request& request = service.received.at(0);
    for (const auto& [name, value] : {std::pair{"TTL", "600"}, {"Urgency", "high"}, {"Content-Encoding", "aes128gcm"},
                                      {"Content-Type", "application/octet-stream"}})
        EXPECT_EQ(request.get_header_value(name), value) << name;
    EXPECT_EQ(request.get_header_value("Topic"), topicFor("r-1"));
    EXPECT_EQ(decryptBody(request.body, subscriber), payload);
    const std::optional<Vapid> vapid = parseVapid(request.get_header_value("Authorization"));
    ASSERT_TRUE(vapid);
    EXPECT_EQ(vapid->key, vapidKey().publicKey());
    EXPECT_TRUE(verifyEs256(vapid->key, vapid->signedPart, vapid->signature));
    EXPECT_EQ(json::parse(vapid->claims)["aud"], service.url(""));
    EXPECT_EQ(json::parse(vapid->claims)["exp"], 1'800'000'000 + 12 * 3600);
}

TEST(PushSender, RefusesBadRequestsWithoutSendingThem)
{
    PushService service;
    const Subscriber s;
    const std::string ok = service.url("/push/ok");
    struct Case {
        const char* name;
        Subscription subscription;
        std::string payload, topic;
        bool testMode = true;
    };
    const Case cases[] = {
        {"this computer outside tests", s.at(ok), "{}", "", false},
        {"not a push service", s.at("https://example.org/push"), "{}", ""},
        {"key not base64url", {ok, "!!", s.at(ok).auth}, "{}", ""},
        {"key not a point", {ok, "AAAA", s.at(ok).auth}, "{}", ""},
        {"topic too long", s.at(ok), "{}", std::string(33, 'a')},
        {"topic not base64url", s.at(ok), "{}", "a b"},
        {"payload too long", s.at(ok), std::string(kMaxPlaintext + 1, 'x'), ""},
    };
    Outcomes outcomes;
    std::vector<std::unique_ptr<PushSender>> senders;
    for (const Case& c : cases) {
        senders.push_back(std::make_unique<PushSender>(testOptions(c.testMode), vapidKey()));
        senders.back()->send(c.subscription, c.payload, c.topic, outcomes.done(c.name));
    }
    ASSERT_TRUE(outcomes.waitFor(std::size(cases)));
    for (const Case& c : cases)
        EXPECT_TRUE(outcomes[c.name].status == 0 && !outcomes[c.name].error.empty()) << c.name;
    EXPECT_TRUE(service.received.empty());
}

TEST(PushSender, ChecksTheServiceCertificate)
{
    QTemporaryDir dir;
    const TestCert ca = makeCert("test-ca.invalid", true, nullptr);
    const std::string caFile = dir.path().toStdString() + "/ca.pem";
    std::ofstream(caFile) << ca.pem();
    struct Case {
        const char* name;
        TestCert served;
        bool trustTestCa;
        int status;
    };
    const Case cases[] = {
        {"self-signed", makeCert("localhost", false, nullptr), false, 0},
        {"self-signed, another anchor trusted", makeCert("localhost", false, nullptr), true, 0},
        {"signed by an anchor the system does not know", makeCert("localhost", false, &ca), false, 0},
        {"for another name", makeCert("elsewhere.test", false, &ca), true, 0},
        {"signed by a trusted anchor", makeCert("localhost", false, &ca), true, 201},
    };
    const Subscriber subscriber;
    for (const Case& c : cases) {
        PushService service(std::make_unique<httplib::SSLServer>(c.served.cert.get(), c.served.key.get()));
        PushSender::Options options = testOptions();
        options.caFile = c.trustTestCa ? caFile : "";
        Outcomes outcomes;
        PushSender sender(options, vapidKey());
        sender.send(subscriber.at(service.url("/push/ok", true)), "{}", "", outcomes.done("x"));
        ASSERT_TRUE(outcomes.waitFor(1)) << c.name;
        EXPECT_EQ(outcomes["x"].status, c.status) << c.name << ": " << outcomes["x"].error;
        EXPECT_EQ(service.received.size(), c.status ? 1u : 0u) << c.name;
        EXPECT_EQ(outcomes["x"].error.find("certificate") != std::string::npos, c.status == 0) << outcomes["x"].error;
    }
}

TEST(PushSender, DropsTheOldestWhenTooManyWait)
{
    PushService service;
    const Subscriber s;
    PushSender::Options options = testOptions();
    options.workers = 1;
    options.queueLimit = 2;
    Outcomes outcomes;
    PushSender sender(options, vapidKey());
    sender.send(s.at(service.url("/push/slow")), "{}", "", outcomes.done("a"));
    ASSERT_TRUE(service.waitForRequests(1));
    for (const char* tag : {"b", "c", "d"})
        sender.send(s.at(service.url("/push/ok")), "{}", "", outcomes.done(tag));
    service.release();
    ASSERT_TRUE(outcomes.waitFor(4));
    EXPECT_NE(outcomes["b"].error.find("dropped"), std::string::npos) << outcomes["b"].error;
    for (const char* tag : {"a", "c", "d"})
        EXPECT_EQ(outcomes[tag].status, 201) << tag << ": " << outcomes[tag].error;
}

TEST(PushSender, SlowServicesTimeOutAndShutDownDoesNotWaitForThem)
{
    PushService service;
    const Subscriber s;
    Outcomes outcomes;
    PushSender::Options options = testOptions();
    for (const auto& [tag, timeout] : {std::pair{"timed out", 200ms}, {"shut down", 10000ms}}) {
        options.timeout = timeout;
        const auto start = std::chrono::steady_clock::now();
        const std::size_t before = service.received.size();
        {
            PushSender sender(options, vapidKey());
            sender.send(s.at(service.url("/push/slow")), "{}", "", outcomes.done(tag));
            ASSERT_TRUE(service.waitForRequests(before + 1));
            if (timeout < 1s) {
                ASSERT_TRUE(outcomes.waitFor(1, 3s));
            }
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << tag;
        EXPECT_TRUE(outcomes[tag].status == 0 && !outcomes[tag].error.empty()) << tag << ": " << outcomes[tag].error;
    }
}

TEST(PushSender, PublishesToNtfyOverHttpsOnlyOutsideTests)
{
    PushService service;
    const Expected<HttpRequest> request =
        ntfyRequest({service.url(""), "ringlark_t", "tk_abc"}, {"r-1", "Log in", "Code?", "Codex", "", "/r/r-1"},
                    "http://box/r/r-1", "http://box/d/x", true);
    ASSERT_TRUE(request) << request.error();
    Outcomes outcomes;
    PushSender sender(testOptions(), vapidKey()), strict(testOptions(false), vapidKey());
    sender.publishNtfy(*request, outcomes.done("test mode"));
    strict.publishNtfy(*request, outcomes.done("outside tests"));
    ASSERT_TRUE(outcomes.waitFor(2));
    EXPECT_EQ(outcomes["test mode"].status, 200) << outcomes["test mode"].error;
    EXPECT_EQ(outcomes["outside tests"].status, 0);
    ASSERT_EQ(service.received.size(), 1u);
    EXPECT_EQ(service.received[0].get_header_value("Authorization"), "Bearer tk_abc");
    EXPECT_EQ(json::parse(service.received[0].body)["topic"], "ringlark_t");
}
