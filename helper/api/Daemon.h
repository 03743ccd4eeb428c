#pragma once

#include "helper/api/Access.h"
#include "helper/net/EventLoop.h"
#include "helper/net/Http.h"
#include "helper/net/HttpServer.h"
#include "helper/api/RequestStore.h"
#include "helper/system/Tailscale.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace ringlark::helper {

// The daemon's routes, long polls and request lifetimes, on the loop's thread.
// Sockets belong to the server and slow work to the services.
class Daemon {
public:
    using ConnectionId = HttpServer::ConnectionId;
    struct PhoneFacts {
        std::string pushMode = "off";
        std::int64_t devices = 0;
        bool sessionActive = false;
    };

    struct Services {
        std::function<void(ConnectionId, const http::Response&)> respond;
        // Asks for Tailscale's state; `then` is called on the loop once it is known.
        std::function<void(std::function<void(TailscaleInfo)> then)> fetchTailscale;
        std::function<void(const HelpRequest&)> announce; // a request was created
        std::function<void(const std::string& id)> closed; // a request stopped being open
        // The phone side: how pushes go, how many phones are paired, whether one streams.
        std::function<PhoneFacts()> phone;
        // The code of the pairing link, or why no phone can pair now.
        std::function<Expected<std::string, std::string>()> pairingCode;
        // What the daemon may do with the display; nothing until it is known,
        // and the status waits for it rather than report a guess.
        std::function<std::optional<std::pair<bool, bool>>()> permissions;
        std::function<std::string()> devices;                 // GET /v1/devices, as JSON
        std::function<bool(const std::string& id)> forgetDevice; // DELETE /v1/devices/{id}
    };
    struct Settings {
        std::string version;
        AccessRules access;
        bool testHooks = false;
        std::size_t maxOpenRequests = 100;
        std::chrono::milliseconds defaultWait{20000};
        std::chrono::milliseconds maxWait{30000};
        // How long a request outlives the last connection that waited on it.
        std::chrono::milliseconds orphanGrace{5000};
        TailscaleFreshness tailscaleFreshness;
        // For Tailscale's freshness only; the loop's timers keep the steady clock.
        std::function<EventLoop::Clock::time_point()> clock = EventLoop::Clock::now;
    };

    Daemon(EventLoop& loop, RequestStore& store, Services services, Settings settings);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    void handle(const HttpServer::Exchange& exchange, http::Request request);
    void connectionClosed(ConnectionId connection, bool awaiting);

    // Ends an open request and answers everyone waiting on it; the first ending
    // wins. The request as it now stands, or nothing for an unknown id.
    std::optional<HelpRequest> end(const std::string& id, std::string_view status,
                                   std::optional<std::string> answer = std::nullopt);

    // Asks for Tailscale's state ahead of the first status request.
    void prefetch() { refreshTailscale(); }

    // The network changed in a way that may concern Tailscale: the known state
    // is kept for answering but asked for again at the next use, and the
    // settling period starts over.
    void tailscaleMayHaveChanged();

    std::size_t parkedWaits() const { return m_parked.size(); }
    // The permissions are known now: status requests waiting for them are answered.
    void permissionsKnown();
    // The last known state of Tailscale, if any.
    const std::optional<TailscaleInfo>& knownTailscale() const { return m_tailscale; }

private:
    struct Waiter {
        ConnectionId connection;
        EventLoop::TimerId timer;
    };

    void route(ConnectionId connection, const http::Request& request);
    void status(ConnectionId connection);
    void pairing(ConnectionId connection);
    void devices(ConnectionId connection, const http::Request& request);
    void create(ConnectionId connection, const http::Request& request);
    void wait(ConnectionId connection, const std::string& id, const http::Request& request);
    // Dismiss, resolve or withdraw, as a client asked.
    void endOnRequest(ConnectionId connection, const std::string& id, std::string_view status, const http::Request& request);
    void forceStatus(ConnectionId connection, const http::Request& request);

    void withTailscale(std::function<void(const TailscaleInfo&)> then);
    void refreshTailscale();
    void answerWaiter(const std::string& id, ConnectionId connection);
    void watchOrphan(const std::string& id);
    void respond(ConnectionId connection, const http::Response& response) { m_services.respond(connection, response); }

    EventLoop& m_loop;
    RequestStore& m_store;
    Services m_services;
    Settings m_settings;

    std::optional<nlohmann::json> m_forcedStatus;
    std::vector<ConnectionId> m_awaitingPermissions;

    std::optional<TailscaleInfo> m_tailscale;
    std::optional<DaemonStatus> m_lastStatus;
    std::string m_lastStatusBody;
    EventLoop::Clock::time_point m_tailscaleAt;
    EventLoop::Clock::time_point m_networkChangedAt; // or the start
    // Counts network changes, so a run that began before one is not trusted after it.
    std::uint64_t m_networkChanges = 0;
    std::uint64_t m_tailscaleChangesSeen = 0;
    bool m_tailscaleFetching = false;
    std::vector<std::function<void(const TailscaleInfo&)>> m_tailscaleWaiting;

    std::unordered_map<std::string, std::vector<Waiter>> m_waiters; // request id → parked long polls
    std::unordered_map<ConnectionId, std::string> m_parked;         // connection → the id it waits on
    // Connections that have waited on an open request, alive or parked: while
    // one remains, the agent is still there.
    std::unordered_map<std::string, std::set<ConnectionId>> m_watchers;
    std::unordered_map<ConnectionId, std::set<std::string>> m_watching;
    std::unordered_map<std::string, EventLoop::TimerId> m_orphanTimers;
};

} // namespace ringlark::helper
