#pragma once

#include <chrono>
#include <filesystem>
#include <string>

#include "helper/screen/Permissions.h"

namespace ringlark::helper {

// What the daemon takes from the world it starts in.
struct DaemonEnvironment {
    int port = 8641;
    int phonePort = 8642; // the phone listener, reached through tailscale serve
    std::filesystem::path home;
    std::string pathVariable; // where to look for tailscale and notify-send
    bool testHooks = false;
    std::chrono::milliseconds orphanGrace{5000};
    screen::Environment display; // the desktop session the daemon runs in
    std::chrono::milliseconds sessionIdle{60000}; // a streaming session without frame requests ends
    std::chrono::milliseconds frameWait{25000};   // a parked frame request is answered 204 after this
};

// Serves until SIGTERM or SIGINT; gives the process's exit status
// (0 after a signal, 3 when the port is taken, 1 for other failures).
int runDaemon(const DaemonEnvironment& environment);

} // namespace ringlark::helper
