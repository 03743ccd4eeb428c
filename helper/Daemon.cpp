// The daemon's HTTP interface on 127.0.0.1 (port 8641, or RINGLARK_PORT).
//
// Read by the app:
//   GET  /v1/status                  status object (pending counts open requests)
//   GET  /v1/requests                open help requests, oldest first
//   GET  /v1/pairing                 {"url": "ringlark://pair?host=<tailscale ip>:<port>&token=<hex>"}
//                                    once Tailscale is usable (the token lives as long as
//                                    the daemon), else 503
//   POST /v1/requests/{id}/cancel    dismisses a request (the person said no); 404 if unknown
//
// The helper's own, used by `ringlark mcp` and by tests:
//   POST /v1/requests                creates a request from {"reason", "ask"?, "app"?,
//                                    "title"?, "agent"?}; answers 201 with the request and
//                                    rings the desktop through notify-send when there is one
//   GET  /v1/requests/{id}/wait?timeout_ms=N
//                                    long poll: answers once the request is no longer
//                                    pending, or after N ms (at most 30000) with it as it
//                                    stands; its "status" tells which; 404 if unknown
//   POST /v1/requests/{id}/resolve   marks a request done; optional body {"answer": text}
//   POST /v1/requests/{id}/withdraw  the asking agent no longer needs an answer
//   PUT  /x/status                   replaces the computed status with the body, verbatim,
//                                    until DELETE /x/status (for tests of the app)
//
// Tailscale's state comes from `tailscale status --json`, asked at most every 3 s.
// Every ending is answered with the request as it then stands; a request ends once,
// later endings change nothing. Error replies carry a plain-text message.

#include "helper/Daemon.h"

#include "helper/Notifier.h"
#include "helper/Tailscale.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <thread>

namespace ringlark::helper {

namespace {

constexpr auto plainText = "text/plain; charset=utf-8";
constexpr auto jsonType = "application/json";

void replyJson(httplib::Response& response, const nlohmann::json& body, int code = 200)
{
    response.status = code;
    response.set_content(dumpJson(body), jsonType);
}

void replyText(httplib::Response& response, int code, const std::string& text)
{
    response.status = code;
    response.set_content(text, plainText);
}

void replyUnknown(httplib::Response& response, const std::string& id)
{
    replyText(response, 404, "No help request with id \"" + id + "\".");
}

std::optional<long long> parseInteger(const std::string& text)
{
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoll(text);
}

} // namespace

DaemonService::DaemonService(RequestStore& store, Hooks hooks, Settings settings)
    : m_store(store), m_hooks(std::move(hooks)), m_settings(std::move(settings))
{
}

DaemonStatus DaemonService::computedStatus() const
{
    DaemonStatus status;
    status.version = m_settings.version;
    status.tailscale = m_hooks.tailscale ? m_hooks.tailscale() : TailscaleInfo{};
    status.pending = m_store.openCount();
    return status;
}

std::string DaemonService::statusBody() const
{
    {
        std::lock_guard lock(m_mutex);
        if (m_forcedStatus)
            return dumpJson(*m_forcedStatus);
    }
    return dumpJson(toJson(computedStatus()));
}

std::optional<TailscaleInfo> DaemonService::forcedTailscale() const
{
    std::lock_guard lock(m_mutex);
    if (!m_forcedStatus)
        return std::nullopt;
    TailscaleInfo info;
    const auto& tailscale = m_forcedStatus->value("tailscale", nlohmann::json::object());
    if (tailscale.is_object()) {
        info.ok = tailscale.value("ok", nlohmann::json(false)) == true;
        if (auto ip = tailscale.find("ip"); ip != tailscale.end() && ip->is_string())
            info.ip = ip->get<std::string>();
    }
    return info;
}

void DaemonService::install(httplib::Server& server)
{
    server.Get("/v1/status", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(statusBody(), jsonType);
    });

    server.Get("/v1/requests", [this](const httplib::Request&, httplib::Response& response) {
        auto list = nlohmann::json::array();
        for (const auto& request : m_store.open())
            list.push_back(toJson(request));
        replyJson(response, list);
    });

