#include "daemon/api/HttpExchange.h"
#include "daemon/api/LocalAPI.h"

#include "support/EventLoop.h"
#include "support/StubDaemon.h"
#include "support/Files.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <malloc.h>
#include <unistd.h>

using namespace ringlark;
using namespace std::chrono_literals;
using test::StubDaemon;
using test::writeFile;

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
                ++accepted, QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, answer] { socket->readAll(); answer(socket); });
        });
    }
    QUrl base() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort())); }
    QTcpServer server;
    int accepted = 0;
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

// The fake daemon's own token, without a listener check.
DaemonAccess fixedToken(const std::string& token = StubDaemon::defaultToken)
{
    return {[token = QByteArray::fromStdString(token)](bool) { return std::optional(token); }, {}};
}

LocalAPI client(const QUrl& base, LocalAPI::Limits limits = {}) { return LocalAPI(base, limits, fixedToken()); }

} // namespace

TEST(LocalAPI, DismissalOnTheWire)
{
    StubDaemon daemon;
    const LocalAPI api = client(daemon.base());
    // Each id stays one segment, exactly as received: dots and slashes included.
    const std::pair<QString, std::string> ids[] = {
        {"a/b", "/v1/requests/a%2Fb/cancel"},   {"100%", "/v1/requests/100%25/cancel"},
        {"\u00e9", "/v1/requests/%C3%A9/cancel"}, {"..", "/v1/requests/%2E%2E/cancel"},
        {"a.b-c_d~", "/v1/requests/a%2Eb-c_d~/cancel"}, {"", "/v1/requests//cancel"},
    };
    for (std::size_t i = 0; i < std::size(ids); ++i) {
        // Only the exact encoded path succeeds; whatever body comes back is ignored.
        daemon.set(ids[i].second, i % 2 ? StubDaemon::Reply{204, ""} : StubDaemon::Reply{200, "not json"});
        const auto result = test::await(api.dismiss(ids[i].first), 3000ms);
        EXPECT_TRUE(result && *result) << ids[i].second;
    }
    const auto seen = daemon.seen();
    ASSERT_EQ(seen.size(), std::size(ids));
    for (std::size_t i = 0; i < std::size(ids); ++i)
        EXPECT_EQ(std::tie(seen[i].method, seen[i].path, seen[i].body), std::tie("POST", ids[i].second, ""));
    EXPECT_EQ(seen[0].host, "127.0.0.1:" + std::to_string(daemon.port()));
}

TEST(LocalAPI, StatusCodesAndBodies)
{
    StubDaemon daemon;
    const LocalAPI api = client(daemon.base());
    const std::string status = test::statusJson(false, 3);

    // Qt gives several of these its own error kinds; all are replies all the same.
    for (int code : {200, 299, 300, 401, 404, 407, 500}) {
        daemon.set("/v1/status", StubDaemon::Reply{code, status});
        if (code < 300)
            EXPECT_EQ(test::await(api.status(), 3000ms).value().value().pending, 3); // throws, failing, when it failed
        else
            EXPECT_EQ(failure(api.status()), LocalAPIError::status(code, QString::fromStdString(status)));
    }
    daemon.set("/v1/pairing", StubDaemon::Reply{404, ""});
    EXPECT_EQ(failure(api.pairing()).message(), "HTTP 404");
    daemon.set("/v1/requests", StubDaemon::Reply{500, "bad \xff\xfe day", "text/plain"});
    EXPECT_EQ(failure(api.requests()).message(), QString::fromUtf8("bad \uFFFD\uFFFD day"));
    RawServer odd([](QTcpSocket* s) { s->write("HTTP/1.1 199 Odd\r\nConnection: close\r\n\r\n"); s->disconnectFromHost(); });
    EXPECT_EQ(failure(client(odd.base()).pairing()), LocalAPIError::status(199, {}));

    // A well-formed reply that is not a status is a decode failure, not an outage.
    daemon.set("/v1/status", R"({"version":"1.0"})");
    EXPECT_TRUE(std::holds_alternative<DecodeError>(test::await(api.status(), 3000ms).value().error()));
    for (const auto& seen : daemon.seen())
        EXPECT_EQ(seen.method, "GET");
}

