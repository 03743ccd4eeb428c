#include "agents/ChildProcess.h"
#include "agents/Shell.h"

#include "TestFiles.h"
#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>

using namespace ringlark;
using namespace std::chrono_literals;
using namespace std::string_view_literals;

namespace {

Shell::Context contextFor(const QString& shell)
{
    return {.loginShell = shell, .clock = systemSteadyClock(), .systemBinDirectories = {}, .lookupBound = 2000ms};
}

} // namespace

TEST(Shell, RunPassesArgumentsAndCollectsBothStreams)
{
    QTemporaryDir dir;
    const auto run = [&](const QByteArray& body, const QStringList& arguments = {}) {
        test::writeFile(dir.filePath("program"), "#!/bin/sh\n" + body + "\n", true);
        return test::await(Shell::run(dir.filePath("program"), arguments, dir.path(), contextFor("/bin/sh")));
    };
    const auto echoed = run(R"(echo "  HOME=$HOME"; for a; do printf '<%s>' "$a"; done; echo; echo oops >&2)",
                            {R"(a "quoted" arg)", "", "$HOME"});
    ASSERT_TRUE(echoed && *echoed);
    EXPECT_EQ(**echoed, (Shell::Result{0, "HOME=" + dir.path() + "\n<a \"quoted\" arg><><$HOME>\noops"}));

    // 1 MiB on each stream, far beyond a pipe's buffer.
    const auto large = run("head -c 1048576 /dev/zero | tr '\\0' x; head -c 1048576 /dev/zero | tr '\\0' y >&2");
    ASSERT_TRUE(large && *large);
    EXPECT_EQ((*large)->output.count(u'y'), 1048576);
    EXPECT_EQ((*large)->output.size(), 2 * 1048576);

    const QString missing = dir.filePath("no such program");
    const auto absent = test::await(Shell::run(missing, {}, dir.path(), contextFor("/bin/sh")));
    ASSERT_TRUE(absent && *absent);
    EXPECT_NE((*absent)->exitCode, 0);
    EXPECT_TRUE((*absent)->output.contains(missing)) << (*absent)->output.toStdString();
}

TEST(Shell, ARunPastItsBoundOrAtQuitIsKilledWithEverythingItStarted)
{
    QTemporaryDir dir;
    // Leaves a grandchild behind, as a network client's workers would.
    test::writeFile(dir.filePath("claude"), "#!/bin/sh\nsleep 30 &\necho $! > \"$HOME/$1\"\nwait\n", true);
    auto context = contextFor("/bin/sh");
    context.runBound = 300ms;
    QElapsedTimer clock;
    clock.start();
    const auto overran = test::await(Shell::run(dir.filePath("claude"), {"overran"}, dir.path(), context));
    ASSERT_TRUE(overran && !*overran);
    EXPECT_EQ(overran->error().kind(), AgentError::Kind::commandFailed);
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_TRUE(test::spinUntil([&] { return !test::stillRuns(dir.filePath("overran")); }, 2000ms));

    // A quit ends a run that has no bound worth waiting for.
    context.runBound = 60s;
    auto stopped = std::make_shared<std::optional<Expected<Shell::Result, AgentError>>>();
    auto waiter = [](QCoro::Task<Expected<Shell::Result, AgentError>> task, decltype(stopped) out) -> QCoro::Task<> {
        out->emplace(co_await std::move(task));
    };
    auto started = waiter(Shell::run(dir.filePath("claude"), {"stopped"}, dir.path(), context), stopped);
    ASSERT_TRUE(test::spinUntil([&] { return !test::readFile(dir.filePath("stopped")).isEmpty(); }));
    clock.restart();
    ChildProcesses::killAll();
    ASSERT_TRUE(test::spinUntil([&] { return stopped->has_value(); }, 2000ms));
    EXPECT_FALSE(**stopped);
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_TRUE(test::spinUntil([&] { return !test::stillRuns(dir.filePath("stopped")); }, 2000ms));
    // Nothing new starts once the application quits.
    const auto late = test::await(Shell::run(dir.filePath("claude"), {"late"}, dir.path(), context));
    ASSERT_TRUE(late && !*late);
    EXPECT_FALSE(QFile::exists(dir.filePath("late")));
    ChildProcesses::resetForTests();
}

TEST(Shell, ParsesTheEnvironmentBetweenTheMarkersWhateverTheProfilePrints)
{
    const std::pair<std::string_view, std::optional<QStringList>> cases[] = {
        {"motd\n__ringlark_environment__PATH=/a:/b\0X=1=2\0__ringlark_environment__bye\n"sv,
         QStringList{"PATH=/a:/b", "X=1=2"}},
        {"__ringlark_environment__MULTI=line\none\0=novalue\0noequals\0__ringlark_environment__"sv,
         QStringList{"MULTI=line\none"}},
        {"__ringlark_environment__PATH=/a\0"sv, std::nullopt}, // cut off: only one marker
        {"PATH=/a\0"sv, std::nullopt},
        {"__ringlark_environment____ringlark_environment__"sv, std::nullopt}, // `env` missing
    };
    for (const auto& [text, expected] : cases) {
        const QByteArray output(text.data(), static_cast<qsizetype>(text.size()));
        const auto parsed = Shell::parseEnvironment(output);
        EXPECT_EQ(parsed.has_value(), expected.has_value()) << output.toStdString();
        if (parsed && expected) {
            EXPECT_EQ(parsed->toStringList(), *expected);
        }
    }
}

