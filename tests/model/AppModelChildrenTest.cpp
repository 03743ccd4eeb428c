#include "ModelHarness.h"
#include "agents/ChildProcess.h"
#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThreadPool>

using namespace ringlark;
using namespace ringlark::test;
using Field = AppModel::Field;

namespace {

// Never ends on its own, and leaves a child behind; writes that child's pid to $HOME/<name>.
QByteArray hangingScript(const QByteArray& name)
{
    return "#!/bin/sh\nsleep 30 &\necho $! > \"$HOME/" + name + "\"\nwait\n";
}

struct ChildrenTest : ::testing::Test {
    ~ChildrenTest() override { ChildProcesses::resetForTests(); }
};

} // namespace

// Quit waits for what it ends; an end without the event loop (the display
// went away and Qt exits at once) only signals, but the same things end.
TEST_F(ChildrenTest, QuitOrAnAbruptEndStopsAHungClaudeAHungPermissionCheckAndTheDaemon)
{
    using Running = DaemonSupervisor::State::Case;
    for (const bool abrupt : {false, true}) {
        SCOPED_TRACE(abrupt ? "abrupt end" : "quit");
        ChildProcesses::resetForTests();
        ModelHarness harness;
        harness.daemon.set("/v1/status", statusJson(false, 0, true, false));
        harness.setFreshPermissions(R"({"screen_recording":true,"accessibility":true})", /*hang=*/true);
        writeFile(harness.home() + "/.local/bin/claude", hangingScript("claude-child"), true);
        auto services = harness.services();
        services.permissionsTimeout = std::chrono::minutes(1);
        AppModel model(services);
        model.start();
        model.connect(AgentKind::claudeCode);
        ASSERT_TRUE(spinUntil([&] { return !readFile(harness.home() + "/claude-child").isEmpty(); }));
        ASSERT_TRUE(spinUntil([&] { return harness.permissionRuns() == 1; }));
        ASSERT_TRUE(spinUntil([&] { return model.supervisor().state().kind == Running::running; }));

        QElapsedTimer clock;
        clock.start();
        abrupt ? model.abandon() : model.shutDown();
        EXPECT_LT(clock.elapsed(), abrupt ? 200 : 2500);
        if (!abrupt) {
            EXPECT_EQ(ChildProcesses::pool()->activeThreadCount(), 0) << "a thread still waits for a child";
        }
        EXPECT_TRUE(spinUntil([&] { return !stillRuns(harness.home() + "/claude-child"); }, 1000ms));
        EXPECT_TRUE(spinUntil([&] { return model.supervisor().state().kind == Running::stopped; }, 2000ms));
        model.shutDown(); // after an abrupt end: nothing left to do, and nothing relaunched
        EXPECT_EQ(model.supervisor().state().kind, Running::stopped);
    }
}

TEST_F(ChildrenTest, ASleepingLoginProfileNeitherDelaysPollingNorOutlivesTheApplication)
{
    ModelHarness harness;
    harness.daemon.set("/v1/status", statusJson(false, 0));
    writeFile(harness.home() + "/../profile", hangingScript("profile-child"), true);
    auto services = harness.services();
    services.agents.shell.loginShell = harness.home() + "/../profile";
    AppModel model(services);

    model.start();
    ASSERT_TRUE(spinUntil([&] { return model.daemonReachable(); }, 1000ms));
    ASSERT_TRUE(spinUntil([&] { return !readFile(harness.home() + "/profile-child").isEmpty(); }));
    // The rows read as not yet known while the profile runs.
    EXPECT_TRUE(model.agents().empty());
    EXPECT_TRUE(model.refreshingAgents());

    model.shutDown();
    EXPECT_TRUE(spinUntil([&] { return !stillRuns(harness.home() + "/profile-child"); }, 1000ms));
}

