#include "daemon/api/LocalAPI.h"

#include "daemon/api/HttpExchange.h"
#include "support/Text.h"

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

QString describe(const ApiFailure& failure)
{
    if (const auto* error = std::get_if<LocalAPIError>(&failure))
        return error->message();
    return std::get<DecodeError>(failure).message;
}

namespace {

constexpr int forbidden = 403;

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

QCoro::Task<Expected<RinglarkStatus, ApiFailure>> LocalAPI::status() const
{
    const std::shared_ptr<StatusMemo> memo = m_statusMemo;
    auto body = co_await perform("/v1/status", "GET");
    if (!body)
        co_return unexpected(ApiFailure{body.error()});
    // A copy made here: QCoro moves from an lvalue given to co_return.
    if (memo->status && memo->body == *body)
        co_return RinglarkStatus(*memo->status);
    auto decoded = decode<RinglarkStatus>(*body);
    if (!decoded)
        co_return unexpected(ApiFailure{decoded.error()});
    memo->body = std::move(*body);
    memo->status = *decoded;
    co_return std::move(*decoded);
}

QCoro::Task<Expected<Unit, LocalAPIError>> LocalAPI::dismiss(QString id) const
{
    // The daemon's path for a dismissal is still called "cancel". The id
    // travels as one segment exactly as the daemon gave it: a '/' or a lone
    // "." or ".." must not turn into another path.
    auto body = co_await perform("/v1/requests/" + encodePathSegment(id) + "/cancel", "POST");
    if (!body)
        co_return unexpected(body.error());
    co_return Unit{};
}

QCoro::Task<Expected<Unit, LocalAPIError>> LocalAPI::removeDevice(QString id) const
{
    // One segment, as for requests: an id can never name another path.
    auto body = co_await perform("/v1/devices/" + encodePathSegment(id), "DELETE", "{}");
    if (!body)
        co_return unexpected(body.error());
    co_return Unit{};
}

QCoro::Task<Expected<QByteArray, LocalAPIError>> LocalAPI::perform(QByteArray target, QByteArray method,
                                                                   QByteArray jsonBody, qsizetype cap) const
{
    // Copied before the first suspension: the client may go away meanwhile.
    const DaemonAccess access = m_access;
    const Limits limits = m_limits;
    const std::shared_ptr<ConnectionPool> pool = m_connections;
    const QString host = m_base.host();
    const auto port = static_cast<std::uint16_t>(m_base.port(8641));
    const QByteArray hostHeader = (host + u':' + QString::number(port)).toUtf8();

    std::optional<QByteArray> token; // read when a connection needs it
    std::optional<DaemonConnection::Reply> reply;
    bool retried = false, reconnected = false;
    for (;;) {
        DaemonConnection* connection = pool->take();
        const bool reused = connection != nullptr;
        // A kept connection goes to the daemon that took its token: one that
        // restarted would have closed it. So a poll reads no file.
        if (!token && reused && !connection->token().isEmpty())
            token = connection->token();
        if (!token && access.token)
            token = access.token(false);
        if (!token) {
            if (connection)
                pool->put(connection);
            co_return unexpected(LocalAPIError::unreachable());
        }
        if (!reused) {
            // The token goes only to a listener of our own user: anyone else
            // on the port would learn it, or impersonate the daemon.
            if (access.listener && access.listener(port, false) != Listener::ours)
                co_return unexpected(LocalAPIError::unreachable());
            connection = new DaemonConnection(host, port, limits.dataTimeout, limits.exchangeCap);
        }
        auto outcome = co_await connection->exchange(buildRequest(method, target, hostHeader, *token, jsonBody), cap);
        if (outcome.reply && outcome.reply->code != forbidden)
            connection->setToken(*token);
        pool->put(connection);
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
