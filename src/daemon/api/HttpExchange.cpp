#include "daemon/api/HttpExchange.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

namespace ringlark {

namespace {

// Status line and headers together; the daemon's are a few hundred bytes.
constexpr qsizetype headCap = 64 * 1024;
constexpr qsizetype chunkLineCap = 1024;

bool isUnreserved(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '~';
}

std::optional<qint64> parseDecimal(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 18)
        return std::nullopt;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::optional<qint64> parseHex(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 15)
        return std::nullopt;
    qint64 value = 0;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + digit;
    }
    return value;
}

} // namespace

QByteArray encodePathSegment(const QString& segment)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    QByteArray out;
    for (const char c : segment.toUtf8()) {
        if (isUnreserved(c)) {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += digits[byte >> 4];
            out += digits[byte & 15];
        }
    }
    return out;
}

QByteArray buildRequest(QByteArrayView method, QByteArrayView target, QByteArrayView host, QByteArrayView token,
                        QByteArrayView jsonBody)
{
    QByteArray request;
    request.reserve(256 + jsonBody.size());
    request.append(method).append(' ').append(target).append(" HTTP/1.1\r\n");
    request.append("Host: ").append(host).append("\r\n");
    request.append("X-Ringlark-Token: ").append(token).append("\r\n");
    // Replies are never compressed; the connection stays open for the next request.
    request.append("Accept-Encoding: identity\r\n");
    if (!jsonBody.isEmpty())
        request.append("Content-Type: application/json\r\n");
    if (method != "GET" || !jsonBody.isEmpty())
        request.append("Content-Length: ").append(QByteArray::number(jsonBody.size())).append("\r\n");
    request.append("\r\n");
    request.append(jsonBody);
    return request;
}

ReplyReader::State ReplyReader::feed(QByteArrayView bytes)
{
    if (m_state != State::reading)
        return m_state;
    m_pending.append(bytes);
    if (m_inHead) {
        if (!readHead())
            return m_state;
        if (m_inHead)
            return m_state; // the head is still incomplete
    }
    return readBody();
}

ReplyReader::State ReplyReader::close()
{
    if (m_state != State::reading)
        return m_state;
    if (!m_inHead && m_bodyKind == Body::untilClose)
        return finish();
    return fail();
}

bool ReplyReader::readHead()
{
    const qsizetype end = m_pending.indexOf("\r\n\r\n");
    if (end < 0) {
        if (m_pending.size() > headCap)
            fail();
        return m_state == State::reading;
    }
    if (end > headCap) {
        fail();
        return false;
    }
    const QList<QByteArray> lines = m_pending.left(end).split('\n');
    m_pending.remove(0, end + 4);
    m_inHead = false;

    // "HTTP/1.1 200 OK"
    const QByteArray status = lines.front().trimmed();
    if (!status.startsWith("HTTP/1.") || status.size() < 12 || status[8] != ' ' ||
        (status.size() > 12 && status[12] != ' ')) {
        fail();
        return false;
    }
    const auto code = parseDecimal(QByteArrayView(status).sliced(9, 3));
    if (!code) {
        fail();
        return false;
    }
    m_code = int(*code);
    m_keepAlive = status.startsWith("HTTP/1.1");

    std::optional<qint64> length;
    bool chunked = false, otherCoding = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            fail();
            return false;
        }
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            const auto parsed = parseDecimal(value);
            if (!parsed || (length && *length != *parsed)) {
                fail();
                return false;
            }
            length = parsed;
        } else if (name == "connection") {
            if (value.toLower().contains("close"))
                m_keepAlive = false;
        } else if (name == "transfer-encoding") {
            chunked = value.toLower().endsWith("chunked");
            otherCoding = !chunked;
        }
    }

    if ((m_code >= 100 && m_code < 200) || m_code == 204 || m_code == 304)
        m_bodyKind = Body::none;
    else if (chunked)
        m_bodyKind = Body::chunked;
    else if (otherCoding || !length)
        m_bodyKind = Body::untilClose;
    else
        m_bodyKind = Body::length, m_remaining = *length;
    // A body announced beyond the cap fails before any of it is read.
    if (m_bodyKind == Body::length && m_remaining > m_cap) {
        fail();
        return false;
    }
    return true;
}

ReplyReader::State ReplyReader::readBody()
{
    switch (m_bodyKind) {
    case Body::none:
        return finish();
    case Body::length: {
        const qsizetype take = std::min<qint64>(m_remaining, m_pending.size());
        m_body.append(m_pending.constData(), take);
        m_overrun = m_pending.size() > take;
        m_pending.clear(); // anything past the announced length is not ours
        m_remaining -= take;
        return m_remaining == 0 ? finish() : m_state;
    }
    case Body::untilClose:
        m_body.append(m_pending);
        m_pending.clear();
        return m_body.size() > m_cap ? fail() : m_state;
    case Body::chunked:
        return readChunks();
    }
    return fail();
}

bool ReplyReader::reusable() const
{
    return m_state == State::done && m_keepAlive && m_bodyKind != Body::untilClose && !m_overrun &&
           m_pending.isEmpty();
}

