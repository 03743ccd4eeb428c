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
void PrintTo(const LocalAPIError& error, std::ostream* out)
{
    *out << (error.kind() == LocalAPIError::Kind::status ? "status " : "unreachable ") << error.code() << " \""
         << error.body().toStdString() << '"';
}
} // namespace ringlark

namespace {

// A loopback server speaking raw bytes, for what an HTTP library will not
// send: silence, a slow drip, odd status lines, garbage. Requests here are
// headers only, so each blank line ends one.
class RawServer {
public:
    enum class Mode { answer, silent, drip };

    explicit RawServer(QByteArray reply, Mode mode = Mode::answer) : m_reply(std::move(reply)), m_mode(mode)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection())
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    m_received += socket->readAll();
                    for (; m_received.count("\r\n\r\n") > m_requests; ++m_requests)
                        respond(socket);
                });
        });
    }

    QUrl base() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort())); }
    const QByteArray& received() const { return m_received; }

private:
    void respond(QTcpSocket* socket)
    {
        if (m_mode == Mode::answer) {
            socket->write(m_reply);
            if (m_reply.contains("Connection: close"))
                socket->disconnectFromHost();
        } else if (m_mode == Mode::drip) {
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
            auto* timer = new QTimer(socket);
            QObject::connect(timer, &QTimer::timeout, socket, [socket] { socket->write(" "); });
            timer->start(50);
        }
    }

    QTcpServer m_server;
    QByteArray m_reply;
    Mode m_mode;
    QByteArray m_received;
    int m_requests = 0;
};

// The client's error of a finished call, or unreachable's opposite when the
// call succeeded, failed to decode or did not finish.
template <typename T, typename F>
LocalAPIError clientError(const std::optional<Expected<T, F>>& result)
{
    if constexpr (std::is_same_v<F, LocalAPIError>) {
        if (result && !*result)
            return result->error();
    } else {
        if (result && !*result && std::holds_alternative<LocalAPIError>(result->error()))
            return std::get<LocalAPIError>(result->error());
    }
    return LocalAPIError::status(0, "no client error");
}

const LocalAPIError unreachable = LocalAPIError::unreachable();

} // namespace

TEST(LocalAPIError, Messages)
{
    EXPECT_EQ(unreachable.message(), "Ringlark's daemon is not responding.");
    EXPECT_EQ(LocalAPIError::status(404, {}).message(), "HTTP 404");
    EXPECT_EQ(LocalAPIError::status(500, "disk full\n").message(), "disk full\n");
}

TEST(LocalAPIRequests, CancelPathsOnTheWire)
{
    const LocalAPI defaults;
    EXPECT_EQ(defaults.urlFor("/v1/status").toEncoded(), "http://127.0.0.1:8641/v1/status");
    EXPECT_EQ(defaults.urlFor("/v1/requests/\xC3\xA9/cancel").toEncoded(), "http://127.0.0.1:8641/v1/requests/%C3%A9/cancel");

    FakeDaemon daemon;
    const LocalAPI api(daemon.base());
    const std::pair<QString, std::string> ids[] = {
        {"abc", "/v1/requests/abc/cancel"},   {"a b", "/v1/requests/a%20b/cancel"},
        {"a/b", "/v1/requests/a/b/cancel"},   {"why?", "/v1/requests/why%3F/cancel"},
        {"100%", "/v1/requests/100%25/cancel"}, {"#1", "/v1/requests/%231/cancel"},
        {"%41", "/v1/requests/%2541/cancel"},
    };
    for (const auto& [id, wire] : ids) {
        // Only the exact encoded path succeeds; whatever body comes back is ignored.
        daemon.set(wire, FakeDaemon::Reply{204, "", "text/plain"});
        const auto result = test::await(api.cancel(id), 3000ms);
        EXPECT_TRUE(result && *result) << wire;
    }
    daemon.set("/v1/requests/r/cancel", FakeDaemon::Reply{200, "not json", "text/plain"});
    const auto ignored = test::await(api.cancel("r"), 3000ms);
    EXPECT_TRUE(ignored && *ignored);

    const auto seen = daemon.seen();
    ASSERT_EQ(seen.size(), std::size(ids) + 1);
    for (std::size_t i = 0; i < std::size(ids); ++i)
        EXPECT_EQ(std::tie(seen[i].method, seen[i].path, seen[i].body), std::tie("POST", ids[i].second, ""));
}

TEST(LocalAPIRequests, NoHeadersOfOursAndNoCookiesKept)
{
    RawServer server("HTTP/1.1 204 No Content\r\nSet-Cookie: session=1; Path=/\r\n\r\n");
    const LocalAPI api(server.base());
    for (int i = 0; i < 2; ++i) {
        const auto result = test::await(api.cancel("x"), 3000ms);
        EXPECT_TRUE(result && *result);
    }
    const QByteArray wire = server.received();
    EXPECT_EQ(wire.count("POST /v1/requests/x/cancel HTTP/1.1\r\n"), 2) << wire.toStdString();
    EXPECT_FALSE(wire.toLower().contains("cookie:")) << wire.toStdString();
    EXPECT_FALSE(wire.toLower().contains("content-type:")) << wire.toStdString();
}

