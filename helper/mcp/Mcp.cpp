#include "helper/mcp/Mcp.h"

#include <algorithm>
#include <cctype>

namespace ringlark::helper::mcp {

const std::vector<std::string> supportedVersions{"2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05"};

namespace {

constexpr auto instructions =
    "Ringlark reaches the person at this computer. Call request_human when something only a person "
    "can do blocks you: a login or sign-in, a one-time or verification code, a permission or system "
    "dialog, a CAPTCHA, a hardware key, or a decision you must not take alone. Say in `reason` why you "
    "are blocked and in `ask` exactly what the person should do or answer. The call returns when the "
    "person marks the request done or dismisses it, or after a time-out; then carry on accordingly. "
    "Do not use it for questions you can settle yourself.";

bool isValidId(const nlohmann::json& id) { return id.is_string() || id.is_number_integer(); }

std::string durationText(std::chrono::milliseconds duration)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration).count();
    if (seconds >= 120 && seconds % 60 == 0)
        return std::to_string(seconds / 60) + " minutes";
    if (seconds >= 1)
        return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
    return std::to_string(duration.count()) + " ms";
}

Step reply(nlohmann::json message) { return Step{std::move(message), std::nullopt, std::nullopt}; }

Step toolsCall(const nlohmann::json& id, const nlohmann::json& params)
{
    if (!params.is_object() || !params.contains("name") || !params["name"].is_string())
        return reply(errorResponse(id, ErrorCode::invalidParams, "tools/call needs the name of a tool"));
    if (params["name"] != "request_human")
        return reply(errorResponse(id, ErrorCode::invalidParams,
                                   "Unknown tool: " + params["name"].get<std::string>()));
    const auto arguments = params.value("arguments", nlohmann::json::object());
    auto parsed = parseNewRequest(arguments);
    if (!parsed)
        return reply(response(id, toolResult("Invalid arguments for request_human: " + parsed.error() + ".", true)));
    ToolCall call{id, std::nullopt, std::move(*parsed)};
    call.request.agent.reset();
    if (auto meta = params.find("_meta"); meta != params.end() && meta->is_object()) {
        if (auto token = meta->find("progressToken"); token != meta->end() && isValidId(*token))
            call.progressToken = *token;
    }
    return Step{std::nullopt, std::move(call), std::nullopt};
}

} // namespace

std::string negotiateVersion(const nlohmann::json& requested)
{
    for (const auto& version : supportedVersions) {
        if (requested.is_string() && requested == version)
            return version;
    }
    return supportedVersions.front();
}

nlohmann::json initializeResult(const nlohmann::json& params)
{
    const auto requested = params.is_object() ? params.value("protocolVersion", nlohmann::json()) : nlohmann::json();
    return {
        {"protocolVersion", negotiateVersion(requested)},
        {"capabilities", {{"tools", {{"listChanged", false}}}}},
        {"serverInfo", {{"name", "ringlark"}, {"title", "Ringlark"}, {"version", RINGLARK_HELPER_VERSION}}},
        {"instructions", instructions},
    };
}

nlohmann::json toolsListResult()
{
    auto text = [](const char* description) {
        return nlohmann::json{{"type", "string"}, {"description", description}, {"maxLength", maxFieldLength}};
    };
    nlohmann::json tool{
        {"name", "request_human"},
        {"title", "Ask a human for help"},
        {"description",
         "Ask the person at this computer to do something only a person can do (log in, enter a code, "
         "answer a permission dialog, approve something) and wait until they mark it done or dismiss it."},
        {"inputSchema",
         {{"type", "object"},
          {"properties",
           {{"reason", text("Why a person is needed, in one sentence.")},
            {"ask", text("What the person should do or answer.")},
            {"app", text("The application concerned, if any.")},
            {"title", text("A short title for the notification.")}}},
          {"required", {"reason"}}}},
        // It reaches out to a person and changes nothing on this computer; asking twice rings twice.
        {"annotations",
         {{"title", "Ask a human for help"},
          {"readOnlyHint", false},
          {"destructiveHint", false},
          {"idempotentHint", false},
          {"openWorldHint", true}}},
    };
    return {{"tools", {tool}}};
}

nlohmann::json response(const nlohmann::json& id, nlohmann::json result)
{
    return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

nlohmann::json errorResponse(const nlohmann::json& id, int code, const std::string& message)
{
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

nlohmann::json toolResult(const std::string& text, bool isError)
{
    return {{"content", {{{"type", "text"}, {"text", text}}}}, {"isError", isError}};
}

nlohmann::json progressNotification(const nlohmann::json& token, int progress, const std::string& message)
{
    return {{"jsonrpc", "2.0"},
            {"method", "notifications/progress"},
            {"params", {{"progressToken", token}, {"progress", progress}, {"message", message}}}};
}

int nestingDepth(std::string_view text)
{
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

std::size_t codePoints(std::string_view text)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) >> 6) == 0x2;
        i += valid ? length : 1;
    }
    return count;
}

