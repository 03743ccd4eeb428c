// Pure pieces: base64url, the endpoint policy, payloads and ntfy requests.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "helper/phone/push/Base64Url.h"
#include "helper/phone/push/Ece.h"
#include "helper/phone/push/Endpoint.h"
#include "helper/phone/push/Ntfy.h"
#include "helper/phone/push/Payload.h"

using namespace ringlark::helper::push;
using nlohmann::json;

TEST(Base64Url, EncodesDecodesAndRejectsWhatIsNotCanonical)
{
    const std::pair<std::string, std::string> known[] = {
        {"", ""}, {"f", "Zg"}, {"fo", "Zm8"}, {"foo", "Zm9v"}, {"foob", "Zm9vYg"}, {"\xfb\xff\xbf", "-_-_"},
    };
    for (const auto& [bytes, text] : known) {
        EXPECT_EQ(base64UrlEncode(bytes), text);
        EXPECT_EQ(base64UrlDecode(text), bytes) << text;
    }
    EXPECT_EQ(base64UrlDecode("Zg=="), "f");
    EXPECT_EQ(base64UrlDecode("Zm8="), "fo");
    for (const char* bad : {"Z", "Zg=", "Zg===", "Zh", "Zm9", "+/8", "Zm 9v", "Zm9v\n", "Zm=v", "===="})
        EXPECT_EQ(base64UrlDecode(bad), std::nullopt) << bad;

    std::string bytes;
    for (int i = 0; i < 40; ++i, bytes.push_back(static_cast<char>(i * 37)))
        EXPECT_EQ(base64UrlDecode(base64UrlEncode(bytes)), bytes);
}

