#include "helper/phone/push/Payload.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "helper/phone/push/Base64Url.h"
#include "helper/phone/push/Ece.h"
#include "helper/phone/push/OpenSsl.h"

namespace ringlark::helper::push {

namespace {

// Ids and urls are the daemon's own and short; agent and app names come from
// the agent, so they get a cap that leaves the room to reason and ask.
constexpr std::size_t kMaxIdJson = 256;
constexpr std::size_t kMaxNameJson = 200;
constexpr std::string_view kEllipsis = "…";

using Json = nlohmann::ordered_json;

std::string dump(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string validUtf8(std::string_view text)
{
    // Serialising replaces bad sequences with U+FFFD; reading back gives the text.
    return Json::parse(dump(Json(std::string(text)))).get<std::string>();
}

// Bytes one character takes inside a JSON string as the serialiser writes it.
std::size_t jsonSize(std::string_view character)
{
    const auto c = static_cast<unsigned char>(character[0]);
    if (c == '"' || c == '\\' || c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t')
        return 2;
    if (c < 0x20)
        return 6;  // \u00XX
    return character.size();
}

std::size_t characterSize(unsigned char lead)
{
    return lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
}

} // namespace

std::string fitJsonText(std::string_view text, std::size_t maxJsonBytes)
{
    const std::string clean = validUtf8(text);
    std::size_t used = 0;
    std::size_t cutAt = std::string::npos;  // the last place where "…" still fits
    for (std::size_t i = 0; i < clean.size();) {
        const std::size_t n = characterSize(static_cast<unsigned char>(clean[i]));
        const std::size_t size = jsonSize(std::string_view(clean).substr(i, n));
        if (used + kEllipsis.size() <= maxJsonBytes)
            cutAt = i;
        if (used + size > maxJsonBytes)
            return cutAt == std::string::npos ? std::string() : clean.substr(0, cutAt) + std::string(kEllipsis);
        used += size;
        i += n;
    }
    return clean;
}

std::string payloadFor(const Notice& notice)
{
    Json json = {
        {"id", fitJsonText(notice.id, kMaxIdJson)},
        {"reason", ""},
        {"ask", ""},
        {"agent", fitJsonText(notice.agent, kMaxNameJson)},
        {"app", fitJsonText(notice.app, kMaxNameJson)},
        {"url", fitJsonText(notice.url, kMaxIdJson)},
    };
    const std::size_t budget = kMaxPlaintext - dump(json).size();
    const std::string reason = validUtf8(notice.reason);
    const std::string ask = validUtf8(notice.ask);
    const std::size_t reasonSize = dump(Json(reason)).size() - 2;
    const std::size_t askSize = dump(Json(ask)).size() - 2;

    // Either one keeps all it needs when that is at most half; otherwise they
    // share the room evenly.
    std::size_t reasonRoom = reasonSize;
    std::size_t askRoom = askSize;
    if (reasonSize + askSize > budget) {
        if (reasonSize <= budget / 2)
            askRoom = budget - reasonSize;
        else if (askSize <= budget / 2)
            reasonRoom = budget - askSize;
        else {
            reasonRoom = budget / 2;
            askRoom = budget - reasonRoom;
        }
    }
    json["reason"] = fitJsonText(reason, reasonRoom);
    json["ask"] = fitJsonText(ask, askRoom);
    return dump(json);
}

std::string endedPayload(std::string_view id)
{
    return dump(Json{{"type", "ended"}, {"id", fitJsonText(id, kMaxIdJson)}});
}

std::string topicFor(std::string_view id)
{
    const std::optional<std::string> hash = ossl::sha256(id);
    return base64UrlEncode(hash.value_or(std::string(id.substr(0, 24)))).substr(0, 32);
}

} // namespace ringlark::helper::push
