// The daemon's HTTP interface, on 127.0.0.1:<port> (8641, or RINGLARK_PORT) and
// on the Unix socket ~/.ringlark/daemon.sock. Every request carries the token
// from ~/.ringlark/daemon.token in X-Ringlark-Token (see Access.h).
//
// Read by the app:
//   GET  /v1/status                  status object (pending counts open requests)
//   GET  /v1/requests                open help requests, oldest first
//   GET  /v1/pairing                 {"url": "https://<machine>.<tailnet>.ts.net:8643/pair?c=<code>"}
//                                    once Tailscale and tailscale serve are usable, else 503;
//                                    the code is single use and lives ten minutes
//   GET  /v1/devices                 the paired phones: [{"id","name","paired_at","last_seen"?,"push"}]
//   DELETE /v1/devices/{id}          forgets a phone at once: its cookie and pushes stop
//   POST /v1/requests/{id}/cancel    dismisses a request (the person said no); 404 if unknown
//
// The helper's own, used by `ringlark mcp` and by tests:
//   POST /v1/requests                creates a request from {"reason", "ask"?, "app"?,
//                                    "title"?, "agent"?}; answers 201 with the request and
//                                    rings the desktop through notify-send when there is one
//   GET  /v1/requests/{id}/wait?timeout_ms=N
//                                    long poll: answers once the request is no longer
//                                    pending, or after N ms (0 to 30000) with it as it
//                                    stands; its "status" tells which; 404 if unknown
//   POST /v1/requests/{id}/resolve   marks a request done; optional body {"answer": text}
//   POST /v1/requests/{id}/withdraw  the asking agent no longer needs an answer
//   PUT  /x/status                   with RINGLARK_TEST_HOOKS=1 only: replaces the computed
//                                    status with the body, verbatim, until DELETE /x/status
//
// A request that someone waited on is withdrawn once no connection has waited
// on it for a few seconds: an agent that was killed leaves nothing behind.

#include "helper/api/Daemon.h"

#include "helper/system/Tailscale.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace ringlark::helper {

