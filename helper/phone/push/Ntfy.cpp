#include "helper/phone/push/Ntfy.h"

#include <algorithm>
#include <cctype>

#include <nlohmann/json.hpp>

#include "helper/phone/push/Endpoint.h"

namespace ringlark::helper::push {

namespace {

constexpr std::size_t kMaxTitle = 250;
constexpr std::size_t kMaxMessage = 3000;  // ntfy keeps messages up to 4096 bytes as text

bool validTopic(std::string_view topic)
{
    return !topic.empty() && topic.size() <= 64 && std::all_of(topic.begin(), topic.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_';
    });
}

bool validToken(std::string_view token)
{
    return token.size() <= 512
        && std::all_of(token.begin(), token.end(), [](unsigned char c) { return c > 0x20 && c < 0x7f; });
}

} // namespace

Expected<HttpRequest> ntfyRequest(const NtfyTarget& target, const Notice& notice, std::string_view pageUrl,
                                  std::string_view dismissUrl, bool testMode)
{
    const std::optional<UrlParts> server = splitUrl(target.server);
    if (!server || server->target.find('?') != std::string::npos)
        return Failure{"the ntfy server is not a plain http(s) URL"};
    if (server->scheme != "https" && !(testMode && isLoopbackHost(server->host)))
        return Failure{"the ntfy server must use https"};
    if (!validTopic(target.topic))
        return Failure{"the ntfy topic may hold only letters, digits, '-' and '_' (at most 64)"};
    if (!validToken(target.token))
        return Failure{"the ntfy access token holds characters a header cannot carry"};
    if (!splitUrl(pageUrl) || !splitUrl(dismissUrl))
        return Failure{"the request's links are not http(s) URLs"};

    const std::string title = notice.reason.empty() ? std::string("An agent needs you") : notice.reason;
    std::string message = notice.ask.empty() ? notice.reason : notice.ask;
    std::string from = notice.agent;
    if (!notice.app.empty())
        from += (from.empty() ? "" : " · ") + notice.app;
    if (!from.empty())
        message = fitJsonText(message, kMaxMessage - 200) + "\n— " + fitJsonText(from, 190);

    const nlohmann::ordered_json body = {
        {"topic", target.topic},
        {"title", fitJsonText(title, kMaxTitle)},
        {"message", fitJsonText(message, kMaxMessage)},
        {"priority", 5},
        {"click", std::string(pageUrl)},
        {"actions",
         {{
             {"action", "http"},
             {"label", "Dismiss"},
             {"url", std::string(dismissUrl)},
             {"method", "POST"},
             {"body", "{}"},
             {"headers", {{"Content-Type", "application/json"}, {"X-Ringlark-Phone", "1"}}},
         }}},
    };

    HttpRequest request;
    // JSON publishes go to the server's root (or the base path it lives under).
    request.url = server->origin + server->target;
    request.body = body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    request.contentType = "application/json";
    if (!target.token.empty())
        request.headers.emplace_back("Authorization", "Bearer " + target.token);
    return request;
}

} // namespace ringlark::helper::push
