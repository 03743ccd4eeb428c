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
    for (const auto& [bytes, text] : std::initializer_list<std::pair<std::string, std::string>>{
             {"", ""}, {"f", "Zg"}, {"fo", "Zm8"}, {"foo", "Zm9v"}, {"foob", "Zm9vYg"}, {"\xfb\xff\xbf", "-_-_"}}) {
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
    const char* allowed[] = {
        "https://fcm.googleapis.com/fcm/send/abc:APA91b", "https://android.googleapis.com/gcm/send/x",
        "https://web.push.apple.com/QGuQyavXutnMH", "https://updates.push.services.mozilla.com/wpush/v2/gAAA",
        "https://eu.push.services.mozilla.com/wpush/v2/gAAA", "https://wns2-par02p.notify.windows.com/w/?token=BQ%3d",
        "https://FCM.GoogleAPIs.com/fcm/send/x", "https://fcm.googleapis.com:443/fcm/send/x",
    };
    const char* testOnly[] = {"http://127.0.0.1:40123/push/1", "http://localhost:40123/push/1",
                              "http://[::1]:40123/push/1", "https://localhost:40123/push/1"};
    const std::string longUrl = "https://fcm.googleapis.com/" + std::string(3000, 'a');
    const char* refused[] = {
        // Look-alikes.
        "https://fcm.googleapis.com.evil.com/x", "https://evilfcm.googleapis.com/x", "https://fcm.googleapis.com./x",
        "https://push.apple.com/x", "https://evilpush.apple.com/x", "https://web.push.apple.com.evil.com/x",
        "https://notify.windows.com/x", "https://fcm..googleapis.com/x",
        // User info and other ways to hide the real host.
        "https://fcm.googleapis.com@evil.com/x", "https://evil.com@fcm.googleapis.com/x",
        "https://user:pw@fcm.googleapis.com/x", "https://evil.com\\@fcm.googleapis.com/x",
        "https://evil.com#@fcm.googleapis.com/x",
        // Ports, schemes, characters, shapes.
        "https://fcm.googleapis.com:8443/x", "https://fcm.googleapis.com:0443/x", "https://fcm.googleapis.com:/x",
        "http://fcm.googleapis.com/x", "ftp://fcm.googleapis.com/x", "https://fcm.googleapis.com/x y",
        "https://fcm.googleapis.com/x\r\nHost: evil", "https://[2001:db8::1]/x", "https:///x", "fcm.googleapis.com/x",
        "", longUrl.c_str(),
        // Not this computer's loopback names, even in tests.
        "http://127.0.0.2:40123/p", "http://127.1:40123/p", "http://localhost.:40123/p", "http://localhost.evil.com/p",
        "http://127.0.0.1:99999/p",
    };
    for (const char* url : allowed)
        EXPECT_TRUE(!endpointProblem(url, false) && !endpointProblem(url, true)) << url;
    for (const char* url : testOnly)
        EXPECT_TRUE(endpointProblem(url, false) && !endpointProblem(url, true)) << url;
    for (const char* url : refused)
        EXPECT_TRUE(endpointProblem(url, false) && endpointProblem(url, true)) << url;

    // The origin is the token's audience.
    for (const auto& [url, origin] : {std::pair{"https://FCM.googleapis.com:443/fcm/x", "https://fcm.googleapis.com"},
                                      std::pair{"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
                                      std::pair{"http://[::1]:80/p", "http://[::1]"}})
        EXPECT_EQ(splitUrl(url)->origin, origin) << url;
    EXPECT_EQ(splitUrl("https://w.notify.windows.com?x=1")->target, "/?x=1");
}

TEST(Payload, CarriesTheNoticeAndAlwaysFitsOneRecord)
{
    EXPECT_EQ(json::parse(payloadFor({"r-1", "Log in", "Type the code", "Codex", "Firefox", "/r/r-1"})),
              json({{"id", "r-1"}, {"reason", "Log in"}, {"ask", "Type the code"}, {"agent", "Codex"},
                    {"app", "Firefox"}, {"url", "/r/r-1"}}));
    std::string accented;
    for (int i = 0; i < 3000; ++i)
        accented += "é";
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
        ASSERT_NO_THROW(parsed = json::parse(payload)) << c.name;  // also throws on broken UTF-8
        EXPECT_EQ(parsed["url"], "/r/r-2");
        EXPECT_EQ(parsed["ask"].get<std::string>().ends_with("…"), c.askCut) << c.name;
        EXPECT_EQ(parsed["reason"] == c.reason, c.reasonWhole) << c.name;
    }
    EXPECT_EQ(json::parse(endedPayload("r-3")), json({{"type", "ended"}, {"id", "r-3"}}));
    EXPECT_EQ(fitJsonText("abcdef", 5), "ab…");
    EXPECT_EQ(fitJsonText("abcdef", 2), "");

    const std::string topic = topicFor("r-1");
    EXPECT_EQ(topic.size(), 32u);
    EXPECT_EQ(base64UrlDecode(topic).has_value(), true);
    EXPECT_EQ(topicFor("r-1"), topic);
    EXPECT_NE(topicFor("r-2"), topic);
}

TEST(Ntfy, PublishesJsonWithADismissButton)
{
    const Notice notice{"r-1", "Log in", "Type the code", "Codex", "Firefox", "/r/r-1"};
    const Expected<HttpRequest> request = ntfyRequest({"https://ntfy.example.org", "ringlark_x1", "tk_secret"}, notice,
                                                      "https://box.ts.net:8643/r/r-1", "https://box.ts.net:8643/d/cap", false);
    ASSERT_TRUE(request) << request.error();
    EXPECT_EQ(request->url, "https://ntfy.example.org/");
    EXPECT_EQ(request->contentType, "application/json");
    ASSERT_EQ(request->headers.size(), 1u);
    EXPECT_EQ(request->headers[0].second, "Bearer tk_secret");
    const json body = json::parse(request->body);
    EXPECT_EQ(body["topic"], "ringlark_x1");
    EXPECT_EQ(body["title"], "Log in");
    EXPECT_EQ(body["message"], "Type the code\n— Codex · Firefox");
    EXPECT_EQ(body["priority"], 5);
    EXPECT_EQ(body["click"], "https://box.ts.net:8643/r/r-1");
    EXPECT_EQ(body["actions"], json::parse(R"([{"action":"http","label":"Dismiss","url":"https://box.ts.net:8643/d/cap",
        "method":"POST","body":"{}","headers":{"Content-Type":"application/json","X-Ringlark-Phone":"1"}}])"));

    const std::pair<NtfyTarget, bool> refused[] = {
        {{"http://ntfy.example.org", "t", ""}, true},       {{"http://127.0.0.1:9000", "t", ""}, false},
        {{"https://ntfy.example.org?x=1", "t", ""}, false}, {{"https://u@ntfy.example.org", "t", ""}, false},
        {{"https://ntfy.example.org", "", ""}, false},      {{"https://ntfy.example.org", "a/b", ""}, false},
        {{"https://ntfy.example.org", std::string(65, 't'), ""}, false},
        {{"https://ntfy.example.org", "t", "tk_x\r\nX-Evil: 1"}, false},
    };
    for (const auto& [target, testMode] : refused)
        EXPECT_FALSE(ntfyRequest(target, notice, "https://a.b/r/1", "https://a.b/d/1", testMode)) << target.server;
    EXPECT_TRUE(ntfyRequest({"http://127.0.0.1:9000", "t", ""}, notice, "http://a.b/r", "http://a.b/d", true));
}
