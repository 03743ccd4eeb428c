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

// Everything a running daemon is made of, declared in the order it is built
// and so destroyed in reverse: nothing outlives what it uses. Callbacks run
// only once the loop runs, when every member is in place.
class Runtime {
public:
    Runtime(const DaemonEnvironment& environment, const Endpoints& endpoints, const std::filesystem::path& directory,
            EventLoop& loop)
        : m_environment(environment), m_loop(loop), m_post(loop.poster()),
          m_tailscale(std::make_shared<TailscaleMonitor>(tailscaleOptions(environment, endpoints))),
          m_notifier({environment.pathVariable,
                      [this, post = m_post](const std::string& id) {
                          // From the notification's thread: the request ends on the loop.
                          post([this, id] { m_daemon.end(id, RequestStatus::resolved); });
                      },
                      openApplication}),
          m_devices({directory, systemMillis, randomHex}), m_codes({}, [] { return randomHex(16); }),
          m_ringer({directory, environment.testHooks, m_post, logLine, {}}, loadedDevices()),
          m_daemon(loop, m_store, daemonServices(), daemonSettings(endpoints)),
          // Without it (no routing socket here) the safety intervals alone apply.
          m_network(loop, [this] { m_daemon.tailscaleMayHaveChanged(); }),
          m_server(
              loop, {}, [this](const HttpServer::Exchange& exchange, http::Request request) {
                  m_daemon.handle(exchange, std::move(request));
              },
              [this](HttpServer::ConnectionId connection, bool awaiting) { m_daemon.connectionClosed(connection, awaiting); }),
          m_streaming(loop, streamingServices(), streamingSettings())
    {
        // Separate budgets: the socket stays the agents' even when TCP is full.
        m_server.serve(endpoints.tcp.fd, Transport::tcp, {1024, ownerOnly(::getuid())});
        m_server.serve(endpoints.local.fd, Transport::local, {2048, ownerOnly(::getuid())});
        if (endpoints.phone.fd >= 0)
            servePhones(endpoints.phone.fd);
        probePermissions();
        m_daemon.prefetch();
    }

    ~Runtime() { m_notifier.shutdown(); }

private:
    static TailscaleMonitor::Options tailscaleOptions(const DaemonEnvironment& environment, const Endpoints& endpoints)
    {
        TailscaleMonitor::Options options;
        options.pathVariable = environment.pathVariable;
        if (endpoints.phone.fd >= 0)
            options.phonePort = environment.phonePort;
        return options;
    }

    phone::DeviceStore& loadedDevices()
    {
        if (auto problem = m_devices.load())
            logLine(*problem);
        return m_devices;
    }

    Daemon::Settings daemonSettings(const Endpoints& endpoints) const
    {
        Daemon::Settings settings;
        settings.version = RINGLARK_HELPER_VERSION;
        settings.access = {endpoints.token, m_environment.port};
        settings.testHooks = m_environment.testHooks;
        settings.orphanGrace = m_environment.orphanGrace;
        return settings;
    }

    Daemon::Services daemonServices()
    {
        Daemon::Services services;
        services.respond = [this](Daemon::ConnectionId connection, const http::Response& response) {
            m_server.respond(connection, response);
        };
        services.fetchTailscale = [this](std::function<void(TailscaleInfo)> then) {
            m_worker->post([tailscale = m_tailscale, post = m_post, then = std::move(then)] {
                post([info = tailscale->current(), then] { then(info); });
            });
        };
        services.announce = [this](const HelpRequest& request) {
            m_notifier.announce(noticeOf(request));
            if (m_phone) {
                m_ringer.ring(request, m_phone->site());
                m_phone->requestsChanged();
            }
        };
        services.closed = [this](const std::string& id) {
            m_notifier.retract(id);
            m_streaming.requestEnded(id);
            if (m_phone)
                m_phone->requestsChanged();
        };
        services.phone = [this] {
            return Daemon::PhoneFacts{m_ringer.mode(), static_cast<std::int64_t>(m_devices.devices().size()),
                                      m_streaming.active()};
        };
        services.pairingCode = [this]() -> Expected<std::string, std::string> {
            if (!m_phone)
                return unexpected(std::string("Phones cannot reach this computer: the phone listener is not running."));
            if (!m_devices.writable())
                return unexpected(std::string("~/.ringlark/devices.json cannot be written, so no phone can pair."));
            return m_codes.current(EventLoop::Clock::now());
        };
        services.permissions = [this]() -> std::optional<std::pair<bool, bool>> {
            if (!m_permissions)
                return std::nullopt;
            return std::pair{m_permissions->screenRecording, m_permissions->accessibility};
        };
        services.devices = [this] { return phone::devicesForApp(m_devices.devices()); };
        services.forgetDevice = [this](const std::string& id) { return forgetDevice(id); };
        return services;
    }

    // The same from the computer and from a phone: sessions end, parked polls are refused.
    bool forgetDevice(const std::string& id)
    {
        m_streaming.deviceForgotten(id);
        const bool removed = m_devices.remove(id);
        if (removed && m_phone)
            m_phone->deviceRemoved(id);
        return removed;
    }

