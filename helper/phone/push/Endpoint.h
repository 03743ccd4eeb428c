#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ringlark::helper::push {

// An absolute http(s) URL taken apart, host in lower case.
struct UrlParts {
    std::string scheme;  // "https" or "http"
    std::string host;    // without brackets for IPv6
    std::uint16_t port = 0;
    std::string target;  // path and query, at least "/"
    std::string origin;  // scheme://host[:port], the port only when not the scheme's default
};

// Strict: printable ASCII only, no user info, no fragment, no backslash, no
// empty host labels or trailing dot, a decimal port without leading zeros.
std::optional<UrlParts> splitUrl(std::string_view url);

bool isLoopbackHost(std::string_view host);

// Why this push endpoint must not be used, or nullopt. Only https on the
// known push services' hosts at the default port; in test mode also http and
// https on this computer's loopback names (127.0.0.1, localhost, [::1]).
std::optional<std::string> endpointProblem(std::string_view endpoint, bool testMode);

} // namespace ringlark::helper::push
