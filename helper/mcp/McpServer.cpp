#include "helper/mcp/McpServer.h"

#include "helper/net/DaemonClient.h"
#include "helper/net/EventLoop.h"
#include "helper/mcp/Mcp.h"
#include "helper/system/Files.h"

#include <poll.h>
#include <sys/epoll.h>
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

static_assert(EPOLLIN == POLLIN && EPOLLOUT == POLLOUT); // an exchange reads epoll's bits as poll's

// One exchange on the loop: watched while it runs, failed at its deadline, and
// `done` called once it has ended, always from the loop (an exchange that fails
// in its constructor reports on the next turn). `done` may destroy the link.
class Link {
public:
    Link(EventLoop& loop, const std::filesystem::path& socket, std::string request, Clock::time_point deadline,
         std::function<void()> done)
        : m_loop(loop), m_exchange(socket, std::move(request), deadline), m_fd(m_exchange.fd()), m_done(std::move(done))
    {
        if (m_fd >= 0)
            m_loop.watch(m_fd, m_events = m_exchange.events(), [this](std::uint32_t ready) { check(short(ready)); });
        m_timer = m_loop.at(m_fd >= 0 ? deadline : Clock::now(), [this] { check(0); });
    }
    ~Link()
    {
        m_loop.unwatch(m_fd);
        m_loop.cancel(m_timer);
    }

    Result result() const { return m_exchange.result(); }
    const daemon::HttpResponse& response() const { return m_exchange.response(); }

private:
    // `ready`: what epoll saw; none at the deadline.
    void check(short ready)
    {
        if (ready)
            m_exchange.onEvents(ready);
        else
            m_exchange.expire(Clock::now());
        if (m_exchange.fd() >= 0 && m_exchange.events() != m_events)
            m_loop.modify(m_fd, m_events = m_exchange.events());
        if (m_exchange.fd() >= 0)
            return;
        // The exchange closed its descriptor as it ended: forget it before a new socket takes its number.
        m_loop.unwatch(std::exchange(m_fd, -1));
        m_loop.cancel(m_timer);
        std::exchange(m_done, nullptr)(); // taken out first, as it may destroy the link
    }

    EventLoop& m_loop;
    Exchange m_exchange;
    int m_fd;
    short m_events = 0;
    EventLoop::TimerId m_timer = 0;
    std::function<void()> m_done;
};

struct Call {
    enum class Phase { creating, waiting, resting };

    json id;
    std::optional<json> progressToken;
    NewRequest request;
    Phase phase = Phase::creating;
    std::unique_ptr<Link> exchange;
    std::optional<std::string> daemonId;
    Clock::time_point started, deadline, createGiveUp, nextProgress, resumeAt, polledAt;
    EventLoop::TimerId timer = 0; // for whichever of the deadline, the rest's end and the next progress comes first
    milliseconds span{0};         // of the wait in flight
    milliseconds quickRest{0};
    int progress = 0;
    int failures = 0;
    bool tokenRetried = false;
    bool cancelled = false; // the client no longer wants an answer; withdraw once created
    bool finished = false;
};

struct Withdrawal {
    std::string daemonId;
    std::unique_ptr<Link> exchange;
    Clock::time_point giveUp;
    bool tokenRetried = false;
    bool finished = false;
};

class Server {
    // A loop callback: `work`, then what ended in it is dropped.
    auto settling(std::function<void()> work)
    {
        return [this, work = std::move(work)](auto...) {
            work();
            settle();
        };
    }

public:
    Server(const McpSettings& settings, int signals)
        : m_settings(settings), m_signals(signals), m_channel(settings.home)
    {
    }

