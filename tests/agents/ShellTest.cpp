#include "agents/Shell.h"

#include "TestFiles.h"
#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>

using namespace ringlark;
using namespace std::chrono_literals;

TEST(Shell, RunPassesArgumentsAndCollectsBothStreams)
{
    QTemporaryDir dir;
    const auto run = [&](const QByteArray& body, const QStringList& arguments = {}) {
        test::writeFile(dir.filePath("program"), "#!/bin/sh\n" + body + "\n", true);
        return test::await(Shell::run(dir.filePath("program"), arguments, dir.path(), "/bin/sh"));
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
    const auto absent = test::await(Shell::run(missing, {}, dir.path(), "/bin/sh"));
    ASSERT_TRUE(absent && *absent);
    EXPECT_NE((*absent)->exitCode, 0);
    EXPECT_TRUE((*absent)->output.contains(missing)) << (*absent)->output.toStdString();
}

TEST(Shell, FindCachesEachHomeForThirtySecondsAndAsksTheLoginShellWithinItsBound)
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

    // A login shell that answers `command -v` from its profile, and one whose profile hangs.
    test::writeFile(otherHome.filePath("answers"), "#!/bin/sh\necho \"  /profile/bin/${2#command -v }  \"\n", true);
    test::writeFile(otherHome.filePath("hangs"), "#!/bin/sh\nexec sleep 30\n", true);
    context.loginShell = otherHome.filePath("answers");
    EXPECT_EQ(Shell::locate("codex", home.path(), {}, context), "/profile/bin/codex");

    context.loginShell = otherHome.filePath("hangs");
    context.lookupBound = 200ms;
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(Shell::locate("codex", home.path(), {}, context));
    EXPECT_LT(clock.elapsed(), 2000);
}
