#pragma once

#include "helper/api/Records.h"

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

// Bounds on what a client line may be before it is parsed at all.
inline constexpr std::size_t maxLineBytes = 1 << 20;
inline constexpr int maxNesting = 32;
// Bound of each text field of a request, in Unicode code points.
inline constexpr std::size_t maxFieldLength = 1000;

// How deep arrays and objects nest in `text`, read as JSON without parsing it;
// brackets inside strings do not count.
int nestingDepth(std::string_view text);

// Unicode code points of UTF-8 `text`; a byte that starts no valid sequence counts as one.
std::size_t codePoints(std::string_view text);

// The message naming the first field of `request` longer than maxFieldLength, if any.
std::optional<std::string> fieldBoundError(const NewRequest& request);

Step handleLine(std::string_view line);

// How the wait for a person ended, from the daemon's side.
enum class Ending { resolved, dismissed, withdrawn, timedOut, lost, daemonDown, channelUnsafe };

nlohmann::json endingResult(Ending ending, const std::optional<std::string>& answer,
                            std::chrono::milliseconds timeout);

// The daemon said no (too many open requests, a bound, a bad token): the agent reads its reason.
nlohmann::json refusedResult(const std::string& daemonText);

} // namespace ringlark::helper::mcp
