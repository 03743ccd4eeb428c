#include "helper/api/Access.h"

#include <algorithm>
#include <cctype>

namespace ringlark::helper {

namespace {

using http::lower;

bool allowedHost(std::string_view host, int port, Transport transport)
{
    std::string suffix = std::to_string(port);
    suffix.insert(suffix.begin(), ':');
    const std::string given = lower(host);
    for (std::string_view name : {"127.0.0.1", "localhost", "[::1]"})
        if (given.size() == name.size() + suffix.size() && given.starts_with(name) && given.ends_with(suffix))
            return true;
    // Only a local socket's peer can have said plain "localhost".
    return transport == Transport::local && given == "localhost";
}

} // namespace

bool sameSecret(std::string_view a, std::string_view b)
{
    unsigned difference = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b.empty() ? 0 : b[i % b.size()]);
    return difference == 0;
}

std::optional<http::Response> refusal(const http::Request& request, const AccessRules& rules, Transport transport)
{
    // A browser page says where it comes from; no page may talk to the daemon.
    if (request.header("origin"))
        return http::text(403, "Requests from web pages are not accepted.");
    const std::string* host = request.header("host");
    if (!host || !allowedHost(*host, rules.port, transport))
        return http::text(403, "The Host header does not name this daemon.");
    const std::string* token = request.header("x-ringlark-token");
    if (!token || rules.token.empty() || !sameSecret(*token, rules.token))
        return http::text(403, "The request lacks this daemon's token.");
    if (!request.body.empty()) {
        const std::string* type = request.header("content-type");
        std::string_view media = type ? std::string_view(*type).substr(0, std::min(type->find(';'), type->size())) : "";
        while (!media.empty() && (media.front() == ' ' || media.front() == '\t'))
            media.remove_prefix(1);
        while (!media.empty() && (media.back() == ' ' || media.back() == '\t'))
            media.remove_suffix(1);
        if (lower(media) != "application/json")
            return http::text(415, "Request bodies must be application/json.");
    }
    return std::nullopt;
}

int jsonNesting(std::string_view text, int limit)
{
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > limit)
                return deepest;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

} // namespace ringlark::helper