TEST(Shell, FindCachesEachHomeForThirtySeconds)
{
    QTemporaryDir home, otherHome;
    auto now = std::make_shared<std::chrono::steady_clock::time_point>(1000h);
    Shell::Context context{.loginShell = "/bin/false", .clock = [now] { return *now; }, .systemBinDirectories = {}};
    const QString program = home.filePath(".local/bin/claude"), other = otherHome.filePath(".local/bin/claude");

    EXPECT_FALSE(Shell::find("claude", home.path(), {}, context));
    test::writeFile(program, "", true);
    test::writeFile(other, "", true);
    EXPECT_EQ(Shell::find("claude", otherHome.path(), {}, context), other);
    *now += 29999ms;
    EXPECT_FALSE(Shell::find("claude", home.path(), {other}, context)) << "still cached, and extra is not in the key";
    *now += 1ms;
    EXPECT_EQ(Shell::find("claude", home.path(), {}, context), program);
}

// Each fake login shell accepts only what its real counterpart would, and
// adds a folder to PATH and a Claude configuration folder from its "profile".
TEST(Shell, LooksProgramsUpInTheLoginEnvironmentOfEveryKindOfShell)
{
    const QByteArray profile = "export PATH=\"$HOME/profile-bin:$PATH\" CLAUDE_CONFIG_DIR=\"$HOME/claude-config\"\n";
    const QByteArray posix = "#!/bin/sh\n[ \"$1\" = -l ] && [ \"$2\" = -c ] || exit 2\necho 'Welcome!'\n" + profile
        + "eval \"$3\"\n";
    // fish: no $0 or "$@", and -l and -c as separate options.
    const QByteArray fish = "#!/bin/sh\n[ \"$1\" = -l ] && [ \"$2\" = -c ] || exit 2\n"
                            "case \"$3\" in *'$'*) echo 'fish: Unsupported use of $' >&2; exit 127 ;; esac\n"
        + profile + "eval \"$3\"\n";
    // csh: -l only alone, so the login file must be read by the script itself.
    const QByteArray csh = "#!/bin/sh\nfor a; do [ \"$a\" = -l ] && { echo 'csh: -l must be alone' >&2; exit 1; }; done\n"
                           "[ \"$1\" = -c ] || exit 2\n"
                           "case \"$2\" in *'source ~/.login;'*) . \"$HOME/.login\" ;; esac\n"
                           "eval \"${2##*source ~/.login; }\"\n";
    // Sleeps in its profile with a child of its own, and never answers.
    const QByteArray hangs = "#!/bin/sh\nsleep 30 &\necho $! > \"$HOME/hung\"\nwait\n";

    struct Case {
        const char* shell;
        QByteArray script; // empty: no such shell
        const char* loginFile;
        std::chrono::milliseconds bound;
    };
    const Case cases[] = {
        {"zsh", posix, nullptr, 2000ms},
        {"fish", fish, nullptr, 2000ms},
        {"csh", csh, ".login", 2000ms},
        // Missing or hung: /bin/sh reads ~/.profile instead.
        {"nosuchshell", {}, ".profile", 2000ms},
        {"bash", hangs, ".profile", 300ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shell);
        QTemporaryDir home;
        const QString shell = home.filePath(QString("shells/") + c.shell);
        if (!c.script.isEmpty())
            test::writeFile(shell, c.script, true);
        if (c.loginFile)
            test::writeFile(home.filePath(c.loginFile), profile);
        test::writeFile(home.filePath("profile-bin/claude"), "#!/bin/sh\necho \"claude $1\"\n", true);
        auto context = contextFor(shell);
        context.lookupBound = c.bound;

        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(Shell::find("claude", home.path(), {}, context), home.filePath("profile-bin/claude"));
        EXPECT_LT(clock.elapsed(), c.bound.count() + 2000);
        const auto environment = Shell::loginEnvironment(home.path(), context);
        EXPECT_EQ(environment.value("CLAUDE_CONFIG_DIR"), home.filePath("claude-config"));
        EXPECT_EQ(environment.value("HOME"), home.path());

        // The program runs in that environment, without the user's shell.
        const auto ran = test::await(Shell::run("claude", {"--version"}, home.path(), context));
        ASSERT_TRUE(ran && *ran);
        EXPECT_EQ(**ran, (Shell::Result{0, "claude --version"}));

        if (!test::readFile(home.filePath("hung")).isEmpty()) {
            EXPECT_TRUE(test::spinUntil([&] { return !test::stillRuns(home.filePath("hung")); }, 2000ms));
        }
    }
}