    int run()
    {
        m_loop.watch(m_signals, EPOLLIN, settling([this] {
            signalfd_siginfo info{};
            // A repeated signal changes nothing: the withdrawal is bounded already.
            while (::read(m_signals, &info, sizeof info) == sizeof info)
                close(Clock::now());
        }));
        // epoll refuses files and /dev/null, which never block: those are read through at once.
        if (!m_loop.watch(m_settings.input, EPOLLIN, settling([this] { readInput(); })))
            m_loop.at(Clock::now(), settling([this, error = errno] {
                if (error != EPERM) {
                    diagnose(std::string("cannot watch input: ") + std::strerror(error));
                    close(Clock::now());
                }
                while (!m_closing)
                    readInput();
            }));
        if (!m_loop.run()) {
            diagnose(std::string("waiting for events failed: ") + std::strerror(errno));
            return 1;
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
        m_loop.cancel(call.timer);
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

    void exchange(Call& call, const std::string& request, Clock::time_point deadline)
    {
        auto done = settling([this, &call] {
            const auto now = Clock::now();
            call.phase == Call::Phase::creating ? created(call, now) : polled(call, now);
            advance(call, now);
        });
        call.exchange = std::make_unique<Link>(m_loop, m_channel.paths().socket, request, deadline, std::move(done));
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
        exchange(call, daemon::requestText("POST", "/v1/requests", m_channel.token(), dumpJson(body)),
                 std::min(call.createGiveUp, now + createBound));
    }

    void wait(Call& call, Clock::time_point now)
    {
        call.phase = Call::Phase::waiting;
        call.polledAt = now;
        call.span = std::clamp(std::chrono::duration_cast<milliseconds>(call.deadline - now), milliseconds(0), longPoll);
        const auto target = "/v1/requests/" + *call.daemonId + "/wait?timeout_ms=" + std::to_string(call.span.count());
        exchange(call, daemon::requestText("GET", target, m_channel.token()), now + call.span + pollSlack);
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
        m_loop.cancel(call->timer);
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

    // What time decides about a call once it is created, and when to look again.
    void advance(Call& call, Clock::time_point now)
    {
        m_loop.cancel(call.timer);
        if (call.finished || call.phase == Call::Phase::creating)
            return;
        if (now >= call.deadline) {
            if (call.daemonId)
                withdraw(*call.daemonId, now);
            answer(call, mcp::Ending::timedOut);
            return;
        }
        if (call.phase == Call::Phase::resting && now >= call.resumeAt)
            call.daemonId ? wait(call, now) : post(call, now);
        if (call.progressToken && now >= call.nextProgress) {
            const auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - call.started).count();
            send(mcp::progressNotification(*call.progressToken, ++call.progress,
                                           "Waiting for a person (" + std::to_string(waited) + " s)"));
            const auto interval = std::max(m_settings.progressInterval, milliseconds(10));
            call.nextProgress = std::max(call.nextProgress + interval, now + interval / 2);
        }
        auto next = call.phase == Call::Phase::resting ? std::min(call.deadline, call.resumeAt) : call.deadline;
        if (call.progressToken)
            next = std::min(next, call.nextProgress);
        call.timer = m_loop.at(next, settling([this, &call] { advance(call, Clock::now()); }));
    }

    // Drops what has ended; once closing, stops when nothing is left.
    void settle()
    {
        std::erase_if(m_calls, [](const auto& call) { return call->finished; });
        m_withdrawals.remove_if([](const Withdrawal& withdrawal) { return withdrawal.finished; });
        if (m_closing && m_calls.empty() && m_withdrawals.empty())
            m_loop.stop();
    }

    // --- withdrawing ---------------------------------------------------------

    void withdraw(const std::string& daemonId, Clock::time_point now)
    {
        auto& withdrawal = m_withdrawals.emplace_back();
        withdrawal.daemonId = daemonId;
        withdrawal.giveUp = now + m_settings.withdrawBound;
        sendWithdrawal(withdrawal);
    }

    void sendWithdrawal(Withdrawal& withdrawal)
    {
        withdrawal.exchange = std::make_unique<Link>(
            m_loop, m_channel.paths().socket,
            daemon::requestText("POST", "/v1/requests/" + withdrawal.daemonId + "/withdraw", m_channel.token()),
            withdrawal.giveUp, settling([this, &withdrawal] { withdrawn(withdrawal, Clock::now()); }));
    }

    void withdrawn(Withdrawal& withdrawal, Clock::time_point now)
    {
        const Result result = withdrawal.exchange->result();
        const int status = withdrawal.exchange->response().status;
        withdrawal.exchange.reset();
        if (result == Result::replied && status == 403 && !withdrawal.tokenRetried) {
            withdrawal.tokenRetried = true;
            m_channel.reloadToken();
            sendWithdrawal(withdrawal);
        } else if (result == Result::busy && now < withdrawal.giveUp) {
            m_loop.at(now + busyRest(++m_serial), [this, &withdrawal] { sendWithdrawal(withdrawal); });
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
        m_loop.unwatch(m_settings.input);
        m_loop.at(now + m_settings.withdrawBound, [this] { m_loop.stop(); });
        std::vector<json> ids;
        for (const auto& call : m_calls)
            if (!call->cancelled)
                ids.push_back(call->id);
        for (const auto& id : ids)
            cancel(id, now);
    }

    const McpSettings& m_settings;
    const int m_signals;
    daemon::Channel m_channel;
    EventLoop m_loop; // before what watches on it, so it goes last
    std::vector<std::unique_ptr<Call>> m_calls;
    std::list<Withdrawal> m_withdrawals;
    std::string m_pending; // the line read so far
    bool m_skipping = false;
    bool m_outputGone = false;
    bool m_closing = false;
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