namespace {

http::Response unknownRequest(const std::string& id)
{
    return http::text(404, "No help request with id \"" + id + "\".");
}

http::Response requestJson(const HelpRequest& request, int code = 200)
{
    return http::json(code, dumpJson(toJson(request)));
}

// A JSON body, refused before parsing when it nests too deeply.
std::optional<nlohmann::json> parseBody(const std::string& body, http::Response& refusal)
{
    if (jsonNesting(body, maxJsonNesting) > maxJsonNesting) {
        refusal = http::text(400, "The body nests deeper than " + std::to_string(maxJsonNesting) + " levels.");
        return std::nullopt;
    }
    auto parsed = nlohmann::json::parse(body, nullptr, false);
    if (parsed.is_discarded()) {
        refusal = http::text(400, "The body is not JSON.");
        return std::nullopt;
    }
    return parsed;
}

// timeout_ms: a whole number, clamped to [0, max]; nothing when malformed.
std::optional<std::chrono::milliseconds> waitTimeout(const std::optional<std::string>& given,
                                                     std::chrono::milliseconds fallback, std::chrono::milliseconds max)
{
    if (!given)
        return std::min(fallback, max);
    std::string_view digits = *given;
    const bool negative = digits.starts_with('-');
    if (negative)
        digits.remove_prefix(1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    if (negative)
        return std::chrono::milliseconds(0);
    const auto significant = digits.find_first_not_of('0');
    if (significant == std::string_view::npos)
        return std::chrono::milliseconds(0);
    digits.remove_prefix(significant);
    if (digits.size() > 9)
        return max;
    return std::min(std::chrono::milliseconds(std::stoll(std::string(digits))), max);
}

} // namespace

Daemon::Daemon(EventLoop& loop, RequestStore& store, Services services, Settings settings)
    : m_loop(loop), m_store(store), m_services(std::move(services)), m_settings(std::move(settings)),
      m_networkChangedAt(m_settings.clock())
{
}

Daemon::~Daemon()
{
    for (auto& [id, waiters] : m_waiters)
        for (const auto& waiter : waiters)
            m_loop.cancel(waiter.timer);
    for (auto& [id, timer] : m_orphanTimers)
        m_loop.cancel(timer);
}

void Daemon::handle(const HttpServer::Exchange& exchange, http::Request request)
{
    if (auto refused = refusal(request, m_settings.access, exchange.transport)) {
        // A client without the token has nothing more to say here.
        refused->close = true;
        respond(exchange.connection, *refused);
        return;
    }
    route(exchange.connection, request);
}

void Daemon::route(ConnectionId connection, const http::Request& request)
{
    const std::string& path = request.path;
    const std::string& method = request.method;
    auto notAllowed = [&] { respond(connection, http::text(405, "This method is not allowed here.")); };

    if (path == "/v1/status")
        return method == "GET" ? status(connection) : notAllowed();
    if (path == "/v1/pairing")
        return method == "GET" ? pairing(connection) : notAllowed();
    if (path == "/v1/devices" || path.starts_with("/v1/devices/"))
        return devices(connection, request);
    if (path == "/v1/requests") {
        if (method == "GET") {
            auto list = nlohmann::json::array();
            for (const auto& open : m_store.open())
                list.push_back(toJson(open));
            return respond(connection, http::json(200, dumpJson(list)));
        }
        return method == "POST" ? create(connection, request) : notAllowed();
    }
    if (path == "/x/status" && m_settings.testHooks) {
        if (method == "PUT")
            return forceStatus(connection, request);
        if (method == "DELETE") {
            m_forcedStatus.reset();
            return respond(connection, {204, {}, {}, {}, false});
        }
        return notAllowed();
    }
    static constexpr std::string_view prefix = "/v1/requests/";
    if (path.starts_with(prefix)) {
        const auto slash = path.find('/', prefix.size());
        const std::string id = path.substr(prefix.size(), slash - prefix.size());
        const std::string action = slash == std::string::npos ? "" : path.substr(slash + 1);
        if (!id.empty() && action == "wait")
            return method == "GET" ? wait(connection, id, request) : notAllowed();
        if (!id.empty() && (action == "cancel" || action == "resolve" || action == "withdraw")) {
            if (method != "POST")
                return notAllowed();
            // "cancel" is the wire's name for the person's Dismiss.
            const char* status = action == "cancel"    ? RequestStatus::dismissed
                                 : action == "resolve" ? RequestStatus::resolved
                                                       : RequestStatus::withdrawn;
            return endOnRequest(connection, id, status, request);
        }
    }
    respond(connection, http::text(404, "There is nothing at " + path + "."));
}

void Daemon::status(ConnectionId connection)
{
    if (m_forcedStatus)
        return respond(connection, http::json(200, dumpJson(*m_forcedStatus)));
    const auto permissions = m_services.permissions ? m_services.permissions()
                                                   : std::optional<std::pair<bool, bool>>(std::pair{false, false});
    if (!permissions) {
        m_awaitingPermissions.push_back(connection);
        return;
    }
    withTailscale([this, connection, permissions](const TailscaleInfo& tailscale) {
        DaemonStatus status;
        status.version = m_settings.version;
        status.tailscale = tailscale;
        status.pending = m_store.openCount();
        status.screenRecording = permissions->first;
        status.accessibility = permissions->second;
        if (m_services.phone) {
            const PhoneFacts phone = m_services.phone();
            status.pushMode = phone.pushMode;
            status.devices = phone.devices;
            status.sessionActive = phone.sessionActive;
        }
        // Polled every few seconds and rarely different: serialised once per change.
        if (!m_lastStatus || !(*m_lastStatus == status)) {
            m_lastStatusBody = dumpJson(toJson(status));
            m_lastStatus = std::move(status);
        }
        respond(connection, http::json(200, m_lastStatusBody));
    });
}

void Daemon::permissionsKnown()
{
    auto waiting = std::move(m_awaitingPermissions);
    m_awaitingPermissions.clear();
    for (ConnectionId connection : waiting)
        status(connection);
}

void Daemon::pairing(ConnectionId connection)
{
    auto answer = [this, connection](const TailscaleInfo& tailscale) {
        if (!tailscale.ok || !tailscale.dnsName || tailscale.dnsName->empty())
            return respond(connection, http::text(503, "Pairing needs Tailscale: "
                                                           + tailscale.error.value_or("Tailscale has no name for this computer yet")
                                                           + "."));
        if (!m_services.pairingCode)
            return respond(connection, http::text(503, "This daemon pairs no phones."));
        const auto code = m_services.pairingCode();
        if (!code)
            return respond(connection, http::text(503, code.error()));
        const nlohmann::json body{{"url", pairingUrl(*tailscale.dnsName, servePort, *code)}};
        respond(connection, http::json(200, dumpJson(body)));
    };
    if (!m_forcedStatus)
        return withTailscale(answer);
    TailscaleInfo forced;
    const auto tailscale = m_forcedStatus->value("tailscale", nlohmann::json::object());
    if (tailscale.is_object()) {
        forced.ok = tailscale.value("ok", nlohmann::json(false)) == true;
        // A forced status names the machine by its host; tests give the serve name as "dns_name".
        for (const char* key : {"host", "dns_name"})
            if (auto name = tailscale.find(key); name != tailscale.end() && name->is_string())
                forced.dnsName = name->get<std::string>();
    }
    answer(forced);
}

void Daemon::devices(ConnectionId connection, const http::Request& request)
{
    if (request.path == "/v1/devices") {
        if (request.method != "GET")
            return respond(connection, http::text(405, "This method is not allowed here."));
        return respond(connection, http::json(200, m_services.devices ? m_services.devices() : "[]"));
    }
    if (request.method != "DELETE")
        return respond(connection, http::text(405, "This method is not allowed here."));
    const std::string id = request.path.substr(std::string_view("/v1/devices/").size());
    if (!m_services.forgetDevice || !m_services.forgetDevice(id))
        return respond(connection, http::text(404, "No paired phone with id \"" + id + "\"."));
    respond(connection, http::json(200, "{}"));
}

void Daemon::create(ConnectionId connection, const http::Request& request)
{
    if (static_cast<std::size_t>(m_store.openCount()) >= m_settings.maxOpenRequests)
        return respond(connection, http::text(429, "Too many open requests (" + std::to_string(m_settings.maxOpenRequests)
                                                       + "). Resolve or dismiss some first."));
    http::Response refused;
    auto body = parseBody(request.body, refused);
    if (!body)
        return respond(connection, refused);
    auto parsed = parseNewRequest(*body);
    if (!parsed)
        return respond(connection, http::text(400, "Invalid request: " + parsed.error() + "."));
    if (auto tooLong = oversizedField(*parsed))
        return respond(connection, http::text(413, *tooLong));
    const HelpRequest created = m_store.create(*parsed);
    if (m_services.announce)
        m_services.announce(created);
    respond(connection, requestJson(created, 201));
}

void Daemon::wait(ConnectionId connection, const std::string& id, const http::Request& request)
{
    const auto timeout = waitTimeout(request.queryValue("timeout_ms"), m_settings.defaultWait, m_settings.maxWait);
    if (!timeout)
        return respond(connection, http::text(400, "timeout_ms must be a whole number of milliseconds."));
    const auto found = m_store.find(id);
    if (!found)
        return respond(connection, unknownRequest(id));
    if (!found->isOpen() || timeout->count() == 0)
        return respond(connection, requestJson(*found));

    // Someone is there for this request again.
    if (auto orphan = m_orphanTimers.find(id); orphan != m_orphanTimers.end()) {
        m_loop.cancel(orphan->second);
        m_orphanTimers.erase(orphan);
    }
    m_watchers[id].insert(connection);
    m_watching[connection].insert(id);

    const auto timer = m_loop.at(EventLoop::Clock::now() + *timeout, [this, id, connection] {
        auto& waiters = m_waiters[id];
        std::erase_if(waiters, [&](const Waiter& waiter) { return waiter.connection == connection; });
        if (waiters.empty())
            m_waiters.erase(id);
        m_parked.erase(connection);
        answerWaiter(id, connection);
    });
    m_waiters[id].push_back({connection, timer});
    m_parked[connection] = id;
}

void Daemon::answerWaiter(const std::string& id, ConnectionId connection)
{
    if (auto found = m_store.find(id))
        respond(connection, requestJson(*found));
    else
        respond(connection, unknownRequest(id));
}

void Daemon::endOnRequest(ConnectionId connection, const std::string& id, std::string_view status,
                          const http::Request& request)
{
    std::optional<std::string> answer;
    if (!request.body.empty()) {
        http::Response refused;
        auto body = parseBody(request.body, refused);
        if (!body)
            return respond(connection, refused);
        if (body->is_object() && body->contains("answer") && (*body)["answer"].is_string())
            answer = (*body)["answer"].get<std::string>();
    }
    auto ended = end(id, status, std::move(answer));
    respond(connection, ended ? requestJson(*ended) : unknownRequest(id));
}

std::optional<HelpRequest> Daemon::end(const std::string& id, std::string_view status, std::optional<std::string> answer)
{
    const auto before = m_store.find(id);
    auto ended = m_store.close(id, status, std::move(answer));
    if (!ended || !before || !before->isOpen())
        return ended;

    if (auto orphan = m_orphanTimers.find(id); orphan != m_orphanTimers.end()) {
        m_loop.cancel(orphan->second);
        m_orphanTimers.erase(orphan);
    }
    if (auto watchers = m_watchers.find(id); watchers != m_watchers.end()) {
        for (ConnectionId connection : watchers->second)
            m_watching[connection].erase(id);
        m_watchers.erase(watchers);
    }
    if (auto waiters = m_waiters.find(id); waiters != m_waiters.end()) {
        const auto parked = std::move(waiters->second);
        m_waiters.erase(waiters);
        const auto body = requestJson(*ended);
        for (const auto& waiter : parked) {
            m_loop.cancel(waiter.timer);
            m_parked.erase(waiter.connection);
            respond(waiter.connection, body);
        }
    }
    if (m_services.closed)
        m_services.closed(id);
    return ended;
}

void Daemon::connectionClosed(ConnectionId connection, bool /*awaiting*/)
{
    if (auto parked = m_parked.find(connection); parked != m_parked.end()) {
        auto waiters = m_waiters.find(parked->second);
        if (waiters != m_waiters.end()) {
            std::erase_if(waiters->second, [&](const Waiter& waiter) {
                if (waiter.connection != connection)
                    return false;
                m_loop.cancel(waiter.timer);
                return true;
            });
            if (waiters->second.empty())
                m_waiters.erase(waiters);
        }
        m_parked.erase(parked);
    }
    auto watching = m_watching.find(connection);
    if (watching == m_watching.end())
        return;
    const auto ids = std::move(watching->second);
    m_watching.erase(watching);
    for (const auto& id : ids) {
        auto watchers = m_watchers.find(id);
        if (watchers == m_watchers.end())
            continue;
        watchers->second.erase(connection);
        if (watchers->second.empty()) {
            m_watchers.erase(watchers);
            watchOrphan(id);
        }
    }
}

// The last connection that waited on `id` is gone: unless a new wait comes
// within the grace, nobody is left to take the answer.
void Daemon::watchOrphan(const std::string& id)
{
    const auto found = m_store.find(id);
    if (!found || !found->isOpen() || m_orphanTimers.contains(id))
        return;
    m_orphanTimers[id] = m_loop.at(EventLoop::Clock::now() + m_settings.orphanGrace, [this, id] {
        m_orphanTimers.erase(id);
        if (!m_watchers.contains(id))
            end(id, RequestStatus::withdrawn);
    });
}

void Daemon::forceStatus(ConnectionId connection, const http::Request& request)
{
    http::Response refused;
    auto body = parseBody(request.body, refused);
    if (!body)
        return respond(connection, refused);
    if (!body->is_object())
        return respond(connection, http::text(400, "The body must be a JSON object."));
    m_forcedStatus = std::move(*body);
    respond(connection, {204, {}, {}, {}, false});
}

void Daemon::withTailscale(std::function<void(const TailscaleInfo&)> then)
{
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const auto now = m_settings.clock();
    const bool fresh = m_tailscale && m_tailscaleChangesSeen == m_networkChanges
                       && tailscaleStillFresh(m_settings.tailscaleFreshness, m_tailscale->ok,
                                              duration_cast<milliseconds>(now - m_tailscaleAt),
                                              duration_cast<milliseconds>(now - m_networkChangedAt));
    if (!fresh)
        refreshTailscale();
    // A known state answers at once, even while a newer one is being asked for.
    if (m_tailscale)
        then(*m_tailscale);
    else
        m_tailscaleWaiting.push_back(std::move(then));
}

void Daemon::tailscaleMayHaveChanged()
{
    ++m_networkChanges;
    m_networkChangedAt = m_settings.clock();
}

void Daemon::refreshTailscale()
{
    if (m_tailscaleFetching || !m_services.fetchTailscale)
        return;
    m_tailscaleFetching = true;
    m_services.fetchTailscale([this, changes = m_networkChanges](TailscaleInfo info) {
        m_tailscaleFetching = false;
        m_tailscale = std::move(info);
        // Aged from the answer, so a slow run does not come back stale.
        m_tailscaleAt = m_settings.clock();
        m_tailscaleChangesSeen = changes;
        auto waiting = std::move(m_tailscaleWaiting);
        m_tailscaleWaiting.clear();
        for (auto& then : waiting)
            then(*m_tailscale);
    });
}

} // namespace ringlark::helper
