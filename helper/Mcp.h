#pragma once

#include "helper/Records.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The MCP protocol of `ringlark mcp`, as pure functions: one line from the
// client in, what to answer and what to start out.
namespace ringlark::helper::mcp {

// Newest first; a client asking for another version gets the newest.
extern const std::vector<std::string> supportedVersions;

namespace ErrorCode {
inline constexpr int parse = -32700;
inline constexpr int invalidRequest = -32600;
inline constexpr int methodNotFound = -32601;
inline constexpr int invalidParams = -32602;
} // namespace ErrorCode

std::string negotiateVersion(const nlohmann::json& requested);
nlohmann::json initializeResult(const nlohmann::json& params);
nlohmann::json toolsListResult();

nlohmann::json response(const nlohmann::json& id, nlohmann::json result);
nlohmann::json errorResponse(const nlohmann::json& id, int code, const std::string& message);
nlohmann::json toolResult(const std::string& text, bool isError);
nlohmann::json progressNotification(const nlohmann::json& token, int progress, const std::string& message);

struct ToolCall {
    nlohmann::json id;
    std::optional<nlohmann::json> progressToken;
    NewRequest request; // its agent is left to the caller
};

// What the server must do about one line.
struct Step {
    std::optional<nlohmann::json> reply;  // to send at once
    std::optional<ToolCall> call;         // a person is to be asked
    std::optional<nlohmann::json> cancel; // id of a call the client gave up on
};

Step handleLine(std::string_view line);

// How the wait for a person ended, from the daemon's side.
enum class Ending { resolved, dismissed, withdrawn, timedOut, lost, daemonDown };

nlohmann::json endingResult(Ending ending, const std::optional<std::string>& answer,
                            std::chrono::milliseconds timeout);

} // namespace ringlark::helper::mcp
