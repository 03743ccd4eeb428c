#include "Printers.h"
#include "ui/setup/SetupRows.h"

#include <gtest/gtest.h>

using namespace ringlark;
using namespace ringlark::setup;

namespace {

const QString kScanHint =
    QStringLiteral("Scan the QR code with your phone's camera; the page that opens adds Ringlark to your home screen.");

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

TEST(SetupRows, TailscaleRowByStateAndWhatCanReachTailscale)
{
    using A = TailscaleAccess;
    using Act = TailscaleAction;
    struct Case { TailscaleState state; A access; bool reachable; StepState expected; QString detail; QStringList controls; Act action; };
    const QString up = QStringLiteral("\u201Csudo tailscale up\u201D");
    const Case cases[] = {
        {TailscaleState::ready("desk", "me@example.com"), A::none, false, StepState::done,
         QStringLiteral("desk \u00B7 me@example.com"), {}, Act::none},
        // The daemon's advice (HTTPS certificates, operator rights) is shown as it is.
        {TailscaleState::connecting("Turn on HTTPS certificates in the admin console"), A::app, true, StepState::todo,
         "Turn on HTTPS certificates in the admin console", {}, Act::none},
        {TailscaleState::connecting("odd error"), A::none, false, StepState::pending, "odd error", {}, Act::none},
        {TailscaleState::notInstalled(), A::none, true, StepState::todo,
         "Not installed. Ringlark talks to your phone over your tailnet.", {"Get Tailscale"}, Act::download},
        {TailscaleState::notRunning(), A::app, false, StepState::pending, "Not running. Open Tailscale and connect.",
         {"Open Tailscale"}, Act::openApp},
        {TailscaleState::notRunning(), A::terminal, true, StepState::todo,
         "Not running. Open Tailscale starts it in a terminal.", {"Open Tailscale"}, Act::startInTerminal},
        {TailscaleState::notRunning(), A::none, true, StepState::todo,
         "Not running. Start it with " + up + " in a terminal.", {}, Act::none},
        {TailscaleState::needsLogin(), A::app, true, StepState::todo,
         "Open Tailscale and log in; use the same account on your phone.", {"Open Tailscale"}, Act::openApp},
        {TailscaleState::needsLogin(), A::terminal, true, StepState::todo,
         "Logged out. Log in with the account your phone uses.", {QStringLiteral("Log In\u2026")}, Act::logInInTerminal},
        {TailscaleState::needsLogin(), A::none, true, StepState::todo,
         "Logged out. Run " + up + " in a terminal and open the link it prints.", {}, Act::none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.detail.toStdString());
        const Row row = tailscaleRow(c.state, c.reachable, c.access);
        EXPECT_EQ(row.title, "Tailscale");
        EXPECT_EQ(row.state, c.expected);
        EXPECT_EQ(row.detail, c.detail);
        EXPECT_EQ(texts(row), c.controls);
        EXPECT_EQ(tailscaleFix(c.state, c.access).action, c.action);
    }
}

TEST(SetupRows, PermissionRowsByDaemonFlagLocalCheckAndSession)
{
    using S = platform::Privacy::Source;
    struct Case { std::optional<RinglarkStatus> held; bool local; S source; bool granted; QString screen, access; QStringList controls; };
    const QString screenAllowed = "Allowed. Ringlark can show your phone the window an agent is stuck on.";
    const QString accessAllowed = "Allowed. Ringlark can bring windows forward and type for you.";
    const QStringList both = {QStringLiteral("Allow\u2026"), "System Settings"};
    const Case cases[] = {
        {std::nullopt, true, S::x11Session, true, screenAllowed, accessAllowed, {}},
        // The daemon wins even when it says no.
        {status(0, "direct", false, false), true, S::prompts, false, "Needed to stream the window to your phone.",
         "Needed to bring the window forward and pass on your taps and typing.", both},
        {std::nullopt, false, S::waylandSession, false,
         "Streaming works on GNOME on Xorg and other X11 sessions for now. Log out and choose it at the login screen.",
         "Taps and typing need an X11 session as well.", {}},
        {status(0, "direct", false, false), true, S::noDisplay, false,
         "No X11 display here: streaming needs a desktop session on X11, such as GNOME on Xorg.",
         "Taps and typing need an X11 display as well.", {}},
        {status(0, "direct", false, false), true, S::x11Session, false,
         "This X server lacks the shared-memory extension (XShm) that streaming needs.",
         "This X server lacks the XTEST extension that taps and typing need.", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.screen.toStdString());
        const Row screen = screenRecordingRow(c.held, c.local, c.source);
        const Row access = accessibilityRow(c.held, c.local, c.source);
        EXPECT_EQ(screen.state, c.granted ? StepState::done : StepState::todo);
        EXPECT_EQ(access.state, c.granted ? StepState::done : StepState::todo);
        EXPECT_EQ(screen.detail, c.screen);
        EXPECT_EQ(access.detail, c.access);
        EXPECT_EQ(texts(screen), c.controls);
        EXPECT_EQ(texts(access), c.controls);
    }
    // Each row reads its own flag.
    EXPECT_NE(screenRecordingRow(status(0, "direct", true, false), false, S::x11Session).state,
              accessibilityRow(status(0, "direct", true, false), false, S::x11Session).state);
}

TEST(SetupRows, PairingRowCountsPhonesAndNamesThePushDestination)
{
    const auto ready = TailscaleState::ready("h", "o");
    const auto notRunning = TailscaleState::notRunning();
    struct Case { std::optional<RinglarkStatus> held; TailscaleState tailscale; StepState state; QString detail; bool enabled; };
    const Case cases[] = {
        {std::nullopt, notRunning, StepState::pending, kScanHint, false},
        {std::nullopt, ready, StepState::todo, kScanHint, true},
        {status(0), ready, StepState::todo, kScanHint, true},
        {status(2, "direct"), notRunning, StepState::done,
         "2 phones paired. Pushes go to your phone's push service, directly.", false},
        {status(1, "off"), ready, StepState::done, "1 phone paired. Pushes go to nowhere (pushes are off).", true},
        {status(1, "ntfy"), ready, StepState::done, "1 phone paired. Pushes go to the ntfy relay.", true},
        {status(3, "Direct"), ready, StepState::done, "3 phones paired. Pushes go to the ntfy relay.", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.detail.toStdString());
        const Row row = pairingRow(c.held, c.tailscale);
        EXPECT_EQ(row.state, c.state);
        EXPECT_EQ(row.detail, c.detail);
        ASSERT_EQ(row.controls.size(), 1);
        EXPECT_EQ(row.controls[0], (Control{QStringLiteral("Pair Phone\u2026"), c.enabled}));
    }
}

TEST(SetupRows, PhonesAndRequestsAreListedInTheMenusWording)
{
    using namespace std::chrono;
    const system_clock::time_point now{milliseconds(10'000'000)};
    const auto ago = [&](seconds s) { return std::uint64_t(10'000'000 - duration_cast<milliseconds>(s).count()); };
    struct DeviceCase { PairedDevice device; QString detail; };
    const DeviceCase devices[] = {
        {{"a", "Pixel", 1, ago(300s), true}, "Last seen 5 min ago"},
        {{"b", "iPhone", 1, ago(30s), true}, "Last seen just now"},
        {{"c", "Old", 1, std::nullopt, false}, QStringLiteral("Not seen yet \u00B7 notifications off")},
    };
    for (const auto& c : devices)
        EXPECT_EQ(deviceEntry(c.device, now), (ListEntry{c.device.id, c.device.name, c.detail, {}}));

    HelpRequest full{"r1", "open", "Sign in to GitHub", "Firefox", {}, "Codex", ago(120s), 0, "Approve the code"};
    HelpRequest bare{"r2", "open", "Unlock", {}, {}, QString(), ago(5s), 0, {}};
    EXPECT_EQ(requestEntry(full, now), (ListEntry{"r1", "Sign in to GitHub", QStringLiteral("Codex \u00B7 2 min \u00B7 Firefox"),
                                                  "Asks: Approve the code"}));
    EXPECT_EQ(requestEntry(bare, now), (ListEntry{"r2", "Unlock", "just now", {}}));

    // The lists in the window: the empty lines only where they say something true.
    SetupFacts facts;
    facts.now = now;
    EXPECT_EQ(content(facts).noDevices, std::nullopt); // nothing known yet
    EXPECT_FALSE(content(facts).showRequests);
    facts.status = status(0);
    facts.standalone = true;
    EXPECT_EQ(content(facts).noDevices, "No phone paired yet");
    EXPECT_TRUE(content(facts).showRequests);
    EXPECT_EQ(content(facts).noRequests, "No requests waiting");
    facts.standalone = false;
    facts.pending = {bare};
    EXPECT_TRUE(content(facts).showRequests);
    EXPECT_EQ(content(facts).noRequests, std::nullopt);
}

TEST(SetupRows, TrayHintFollowsTheDesktop)
{
    EXPECT_TRUE(trayHint("GNOME").contains("AppIndicator"));
    EXPECT_FALSE(trayHint("").contains("AppIndicator"));
    const std::pair<QString, bool> cases[] = {{"ubuntu:GNOME", true}, {"gnome", true}, {"GNOME-Flashback", false}};
    for (const auto& [desktop, gnome] : cases)
        EXPECT_EQ(trayHint(desktop), trayHint(gnome ? "GNOME" : "")) << desktop.toStdString();
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
