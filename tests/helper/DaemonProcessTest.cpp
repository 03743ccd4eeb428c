#include "helper/HelperProcess.h"

#include <gtest/gtest.h>

#include <QTcpSocket>

using namespace ringlark::test;

TEST(Daemon, ServesTheAppsEndpointsAndCleansUpOnSigterm)
{
    HelperRun daemon({"daemon"});
    ASSERT_TRUE(daemon.serving());
    const QString pidFile = daemon.home + "/.ringlark/daemon.pid";
    EXPECT_EQ(readFile(pidFile).trimmed().toLongLong(), daemon.process.processId());

    EXPECT_EQ(http(daemon.port, "/v1/status").parsed(),
              json::parse(R"({"version":")" RINGLARK_HELPER_VERSION R"(","pending":0,"session_active":false,)"
                          R"("tailscale":{"ok":false,"error":"Tailscale is not installed"},)"
                          R"("permissions":{"screen_recording":true,"accessibility":true},)"
                          R"("push":{"mode":"off","devices":0}})"));
    EXPECT_EQ(http(daemon.port, "/v1/requests").parsed(), json::array());
    EXPECT_EQ(http(daemon.port, "/v1/pairing").status, 503); // nothing to pair with without Tailscale

    auto created = http(daemon.port, "/v1/requests",
                        R"({"reason":"Sign in to GitHub","ask":"Enter the code","agent":"Codex","app":"Firefox"})");
    ASSERT_EQ(created.status, 201);
    const auto request = created.parsed();
    const std::string id = request["id"];
    EXPECT_EQ(request["status"], "pending");
    EXPECT_EQ(request["ask"], "Enter the code");
    EXPECT_GT(request["created_at"].get<std::uint64_t>(), 1'600'000'000'000u); // milliseconds, not seconds
    EXPECT_EQ(request["updated_at"], request["created_at"]);
    EXPECT_EQ(http(daemon.port, "/v1/requests", R"({"ask":"no reason"})").status, 400);
    http(daemon.port, "/v1/requests", R"({"reason":"second"})");

    EXPECT_EQ(http(daemon.port, "/v1/status").parsed()["pending"], 2);
    auto listed = http(daemon.port, "/v1/requests").parsed();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0]["id"], id);
    EXPECT_EQ(listed[0]["agent"], "Codex");

    // A known id is cancelled even by a bare POST without Content-Length; an unknown one is a 404 naming it.
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", quint16(daemon.port));
    ASSERT_TRUE(socket.waitForConnected(1000));
    socket.write(QByteArray::fromStdString("POST /v1/requests/" + id + "/cancel HTTP/1.1\r\n") +
                 "Host: 127.0.0.1\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(socket.waitForReadyRead(1500));
    EXPECT_EQ(socket.readLine().trimmed(), "HTTP/1.1 200 OK");
    auto unknown = http(daemon.port, "/v1/requests/no-such-id/cancel", "");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_NE(unknown.body.find("no-such-id"), std::string::npos);
    listed = http(daemon.port, "/v1/requests").parsed();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["reason"], "second");

    daemon.signal(SIGTERM);
    ASSERT_TRUE(daemon.finish(2s));
    EXPECT_EQ(daemon.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(daemon.process.exitCode(), 0);
    EXPECT_FALSE(QFile::exists(pidFile));
}

TEST(Daemon, ASecondCopyOnATakenPortExitsWithThreeAndLeavesThePidFileAlone)
{
    HelperRun first({"daemon"});
    ASSERT_TRUE(first.serving());
    const QByteArray pid = readFile(first.home + "/.ringlark/daemon.pid");
    ASSERT_FALSE(pid.isEmpty());

    HelperRun second({"daemon"}, {}, first.home, first.port);
    ASSERT_TRUE(second.finish(3s));
    EXPECT_EQ(second.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.process.exitCode(), 3);
    EXPECT_EQ(readFile(first.home + "/.ringlark/daemon.pid"), pid);
    EXPECT_EQ(http(first.port, "/v1/status").status, 200);
}

TEST(HelperCommands, PermissionsPrintsGrantedAndBadArgumentsPrintUsage)
{
    HelperRun permissions({"permissions"});
    ASSERT_TRUE(permissions.finish());
    EXPECT_EQ(permissions.process.exitCode(), 0);
    EXPECT_EQ(json::parse(permissions.process.readAllStandardOutput().toStdString()),
              (json{{"screen_recording", true}, {"accessibility", true}}));

    for (const QStringList& arguments : {QStringList{}, QStringList{"serve"}, QStringList{"daemon", "extra"}}) {
        HelperRun wrong(arguments);
        ASSERT_TRUE(wrong.finish());
        EXPECT_NE(wrong.process.exitCode(), 0) << arguments.join(' ').toStdString();
        EXPECT_TRUE(wrong.process.readAllStandardError().contains("usage"));
        EXPECT_TRUE(wrong.process.readAllStandardOutput().isEmpty());
    }
}
