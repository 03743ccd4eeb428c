#include "helper/phone/push/Vapid.h"

#include <algorithm>
#include <cctype>

#include <nlohmann/json.hpp>

#include "helper/phone/push/Base64Url.h"

namespace ringlark::helper::push {

Expected<std::string> vapidJwt(const VapidKey& key, std::string_view audience, std::string_view subject,
                               std::chrono::system_clock::time_point now)
{
    if (audience.empty())
        return Failure{"no audience for the push token"};
    if (const auto problem = subjectProblem(subject))
        return Failure{*problem};
    const auto expires = std::chrono::duration_cast<std::chrono::seconds>((now + kTokenLifetime).time_since_epoch());
    const nlohmann::json claims = {
        {"aud", std::string(audience)},
        {"exp", expires.count()},
        {"sub", std::string(subject)},
    };
    const std::string signingInput = base64UrlEncode(R"({"typ":"JWT","alg":"ES256"})") + "."
        + base64UrlEncode(claims.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    Expected<std::string> signature = key.sign(signingInput);
    if (!signature)
        return signature;
    return signingInput + "." + base64UrlEncode(*signature);
}

std::string vapidAuthorization(std::string_view jwt, const VapidKey& key)
{
    return "vapid t=" + std::string(jwt) + ", k=" + key.publicKeyBase64Url();
}

std::optional<std::string> subjectProblem(std::string_view subject)
{
    std::string lower(subject);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string_view rest;
    if (lower.starts_with("https://"))
        rest = std::string_view(lower).substr(8);
    else if (lower.starts_with("mailto:"))
        rest = std::string_view(lower).substr(lower.find('@') == std::string::npos ? lower.size() : lower.find('@') + 1);
    else
        return "the push contact must start with https:// or mailto:";
    const std::string_view host = rest.substr(0, rest.find_first_of("/:?#"));
    if (host.empty())
        return "the push contact names no host";
    for (const std::string_view name : {"localhost", "local", "invalid"}) {
        if (host == name || (host.ends_with(name) && host[host.size() - name.size() - 1] == '.'))
            return "push services refuse a contact at " + std::string(host);
    }
    return std::nullopt;
}

} // namespace ringlark::helper::push
