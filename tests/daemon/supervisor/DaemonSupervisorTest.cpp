#include "daemon/supervisor/DaemonSupervisor.h"
#include "support/EventLoop.h"
#include "support/StubDaemon.h"
#include "support/Files.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

using namespace ringlark;
using namespace ringlark::test;
using State = DaemonSupervisor::State;
using States = std::vector<State>;

namespace ringlark {
void PrintTo(const State& s, std::ostream* os) { *os << int(s.kind) << " pid " << s.pid << ' ' << s.seconds << "s code " << s.exitCode; }
} // namespace ringlark

namespace {

QCoro::Task<bool> answer(bool answered, std::chrono::milliseconds delay = {})
{
    if (delay.count() > 0)
        co_await sleepFor(delay);
    co_return answered;
}

// Records the supervision log as "info: text" / "critical: text" lines while alive.
struct DaemonTest : ::testing::Test {
    static inline QStringList log;
    static inline QtMessageHandler previous = nullptr;
    QTemporaryDir dir;

    DaemonTest()
    {
        log.clear();
        previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (qstrcmp(context.category, "com.ringlark.mac.daemon") != 0)
                return previous(type, context, text);
            log << (type == QtInfoMsg ? "info: " : type == QtCriticalMsg ? "critical: " : "other: ") + text;
        });
    }
    ~DaemonTest() override { qInstallMessageHandler(previous); }
};

// A live process: a copy of tail at `executable`, following files in `dir`,
// started through a shell that runs `exec` with `execArgs` (argv included).
struct StandIn {
    StandIn(const QTemporaryDir& dir, const QString& executable, const QString& execArgs, bool ignoreTerm = false)
    {
        QDir().mkpath(QFileInfo(executable).path());
        QFile::copy("/usr/bin/tail", executable);
        for (const char* name : {"daemon", "mcp", "notes"})
            writeFile(dir.filePath(name), "");
        process.setWorkingDirectory(dir.path());
        process.start("/bin/bash", {"-c", QString(ignoreTerm ? "trap '' TERM; " : "") + "exec " + execArgs});
        pid = process.waitForStarted() ? static_cast<std::int32_t>(process.processId()) : 0;
        // Signals must not reach the shell before it has exec'd; the new
        // arguments show a moment after the new executable.
        spinUntil([&] {
            const auto seen = inspectProcess(pid);
            return seen && seen->executable.startsWith(QFile::encodeName(executable)) && seen->arguments.size() > 2;
        });
    }
    ~StandIn() { process.kill(); process.waitForFinished(); }
    bool alive() { return process.state() == QProcess::Running; }
    QProcess process;
    std::int32_t pid = 0;
};

struct StaleCleanupTest : DaemonTest {
    int probes = 0;

    void run(std::function<bool()> answered, const QByteArray& pidFile, std::chrono::milliseconds pause = 1ms,
             std::int64_t ownPid = QCoreApplication::applicationPid(), bool stranger = false)
    {
        StaleDaemonOptions o{dir.filePath("daemon.pid"), [this, answered] { ++probes; return answer(answered()); },
                             [stranger] { return stranger; }, ownPid, pause};
        writeFile(o.pidFile, pidFile);
        ASSERT_TRUE(await(stopStale(std::move(o)), 5s));
    }
};

struct SupervisorTest : DaemonTest {
    // Shared with the config, whose copies may outlive the test in a pending task.
    std::shared_ptr<std::chrono::system_clock::time_point> clock = std::make_shared<std::chrono::system_clock::time_point>();
    std::shared_ptr<int> probes = std::make_shared<int>(0);
    States backoffs;
    std::unique_ptr<DaemonSupervisor> supervisor;

    // The supervisor leaves its child running.
    ~SupervisorTest() override { if (supervisor && supervisor->state().pid != 0) ::kill(supervisor->state().pid, SIGKILL); }

