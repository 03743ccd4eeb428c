#include "daemon/supervisor/Helpers.h"
#include "daemon/supervisor/StaleDaemon.h"
#include "support/EventLoop.h"
#include "support/FakeDaemon.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace ringlark;
using namespace ringlark::test;

namespace {

// A live process whose command line starts with `name`; killed at the end.
class StandIn {
public:
    explicit StandIn(const QString& name, bool ignoreTerm = false)
    {
        m_process.start("/bin/bash", {"-c", QString(ignoreTerm ? "trap '' TERM; " : "") + "exec -a " + name + " sleep 30"});
        m_process.waitForStarted();
        // Signals must not reach bash before it has set up and exec'd.
        spinUntil([&] { return commandLine(pid()).startsWith(name); });
    }
    ~StandIn()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    std::int32_t pid() const { return static_cast<std::int32_t>(m_process.processId()); }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
};

struct StaleCleanupTest : ::testing::Test {
    QTemporaryDir dir;
    DaemonLogCapture log;
    int probes = 0;

    StaleDaemonOptions options(std::function<bool()> answered, const QByteArray& pidFile)
    {
        StaleDaemonOptions o;
        o.pidFile = dir.filePath("daemon.pid");
        writeFile(o.pidFile, pidFile);
        o.probe = [this, answered] { ++probes; return answer(answered()); };
        o.ownPid = QCoreApplication::applicationPid();
        o.pause = std::chrono::milliseconds(1);
        return o;
    }
    bool run(StaleDaemonOptions o) { return await(stopStale(std::move(o)), std::chrono::seconds(5)); }
};

const QString noStaleDaemon = "port 8641 is busy but no stale Ringlark daemon was found";

} // namespace

TEST(StaleDaemonTest, ParsesPidFilesStrictly)
{
    EXPECT_EQ(parsePid(u" 4242\n"), 4242);
    EXPECT_EQ(parsePid(u"+4242"), 4242);
    EXPECT_EQ(parsePid(u"\t-17\r\n"), -17);
    EXPECT_EQ(parsePid(u"2147483647"), 2147483647);
    EXPECT_EQ(parsePid(u"-2147483648"), std::numeric_limits<std::int32_t>::min());
    for (const char16_t* bad : {u"2147483648", u"-2147483649", u"99999999999999999999", u"4242a", u"", u" \n",
                                u"+", u"-", u"4 2", u"+-1", u"0x10", u"\u0664\u0662"})
        EXPECT_EQ(parsePid(bad), std::nullopt) << QString::fromUtf16(bad).toStdString();
}

TEST(StaleDaemonTest, CommandLineOfAProcess)
{
    StandIn standIn("ringlark-stand-in");
    EXPECT_EQ(commandLine(standIn.pid()), "ringlark-stand-in 30\n");
    EXPECT_EQ(commandLine(2147483647), ""); // no such process
    EXPECT_EQ(commandLine(standIn.pid(), "/nonexistent/ps"), "");
}

TEST(StaleDaemonTest, ProductionProbeNeedsADecodableStatus)
{
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
    ASSERT_TRUE(run(options([] { return false; }, "garbage")));
    EXPECT_EQ(probes, 1);
    EXPECT_TRUE(DaemonLogCapture::lines().empty());
}

TEST_F(StaleCleanupTest, UnidentifiedProcessesAreNeverSignalled)
{
    StandIn capitals("RINGLARK-stand-in");
    StandIn daemon("ringlark-stand-in");
    const auto pid = [](const StandIn& s) { return QByteArray::number(s.pid()); };

    std::vector<StaleDaemonOptions> cases;
    cases.push_back(options([] { return true; }, pid(daemon) + "x"));
    cases.push_back(options([] { return true; }, ""));
    cases.push_back(options([] { return true; }, pid(capitals)));
    cases.push_back(options([] { return true; }, pid(daemon)));
    cases.back().ownPid = daemon.pid();
    cases.push_back(options([] { return true; }, pid(daemon)));
    cases.back().psProgram = "/nonexistent/ps";
    cases.push_back(options([] { return true; }, pid(daemon)));
    QFile::remove(cases.back().pidFile);

    for (auto& o : cases)
        ASSERT_TRUE(run(std::move(o)));
    spinFor(std::chrono::milliseconds(50));
    EXPECT_EQ(probes, 6);
    EXPECT_EQ(log.count(noStaleDaemon), 6);
    EXPECT_EQ(DaemonLogCapture::lines().size(), 6u);
    EXPECT_EQ(DaemonLogCapture::lines().front().type, QtCriticalMsg);
    EXPECT_EQ(capitals.process().state(), QProcess::Running);
    EXPECT_EQ(daemon.process().state(), QProcess::Running);
}

TEST_F(StaleCleanupTest, StaleDaemonThatExitsIsProbedTwiceAfterTheSignal)
{
    StandIn daemon("ringlark-stand-in");
    const auto pid = daemon.pid();
    auto o = options([&] { return daemon.process().state() == QProcess::Running; }, " " + QByteArray::number(pid) + "\n");
    o.pause = std::chrono::milliseconds(150);
    ASSERT_TRUE(run(std::move(o)));
    EXPECT_EQ(probes, 3);
    EXPECT_EQ(daemon.process().exitCode(), 15);
    ASSERT_EQ(DaemonLogCapture::lines().size(), 1u);
    EXPECT_EQ(DaemonLogCapture::lines()[0], (DaemonLogCapture::Line{QtInfoMsg, QString("stopping stale daemon %1").arg(pid)}));
}

TEST_F(StaleCleanupTest, StubbornDaemonIsLeftAfterTheProbeBudget)
{
    StandIn daemon("ringlark-stand-in", true);
    ASSERT_TRUE(run(options([] { return true; }, QByteArray::number(daemon.pid()))));
    EXPECT_EQ(probes, 41);
    spinFor(std::chrono::milliseconds(50));
    EXPECT_EQ(daemon.process().state(), QProcess::Running);
    EXPECT_EQ(log.count(QString("stopping stale daemon %1").arg(daemon.pid())), 1);
}
