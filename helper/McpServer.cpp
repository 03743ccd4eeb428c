#include "helper/McpServer.h"

#include "helper/Mcp.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace ringlark::helper {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void diagnose(const std::string& text)
{
    std::fprintf(stderr, "ringlark mcp: %s\n", text.c_str());
    std::fflush(stderr);
}

// The daemon's request endpoints, one connection per exchange.
class DaemonClient {
public:
    enum class Outcome { ok, unknown, rejected, unreachable };
    struct Reply {
        Outcome outcome = Outcome::unreachable;
        nlohmann::json request;
        std::string message;
    };

    DaemonClient(std::string host, int port) : m_host(std::move(host)), m_port(port) {}

    Reply create(const NewRequest& request) const
    {
        nlohmann::json body{{"reason", request.reason}};
        for (auto [key, value] : {std::pair{"ask", &request.ask}, {"app", &request.app},
                                  {"title", &request.title}, {"agent", &request.agent}}) {
            if (*value)
                body[key] = **value;
        }
        return interpret(client(milliseconds(5000)).Post("/v1/requests", dumpJson(body), "application/json"));
    }

    Reply wait(const std::string& id, milliseconds timeout) const
    {
        return interpret(client(timeout + milliseconds(5000))
                             .Get("/v1/requests/" + id + "/wait?timeout_ms=" + std::to_string(timeout.count())));
    }

    void withdraw(const std::string& id) const
    {
        client(milliseconds(2000)).Post("/v1/requests/" + id + "/withdraw", "", "text/plain");
    }

private:
    httplib::Client client(milliseconds readTimeout) const
    {
        httplib::Client c(m_host, m_port);
        c.set_connection_timeout(std::chrono::seconds(1));
        c.set_read_timeout(readTimeout);
        c.set_write_timeout(std::chrono::seconds(2));
        return c;
    }

    static Reply interpret(const httplib::Result& result)
    {
        if (!result)
            return {};
        if (result->status == 404)
            return {Outcome::unknown, {}, result->body};
        auto body = nlohmann::json::parse(result->body, nullptr, false);
        if (result->status < 200 || result->status > 299 || !body.is_object() || !body.contains("id") ||
            !body["id"].is_string() || !body.contains("status") || !body["status"].is_string())
            return {Outcome::rejected, {}, result->body};
        return {Outcome::ok, std::move(body), {}};
    }

    std::string m_host;
    int m_port;
};

struct Call {
    mcp::ToolCall tool;
    std::mutex mutex;
    std::optional<std::string> daemonId;
    bool cancelled = false;
};

class Server {
public:
    Server(std::ostream& out, const McpSettings& settings)
        : m_out(out), m_settings(settings), m_daemon(settings.host, settings.port)
    {
    }

    void handle(const std::string& line)
    {
        auto step = mcp::handleLine(line);
        if (step.reply)
            send(*step.reply);
        if (step.call)
            start(std::move(*step.call));
        if (step.cancel)
            cancel(*step.cancel);
    }

    // The client has gone: withdraw what it was waiting for, then give the
    // calls a moment to end. Says whether they all did.
    bool finish()
    {
        std::vector<nlohmann::json> ids;
        {
            std::lock_guard lock(m_mutex);
            for (const auto& [key, call] : m_calls)
                ids.push_back(call->tool.id);
        }
        for (const auto& id : ids)
            cancel(id);
        std::unique_lock lock(m_mutex);
        return m_done.wait_for(lock, std::chrono::seconds(3), [&] { return m_calls.empty(); });
    }

private:
    void send(const nlohmann::json& message)
    {
        std::lock_guard lock(m_outMutex);
        m_out << dumpJson(message) << '\n';
        m_out.flush();
    }

    void start(mcp::ToolCall tool)
    {
        tool.request.agent = m_settings.agent;
        auto call = std::make_shared<Call>();
        call->tool = std::move(tool);
        const std::string key = call->tool.id.dump();
        {
            std::lock_guard lock(m_mutex);
            if (!m_calls.emplace(key, call).second) {
                send(mcp::errorResponse(call->tool.id, mcp::ErrorCode::invalidRequest,
                                        "A request with this id is still running"));
                return;
            }
        }
        std::thread([this, call, key] {
            run(*call);
            std::lock_guard lock(m_mutex);
            m_calls.erase(key);
            m_done.notify_all();
        }).detach();
    }

    void cancel(const nlohmann::json& id)
    {
        std::shared_ptr<Call> call;
        {
            std::lock_guard lock(m_mutex);
            auto found = m_calls.find(id.dump());
            if (found == m_calls.end())
                return;
            call = found->second;
        }
        std::optional<std::string> daemonId;
        {
            std::lock_guard lock(call->mutex);
            call->cancelled = true;
            daemonId = call->daemonId;
        }
        // Withdrawing also wakes the call's thread from its long poll.
        if (daemonId)
            m_daemon.withdraw(*daemonId);
    }

