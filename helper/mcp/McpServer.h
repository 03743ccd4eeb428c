#pragma once

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace ringlark::helper {

struct McpSettings {
    std::filesystem::path home;                          // holds .ringlark with the daemon's socket and token
    std::optional<std::string> agent;                    // RINGLARK_AGENT
    std::chrono::milliseconds callTimeout{600'000};      // how long a person has; ends before the agents' own time-outs
    std::chrono::milliseconds progressInterval{10'000};  // keeps waiting clients patient
    std::chrono::milliseconds withdrawBound{2'000};      // for withdrawing what is open when the client goes
    int input = STDIN_FILENO;
    int output = STDOUT_FILENO;
};

// Serves MCP over `input`/`output`, one JSON-RPC message per line, from one
// thread: an event loop over the input, the signals and one daemon connection
// per waiting call. When the input ends or SIGINT, SIGTERM or SIGHUP arrives,
// every open request is withdrawn from the daemon (within `withdrawBound`) and
// the function returns the exit status.
int runMcp(const McpSettings& settings);

} // namespace ringlark::helper