TEST(LocalAPI, UnreachableDaemon)
{
    RawServer closed;
    const LocalAPI refused = client(closed.base());
    closed.server.close();
    EXPECT_EQ(failure(refused.status()), unreachable);
    EXPECT_EQ(failure(refused.dismiss("r")), unreachable);

    // A daemon that accepts and never answers is given up on at the cap.
    RawServer silent;
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(failure(client(silent.base(), {5000ms, 300ms}).status()), unreachable);
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
    EXPECT_EQ(failure(client(drip.base(), {200ms, 400ms}).status()), unreachable);
    EXPECT_GE(clock.elapsed(), 340);
    EXPECT_LT(clock.elapsed(), 1000);

    // The exchange keeps its network manager, so a client destroyed mid-call
    // still wakes its caller without touching freed memory.
    mallopt(M_PERTURB, 0xa5); // freed memory turns to garbage, so a use after free crashes
    auto api = std::make_unique<LocalAPI>(silent.base(), LocalAPI::Limits{5000ms, 200ms}, fixedToken());
    auto task = api->status();
    api.reset();
    EXPECT_EQ(failure(std::move(task)), unreachable);
    mallopt(M_PERTURB, 0);
}

TEST(LocalAPI, OneConnectionCarriesTheExchanges)
{
    // What the daemon does with a connection once it has answered on it.
    enum class After { keepOpen, closeWhenIdle, dropTheNextRequest };
    const struct {
        After after;
        int connections; // after three polls and a dismissal
    } cases[] = {
        {After::keepOpen, 2},           // the dismissal overlaps a poll: a second connection
        {After::closeWhenIdle, 5},      // every exchange reconnects
        {After::dropTheNextRequest, 3}, // polls are sent again, a dismissal is not
    };
    for (const auto& [after, connections] : cases) {
        RawServer daemon([after](QTcpSocket* socket) {
            const int n = socket->property("n").toInt() + 1;
            socket->setProperty("n", n);
            if (after == After::dropTheNextRequest && n > 1)
                return socket->abort();
            const std::string body = test::statusJson();
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
                          body.c_str());
            if (after == After::closeWhenIdle)
                socket->disconnectFromHost();
        });
        int checks = 0;
        const auto listener = [&](std::uint16_t, bool) { return ++checks, Listener::ours; };
        const LocalAPI api(daemon.base(), {}, {fixedToken().token, listener});
        for (int poll = 0; poll < 3; ++poll)
            EXPECT_TRUE(test::await(api.status(), 3000ms).value().has_value()) << int(after);
        if (after == After::dropTheNextRequest) {
            EXPECT_EQ(failure(api.dismiss("r")), unreachable);
        } else {
            auto status = api.status(); // under way while the dismissal starts
            EXPECT_TRUE(test::await(api.dismiss("r"), 3000ms).value().has_value()) << int(after);
            EXPECT_TRUE(test::await(std::move(status), 3000ms).value().has_value()) << int(after);
        }
        EXPECT_EQ(daemon.accepted, connections) << int(after);
        // Every new connection, and only a new one, goes through the listener check.
        EXPECT_EQ(checks, connections) << int(after);
    }
}

namespace {

// A listening row of /proc/net/tcp for 127.0.0.1:<port> owned by `uid`.
QByteArray listenerRow(int port, unsigned uid)
{
    return QString("   0: 0100007F:%1 00000000:0000 0A 00000000:00000000 00:00000000 00000000 %2        0 4711 1 0\n")
        .arg(port, 4, 16, QChar('0')).toUpper().arg(uid).toUtf8();
}

const QByteArray tableHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

// A temporary ~/.ringlark with the daemon's token, and fake socket tables.
struct Home {
    QTemporaryDir dir;
    QString config() const { return dir.filePath(".ringlark"); }
    QString procNet() const { return dir.filePath("net"); }
    LocalAPI api(const StubDaemon& daemon, std::uint32_t uid = ::geteuid()) const
    {
        return LocalAPI(daemon.base(), {}, DaemonAccess::inDirectory(config(), procNet().toUtf8(), uid));
    }
};

} // namespace

