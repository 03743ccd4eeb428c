#include "helper/mcp/McpServer.h"

#include "helper/net/DaemonClient.h"
#include "helper/mcp/Mcp.h"
#include "helper/system/Files.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <vector>

namespace ringlark::helper {

namespace {

using daemon::Clock;
using daemon::Exchange;
using std::chrono::milliseconds;
using Result = Exchange::Result;
using nlohmann::json;

constexpr milliseconds createBound{5000};   // one POST of a new request, retries included
constexpr milliseconds longPoll{30'000};    // the most the daemon waits before answering a wait
constexpr milliseconds pollSlack{5000};     // on top of a long poll before the exchange counts as broken
constexpr milliseconds failureRest{250};    // after a failed wait: the daemon may be restarting
constexpr int failuresUntilLost = 20;
constexpr milliseconds maxQuickRest{2000};  // a daemon with too many waiters answers long polls at once

void diagnose(const std::string& text)
{
    std::fprintf(stderr, "ringlark mcp: %s\n", text.c_str());
    std::fflush(stderr);
}

bool isSuccess(const daemon::HttpResponse& response) { return response.status >= 200 && response.status <= 299; }

// The daemon's request record, when the reply is one.
std::optional<json> requestRecord(const daemon::HttpResponse& response)
{
    auto body = json::parse(response.body, nullptr, false);
    if (!isSuccess(response) || !body.is_object() || !body.contains("id") || !body["id"].is_string() ||
        !body.contains("status") || !body["status"].is_string())
        return std::nullopt;
    // It goes into a path: only plain characters.
    const std::string id = body["id"];
    const bool plain = !id.empty() && id.size() <= 128 && std::all_of(id.begin(), id.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
    });
    return plain ? std::optional<json>(std::move(body)) : std::nullopt;
}

// Many calls retrying at once would meet the daemon's backlog together again: spread them.
milliseconds busyRest(unsigned serial) { return milliseconds(5 + serial * 7 % 23); }

struct Call {
    enum class Phase { creating, waiting, resting };

    json id;
    std::optional<json> progressToken;
    NewRequest request;
    Phase phase = Phase::creating;
    std::unique_ptr<Exchange> exchange;
    std::optional<std::string> daemonId;
    Clock::time_point started, deadline, createGiveUp, nextProgress, resumeAt, polledAt;
    milliseconds span{0}; // of the wait in flight
    milliseconds quickRest{0};
    int progress = 0;
    int failures = 0;
    bool tokenRetried = false;
    bool cancelled = false; // the client no longer wants an answer; withdraw once created
    bool finished = false;
};

struct Withdrawal {
    std::string daemonId;
    std::unique_ptr<Exchange> exchange;
    Clock::time_point giveUp, resumeAt;
    bool tokenRetried = false;
    bool finished = false;
};

class Server {
public:
    Server(const McpSettings& settings, int signals)
        : m_settings(settings), m_signals(signals), m_channel(settings.home)
    {
    }

    int run()
    {
        std::vector<pollfd> fds;
        std::vector<Exchange*> owners;
        for (;;) {
            const auto now = Clock::now();
            tick(now);
            if (m_closing && ((m_calls.empty() && m_withdrawals.empty()) || now >= m_closeDeadline))
                break;

            fds.clear();
            owners.clear();
            fds.push_back({m_signals, POLLIN, 0});
            const bool watchingInput = !m_closing;
            if (watchingInput)
                fds.push_back({m_settings.input, POLLIN, 0});
            auto watch = [&](const std::unique_ptr<Exchange>& exchange) {
                if (exchange && exchange->fd() >= 0) {
                    fds.push_back({exchange->fd(), exchange->events(), 0});
                    owners.push_back(exchange.get());
                }
            };
            for (const auto& call : m_calls)
                watch(call->exchange);
            for (const auto& withdrawal : m_withdrawals)
                watch(withdrawal.exchange);

            const int ready = ::poll(fds.data(), fds.size(), timeoutFrom(now));
            if (ready < 0 && errno != EINTR) {
                diagnose(std::string("poll failed: ") + std::strerror(errno));
                return 1;
            }
            if (ready <= 0)
                continue;
            // Exchanges first: the signal and the input may end calls and free them.
            const std::size_t first = watchingInput ? 2 : 1;
            for (std::size_t i = first; i < fds.size(); ++i)
                owners[i - first]->onEvents(fds[i].revents);
            if (fds[0].revents) {
                signalfd_siginfo info{};
                // A repeated signal changes nothing: the withdrawal is bounded already.
                while (::read(m_signals, &info, sizeof info) == sizeof info)
                    close(Clock::now());
            }
            if (watchingInput && !m_closing && fds[1].revents)
                readInput();
        }
        if (!m_calls.empty() || !m_withdrawals.empty())
            diagnose("exiting with requests the daemon did not confirm as withdrawn");
        return 0;
    }

private:
    // --- input ---------------------------------------------------------------

