// The phone listener of a real daemon, spoken to as tailscale serve would
// forward a phone's requests: what the browser run does not reach.

#include "helper/TailscaleStandIn.h"
#include "helper/HelperProcess.h"
#include "helper/RawHttp.h"
#include "helper/phone/Devices.h"

#include <gtest/gtest.h>

#include <future>

using namespace ringlark::test;

namespace {

const std::string serveHost = "phone-test.example.ts.net:8643";
const std::string owner = "owner@example.com";
// The generator of P-256: any valid point will do for a subscription's key.
const std::string p256dh = "BGsX0fLhLEJH-Lzm5WOkQPJ3A32BLeszoPShOUXYmMKWT-NC4v4af5uO5-tKfA-eFivOM1drMV7Oy7ZAaDe_UfU";
const std::string authSecret = "AAECAwQFBgcICQoLDA0ODw";


// The device cookie a reply sets, "" when it clears it, nothing when it sets none.
std::optional<std::string> cookieSet(const RawReply& reply)
{
    const auto at = reply.head.find("Set-Cookie: ringlark_device=");
    if (at == std::string::npos)
        return std::nullopt;
    return reply.head.substr(at + 28, reply.head.find(';', at) - at - 28);
}

json parsed(const RawReply& reply) { return json::parse(reply.body, nullptr, false); }

// One request on its own connection.
RawReply exchange(int port, const std::string& method, const std::string& target, const std::vector<std::string>& headers,
                  const std::string& body = {})
{
    std::string wire = method + " " + target + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    for (const auto& line : headers)
        wire += line + "\r\n";
    return exchangeOn(connectTcp(port), wire + "\r\n" + body, 5s);
}

struct PhoneDaemon {
    QTemporaryDir stubs, home;
    std::unique_ptr<HelperRun> run;
    std::string origin;
    bool serving = false;

    explicit PhoneDaemon(bool testHooks, const std::string& devicesFile = {})
        : origin((testHooks ? "http://" : "https://") + serveHost)
    {
        writeFile(stubs.path() + "/tailscale", tailscaleStandIn, true);
        if (!devicesFile.empty())
            writeFile(home.path() + "/.ringlark/devices.json", QByteArray::fromStdString(devicesFile));
        run = std::make_unique<HelperRun>(QStringList{"daemon"},
                                          std::map<QString, QString>{{"PATH", stubs.path() + ":/usr/bin:/bin"},
                                                                     {"RINGLARK_TEST_HOOKS", testHooks ? "1" : "0"}},
                                          home.path());
        serving = run->serving() && !code().empty();
    }

    // The pairing code the computer shows; "" until Tailscale is known.
    std::string code() const
    {
        for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(20ms)) {
            const auto reply = http(run->port, "/v1/pairing");
            const std::string url = reply.status == 200 ? reply.parsed().value("url", "") : "";
            if (const auto at = url.find("?c="); at != std::string::npos)
                return url.substr(at + 3);
        }
        return {};
    }

    // As the phone's browser sends it through tailscale serve; `extra` comes first, so its Origin wins.
    RawReply phone(const std::string& method, const std::string& target, const std::string& credential,
                   const std::string& body = {}, std::vector<std::string> extra = {}) const
    {
        extra.push_back("Host: " + serveHost);
        if (!credential.empty())
            extra.push_back("Cookie: theme=dark; ringlark_device=" + credential);
        if (method != "GET")
            extra.insert(extra.end(), {"Origin: " + origin, "X-Ringlark-Phone: 1", "Content-Type: application/json"});
        return exchange(run->phonePort, method, target, extra, body);
    }
    RawReply pair(const std::string& code, const std::string& name, const std::optional<std::string>& login = owner) const
    {
        const std::string body = json{{"code", code}, {"name", name}}.dump();
        return phone("POST", "/api/v1/pair", "", body,
                     login ? std::vector<std::string>{"Tailscale-User-Login: " + *login} : std::vector<std::string>{});
    }
    // Over the token port, as the tray application asks.
    RawReply computer(const std::string& method, const std::string& target, const std::string& body = {}) const
    {
        return exchange(run->port, method, target,
                        {"Host: 127.0.0.1:" + std::to_string(run->port), "X-Ringlark-Token: " + run->token(),
                         "Content-Type: application/json"},
                        body);
    }
};

std::string pushBody(const std::string& endpoint)
{
    return json{{"endpoint", endpoint}, {"keys", {{"p256dh", p256dh}, {"auth", authSecret}}}}.dump();
}

std::string repeat(const std::string& piece, int times)
{
    std::string text;
    while (times-- > 0)
        text += piece;
    return text;
}

} // namespace

