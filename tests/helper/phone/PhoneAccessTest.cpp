// Who the phone listener serves, as pure verdicts over requests.

#include "helper/phone/PhoneAccess.h"

#include <gtest/gtest.h>

using namespace ringlark::helper;
using namespace ringlark::helper::phone;
using Header = std::pair<std::string, std::string>;

namespace {

const std::string serveHost = "pc.tail1234.ts.net:8643";

http::Request request(std::string method, const std::string& target, http::Headers headers, std::string body = {})
{
    http::Request made;
    made.method = std::move(method);
    made.target = target;
    const auto question = target.find('?');
    made.path = target.substr(0, question);
    made.query = question == std::string::npos ? "" : target.substr(question + 1);
    made.headers = std::move(headers);
    made.body = std::move(body);
    return made;
}

} // namespace

TEST(PhoneAccess, HostTokenOriginMarkerAndBodyDecideWhatIsServed)
{
    const Header host{"host", serveHost};
    const Header origin{"origin", "https://" + serveHost};
    const Header marker{"x-ringlark-phone", "1"};
    const Header json{"content-type", "application/json"};
    const struct {
        const char* what;
        std::string method, target;
        http::Headers headers;
        std::string body;
        bool testHooks;
        int refused; // 0: served
    } cases[] = {
        {"a page", "GET", "/", {host}, "", false, 0},
        {"host in other case", "GET", "/", {{"host", "PC.Tail1234.TS.NET:8643"}}, "", false, 0},
        {"host without the port", "GET", "/", {{"host", "pc.tail1234.ts.net"}}, "", false, 421},
        {"the listener's own address", "GET", "/", {{"host", "127.0.0.1:8642"}}, "", false, 421},
        {"no host", "GET", "/", {}, "", false, 421},
        {"the local token", "GET", "/api/v1/requests", {host, {"x-ringlark-token", "t"}}, "", false, 403},
        {"a read needs no origin or marker", "GET", "/api/v1/requests", {host, {"origin", "https://evil.example"}}, "",
         false, 0},
        {"a full change", "POST", "/api/v1/pair", {host, origin, marker, json}, "{}", false, 0},
        {"PUT and DELETE alike", "DELETE", "/api/v1/devices/x", {host, origin, marker, json}, "{}", false, 0},
        {"JSON with a charset", "PUT", "/api/v1/push", {host, origin, marker, {"content-type", "Application/JSON; charset=utf-8"}},
         "{}", false, 0},
        {"no origin", "POST", "/api/v1/pair", {host, marker, json}, "{}", false, 403},
        {"another origin", "POST", "/api/v1/pair", {host, {"origin", "https://evil.example"}, marker, json}, "{}", false,
         403},
        {"an opaque origin", "POST", "/api/v1/pair", {host, {"origin", "null"}, marker, json}, "{}", false, 403},
        {"plain http outside tests", "POST", "/api/v1/pair", {host, {"origin", "http://" + serveHost}, marker, json},
         "{}", false, 403},
        {"plain http in tests", "POST", "/api/v1/pair", {host, {"origin", "http://" + serveHost}, marker, json}, "{}",
         true, 0},
        {"no marker", "POST", "/api/v1/pair", {host, origin, json}, "{}", false, 403},
        {"a marker of another value", "POST", "/api/v1/pair", {host, origin, {"x-ringlark-phone", "true"}, json}, "{}",
         false, 403},
        {"a form's type", "POST", "/api/v1/pair", {host, origin, marker, {"content-type", "text/plain"}}, "{}", false,
         415},
        {"no type", "POST", "/api/v1/pair", {host, origin, marker}, "{}", false, 415},
        {"no body", "DELETE", "/api/v1/devices/x", {host, origin, marker, json}, "", false, 415},
        {"the relay's dismiss", "POST", "/api/v1/requests/r1/dismiss?cap=abc", {host, marker, json}, "{}", false, 0},
        {"a dismiss without its capability", "POST", "/api/v1/requests/r1/dismiss", {host, marker, json}, "{}", false,
         403},
        {"a capability only dismisses", "POST", "/api/v1/requests/r1/answer?cap=abc", {host, marker, json}, "{}", false,
         403},
        {"the relay's dismiss still needs the marker", "POST", "/api/v1/requests/r1/dismiss?cap=abc", {host, json},
         "{}", false, 403},
    };
    for (const auto& row : cases) {
        const auto refused = refusal(request(row.method, row.target, row.headers, row.body), Site{serveHost, row.testHooks});
        EXPECT_EQ(refused ? refused->status : 0, row.refused) << row.what;
        if (refused) {
            EXPECT_NE(refused->body.find("\"error\""), std::string::npos) << row.what;
        }
    }
    const auto unready = refusal(request("GET", "/", {host}), std::nullopt);
    EXPECT_EQ(unready ? unready->status : 0, 503) << "before Tailscale is known";
}

TEST(PhoneAccess, TheDeviceCookieIsFoundAmongOthers)
{
    const struct {
        http::Headers headers;
        std::optional<std::string> found;
    } cases[] = {
        {{}, std::nullopt},
        {{{"cookie", "ringlark_device=abc"}}, "abc"},
        {{{"cookie", "a=1; ringlark_device=abc; b=2"}}, "abc"},
        {{{"cookie", "a=1;ringlark_device=abc"}}, "abc"},
        {{{"cookie", "a=1"}, {"cookie", "ringlark_device=abc"}}, "abc"},
        {{{"cookie", "ringlark_device=first"}, {"cookie", "ringlark_device=second"}}, "first"},
        {{{"cookie", "xringlark_device=abc; ringlark_device_old=def"}}, std::nullopt},
        {{{"cookie", "ringlark_device"}}, std::nullopt},
        {{{"cookie", "ringlark_device="}}, ""},
        {{{"set-cookie", "ringlark_device=abc"}}, std::nullopt},
        {{{"cookie", ";;  ; ringlark_device=a.b=c ;"}}, "a.b=c"},
    };
    for (const auto& [headers, found] : cases) {
        http::Request made = request("GET", "/", headers);
        EXPECT_EQ(deviceCookie(made), found) << (headers.empty() ? "" : headers.back().second);
    }
}

TEST(PhoneAccess, RateLimitCountsEachKeyOverASlidingWindow)
{
    RateLimit limit(3, std::chrono::seconds(1));
    const auto start = RateLimit::Clock::time_point(std::chrono::hours(1));
    const struct {
        int ms;
        const char* key;
        bool allowed;
    } events[] = {
        {0, "a", true},    {0, "a", true},   {500, "a", true}, {500, "a", false}, {999, "a", false},
        {999, "b", true},  // keys are apart
        {1000, "a", true}, // the two at 0 ms have left the window
        {1000, "a", true}, {1000, "a", false}, {1500, "a", true},
    };
    for (const auto& [ms, key, allowed] : events)
        EXPECT_EQ(limit.allow(key, start + std::chrono::milliseconds(ms)), allowed) << key << " at " << ms << " ms";
    limit.forget("a");
    EXPECT_TRUE(limit.allow("a", start + std::chrono::milliseconds(1500)));
}