    void readInput()
    {
        char buffer[65536];
        const auto count = ::read(m_settings.input, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN)
                return;
            diagnose(std::string("cannot read input: ") + std::strerror(errno));
        }
        if (count <= 0) {
            // A last line without its newline is still a message.
            if (!m_skipping && !m_pending.empty())
                handleLine(m_pending);
            m_pending.clear();
            close(Clock::now());
            return;
        }
        std::string_view bytes(buffer, static_cast<std::size_t>(count));
        while (!bytes.empty()) {
            const auto newline = bytes.find('\n');
            const auto part = bytes.substr(0, newline);
            if (!m_skipping) {
                m_pending.append(part);
                if (m_pending.size() > mcp::maxLineBytes) {
                    // Answer the over-long line once and drop the rest of it unread.
                    handleLine(m_pending);
                    m_pending.clear();
                    m_skipping = true;
                }
            }
            if (newline == std::string_view::npos)
                break;
            if (!m_skipping)
                handleLine(m_pending);
            m_pending.clear();
            m_skipping = false;
            bytes.remove_prefix(newline + 1);
        }
    }

    void handleLine(std::string line)
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            return;
        auto step = mcp::handleLine(line);
        if (step.reply)
            send(*step.reply);
        if (step.call)
            start(std::move(*step.call), Clock::now());
        if (step.cancel)
            cancel(*step.cancel, Clock::now());
    }

