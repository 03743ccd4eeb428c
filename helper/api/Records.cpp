#include "helper/api/Records.h"

namespace ringlark::helper {

namespace {

void putOptional(nlohmann::json& object, const char* key, const std::optional<std::string>& value)
{
    if (value)
        object[key] = *value;
}

} // namespace

nlohmann::json toJson(const TailscaleInfo& tailscale)
{
    nlohmann::json object{{"ok", tailscale.ok}};
    putOptional(object, "ip", tailscale.ip);
    putOptional(object, "host", tailscale.host);
    putOptional(object, "owner", tailscale.owner);
    putOptional(object, "error", tailscale.error);
    return object;
}

nlohmann::json toJson(const DaemonStatus& status)
{
    return {
        {"version", status.version},
        {"tailscale", toJson(status.tailscale)},
        {"permissions", {{"screen_recording", status.screenRecording}, {"accessibility", status.accessibility}}},
        {"push", {{"mode", status.pushMode}, {"devices", status.devices}}},
        {"pending", status.pending},
        {"session_active", status.sessionActive},
    };
}

nlohmann::json toJson(const HelpRequest& request)
{
    nlohmann::json object{
        {"id", request.id},
        {"status", request.status},
        {"reason", request.reason},
        {"created_at", request.createdAt},
        {"updated_at", request.updatedAt},
    };
    putOptional(object, "app", request.app);
    putOptional(object, "title", request.title);
    putOptional(object, "agent", request.agent);
    putOptional(object, "ask", request.ask);
    putOptional(object, "answer", request.answer);
    return object;
}

nlohmann::json permissionsJson(bool screenRecording, bool accessibility)
{
    return {{"screen_recording", screenRecording}, {"accessibility", accessibility}};
}

std::size_t characterCount(std::string_view utf8)
{
    std::size_t count = 0;
    for (unsigned char c : utf8)
        count += (c & 0xC0u) != 0x80u; // continuation bytes belong to the character before
    return count;
}

std::optional<std::string> oversizedField(const NewRequest& request)
{
    const std::pair<const char*, const std::string*> fields[] = {
        {"reason", &request.reason},
        {"ask", request.ask ? &*request.ask : nullptr},
        {"app", request.app ? &*request.app : nullptr},
        {"title", request.title ? &*request.title : nullptr},
        {"agent", request.agent ? &*request.agent : nullptr},
    };
    for (const auto& [name, value] : fields) {
        if (value && characterCount(*value) > maxFieldCharacters)
            return std::string("`") + name + "` is longer than " + std::to_string(maxFieldCharacters) + " characters.";
    }
    return std::nullopt;
}

Expected<NewRequest, std::string> parseNewRequest(const nlohmann::json& object)
{
    if (!object.is_object())
        return unexpected(std::string("the arguments must be a JSON object"));
    auto text = [&](const char* key, std::optional<std::string>& into) -> std::optional<std::string> {
        auto found = object.find(key);
        if (found == object.end() || found->is_null())
            return std::nullopt;
        if (!found->is_string())
            return std::string("`") + key + "` must be a string";
        into = found->get<std::string>();
        return std::nullopt;
    };
    NewRequest request;
    std::optional<std::string> reason;
    for (auto [key, into] : {std::pair{"reason", &reason}, {"ask", &request.ask}, {"app", &request.app},
                             {"title", &request.title}, {"agent", &request.agent}}) {
        if (auto problem = text(key, *into))
            return unexpected(std::move(*problem));
    }
    if (!reason || reason->find_first_not_of(" \t\r\n") == std::string::npos)
        return unexpected(std::string("`reason` is required: say why a person is needed"));
    request.reason = std::move(*reason);
    return request;
}

std::string pairingUrl(std::string_view serveHost, int port, std::string_view code)
{
    return "https://" + std::string(serveHost) + ":" + std::to_string(port) + "/pair?c=" + std::string(code);
}

std::string dumpJson(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace ringlark::helper
