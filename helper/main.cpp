// The helper executable: `ringlark daemon`, `ringlark permissions` or `ringlark mcp`.

#include "helper/RunDaemon.h"
#include "helper/mcp/McpServer.h"
#include "helper/api/Records.h"
#include "helper/screen/Permissions.h"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

namespace {

using namespace ringlark::helper;

constexpr const char* usage =
    "usage: ringlark <command>\n"
    "  --version    print the version\n"
    "  daemon       serve the local API on 127.0.0.1:8641 (RINGLARK_PORT moves it) and\n"
    "               the phones' on 127.0.0.1:8642 (RINGLARK_PHONE_PORT), shared over tailscale serve,\n"
    "               on ~/.ringlark/daemon.sock (RINGLARK_ORPHAN_GRACE_MS: how long a request\n"
    "               outlives its last waiting agent; RINGLARK_TEST_HOOKS=1: PUT /x/status)\n"
    "  permissions  print whether this desktop lets the phone see windows (X11 with XShm) and\n"
    "               send them input (XTEST), as JSON\n"
    "  mcp          serve the request_human tool to a coding agent over stdin/stdout\n"
    "               (RINGLARK_AGENT names the agent; RINGLARK_REQUEST_TIMEOUT_MS and\n"
    "               RINGLARK_PROGRESS_INTERVAL_MS shorten its waits)\n";

std::string environmentValue(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The desktop session the helper runs in, as the permission probe needs it.
screen::Environment displayEnvironment()
{
    return {environmentValue("DISPLAY"), environmentValue("XDG_SESSION_TYPE"), environmentValue("WAYLAND_DISPLAY")};
}

std::filesystem::path homeDirectory()
{
    if (auto home = environmentValue("HOME"); !home.empty())
        return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return "/";
}

// A port from the environment when set and valid, else the default; nothing when set but invalid.
std::optional<int> portFrom(const char* name, int fallback)
{
    const std::string text = environmentValue(name);
    if (text.empty())
        return fallback;
    if (text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int port = std::stoi(text);
    if (port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

// A positive number of milliseconds from the environment, else `fallback`.
std::chrono::milliseconds millisecondsFrom(const char* name, std::chrono::milliseconds fallback)
{
    const std::string text = environmentValue(name);
    if (text.empty())
        return fallback;
    if (text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos || std::stol(text) == 0) {
        std::cerr << "ringlark: ignoring " << name << "=" << text << " (not a positive number of milliseconds)\n";
        return fallback;
    }
    return std::chrono::milliseconds(std::stol(text));
}

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc == 2 ? argv[1] : "";
    if (command == "--version") {
        std::cout << "ringlark " << RINGLARK_HELPER_VERSION << std::endl;
        return 0;
    }
    if (command == "permissions") {
        // The same probe as the daemon's status, so the two never disagree.
        const auto permissions = screen::probePermissions(displayEnvironment());
        std::cout << dumpJson(permissionsJson(permissions.screenRecording, permissions.accessibility)) << std::endl;
        return 0;
    }
    if (command == "daemon") {
        const auto port = portFrom("RINGLARK_PORT", 8641);
        const auto phonePort = portFrom("RINGLARK_PHONE_PORT", 8642);
        if (!port || !phonePort) {
            std::cerr << "ringlark: RINGLARK_PORT and RINGLARK_PHONE_PORT must be port numbers from 1 to 65535\n";
            return 2;
        }
        DaemonEnvironment environment;
        environment.port = *port;
        environment.phonePort = *phonePort;
        environment.home = homeDirectory();
        environment.pathVariable = environmentValue("PATH");
        environment.testHooks = environmentValue("RINGLARK_TEST_HOOKS") == "1";
        environment.display = displayEnvironment();
        // Tests shorten how long an unwatched streaming session lives and a frame request waits.
        if (environment.testHooks) {
            environment.sessionIdle = millisecondsFrom("RINGLARK_SESSION_IDLE_MS", environment.sessionIdle);
            environment.frameWait = millisecondsFrom("RINGLARK_FRAME_WAIT_MS", environment.frameWait);
        }
        environment.orphanGrace = millisecondsFrom("RINGLARK_ORPHAN_GRACE_MS", environment.orphanGrace);
        return runDaemon(environment);
    }
    // The MCP mode reaches the daemon through its socket, never the port.
    if (command == "mcp") {
        McpSettings settings;
        settings.home = homeDirectory();
        if (auto agent = environmentValue("RINGLARK_AGENT"); !agent.empty())
            settings.agent = agent;
        settings.callTimeout = millisecondsFrom("RINGLARK_REQUEST_TIMEOUT_MS", settings.callTimeout);
        settings.progressInterval = millisecondsFrom("RINGLARK_PROGRESS_INTERVAL_MS", settings.progressInterval);
        return runMcp(settings);
    }
    std::cerr << usage;
    return 2;
}
