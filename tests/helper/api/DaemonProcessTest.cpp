#include "helper/HelperProcess.h"
#include "helper/RawHttp.h"

#include <gtest/gtest.h>

using namespace ringlark::test;

TEST(Daemon, ServesTheAppsEndpointsRefusesASecondCopyAndCleansUpOnSigterm)
{
    HelperRun daemon({"daemon"}, {{"DISPLAY", ""}}); // no display: nothing to stream (X11 has its own tests)
    ASSERT_TRUE(daemon.serving());
    const QString pidFile = daemon.home + "/.ringlark/daemon.pid";
    const QByteArray pid = readFile(pidFile);
    EXPECT_EQ(pid.trimmed().toLongLong(), daemon.process.processId());

    // The port is taken: exit 3, and the first copy's pid file and token untouched.
    const std::string token = daemon.token();
    HelperRun second({"daemon"}, {}, daemon.home, daemon.port);
    ASSERT_TRUE(second.finish(3s));
    EXPECT_EQ(second.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.process.exitCode(), 3);
    EXPECT_EQ(readFile(pidFile), pid);
    EXPECT_EQ(daemon.token(), token);

    EXPECT_EQ(http(daemon.port, "/v1/status").parsed(),
              json::parse(R"({"version":")" RINGLARK_HELPER_VERSION R"(","pending":0,"session_active":false,)"
                          R"("tailscale":{"ok":false,"error":"Tailscale is not installed"},)"
                          R"("permissions":{"screen_recording":false,"accessibility":false},)"
                          R"("push":{"mode":"off","devices":0}})"));
    // Error texts are the daemon's own, as tests/fixtures/records holds them for the application's tests.
    const auto fixture = [](const char* name) { return readFile(QStringLiteral(RINGLARK_RECORD_FIXTURES "/") + name).toStdString(); };
    const auto pairing = http(daemon.port, "/v1/pairing"); // nothing to pair with without Tailscale
    EXPECT_EQ(std::pair(pairing.status, pairing.body), std::pair(503, fixture("error-pairing-needs-tailscale.txt")));

    auto created = http(daemon.port, "/v1/requests", R"({"reason":"Sign in to GitHub","agent":"Codex"})");
    ASSERT_EQ(created.status, 201);
    const auto request = created.parsed();
    const std::string id = request["id"];
    EXPECT_EQ(request["status"], "pending");
    EXPECT_GT(request["created_at"].get<std::uint64_t>(), 1'600'000'000'000u); // milliseconds, not seconds
    EXPECT_EQ(http(daemon.port, "/v1/requests", R"({"ask":"no reason"})").status, 400);
    http(daemon.port, "/v1/requests", R"({"reason":"second"})");

    // A known id is cancelled even by a bare POST without Content-Length; an unknown one is a 404.
    const std::string bare = requestText("POST", "/v1/requests/" + id + "/cancel", daemon.token(),
                                         "127.0.0.1:" + std::to_string(daemon.port));
    EXPECT_EQ(exchangeOn(connectTcp(daemon.port), bare).status, 200);
    const auto unknown = http(daemon.port, "/v1/requests/r-404/cancel", "");
    EXPECT_EQ(std::pair(unknown.status, unknown.body), std::pair(404, fixture("error-unknown-request.txt")));
    EXPECT_EQ(http(daemon.port, "/v1/status").parsed()["pending"], 1);

    ::kill(pid_t(daemon.process.processId()), SIGTERM);
    ASSERT_TRUE(daemon.finish(2s));
    EXPECT_EQ(daemon.process.exitCode(), 0); // death by a signal would report its number
    EXPECT_FALSE(QFile::exists(pidFile));
    EXPECT_FALSE(QFile::exists(daemon.home + "/.ringlark/daemon.sock"));
}

TEST(HelperCommands, VersionPermissionsAndBadArgumentsPrintUsage)
{
    HelperRun version({"--version"});
    ASSERT_TRUE(version.finish());
    EXPECT_EQ(version.process.readAllStandardOutput(), "ringlark " RINGLARK_HELPER_VERSION "\n");

    // Without a display nothing can be shown; a Wayland session is refused even with XWayland's DISPLAY.
    for (const auto& environment : {std::map<QString, QString>{},
                                    std::map<QString, QString>{{"DISPLAY", ":0"}, {"XDG_SESSION_TYPE", "wayland"}}}) {
        HelperRun permissions({"permissions"}, environment);
        ASSERT_TRUE(permissions.finish());
        EXPECT_EQ(permissions.process.exitCode(), 0);
        EXPECT_EQ(json::parse(permissions.process.readAllStandardOutput().toStdString(), nullptr, false),
                  (json{{"screen_recording", false}, {"accessibility", false}}));
    }
    for (const QStringList& arguments : {QStringList{}, QStringList{"serve"}, QStringList{"daemon", "extra"}}) {
        HelperRun wrong(arguments);
        ASSERT_TRUE(wrong.finish());
        EXPECT_NE(wrong.process.exitCode(), 0) << arguments.join(' ').toStdString();
        EXPECT_TRUE(wrong.process.readAllStandardError().contains("usage"));
    }
}