    void send(const json& message)
    {
        if (m_outputGone)
            return;
        const std::string text = dumpJson(message) + "\n";
        for (std::size_t written = 0; written < text.size();) {
            const auto count = ::write(m_settings.output, text.data() + written, text.size() - written);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0) {
                m_outputGone = true; // the client stopped reading; its input will end soon
                return;
            }
            written += static_cast<std::size_t>(count);
        }
    }

    void answer(Call& call, const json& result)
    {
        if (!call.cancelled)
            send(mcp::response(call.id, result));
        call.cancelled = true;
        call.finished = true;
        call.exchange.reset();
    }

    void answer(Call& call, mcp::Ending ending, const std::optional<std::string>& reply = std::nullopt)
    {
        answer(call, mcp::endingResult(ending, reply, m_settings.callTimeout));
    }

    // --- calls ---------------------------------------------------------------

    Call* liveCall(const json& id)
    {
        for (const auto& call : m_calls)
            if (!call->cancelled && call->id == id)
                return call.get();
        return nullptr;
    }

    void start(mcp::ToolCall tool, Clock::time_point now)
    {
        tool.request.agent = m_settings.agent;
        if (auto error = mcp::fieldBoundError(tool.request)) {
            send(mcp::response(tool.id, mcp::toolResult(*error, true)));
            return;
        }
        if (liveCall(tool.id)) {
            send(mcp::errorResponse(tool.id, mcp::ErrorCode::invalidRequest, "A request with this id is still running"));
            return;
        }
        if (const auto state = m_channel.prepare(); state != daemon::ChannelState::ready) {
            send(mcp::response(tool.id, mcp::endingResult(state == daemon::ChannelState::unsafe
                                                              ? mcp::Ending::channelUnsafe
                                                              : mcp::Ending::daemonDown,
                                                          std::nullopt, m_settings.callTimeout)));
            return;
        }
        auto call = std::make_unique<Call>();
        call->id = std::move(tool.id);
        call->progressToken = std::move(tool.progressToken);
        call->request = std::move(tool.request);
        call->started = now;
        call->deadline = now + m_settings.callTimeout;
        call->createGiveUp = now + createBound;
        call->nextProgress = now + std::max(m_settings.progressInterval, milliseconds(10));
        post(*call, now);
        m_calls.push_back(std::move(call));
    }

    void post(Call& call, Clock::time_point now)
    {
        json body{{"reason", call.request.reason}};
        for (auto [key, value] : {std::pair{"ask", &call.request.ask}, {"app", &call.request.app},
                                  {"title", &call.request.title}, {"agent", &call.request.agent}}) {
            if (*value)
                body[key] = **value;
        }
        call.phase = Call::Phase::creating;
        call.exchange = std::make_unique<Exchange>(
            m_channel.paths().socket, daemon::requestText("POST", "/v1/requests", m_channel.token(), dumpJson(body)),
            std::min(call.createGiveUp, now + createBound));
    }

    void wait(Call& call, Clock::time_point now)
    {
        call.phase = Call::Phase::waiting;
        call.polledAt = now;
        call.span = std::clamp(std::chrono::duration_cast<milliseconds>(call.deadline - now), milliseconds(0), longPoll);
        const auto target = "/v1/requests/" + *call.daemonId + "/wait?timeout_ms=" + std::to_string(call.span.count());
        call.exchange = std::make_unique<Exchange>(m_channel.paths().socket,
                                                   daemon::requestText("GET", target, m_channel.token()),
                                                   now + call.span + pollSlack);
    }

    void rest(Call& call, Clock::time_point until)
    {
        call.phase = Call::Phase::resting;
        call.resumeAt = until;
        call.exchange.reset();
    }

    void cancel(const json& id, Clock::time_point now)
    {
        Call* call = liveCall(id);
        if (!call)
            return;
        call->cancelled = true;
        // A creation in flight may still succeed: its reply says what to withdraw.
        if (call->phase == Call::Phase::creating)
            return;
        if (call->daemonId)
            withdraw(*call->daemonId, now);
        call->finished = true;
        call->exchange.reset();
    }

    void created(Call& call, Clock::time_point now)
    {
        const Result result = call.exchange->result();
        const auto response = call.exchange->response();
        call.exchange.reset();
        if (result == Result::replied) {
            if (auto record = requestRecord(response)) {
                call.daemonId = (*record)["id"].get<std::string>();
                if (call.cancelled || now >= call.deadline) {
                    withdraw(*call.daemonId, now);
                    answer(call, mcp::Ending::timedOut); // says nothing to a cancelled call
                    return;
                }
                wait(call, now);
                return;
            }
            if (response.status == 403 && !call.tokenRetried) {
                // The daemon restarted with a new token.
                call.tokenRetried = true;
                m_channel.reloadToken();
                post(call, now);
                return;
            }
            answer(call, isSuccess(response) ? mcp::refusedResult("its reply was not a request")
                                             : mcp::refusedResult(response.body));
            return;
        }
        if (result == Result::busy && now < call.createGiveUp) {
            rest(call, now + busyRest(++m_serial));
            return;
        }
        answer(call, result == Result::unsafe ? mcp::Ending::channelUnsafe : mcp::Ending::daemonDown);
    }

    void polled(Call& call, Clock::time_point now)
    {
        const Result result = call.exchange->result();
        const auto response = call.exchange->response();
        call.exchange.reset();
        if (result == Result::replied) {
            if (auto record = requestRecord(response)) {
                call.failures = 0;
                const std::string status = (*record)["status"];
                if (status != RequestStatus::pending) {
                    std::optional<std::string> reply;
                    if (auto found = record->find("answer"); found != record->end() && found->is_string())
                        reply = found->get<std::string>();
                    answer(call, status == RequestStatus::resolved    ? mcp::Ending::resolved
                                 : status == RequestStatus::dismissed ? mcp::Ending::dismissed
                                                                      : mcp::Ending::withdrawn,
                           reply);
                    return;
                }
                if (now - call.polledAt < milliseconds(20) && call.span > milliseconds(100)) {
                    call.quickRest = std::clamp(call.quickRest * 2, milliseconds(100), maxQuickRest);
                    rest(call, now + call.quickRest + busyRest(++m_serial));
                    return;
                }
                call.quickRest = milliseconds(0);
                wait(call, now);
                return;
            }
            if (response.status == 404) {
                answer(call, mcp::Ending::lost); // a restarted daemon has forgotten it
                return;
            }
            if (response.status == 403)
                m_channel.reloadToken();
        } else if (result == Result::busy) {
            rest(call, now + busyRest(++m_serial));
            return;
        } else if (result == Result::unsafe) {
            answer(call, mcp::Ending::channelUnsafe);
            return;
        }
        // Unreachable or confused: the daemon may be restarting.
        if (++call.failures > failuresUntilLost) {
            answer(call, mcp::Ending::lost);
            return;
        }
        rest(call, now + failureRest);
    }

    void tick(Clock::time_point now)
    {
        for (auto& call : m_calls) {
            if (call->exchange)
                call->exchange->expire(now);
            if (call->finished)
                continue;
            if (call->exchange && call->exchange->result() != Result::pending) {
                if (call->phase == Call::Phase::creating)
                    created(*call, now);
                else
                    polled(*call, now);
            }
            if (call->finished || call->phase == Call::Phase::creating)
                continue;
            if (now >= call->deadline) {
                if (call->daemonId)
                    withdraw(*call->daemonId, now);
                answer(*call, mcp::Ending::timedOut);
                continue;
            }
            if (call->phase == Call::Phase::resting && now >= call->resumeAt) {
                if (call->daemonId)
                    wait(*call, now);
                else
                    post(*call, now);
            }
            if (call->progressToken && now >= call->nextProgress) {
                const auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - call->started).count();
                send(mcp::progressNotification(*call->progressToken, ++call->progress,
                                               "Waiting for a person (" + std::to_string(waited) + " s)"));
                const auto interval = std::max(m_settings.progressInterval, milliseconds(10));
                call->nextProgress = std::max(call->nextProgress + interval, now + interval / 2);
            }
        }
        std::erase_if(m_calls, [](const auto& call) { return call->finished; });

        for (auto& withdrawal : m_withdrawals) {
            if (withdrawal.exchange) {
                withdrawal.exchange->expire(now);
                withdrawn(withdrawal, now);
            } else if (now >= withdrawal.resumeAt) {
                sendWithdrawal(withdrawal, now);
            }
        }
        m_withdrawals.remove_if([](const Withdrawal& withdrawal) { return withdrawal.finished; });
    }

    // When the loop must next look at the clock.
    int timeoutFrom(Clock::time_point now) const
    {
        auto next = now + longPoll;
        auto consider = [&](Clock::time_point at) { next = std::min(next, at); };
        for (const auto& call : m_calls) {
            if (call->exchange) {
                if (call->exchange->result() != Result::pending)
                    return 0;
                consider(call->exchange->deadline());
            }
            if (call->phase != Call::Phase::creating)
                consider(call->deadline);
            if (call->phase == Call::Phase::resting)
                consider(call->resumeAt);
            if (call->progressToken && call->phase != Call::Phase::creating)
                consider(call->nextProgress);
        }
        for (const auto& withdrawal : m_withdrawals) {
            if (withdrawal.exchange && withdrawal.exchange->result() != Result::pending)
                return 0;
            consider(withdrawal.exchange ? withdrawal.exchange->deadline() : withdrawal.resumeAt);
        }
        if (m_closing)
            consider(m_closeDeadline);
        const auto wait = std::chrono::ceil<milliseconds>(next - now).count();
        return static_cast<int>(std::clamp<long long>(wait, 0, longPoll.count()));
    }

    // --- withdrawing ---------------------------------------------------------

    void withdraw(const std::string& daemonId, Clock::time_point now)
    {
        Withdrawal withdrawal;
        withdrawal.daemonId = daemonId;
        withdrawal.giveUp = now + m_settings.withdrawBound;
        sendWithdrawal(withdrawal, now);
        m_withdrawals.push_back(std::move(withdrawal));
    }

    void sendWithdrawal(Withdrawal& withdrawal, Clock::time_point)
    {
        withdrawal.exchange = std::make_unique<Exchange>(
            m_channel.paths().socket,
            daemon::requestText("POST", "/v1/requests/" + withdrawal.daemonId + "/withdraw", m_channel.token()),
            withdrawal.giveUp);
    }

    void withdrawn(Withdrawal& withdrawal, Clock::time_point now)
    {
        const Result result = withdrawal.exchange->result();
        if (result == Result::pending)
            return;
        const int status = withdrawal.exchange->response().status;
        withdrawal.exchange.reset();
        if (result == Result::replied && status == 403 && !withdrawal.tokenRetried) {
            withdrawal.tokenRetried = true;
            m_channel.reloadToken();
            sendWithdrawal(withdrawal, now);
        } else if (result == Result::busy && now < withdrawal.giveUp) {
            withdrawal.resumeAt = now + busyRest(++m_serial);
        } else {
            withdrawal.finished = true; // done, or as good as we can make it
        }
    }

    // The client has gone or we are told to stop: withdraw everything it waited for.
    void close(Clock::time_point now)
    {
        if (m_closing)
            return;
        m_closing = true;
        m_closeDeadline = now + m_settings.withdrawBound;
        std::vector<json> ids;
        for (const auto& call : m_calls)
            if (!call->cancelled)
                ids.push_back(call->id);
        for (const auto& id : ids)
            cancel(id, now);
        for (auto& call : m_calls)
            call->createGiveUp = std::min(call->createGiveUp, m_closeDeadline);
    }

    const McpSettings& m_settings;
    const int m_signals;
    daemon::Channel m_channel;
    std::vector<std::unique_ptr<Call>> m_calls;
    std::list<Withdrawal> m_withdrawals;
    std::string m_pending; // the line read so far
    bool m_skipping = false;
    bool m_outputGone = false;
    bool m_closing = false;
    Clock::time_point m_closeDeadline;
    unsigned m_serial = 0;
};

} // namespace

int runMcp(const McpSettings& settings)
{
    // A client that goes away must not kill us in the middle of a write.
    std::signal(SIGPIPE, SIG_IGN);
    // Every waiting call holds a connection.
    raiseDescriptorLimit(65536);

    // The stop signals arrive as input to the loop, so it can withdraw before leaving.
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, signal);
    ::sigprocmask(SIG_BLOCK, &stops, nullptr);
    const int signals = ::signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals < 0) {
        diagnose(std::string("cannot watch signals: ") + std::strerror(errno));
        return 1;
    }
    const int status = Server(settings, signals).run();
    ::close(signals);
    // The mask stays: a second stop signal must not kill the process on its way out.
    return status;
}

} // namespace ringlark::helper