    static bool isCancelled(Call& call)
    {
        std::lock_guard lock(call.mutex);
        return call.cancelled;
    }

    void answer(Call& call, mcp::Ending ending, const std::optional<std::string>& reply = std::nullopt)
    {
        // A cancelled request gets no answer.
        if (!isCancelled(call))
            send(mcp::response(call.tool.id, mcp::endingResult(ending, reply, m_settings.callTimeout)));
    }

    void run(Call& call)
    {
        const auto created = m_daemon.create(call.tool.request);
        if (created.outcome != DaemonClient::Outcome::ok) {
            if (created.outcome == DaemonClient::Outcome::unreachable)
                answer(call, mcp::Ending::daemonDown);
            else if (!isCancelled(call))
                send(mcp::response(call.tool.id, mcp::toolResult("Ringlark's daemon refused the request: " +
                                                                     created.message, true)));
            return;
        }
        const std::string id = created.request["id"];
        {
            std::lock_guard lock(call.mutex);
            call.daemonId = id;
            if (call.cancelled) {
                m_daemon.withdraw(id);
                return;
            }
        }

        const auto started = Clock::now();
        const auto deadline = started + m_settings.callTimeout;
        const auto interval = std::max(m_settings.progressInterval, milliseconds(10));
        auto nextProgress = started + interval;
        int progress = 0;
        int failures = 0;
        while (!isCancelled(call)) {
            const auto now = Clock::now();
            if (now >= deadline) {
                m_daemon.withdraw(id);
                answer(call, mcp::Ending::timedOut);
                return;
            }
            auto until = call.tool.progressToken ? std::min(deadline, nextProgress) : deadline;
            const auto span = std::clamp(std::chrono::duration_cast<milliseconds>(until - now), milliseconds(0),
                                         milliseconds(25'000));
            const auto polled = m_daemon.wait(id, span);
            if (isCancelled(call))
                return;
            switch (polled.outcome) {
            case DaemonClient::Outcome::unreachable:
            case DaemonClient::Outcome::rejected:
                // The daemon may be restarting; a restarted one has forgotten the request.
                if (++failures > 20) {
                    answer(call, mcp::Ending::lost);
                    return;
                }
                std::this_thread::sleep_for(milliseconds(250));
                continue;
            case DaemonClient::Outcome::unknown:
                answer(call, mcp::Ending::lost);
                return;
            case DaemonClient::Outcome::ok:
                failures = 0;
                break;
            }
            const std::string status = polled.request["status"];
            if (status != RequestStatus::pending) {
                std::optional<std::string> reply;
                if (polled.request.contains("answer") && polled.request["answer"].is_string())
                    reply = polled.request["answer"].get<std::string>();
                answer(call, status == RequestStatus::resolved    ? mcp::Ending::resolved
                             : status == RequestStatus::dismissed ? mcp::Ending::dismissed
                                                                  : mcp::Ending::withdrawn,
                       reply);
                return;
            }
            const auto after = Clock::now();
            if (call.tool.progressToken && after >= nextProgress) {
                const auto waited = std::chrono::duration_cast<std::chrono::seconds>(after - started).count();
                send(mcp::progressNotification(*call.tool.progressToken, ++progress,
                                               "Waiting for a person (" + std::to_string(waited) + " s)"));
                nextProgress = std::max(nextProgress + interval, after + interval / 2);
            } else if (after - now < milliseconds(20) && span > milliseconds(100)) {
                // The daemon answered a long poll at once (too many waiters): do not spin.
                std::this_thread::sleep_for(milliseconds(200));
            }
        }
    }

    std::ostream& m_out;
    McpSettings m_settings;
    DaemonClient m_daemon;
    std::mutex m_outMutex;
    std::mutex m_mutex;
    std::condition_variable m_done;
    std::map<std::string, std::shared_ptr<Call>> m_calls; // by the JSON text of the id
};

} // namespace

int runMcp(std::istream& in, std::ostream& out, const McpSettings& settings)
{
    // A client that goes away must not kill us in the middle of a write.
    std::signal(SIGPIPE, SIG_IGN);
    auto server = std::make_unique<Server>(out, settings);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        server->handle(line);
    }
    if (!server->finish()) {
        // A call is stuck on an unanswering daemon; its thread must not outlive the server.
        diagnose("exiting with calls still waiting on the daemon");
        out.flush();
        std::_Exit(0);
    }
    return 0;
}

} // namespace ringlark::helper
