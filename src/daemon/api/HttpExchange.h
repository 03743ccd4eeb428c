#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

class QTcpSocket;

namespace ringlark {

// The largest reply body the client accepts; a longer one fails the exchange.
inline constexpr qsizetype replyCap = 1 << 20;

// A path segment with everything but unreserved characters percent-encoded,
// dots included, so "." and ".." stay a name instead of a step up.
QByteArray encodePathSegment(const QString& segment);

// One HTTP/1.1 request with the daemon's headers. The body is always empty.
QByteArray buildRequest(QByteArrayView method, QByteArrayView target, QByteArrayView host, QByteArrayView token);

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

// One exchange with the daemon: sends the request on the given socket
// (connecting it first when it is not connected yet), reads the reply, and
// gives up on silence or at the overall cap. Emits `finished` once, always
// from the event loop.
class HttpExchange : public QObject {
    Q_OBJECT
public:
    struct Reply {
        int code;
        QByteArray body;
    };

    // Takes over `socket`.
    HttpExchange(QTcpSocket* socket, QString host, std::uint16_t port, QByteArray request,
                 std::chrono::milliseconds silence, std::chrono::milliseconds cap, QObject* parent = nullptr);

    void start();
    // The reply, or nothing when the exchange failed below HTTP.
    const std::optional<Reply>& reply() const { return m_reply; }
    // The connection closed or broke before a single byte of reply: on a
    // connection kept from an earlier exchange, the daemon had dropped it.
    bool unanswered() const { return m_unanswered; }
    // After a reply that leaves the connection open, hands the socket over
    // (without a parent); otherwise nothing.
    QTcpSocket* takeConnection();

signals:
    void finished();

private:
    void received();
    void end(bool ok, bool broken = false);

    QString m_host;
    std::uint16_t m_port;
    QByteArray m_request;
    QTcpSocket* m_socket;
    QTimer m_silence;
    QTimer m_cap;
    ReplyReader m_reader;
    std::optional<Reply> m_reply;
    bool m_ended = false;
    bool m_gotBytes = false;
    bool m_unanswered = false;
    bool m_keep = false;
};

// Keeps the connection of a finished exchange open for the next one, so a
// poll costs no connect and no listener check. At most one is kept: a second
// connection only exists while two exchanges overlap. GUI thread only.
class ConnectionPool : public QObject {
public:
    using Clock = std::chrono::steady_clock;

    // Connections idle longer than `maxIdle` are not reused: the daemon may be
    // closing them just then, and only reads could be safely sent again.
    explicit ConnectionPool(std::chrono::milliseconds maxIdle = std::chrono::seconds(30));
    ~ConnectionPool() override;

    // An open connection kept from an earlier exchange, or nothing.
    QTcpSocket* take();
    // A connection whose reply is complete; closed at once if one is kept already.
    void put(QTcpSocket* socket);

private:
    void drop();

    std::chrono::milliseconds m_maxIdle;
    QTcpSocket* m_idle = nullptr;
    Clock::time_point m_since;
};

} // namespace ringlark
