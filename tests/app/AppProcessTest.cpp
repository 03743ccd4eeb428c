// The application as a user runs it: its own process, a temporary home and
// runtime directory, a spare port, no display.
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

namespace ringlark {
namespace {

bool eventually(const std::function<bool()>& condition, int ms = 10000)
{
    for (int waited = 0; waited < ms; waited += 20) {
        if (condition())
            return true;
        QThread::msleep(20);
    }
    return condition();
}

bool alive(qint64 pid) { return pid > 0 && ::kill(pid_t(pid), 0) == 0; }

struct AppProcessTest : ::testing::Test {
    QTemporaryDir dir;

    void SetUp() override
    {
        QTcpServer probe, phoneProbe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost) && phoneProbe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
        phonePort = phoneProbe.serverPort();
    }

    QProcessEnvironment environment() const
    {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", dir.filePath("home"));
        env.insert("XDG_RUNTIME_DIR", dir.filePath("run"));
        env.insert("XDG_CONFIG_HOME", dir.filePath("home/.config"));
        env.insert("RINGLARK_PORT", QString::number(port));
        env.insert("RINGLARK_PHONE_PORT", QString::number(phonePort));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("RINGLARK_UNDER_TEST");
        return env;
    }

    void start(QProcess& app)
    {
        QDir().mkpath(dir.filePath("home"));
        QDir().mkpath(dir.filePath("run"));
        QFile::setPermissions(dir.filePath("run"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        app.setProcessEnvironment(environment());
        app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.start(RINGLARK_APP, {});
        ASSERT_TRUE(app.waitForStarted(5000));
    }

    qint64 daemonPid() const
    {
        QFile file(dir.filePath("home/.ringlark/daemon.pid"));
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        return file.readAll().trimmed().toLongLong();
    }

    quint16 port = 0, phonePort = 0;
};

TEST_F(AppProcessTest, ASecondCopyLeavesTheFirstAloneAndSigtermOrSighupStopsTheDaemon)
{
    QProcess first;
    start(first);
    ASSERT_TRUE(eventually([&] { return alive(daemonPid()); })) << "the daemon never started";
    const qint64 daemon = daemonPid();

    QProcess second;
    start(second);
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(daemonPid(), daemon);
    EXPECT_EQ(first.state(), QProcess::Running);

    ::kill(pid_t(first.processId()), SIGTERM);
    ASSERT_TRUE(first.waitForFinished(5000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_TRUE(eventually([&] { return !alive(daemon); }, 3000)) << "the daemon outlived the application";

    // The hang-up of a logout quits the same way.
    QProcess next;
    start(next);
    ASSERT_TRUE(eventually([&] { return alive(daemonPid()) && daemonPid() != daemon; }));
    const qint64 nextDaemon = daemonPid();
    ::kill(pid_t(next.processId()), SIGHUP);
    ASSERT_TRUE(next.waitForFinished(5000));
    EXPECT_EQ(next.exitCode(), 0);
    EXPECT_TRUE(eventually([&] { return !alive(nextDaemon); }, 3000));
}

TEST_F(AppProcessTest, VersionAndUsageNeedNoDisplayAndStartNothing)
{
    QProcess app;
    app.setProcessEnvironment(environment());
    app.start(RINGLARK_APP, {"--version"});
    ASSERT_TRUE(app.waitForFinished(5000));
    EXPECT_EQ(app.exitCode(), 0);
    EXPECT_EQ(app.readAllStandardOutput(), QByteArray("Ringlark " RINGLARK_VERSION "\n"));

    app.start(RINGLARK_APP, {"--no-such-option"});
    ASSERT_TRUE(app.waitForFinished(5000));
    EXPECT_EQ(app.exitCode(), 2);
    EXPECT_FALSE(QFile::exists(dir.filePath("home/.ringlark")));
}

} // namespace
} // namespace ringlark
