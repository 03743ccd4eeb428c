#include "helper/phone/PhoneServer.h"

#include "helper/api/Access.h"
#include "helper/phone/AppFiles.h"
#include "helper/phone/push/Base64Url.h"
#include "helper/phone/push/Endpoint.h"

#include <nlohmann/json.hpp>

#include <vector>

namespace ringlark::helper::phone {

namespace {

using nlohmann::json;

std::string dump(const json& value) { return dumpJson(value); }

http::Response jsonReply(int status, const json& body) { return http::json(status, dump(body)); }

// A JSON object body, or the reply that refuses it.
std::variant<json, http::Response> objectBody(const http::Request& request)
{
    if (jsonNesting(request.body, maxJsonNesting) > maxJsonNesting)
        return errorReply(400, "The body nests too deeply.");
    auto body = json::parse(request.body, nullptr, false);
    if (!body.is_object())
        return errorReply(400, "The body is not a JSON object.");
    return body;
}

std::optional<std::string> textAt(const json& object, const char* key)
{
    auto found = object.find(key);
    return found != object.end() && found->is_string() ? std::optional(found->get<std::string>()) : std::nullopt;
}

bool isCode(std::string_view code)
{
    return code.size() == 32
           && code.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

json deviceJson(const Device& device, std::string_view self)
{
    json entry{{"id", device.id},
               {"name", device.name},
               {"paired_at", device.pairedAt},
               {"push", device.push.has_value()},
               {"this", device.id == self}};
    if (device.lastSeen)
        entry["last_seen"] = device.lastSeen;
    return entry;
}

} // namespace

EventLoop::Clock::time_point pollDeadline(EventLoop::Clock::time_point now, std::chrono::milliseconds timeout)
{
    constexpr auto grid = std::chrono::seconds(5);
    const auto exact = now + timeout;
    if (timeout < 2 * grid)
        return exact;
    const auto sinceEpoch = exact.time_since_epoch();
    return EventLoop::Clock::time_point(sinceEpoch - sinceEpoch % grid);
}

PhoneServer::PhoneServer(EventLoop& loop, RequestStore& requests, DeviceStore& devices, PairingCodes& codes,
                         Services services, Settings settings)
    : m_loop(loop), m_requests(requests), m_devices(devices), m_codes(codes), m_services(std::move(services)),
      m_settings(std::move(settings))
{
}

PhoneServer::~PhoneServer()
{
    for (auto& [connection, parked] : m_parked)
        m_loop.cancel(parked.timer);
}

std::optional<Site> PhoneServer::site() const
{
    const auto tailscale = m_services.tailscale ? m_services.tailscale() : std::nullopt;
    if (!tailscale || !tailscale->ok || !tailscale->dnsName || tailscale->dnsName->empty())
        return std::nullopt;
    return Site{*tailscale->dnsName + ":" + std::to_string(servePort), m_settings.testHooks};
}

void PhoneServer::respond(ConnectionId connection, http::Response response)
{
    addSecurityHeaders(response);
    m_services.respond(connection, response);
}

void PhoneServer::handle(const HttpServer::Exchange& exchange, http::Request request)
{
    if (auto refused = refusal(request, site())) {
        refused->close = true;
        return respond(exchange.connection, std::move(*refused));
    }
    route(exchange.connection, request);
}

void PhoneServer::route(ConnectionId connection, const http::Request& request)
{
    const std::string& path = request.path;
    const std::string& method = request.method;
    if (!path.starts_with("/api/"))
        return method == "GET" ? page(connection, request) : respond(connection, errorReply(405, "Pages are only read."));

    if (path == "/api/v1/pair")
        return method == "POST" ? pair(connection, request) : respond(connection, errorReply(405, "Use POST."));

    // The relay's Dismiss button holds a capability for one request, not a device.
    static constexpr std::string_view requestsPrefix = "/api/v1/requests/";
    if (auto capability = request.queryValue("cap"); capability && method == "POST" && path.starts_with(requestsPrefix)
                                                     && path.ends_with("/dismiss")) {
        const std::string id = path.substr(requestsPrefix.size(), path.size() - requestsPrefix.size() - 8);
        if (!m_services.dismissAllowed || !m_services.dismissAllowed(id, *capability))
            return respond(connection, errorReply(403, "This dismiss link is not valid."));
        return endRequest(connection, id, RequestStatus::dismissed, std::nullopt);
    }

    const auto credential = deviceCookie(request);
    const Device* device = credential ? m_devices.authenticate(*credential) : nullptr;
    if (!device) {
        http::Response refused = errorReply(401, "This phone is not paired with this computer.");
        if (credential)
            refused.headers.emplace_back("Set-Cookie", clearCookie());
        return respond(connection, std::move(refused));
    }
    // A live window view asks for a frame after every change and sends input
    // at up to 50 events a second under limits of its own; the general cap
    // would cut it off, its Stop included.
    const bool sessionTraffic = path.starts_with("/api/v1/sessions/");
    if (!sessionTraffic && !m_perDevice.allow(device->id, m_settings.clock()))
        return respond(connection, errorReply(429, "Too many requests; slow down."));
    m_devices.seen(device->id);

    if (path == "/api/v1/requests")
        return method == "GET" ? list(connection, *device, request) : respond(connection, errorReply(405, "Use GET."));
    if (path.starts_with(requestsPrefix)) {
        const auto rest = std::string_view(path).substr(requestsPrefix.size());
        const auto slash = rest.find('/');
        const std::string id(rest.substr(0, slash));
        const auto action = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (method != "POST")
            return respond(connection, errorReply(405, "Use POST."));
        if (action == "answer")
            return answer(connection, id, request);
        if (action == "dismiss")
            return endRequest(connection, id, RequestStatus::dismissed, std::nullopt);
    }
    if (path == "/api/v1/push")
        return push(connection, *device, request);
    if (path == "/api/v1/devices" || path.starts_with("/api/v1/devices/"))
        return devices(connection, *device, request);
    if (m_services.streaming && m_services.streaming(connection, *device, request))
        return;
    respond(connection, errorReply(404, "There is nothing here."));
}

void PhoneServer::page(ConnectionId connection, const http::Request& request)
{
    const std::string& path = request.path;
    if (path == "/manifest.webmanifest") {
        const auto code = request.queryValue("c");
        http::Response manifest;
        manifest.contentType = "application/manifest+json";
        manifest.body = manifestFor(code && isCode(*code) ? std::optional<std::string_view>(*code) : std::nullopt);
        return respond(connection, std::move(manifest));
    }
    const bool appRoute = path == "/" || path == "/pair" || (path.starts_with("/r/") && path.size() > 3);
    const AppFile* file = appRoute ? appShell() : findAppFile(path);
    if (!file)
        return respond(connection, errorReply(404, "There is no such page."));
    http::Response reply;
    reply.contentType = std::string(file->contentType);
    reply.body = std::string(file->body);
    if (path == "/sw.js")
        reply.headers.emplace_back("Service-Worker-Allowed", "/");
    respond(connection, std::move(reply));
}

void PhoneServer::pair(ConnectionId connection, const http::Request& request)
{
    auto parsed = objectBody(request);
    if (auto* refused = std::get_if<http::Response>(&parsed))
        return respond(connection, std::move(*refused));
    const json& body = std::get<json>(parsed);
    const auto code = textAt(body, "code");
    auto name = textAt(body, "name").value_or("Phone");
    if (!code || !isCode(*code))
        return respond(connection, errorReply(400, "The pairing code is missing or malformed."));
    if (characterCount(name) > 100 || name.find_first_not_of(" \t") == std::string::npos)
        name = "Phone";

    // tailscale serve names the tailnet user behind each request; only the
    // computer's owner may pair, never another member or a tagged device.
    const auto tailscale = m_services.tailscale ? m_services.tailscale() : std::nullopt;
    const std::string* login = request.header("tailscale-user-login");
    if (!login)
        return respond(connection, errorReply(403, "Only a phone signed in to Tailscale as this computer's owner can "
                                                   "pair. This device is tagged or not signed in as a person."));
    const std::string owner = tailscale && tailscale->owner ? *tailscale->owner : std::string();
    if (owner.empty() || !sameSecret(*login, owner))
        return respond(connection, errorReply(403, "Only the owner of this computer on Tailscale ("
                                                       + (owner.empty() ? std::string("unknown") : owner)
                                                       + ") can pair a phone with it; this phone is signed in as "
                                                       + *login + "."));

    switch (m_codes.redeem(*code, m_settings.clock())) {
    case PairingCodes::Verdict::tooMany:
        return respond(connection, errorReply(429, "Too many pairing attempts; wait a minute and try again."));
    case PairingCodes::Verdict::wrong:
        return respond(connection, errorReply(410, "This pairing code is no longer valid. Show a new QR code on "
                                                   "your computer and scan it again."));
    case PairingCodes::Verdict::paired:
        break;
    }
    auto paired = m_devices.pair(name);
    if (!paired)
        return respond(connection, errorReply(500, "The computer could not save the pairing."));
    if (m_services.devicesChanged)
        m_services.devicesChanged();
    http::Response reply = jsonReply(200, {{"device", {{"id", paired->device.id}, {"name", paired->device.name}}}});
    reply.headers.emplace_back("Set-Cookie", setCookie(paired->credential));
    respond(connection, std::move(reply));
}

void PhoneServer::answerList(ConnectionId connection)
{
    auto requests = json::array();
    for (const auto& open : m_requests.open())
        requests.push_back(toJson(open));
    respond(connection, jsonReply(200, {{"version", m_requests.version()}, {"requests", requests}}));
}

void PhoneServer::list(ConnectionId connection, const Device& device, const http::Request& request)
{
    const auto since = request.queryValue("since");
    const auto wait = request.queryValue("timeout_ms");
    std::uint64_t timeoutMs = 0;
    if (wait && (wait->empty() || wait->size() > 9 || wait->find_first_not_of("0123456789") != std::string::npos))
        return respond(connection, errorReply(400, "timeout_ms must be a whole number of milliseconds."));
    if (wait)
        timeoutMs = std::min<std::uint64_t>(std::stoull(*wait), m_settings.maxWait.count());
    if (!since || *since != std::to_string(m_requests.version()) || timeoutMs == 0)
        return answerList(connection);
    if (auto earlier = m_parked.find(connection); earlier != m_parked.end())
        m_loop.cancel(earlier->second.timer);
    const auto deadline = pollDeadline(EventLoop::Clock::now(), std::chrono::milliseconds(timeoutMs));
    const auto timer = m_loop.at(deadline, [this, connection] {
        m_parked.erase(connection);
        answerList(connection);
    });
    m_parked[connection] = {timer, device.id};
}

void PhoneServer::requestsChanged()
{
    auto parked = std::move(m_parked);
    m_parked.clear();
    for (auto& [connection, each] : parked) {
        m_loop.cancel(each.timer);
        answerList(connection);
    }
}

void PhoneServer::deviceRemoved(const std::string& id)
{
    m_perDevice.forget(id);
    std::vector<ConnectionId> refused;
    for (const auto& [connection, parked] : m_parked)
        if (parked.device == id)
            refused.push_back(connection);
    for (const auto connection : refused) {
        m_loop.cancel(m_parked[connection].timer);
        m_parked.erase(connection);
        http::Response reply = errorReply(401, "This phone is not paired with this computer.");
        reply.headers.emplace_back("Set-Cookie", clearCookie());
        respond(connection, std::move(reply));
    }
}

void PhoneServer::connectionClosed(ConnectionId connection, bool)
{
    if (auto parked = m_parked.find(connection); parked != m_parked.end()) {
        m_loop.cancel(parked->second.timer);
        m_parked.erase(parked);
    }
    if (m_services.streamingClosed)
        m_services.streamingClosed(connection);
}

void PhoneServer::endRequest(ConnectionId connection, const std::string& id, std::string_view status,
                             std::optional<std::string> answer)
{
    const auto before = m_requests.find(id);
    if (!before)
        return respond(connection, errorReply(404, "There is no such request."));
    if (!before->isOpen())
        return respond(connection, jsonReply(409, {{"error", "This request has already ended."}, {"request", toJson(*before)}}));
    const auto ended = m_services.end(id, status, std::move(answer));
    if (!ended)
        return respond(connection, errorReply(404, "There is no such request."));
    respond(connection, jsonReply(200, {{"request", toJson(*ended)}}));
}

void PhoneServer::answer(ConnectionId connection, const std::string& id, const http::Request& request)
{
    auto parsed = objectBody(request);
    if (auto* refused = std::get_if<http::Response>(&parsed))
        return respond(connection, std::move(*refused));
    const auto text = textAt(std::get<json>(parsed), "text");
    if (!text || text->find_first_not_of(" \t\r\n") == std::string::npos)
        return respond(connection, errorReply(400, "Write an answer first."));
    if (characterCount(*text) > m_settings.maxAnswerCharacters)
        return respond(connection, errorReply(413, "An answer may be at most "
                                                       + std::to_string(m_settings.maxAnswerCharacters)
                                                       + " characters long."));
    endRequest(connection, id, RequestStatus::resolved, *text);
}

void PhoneServer::push(ConnectionId connection, const Device& device, const http::Request& request)
{
    if (request.method == "GET")
        return respond(connection, jsonReply(200, {{"vapid_public_key", m_settings.vapidPublicKey},
                                                   {"subscribed", device.push.has_value()}}));
    if (request.method != "PUT")
        return respond(connection, errorReply(405, "Use GET or PUT."));
    if (m_settings.vapidPublicKey.empty())
        return respond(connection, errorReply(503, "This computer cannot sign pushes; see ~/.ringlark/daemon.log."));
    auto parsed = objectBody(request);
    if (auto* refused = std::get_if<http::Response>(&parsed))
        return respond(connection, std::move(*refused));
    const json& body = std::get<json>(parsed);
    const auto endpoint = textAt(body, "endpoint");
    const json keys = body.value("keys", json::object());
    const auto p256dh = keys.is_object() ? textAt(keys, "p256dh") : std::nullopt;
    const auto auth = keys.is_object() ? textAt(keys, "auth") : std::nullopt;
    if (!endpoint || !p256dh || !auth)
        return respond(connection, errorReply(400, "Send the browser's push subscription."));
    if (auto problem = push::endpointProblem(*endpoint, m_settings.testHooks))
        return respond(connection, errorReply(400, *problem));
    const auto publicKey = push::base64UrlDecode(*p256dh);
    const auto secret = push::base64UrlDecode(*auth);
    if (!publicKey || publicKey->size() != 65 || (*publicKey)[0] != '\x04' || !secret || secret->size() != 16)
        return respond(connection, errorReply(400, "The subscription's keys are malformed."));
    if (!m_devices.subscribe(device.id, {*endpoint, *p256dh, *auth}))
        return respond(connection, errorReply(500, "The computer could not save the subscription."));
    if (m_services.devicesChanged)
        m_services.devicesChanged();
    respond(connection, jsonReply(200, json::object()));
}

void PhoneServer::devices(ConnectionId connection, const Device& device, const http::Request& request)
{
    static constexpr std::string_view prefix = "/api/v1/devices/";
    if (request.path == "/api/v1/devices") {
        if (request.method != "GET")
            return respond(connection, errorReply(405, "Use GET."));
        auto list = json::array();
        for (const auto& each : m_devices.devices())
            list.push_back(deviceJson(each, device.id));
        return respond(connection, jsonReply(200, {{"devices", list}}));
    }
    if (request.method != "DELETE")
        return respond(connection, errorReply(405, "Use DELETE."));
    const std::string id = request.path.substr(prefix.size());
    const bool self = id == device.id; // `device` is gone once removed
    const bool removed = m_services.forgetDevice ? m_services.forgetDevice(id) : m_devices.remove(id);
    if (!removed)
        return respond(connection, errorReply(404, "There is no such device."));
    if (!m_services.forgetDevice)
        deviceRemoved(id);
    if (m_services.devicesChanged)
        m_services.devicesChanged();
    http::Response reply = jsonReply(200, json::object());
    if (self)
        reply.headers.emplace_back("Set-Cookie", clearCookie());
    respond(connection, std::move(reply));
}

} // namespace ringlark::helper::phone