TEST(LocalAPISecurity, TokenIsSentRequiredAndRereadWhenTheDaemonRestarts)
{
    StubDaemon daemon;
    daemon.set("/v1/requests", "[]");
    Home home;
    writeFile(home.procNet() + "/tcp", tableHeader + listenerRow(daemon.port(), ::geteuid()));
    const LocalAPI api = home.api(daemon);

    // No token file: the daemon is not asked at all.
    EXPECT_EQ(failure(api.requests()), unreachable);
    EXPECT_TRUE(daemon.seen().empty());

    daemon.writeToken(home.config());
    EXPECT_TRUE(test::await(api.requests(), 3000ms).value().has_value());
    ASSERT_EQ(daemon.seen().size(), 1u);
    EXPECT_EQ(daemon.seen().back().token, StubDaemon::defaultToken);

    // A new daemon with a new token: the replaced file is noticed before sending.
    daemon.setToken(std::string(64, 'b'));
    daemon.writeToken(home.config());
    daemon.clearSeen();
    EXPECT_TRUE(test::await(api.requests(), 3000ms).value().has_value());
    EXPECT_EQ(daemon.seen().size(), 1u);

    // A refusal makes the client read the token once more, and send again
    // only when it changed; a refusal of the current token stands.
    int rereads = 0;
    const auto token = [&](bool reread) { rereads += reread; return std::optional(QByteArray(64, reread ? 'c' : 'b')); };
    const LocalAPI cached(daemon.base(), {}, {token, {}});
    for (const auto& [current, sent, code] : {std::tuple{'c', 2u, 200}, {'d', 2u, 403}}) {
        daemon.setToken(std::string(64, current));
        daemon.clearSeen();
        const auto result = test::await(cached.requests(), 3000ms).value();
        EXPECT_EQ(result ? 200 : std::get<LocalAPIError>(result.error()).code(), code);
        EXPECT_EQ(daemon.seen().size(), sent);
    }
    EXPECT_EQ(rereads, 2);
}

TEST(LocalAPISecurity, UnsafeTokenFilesReadAsUnreachable)
{
    StubDaemon daemon;
    daemon.set("/v1/requests", "[]");
    Home home;
    writeFile(home.procNet() + "/tcp", tableHeader + listenerRow(daemon.port(), ::geteuid()));
    const QString token = home.config() + "/daemon.token";
    writeFile(home.dir.filePath("elsewhere"), StubDaemon::defaultToken);

    const std::function<void()> cases[] = {
        [&] { QFile::link(home.dir.filePath("elsewhere"), token); },  // a link to a readable token
        [&] { writeFile(token, "  \n"); },                              // empty
        [&] { writeFile(token, "abc\r\nX-Evil: 1\n"); },                // would split the header
        [&] { writeFile(token, QByteArray(5000, 'a')); },               // not a token file
    };
    for (const auto& make : cases) {
        QFile::remove(token);
        make();
        EXPECT_EQ(failure(home.api(daemon).requests()), unreachable);
    }
    if (::geteuid() == 0) { // only root can hand a file to someone else
        QFile::remove(token);
        daemon.writeToken(home.config());
        ASSERT_EQ(::chown(token.toUtf8().constData(), 65534, 65534), 0);
        EXPECT_EQ(failure(home.api(daemon).requests()), unreachable);
    }
    EXPECT_TRUE(daemon.seen().empty());
}

