#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <optional>

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
    int m_code = 0;
    Body m_bodyKind = Body::none;
    qint64 m_remaining = 0; // of the length body or the current chunk
    Chunk m_chunk = Chunk::size;
    QByteArray m_body;
};

// One exchange with the daemon over a fresh loopback connection: sends the
// request, reads the reply, and gives up on silence or at the overall cap.
// Emits `finished` once, always from the event loop.
class HttpExchange : public QObject {
    Q_OBJECT
public:
    struct Reply {
        int code;
        QByteArray body;
    };

    HttpExchange(QString host, std::uint16_t port, QByteArray request, std::chrono::milliseconds silence,
                 std::chrono::milliseconds cap, QObject* parent = nullptr);

    void start();
    // The reply, or nothing when the exchange failed below HTTP.
    const std::optional<Reply>& reply() const { return m_reply; }

signals:
    void finished();

private:
    void received();
    void end(bool ok);

    QString m_host;
    std::uint16_t m_port;
    QByteArray m_request;
    QTcpSocket* m_socket;
    QTimer m_silence;
    QTimer m_cap;
    ReplyReader m_reader;
    std::optional<Reply> m_reply;
    bool m_ended = false;
};

} // namespace ringlark
