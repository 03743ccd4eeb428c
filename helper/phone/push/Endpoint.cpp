#include "helper/phone/push/Endpoint.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace ringlark::helper::push {

namespace {

constexpr std::size_t kMaxUrl = 2048;

// Exact hosts, then suffixes that need at least one label in front.
constexpr std::array kPushHosts = {
    std::string_view("fcm.googleapis.com"),
    std::string_view("android.googleapis.com"),
    std::string_view("updates.push.services.mozilla.com"),
};
constexpr std::array kPushDomains = {
    std::string_view(".push.apple.com"),
    std::string_view(".push.services.mozilla.com"),
    std::string_view(".notify.windows.com"),
};

bool validHostName(std::string_view host)
{
    if (host.empty() || host.size() > 253)
        return false;
    std::size_t label = 0;
    for (std::size_t i = 0; i <= host.size(); ++i) {
        if (i == host.size() || host[i] == '.') {
            // Empty labels ("a..b", ".a", "a.") and labels over 63 are not names.
            if (label == 0 || label > 63)
                return false;
            label = 0;
            continue;
        }
        const char c = host[i];
        if (!(std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) || c == '-'))
            return false;
        ++label;
    }
    return true;
}

bool isPushServiceHost(std::string_view host)
{
    if (std::find(kPushHosts.begin(), kPushHosts.end(), host) != kPushHosts.end())
        return true;
    return std::any_of(kPushDomains.begin(), kPushDomains.end(), [&](std::string_view domain) {
        return host.size() > domain.size() && host.ends_with(domain);
    });
}

} // namespace

std::optional<UrlParts> splitUrl(std::string_view url)
{
    if (url.size() > kMaxUrl)
        return std::nullopt;
    for (const char c : url) {
        if (c <= 0x20 || c >= 0x7f || c == '\\' || c == '#')
            return std::nullopt;
    }
    UrlParts parts;
    const std::size_t colon = url.find("://");
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::string scheme(url.substr(0, colon));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    if (scheme != "https" && scheme != "http")
        return std::nullopt;
    parts.scheme = scheme;

    const std::string_view rest = url.substr(colon + 3);
    const std::size_t end = std::min(rest.find_first_of("/?"), rest.size());
    const std::string_view authority = rest.substr(0, end);
    parts.target = std::string(rest.substr(end));
    if (parts.target.empty())
        parts.target = "/";
    else if (parts.target[0] == '?')
        parts.target.insert(0, "/");
    if (authority.empty() || authority.find('@') != std::string_view::npos)
        return std::nullopt;

    const bool bracketed = authority[0] == '[';
    std::string_view host = authority;
    std::optional<std::string_view> port;
    if (bracketed) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && after[0] != ':')
            return std::nullopt;
        if (!after.empty())
            port = after.substr(1);
        if (host.empty() || host.find_first_not_of("0123456789abcdefABCDEF:") != std::string_view::npos)
            return std::nullopt;
    } else if (const std::size_t c = authority.find(':'); c != std::string_view::npos) {
        host = authority.substr(0, c);
        port = authority.substr(c + 1);
    }
    parts.host = std::string(host);
    std::transform(parts.host.begin(), parts.host.end(), parts.host.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (!bracketed && !validHostName(parts.host))
        return std::nullopt;

    const std::uint16_t defaultPort = parts.scheme == "https" ? 443 : 80;
    parts.port = defaultPort;
    if (port) {
        if (port->empty() || port->size() > 5 || (*port)[0] == '0'
            || port->find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        const unsigned long value = std::stoul(std::string(*port));
        if (value > 65535)
            return std::nullopt;
        parts.port = static_cast<std::uint16_t>(value);
    }
    const std::string shownHost = bracketed ? "[" + parts.host + "]" : parts.host;
    parts.origin = parts.scheme + "://" + shownHost;
    if (parts.port != defaultPort)
        parts.origin += ":" + std::to_string(parts.port);
    return parts;
}

bool isLoopbackHost(std::string_view host) { return host == "127.0.0.1" || host == "localhost" || host == "::1"; }

std::optional<std::string> endpointProblem(std::string_view endpoint, bool testMode)
{
    const std::optional<UrlParts> parts = splitUrl(endpoint);
    if (!parts)
        return "the push endpoint is not a plain http(s) URL";
    if (isLoopbackHost(parts->host)) {
        if (testMode)
            return std::nullopt;
        return "push endpoints on this computer are for tests only";
    }
    if (parts->scheme != "https")
        return "the push endpoint must use https";
    if (parts->port != 443)
        return "the push endpoint uses an unexpected port";
    if (!isPushServiceHost(parts->host))
        return "the push endpoint is not on a known push service (" + parts->host + ")";
    return std::nullopt;
}

} // namespace ringlark::helper::push
