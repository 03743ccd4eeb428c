#include "agents/Shell.h"

#include "TestFiles.h"
#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

using namespace ringlark;
using namespace std::chrono_literals;

namespace {

// A stand-in login shell: `-lc SCRIPT ARGS...` with `body` run first.
QString fakeShell(const QTemporaryDir& dir, const QByteArray& body)
{
    const QString path = dir.filePath("shell");
    test::writeFile(path, "#!/bin/sh\nshift\n" + body + "\n", true);
    return path;
}

auto runScript(const QTemporaryDir& dir, const QByteArray& body, const QStringList& arguments = {})
{
    test::writeFile(dir.filePath("program"), "#!/bin/sh\n" + body + "\n", true);
    return test::await(Shell::run(dir.filePath("program"), arguments, dir.path(), "/bin/sh"));
}

} // namespace

TEST(Shell, RunPassesArgumentsAndCollectsBothStreams)
{
    QTemporaryDir dir;
    const auto run = runScript(dir, R"(echo "  HOME=$HOME"; for a; do printf '<%s>' "$a"; done; echo; echo oops >&2)",
                               {R"(a "quoted" arg)", "", "$HOME"});
    ASSERT_TRUE(run && *run);
    EXPECT_EQ(**run, (Shell::Result{0, "HOME=" + dir.path() + "\n<a \"quoted\" arg><><$HOME>\noops"}));

    // 1 MiB on each stream, far beyond a pipe's buffer.
    const auto large = runScript(dir, "head -c 1048576 /dev/zero | tr '\\0' x; head -c 1048576 /dev/zero | tr '\\0' y >&2");
    ASSERT_TRUE(large && *large);
    EXPECT_EQ((*large)->output.count(u'y'), 1048576);
    EXPECT_EQ((*large)->output.size(), 2 * 1048576);

    const QString missing = dir.filePath("no such program");
    const auto absent = test::await(Shell::run(missing, {}, dir.path(), "/bin/sh"));
    ASSERT_TRUE(absent && *absent);
    EXPECT_NE((*absent)->exitCode, 0);
    EXPECT_TRUE((*absent)->output.contains(missing)) << (*absent)->output.toStdString();

    const auto unstartable = test::await(Shell::run("/bin/true", {}, dir.path(), dir.filePath("no-shell")));
    ASSERT_TRUE(unstartable && !*unstartable);
    EXPECT_TRUE(unstartable->error().message().contains("No such file")) << unstartable->error().message().toStdString();
}

TEST(Shell, LocateProbesCandidatesInOrderThenTheLoginShell)
{
    QTemporaryDir home, system, tools, profileBin;
    Shell::Context context;
    context.systemBinDirectories = {system.path()};
    context.loginShell = fakeShell(tools, "exit 1");
    const auto locate = [&](const QString& name, const QStringList& extra = {}) {
        return Shell::locate(name, home.path(), extra, context);
    };

    EXPECT_FALSE(locate("claude"));
    const QString extra = tools.filePath("extra/claude");
    test::writeFile(extra, "", true);
    EXPECT_EQ(locate("claude", {extra}), extra);
    test::writeFile(home.filePath(".npm-global/bin/claude"), "", true);
    EXPECT_EQ(locate("claude", {extra}), home.filePath(".npm-global/bin/claude"));
    test::writeFile(system.filePath("claude"), "", true);
    test::writeFile(home.filePath(".local/bin/claude"), "", false);
    EXPECT_EQ(locate("claude", {extra}), system.filePath("claude")) << "not executable, so passed over";

    test::writeFile(profileBin.filePath("codex"), "", true);
    context.loginShell = fakeShell(tools, "PATH=\"" + profileBin.path().toUtf8() + ":$PATH\" exec /bin/sh -c \"$@\"");
    EXPECT_EQ(locate("codex"), profileBin.filePath("codex"));
    context.loginShell = fakeShell(tools, "echo '  '");
    EXPECT_FALSE(locate("codex"));
    context.loginShell = fakeShell(tools, "echo /usr/bin/codex; exit 1");
    EXPECT_FALSE(locate("codex"));
}

TEST(Shell, FindCachesEachHomeForThirtySeconds)
{
    QTemporaryDir home, otherHome, tools;
    auto now = std::make_shared<std::chrono::steady_clock::time_point>(1000h);
    Shell::Context context;
    context.systemBinDirectories = {};
    context.loginShell = fakeShell(tools, "exit 1");
    context.clock = [now] { return *now; };
    const QString program = home.filePath(".local/bin/claude");

    EXPECT_FALSE(Shell::find("claude", home.path(), {}, context));
    test::writeFile(program, "", true);
    test::writeFile(otherHome.filePath(".local/bin/claude"), "", true);
    EXPECT_EQ(Shell::find("claude", otherHome.path(), {}, context), otherHome.filePath(".local/bin/claude"));
    *now += 29999ms;
    test::writeFile(tools.filePath("claude"), "", true);
    EXPECT_FALSE(Shell::find("claude", home.path(), {tools.filePath("claude")}, context)) << "extra is not in the key";
    *now += 1ms;
    EXPECT_EQ(Shell::find("claude", home.path(), {}, context), program);
}
