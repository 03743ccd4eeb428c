#include "Printers.h"
#include "ui/setup/SetupRows.h"

#include <gtest/gtest.h>

using namespace ringlark;
using namespace ringlark::setup;

namespace {

const QString kInstallHint = QStringLiteral("Install Ringlark on your iPhone, then scan the QR code.");

RinglarkStatus status(std::int64_t devices = 0, QString mode = "direct", bool screenRecording = true,
                      bool accessibility = true)
{
    RinglarkStatus s;
    s.permissions = {screenRecording, accessibility};
    s.push = {std::move(mode), devices};
    return s;
}

QStringList texts(const Row& row)
{
    QStringList out;
    for (const Control& c : row.controls)
        out << c.text + (c.enabled ? "" : " (disabled)");
    return out;
}

} // namespace

TEST(SetupRows, PillFollowsReachabilityFirst)
{
    struct Case { bool reachable, ready; PillColor color; const char* label; };
    const Case cases[] = {
        {false, false, PillColor::gray, "Starting"},
        {false, true, PillColor::gray, "Starting"},
        {true, true, PillColor::green, "Ready"},
        {true, false, PillColor::orange, "Needs attention"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.reachable << c.ready);
        EXPECT_EQ(pill(c.reachable, c.ready), (Pill{c.color, c.label}));
    }
}

TEST(SetupRows, TailscaleRowForEveryStateAndReachability)
{
    struct Case { TailscaleState state; bool reachable; StepState expected; QString detail; QStringList controls; };
    const Case cases[] = {
        {TailscaleState::ready("desk", "me@example.com"), false, StepState::done,
         QStringLiteral("desk \u00B7 me@example.com"), {}},
        {TailscaleState::connecting("Waiting for Tailscale"), true, StepState::todo, "Waiting for Tailscale", {}},
        {TailscaleState::connecting("odd error"), false, StepState::pending, "odd error", {}},
        {TailscaleState::notInstalled(), true, StepState::todo,
         "Not installed. Ringlark talks to your iPhone over your tailnet.", {"Get Tailscale"}},
        {TailscaleState::notRunning(), false, StepState::pending, "Not running. Open Tailscale and connect.",
         {"Open Tailscale"}},
        {TailscaleState::needsLogin(), true, StepState::todo,
         "Open Tailscale and log in; use the same account on your iPhone.", {"Open Tailscale"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.detail.toStdString());
        const Row row = tailscaleRow(c.state, c.reachable);
        EXPECT_EQ(row.title, "Tailscale");
        EXPECT_EQ(row.state, c.expected);
        EXPECT_EQ(row.detail, c.detail);
        EXPECT_EQ(texts(row), c.controls);
    }
}

TEST(SetupRows, PermissionRowsTakeTheDaemonsFlagOverTheLocalCheck)
{
    struct Case { std::optional<RinglarkStatus> held; bool local; bool granted; };
    const Case cases[] = {
        {std::nullopt, true, true},
        {std::nullopt, false, false},
        {status(0, "direct", false, false), true, false}, // the daemon wins even when it says no
    };
    const QStringList both = {QStringLiteral("Allow\u2026"), "System Settings"};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.held.has_value() << c.local);
        const Row screen = screenRecordingRow(c.held, c.local);
        const Row access = accessibilityRow(c.held, c.local);
        EXPECT_EQ(screen.state, c.granted ? StepState::done : StepState::todo);
        EXPECT_EQ(access.state, c.granted ? StepState::done : StepState::todo);
        EXPECT_EQ(texts(screen), c.granted ? QStringList() : both);
        EXPECT_EQ(texts(access), c.granted ? QStringList() : both);
        EXPECT_EQ(screen.detail, c.granted ? "Allowed. Your iPhone can see the window an agent is stuck on."
                                           : "Needed to stream the window to your iPhone.");
        EXPECT_EQ(access.detail, c.granted ? "Allowed. Ringlark can bring windows forward and type for you."
                                           : "Needed to bring the window forward and pass on your taps and typing.");
    }
    // Each row reads its own flag.
    EXPECT_NE(screenRecordingRow(status(0, "direct", true, false), false).state,
              accessibilityRow(status(0, "direct", true, false), false).state);
}

