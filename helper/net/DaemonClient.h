#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The MCP mode's way to the daemon: HTTP/1.1 over the per-user Unix socket,
// with the daemon's token, one connection per exchange, never blocking.
namespace ringlark::helper::daemon {

using Clock = std::chrono::steady_clock;

struct HttpResponse {
    int status = 0;
    std::string body;
};

// One request; `Connection: close` so that every reply ends with the connection.
std::string requestText(std::string_view method, std::string_view target, std::string_view token,
                        std::string_view jsonBody = {});

// Reads one reply as its bytes arrive: Content-Length, chunked or up to the close.
// A reply beyond the bounds or malformed fails rather than growing.
class ResponseParser {
public:
    enum class State { more, done, failed };
    static constexpr std::size_t maxHeaderBytes = 16 * 1024;
    static constexpr std::size_t maxBodyBytes = 1 << 20;

    State feed(std::string_view bytes);
    State finish(); // the peer closed the connection
    State state() const { return m_state; }
    const HttpResponse& response() const { return m_response; }

private:
    State parseHead();
    State parseBody();
    State fail() { return m_state = State::failed; }

    enum class Framing { length, chunked, close };
    State m_state = State::more;
    bool m_headDone = false;
    Framing m_framing = Framing::close;
    std::size_t m_remaining = 0; // body bytes still due: of the whole body, or of the current chunk
    bool m_inChunk = false;
    std::string m_buffer;
    HttpResponse m_response;
};

// Whether the socket and token can be trusted with a request.
enum class ChannelState { ready, missing, unsafe };

struct ChannelPaths {
    std::filesystem::path directory, socket, token;
    static ChannelPaths in(const std::filesystem::path& home);
};

// The socket must be ours, in a directory that is ours and closed to others
// (no one else can then replace it); a missing one means no daemon runs.
ChannelState checkSocket(const ChannelPaths& paths);

// The token, trimmed: never through a symbolic link, only from our own file that
// no one else may read. `missing` when absent or empty.
struct TokenRead {
    ChannelState state = ChannelState::missing;
    std::string token;
};
TokenRead readToken(const std::filesystem::path& file);

// The token as last read; read again when the daemon no longer knows it (it restarted).
class Channel {
public:
    explicit Channel(const std::filesystem::path& home) : m_paths(ChannelPaths::in(home)) {}

    // Checks the socket and loads the token unless one is at hand.
    ChannelState prepare();
    // Reads the token afresh; says whether it changed.
    bool reloadToken();

    const std::string& token() const { return m_token; }
    const ChannelPaths& paths() const { return m_paths; }

private:
    ChannelPaths m_paths;
    std::string m_token;
};

// One request and its reply over a non-blocking connection of its own, driven by
// the caller's event loop.
class Exchange {
public:
    enum class Result {
        pending,
        replied,  // response() holds the reply, whatever its status
        busy,     // the daemon's backlog is full: try again shortly
        refused,  // no daemon listens on the socket
        unsafe,   // the listening process is not ours
        failed,   // broken connection, malformed reply or past the deadline
    };

    Exchange(const std::filesystem::path& socket, std::string request, Clock::time_point deadline);
    ~Exchange();
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // What to watch: -1 once finished; events as poll and epoll both spell them.
    int fd() const { return m_result == Result::pending ? m_fd : -1; }
    short events() const;
    void onEvents(short revents);
    // Fails the exchange once `now` is past its deadline; says whether it did.
    bool expire(Clock::time_point now);

    Result result() const { return m_result; }
    const HttpResponse& response() const { return m_parser.response(); }

private:
    void end(Result result);

    int m_fd = -1;
    std::string m_request;
    std::size_t m_sent = 0;
    ResponseParser m_parser;
    Clock::time_point m_deadline;
    Result m_result = Result::pending;
};

} // namespace ringlark::helper::daemon
