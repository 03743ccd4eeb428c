// The daemon as a stranger meets it: a real process on an ephemeral port with
// a temporary home, spoken to byte by byte.

#include "helper/HelperProcess.h"
#include "helper/RawHttp.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <vector>

using namespace ringlark::test;

namespace {

unsigned modeOf(const QString& path)
{
    struct stat info {};
    return ::lstat(path.toLocal8Bit().constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

struct Daemon {
    explicit Daemon(const std::map<QString, QString>& environment = {}) : run({"daemon"}, environment)
    {
        serving = run.serving();
        token = run.token();
        host = "127.0.0.1:" + std::to_string(run.port);
        socket = (run.home + "/.ringlark/daemon.sock").toStdString();
    }
    // One exchange on a fresh connection over TCP (or the Unix socket).
    RawReply tcp(const std::string& wire) const { return exchangeOn(connectTcp(run.port), wire); }
    RawReply local(const std::string& wire) const { return exchangeOn(connectLocal(socket), wire); }
    int statusCode() const { return tcp(requestText("GET", "/v1/status", token, host)).status; }

    HelperRun run;
    bool serving = false;
    std::string token, host, socket;
};

} // namespace

TEST(DaemonSecurity, OnlyTheTokenHolderWithALocalHostAndNoOriginIsServed)
{
    Daemon daemon;
    ASSERT_TRUE(daemon.serving);
    const QString directory = daemon.run.home + "/.ringlark";
    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_EQ(modeOf(directory + "/daemon.token"), 0600u);
    EXPECT_EQ(modeOf(directory + "/daemon.pid"), 0600u);

    // The access rules are tabled in HttpTest; here one row per rule shows the daemon applies them on both listeners.
    const std::string& token = daemon.token;
    const std::string& host = daemon.host;
    const struct {
        const char* what;
        std::string wire;
        int overTcp, overSocket;
    } cases[] = {
        {"served", requestText("GET", "/v1/status", token, host), 200, 200},
        {"plain localhost", requestText("GET", "/v1/status", token, "localhost"), 403, 200},
        {"no token", requestText("GET", "/v1/requests", "", host), 403, 403},
        {"web page", requestText("GET", "/v1/status", token, host, {}, "Origin: http://evil.example\r\n"), 403, 403},
        {"no hooks", requestText("PUT", "/x/status", token, host, "{}"), 404, 404},
    };
    for (const auto& [what, wire, overTcp, overSocket] : cases) {
        EXPECT_EQ(daemon.tcp(wire).status, overTcp) << what;
        // The socket's peer can only be local; the Host rule adds "localhost" there.
        std::string local = wire;
        if (auto at = local.find("Host: " + host); at != std::string::npos)
            local.replace(at, 6 + host.size(), "Host: localhost");
        EXPECT_EQ(daemon.local(local).status, overSocket) << what;
    }

    // Only with the variable do the test hooks exist.
    Daemon hooked(std::map<QString, QString>{{"RINGLARK_TEST_HOOKS", "1"}});
    ASSERT_TRUE(hooked.serving);
    EXPECT_EQ(hooked.tcp(requestText("PUT", "/x/status", hooked.token, hooked.host, R"({"pending":7})")).status, 204);
    EXPECT_EQ(http(hooked.run.port, "/v1/status").parsed()["pending"], 7);
}

TEST(DaemonSecurity, AnotherUserCanNeitherConnectNorReadTheToken)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    Daemon daemon;
    ASSERT_TRUE(daemon.serving);
    const std::string tokenPath = (daemon.run.home + "/.ringlark/daemon.token").toStdString();
    ::chmod(daemon.run.home.toLocal8Bit().constData(), 0755); // the home itself may be open to all
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        int failures = 0;
        const int fd = connectLocal(daemon.socket);
        if (fd >= 0)
            failures |= 1;
        std::ifstream token(tokenPath);
        if (token.is_open())
            failures |= 2;
        ::_exit(failures);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: connected to the socket, 2: read the token, 10: could not switch user";
}

TEST(DaemonSecurity, ALinkInPlaceOfTheDirectoryIsRefused)
{
    QTemporaryDir root;
    const std::filesystem::path base = root.path().toStdString();

    // Refused with one line and status 1; links at the files inside are the Files test's.
    std::filesystem::create_directories(base / "elsewhere");
    std::filesystem::create_directories(base / "linked");
    std::filesystem::create_symlink(base / "elsewhere", base / "linked" / ".ringlark");
    HelperRun linked({"daemon"}, {}, QString::fromStdString((base / "linked").string()));
    ASSERT_TRUE(linked.finish(3s));
    EXPECT_EQ(linked.process.exitCode(), 1);
    const auto complaint = linked.process.readAllStandardError();
    EXPECT_TRUE(complaint.contains("symbolic link")) << complaint.toStdString();
    EXPECT_TRUE(std::filesystem::is_empty(base / "elsewhere"));
}

TEST(DaemonLimits, EveryBadInputGetsItsStatusAndTheDaemonKeepsAnswering)
{
    Daemon daemon;
    ASSERT_TRUE(daemon.serving);
    const std::string& token = daemon.token;
    const std::string& host = daemon.host;
    auto post = [&](const std::string& body) { return requestText("POST", "/v1/requests", token, host, body); };
    const std::string longReason = R"({"reason":")" + std::string(1001, 'x') + "\"}";
    // The parser's own refusals (413 by length, 431) are tabled in HttpTest; these come from the routes.
    const struct {
        const char* what;
        std::string wire;
        int status;
        std::string says;
    } cases[] = {
        {"deep nesting", post(std::string(60000, '[')), 400, "nests"},
        {"long reason", post(longReason), 413, "`reason` is longer than 1000 characters"},
        {"bad wait timeout", requestText("GET", "/v1/requests/x/wait?timeout_ms=ten", token, host), 400, ""},
    };
    for (const auto& [what, wire, status, says] : cases) {
        const auto reply = daemon.tcp(wire);
        EXPECT_EQ(reply.status, status) << what;
        EXPECT_NE(reply.body.find(says), std::string::npos) << what << ": " << reply.body;
        EXPECT_EQ(daemon.statusCode(), 200) << "after " << what;
    }