    // A fake helper that records each launch, exits on its first `quick`
    // launches (with `first`, then 1), then runs `body`.
    QString helper(const QString& body, int quick = 0, int first = 1)
    {
        const QString path = dir.filePath("helper");
        writeFile(path, QString("#!/bin/sh\necho launched >> '%1'\nn=$(wc -l < '%1')\n[ $n -le %2 ] && exit $((n == 1 ? %3 : 1))\n%4\n")
                            .arg(dir.filePath("launches")).arg(quick).arg(first).arg(body).toUtf8());
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }
    QByteArray read(const QString& name) { QFile f(dir.filePath(name)); return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(); }
    int launches() { return read("launches").count('\n'); }

    DaemonSupervisor& make(const QString& executable, std::chrono::nanoseconds second = 1ms, StatusProbe probe = {})
    {
        if (!probe)
            probe = [probes = probes] { ++*probes; return answer(false); };
        supervisor = std::make_unique<DaemonSupervisor>(DaemonSupervisor::Config{
            .files = {executable, dir.filePath("home/.ringlark")}, .second = second, .now = [clock = clock] { return *clock; },
            .stopGrace = 300ms, .stale = {.pidFile = {}, .probe = probe}});
        QObject::connect(supervisor.get(), &DaemonSupervisor::stateChanged,
                         [this](const State& s) { if (s.kind == State::Case::backoff) backoffs.push_back(s); });
        return *supervisor;
    }

    bool reaches(const State& s) { return spinUntil([&] { return supervisor->state() == s; }, 3000ms); }
    // The child of launch `n` runs and has got past its launch record.
    bool settled(int n) { return spinUntil([&] { return launches() == n && supervisor->state().kind == State::Case::running; }); }
};

} // namespace

TEST(StaleDaemonTest, ParsesPidFilesStrictly)
{
    EXPECT_EQ(parsePid(u" +4242\n"), 4242);
    EXPECT_EQ(parsePid(u"\t-17\r\n"), -17);
    EXPECT_EQ(parsePid(u"2147483647"), 2147483647);
    EXPECT_EQ(parsePid(u"-2147483648"), std::numeric_limits<std::int32_t>::min());
    for (const char16_t* bad : {u"2147483648", u"-2147483649", u"4242a", u" \n", u"+-1", u"\u0664\u0662"})
        EXPECT_EQ(parsePid(bad), std::nullopt) << QString::fromUtf16(bad).toStdString();
}

