#include "daemon/supervisor/Helpers.h"
#include "daemon/supervisor/StaleDaemon.h"
#include "support/EventLoop.h"
#include "support/FakeDaemon.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

using namespace ringlark;
using namespace ringlark::test;
using namespace std::chrono_literals;

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
    ~StandIn()
    {
        process.kill();
        process.waitForFinished();
    }
    bool alive() { return process.state() == QProcess::Running; }
    QProcess process;
    std::int32_t pid = 0;
};

struct StaleCleanupTest : ::testing::Test {
    QTemporaryDir dir;
    DaemonLogCapture log;
    int probes = 0;

    void run(std::function<bool()> answered, const QByteArray& pidFile, std::function<void(StaleDaemonOptions&)> adjust = {})
    {
        StaleDaemonOptions o{dir.filePath("daemon.pid"), {}, QCoreApplication::applicationPid(), 1ms};
        writeFile(o.pidFile, pidFile);
        o.probe = [this, answered] { ++probes; return answer(answered()); };
        if (adjust)
            adjust(o);
        ASSERT_TRUE(await(stopStale(std::move(o)), 5s));
    }
};

const QString noStaleDaemon = "critical: port 8641 is busy but no stale Ringlark daemon was found";

} // namespace

TEST(StaleDaemonTest, ParsesPidFilesStrictly)
{
    EXPECT_EQ(parsePid(u" 4242\n"), 4242);
    EXPECT_EQ(parsePid(u"+4242"), 4242);
    EXPECT_EQ(parsePid(u"\t-17\r\n"), -17);
    EXPECT_EQ(parsePid(u"2147483647"), 2147483647);
    EXPECT_EQ(parsePid(u"-2147483648"), std::numeric_limits<std::int32_t>::min());
    for (const char16_t* bad : {u"2147483648", u"-2147483649", u"99999999999999999999", u"4242a", u"", u" \n",
                                u"+", u"4 2", u"+-1", u"0x10", u"\u0664\u0662"})
        EXPECT_EQ(parsePid(bad), std::nullopt) << QString::fromUtf16(bad).toStdString();
}

TEST(StaleDaemonTest, CommandLineAndProbe)
{
    StandIn standIn("ringlark-stand-in");
    EXPECT_EQ(commandLine(standIn.pid), "ringlark-stand-in 30\n");
    EXPECT_EQ(commandLine(2147483647), ""); // no such process
    EXPECT_EQ(commandLine(standIn.pid, "/nonexistent/ps"), "");

    FakeDaemon daemon;
    const auto probe = statusProbe(daemon.base());
    EXPECT_EQ(await(probe()), false); // 404
    daemon.set("/v1/status", "{\"version\": 1}");
    EXPECT_EQ(await(probe()), false);
    daemon.set("/v1/status", statusJson());
    EXPECT_EQ(await(probe()), true);
}

TEST_F(StaleCleanupTest, NothingAnsweringEndsAfterOneProbe)
{
    run([] { return false; }, "garbage");
    EXPECT_EQ(probes, 1);
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_F(StaleCleanupTest, UnidentifiedProcessesAreNeverSignalled)
{
    StandIn capitals("RINGLARK-stand-in"), daemon("ringlark-stand-in");
    const auto pid = QByteArray::number(daemon.pid);
    const auto yes = [] { return true; };
    run(yes, pid + "x");
    run(yes, "");
    run(yes, QByteArray::number(capitals.pid));
    EXPECT_EQ(StaleDaemonOptions{}.ownPid, QCoreApplication::applicationPid());
    run(yes, pid, [&](auto& o) { o.ownPid = daemon.pid; });
    run(yes, pid, [](auto& o) { o.psProgram = "/nonexistent/ps"; });
    run(yes, pid, [](auto& o) { QFile::remove(o.pidFile); });
    spinFor(50ms);
    EXPECT_EQ(probes, 6);
    EXPECT_EQ(log.lines(), QStringList(6, noStaleDaemon));
    EXPECT_TRUE(capitals.alive() && daemon.alive());
}

TEST_F(StaleCleanupTest, StaleDaemonThatExitsIsProbedTwiceAfterTheSignal)
{
    StandIn daemon("ringlark-stand-in");
    run([&] { return daemon.alive(); }, " " + QByteArray::number(daemon.pid) + "\n", [](auto& o) { o.pause = 150ms; });
    EXPECT_EQ(probes, 3);
    EXPECT_EQ(daemon.process.exitCode(), SIGTERM);
    EXPECT_EQ(log.lines(), QStringList{QString("info: stopping stale daemon %1").arg(daemon.pid)});
}

TEST_F(StaleCleanupTest, StubbornDaemonIsLeftAfterTheProbeBudget)
{
    StandIn daemon("ringlark-stand-in", true);
    run([] { return true; }, QByteArray::number(daemon.pid));
    EXPECT_EQ(probes, 41);
    spinFor(50ms);
    EXPECT_TRUE(daemon.alive());
    EXPECT_EQ(log.lines().size(), 1);
}