    // A wait asked for 999999999999 ms is held to 30 s: it stays parked while status answers.
    const auto created = http(daemon.run.port, "/v1/requests", R"({"reason":"first"})").parsed();
    const std::string id = created["id"];
    const int waiter = connectLocal(daemon.socket);
    sendAll(waiter, requestText("GET", "/v1/requests/" + id + "/wait?timeout_ms=999999999999", token, "localhost"));
    EXPECT_EQ(readReply(waiter, 200ms).status, 0);
    EXPECT_EQ(daemon.statusCode(), 200);

    // The 101st open request is refused, with the reason.
    for (int i = 1; i < 100; ++i)
        ASSERT_EQ(daemon.tcp(post(R"({"reason":"more"})")).status, 201) << i;
    const auto refused = daemon.tcp(post(R"({"reason":"one too many"})"));
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(refused.body, "Too many open requests (100). Resolve or dismiss some first.");

    EXPECT_EQ(http(daemon.run.port, "/v1/requests/" + id + "/cancel", "").status, 200);
    const auto ended = readReply(waiter, 1s);
    ::close(waiter);
    EXPECT_EQ(ended.status, 200);
    EXPECT_EQ(json::parse(ended.body, nullptr, false)["status"], "dismissed");
    EXPECT_EQ(daemon.tcp(post(R"({"reason":"room again"})")).status, 201);
}

TEST(DaemonLimits, AnotherUsersFloodOfIdleConnectionsLeavesTheOwnerServed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    Daemon daemon;
    ASSERT_TRUE(daemon.serving);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t stranger = ::fork();
    if (stranger == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        std::vector<int> held;
        for (int i = 0; i < 2100; ++i)
            if (const int fd = connectTcp(daemon.run.port); fd >= 0)
                held.push_back(fd);
        (void)::write(ready[1], "x", 1);
        ::pause(); // holds them until killed
        ::_exit(0);
    }
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    int answered = 0;
    for (int i = 0; i < 50; ++i) {
        answered += daemon.tcp(requestText("GET", "/v1/status", daemon.token, daemon.host)).status == 200;
        answered += daemon.local(requestText("GET", "/v1/status", daemon.token, "localhost")).status == 200;
    }
    ::kill(stranger, SIGKILL);
    ::waitpid(stranger, nullptr, 0);
    EXPECT_EQ(answered, 100);
}

TEST(DaemonLimits, AConnectionThatSaysNothingIsClosedSoon)
{
    Daemon daemon;
    ASSERT_TRUE(daemon.serving);
    const int fd = connectTcp(daemon.run.port);
    ASSERT_GE(fd, 0);
    pollfd waiting{fd, POLLIN, 0};
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(::poll(&waiting, 1, 10000), 1);
    char byte;
    EXPECT_EQ(::read(fd, &byte, 1), 0) << "closed without a reply";
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    ::close(fd);
}
