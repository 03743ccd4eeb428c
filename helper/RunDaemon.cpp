// Puts the daemon together: the listeners, the loop, the services that do
// slow work off the loop, and the routes.

#include "helper/RunDaemon.h"

#include "helper/api/Daemon.h"
#include "helper/net/Worker.h"
#include "helper/phone/PhoneServer.h"
#include "helper/phone/Ringer.h"
#include "helper/phone/Streaming.h"
#include "helper/system/Files.h"
#include "helper/system/NetworkWatch.h"
#include "helper/system/PeerUser.h"
#include "helper/system/Process.h"
#include "helper/system/Notifier.h"
#include "helper/system/Tailscale.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <variant>

namespace ringlark::helper {

namespace {

void logLine(const std::string& line)
{
    std::fprintf(stderr, "ringlark daemon: %s\n", line.c_str());
    std::fflush(stderr);
}

// Signals arrive through a signalfd on the loop; threads started later
// inherit the blocked mask.
sigset_t blockStopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return signals;
}

// The sockets and secrets a running daemon owns.
struct Endpoints {
    Listener tcp;
    Listener local;
    Listener phone;
    std::string token;
    std::filesystem::path socketPath;
    struct stat socketInfo {};

    // The socket is ours to remove only if no newer daemon put its own there.
    void removeSocketIfOurs() const
    {
        struct stat now {};
        if (::stat(socketPath.c_str(), &now) == 0 && now.st_ino == socketInfo.st_ino && now.st_dev == socketInfo.st_dev)
            ::unlink(socketPath.c_str());
    }
};

// The port first: a second copy must leave the first one's files alone.
// Gives the endpoints, or the exit status when they cannot be had.
std::variant<Endpoints, int> openEndpoints(const DaemonEnvironment& environment, const std::filesystem::path& directory)
{
    Endpoints endpoints;
    endpoints.tcp = listenTcp(environment.port);
    if (endpoints.tcp.fd < 0) {
        if (endpoints.tcp.error == EADDRINUSE) {
            logLine("port " + std::to_string(environment.port) + " is already in use");
            return 3;
        }
        logLine("cannot listen on 127.0.0.1:" + std::to_string(environment.port) + ": " + std::strerror(endpoints.tcp.error));
        return 1;
    }
    endpoints.token = newToken();
    if (endpoints.token.empty() || !writeAtomically(directory, "daemon.token", endpoints.token + "\n")) {
        logLine("cannot write " + (directory / "daemon.token").string());
        ::close(endpoints.tcp.fd);
        return 1;
    }
    endpoints.socketPath = directory / "daemon.sock";
    endpoints.local = listenLocal(endpoints.socketPath);
    if (endpoints.local.fd < 0) {
        logLine("cannot listen on " + endpoints.socketPath.string() + ": " + std::strerror(endpoints.local.error));
        ::close(endpoints.tcp.fd);
        return 1;
    }
    ::stat(endpoints.socketPath.c_str(), &endpoints.socketInfo);
    // Without it the computer still works; only phones cannot reach it.
    endpoints.phone = listenTcp(environment.phonePort);
    if (endpoints.phone.fd < 0)
        logLine("cannot listen for phones on 127.0.0.1:" + std::to_string(environment.phonePort) + ": "
                + std::strerror(endpoints.phone.error));
    return endpoints;
}

// Only the owner's processes may hold the daemon's connections; another local
// user's are closed before a byte is read. A peer nobody can name is let in,
// since the token still guards every request.
std::function<bool(int)> ownerOnly(uid_t owner)
{
    return [owner, warned = false](int fd) mutable {
        const auto user = peerUser(fd);
        if (!user && !warned) {
            warned = true;
            logLine("cannot tell who is connecting; relying on the token alone");
        }
        return !user || *user == owner;
    };
}

// tailscale serve connects as root (tailscaled); the owner's own tools may too.
std::function<bool(int)> ownerOrServe(uid_t owner)
{
    return [owner](int fd) {
        const auto user = peerUser(fd);
        return !user || *user == owner || *user == 0;
    };
}

nlohmann::json devicesForApp(const phone::DeviceStore& devices)
{
    auto list = nlohmann::json::array();
    for (const auto& device : devices.devices()) {
        nlohmann::json entry{{"id", device.id}, {"name", device.name}, {"paired_at", device.pairedAt},
                             {"push", device.push.has_value()}};
        if (device.lastSeen)
            entry["last_seen"] = device.lastSeen;
        list.push_back(std::move(entry));
    }
    return list;
}

// Starting the application again brings its setup window up: the running
// copy answers a second launch by showing it, then the second copy exits.
void openApplication()
{
    std::error_code failed;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", failed);
    if (failed)
        return;
    const auto app = (self.parent_path() / ".." / "MacOS" / "Ringlark").lexically_normal();
    if (::access(app.c_str(), X_OK) == 0)
        runCaptured({app.string()}, std::chrono::seconds(10));
}

DesktopNotice noticeOf(const HelpRequest& request)
{
    return {request.id, request.reason, request.title, request.agent, request.ask, request.app};
}

} // namespace

