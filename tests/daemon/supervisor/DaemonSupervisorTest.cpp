#include "daemon/supervisor/DaemonSupervisor.h"
#include "daemon/supervisor/Helpers.h"
#include "support/EventLoop.h"

#include <QHostAddress>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

using namespace ringlark;
using namespace ringlark::test;
using namespace std::chrono_literals;
using State = DaemonSupervisor::State;

namespace ringlark {
void PrintTo(const State& s, std::ostream* os)
{
    *os << "State{" << int(s.kind) << ", pid " << s.pid << ", " << s.seconds << "s, code " << s.exitCode << "}";
}
} // namespace ringlark

namespace {

struct SupervisorTest : ::testing::Test {
    QTemporaryDir dir;
    DaemonLogCapture log;
    std::shared_ptr<std::chrono::system_clock::time_point> clock = std::make_shared<std::chrono::system_clock::time_point>();
    std::shared_ptr<int> probes = std::make_shared<int>(0);
    std::vector<State> states;
    std::unique_ptr<DaemonSupervisor> supervisor;

    ~SupervisorTest() override
    {
        supervisor.reset();
        for (const auto& s : states)
            if (s.kind == State::Case::running)
                ::kill(s.pid, SIGKILL);
    }

    // A fake helper that records each launch, exits with 1 on its first
    // `quick` launches, then runs `body`.
    QString helper(const QString& body, int quick = 0)
    {
        const QString launches = dir.filePath("launches");
        writeScript(dir.filePath("helper"), QString("echo launched >> '%1'\n[ \"$(wc -l < '%1')\" -le %2 ] && exit 1\n%3")
                                                .arg(launches).arg(quick).arg(body));
        return dir.filePath("helper");
    }
    int launches()
    {
        QFile file(dir.filePath("launches"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
    }

    DaemonSupervisor& make(DaemonSupervisor::Config config)
    {
        supervisor = std::make_unique<DaemonSupervisor>(config);
        QObject::connect(supervisor.get(), &DaemonSupervisor::stateChanged, [this](const State& s) { states.push_back(s); });
        return *supervisor;
    }
    DaemonSupervisor::Config configFor(const QString& executable, std::chrono::nanoseconds second = 1ms)
    {
        DaemonSupervisor::Config config;
        config.files = {executable, dir.filePath("home/.ringlark")};
        config.second = second;
        config.now = [clock = clock] { return *clock; };
        config.stopGrace = 300ms;
        config.stale.probe = [probes = probes] { ++*probes; return answer(false); };
        return config;
    }
    DaemonSupervisor& make(const QString& executable, std::chrono::nanoseconds second = 1ms)
    {
        return make(configFor(executable, second));
    }

    bool reaches(const State& s) { return spinUntil([&] { return supervisor->state() == s; }, 3000ms); }
    // The child of launch `n` runs and has got past its launch record.
    bool settled(int n)
    {
        return spinUntil([&] { return launches() == n && supervisor->state().kind == State::Case::running; }, 3000ms);
    }
    std::vector<State> backoffs() const
    {
        std::vector<State> out;
        std::copy_if(states.begin(), states.end(), std::back_inserter(out), [](const State& s) { return s.kind == State::Case::backoff; });
        return out;
    }
};

} // namespace

TEST_F(SupervisorTest, QuickExitsBackOffUpToThirtySecondsAndAppendToTheLog)
{
    make(helper("echo \"out $$\"; echo \"err $$\" >&2; exit 1")).start();
    ASSERT_TRUE(spinUntil([&] { return backoffs().size() >= 7; }));
    supervisor->stop();

    auto seen = backoffs();
    seen.resize(7);
    EXPECT_EQ(seen, (std::vector<State>{State::backoff(1, 1), State::backoff(2, 1), State::backoff(4, 1), State::backoff(8, 1),
                                        State::backoff(16, 1), State::backoff(30, 1), State::backoff(30, 1)}));
    EXPECT_EQ(states[0], State::starting());
    EXPECT_EQ(*probes, 1);
    EXPECT_EQ(log.lines()[0], QString("info: daemon started (pid %1)").arg(states[1].pid));
    EXPECT_EQ(log.lines()[1], "critical: daemon exited with 1; restarting in 1s");
    EXPECT_EQ(log.lines().count("critical: daemon exited with 1; restarting in 30s"), 2);

    QFile output(dir.filePath("home/.ringlark/daemon.log"));
    ASSERT_TRUE(output.open(QIODevice::ReadOnly));
    const QString text = output.readAll();
    EXPECT_TRUE(text.startsWith(QString("out %1\nerr %1\nout ").arg(states[1].pid))) << text.toStdString();
}

TEST_F(SupervisorTest, OnlyARunLongerThanAMinuteResetsTheCount)
{
    make(helper("exec sleep 30", 2)).start();
    ASSERT_TRUE(settled(3));
    *clock += 60s;
    ::kill(supervisor->state().pid, SIGTERM);
    ASSERT_TRUE(reaches(State::backoff(4, 15)));

    ASSERT_TRUE(settled(4));
    *clock += 60s + 1ms;
    ::kill(supervisor->state().pid, SIGTERM);
    ASSERT_TRUE(reaches(State::backoff(1, 15)));

    // Failed launches after that run keep the count reset: it is measured
    // from the last successful launch.
    QFile::setPermissions(dir.filePath("helper"), QFile::ReadOwner);
    ASSERT_TRUE(spinUntil([&] { return backoffs().size() == 6; }));
    EXPECT_EQ(backoffs()[4], State::backoff(1, -1));
    EXPECT_EQ(backoffs()[5], State::backoff(1, -1));
}

TEST_F(SupervisorTest, FailedLaunchesAreLoggedTwiceAndRetried)
{
    make(dir.filePath("missing")).start();
    ASSERT_TRUE(spinUntil([&] { return backoffs().size() >= 3; }));
    supervisor->stop();
    EXPECT_EQ(backoffs()[0], State::backoff(1, -1));
    EXPECT_EQ(backoffs()[1], State::backoff(2, -1));
    EXPECT_EQ(backoffs()[2], State::backoff(4, -1));
    ASSERT_GE(log.lines().size(), 2);
    EXPECT_TRUE(log.lines()[0].startsWith("critical: daemon failed to launch: ")) << log.lines()[0].toStdString();
    EXPECT_GT(log.lines()[0].size(), 40);
    EXPECT_EQ(log.lines()[1], "critical: daemon exited with -1; restarting in 1s");

    writeFile(dir.filePath("not-executable"), "#!/bin/sh\n");
    make(dir.filePath("not-executable")).start();
    EXPECT_TRUE(reaches(State::backoff(1, -1)));
}

TEST_F(SupervisorTest, StartTwiceCreatesOneChildEvenWithoutALog)
{
    writeFile(dir.filePath("home"), "a plain file");
    make(helper("exec sleep 30"));
    supervisor->start();
    supervisor->start();
    ASSERT_TRUE(settled(1));
    spinFor(100ms);
    EXPECT_EQ(launches(), 1);
    EXPECT_EQ(*probes, 1);
}

TEST_F(SupervisorTest, StopAndStartDuringTheStaleCleanupLaunchOneChild)
{
    auto config = configFor(helper("exec sleep 30"));
    config.stale.probe = [probes = probes] { ++*probes; return answerLater(false, 50ms); };
    make(config).start();
    supervisor->stop();
    supervisor->start();
    ASSERT_TRUE(settled(1));
    spinFor(150ms);
    EXPECT_EQ(launches(), 1);
    EXPECT_EQ(*probes, 2);
}

TEST_F(SupervisorTest, RestartBringsARunningChildBackAfterTheFirstDelay)
{
    make(helper("exec sleep 30", 3)).restart(); // nothing runs yet: starts supervision
    ASSERT_TRUE(settled(4));
    EXPECT_EQ(supervisor->failures(), 3);

    supervisor->restart();
    ASSERT_TRUE(reaches(State::backoff(1, 15)));
    EXPECT_TRUE(settled(5));
}

TEST_F(SupervisorTest, StopDuringBackoffLaunchesNothing)
{
    make(helper("exit 1"), 100ms).start();
    ASSERT_TRUE(reaches(State::backoff(1, 1)));
    supervisor->stop();
    spinFor(300ms);
    EXPECT_EQ(launches(), 1);
    EXPECT_EQ(supervisor->state(), State::backoff(1, 1));
}

TEST_F(SupervisorTest, StopEndsARunningChildWithoutCountingItsExit)
{
    make(helper("exec sleep 30", 2)).start();
    ASSERT_TRUE(settled(3));
    const auto pid = supervisor->state().pid;
    supervisor->stop();
    EXPECT_NE(::kill(pid, 0), 0); // gone before stop returned

    // The exit is only seen later; a start before that changes nothing.
    supervisor->start();
    ASSERT_TRUE(reaches(State::stopped()));
    spinFor(50ms);
    EXPECT_EQ(supervisor->state(), State::stopped());
    EXPECT_EQ(supervisor->failures(), 2);
    EXPECT_EQ(launches(), 3);

    supervisor->start();
    EXPECT_TRUE(settled(4));
}

TEST_F(SupervisorTest, StopWaitsBoundedAndNeverKills)
{
    make(helper("trap '' TERM\nexec sleep 30")).start();
    ASSERT_TRUE(settled(1));
    const auto pid = supervisor->state().pid;
    ASSERT_TRUE(spinUntil([&] { return commandLine(pid).startsWith("sleep"); })); // the trap is set
    const auto before = std::chrono::steady_clock::now();
    supervisor->stop();
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GE(waited, 280ms);
    EXPECT_LT(waited, 1000ms);
    spinFor(50ms);
    EXPECT_EQ(::kill(pid, 0), 0);
    EXPECT_EQ(supervisor->state(), State::running(pid));
}

TEST_F(SupervisorTest, OnlyExitStatusThreeClearsAStaleDaemonFirst)
{
    make(helper(QString("[ \"$(wc -l < '%1')\" -eq 1 ] && exit 3\n[ \"$(wc -l < '%1')\" -le 3 ] && exit 1\nexec sleep 30")
                    .arg(dir.filePath("launches"))))
        .start();
    ASSERT_TRUE(settled(4));
    EXPECT_EQ(backoffs(), (std::vector<State>{State::backoff(1, 3), State::backoff(2, 1), State::backoff(4, 1)}));
    EXPECT_EQ(*probes, 2);
}

TEST_F(SupervisorTest, RealHelperServesUntilStopped)
{
    QTcpServer reserve;
    ASSERT_TRUE(reserve.listen(QHostAddress::LocalHost));
    const auto port = QByteArray::number(reserve.serverPort());
    reserve.close();
    // The daemon inherits the application's environment unchanged.
    const auto saved = std::make_pair(qgetenv("HOME"), qgetenv("RINGLARK_PORT"));
    qputenv("HOME", dir.path().toUtf8());
    qputenv("RINGLARK_PORT", port);
    const auto restore = qScopeGuard([&] {
        qputenv("HOME", saved.first);
        saved.second.isNull() ? qunsetenv("RINGLARK_PORT") : qputenv("RINGLARK_PORT", saved.second);
    });

    DaemonSupervisor::Config config;
    config.files = {RINGLARK_TEST_HELPER, dir.filePath(".ringlark")};
    config.base = QUrl("http://127.0.0.1:" + port);
    make(config).start();
    ASSERT_TRUE(spinUntil([&] { return supervisor->state().kind == State::Case::running; }));
    const auto pid = supervisor->state().pid;

    const auto probe = statusProbe(config.base);
    EXPECT_TRUE(spinUntil([&] { return await(probe(), 1000ms).value_or(false); }));
    QFile pidFile(config.files.pidFile());
    ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(parsePid(QString(pidFile.readAll())), pid);

    supervisor->stop();
    EXPECT_TRUE(reaches(State::stopped()));
    EXPECT_EQ(await(probe(), 1000ms), false);
    EXPECT_EQ(log.lines(), QStringList{QString("info: daemon started (pid %1)").arg(pid)});
}
