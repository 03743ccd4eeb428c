#include "daemon/api/LocalAPI.h"

#include "support/Text.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

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

// Whether the exchange broke below HTTP. Qt also raises errors for status
// codes the daemon did send (400 as an invalid operation, 407 as a proxy
// error, ...); those are replies, not outages.
bool failedBelowHttp(QNetworkReply::NetworkError error)
{
    using E = QNetworkReply;
    if (error > E::NoError && error < E::ProxyConnectionRefusedError)
        return true; // refused, closed, timed out, aborted, redirect trouble
    if (error >= E::ProxyConnectionRefusedError && error <= E::UnknownProxyError)
        return error != E::ProxyAuthenticationRequiredError;
    return error == E::ContentReSendError || error == E::ProtocolFailure;
}

} // namespace

QUrl LocalAPI::defaultBase()
{
    return QUrl(QStringLiteral("http://127.0.0.1:8641"));
}

LocalAPI::LocalAPI(QUrl base) : LocalAPI(std::move(base), Limits{}) {}

LocalAPI::LocalAPI(QUrl base, Limits limits)
    : m_base(std::move(base)),
      m_limits(limits),
      // The last owner may let go while a reply is still inside its own
      // signals (an exchange ends in `finished`); deleting the manager there
      // would delete that reply under Qt's feet, so it goes via the event loop.
      m_network(new QNetworkAccessManager, [](QNetworkAccessManager* network) { network->deleteLater(); })
{
    // The daemon is on loopback: a system proxy must never see these requests.
    m_network->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
}

QUrl LocalAPI::urlFor(const QString& path) const
{
    QUrl url = m_base;
    // Decoded mode: every character of the path stands for itself, so a '%'
    // or '?' in a request id is escaped instead of read as URL syntax.
    url.setPath(path, QUrl::DecodedMode);
    return url;
}

QCoro::Task<Expected<Unit, LocalAPIError>> LocalAPI::cancel(QString id) const
{
    auto body = co_await perform(QStringLiteral("/v1/requests/") + id + QStringLiteral("/cancel"), "POST");
    if (!body)
        co_return unexpected(body.error());
    co_return Unit{};
}

QCoro::Task<Expected<QByteArray, LocalAPIError>> LocalAPI::perform(QString path, QByteArray method) const
{
    // Taken before the first suspension: the exchange keeps its manager alive
    // even if this client goes away meanwhile, so the reply is never deleted
    // under the waiting coroutine.
    const std::shared_ptr<QNetworkAccessManager> network = m_network;
    const Limits limits = m_limits;

    QNetworkRequest request(urlFor(path));
    request.setTransferTimeout(int(limits.dataTimeout.count()));
    // Nothing is remembered between exchanges.
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);

    const std::unique_ptr<QNetworkReply, DeleteLater> reply(
        method == "GET" ? network->get(request) : network->sendCustomRequest(request, method, QByteArray()));

    // The transfer time-out restarts with every byte, so only this cap stops a
    // daemon that drips its reply. Both end in OperationCanceledError, hence
    // a flag of our own. The timer belongs to the reply: an abort resumes this
    // coroutine inside the timer's signal, so the timer must outlive the frame.
    bool capped = false;
    auto* cap = new QTimer(reply.get());
    cap->setSingleShot(true);
    QObject::connect(cap, &QTimer::timeout, reply.get(), [&capped, r = reply.get()] {
        capped = true;
        r->abort();
    });
    cap->start(limits.exchangeCap);

    co_await reply.get();
    cap->stop();

    const QVariant code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (capped || failedBelowHttp(reply->error()) || !code.isValid())
        co_return unexpected(LocalAPIError::unreachable());
    const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    const std::int64_t status = code.toLongLong();
    if (status < 200 || status > 299)
        co_return unexpected(LocalAPIError::status(status, repairUtf8(body)));
    co_return body;
}

} // namespace ringlark
