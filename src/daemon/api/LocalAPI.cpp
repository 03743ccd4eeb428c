#include "daemon/api/LocalAPI.h"

#include "daemon/api/HttpExchange.h"
#include "support/Text.h"

#include <QCoroSignal>
#include <QDir>

namespace ringlark {

QString LocalAPIError::message() const
{
    switch (m_kind) {
    case Kind::status:
        return m_body.isEmpty() ? QStringLiteral("HTTP ") + QString::number(m_code) : m_body;
    case Kind::unreachable:
        break;
    }
    return QStringLiteral("Ringlark's daemon is not responding.");
}

namespace {

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

constexpr int forbidden = 403;

struct Outcome {
    std::optional<HttpExchange::Reply> reply; // nothing when the exchange failed below HTTP
    bool unanswered = false;
};

// One exchange on `socket`, awaited; a connection left open goes back to `pool`.
QCoro::Task<Outcome> exchange(std::shared_ptr<ConnectionPool> pool, QTcpSocket* socket, QString host,
                              std::uint16_t port, QByteArray request, LocalAPI::Limits limits)
{
    // Deleted via the event loop: `finished` may still be on its way out.
    const std::unique_ptr<HttpExchange, DeleteLater> run(new HttpExchange(
        socket, std::move(host), port, std::move(request), limits.dataTimeout, limits.exchangeCap));
    auto done = qCoro(run.get(), &HttpExchange::finished);
    run->start();
    co_await std::move(done);
    if (QTcpSocket* open = run->takeConnection())
        pool->put(open);
    co_return Outcome{run->reply(), run->unanswered()};
}

} // namespace

QUrl LocalAPI::defaultBase()
{
    return QUrl(QStringLiteral("http://127.0.0.1:8641"));
}

LocalAPI::LocalAPI(QUrl base) : LocalAPI(std::move(base), Limits{}) {}

LocalAPI::LocalAPI(QUrl base, Limits limits)
    : LocalAPI(std::move(base), limits, DaemonAccess::inDirectory(QDir::homePath() + QStringLiteral("/.ringlark")))
{
}

LocalAPI::LocalAPI(QUrl base, Limits limits, DaemonAccess access)
    : m_base(std::move(base)), m_limits(limits), m_access(std::move(access)),
      m_connections(std::make_shared<ConnectionPool>())
{
}

QCoro::Task<Expected<Unit, LocalAPIError>> LocalAPI::cancel(QString id) const
{
    // The id travels as one segment exactly as the daemon gave it: a '/' or a
    // lone "." or ".." must not turn into another path.
    auto body = co_await perform("/v1/requests/" + encodePathSegment(id) + "/cancel", "POST");
    if (!body)
        co_return unexpected(body.error());
    co_return Unit{};
}

QCoro::Task<Expected<QByteArray, LocalAPIError>> LocalAPI::perform(QByteArray target, QByteArray method) const
{
    // Copied before the first suspension: the client may go away meanwhile.
    const DaemonAccess access = m_access;
    const Limits limits = m_limits;
    const std::shared_ptr<ConnectionPool> pool = m_connections;
    const QString host = m_base.host();
    const auto port = static_cast<std::uint16_t>(m_base.port(8641));
    const QByteArray hostHeader = (host + u':' + QString::number(port)).toUtf8();

    std::optional<QByteArray> token = access.token ? access.token(false) : std::nullopt;
    std::optional<HttpExchange::Reply> reply;
    bool retried = false, reconnected = false;
    for (;;) {
        if (!token)
            co_return unexpected(LocalAPIError::unreachable());
        QTcpSocket* socket = pool->take();
        const bool reused = socket != nullptr;
        if (!reused) {
            // The token goes only to a listener of our own user: anyone else
            // on the port would learn it, or impersonate the daemon.
            if (access.listener && access.listener(port, false) != Listener::ours)
                co_return unexpected(LocalAPIError::unreachable());
            socket = newDaemonSocket();
        }
        auto outcome = co_await exchange(pool, socket, host, port, buildRequest(method, target, hostHeader, *token),
                                         limits);
        reply = std::move(outcome.reply);
        // The daemon closes connections that idle too long; one it dropped
        // just as the request went out did not run it, but only a read is
        // certain to be harmless twice.
        if (!reply && reused && outcome.unanswered && method == "GET" && !reconnected) {
            reconnected = true;
            continue;
        }
        // A refusal may mean the daemon restarted with a new token: read it
        // once more, and try again only if it changed.
        if (reply && reply->code == forbidden && !retried) {
            retried = true;
            auto fresh = access.token(true);
            if (fresh && fresh != token) {
                token = std::move(fresh);
                continue;
            }
        }
        break;
    }

    if (!reply)
        co_return unexpected(LocalAPIError::unreachable());
    if (reply->code < 200 || reply->code > 299)
        co_return unexpected(LocalAPIError::status(reply->code, repairUtf8(reply->body)));
    co_return std::move(reply->body);
}

} // namespace ringlark
