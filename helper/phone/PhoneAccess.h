#pragma once

// Who may use the phone listener, as pure functions over a request. It is
// reached only through tailscale serve, so the Host is the machine's serve
// name; a browser's state change carries that origin, a JSON body and a
// header no form can send. The phone's credential is a cookie; the local
// token is refused here, so neither listener accepts the other's secret.

#include "helper/net/Http.h"

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace ringlark::helper::phone {

inline constexpr std::string_view cookieName = "ringlark_device";

struct Site {
    std::string host; // "pc.tail1234.ts.net:8643"
    bool plainHttp = false; // tests only: the browser speaks http to the mapped name
    std::string origin() const { return (plainHttp ? "http://" : "https://") + host; }
};

bool changesState(const http::Request& request);

// {"error": message}, as every phone error reads.
http::Response errorReply(int status, const std::string& message);

// The refusal for a request that may not be served, or nothing.
std::optional<http::Response> refusal(const http::Request& request, const std::optional<Site>& site);

// The device cookie's value, when the request carries one.
std::optional<std::string> deviceCookie(const http::Request& request);
std::string setCookie(std::string_view credential);
std::string clearCookie();

// The headers every phone reply carries.
void addSecurityHeaders(http::Response& response);

// At most `limit` events in any window of `window`, per key.
class RateLimit {
public:
    using Clock = std::chrono::steady_clock;
    RateLimit(std::size_t limit, std::chrono::milliseconds window) : m_limit(limit), m_window(window) {}
    bool allow(const std::string& key, Clock::time_point now);
    void forget(const std::string& key) { m_events.erase(key); }

private:
    std::size_t m_limit;
    std::chrono::milliseconds m_window;
    std::unordered_map<std::string, std::deque<Clock::time_point>> m_events;
};

} // namespace ringlark::helper::phone