TEST(StaleDaemonTest, IdentifiesOnlyOurOwnDaemonExecutable)
{
    const QByteArray helper = "/opt/Ringlark.app/Contents/Helpers/ringlark";
    const struct {
        QByteArray executable;
        QList<QByteArray> arguments;
        std::uint32_t uid;
        bool daemon;
    } cases[] = {
        {helper, {helper, "daemon"}, 1000, true},
        {helper + " (deleted)", {"ringlark", "daemon", "--verbose"}, 1000, true}, // replaced by an upgrade
        {helper, {helper, "daemon"}, 0, false},                                  // someone else's
        {helper, {helper, "mcp"}, 1000, false},
        {helper, {helper, "daemon "}, 1000, false},
        {"/usr/bin/vim", {"vim", "/home/u/src/ringlark", "daemon"}, 1000, false},
        {"/usr/bin/sleep", {"ringlark", "daemon"}, 1000, false}, // renamed argv[0]
        {"/opt/ringlark/bin/ringlark-old", {"ringlark", "daemon"}, 1000, false},
        {"/opt/ringlark (deleted) x", {"ringlark", "daemon"}, 1000, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isRinglarkDaemon({c.executable, c.arguments, c.uid}, 1000), c.daemon) << c.executable.toStdString();
}

TEST_F(StaleCleanupTest, OnlyOurOwnDaemonIsSignalledAndWatchedWithinTheProbeBudget)
{
    const QString ringlark = dir.filePath("bin/ringlark");
    StandIn impostor(dir, dir.filePath("bin/editor"), "-a ringlark " + dir.filePath("bin/editor") + " daemon -f notes");
    StandIn mcp(dir, ringlark, ringlark + " mcp -f");
    StandIn daemon(dir, ringlark, ringlark + " daemon -f"), stubborn(dir, ringlark, ringlark + " daemon -f", true);
    run([] { return false; }, QByteArray::number(daemon.pid)); // nothing on the port: nothing to stop
    EXPECT_TRUE(log.isEmpty());
    // Someone else's program on the port: not ours to stop, but worth a line.
    run([] { return false; }, QByteArray::number(daemon.pid), 1ms, QCoreApplication::applicationPid(), true);
    run([] { return true; }, QByteArray::number(impostor.pid));
    run([] { return true; }, QByteArray::number(mcp.pid));
    run([] { return true; }, QByteArray::number(daemon.pid), 1ms, daemon.pid);
    run([] { return true; }, "-1"); // never a process group
    // A pid file that is a link is not read.
    writeFile(dir.filePath("elsewhere"), QByteArray::number(daemon.pid));
    QFile::remove(dir.filePath("daemon.pid"));
    QFile::link(dir.filePath("elsewhere"), dir.filePath("daemon.pid"));
    StaleDaemonOptions linked{dir.filePath("daemon.pid"), [this] { ++probes; return answer(true); }};
    ASSERT_TRUE(await(stopStale(std::move(linked)), 5s));
    QFile::remove(dir.filePath("daemon.pid"));
    EXPECT_EQ(probes, 7);
    EXPECT_EQ(log, QStringList(6, "critical: port 8641 is busy but no stale Ringlark daemon was found"));
    log.clear();

    run([&] { return daemon.alive(); }, " " + QByteArray::number(daemon.pid) + "\n", 150ms);
    EXPECT_EQ(probes, 7 + 3); // exited during the first pause
    EXPECT_EQ(daemon.process.exitCode(), SIGTERM);
    run([] { return true; }, QByteArray::number(stubborn.pid));
    EXPECT_EQ(probes, 10 + 41);
    spinFor(50ms);
    EXPECT_TRUE(stubborn.alive() && impostor.alive() && mcp.alive());
    EXPECT_EQ(log, QStringList({QString("info: stopping stale daemon %1").arg(daemon.pid),
                                QString("info: stopping stale daemon %1").arg(stubborn.pid)}));
}

namespace {

unsigned mode(const QString& path)
{
    struct stat st {};
    return ::lstat(path.toUtf8().constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

} // namespace

TEST(DaemonFilesTest, RotatesOnlyALogAboveTheThresholdAndFallsBackToNullDevice)
{
    QTemporaryDir home;
    const auto files = DaemonFiles::at(home.path(), home.path() + "/deeper");
    const auto sizes = [&] { return std::pair{QFileInfo(files.logFile()).size(), QFileInfo(files.rotatedLog()).size()}; };
    EXPECT_FALSE(openLog(files).isNullDevice()); // creates the directory and an empty log
    EXPECT_TRUE(QFileInfo(files.logFile()).isFile());
    writeFile(files.rotatedLog(), "older generation");

    const QByteArray atThreshold(logRotationThreshold, 'a');
    for (const auto& [content, after] : {std::pair{atThreshold, std::pair<qint64, qint64>{logRotationThreshold, 16}},
                                         {atThreshold + 'b', {0, logRotationThreshold + 1}}}) {
        writeFile(files.logFile(), content);
        const LogTarget log = openLog(files);
        EXPECT_EQ(sizes(), after);
        EXPECT_EQ(::write(log.fd(), "z", 1), 1); // appended, not written over
        EXPECT_EQ(QFileInfo(files.logFile()).size(), after.first + 1);
    }

    const auto blocked = DaemonFiles::at(home.path(), home.path());
    writeFile(blocked.configDirectory, "not a directory");
    EXPECT_TRUE(openLog(blocked).isNullDevice());
}

TEST_F(DaemonTest, DaemonFilesArePrivateAndNeverReachedThroughLinks)
{
    const auto files = DaemonFiles::at(dir.path(), dir.filePath("home"));
    const QString elsewhere = dir.filePath("elsewhere");
    writeFile(elsewhere + "/victim", QByteArray(logRotationThreshold + 1, 'v'));

    // Fresh, then an existing looser directory and log: tightened.
    EXPECT_FALSE(openLog(files).isNullDevice());
    EXPECT_EQ(std::pair(mode(files.configDirectory), mode(files.logFile())), std::pair(0700u, 0600u));
    QFile::setPermissions(files.configDirectory, QFile::Permissions(0x7755));
    ::chmod(files.logFile().toUtf8().constData(), 0644);
    EXPECT_FALSE(openLog(files).isNullDevice());
    EXPECT_EQ(std::pair(mode(files.configDirectory), mode(files.logFile())), std::pair(0700u, 0600u));

    // A link at the log, even to an oversized file: neither written nor rotated.
    QFile::remove(files.logFile());
    ASSERT_TRUE(QFile::link(elsewhere + "/victim", files.logFile()));
    EXPECT_TRUE(openLog(files).isNullDevice());
    EXPECT_FALSE(QFileInfo::exists(files.rotatedLog()));

    // A link in the directory's place.
    const auto linked = DaemonFiles::at(dir.path(), dir.filePath("linked"));
    QDir().mkpath(linked.configDirectory.section('/', 0, -2));
    ASSERT_TRUE(QFile::link(elsewhere, linked.configDirectory));
    EXPECT_TRUE(openLog(linked).isNullDevice());
    EXPECT_EQ(QDir(elsewhere).entryList(QDir::Files), QStringList{"victim"});
    EXPECT_EQ(QFileInfo(elsewhere + "/victim").size(), logRotationThreshold + 1);
    EXPECT_EQ(log.size(), 2);
    EXPECT_TRUE(log.back().startsWith("critical: refusing " + linked.configDirectory + ": it is a symbolic link"));

    if (::geteuid() == 0) { // only root can hand a directory to someone else
        const auto foreign = DaemonFiles::at(dir.path(), dir.filePath("foreign"));
        QDir().mkpath(foreign.configDirectory);
        ASSERT_EQ(::chown(foreign.configDirectory.toUtf8().constData(), 65534, 65534), 0);
        EXPECT_TRUE(openLog(foreign).isNullDevice());
        EXPECT_FALSE(QFileInfo::exists(foreign.logFile()));
        EXPECT_EQ(log.back(), "critical: refusing " + foreign.configDirectory +
                                  ": it belongs to another user; the daemon's output is discarded");
    }
}

TEST_F(SupervisorTest, QuickExitsBackOffUpToThirtySecondsAndAppendToTheLog)
{
    make(helper("echo out; echo err >&2; exit 1")).start();
    ASSERT_TRUE(spinUntil([&] { return backoffs.size() >= 7; }));
    supervisor->stop();
    backoffs.resize(7);
    EXPECT_EQ(backoffs, (States{State::backoff(1, 1), State::backoff(2, 1), State::backoff(4, 1), State::backoff(8, 1),
                                State::backoff(16, 1), State::backoff(30, 1), State::backoff(30, 1)}));
    EXPECT_TRUE(read("home/.ringlark/daemon.log").startsWith("out\nerr\nout\nerr\n"));
}

TEST_F(SupervisorTest, StatusThreeRestartAndALongRunResetTheCount)
{
    make(helper("exec sleep 30", 3, 3)).restart(); // nothing runs yet: starts supervision
    ASSERT_TRUE(settled(4));
    EXPECT_EQ(supervisor->failures(), 3);
    EXPECT_EQ(*probes, 2); // at startup, and before relaunching after status 3 only

    supervisor->restart();
    for (auto [launch, ran] : {std::pair{5, 60000ms}, {6, 60001ms}}) {
        ASSERT_TRUE(settled(launch));
        *clock += ran;
        ::kill(supervisor->state().pid, SIGTERM);
    }
    ASSERT_TRUE(settled(7));
    EXPECT_EQ(backoffs, (States{State::backoff(1, 3), State::backoff(2, 1), State::backoff(4, 1), State::backoff(1, SIGTERM),
                                State::backoff(2, SIGTERM), State::backoff(1, SIGTERM)}));
    EXPECT_EQ(*probes, 2);
}

TEST_F(SupervisorTest, FailedLaunchesAreLoggedTwiceAndRetriedUntilStopped)
{
    make(dir.filePath("missing"), 50ms).start();
    ASSERT_TRUE(spinUntil([&] { return backoffs.size() == 2; }));
    supervisor->stop();
    spinFor(200ms); // stopped during the back-off: nothing more is launched
    EXPECT_EQ(backoffs, (States{State::backoff(1, -1), State::backoff(2, -1)}));
    ASSERT_EQ(log.size(), 4);
    EXPECT_TRUE(log[0].startsWith("critical: daemon failed to launch: ")) << log[0].toStdString();
    EXPECT_GT(log[0].size(), 40); // carries the reason
    EXPECT_EQ(log[1], "critical: daemon exited with -1; restarting in 1s");
}

TEST_F(SupervisorTest, StartTwiceMakesOneChildAndStopEndsItWithoutCountingItsExit)
{
    writeFile(dir.filePath("home"), "a plain file"); // no log can be opened
    make(helper("exec sleep 30", 2)).start();
    supervisor->start();
    ASSERT_TRUE(settled(3));
    spinFor(100ms);
    EXPECT_EQ(launches(), 3);
    EXPECT_EQ(*probes, 1);

    supervisor->stop();
    supervisor->start(); // the exit is only seen later: this changes nothing
    ASSERT_TRUE(reaches(State::stopped()));
    spinFor(50ms);
    EXPECT_EQ(supervisor->state(), State::stopped());
    EXPECT_EQ(supervisor->failures(), 2);
}

TEST_F(SupervisorTest, StopAndStartDuringTheStaleCleanupLaunchOneChild)
{
    make(helper("exec sleep 30"), 1ms, [probes = probes] { ++*probes; return answer(false, 50ms); }).start();
    supervisor->stop();
    supervisor->start();
    supervisor->start(); // the cleanup is still pending
    ASSERT_TRUE(settled(1));
    spinFor(150ms);
    EXPECT_EQ(launches(), 1);
    EXPECT_EQ(*probes, 2);
}

TEST_F(DaemonTest, AStrangerOnThePortGetsNoTokenAndIsReportedAsBusy)
{
    StubDaemon daemon;
    daemon.set("/v1/status", statusJson());
    daemon.writeToken(dir.filePath(".ringlark"));
    const auto table = [&](std::uint32_t uid) {
        writeFile(dir.filePath("net/tcp"),
                  QString("  sl  local_address rem_address   st\n   0: 0100007F:%1 00000000:0000 0A 00000000:00000000 "
                          "00:00000000 00000000 %2 0 1 1\n")
                      .arg(daemon.port(), 4, 16, QChar('0')).toUpper().arg(uid).toUtf8());
    };
    const auto access = DaemonAccess::inDirectory(dir.filePath(".ringlark"), dir.filePath("net").toUtf8(), ::geteuid());
    StaleDaemonOptions options{dir.filePath("daemon.pid"), statusProbe(daemon.base(), access),
                               strangerCheck(daemon.base(), access)};

    options.port = daemon.port();

    table(::geteuid() + 1);
    ASSERT_TRUE(await(stopStale(options), 5s));
    EXPECT_TRUE(daemon.seen().empty());
    EXPECT_EQ(log, QStringList{QString("critical: port %1 is busy but no stale Ringlark daemon was found")
                                   .arg(daemon.port())});

    table(::geteuid()); // our own daemon answers (what it is sent is LocalAPI's test)
    EXPECT_EQ(await(options.probe(), 3s), true);
    EXPECT_FALSE(options.portTakenByStranger());
}