std::optional<std::string> fieldBoundError(const NewRequest& request)
{
    auto view = [](const std::optional<std::string>& text) { return text ? std::string_view(*text) : std::string_view(); };
    const std::pair<const char*, std::string_view> fields[] = {{"reason", request.reason},
                                                               {"ask", view(request.ask)},
                                                               {"agent", view(request.agent)},
                                                               {"app", view(request.app)},
                                                               {"title", view(request.title)}};
    for (const auto& [name, text] : fields) {
        if (codePoints(text) > maxFieldLength)
            return "The field `" + std::string(name) + "` is too long: at most " + std::to_string(maxFieldLength) +
                   " characters are allowed. Shorten it and call request_human again.";
    }
    return std::nullopt;
}

Step handleLine(std::string_view line)
{
    if (line.size() > maxLineBytes)
        return reply(errorResponse(nullptr, ErrorCode::parse,
                                   "Parse error: a message may be at most " + std::to_string(maxLineBytes) + " bytes"));
    if (nestingDepth(line) > maxNesting)
        return reply(errorResponse(nullptr, ErrorCode::parse,
                                   "Parse error: a message may nest at most " + std::to_string(maxNesting) + " levels"));
    const auto message = nlohmann::json::parse(line, nullptr, false);
    if (message.is_discarded())
        return reply(errorResponse(nullptr, ErrorCode::parse, "Parse error: the line is not JSON"));
    if (!message.is_object())
        return reply(errorResponse(nullptr, ErrorCode::invalidRequest, "Invalid request: expected one JSON object"));

    const bool hasId = message.contains("id");
    const auto id = message.value("id", nlohmann::json());
    auto method = message.find("method");
    if (method == message.end()) {
        // A response to a request we never send, or nothing at all.
        if (hasId && !message.contains("result") && !message.contains("error"))
            return reply(errorResponse(isValidId(id) ? id : nullptr, ErrorCode::invalidRequest, "Invalid request"));
        return {};
    }
    if (message.value("jsonrpc", nlohmann::json()) != "2.0" || !method->is_string() || (hasId && !isValidId(id)))
        return hasId ? reply(errorResponse(isValidId(id) ? id : nullptr, ErrorCode::invalidRequest, "Invalid request"))
                     : Step{};

    const std::string name = *method;
    const auto params = message.value("params", nlohmann::json::object());
    if (!hasId) {
        if (name == "notifications/cancelled" && params.is_object() && params.contains("requestId"))
            return Step{std::nullopt, std::nullopt, params["requestId"]};
        return {}; // notifications/initialized and any other notification need no answer
    }
    if (name == "initialize")
        return reply(response(id, initializeResult(params)));
    if (name == "ping")
        return reply(response(id, nlohmann::json::object()));
    if (name == "tools/list")
        return reply(response(id, toolsListResult()));
    if (name == "tools/call")
        return toolsCall(id, params);
    return reply(errorResponse(id, ErrorCode::methodNotFound, "Method not found: " + name));
}

nlohmann::json endingResult(Ending ending, const std::optional<std::string>& answer, std::chrono::milliseconds timeout)
{
    switch (ending) {
    case Ending::resolved:
        if (answer && !answer->empty())
            return toolResult("The person marked the request as done. Their answer: " + *answer, false);
        return toolResult("The person marked the request as done. Carry on with your task.", false);
    case Ending::dismissed:
        return toolResult("The person dismissed the request without doing it. Do not ask again at once: "
                          "carry on without it if you can, or stop and explain what you need.",
                          true);
    case Ending::withdrawn:
        return toolResult("The request was withdrawn before anyone handled it.", true);
    case Ending::timedOut:
        return toolResult("No one handled the request within " + durationText(timeout) +
                              ", so it was withdrawn. The person may be away: carry on without it if you can, "
                              "or try again later.",
                          true);
    case Ending::lost:
        return toolResult("The request was lost because Ringlark's daemon stopped or restarted while you waited. "
                          "Call request_human again if you still need a person.",
                          true);
    case Ending::channelUnsafe:
        return toolResult("Ringlark's daemon socket or token in ~/.ringlark is not private to this user (another "
                          "owner, or open to others), so Ringlark did not use it and no one was asked.",
                          true);
    case Ending::daemonDown:
        return toolResult("Ringlark's daemon is not running, so no one was asked. Make sure the Ringlark app "
                          "is running, then try again.",
                          true);
    }
    return toolResult("", true);
}

nlohmann::json refusedResult(const std::string& daemonText)
{
    auto text = daemonText;
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    if (text.empty())
        text = "no reason given";
    return toolResult("Ringlark's daemon refused the request: " + text, true);
}

} // namespace ringlark::helper::mcp