    server.Get("/v1/pairing", [this](const httplib::Request&, httplib::Response& response) {
        auto forced = forcedTailscale();
        const TailscaleInfo tailscale = forced ? *forced : m_hooks.tailscale ? m_hooks.tailscale() : TailscaleInfo{};
        if (!tailscale.ok || !tailscale.ip || tailscale.ip->empty()) {
            replyText(response, 503,
                      "Pairing needs Tailscale: " + tailscale.error.value_or("Tailscale has no address yet") + ".");
            return;
        }
        replyJson(response, {{"url", pairingUrl(*tailscale.ip, m_settings.port, m_settings.pairingToken)}});
    });

    server.Post("/v1/requests", [this](const httplib::Request& request, httplib::Response& response) {
        auto body = nlohmann::json::parse(request.body, nullptr, false);
        if (body.is_discarded()) {
            replyText(response, 400, "The body is not JSON.");
            return;
        }
        auto parsed = parseNewRequest(body);
        if (!parsed) {
            replyText(response, 400, "Invalid request: " + parsed.error() + ".");
            return;
        }
        const HelpRequest created = m_store.create(*parsed);
        if (m_hooks.announce)
            m_hooks.announce(created);
        replyJson(response, toJson(created), 201);
    });

    auto ending = [this](const char* status) {
        // Reads the body itself: a POST without Content-Length carries none, and
        // httplib would otherwise wait for one until its read time-out.
        return [this, status](const httplib::Request& request, httplib::Response& response,
                              const httplib::ContentReader& reader) {
            const std::string id = request.matches[1];
            std::string text;
            if (request.has_header("Content-Length") || request.has_header("Transfer-Encoding"))
                reader([&](const char* data, std::size_t length) {
                    text.append(data, length);
                    return text.size() < 65536;
                });
            std::optional<std::string> answer;
            if (!text.empty()) {
                auto body = nlohmann::json::parse(text, nullptr, false);
                if (body.is_object() && body.contains("answer") && body["answer"].is_string())
                    answer = body["answer"].get<std::string>();
            }
            auto ended = m_store.close(id, status, std::move(answer));
            if (!ended) {
                replyUnknown(response, id);
                return;
            }
            if (m_hooks.closed)
                m_hooks.closed(id);
            replyJson(response, toJson(*ended));
        };
    };
    server.Post(R"(/v1/requests/([^/]+)/cancel)", ending(RequestStatus::dismissed));
    server.Post(R"(/v1/requests/([^/]+)/resolve)", ending(RequestStatus::resolved));
    server.Post(R"(/v1/requests/([^/]+)/withdraw)", ending(RequestStatus::withdrawn));

    server.Get(R"(/v1/requests/([^/]+)/wait)", [this](const httplib::Request& request, httplib::Response& response) {
        const std::string id = request.matches[1];
        long long timeoutMs = 20000;
        if (request.has_param("timeout_ms")) {
            auto given = parseInteger(request.get_param_value("timeout_ms"));
            if (!given) {
                replyText(response, 400, "timeout_ms must be a whole number of milliseconds.");
                return;
            }
            timeoutMs = std::min(*given, 30000LL);
        }
        if (m_waiters.fetch_add(1) >= m_settings.maxWaiters)
            timeoutMs = 0;
        auto found = m_store.awaitClosed(id, std::chrono::milliseconds(timeoutMs));
        m_waiters.fetch_sub(1);
        if (!found)
            replyUnknown(response, id);
        else
            replyJson(response, toJson(*found));
    });

    server.Put("/x/status", [this](const httplib::Request& request, httplib::Response& response) {
        auto body = nlohmann::json::parse(request.body, nullptr, false);
        if (!body.is_object()) {
            replyText(response, 400, "The body must be a JSON object.");
            return;
        }
        std::lock_guard lock(m_mutex);
        m_forcedStatus = std::move(body);
        response.status = 204;
    });
    server.Delete("/x/status", [this](const httplib::Request&, httplib::Response& response) {
        std::lock_guard lock(m_mutex);
        m_forcedStatus.reset();
        response.status = 204;
    });