TEST(LocalAPIReplies, StatusCodesAndBodies)
{
    FakeDaemon daemon;
    const LocalAPI api(daemon.base());
    const std::string status = test::statusJson(false, 3);

    // Qt gives several of these its own error kinds; all are replies all the same.
    for (int code : {300, 400, 401, 404, 405, 407, 418, 500, 599}) {
        daemon.set("/v1/status", FakeDaemon::Reply{code, status, "application/json"});
        EXPECT_EQ(clientError(test::await(api.status(), 3000ms)), LocalAPIError::status(code, QString::fromStdString(status)));
    }
    daemon.set("/v1/pairing", FakeDaemon::Reply{404, "", "text/plain"});
    EXPECT_EQ(clientError(test::await(api.pairing(), 3000ms)).message(), "HTTP 404");
    daemon.set("/v1/requests", FakeDaemon::Reply{500, "bad \xff\xfe day", "text/plain"});
    EXPECT_EQ(clientError(test::await(api.requests(), 3000ms)).message(), QString::fromUtf8("bad \uFFFD\uFFFD day"));

    for (int code : {200, 299}) {
        daemon.set("/v1/status", FakeDaemon::Reply{code, status, "application/json"});
        const auto result = test::await(api.status(), 3000ms);
        ASSERT_TRUE(result && *result) << code;
        EXPECT_EQ((*result)->pending, 3);
    }
    // A well-formed reply that is not a status is a decode failure, not an outage.
    daemon.set("/v1/status", R"({"version":"1.0"})");
    const auto undecodable = test::await(api.status(), 3000ms);
    ASSERT_TRUE(undecodable && !*undecodable);
    EXPECT_TRUE(std::holds_alternative<DecodeError>(undecodable->error()));
    for (const auto& seen : daemon.seen())
        EXPECT_EQ(seen.method, "GET");
}

TEST(LocalAPIReplies, RawStatusLinesAndBrokenReplies)
{
    const LocalAPI::Limits limits{200ms, 400ms};
    const std::pair<QByteArray, LocalAPIError> cases[] = {
        {"HTTP/1.1 199 Odd\r\nConnection: close\r\n\r\n", LocalAPIError::status(199, {})},
        {"this is not HTTP at all\r\n\r\n", unreachable},
    };
    for (const auto& [reply, expected] : cases) {
        RawServer server(reply);
        EXPECT_EQ(clientError(test::await(LocalAPI(server.base(), limits).pairing(), 3000ms)), expected) << reply.data();
    }
    RawServer noContent("HTTP/1.1 204 No Content\r\n\r\n");
    const auto cancelled = test::await(LocalAPI(noContent.base()).cancel("x"), 3000ms);
    EXPECT_TRUE(cancelled && *cancelled);
}

TEST(LocalAPIFailures, ClosedPortIsUnreachable)
{
    QTcpServer bound;
    bound.listen(QHostAddress::LocalHost, 0);
    const QUrl base(QStringLiteral("http://127.0.0.1:%1").arg(bound.serverPort()));
    bound.close();

    const LocalAPI api(base);
    EXPECT_EQ(clientError(test::await(api.status(), 3000ms)), unreachable);
    EXPECT_EQ(clientError(test::await(api.requests(), 3000ms)), unreachable);
    EXPECT_EQ(clientError(test::await(api.pairing(), 3000ms)), unreachable);
    EXPECT_EQ(clientError(test::await(api.cancel("r"), 3000ms)), unreachable);
}

TEST(LocalAPIFailures, TimeLimitsStopSilenceAndDrips)
{
    struct Case {
        const char* name;
        RawServer::Mode mode;
        LocalAPI::Limits limits;
        std::chrono::milliseconds expected;
    };
    const Case cases[] = {
        {"silent, data time-out", RawServer::Mode::silent, {200ms, 5000ms}, 200ms},
        {"silent, cap", RawServer::Mode::silent, {5000ms, 300ms}, 300ms},
        // Each byte restarts the data time-out; only the cap ends this.
        {"drip", RawServer::Mode::drip, {200ms, 400ms}, 400ms},
    };
    for (const auto& c : cases) {
        RawServer server({}, c.mode);
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(clientError(test::await(LocalAPI(server.base(), c.limits).status(), 3000ms)), unreachable) << c.name;
        const auto elapsed = std::chrono::milliseconds(clock.elapsed());
        EXPECT_GE(elapsed, c.expected * 9 / 10) << c.name;
        EXPECT_LT(elapsed, c.expected + 500ms) << c.name;
    }
}

TEST(LocalAPIFailures, ClientGoneMidExchange)
{
    // The exchange keeps its network manager, so a client that goes away
    // mid-call still wakes its caller, and the manager outlives the reply's
    // last signal.
    mallopt(M_PERTURB, 0xa5); // freed memory turns to garbage, so a use after free crashes
    RawServer server({}, RawServer::Mode::silent);
    auto api = std::make_unique<LocalAPI>(server.base(), LocalAPI::Limits{5000ms, 200ms});
    auto task = api->status();
    api.reset();
    EXPECT_EQ(clientError(test::await(std::move(task), 2000ms)), unreachable);
    mallopt(M_PERTURB, 0);
}
