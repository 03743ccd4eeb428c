#include "ModelHarness.h"
#include "model/AgeText.h"
#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <QFile>

using namespace ringlark;
using namespace ringlark::test;
using Field = AppModel::Field;

namespace {

const QByteArray bothGranted = R"({"screen_recording":true,"accessibility":true})";

QStringList warnings;

// Statuses are computed in the background; waits for the result.
void refreshed(AppModel& model)
{
    model.refreshAgents();
    EXPECT_TRUE(spinUntil([&] { return !model.refreshingAgents(); }));
}

void captureWarning(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtWarningMsg && QByteArray(context.category) == "default")
        warnings << message;
}

} // namespace

TEST(AppModelPermissions, ReCheckRunsOnlyWhenMissingOneAtATimeAndRestartsOnlyOnAFreshGrant)
{
    ModelHarness harness;
    auto services = harness.services();
    services.permissionsRecheck = 0ms; // every cycle may check; the pace has its own test
    AppModel model(services);
    model.start();
    ASSERT_TRUE(spinUntil([&] { return harness.daemonLaunches() == 1; }));
    auto checkOnce = [&] {
        EXPECT_TRUE(await(model.poll()));
        EXPECT_TRUE(spinUntil([&] { return !model.checkingPermissions(); }));
    };

    // Both granted: no helper run.
    harness.daemon.set("/v1/status", statusJson(false, 0, true, true));
    checkOnce();
    EXPECT_EQ(harness.permissionRuns(), 0);

    // Accessibility missing and the helper hangs: one run however many cycles,
    // cut short by the bound, and no restart.
    harness.daemon.set("/v1/status", statusJson(false, 0, true, false));
    harness.setFreshPermissions(bothGranted, /*hang=*/true);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(await(model.poll()));
    EXPECT_TRUE(model.checkingPermissions());
    ASSERT_TRUE(spinUntil([&] { return !model.checkingPermissions(); }));
    EXPECT_EQ(harness.permissionRuns(), 1);

    // Garbage, or the permission still missing: no news; each later cycle checks again.
    harness.setFreshPermissions("not json");
    checkOnce();
    harness.setFreshPermissions(R"({"screen_recording":true,"accessibility":false})");
    checkOnce();
    EXPECT_EQ(harness.permissionRuns(), 3);
    spinFor(50ms);
    EXPECT_EQ(harness.daemonLaunches(), 1);

    // A fresh grant the daemon has not seen: the daemon is restarted.
    harness.setFreshPermissions(bothGranted);
    checkOnce();
    EXPECT_TRUE(spinUntil([&] { return harness.daemonLaunches() == 2; }));

    // A permission taken away (the daemon has it, the fresh run not): no restart.
    harness.daemon.set("/v1/status", statusJson(false, 0, false, true));
    harness.setFreshPermissions(R"({"screen_recording":false,"accessibility":true})");
    checkOnce();
    EXPECT_EQ(harness.permissionRuns(), 5);
    spinFor(50ms);
    EXPECT_EQ(harness.daemonLaunches(), 2);
    model.supervisor().stop();

    EXPECT_FALSE(freshPermissions("/nonexistent/ringlark", 300ms).has_value());
}

TEST(AppModelAgents, RefreshedEveryCycleOnlyWhileAWindowIsOpenEvenWhenTheDaemonIsDown)
{
    ModelHarness harness;
    AppModel model(harness.services());
    Notifications seen(model);
    ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(seen[Field::agents], 0);
    model.windowAppeared();
    ASSERT_TRUE(await(model.poll()));
    ASSERT_TRUE(await(model.poll()));
    ASSERT_TRUE(spinUntil([&] { return !model.refreshingAgents(); }));
    EXPECT_EQ(seen[Field::agents], 2);
    ASSERT_EQ(model.agents().size(), 3u);
    EXPECT_EQ(model.agents().at(AgentKind::codex), AgentStatus::notInstalled());
}

TEST(AppModelReadiness, NeedsSetupFollowsReadinessPhonesAndConnectedAgents)
{
    ModelHarness harness;
    AppModel model(harness.services());
    EXPECT_FALSE(model.isReady());
    EXPECT_TRUE(model.needsSetup());

    // Reachable, Tailscale ready, accessibility missing: not ready.
    harness.daemon.set("/v1/status", statusJson(true, 0, true, false));
    harness.daemon.set("/v1/pairing", R"({"url":"u"})");
    ASSERT_TRUE(await(model.poll()));
    EXPECT_FALSE(model.isReady());
    EXPECT_TRUE(model.needsSetup());

    // Ready with one phone (statusJson pairs one), but no agent counts as connected.
    harness.daemon.set("/v1/status", statusJson(true, 0, true, true));
    ASSERT_TRUE(await(model.poll()));
    EXPECT_TRUE(model.isReady());
    refreshed(model); // nothing installed: Claude Code and Codex notInstalled, T3 notConnected
    EXPECT_TRUE(model.needsSetup());

    // A connected Codex counts (and T3 inherits it).
    writeFile(harness.home() + "/.codex/config.toml",
              "[mcp_servers.ringlark]\ncommand = \"" + harness.helper().toUtf8()
                  + "\"\ndefault_tools_approval_mode = \"approve\"\n");
    refreshed(model);
    EXPECT_FALSE(model.needsSetup());

    // No phone paired keeps the application in need of setup.
    harness.daemon.set("/v1/status", R"({"version":"1","tailscale":{"ok":true,"host":"h","owner":"o"},
        "permissions":{"screen_recording":true,"accessibility":true},"push":{"mode":"off","devices":0},
        "pending":0,"session_active":false})");
    ASSERT_TRUE(await(model.poll()));
    EXPECT_TRUE(model.isReady());
    EXPECT_TRUE(model.needsSetup());

    // Lost daemon: not ready, whatever was held.
    harness.daemon.remove("/v1/status");
    ASSERT_TRUE(await(model.poll()));
    EXPECT_FALSE(model.isReady());
}