    // Routing misses and bad requests still get a readable message.
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty())
            replyText(response, response.status, "HTTP " + std::to_string(response.status));
    });
}

// ---------------------------------------------------------------------------

namespace {

void logLine(const std::string& line)
{
    std::fprintf(stderr, "ringlark daemon: %s\n", line.c_str());
    std::fflush(stderr);
}

// httplib's default socket options share the port (SO_REUSEPORT), which would
// let a second copy listen beside the first; only reuse TIME_WAIT addresses.
void exclusiveAddress(int socket)
{
    int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

bool portInUse(int port)
{
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    exclusiveAddress(probe);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool inUse = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == EADDRINUSE;
    ::close(probe);
    return inUse;
}

class PidFile {
public:
    explicit PidFile(std::filesystem::path path) : m_path(std::move(path)) {}

    void write()
    {
        std::error_code ignored;
        std::filesystem::create_directories(m_path.parent_path(), ignored);
        std::ofstream out(m_path, std::ios::trunc);
        out << ::getpid() << "\n";
        if (!out)
            logLine("cannot write " + m_path.string());
    }

    // Removes the file only while it still names this process: a newer copy may own it.
    void remove()
    {
        std::ifstream in(m_path);
        long pid = 0;
        if (in >> pid && pid == ::getpid()) {
            std::error_code ignored;
            std::filesystem::remove(m_path, ignored);
        }
    }

private:
    std::filesystem::path m_path;
};

} // namespace

int runDaemon(const DaemonEnvironment& environment)
{
    // Signals are taken by one thread with sigwait; every other thread,
    // started later, inherits the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR2); // internal: the server ended by itself
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    RequestStore store;
    TailscaleMonitor tailscale({environment.pathVariable});
    Notifier notifier({environment.pathVariable, [&store](const std::string& id) {
                           store.close(id, RequestStatus::resolved);
                       }});
    DaemonService::Hooks hooks;
    hooks.tailscale = [&tailscale] { return tailscale.current(); };
    hooks.announce = [&notifier](const HelpRequest& request) { notifier.announce(request); };
    hooks.closed = [&notifier](const std::string& id) { notifier.retract(id); };
    DaemonService service(store, std::move(hooks), {RINGLARK_HELPER_VERSION, environment.port, randomHex(16)});

    httplib::Server server;
    server.set_socket_options(exclusiveAddress);
    server.new_task_queue = [] { return new httplib::ThreadPool(64); };
    server.set_keep_alive_timeout(2);
    service.install(server);

    if (!server.bind_to_port("127.0.0.1", environment.port)) {
        if (portInUse(environment.port)) {
            logLine("port " + std::to_string(environment.port) + " is already in use");
            return 3;
        }
        logLine("cannot listen on 127.0.0.1:" + std::to_string(environment.port));
        return 1;
    }

    PidFile pidFile(environment.home / ".ringlark" / "daemon.pid");
    pidFile.write();
    logLine("started (pid " + std::to_string(::getpid()) + ", port " + std::to_string(environment.port) + ")");

    std::atomic<bool> signalled{false};
    std::atomic<bool> finished{false};
    std::once_flag cleanedUp;
    auto cleanUp = [&] {
        std::call_once(cleanedUp, [&] {
            notifier.shutdown();
            pidFile.remove();
            logLine("stopped");
        });
    };

    std::thread watcher([&] {
        int received = 0;
        sigwait(&signals, &received);
        if (received == SIGUSR2)
            return;
        signalled = true;
        store.shutdown();
        while (!server.is_running() && !finished)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        server.stop();
        // Idle keep-alive connections can hold the server's threads for a
        // while; a signalled daemon exits promptly regardless.
        for (int i = 0; i < 50 && !finished; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!finished) {
            cleanUp();
            std::_Exit(0);
        }
    });

    server.listen_after_bind();
    finished = true;
    if (!signalled)
        pthread_kill(watcher.native_handle(), SIGUSR2);
    watcher.join();
    cleanUp();
    return signalled ? 0 : 1;
}

} // namespace ringlark::helper