TEST(LocalAPISecurity, AStrangersListenerNeverSeesTheToken)
{
    StubDaemon daemon;
    daemon.set("/v1/status", test::statusJson());
    Home home;
    daemon.writeToken(home.config());
    const auto stranger = ::geteuid() + 1;
    // The tables as the kernel prints them: who listens on the port decides.
    const std::pair<QByteArray, bool> tables[] = {
        {tableHeader + listenerRow(daemon.port(), stranger), false},
        {tableHeader, false}, // nobody listens; which rows count is the socket table test's
        {tableHeader + listenerRow(daemon.port(), ::geteuid()), true},
    };
    for (const auto& [table, reached] : tables) {
        writeFile(home.procNet() + "/tcp", table);
        daemon.clearSeen();
        const auto result = test::await(home.api(daemon).status(), 3000ms);
        EXPECT_EQ(result && *result, reached);
        EXPECT_EQ(daemon.seen().size(), reached ? 1u : 0u);
    }
    QFile::remove(home.procNet() + "/tcp"); // unreadable tables: not trusted
    EXPECT_EQ(failure(home.api(daemon).status()), unreachable);

    // This system's own answer: the fake daemon is a listener of ours.
    const LocalAPI real(daemon.base(), {}, DaemonAccess::inDirectory(home.config()));
    EXPECT_TRUE(test::await(real.status(), 3000ms).value().has_value());
    EXPECT_EQ(askKernelForListener(std::uint16_t(daemon.port()), ::geteuid()), Listener::ours);
    EXPECT_EQ(askKernelForListener(std::uint16_t(daemon.port()), ::geteuid() + 1), Listener::stranger);
}

// The longest list the daemon may legitimately send (100 open requests, each
// text at its 1,000-character limit, in characters JSON writes longest) is
// read; a reply one byte above its cap is not read at all.
TEST(LocalAPISecurity, RepliesUpToTheirCapAreRead)
{
    QString controls, emoji; // 6 bytes each as JSON ("\u0001"), and 4 bytes each
    for (int i = 0; i < 1000; ++i) {
        controls += QChar(i % 2 ? 0x01 : 0x1F);
        emoji += QString::fromUtf8("\U0001F4F1");
    }
    QList<HelpRequest> longest;
    auto list = nlohmann::json::array();
    for (int i = 0; i < 100; ++i) {
        const QString id = QString::number(0x1000000000000000ull + i, 16);
        // One text of emoji, to see that 4-byte characters come through as well.
        const QString title = i == 50 ? emoji : controls;
        longest.append({id, "pending", controls, controls, title, controls, UINT64_MAX, UINT64_MAX, controls});
        list.push_back({{"id", id.toStdString()}, {"status", "pending"}, {"reason", controls.toStdString()},
                        {"app", controls.toStdString()}, {"title", title.toStdString()},
                        {"agent", controls.toStdString()}, {"ask", controls.toStdString()},
                        {"created_at", UINT64_MAX}, {"updated_at", UINT64_MAX}});
    }
    const std::string body = list.dump();
    EXPECT_GT(body.size(), 3'000'000u);
    StubDaemon daemon;
    const LocalAPI api = client(daemon.base());
    daemon.set("/v1/requests", body);
    const auto read = test::await(api.requests(), 5000ms);
    ASSERT_TRUE(read && *read);
    EXPECT_TRUE(**read == longest);

    // At its cap a reply is read, and here only fails to decode; one byte more and it is not read.
    const auto unread = [](auto call) {
        const auto result = test::await(std::move(call), 5000ms).value();
        return !result && std::holds_alternative<LocalAPIError>(result.error());
    };
    for (const qsizetype extra : {0, 1}) {
        daemon.set("/v1/pairing", StubDaemon::Reply{200, std::string(replyCap + extra, ' '), "application/octet-stream"});
        daemon.set("/v1/requests", StubDaemon::Reply{200, std::string(requestListCap + extra, ' '), "application/octet-stream"});
        EXPECT_EQ(unread(api.pairing()), extra == 1);
        EXPECT_EQ(unread(api.requests()), extra == 1);
    }

    // Announced too long: given up at once, long before the time limits (ReplyReader's table has the other framings).
    RawServer endless([](QTcpSocket* socket) { socket->write("HTTP/1.1 200 OK\r\nContent-Length: 1048577\r\n\r\n"); });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(failure(client(endless.base(), {2000ms, 2000ms}).status()), unreachable);
    EXPECT_LT(clock.elapsed(), 1000);
}