int runDaemon(const DaemonEnvironment& environment)
{
    const sigset_t signals = blockStopSignals();
    raiseDescriptorLimit(8192);

    const auto directory = environment.home / ".ringlark";
    if (auto problem = preparePrivateDirectory(directory)) {
        logLine(*problem);
        return 1;
    }
    auto opened = openEndpoints(environment, directory);
    if (const int* status = std::get_if<int>(&opened))
        return *status;
    const Endpoints& endpoints = std::get<Endpoints>(opened);

    const auto pidFile = directory / "daemon.pid";
    if (!writeAtomically(directory, "daemon.pid", std::to_string(::getpid()) + "\n"))
        logLine("cannot write " + pidFile.string());

    EventLoop loop;
    const int signalFd = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (!loop.valid() || signalFd < 0) {
        logLine("cannot set up the event loop");
        return 1;
    }
    loop.watch(signalFd, EPOLLIN, [&loop](std::uint32_t) { loop.stop(); });

    RequestStore store;
    auto worker = std::make_unique<Worker>();
    TailscaleMonitor::Options tailscaleOptions;
    tailscaleOptions.pathVariable = environment.pathVariable;
    if (endpoints.phone.fd >= 0)
        tailscaleOptions.phonePort = environment.phonePort;
    auto tailscale = std::make_shared<TailscaleMonitor>(tailscaleOptions);
    auto post = loop.poster();
    Daemon* daemonPointer = nullptr;
    phone::PhoneServer* phonePointer = nullptr;
    phone::Streaming* streamingPointer = nullptr;
    // Talking to the X server may take a while: never on the loop, nor on
    // the worker that asks Tailscale.
    auto screenWorker = std::make_unique<Worker>();
    std::optional<screen::Permissions> permissions;
    Notifier notifier({environment.pathVariable, [post, &daemonPointer](const std::string& id) {
                           // From the notification's thread: the request ends on the loop.
                           post([&daemonPointer, id] {
                               if (daemonPointer)
                                   daemonPointer->end(id, RequestStatus::resolved);
                           });
                       },
                       openApplication});

    phone::DeviceStore devices({directory, systemMillis, randomHex});
    if (auto problem = devices.load())
        logLine(*problem);
    phone::PairingCodes codes({}, [] { return randomHex(16); });
    phone::Ringer ringer({directory, environment.testHooks, post, logLine, {}}, devices);

    HttpServer* serverPointer = nullptr;
    HttpServer* phoneServerPointer = nullptr;
    Daemon::Services services;
    services.respond = [&serverPointer](Daemon::ConnectionId connection, const http::Response& response) {
        serverPointer->respond(connection, response);
    };
    services.fetchTailscale = [&worker, tailscale, post](std::function<void(TailscaleInfo)> then) {
        worker->post([tailscale, post, then = std::move(then)] {
            post([info = tailscale->current(), then] { then(info); });
        });
    };
    services.announce = [&](const HelpRequest& request) {
        notifier.announce(noticeOf(request));
        if (phonePointer) {
            ringer.ring(request, phonePointer->site());
            phonePointer->requestsChanged();
        }
    };
    services.closed = [&](const std::string& id) {
        notifier.retract(id);
        if (streamingPointer)
            streamingPointer->requestEnded(id);
        if (phonePointer)
            phonePointer->requestsChanged();
    };
    services.phone = [&] {
        return Daemon::PhoneFacts{ringer.mode(), static_cast<std::int64_t>(devices.devices().size()),
                                  streamingPointer && streamingPointer->active()};
    };
    services.pairingCode = [&]() -> Expected<std::string, std::string> {
        if (!phonePointer)
            return unexpected(std::string("Phones cannot reach this computer: the phone listener is not running."));
        if (!devices.writable())
            return unexpected(std::string("~/.ringlark/devices.json cannot be written, so no phone can pair."));
        return codes.current(EventLoop::Clock::now());
    };
    services.permissions = [&]() -> std::optional<std::pair<bool, bool>> {
        if (!permissions)
            return std::nullopt;
        return std::pair{permissions->screenRecording, permissions->accessibility};
    };
    services.devices = [&] { return devicesForApp(devices); };
    // The same from the computer and from a phone: sessions end, parked polls are refused.
    auto forgetDevice = [&](const std::string& id) {
        if (streamingPointer)
            streamingPointer->deviceForgotten(id);
        const bool removed = devices.remove(id);
        if (removed && phonePointer)
            phonePointer->deviceRemoved(id);
        return removed;
    };
    services.forgetDevice = forgetDevice;

    Daemon::Settings settings;
    settings.version = RINGLARK_HELPER_VERSION;
    settings.access = {endpoints.token, environment.port};
    settings.testHooks = environment.testHooks;
    settings.orphanGrace = environment.orphanGrace;
    Daemon daemon(loop, store, std::move(services), settings);
    daemonPointer = &daemon;
    // Without it (no routing socket here) the safety intervals alone apply.
    NetworkWatch network(loop, [&daemon] { daemon.tailscaleMayHaveChanged(); });

    HttpServer server(
        loop, {}, [&daemon](const HttpServer::Exchange& exchange, http::Request request) {
            daemon.handle(exchange, std::move(request));
        },
        [&daemon](HttpServer::ConnectionId connection, bool awaiting) { daemon.connectionClosed(connection, awaiting); });
    serverPointer = &server;
    // Separate budgets: the socket stays the agents' even when TCP is full.
    server.serve(endpoints.tcp.fd, Transport::tcp, {1024, ownerOnly(::getuid())});
    server.serve(endpoints.local.fd, Transport::local, {2048, ownerOnly(::getuid())});

    phone::PhoneServer::Services phoneServices;
    phoneServices.respond = [&phoneServerPointer](phone::PhoneServer::ConnectionId connection,
                                                  const http::Response& response) {
        phoneServerPointer->respond(connection, response);
    };
    phoneServices.tailscale = [&daemon] { return daemon.knownTailscale(); };
    phoneServices.end = [&daemon](const std::string& id, std::string_view status, std::optional<std::string> answer) {
        return daemon.end(id, status, std::move(answer));
    };
    phoneServices.forgetDevice = forgetDevice;
    phoneServices.dismissAllowed = [&ringer](const std::string& id, std::string_view capability) {
        return ringer.dismissAllowed(id, capability);
    };

    phone::Streaming::Services streamingServices;
    streamingServices.respond = phoneServices.respond;
    streamingServices.post = post;
    streamingServices.background = [&screenWorker](phone::Streaming::Job job) { screenWorker->post(std::move(job)); };
    streamingServices.findRequest = [&store](const std::string& id) { return store.find(id); };
    streamingServices.announce = [&notifier](const std::string& title) {
        notifier.inform("Ringlark: streaming to your phone", "Your phone sees \u201c" + title + "\u201d.");
    };
    phone::Streaming::Settings streamingSettings;
    streamingSettings.display = environment.display.display;
    streamingSettings.permissions = [&permissions] { return permissions; };
    streamingSettings.newId = [] { return randomHex(8); };
    streamingSettings.idleEnd = environment.sessionIdle;
    phone::Streaming streaming(loop, std::move(streamingServices), std::move(streamingSettings));
    streamingPointer = &streaming;
    phoneServices.streaming = [&streaming](phone::PhoneServer::ConnectionId connection, const phone::Device& device,
                                           const http::Request& request) {
        return streaming.handle(connection, device, request);
    };
    phoneServices.streamingClosed = [&streaming](phone::PhoneServer::ConnectionId connection) {
        streaming.connectionClosed(connection);
    };

    phone::PhoneServer::Settings phoneSettings;
    phoneSettings.testHooks = environment.testHooks;
    phoneSettings.vapidPublicKey = ringer.vapidPublicKey();
    std::optional<phone::PhoneServer> phoneRoutes;
    std::optional<HttpServer> phoneServer;
    if (endpoints.phone.fd >= 0) {
        phoneRoutes.emplace(loop, store, devices, codes, std::move(phoneServices), phoneSettings);
        phonePointer = &*phoneRoutes;
        phoneServer.emplace(
            loop, HttpServer::Options{},
            [&phoneRoutes](const HttpServer::Exchange& exchange, http::Request request) {
                phoneRoutes->handle(exchange, std::move(request));
            },
            [&phoneRoutes](HttpServer::ConnectionId connection, bool awaiting) {
                phoneRoutes->connectionClosed(connection, awaiting);
            });
        phoneServerPointer = &*phoneServer;
        phoneServer->serve(endpoints.phone.fd, Transport::tcp, {512, ownerOrServe(::getuid())});
    }

    // The status waits for this once, so it never reports a guess.
    screenWorker->post([post, &permissions, &daemon, display = environment.display] {
        post([found = screen::probePermissions(display), &permissions, &daemon] {
            permissions = found;
            daemon.permissionsKnown();
        });
    });
    daemon.prefetch();
    logLine("started (pid " + std::to_string(::getpid()) + ", port " + std::to_string(environment.port) + ")");
    loop.run();

    daemonPointer = nullptr;
    phonePointer = nullptr;
    streamingPointer = nullptr;
    notifier.shutdown();
    endpoints.removeSocketIfOurs();
    removePidFileIfOurs(pidFile, ::getpid());
    ::close(signalFd);
    logLine("stopped");
    return 0;
}

} // namespace ringlark::helper
