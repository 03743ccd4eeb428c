#pragma once

// Who may talk to the daemon, and what a body may look like before it is
// parsed. Pure functions over a request; the server applies them to each one.

#include "helper/net/Http.h"

#include <optional>
#include <string>
#include <string_view>

namespace ringlark::helper {

struct AccessRules {
    std::string token; // what X-Ringlark-Token must carry
    int port = 0;      // the TCP port, for the Host check
};

// The refusal for a request that may not be served, or nothing when it may.
// Checks the Origin, the Host, the token and the body's media type.
std::optional<http::Response> refusal(const http::Request& request, const AccessRules& rules, Transport transport);

// Equality that takes as long for a near miss as for a far one.
bool sameSecret(std::string_view a, std::string_view b);

// How deeply arrays and objects nest in `text`, counted without parsing it
// (brackets inside strings do not count). Stops counting past `limit`.
int jsonNesting(std::string_view text, int limit);

inline constexpr int maxJsonNesting = 32;

} // namespace ringlark::helper