ReplyReader::State ReplyReader::readChunks()
{
    for (;;) {
        if (m_chunk == Chunk::data) {
            const qsizetype take = std::min<qint64>(m_remaining, m_pending.size());
            m_body.append(m_pending.constData(), take);
            m_pending.remove(0, take);
            m_remaining -= take;
            if (m_remaining > 0)
                return m_state;
            m_chunk = Chunk::dataEnd;
            continue;
        }
        const qsizetype eol = m_pending.indexOf("\r\n");
        if (eol < 0)
            return m_pending.size() > chunkLineCap ? fail() : m_state;
        const QByteArray line = m_pending.left(eol);
        m_pending.remove(0, eol + 2);
        switch (m_chunk) {
        case Chunk::size: {
            const qsizetype semicolon = line.indexOf(';');
            const auto size = parseHex(line.left(semicolon < 0 ? line.size() : semicolon).trimmed());
            if (!size || *size > m_cap - m_body.size())
                return fail();
            m_remaining = *size;
            m_chunk = *size == 0 ? Chunk::trailer : Chunk::data;
            break;
        }
        case Chunk::dataEnd:
            if (!line.isEmpty())
                return fail();
            m_chunk = Chunk::size;
            break;
        case Chunk::trailer:
            if (line.isEmpty())
                return finish();
            break;
        case Chunk::data:
            break;
        }
    }
}

QTcpSocket* newDaemonSocket()
{
    auto* socket = new QTcpSocket;
    // The daemon is on loopback: no proxy may ever see these requests.
    socket->setProxy(QNetworkProxy::NoProxy);
    return socket;
}

DaemonConnection::DaemonConnection(QString host, std::uint16_t port, std::chrono::milliseconds silence,
                                   std::chrono::milliseconds cap)
    : m_host(std::move(host)), m_port(port), m_socket(newDaemonSocket())
{
    m_socket->setParent(this);
    m_silence.setSingleShot(true);
    m_silence.setInterval(silence);
    m_cap.setSingleShot(true);
    m_cap.setInterval(cap);
    connect(&m_silence, &QTimer::timeout, this, [this] { end(false); });
    connect(&m_cap, &QTimer::timeout, this, [this] { end(false); });
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        if (m_busy)
            send();
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &DaemonConnection::received);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        if (!m_busy)
            return;
        received(); // whatever arrived with the close
        if (m_busy)
            end(m_reader.close() == ReplyReader::State::done, true);
    });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        // A close by the daemon is also reported as `disconnected`, which may end the reply.
        if (m_busy && error != QAbstractSocket::RemoteHostClosedError)
            end(false, true);
    });
}

DaemonConnection::Awaiter DaemonConnection::exchange(QByteArray request, qsizetype cap)
{
    m_request = std::move(request);
    m_reader = ReplyReader(cap);
    m_outcome = {};
    m_gotBytes = false;
    m_keep = false;
    m_busy = true;
    m_cap.start();
    m_silence.start();
    switch (m_socket->state()) {
    case QAbstractSocket::ConnectedState:
        send();
        break;
    case QAbstractSocket::UnconnectedState: // a new connection: the pool hands out only open ones
        // Unbuffered: a write goes to the kernel at once instead of waking
        // the loop to drain a buffer of our own.
        m_socket->connectToHost(QHostAddress(m_host), m_port, QIODevice::ReadWrite | QIODevice::Unbuffered);
        break;
    default:
        end(false, true);
        break;
    }
    return Awaiter(this);
}

bool DaemonConnection::reusable(std::chrono::milliseconds maxIdle) const
{
    // A close by the daemon or bytes nobody asked for have cleared m_keep.
    return !m_busy && m_keep && m_socket->state() == QAbstractSocket::ConnectedState &&
           Clock::now() - m_idleSince <= maxIdle;
}

void DaemonConnection::send()
{
    m_socket->write(m_request);
    m_silence.start();
}

void DaemonConnection::received()
{
    if (!m_busy) {
        // Bytes or a close while idle: this connection carries nothing more.
        m_keep = false;
        return;
    }
    m_silence.start();
    // One read per notification: a reply fits, and if more is waiting the
    // socket tells again (readAll would read on until the kernel says "again").
    char chunk[16384];
    const qint64 n = m_socket->read(chunk, sizeof chunk);
    m_gotBytes = m_gotBytes || n > 0;
    auto state = m_reader.feed(QByteArrayView(chunk, std::max<qint64>(n, 0)));
    // Unbuffered, a read that meets the daemon's close or a reset leaves the
    // socket unconnected without a signal: the reply ends here.
    const bool closed = m_socket->state() != QAbstractSocket::ConnectedState;
    if (state == ReplyReader::State::reading && closed)
        state = m_reader.close();
    if (state != ReplyReader::State::reading)
        end(state == ReplyReader::State::done, closed);
}

void DaemonConnection::end(bool ok, bool broken)
{
    if (!m_busy)
        return;
    m_busy = false;
    m_silence.stop();
    m_cap.stop();
    if (ok)
        m_outcome.reply = Reply{m_reader.code(), m_reader.body()};
    m_outcome.unanswered = !ok && broken && !m_gotBytes;
    m_keep = ok && m_reader.reusable() && m_socket->state() == QAbstractSocket::ConnectedState;
    if (!m_keep)
        m_socket->abort();
    m_idleSince = Clock::now();
    // Last: the awaiter may run a whole poll cycle from here.
    if (auto waiter = std::exchange(m_waiter, {}))
        waiter.resume();
}

ConnectionPool::ConnectionPool(std::chrono::milliseconds maxIdle) : m_maxIdle(maxIdle) {}

ConnectionPool::~ConnectionPool()
{
    if (m_idle)
        m_idle->deleteLater();
}

DaemonConnection* ConnectionPool::take()
{
    DaemonConnection* connection = m_idle;
    m_idle = nullptr;
    if (connection && !connection->reusable(m_maxIdle)) {
        connection->deleteLater();
        return nullptr;
    }
    return connection;
}

void ConnectionPool::put(DaemonConnection* connection)
{
    if (!connection->reusable(m_maxIdle)) {
        connection->deleteLater();
        return;
    }
    // The newer connection is the one the daemon keeps longest.
    if (m_idle)
        m_idle->deleteLater();
    m_idle = connection;
}

} // namespace ringlark
