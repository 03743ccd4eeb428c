#pragma once

#include "daemon/api/DaemonAccess.h"
#include "daemon/api/HttpExchange.h"
#include "daemon/api/Records.h"
#include "support/Expected.h"

#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>
#include <variant>

namespace ringlark {

// The client's own error: the daemon answered outside 200-299, or did not
// answer over HTTP at all.
class LocalAPIError {
public:
    enum class Kind { status, unreachable };

    static LocalAPIError status(std::int64_t code, QString body) { return {Kind::status, code, std::move(body)}; }
    static LocalAPIError unreachable() { return {Kind::unreachable, 0, {}}; }

    Kind kind() const { return m_kind; }
    std::int64_t code() const { return m_code; }
    const QString& body() const { return m_body; }

    // The user-facing description.
    QString message() const;

    bool operator==(const LocalAPIError&) const = default;

private:
    LocalAPIError(Kind kind, std::int64_t code, QString body) : m_kind(kind), m_code(code), m_body(std::move(body)) {}

    Kind m_kind;
    std::int64_t m_code;
    QString m_body;
};

// A failed `get`: either the exchange failed, or its body did not decode.
using ApiFailure = std::variant<LocalAPIError, DecodeError>;

// Why a call failed, for the log.
QString describe(const ApiFailure& failure);

// Typed client of the daemon's loopback HTTP API. Each call is one exchange,
// on the connection the previous one left open when there is one; a new
// connection goes only to a listener of our own user. Every request carries
// the daemon's token. Copies share the token cache and the open connection.
// GUI thread only.
class LocalAPI {
public:
    struct Limits {
        std::chrono::milliseconds dataTimeout{3000}; // silence while waiting for data
        std::chrono::milliseconds exchangeCap{5000}; // a whole exchange, however it drips
    };

    static QUrl defaultBase(); // http://127.0.0.1:8641

    // Several constructors rather than a defaulted `Limits` argument: g++ rejects a
    // nested struct's member initialisers in a default argument of its owner.
    // Without `access`, the token comes from the user's own ~/.ringlark.
    explicit LocalAPI(QUrl base = defaultBase());
    LocalAPI(QUrl base, Limits limits);
    LocalAPI(QUrl base, Limits limits, DaemonAccess access);

    const QUrl& base() const { return m_base; }

    // GET one of "/v1/status", "/v1/requests", "/v1/pairing", decoded as T;
    // a reply body above `cap` bytes fails as unreachable.
    template <typename T>
    QCoro::Task<Expected<T, ApiFailure>> get(QString path, qsizetype cap = replyCap) const
    {
        auto body = co_await perform(path.toUtf8(), "GET", {}, cap);
        if (!body)
            co_return unexpected(ApiFailure{body.error()});
        auto decoded = decode<T>(*body);
        if (!decoded)
            co_return unexpected(ApiFailure{decoded.error()});
        co_return std::move(*decoded);
    }

    // An idle daemon answers every poll with the same bytes; those are decoded once.
    QCoro::Task<Expected<RinglarkStatus, ApiFailure>> status() const;
    QCoro::Task<Expected<QList<HelpRequest>, ApiFailure>> requests() const
    {
        return get<QList<HelpRequest>>(QStringLiteral("/v1/requests"), requestListCap);
    }
    QCoro::Task<Expected<Pairing, ApiFailure>> pairing() const { return get<Pairing>(QStringLiteral("/v1/pairing")); }

    // Dismisses a request: the person will not help with it. The reply body is ignored.
    QCoro::Task<Expected<Unit, LocalAPIError>> dismiss(QString id) const;

    // The phones paired with this computer.
    QCoro::Task<Expected<QList<PairedDevice>, ApiFailure>> devices() const
    {
        return get<QList<PairedDevice>>(QStringLiteral("/v1/devices"));
    }
    // DELETE /v1/devices/<id> with the body {}; the reply body is ignored.
    QCoro::Task<Expected<Unit, LocalAPIError>> removeDevice(QString id) const;

private:
    // Sends one request for an already encoded target and gives the body of a 2xx reply.
    // A non-empty `jsonBody` goes with its Content-Type; at most `cap` bytes of the reply are read.
    QCoro::Task<Expected<QByteArray, LocalAPIError>> perform(QByteArray target, QByteArray method,
                                                             QByteArray jsonBody = {}, qsizetype cap = replyCap) const;

    QUrl m_base;
    Limits m_limits;
    DaemonAccess m_access;
    std::shared_ptr<ConnectionPool> m_connections;
    struct StatusMemo {
        QByteArray body;
        std::optional<RinglarkStatus> status;
    };
    std::shared_ptr<StatusMemo> m_statusMemo = std::make_shared<StatusMemo>();
};

} // namespace ringlark