TEST_F(ChildrenTest, ConfigurationFoldersComeFromTheLoginEnvironment)
{
    ModelHarness harness;
    const QString home = harness.home();
    writeFile(home + "/../zsh",
              "#!/bin/sh\n[ \"$1\" = -l ] && [ \"$2\" = -c ] || exit 2\n"
              "export CLAUDE_CONFIG_DIR=\"$HOME/claude-config\" CODEX_HOME=\"$HOME/codex-home\"\neval \"$3\"\n",
              true);
    writeFile(home + "/.local/bin/claude", "#!/bin/sh\n", true);
    writeFile(home + "/claude-config/.claude.json",
              R"({"mcpServers":{"ringlark":{"command":")" + harness.helper().toUtf8() + "\"}}}");
    writeFile(home + "/claude-config/settings.json", R"({"permissions":{"allow":["mcp__ringlark__request_human"]}})");
    auto services = harness.services();
    services.agents.shell.loginShell = home + "/../zsh";
    AppModel model(services);

    model.connect(AgentKind::codex);
    ASSERT_TRUE(spinUntil([&] { return !model.agentBusy(); }));
    EXPECT_FALSE(model.agentError().has_value()) << model.agentError()->toStdString();
    EXPECT_TRUE(QFile::exists(home + "/codex-home/config.toml"));
    EXPECT_FALSE(QFile::exists(home + "/.codex"));
    EXPECT_EQ(model.agents().at(AgentKind::claudeCode), AgentStatus::connected());
    EXPECT_EQ(model.agents().at(AgentKind::codex), AgentStatus::connected());
}

TEST_F(ChildrenTest, RefreshesRequestedMeanwhileRunOnceAfterTheOneInFlight)
{
    ModelHarness harness;
    AppModel model(harness.services());
    Notifications seen(model);
    for (int i = 0; i < 4; ++i)
        model.refreshAgents();
    ASSERT_TRUE(spinUntil([&] { return !model.refreshingAgents(); }));
    spinFor(50ms);
    EXPECT_EQ(seen[Field::agents], 2);
}

TEST_F(ChildrenTest, ADaemonThatNeverSeesTheGrantIsRestartedWithAGrowingBackOff)
{
    ModelHarness harness;
    harness.daemon.set("/v1/status", statusJson(false, 0, true, false));
    harness.setFreshPermissions(R"({"screen_recording":true,"accessibility":true})");
    auto now = std::make_shared<std::chrono::steady_clock::time_point>(1000h);
    auto services = harness.services();
    services.steadyClock = [now] { return *now; };
    AppModel model(services);
    model.supervisor().start();
    ASSERT_TRUE(spinUntil([&] { return harness.daemonLaunches() == 1; }));

    auto cycle = [&] {
        EXPECT_TRUE(await(model.poll()));
        EXPECT_TRUE(spinUntil([&] { return !model.checkingPermissions(); }));
    };
    // Seconds to wait before each cycle, and whether that cycle restarts the daemon.
    const std::pair<int, bool> steps[] = {
        {0, true}, {29, false}, {1, true}, {59, false}, {1, true},
    };
    int launches = 1;
    for (const auto& [wait, restarts] : steps) {
        *now += std::chrono::seconds(wait);
        const int runs = harness.permissionRuns();
        cycle();
        if (restarts) {
            ++launches;
            EXPECT_TRUE(spinUntil([&] { return harness.daemonLaunches() == launches; })) << wait;
        } else {
            EXPECT_EQ(harness.permissionRuns(), runs) << "no helper run while every grant waits";
        }
    }
    spinFor(50ms);
    EXPECT_EQ(harness.daemonLaunches(), launches);

    // Once the daemon's own view changes, the next miss restarts at once.
    harness.daemon.set("/v1/status", statusJson(false, 0, true, true));
    cycle();
    harness.daemon.set("/v1/status", statusJson(false, 0, true, false));
    cycle();
    EXPECT_TRUE(spinUntil([&] { return harness.daemonLaunches() == launches + 1; }));
    model.supervisor().stop();
}