TEST(SetupRows, PairingRowCountsPhonesAndNamesThePushDestination)
{
    const auto ready = TailscaleState::ready("h", "o");
    const auto notRunning = TailscaleState::notRunning();
    struct Case { std::optional<RinglarkStatus> held; TailscaleState tailscale; StepState state; QString detail; bool qrEnabled; };
    const Case cases[] = {
        {std::nullopt, notRunning, StepState::pending, kInstallHint, false},
        {std::nullopt, ready, StepState::todo, kInstallHint, true},
        {status(0), ready, StepState::todo, kInstallHint, true},
        {status(2, "direct"), notRunning, StepState::done, "2 iPhones paired. Pushes go to APNs directly.", false},
        {status(1, "off"), ready, StepState::done, "1 iPhone paired. Pushes go to nowhere (pushes are off).", true},
        {status(1, "relay"), ready, StepState::done, "1 iPhone paired. Pushes go to the Ringlark relay.", true},
        {status(3, "Direct"), ready, StepState::done, "3 iPhones paired. Pushes go to the Ringlark relay.", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.detail.toStdString());
        const Row row = pairingRow(c.held, c.tailscale);
        EXPECT_EQ(row.state, c.state);
        EXPECT_EQ(row.detail, c.detail);
        ASSERT_EQ(row.controls.size(), 1);
        EXPECT_EQ(row.controls[0], (Control{QStringLiteral("Show QR Code\u2026"), c.qrEnabled}));
    }
}

TEST(SetupRows, AgentRowsByStatusAndBusy)
{
    const auto claude = AgentKind::claudeCode;
    const auto codex = AgentKind::codex;
    struct Case { AgentKind kind; std::optional<AgentStatus> status; std::optional<AgentKind> busy; StepState state; QString detail; QStringList controls; };
    const QString connecting = QStringLiteral("Connecting\u2026 (disabled)");
    const QString updating = QStringLiteral("Updating\u2026 (disabled)");
    const QString claudeAdd = "Adds the ringlark MCP server to your user scope (claude mcp add).";
    const QString codexAdd = "Adds [mcp_servers.ringlark] to ~/.codex/config.toml (a backup is kept).";
    const Case cases[] = {
        // Before the first refresh a row reads as not connected.
        {claude, std::nullopt, std::nullopt, StepState::todo, claudeAdd, {"Connect"}},
        {claude, AgentStatus::notConnected(), claude, StepState::todo, claudeAdd, {connecting}},
        // Another agent being busy leaves this button enabled.
        {codex, AgentStatus::notConnected(), claude, StepState::todo, codexAdd, {"Connect"}},
        {codex, AgentStatus::outdated("/old/ringlark"), std::nullopt, StepState::todo,
         "Points at an old location: /old/ringlark", {"Update"}},
        {codex, AgentStatus::outdated("/old/ringlark"), codex, StepState::todo,
         "Points at an old location: /old/ringlark", {updating}},
        // The right path without the approval still asks before every call.
        {codex, AgentStatus::unapproved("/opt/Ringlark.app/Contents/Helpers/ringlark"), std::nullopt, StepState::todo,
         "Asks before each request for help. Update allows it.", {"Update"}},
        {claude, AgentStatus::connected(), claude, StepState::done, "Connected.", {}},
        {codex, AgentStatus::notInstalled(), std::nullopt, StepState::pending, "Not installed on this computer.", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.detail.toStdString());
        const Row row = agentRow(c.kind, c.status, c.busy, true);
        EXPECT_EQ(row.title, c.kind.rawValue());
        EXPECT_EQ(row.state, c.state);
        EXPECT_EQ(row.detail, c.detail);
        EXPECT_EQ(texts(row), c.controls);
    }
}

TEST(SetupRows, T3RowNamesWhatItInheritsAndNeverHasAButton)
{
    struct Case { std::optional<AgentStatus> status; bool installed; StepState state; QString detail; };
    const QString uses = "Uses the Claude Code and Codex connections above.";
    const QString wouldUse = "Not installed. Would use the Claude Code and Codex connections above.";
    const Case cases[] = {
        {AgentStatus::inherited({"Claude Code"}), false, StepState::done, "Connected through Claude Code."},
        {AgentStatus::inherited({"Claude Code", "Codex"}), true, StepState::done,
         "Connected through Claude Code and Codex."},
        {AgentStatus::notConnected(), true, StepState::todo, uses},
        {AgentStatus::notConnected(), false, StepState::todo, wouldUse},
        {std::nullopt, false, StepState::todo, wouldUse},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.detail.toStdString());
        const Row row = agentRow(AgentKind::t3, c.status, AgentKind::t3, c.installed);
        EXPECT_EQ(row.title, "T3 Code");
        EXPECT_EQ(row.state, c.state);
        EXPECT_EQ(row.detail, c.detail);
        EXPECT_TRUE(row.controls.isEmpty());
    }
}

TEST(SetupRows, WarningShowsUnlessTheHelperIsInsideTheInstalledBundle)
{
    struct Case { QString helper; bool warns; };
    const Case cases[] = {
        {"/opt/Ringlark.app/Contents/Helpers/ringlark", false},
        {"/home/me/Downloads/Ringlark.app/Contents/Helpers/ringlark", true},
        {"/opt/Ringlark 2.app/Contents/Helpers/ringlark", true},
        {"/opt//Ringlark.app/Contents/Helpers/ringlark", true}, // compared as text, not as a path
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.helper.toStdString());
        EXPECT_EQ(showsAppsFolderWarning(c.helper, "/opt"), c.warns);
    }
}