TEST(PhoneProcess, PairingDevicesAndLimitsOnARunningDaemon)
{
    PhoneDaemon daemon(true);
    ASSERT_TRUE(daemon.serving);

    // Only the computer's owner pairs; a refusal spends neither the code nor a try.
    const std::string code = daemon.code();
    EXPECT_EQ(daemon.pair(code, "Stranger's", std::nullopt).status, 403) << "a tagged device";
    EXPECT_EQ(daemon.pair(code, "Stranger's", "intruder@example.com").status, 403) << "another tailnet member";
    EXPECT_EQ(daemon.code(), code);
    const auto one = daemon.pair(code, "One");
    ASSERT_EQ(one.status, 200) << one.body;
    const auto two = daemon.pair(daemon.code(), "Two");
    ASSERT_EQ(two.status, 200) << two.body;
    ASSERT_TRUE(cookieSet(one) && cookieSet(two));
    const std::string first = *cookieSet(one), second = *cookieSet(two);
    const std::string secondId = parsed(two)["device"].value("id", "");

    // Neither listener takes the other's secret.
    EXPECT_EQ(daemon.phone("GET", "/api/v1/devices", first, {}, {"X-Ringlark-Token: " + daemon.run->token()}).status,
              403);
    EXPECT_EQ(exchange(daemon.run->port, "GET", "/v1/devices",
                       {"Host: 127.0.0.1:" + std::to_string(daemon.run->port), "Cookie: ringlark_device=" + first})
                  .status,
              403);

    // Push subscriptions: push services only, and the loopback only under test hooks.
    EXPECT_EQ(daemon.phone("PUT", "/api/v1/push", first, pushBody("https://push.evil.example/x")).status, 400);
    EXPECT_EQ(daemon.phone("PUT", "/api/v1/push", first, pushBody("http://127.0.0.1:9/push/x")).status, 200);
    EXPECT_EQ(parsed(daemon.phone("GET", "/api/v1/push", first)).value("subscribed", false), true);

    // Answers are counted in characters, not bytes.
    const auto created = daemon.computer("POST", "/v1/requests", R"({"reason": "Sign in"})");
    ASSERT_EQ(created.status, 201) << created.body;
    const std::string answerPath = "/api/v1/requests/" + parsed(created).value("id", "") + "/answer";
    EXPECT_EQ(daemon.phone("POST", answerPath, first, json{{"text", repeat("é", 1001)}}.dump()).status, 413);
    EXPECT_EQ(daemon.phone("POST", answerPath, first, json{{"text", repeat("é", 1000)}}.dump()).status, 200);

    // The computer lists and removes phones; a removed phone is refused at once,
    // also on a long poll it had parked before.
    const auto listed = parsed(daemon.computer("GET", "/v1/devices"));
    ASSERT_TRUE(listed.is_array());
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].value("name", ""), "One");
    EXPECT_EQ(listed[0].value("push", false), true);
    EXPECT_EQ(listed[1].value("push", true), false);
    const auto version = parsed(daemon.phone("GET", "/api/v1/requests", second)).value("version", -1);
    auto parked = std::async(std::launch::async, [&] {
        return daemon.phone("GET", "/api/v1/requests?timeout_ms=20000&since=" + std::to_string(version), second);
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(daemon.computer("DELETE", "/v1/devices/" + secondId, "{}").status, 200);
    EXPECT_EQ(daemon.computer("DELETE", "/v1/devices/" + secondId, "{}").status, 404);
    ASSERT_EQ(parked.wait_for(3s), std::future_status::ready) << "the parked poll outlived its phone";
    EXPECT_EQ(parked.get().status, 401);
    const auto refused = daemon.phone("GET", "/api/v1/requests", second);
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(cookieSet(refused), "") << "the stale cookie is cleared";
    EXPECT_EQ(parsed(daemon.computer("GET", "/v1/devices")).size(), 1u);

    // Twenty requests a second per phone.
    std::this_thread::sleep_for(1100ms);
    const auto start = std::chrono::steady_clock::now();
    std::vector<int> statuses;
    for (int i = 0; i < 21; ++i)
        statuses.push_back(daemon.phone("GET", "/api/v1/devices", first).status);
    EXPECT_EQ(std::count(statuses.begin(), statuses.begin() + 20, 200), 20);
    if (std::chrono::steady_clock::now() - start < 1s) {
        EXPECT_EQ(statuses.back(), 429);
    }
}

TEST(PhoneProcess, WithoutTestHooksOnlyTheRealOriginAndPushServicesCountAndGuessesAreRationed)
{
    // A phone paired in an earlier run, read from the file.
    const std::string id = "0123456789abcdef", secret = repeat("ab", 32);
    const ringlark::helper::phone::Device paired{id, "Earlier", ringlark::helper::phone::sha256Hex(secret), 1, 0, {}};
    PhoneDaemon daemon(false, ringlark::helper::phone::devicesFileText({paired}));
    ASSERT_TRUE(daemon.serving);
    const std::string credential = id + "." + secret;

    EXPECT_EQ(daemon.phone("PUT", "/api/v1/push", credential, pushBody("http://127.0.0.1:9/push/x")).status, 400);
    EXPECT_EQ(daemon.phone("PUT", "/api/v1/push", credential, pushBody("https://fcm.googleapis.com/fcm/send/x")).status,
              200);
    EXPECT_EQ(daemon.phone("PUT", "/api/v1/push", credential, pushBody("https://fcm.googleapis.com/fcm/send/x"),
                           {"Origin: http://" + serveHost})
                  .status,
              403)
        << "the test origin is refused";

    // Five wrong codes replace the code; a sixth try within the minute is refused.
    const std::string code = daemon.code();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(daemon.pair(repeat("0", 32), "Guess").status, 410) << "guess " << i + 1;
    const std::string replaced = daemon.code();
    EXPECT_NE(replaced, code);
    EXPECT_EQ(daemon.pair(replaced, "Guess").status, 429);
}
