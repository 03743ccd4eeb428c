#pragma once

#include "helper/RequestStore.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace httplib {
class Server;
}

namespace ringlark::helper {

// The daemon's HTTP routes over a request store; no sockets or processes of its own.
class DaemonService {
public:
    struct Hooks {
        std::function<TailscaleInfo()> tailscale;
        std::function<void(const HelpRequest&)> announce;  // a request was created
        std::function<void(const std::string& id)> closed; // a request stopped being open
    };
    struct Settings {
        std::string version;
        int port = 8641;
        std::string pairingToken;
        int maxWaiters = 48; // long polls beyond this answer at once, keeping threads for the app
    };

    DaemonService(RequestStore& store, Hooks hooks, Settings settings);

    void install(httplib::Server& server);

    DaemonStatus computedStatus() const;

private:
    std::string statusBody() const;
    std::optional<TailscaleInfo> forcedTailscale() const;

    RequestStore& m_store;
    Hooks m_hooks;
    Settings m_settings;
    mutable std::mutex m_mutex;
    std::optional<nlohmann::json> m_forcedStatus;
    std::atomic<int> m_waiters{0};
};

struct DaemonEnvironment {
    int port = 8641;
    std::filesystem::path home;
    std::string pathVariable; // where to look for tailscale and notify-send
};

// Serves until SIGTERM or SIGINT; gives the process's exit status
// (0 after a signal, 3 when the port is taken, 1 for other failures).
int runDaemon(const DaemonEnvironment& environment);

} // namespace ringlark::helper
