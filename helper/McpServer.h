#pragma once

#include <chrono>
#include <iosfwd>
#include <optional>
#include <string>

namespace ringlark::helper {

struct McpSettings {
    std::string host = "127.0.0.1";
    int port = 8641;
    std::optional<std::string> agent;                    // RINGLARK_AGENT
    std::chrono::milliseconds callTimeout{660'000};      // how long a person has
    std::chrono::milliseconds progressInterval{10'000};  // keeps waiting clients patient
};

// Serves MCP over `in`/`out`, one JSON-RPC message per line, until `in` ends.
// Calls of request_human run on threads of their own, so reading goes on while
// they wait; when `in` ends, every pending request is withdrawn from the daemon.
int runMcp(std::istream& in, std::ostream& out, const McpSettings& settings);

} // namespace ringlark::helper
