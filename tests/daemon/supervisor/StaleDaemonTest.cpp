#include "daemon/supervisor/Helpers.h"
#include "daemon/supervisor/StaleDaemon.h"
#include "support/EventLoop.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

using namespace ringlark;
using namespace ringlark::test;

namespace {

// A live process whose command line starts with `name`.
struct StandIn {
    explicit StandIn(const QString& name, bool ignoreTerm = false)
    {
        process.start("/bin/bash", {"-c", QString(ignoreTerm ? "trap '' TERM; " : "") + "exec -a " + name + " sleep 30"});
        process.waitForStarted();
        pid = static_cast<std::int32_t>(process.processId());
        // Signals must not reach bash before it has exec'd.
        spinUntil([&] { return commandLine(pid).startsWith(name); });
    }
    ~StandIn() { process.kill(); process.waitForFinished(); }
    bool alive() { return process.state() == QProcess::Running; }
    QProcess process;
    std::int32_t pid = 0;
};

struct StaleCleanupTest : ::testing::Test {
    QTemporaryDir dir;
    DaemonLogCapture log;
    int probes = 0;

    void run(std::function<bool()> answered, const QByteArray& pidFile, std::chrono::milliseconds pause = 1ms,
             std::int64_t ownPid = QCoreApplication::applicationPid())
    {
        StaleDaemonOptions o{dir.filePath("daemon.pid"), [this, answered] { ++probes; return answer(answered()); }, ownPid, pause};
        writeFile(o.pidFile, pidFile);
        ASSERT_TRUE(await(stopStale(std::move(o)), 5s));
    }
};

} // namespace

TEST(StaleDaemonTest, ParsesPidFilesStrictly)
{
    EXPECT_EQ(parsePid(u" +4242\n"), 4242);
    EXPECT_EQ(parsePid(u"\t-17\r\n"), -17);
    EXPECT_EQ(parsePid(u"2147483647"), 2147483647);
    EXPECT_EQ(parsePid(u"-2147483648"), std::numeric_limits<std::int32_t>::min());
    for (const char16_t* bad : {u"2147483648", u"-2147483649", u"99999999999999999999", u"4242a", u"", u" \n", u"+",
                                u"4 2", u"+-1", u"0x10", u"\u0664\u0662"})
        EXPECT_EQ(parsePid(bad), std::nullopt) << QString::fromUtf16(bad).toStdString();
}

TEST_F(StaleCleanupTest, OnlyAnotherProcessNamedRinglarkIsSignalled)
{
    StandIn capitals("RINGLARK-stand-in"), daemon("ringlark-stand-in");
    run([] { return false; }, QByteArray::number(daemon.pid)); // nothing on the port: nothing to stop
    run([] { return true; }, QByteArray::number(capitals.pid));
    EXPECT_EQ(StaleDaemonOptions{}.ownPid, QCoreApplication::applicationPid());
    run([] { return true; }, QByteArray::number(daemon.pid), 1ms, daemon.pid);
    spinFor(50ms);
    EXPECT_EQ(probes, 3);
    EXPECT_EQ(log.lines, QStringList(2, "critical: port 8641 is busy but no stale Ringlark daemon was found"));
    EXPECT_TRUE(capitals.alive() && daemon.alive());
}

TEST_F(StaleCleanupTest, SignalledDaemonIsWatchedUntilItExitsOrTheProbeBudgetRunsOut)
{
    StandIn daemon("ringlark-stand-in"), stubborn("ringlark-stand-in", true);
    run([&] { return daemon.alive(); }, " " + QByteArray::number(daemon.pid) + "\n", 150ms);
    EXPECT_EQ(probes, 3); // exited during the first pause
    EXPECT_EQ(daemon.process.exitCode(), SIGTERM);

    run([] { return true; }, QByteArray::number(stubborn.pid));
    EXPECT_EQ(probes, 3 + 41);
    spinFor(50ms);
    EXPECT_TRUE(stubborn.alive());
    EXPECT_EQ(log.lines, QStringList({QString("info: stopping stale daemon %1").arg(daemon.pid),
                                      QString("info: stopping stale daemon %1").arg(stubborn.pid)}));
}