TEST(AppModelReadiness, AgesAreWordedInWholeUnitsAndAFutureCreationIsJustNow)
{
    const std::uint64_t nowMs = 1'000'000'000'000;
    const std::pair<std::int64_t, const char*> table[] = {
        {59'999, "just now"}, {60'000, "1 min"}, {3'599'000, "59 min"}, {3'600'000, "1 h"},
        {86'399'000, "23 h"}, {86'400'000, "1 d"}, {-10'000, "just now"}};
    for (const auto& [agoMs, text] : table)
        EXPECT_EQ(ageText(nowMs - agoMs, std::chrono::system_clock::time_point(std::chrono::milliseconds(nowMs))), text)
            << agoMs;
}

TEST(AppModelActions, ConnectRunsOneAtATimeAndClearsTheErrorOfTheLastAttempt)
{
    ModelHarness harness;
    // A claude that takes a moment and then refuses.
    writeFile(harness.home() + "/.local/bin/claude", "#!/bin/sh\nsleep 0.2\necho '  cannot add ringlark  '\nexit 1\n",
              true);
    AppModel model(harness.services());
    QList<std::optional<AgentKind>> busy;
    QObject::connect(&model, &AppModel::changed, [&](Field f) {
        if (f == Field::agentBusy)
            busy << model.agentBusy();
    });

    model.connect(AgentKind::claudeCode);
    model.connect(AgentKind::codex); // ignored while Claude Code is busy
    ASSERT_TRUE(spinUntil([&] { return !model.agentBusy(); }));
    EXPECT_EQ(busy, (QList<std::optional<AgentKind>>{AgentKind::claudeCode, std::nullopt}));
    EXPECT_EQ(model.agentError(), std::optional<QString>("cannot add ringlark"));
    EXPECT_EQ(model.agents().at(AgentKind::codex), AgentStatus::notInstalled());

    // The next attempt clears the error as it starts, and a success leaves none.
    model.connect(AgentKind::codex);
    EXPECT_FALSE(model.agentError().has_value());
    ASSERT_TRUE(spinUntil([&] { return !model.agentBusy(); }));
    EXPECT_FALSE(model.agentError().has_value());
    EXPECT_EQ(model.agents().at(AgentKind::codex), AgentStatus::connected());
}

TEST(AppModelActions, DismissingCancelsThenPollsAtOnceAndSurvivesADownDaemon)
{
    ModelHarness harness;
    harness.daemon.set("/v1/status", statusJson(false, 1));
    harness.daemon.set("/v1/requests", R"([{"id":"a b/c","status":"open","reason":"r","created_at":1,"updated_at":1}])");
    AppModel model(harness.services());
    ASSERT_TRUE(await(model.poll()));
    ASSERT_EQ(model.pending().size(), 1);

    harness.daemon.set("/v1/status", statusJson(false, 0));
    model.dismiss(model.pending().front());
    ASSERT_TRUE(spinUntil([&] { return model.pending().isEmpty(); }));
    EXPECT_EQ(harness.daemon.count("/v1/requests/a%20b%2Fc/cancel"), 1);

    // Daemon gone: the failure is swallowed and the cycle shows it unreachable.
    harness.daemon.remove("/v1/status");
    Notifications seen(model);
    HelpRequest gone;
    gone.id = "x";
    model.dismiss(gone);
    ASSERT_TRUE(spinUntil([&] { return seen[Field::daemonReachable] == 1; }));
    EXPECT_FALSE(model.daemonReachable());
}

TEST(AppModelActions, LaunchAtLoginReadsTheRealStateAndLogsOneLineOnFailure)
{
    ModelHarness harness;
    harness.platform.loginItem->current = platform::LoginItem::Status::enabled;
    AppModel model(harness.services());
    EXPECT_TRUE(model.launchAtLogin()); // read at creation

    harness.platform.loginItem->current = platform::LoginItem::Status::notRegistered;
    harness.platform.loginItem->registerError = platform::LoginItemError{"no autostart folder"};
    warnings.clear();
    const auto previous = qInstallMessageHandler(captureWarning);
    model.setLaunchAtLogin(true);
    qInstallMessageHandler(previous);
    EXPECT_EQ(warnings, QStringList{"launch at login: no autostart folder"});
    EXPECT_FALSE(model.launchAtLogin());

    // Registered but still awaiting approval reads as off.
    harness.platform.loginItem->registerError.reset();
    harness.platform.loginItem->statusAfterRegister = platform::LoginItem::Status::requiresApproval;
    model.setLaunchAtLogin(true);
    EXPECT_FALSE(model.launchAtLogin());
}
