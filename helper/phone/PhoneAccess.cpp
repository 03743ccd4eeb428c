#include "helper/phone/PhoneAccess.h"

#include <nlohmann/json.hpp>

namespace ringlark::helper::phone {

http::Response errorReply(int status, const std::string& message)
{
    return http::json(status, nlohmann::json{{"error", message}}.dump(-1, ' ', false,
                                                                        nlohmann::json::error_handler_t::replace));
}

bool changesState(const http::Request& request) { return request.method != "GET" && request.method != "HEAD"; }

std::optional<http::Response> refusal(const http::Request& request, const std::optional<Site>& site)
{
    if (!site)
        return errorReply(503, "This computer is not ready for phones yet: Tailscale is not set up.");
    const std::string* host = request.header("host");
    if (!host || http::lower(*host) != http::lower(site->host))
        return errorReply(421, "This address does not name this computer.");
    if (request.header("x-ringlark-token"))
        return errorReply(403, "The computer's own token is not accepted here.");
    if (!changesState(request))
        return std::nullopt;
    const std::string* origin = request.header("origin");
    const std::string* marker = request.header("x-ringlark-phone");
    const std::string* type = request.header("content-type");
    const std::string media = type ? http::lower(http::trim(std::string_view(*type).substr(0, type->find(';')))) : "";
    // The relay's Dismiss button has no origin; it carries a capability instead.
    const bool originOk = origin ? *origin == site->origin() : request.path.ends_with("/dismiss")
                                                                     && request.queryValue("cap").has_value();
    if (!originOk || !marker || *marker != "1")
        return errorReply(403, "Changes are accepted only from the Ringlark app.");
    if (media != "application/json" || request.body.empty())
        return errorReply(415, "Send a JSON body.");
    return std::nullopt;
}

std::optional<std::string> deviceCookie(const http::Request& request)
{
    for (const auto& [name, value] : request.headers) {
        if (name != "cookie")
            continue;
        std::string_view rest = value;
        while (!rest.empty()) {
            const auto end = std::min(rest.find(';'), rest.size());
            const auto pair = http::trim(rest.substr(0, end));
            rest.remove_prefix(std::min(end + 1, rest.size()));
            const auto equals = pair.find('=');
            if (equals != std::string_view::npos && pair.substr(0, equals) == cookieName)
                return std::string(pair.substr(equals + 1));
        }
    }
    return std::nullopt;
}

std::string setCookie(std::string_view credential)
{
    return std::string(cookieName) + "=" + std::string(credential)
           + "; Path=/; Max-Age=31536000; HttpOnly; Secure; SameSite=Strict";
}

std::string clearCookie() { return std::string(cookieName) + "=; Path=/; Max-Age=0; HttpOnly; Secure; SameSite=Strict"; }

void addSecurityHeaders(http::Response& response)
{
    response.headers.emplace_back("Content-Security-Policy", "default-src 'self'");
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    response.headers.emplace_back("Referrer-Policy", "no-referrer");
    response.headers.emplace_back("X-Frame-Options", "DENY");
}

bool RateLimit::allow(const std::string& key, Clock::time_point now)
{
    auto& events = m_events[key];
    while (!events.empty() && now - events.front() >= m_window)
        events.pop_front();
    if (events.size() >= m_limit)
        return false;
    events.push_back(now);
    return true;
}

} // namespace ringlark::helper::phone
