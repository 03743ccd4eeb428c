// Who the phone listener serves, as pure verdicts over requests.

#include "helper/phone/PhoneAccess.h"
#include "helper/phone/PhoneServer.h"

#include <gtest/gtest.h>

#include <set>

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
    const Header host{"host", serveHost}, origin{"origin", "https://" + serveHost}, marker{"x-ringlark-phone", "1"},
        json{"content-type", "application/json"}, plainOrigin{"origin", "http://" + serveHost};
    const struct {
        const char* what;
        int refused; // 0: served
        std::string method, target;
        http::Headers headers;
        std::string body = "{}";
        bool testHooks = false;
    } cases[] = {
        {"a page", 0, "GET", "/", {host}},
        {"host in other case", 0, "GET", "/", {{"host", "PC.Tail1234.TS.NET:8643"}}},
        {"host without the port", 421, "GET", "/", {{"host", "pc.tail1234.ts.net"}}},
        {"the listener's own address", 421, "GET", "/", {{"host", "127.0.0.1:8642"}}},
        {"no host", 421, "GET", "/", {}},
        {"the local token", 403, "GET", "/api/v1/requests", {host, {"x-ringlark-token", "t"}}},
        {"a read needs no origin or marker", 0, "GET", "/api/v1/requests", {host, {"origin", "https://evil.example"}}},
        {"a full change", 0, "POST", "/api/v1/pair", {host, origin, marker, json}},
        {"JSON in any case", 0, "PUT", "/api/v1/push", {host, origin, marker, {"content-type", "Application/JSON; charset=x"}}},
        {"no origin", 403, "POST", "/api/v1/pair", {host, marker, json}},
        {"another origin", 403, "POST", "/api/v1/pair", {host, {"origin", "https://evil.example"}, marker, json}},
        {"an opaque origin", 403, "POST", "/api/v1/pair", {host, {"origin", "null"}, marker, json}},
        {"plain http outside tests", 403, "POST", "/api/v1/pair", {host, plainOrigin, marker, json}},
        {"plain http in tests", 0, "POST", "/api/v1/pair", {host, plainOrigin, marker, json}, "{}", true},
        {"no marker", 403, "POST", "/api/v1/pair", {host, origin, json}},
        {"a marker of another value", 403, "POST", "/api/v1/pair", {host, origin, {"x-ringlark-phone", "true"}, json}},
        {"a form's type", 415, "POST", "/api/v1/pair", {host, origin, marker, {"content-type", "text/plain"}}},
        {"no type", 415, "POST", "/api/v1/pair", {host, origin, marker}},
        {"no body", 415, "DELETE", "/api/v1/devices/x", {host, origin, marker, json}, ""},
        {"the relay's dismiss", 0, "POST", "/api/v1/requests/r1/dismiss?cap=abc", {host, marker, json}},
        {"a dismiss without its capability", 403, "POST", "/api/v1/requests/r1/dismiss", {host, marker, json}},
        {"a capability only dismisses", 403, "POST", "/api/v1/requests/r1/answer?cap=abc", {host, marker, json}},
        {"the relay still sends the marker", 403, "POST", "/api/v1/requests/r1/dismiss?cap=abc", {host, json}},
    };
    for (const auto& row : cases) {
        const auto made = request(row.method, row.target, row.headers, row.body);
        const auto refused = refusal(made, Site{serveHost, row.testHooks});
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

TEST(PhoneServer, LongPollsEndTogetherOnAGridButNeverLateNorMuchEarly)
{
    using namespace std::chrono;
    const auto start = EventLoop::Clock::time_point(hours(1));
    std::set<EventLoop::Clock::time_point> ends;
    for (const auto offset : {0ms, 1ms, 1200ms, 2500ms, 3999ms}) {
        const auto now = start + offset;
        const auto end = pollDeadline(now, 25s);
        EXPECT_LE(end, now + 25s) << offset.count();
        EXPECT_GT(end, now + 20s) << offset.count();
        ends.insert(end);
    }
    EXPECT_EQ(ends.size(), 1u) << "polls parked within a few seconds end in one wakeup";
    EXPECT_EQ(pollDeadline(start + 7ms, 3s), start + 7ms + 3s) << "a short wait keeps its time";
}
