#include "daemon/supervisor/DaemonSupervisor.h"
#include "daemon/supervisor/Helpers.h"
#include "support/EventLoop.h"

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
    std::shared_ptr<std::chrono::system_clock::time_point> clock =
        std::make_shared<std::chrono::system_clock::time_point>(std::chrono::system_clock::time_point{} + 1000h);
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

    // A fake helper that records each launch, then runs `body`.
    QString helper(const QString& body)
    {
        writeScript(dir.filePath("helper"), "echo launched >> '" + dir.filePath("launches") + "'\n" + body);
        return dir.filePath("helper");
    }
    // Exits with 1 on its first `quick` launches, then runs until a signal.
    QString helperThatSettles(int quick)
    {
        return helper(QString("[ \"$(wc -l < '%1')\" -le %2 ] && exit 1\nexec sleep 30").arg(dir.filePath("launches")).arg(quick));
    }
    int launches()
    {
        QFile file(dir.filePath("launches"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
    }

    DaemonSupervisor& make(const QString& executable, std::chrono::nanoseconds second = 1ms)
    {
        DaemonSupervisor::Config config;
        config.files = {executable, dir.filePath("home/.ringlark")};
        config.second = second;
        config.now = [clock = clock] { return *clock; };
        config.stopGrace = 300ms;
        config.stale.probe = [probes = probes] { ++*probes; return answer(false); };
        supervisor = std::make_unique<DaemonSupervisor>(config);
        QObject::connect(supervisor.get(), &DaemonSupervisor::stateChanged, [this](const State& s) { states.push_back(s); });
        return *supervisor;
    }
    bool reaches(const State& s, std::chrono::milliseconds timeout = 3000ms)
    {
        return spinUntil([&] { return supervisor->state() == s; }, timeout);
    }
    bool running(std::chrono::milliseconds timeout = 3000ms)
    {
        return spinUntil([&] { return supervisor->state().kind == State::Case::running; }, timeout);
    }
    // The child of launch `n` runs and has got past its launch record.
    bool settled(int n)
    {
        return spinUntil([&] { return launches() == n && supervisor->state().kind == State::Case::running; });
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

    const std::vector<State> expected{State::backoff(1, 1), State::backoff(2, 1), State::backoff(4, 1), State::backoff(8, 1),
                                      State::backoff(16, 1), State::backoff(30, 1), State::backoff(30, 1)};
    const auto seen = backoffs();
    EXPECT_EQ(std::vector<State>(seen.begin(), seen.begin() + 7), expected);
    EXPECT_EQ(states[0], State::starting());
    EXPECT_EQ(states[1].kind, State::Case::running);
    EXPECT_EQ(*probes, 1);

    EXPECT_EQ(log.count(QString("daemon started (pid %1)").arg(states[1].pid)), 1);
    EXPECT_EQ(log.count("daemon exited with 1; restarting in 30s"), 2);
    QFile output(dir.filePath("home/.ringlark/daemon.log"));
    ASSERT_TRUE(output.open(QIODevice::ReadOnly));
    const QString text = output.readAll();
    EXPECT_TRUE(text.startsWith(QString("out %1\nerr %1\n").arg(states[1].pid))) << text.toStdString();
    EXPECT_GE(text.count('\n'), 14);
}

TEST_F(SupervisorTest, ARunLongerThanAMinuteResetsTheCountForGood)
{
    make(helperThatSettles(2)).start();
    ASSERT_TRUE(settled(3));
    *clock += 61s;
    ::kill(supervisor->state().pid, SIGTERM);
    ASSERT_TRUE(reaches(State::backoff(1, 15)));

    // Launches keep failing after that run: the count stays reset because
    // it is measured from the last successful launch.
    QFile::setPermissions(dir.filePath("helper"), QFile::ReadOwner);
    ASSERT_TRUE(spinUntil([&] { return backoffs().size() == 5; }));
    EXPECT_EQ(backoffs()[3], State::backoff(1, -1));
    EXPECT_EQ(backoffs()[4], State::backoff(1, -1));
}

TEST_F(SupervisorTest, ARunOfExactlyAMinuteKeepsCounting)
{
    make(helperThatSettles(2)).start();
    ASSERT_TRUE(settled(3));
    *clock += 60s;
    ::kill(supervisor->state().pid, SIGTERM);
    EXPECT_TRUE(reaches(State::backoff(4, 15)));
}

TEST_F(SupervisorTest, FailedLaunchesAreLoggedTwiceAndRetried)
{
    make(dir.filePath("missing")).start();
    ASSERT_TRUE(spinUntil([&] { return backoffs().size() >= 3; }));
    EXPECT_EQ(backoffs()[0], State::backoff(1, -1));
    EXPECT_EQ(backoffs()[1], State::backoff(2, -1));
    EXPECT_EQ(backoffs()[2], State::backoff(4, -1));
    ASSERT_GE(DaemonLogCapture::lines().size(), 2u);
    EXPECT_EQ(DaemonLogCapture::lines()[0].type, QtCriticalMsg);
    EXPECT_TRUE(DaemonLogCapture::lines()[0].text.startsWith("daemon failed to launch: "));
    EXPECT_GT(DaemonLogCapture::lines()[0].text.size(), QString("daemon failed to launch: ").size());
    EXPECT_EQ(DaemonLogCapture::lines()[1], (DaemonLogCapture::Line{QtCriticalMsg, "daemon exited with -1; restarting in 1s"}));
    supervisor->stop();

    writeFile(dir.filePath("not-executable"), "#!/bin/sh\n");
    states.clear();
    make(dir.filePath("not-executable")).start();
    EXPECT_TRUE(reaches(State::backoff(1, -1)));
}

TEST_F(SupervisorTest, LaunchesEvenWhenTheLogCannotBeOpened)
{
    writeFile(dir.filePath("home"), "a plain file");
    make(helper("exec sleep 30")).start();
    EXPECT_TRUE(running());
}

TEST_F(SupervisorTest, RestartBringsARunningChildBackAfterTheFirstDelay)
{
    make(helperThatSettles(3)).restart(); // nothing runs yet: starts supervision
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
    make(helperThatSettles(2)).start();
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
    ASSERT_TRUE(running());
    const auto pid = supervisor->state().pid;
    ASSERT_TRUE(spinUntil([&] { return commandLine(pid).startsWith("sleep"); })); // the trap is set
    const auto before = std::chrono::steady_clock::now();
    supervisor->stop();
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GE(waited, 280ms);
    EXPECT_LT(waited, 1000ms);
    spinFor(50ms);
    EXPECT_EQ(::kill(pid, 0), 0);
    EXPECT_EQ(supervisor->state().kind, State::Case::running);
}

TEST_F(SupervisorTest, StartTwiceCreatesOneChild)
{
    make(helper("exec sleep 30"));
    supervisor->start();
    supervisor->start();
    ASSERT_TRUE(running());
    spinFor(100ms);
    EXPECT_EQ(launches(), 1);
    EXPECT_EQ(*probes, 1);
}

TEST_F(SupervisorTest, OnlyExitStatusThreeClearsAStaleDaemonFirst)
{
    make(helper(QString("case \"$(wc -l < '%1')\" in 1) exit 3;; 2) exit 1;; esac\nexec sleep 30").arg(dir.filePath("launches")))).start();
    ASSERT_TRUE(settled(3));
    EXPECT_EQ(backoffs(), (std::vector<State>{State::backoff(1, 3), State::backoff(2, 1)}));
    EXPECT_EQ(*probes, 2);
}
