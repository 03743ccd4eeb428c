#include "helper/HelperProcess.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTcpSocket>

#include <signal.h>

using namespace ringlark::test;
using namespace std::chrono_literals;

namespace {

QString pidFilePath(const HelperRun& run) { return run.home() + "/.ringlark/daemon.pid"; }

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A POST the way a minimal client sends it: no body and no Content-Length.
QByteArray rawPostStatusLine(int port, const QByteArray& path)
{
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", quint16(port));
    if (!socket.waitForConnected(1000))
        return {};
    socket.write("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    socket.waitForBytesWritten(1000);
    if (!socket.waitForReadyRead(1500))
        return {};
    return socket.readLine().trimmed();
}

} // namespace

TEST(Daemon, ServesTheAppsEndpointsAndCleansUpOnSigterm)
{
    HelperRun daemon({"daemon"});
    ASSERT_TRUE(daemon.waitUntilServing());
    EXPECT_EQ(readAll(pidFilePath(daemon)).trimmed().toLongLong(), daemon.process().processId());

    EXPECT_EQ(httpGet(daemon.port(), "/v1/status").json(),
              nlohmann::json::parse(R"({"version":")" RINGLARK_HELPER_VERSION R"(","pending":0,"session_active":false,)"
                                    R"("tailscale":{"ok":false,"error":"Tailscale is not installed"},)"
                                    R"("permissions":{"screen_recording":true,"accessibility":true},)"
                                    R"("push":{"mode":"off","devices":0}})"));
    EXPECT_EQ(httpGet(daemon.port(), "/v1/requests").json(), nlohmann::json::array());

    auto created = httpPost(daemon.port(), "/v1/requests",
                            R"({"reason":"Sign in to GitHub","ask":"Enter the code","agent":"Codex","app":"Firefox"})");
    ASSERT_EQ(created.status, 201);
    auto request = created.json();
    const std::string id = request["id"];
    EXPECT_EQ(request["status"], "pending");
    EXPECT_EQ(request["ask"], "Enter the code");
    EXPECT_TRUE(request["created_at"].is_number_unsigned());
    EXPECT_GT(request["created_at"].get<std::uint64_t>(), 1'600'000'000'000u); // milliseconds, not seconds
    EXPECT_EQ(request["updated_at"], request["created_at"]);
    EXPECT_EQ(httpPost(daemon.port(), "/v1/requests", R"({"ask":"no reason"})").status, 400);
    httpPost(daemon.port(), "/v1/requests", R"({"reason":"second"})");

    EXPECT_EQ(httpGet(daemon.port(), "/v1/status").json()["pending"], 2);
    auto listed = httpGet(daemon.port(), "/v1/requests").json();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0]["id"], id);
    EXPECT_EQ(listed[0]["agent"], "Codex");

    // Cancelling: known ids succeed (also without a Content-Length), unknown ones are a 404 with a message.
    EXPECT_EQ(rawPostStatusLine(daemon.port(), QByteArray::fromStdString("/v1/requests/" + id + "/cancel")),
              "HTTP/1.1 200 OK");
    auto unknown = httpPost(daemon.port(), "/v1/requests/no-such-id/cancel");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_NE(unknown.body.find("no-such-id"), std::string::npos);
    EXPECT_EQ(httpGet(daemon.port(), "/v1/status").json()["pending"], 1);
    EXPECT_EQ(httpGet(daemon.port(), "/v1/requests").json()[0]["reason"], "second");

    // Without Tailscale there is nothing to pair with.
    auto pairing = httpGet(daemon.port(), "/v1/pairing");
    EXPECT_EQ(pairing.status, 503);
    EXPECT_FALSE(pairing.body.empty());

    daemon.signal(SIGTERM);
    ASSERT_TRUE(daemon.finish(2s));
    EXPECT_EQ(daemon.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(daemon.process().exitCode(), 0);
    EXPECT_FALSE(QFile::exists(pidFilePath(daemon)));
    const auto log = daemon.standardError();
    EXPECT_NE(log.find("started"), std::string::npos);
    EXPECT_NE(log.find("stopped"), std::string::npos);
}

TEST(Daemon, ASecondCopyOnATakenPortExitsWithThreeAndLeavesThePidFileAlone)
{
    HelperRun first({"daemon"});
    ASSERT_TRUE(first.waitUntilServing());
    const QByteArray pid = readAll(pidFilePath(first));

    HelperRun second({"daemon"}, {}, first.home(), first.port());
    ASSERT_TRUE(second.finish(3s));
    EXPECT_EQ(second.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.process().exitCode(), 3);
    EXPECT_EQ(readAll(pidFilePath(first)), pid);
    EXPECT_EQ(httpGet(first.port(), "/v1/status").status, 200);

    // SIGINT ends it as cleanly as SIGTERM.
    first.signal(SIGINT);
    ASSERT_TRUE(first.finish(2s));
    EXPECT_EQ(first.process().exitCode(), 0);
    EXPECT_FALSE(QFile::exists(pidFilePath(first)));
}

TEST(Daemon, ForcedStatusReplacesTheComputedOneUntilCleared)
{
    HelperRun daemon({"daemon"});
    ASSERT_TRUE(daemon.waitUntilServing());
    const std::string forced =
        R"({"version":"9","tailscale":{"ok":true,"ip":"100.64.0.7","host":"box","owner":"me@example.com"},)"
        R"("permissions":{"screen_recording":false,"accessibility":true},"push":{"mode":"direct","devices":2},)"
        R"("pending":5,"session_active":true})";
    EXPECT_EQ(http("PUT", daemon.port(), "/x/status", forced).status, 204);
    EXPECT_EQ(httpGet(daemon.port(), "/v1/status").json(), nlohmann::json::parse(forced));
    // Pairing follows the forced view of Tailscale.
    auto url = httpGet(daemon.port(), "/v1/pairing").json()["url"].get<std::string>();
    EXPECT_EQ(url.rfind("ringlark://pair?host=100.64.0.7:" + std::to_string(daemon.port()) + "&token=", 0), 0u);

    EXPECT_EQ(http("DELETE", daemon.port(), "/x/status").status, 204);
    EXPECT_EQ(httpGet(daemon.port(), "/v1/status").json()["pending"], 0);
}

TEST(HelperCommands, PermissionsPrintsGrantedAndBadArgumentsPrintUsage)
{
    HelperRun permissions({"permissions"});
    ASSERT_TRUE(permissions.finish());
    EXPECT_EQ(permissions.process().exitCode(), 0);
    const auto printed = nlohmann::json::parse(permissions.process().readAllStandardOutput().toStdString());
    EXPECT_EQ(printed, (nlohmann::json{{"screen_recording", true}, {"accessibility", true}}));

    for (const QStringList& arguments : {QStringList{}, QStringList{"serve"}, QStringList{"daemon", "extra"}}) {
        HelperRun wrong(arguments);
        ASSERT_TRUE(wrong.finish());
        EXPECT_NE(wrong.process().exitCode(), 0) << arguments.join(' ').toStdString();
        EXPECT_NE(wrong.standardError().find("usage"), std::string::npos);
        EXPECT_TRUE(wrong.process().readAllStandardOutput().isEmpty());
    }
}