    void respondToPhone(HttpServer::ConnectionId connection, const http::Response& response)
    {
        if (m_phoneServer)
            m_phoneServer->respond(connection, response);
    }

    phone::Streaming::Services streamingServices()
    {
        phone::Streaming::Services services;
        services.respond = [this](HttpServer::ConnectionId connection, const http::Response& response) {
            respondToPhone(connection, response);
        };
        services.post = m_post;
        services.background = [this](phone::Streaming::Job job) { m_screenWorker->post(std::move(job)); };
        services.findRequest = [this](const std::string& id) { return m_store.find(id); };
        services.announce = [this](const std::string& title) {
            m_notifier.inform("Ringlark: streaming to your phone", "Your phone sees \u201c" + title + "\u201d.");
        };
        return services;
    }

    phone::Streaming::Settings streamingSettings()
    {
        phone::Streaming::Settings settings;
        settings.display = m_environment.display.display;
        settings.permissions = [this] { return m_permissions; };
        settings.newId = [] { return randomHex(8); };
        settings.idleEnd = m_environment.sessionIdle;
        settings.frameWait = m_environment.frameWait;
        return settings;
    }

    void servePhones(int listeningFd)
    {
        phone::PhoneServer::Services services;
        services.respond = [this](HttpServer::ConnectionId connection, const http::Response& response) {
            respondToPhone(connection, response);
        };
        services.tailscale = [this] { return m_daemon.knownTailscale(); };
        services.end = [this](const std::string& id, std::string_view status, std::optional<std::string> answer) {
            return m_daemon.end(id, status, std::move(answer));
        };
        services.forgetDevice = [this](const std::string& id) { return forgetDevice(id); };
        services.dismissAllowed = [this](const std::string& id, std::string_view capability) {
            return m_ringer.dismissAllowed(id, capability);
        };
        services.streaming = [this](HttpServer::ConnectionId connection, const phone::Device& device,
                                    const http::Request& request) { return m_streaming.handle(connection, device, request); };
        services.streamingClosed = [this](HttpServer::ConnectionId connection) { m_streaming.connectionClosed(connection); };
        phone::PhoneServer::Settings settings;
        settings.testHooks = m_environment.testHooks;
        settings.vapidPublicKey = m_ringer.vapidPublicKey();
        m_phone.emplace(m_loop, m_store, m_devices, m_codes, std::move(services), settings);
        m_phoneServer.emplace(
            m_loop, HttpServer::Options{},
            [this](const HttpServer::Exchange& exchange, http::Request request) { m_phone->handle(exchange, std::move(request)); },
            [this](HttpServer::ConnectionId connection, bool awaiting) { m_phone->connectionClosed(connection, awaiting); });
        m_phoneServer->serve(listeningFd, Transport::tcp, {512, ownerOrServe(::getuid())});
    }

    // The status waits for this once, so it never reports a guess. An X
    // server that takes connections and never answers must not hold every
    // status request, though: after a while it counts as a display that
    // cannot stream, until the probe comes back.
    void probePermissions()
    {
        m_loop.at(EventLoop::Clock::now() + std::chrono::seconds(2), [this] {
            if (m_permissions)
                return;
            m_permissions = screen::Permissions{false, false,
                                                "The X display " + m_environment.display.display + " does not answer."};
            m_daemon.permissionsKnown();
        });
        m_screenWorker->post([this, post = m_post, display = m_environment.display] {
            post([this, found = screen::probePermissions(display)] {
                m_permissions = found;
                m_daemon.permissionsKnown();
            });
        });
    }

    const DaemonEnvironment& m_environment;
    EventLoop& m_loop;
    std::function<void(EventLoop::Job)> m_post;
    RequestStore m_store;
    std::unique_ptr<Worker> m_worker = std::make_unique<Worker>();
    // Talking to the X server may take a while: never on the loop, nor on
    // the worker that asks Tailscale.
    std::unique_ptr<Worker> m_screenWorker = std::make_unique<Worker>();
    std::shared_ptr<TailscaleMonitor> m_tailscale;
    std::optional<screen::Permissions> m_permissions;
    Notifier m_notifier;
    phone::DeviceStore m_devices;
    phone::PairingCodes m_codes;
    phone::Ringer m_ringer;
    Daemon m_daemon;
    NetworkWatch m_network;
    HttpServer m_server;
    phone::Streaming m_streaming;
    std::optional<phone::PhoneServer> m_phone;
    std::optional<HttpServer> m_phoneServer;
};

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
    {
        Runtime runtime(environment, endpoints, directory, loop);
        logLine("started (pid " + std::to_string(::getpid()) + ", port " + std::to_string(environment.port) + ")");
        loop.run();
    }
    endpoints.removeSocketIfOurs();
    removePidFileIfOurs(pidFile, ::getpid());
    ::close(signalFd);
    logLine("stopped");
    return 0;
}

} // namespace ringlark::helper
