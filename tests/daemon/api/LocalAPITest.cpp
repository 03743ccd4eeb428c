#include "daemon/api/LocalAPI.h"

#include "support/EventLoop.h"
#include "support/FakeDaemon.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include <malloc.h>

using namespace ringlark;
using namespace std::chrono_literals;
using test::FakeDaemon;

namespace ringlark {
void PrintTo(const LocalAPIError& e, std::ostream* out) { *out << int(e.kind()) << ' ' << e.code() << ' ' << e.body().toStdString(); }
} // namespace ringlark

namespace {

// A loopback server that hands each request's socket to `answer`, which by
// default never answers: for replies an HTTP library will not send.
struct RawServer {
    explicit RawServer(std::function<void(QTcpSocket*)> answer = [](QTcpSocket*) {})
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this, answer] {
            while (QTcpSocket* socket = server.nextPendingConnection())
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, answer] { socket->readAll(); answer(socket); });
        });
    }
    QUrl base() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort())); }
    QTcpServer server;
};

const LocalAPIError* clientError(const LocalAPIError& error) { return &error; }
const LocalAPIError* clientError(const ApiFailure& failure) { return std::get_if<LocalAPIError>(&failure); }

// The client's error from a call; a call that succeeded, failed to decode or
// did not finish gives an error no test expects.
template <typename T, typename F>
LocalAPIError failure(QCoro::Task<Expected<T, F>> call)
{
    const auto result = test::await(std::move(call), 3000ms);
    const LocalAPIError* error = result && !*result ? clientError(result->error()) : nullptr;
    return error ? *error : LocalAPIError::status(0, "no client error");
}

const LocalAPIError unreachable = LocalAPIError::unreachable();

} // namespace

TEST(LocalAPI, CancelRequestOnTheWire)
{
    FakeDaemon daemon;
    const LocalAPI api(daemon.base());
    const std::pair<QString, std::string> ids[] = {
        {"abc", "/v1/requests/abc/cancel"},     {"a b", "/v1/requests/a%20b/cancel"},
        {"a/b", "/v1/requests/a/b/cancel"},     {"why?", "/v1/requests/why%3F/cancel"},
        {"100%", "/v1/requests/100%25/cancel"}, {"#1", "/v1/requests/%231/cancel"},
        {"%41", "/v1/requests/%2541/cancel"},   {"\u00e9", "/v1/requests/%C3%A9/cancel"},
    };
    for (std::size_t i = 0; i < std::size(ids); ++i) {
        // Only the exact encoded path succeeds; whatever body comes back is ignored.
        daemon.set(ids[i].second, i % 2 ? FakeDaemon::Reply{204, ""} : FakeDaemon::Reply{200, "not json"});
        const auto result = test::await(api.cancel(ids[i].first), 3000ms);
        EXPECT_TRUE(result && *result) << ids[i].second;
    }
    const auto seen = daemon.seen();
    ASSERT_EQ(seen.size(), std::size(ids));
    for (std::size_t i = 0; i < std::size(ids); ++i)
        EXPECT_EQ(std::tie(seen[i].method, seen[i].path, seen[i].body), std::tie("POST", ids[i].second, ""));
}

TEST(LocalAPI, StatusCodesAndBodies)
{
    FakeDaemon daemon;
    const LocalAPI api(daemon.base());
    const std::string status = test::statusJson(false, 3);

    // Qt gives several of these its own error kinds; all are replies all the same.
    for (int code : {200, 299, 300, 401, 404, 407, 500}) {
        daemon.set("/v1/status", FakeDaemon::Reply{code, status});
        if (code < 300)
            EXPECT_EQ(test::await(api.status(), 3000ms).value().value().pending, 3); // throws, failing, when it failed
        else
            EXPECT_EQ(failure(api.status()), LocalAPIError::status(code, QString::fromStdString(status)));
    }
    daemon.set("/v1/pairing", FakeDaemon::Reply{404, ""});
    EXPECT_EQ(failure(api.pairing()).message(), "HTTP 404");
    daemon.set("/v1/requests", FakeDaemon::Reply{500, "bad \xff\xfe day", "text/plain"});
    EXPECT_EQ(failure(api.requests()).message(), QString::fromUtf8("bad \uFFFD\uFFFD day"));
    RawServer odd([](QTcpSocket* s) { s->write("HTTP/1.1 199 Odd\r\nConnection: close\r\n\r\n"); s->disconnectFromHost(); });
    EXPECT_EQ(failure(LocalAPI(odd.base()).pairing()), LocalAPIError::status(199, {}));

    // A well-formed reply that is not a status is a decode failure, not an outage.
    daemon.set("/v1/status", R"({"version":"1.0"})");
    EXPECT_TRUE(std::holds_alternative<DecodeError>(test::await(api.status(), 3000ms).value().error()));
    for (const auto& seen : daemon.seen())
        EXPECT_EQ(seen.method, "GET");
}

TEST(LocalAPI, UnreachableDaemon)
{
    RawServer closed;
    const LocalAPI refused(closed.base());
    closed.server.close();
    EXPECT_EQ(failure(refused.status()), unreachable);
    EXPECT_EQ(failure(refused.cancel("r")), unreachable);
    EXPECT_EQ(unreachable.message(), "Ringlark's daemon is not responding.");

    // A daemon that accepts and never answers is given up on at the cap.
    RawServer silent;
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(failure(LocalAPI(silent.base(), {5000ms, 300ms}).status()), unreachable);
    EXPECT_GE(clock.elapsed(), 255);
    EXPECT_LT(clock.elapsed(), 800);

    // A slow drip keeps resetting the silence time-out; only the cap ends it.
    RawServer drip([](QTcpSocket* socket) {
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n");
        auto* timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
        timer->start(50);
    });
    clock.restart();
    EXPECT_EQ(failure(LocalAPI(drip.base(), {200ms, 400ms}).status()), unreachable);
    EXPECT_GE(clock.elapsed(), 340);
    EXPECT_LT(clock.elapsed(), 1000);

    // The exchange keeps its network manager, so a client destroyed mid-call
    // still wakes its caller without touching freed memory.
    mallopt(M_PERTURB, 0xa5); // freed memory turns to garbage, so a use after free crashes
    auto api = std::make_unique<LocalAPI>(silent.base(), LocalAPI::Limits{5000ms, 200ms});
    auto task = api->status();
    api.reset();
    EXPECT_EQ(failure(std::move(task)), unreachable);
    mallopt(M_PERTURB, 0);
}
