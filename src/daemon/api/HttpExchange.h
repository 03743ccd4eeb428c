#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <optional>
#include <vector>

class QTcpSocket;

namespace ringlark {

// The largest reply body the client accepts; a longer one fails the exchange.
inline constexpr qsizetype replyCap = 1 << 20;
// The list of help requests may be longer. The daemon keeps at most 100 open
// requests whose reason, ask, app, title and agent hold up to 1,000 characters
// each; JSON writes a control character as 6 bytes (\u0001), so the longest
// list it can send is 100 x (5 x 6,000 + 164 for keys, id and times) + 101 =
// 3,016,501 bytes.
inline constexpr qsizetype requestListCap = 4 << 20;

// A path segment with everything but unreserved characters percent-encoded,
// dots included, so "." and ".." stay a name instead of a step up.
QByteArray encodePathSegment(const QString& segment);

// One HTTP/1.1 request with the daemon's headers. A non-empty body goes as JSON.
QByteArray buildRequest(QByteArrayView method, QByteArrayView target, QByteArrayView host, QByteArrayView token,
                        QByteArrayView jsonBody = {});

// Reads one HTTP/1.1 reply as its bytes arrive: a Content-Length body, a
// chunked body, or a body that ends when the daemon closes the connection.
class ReplyReader {
public:
    enum class State { reading, done, failed };

    explicit ReplyReader(qsizetype bodyCap = replyCap) : m_cap(bodyCap) {}

    State feed(QByteArrayView bytes);
    // The daemon closed the connection: ends a body that runs to the close.
    State close();

    State state() const { return m_state; }
    int code() const { return m_code; }
    const QByteArray& body() const { return m_body; }
    // The reply is complete and its connection may carry the next request.
    bool reusable() const;

private:
    enum class Body { none, length, chunked, untilClose };
    enum class Chunk { size, data, dataEnd, trailer };

    State fail() { return m_state = State::failed; }
    State finish() { return m_state = State::done; }
    bool readHead();
    State readBody();
    State readChunks();

    qsizetype m_cap;
    State m_state = State::reading;
    QByteArray m_pending; // received, not yet consumed
    bool m_inHead = true;
    bool m_keepAlive = false; // HTTP/1.1 without "Connection: close"
    bool m_overrun = false;   // bytes beyond the reply arrived
    int m_code = 0;
    Body m_bodyKind = Body::none;
    qint64 m_remaining = 0; // of the length body or the current chunk
    Chunk m_chunk = Chunk::size;
    QByteArray m_body;
};

// A new loopback socket that no proxy may ever see.
QTcpSocket* newDaemonSocket();

// A connection to the daemon that carries one exchange at a time and stays
// open between them. An exchange sends the request (connecting first when
// needed), reads the reply, and gives up on silence or at the overall cap.
//
// The awaiting coroutine is resumed directly from the socket's or timer's
// signal, so a poll costs no extra turns of the event loop. That coroutine
// may run on for a whole poll cycle inside the signal; therefore a
// connection is never deleted directly, only with deleteLater().
class DaemonConnection : public QObject {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;

    struct Reply {
        int code;
        QByteArray body;
    };
    struct Outcome {
        std::optional<Reply> reply; // nothing when the exchange failed below HTTP
        // The connection closed or broke before a single byte of reply: on a
        // connection kept from an earlier exchange, the daemon had dropped it.
        bool unanswered = false;
    };

    DaemonConnection(QString host, std::uint16_t port, std::chrono::milliseconds silence,
                     std::chrono::milliseconds cap);

    class Awaiter {
    public:
        explicit Awaiter(DaemonConnection* connection) : m_connection(connection) {}
        bool await_ready() const noexcept { return !m_connection->m_busy; }
        void await_suspend(std::coroutine_handle<> handle) noexcept { m_connection->m_waiter = handle; }
        Outcome await_resume() const { return m_connection->m_outcome; }

    private:
        DaemonConnection* m_connection;
    };

    // Starts an exchange whose reply body may hold up to `cap` bytes; co_await
    // the result. One at a time.
    [[nodiscard]] Awaiter exchange(QByteArray request, qsizetype cap = replyCap);
    // Open, idle, and fit to carry the next request: connected, not idle for
    // longer than `maxIdle`, no stray bytes waiting.
    bool reusable(std::chrono::milliseconds maxIdle) const;
    // The token the daemon accepted on this connection; empty before that.
    const QByteArray& token() const { return m_token; }
    void setToken(QByteArray token) { m_token = std::move(token); }

private:
    void send();
    void received();
    void end(bool ok, bool broken = false);

    QString m_host;
    std::uint16_t m_port;
    QTcpSocket* m_socket;
    QTimer m_silence;
    QTimer m_cap;
    QByteArray m_request;
    QByteArray m_token;
    ReplyReader m_reader;
    Outcome m_outcome;
    std::coroutine_handle<> m_waiter;
    bool m_busy = false;
    bool m_gotBytes = false;
    bool m_keep = false; // the last reply left the connection open
    Clock::time_point m_idleSince;
};

// Keeps the connection of a finished exchange open for the next one, so a
// poll costs no connect and no listener check. At most one is kept: a second
// connection only exists while two exchanges overlap. GUI thread only.
class ConnectionPool {
public:
    // Connections idle longer than `maxIdle` are not reused: the daemon may be
    // closing them just then, and only reads could be safely sent again.
    explicit ConnectionPool(std::chrono::milliseconds maxIdle = std::chrono::seconds(30));
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // An open connection kept from an earlier exchange, or nothing.
    DaemonConnection* take();
    // A connection whose exchange ended: kept if it may carry another, else let go.
    void put(DaemonConnection* connection);

private:
    std::chrono::milliseconds m_maxIdle;
    QPointer<DaemonConnection> m_idle;
};

} // namespace ringlark