TEST(Endpoint, OnlyKnownPushServicesOverHttps)
{
    struct Case {
        const char* url;
        bool allowed;
        bool allowedInTest;
    };
    const Case cases[] = {
        {"https://fcm.googleapis.com/fcm/send/abc:APA91b", true, true},
        {"https://android.googleapis.com/gcm/send/x", true, true},
        {"https://web.push.apple.com/QGuQyavXutnMH", true, true},
        {"https://updates.push.services.mozilla.com/wpush/v2/gAAA", true, true},
        {"https://eu.push.services.mozilla.com/wpush/v2/gAAA", true, true},
        {"https://wns2-par02p.notify.windows.com/w/?token=BQYAAA%3d", true, true},
        {"https://FCM.GoogleAPIs.com/fcm/send/x", true, true},
        {"https://fcm.googleapis.com:443/fcm/send/x", true, true},
        // Look-alikes and tricks.
        {"https://fcm.googleapis.com.evil.com/x", false, false},
        {"https://evilfcm.googleapis.com/x", false, false},
        {"https://fcm.googleapis.com./x", false, false},
        {"https://push.apple.com/x", false, false},
        {"https://evilpush.apple.com/x", false, false},
        {"https://web.push.apple.com.evil.com/x", false, false},
        {"https://notify.windows.com/x", false, false},
        {"https://fcm.googleapis.com@evil.com/x", false, false},
        {"https://evil.com@fcm.googleapis.com/x", false, false},
        {"https://user:pw@fcm.googleapis.com/x", false, false},
        {"https://evil.com\\@fcm.googleapis.com/x", false, false},
        {"https://evil.com#@fcm.googleapis.com/x", false, false},
        {"https://fcm.googleapis.com:8443/x", false, false},
        {"https://fcm.googleapis.com:0443/x", false, false},
        {"https://fcm.googleapis.com:/x", false, false},
        {"http://fcm.googleapis.com/x", false, false},
        {"ftp://fcm.googleapis.com/x", false, false},
        {"https://fcm.googleapis.com/x y", false, false},
        {"https://fcm.googleapis.com/x\r\nHost: evil", false, false},
        {"https://fcm..googleapis.com/x", false, false},
        {"https://[2001:db8::1]/x", false, false},
        {"https:///x", false, false},
        {"fcm.googleapis.com/x", false, false},
        {"", false, false},
        // This computer, for tests only.
        {"http://127.0.0.1:40123/push/1", false, true},
        {"http://localhost:40123/push/1", false, true},
        {"http://[::1]:40123/push/1", false, true},
        {"https://localhost:40123/push/1", false, true},
        {"http://127.0.0.2:40123/push/1", false, false},
        {"http://127.1:40123/push/1", false, false},
        {"http://localhost.:40123/push/1", false, false},
        {"http://localhost.evil.com/push/1", false, false},
        {"http://127.0.0.1:99999/push/1", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(!endpointProblem(c.url, false), c.allowed) << c.url;
        EXPECT_EQ(!endpointProblem(c.url, true), c.allowedInTest) << c.url << " (test mode)";
    }
    EXPECT_FALSE(endpointProblem("https://fcm.googleapis.com/" + std::string(3000, 'a'), false) == std::nullopt);
}

TEST(Endpoint, OriginIsTheTokenAudience)
{
    const std::pair<const char*, const char*> cases[] = {
        {"https://FCM.googleapis.com:443/fcm/send/x", "https://fcm.googleapis.com"},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
        {"http://[::1]:80/p", "http://[::1]"},
        {"https://wns2.notify.windows.com?x=1", "https://wns2.notify.windows.com"},
    };
    for (const auto& [url, origin] : cases)
        EXPECT_EQ(splitUrl(url)->origin, origin) << url;
    EXPECT_EQ(splitUrl("https://wns2.notify.windows.com?x=1")->target, "/?x=1");
    EXPECT_EQ(splitUrl("http://127.0.0.1:8080")->target, "/");
}

TEST(Payload, CarriesTheNoticeAndAlwaysFitsOneRecord)
{
    const Notice small{"r-1", "Log in", "Type the code", "Codex", "Firefox", "/r/r-1"};
    EXPECT_EQ(json::parse(payloadFor(small)),
              json({{"id", "r-1"}, {"reason", "Log in"}, {"ask", "Type the code"}, {"agent", "Codex"},
                    {"app", "Firefox"}, {"url", "/r/r-1"}}));

    const std::string accented = [] {
        std::string s;
        for (int i = 0; i < 3000; ++i)
            s += "é";
        return s;
    }();
    struct Case {
        const char* name;
        std::string reason, ask;
        bool reasonWhole, askCut;
    };
    const Case cases[] = {
        {"long ask", "Short reason", std::string(9000, 'a'), true, true},
        {"both long", std::string(9000, 'r'), std::string(9000, 'a'), false, true},
        {"two-byte characters", accented, accented, false, true},
        {"escaped controls", std::string(5000, '\x01'), std::string(5000, '"'), false, true},
        {"bad UTF-8", std::string(4000, '\xff'), "ok \xc3", false, false},
    };
    for (const Case& c : cases) {
        const std::string payload = payloadFor({"r-2", c.reason, c.ask, std::string(900, 'g'), "app", "/r/r-2"});
        EXPECT_LE(payload.size(), kMaxPlaintext) << c.name;
        EXPECT_GE(payload.size(), kMaxPlaintext - 12) << c.name << ": room left unused";
        json parsed;
        ASSERT_NO_THROW(parsed = json::parse(payload)) << c.name;  // throws on broken UTF-8 too
        EXPECT_EQ(parsed["id"], "r-2");
        EXPECT_EQ(parsed["url"], "/r/r-2");
        EXPECT_EQ(parsed["ask"].get<std::string>().ends_with("…"), c.askCut) << c.name;
        EXPECT_EQ(parsed["reason"] == c.reason, c.reasonWhole) << c.name;
    }

    EXPECT_EQ(json::parse(endedPayload("r-3")), json({{"type", "ended"}, {"id", "r-3"}}));
    EXPECT_EQ(fitJsonText("abcdef", 5), "ab…");
    EXPECT_EQ(fitJsonText("abcdef", 6), "abcdef");
    EXPECT_EQ(fitJsonText("abcdef", 2), "");
}

TEST(Payload, TopicIsShortUrlSafeAndPerRequest)
{
    const std::string topic = topicFor("r-1");
    EXPECT_EQ(topic.size(), 32u);
    EXPECT_EQ(topic.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    EXPECT_EQ(topicFor("r-1"), topic);
    EXPECT_NE(topicFor("r-2"), topic);
    EXPECT_EQ(topicFor(std::string(5000, 'x')).size(), 32u);
}

TEST(Ntfy, PublishesJsonWithADismissButton)
{
    const Notice notice{"r-1", "Log in", "Type the code", "Codex", "Firefox", "/r/r-1"};
    const Expected<HttpRequest> request = ntfyRequest({"https://ntfy.example.org", "ringlark_x1", "tk_secret"}, notice,
                                                      "https://box.tail.ts.net:8643/r/r-1",
                                                      "https://box.tail.ts.net:8643/api/v1/dismiss/cap123", false);
    ASSERT_TRUE(request) << request.error();
    EXPECT_EQ(request->url, "https://ntfy.example.org/");
    EXPECT_EQ(request->contentType, "application/json");
    ASSERT_EQ(request->headers.size(), 1u);
    EXPECT_EQ(request->headers[0].first, "Authorization");
    EXPECT_EQ(request->headers[0].second, "Bearer tk_secret");
    const json body = json::parse(request->body);
    EXPECT_EQ(body["topic"], "ringlark_x1");
    EXPECT_EQ(body["title"], "Log in");
    EXPECT_TRUE(body["message"].get<std::string>().starts_with("Type the code"));
    EXPECT_NE(body["message"].get<std::string>().find("Codex · Firefox"), std::string::npos);
    EXPECT_EQ(body["priority"], 5);
    EXPECT_EQ(body["click"], "https://box.tail.ts.net:8643/r/r-1");
    EXPECT_EQ(body["actions"], json::parse(R"([{"action":"http","label":"Dismiss",
        "url":"https://box.tail.ts.net:8643/api/v1/dismiss/cap123","method":"POST","body":"{}",
        "headers":{"Content-Type":"application/json","X-Ringlark-Phone":"1"}}])"));

    struct Refusal {
        NtfyTarget target;
        bool testMode;
    };
    const Refusal refusals[] = {
        {{"http://ntfy.example.org", "t", ""}, false},
        {{"http://ntfy.example.org", "t", ""}, true},
        {{"http://127.0.0.1:9000", "t", ""}, false},
        {{"https://ntfy.example.org?x=1", "t", ""}, false},
        {{"https://user@ntfy.example.org", "t", ""}, false},
        {{"https://ntfy.example.org", "", ""}, false},
        {{"https://ntfy.example.org", "a/b", ""}, false},
        {{"https://ntfy.example.org", std::string(65, 't'), ""}, false},
        {{"https://ntfy.example.org", "t", "tk_x\r\nX-Evil: 1"}, false},
    };
    for (const Refusal& r : refusals)
        EXPECT_FALSE(ntfyRequest(r.target, notice, "https://a.b/r/1", "https://a.b/d/1", r.testMode))
            << r.target.server << " " << r.target.topic;
    EXPECT_TRUE(ntfyRequest({"http://127.0.0.1:9000", "t", ""}, notice, "http://a.b/r", "http://a.b/d", true));
}
