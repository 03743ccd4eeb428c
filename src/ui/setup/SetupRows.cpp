#include "ui/setup/SetupRows.h"

#include "agents/AgentTexts.h"

namespace ringlark::setup {

namespace {

const QString kAllow = QStringLiteral("Allow\u2026");
const QString kSystemSettings = QStringLiteral("System Settings");

Row permissionRow(QString title, bool granted, QString grantedDetail, QString missingDetail)
{
    Row row{std::move(title), granted ? std::move(grantedDetail) : std::move(missingDetail),
            granted ? StepState::done : StepState::todo, {}};
    if (!granted)
        row.controls = {{kAllow}, {kSystemSettings}};
    return row;
}

} // namespace

QString thisComputerHeader() { return QStringLiteral("This Computer"); }
QString yourIPhoneHeader() { return QStringLiteral("Your iPhone"); }
QString agentsHeader() { return QStringLiteral("Agents"); }

QString agentsFooter()
{
    return QStringLiteral("Gives agents the request_human tool: they ring you when a login, a code, or a dialog blocks them.");
}

QString appsFolderWarningText()
{
    return QStringLiteral(
        "Move Ringlark to the Applications folder before connecting agents, so the path they store stays valid.");
}

Pill pill(bool reachable, bool ready)
{
    if (!reachable)
        return {PillColor::gray, QStringLiteral("Starting")};
    if (ready)
        return {PillColor::green, QStringLiteral("Ready")};
    return {PillColor::orange, QStringLiteral("Needs attention")};
}

Row tailscaleRow(const TailscaleState& tailscale, bool daemonReachable)
{
    using Kind = TailscaleState::Kind;
    Row row{QStringLiteral("Tailscale"), {}, StepState::pending, {}};
    if (tailscale.kind() == Kind::ready)
        row.state = StepState::done;
    else if (daemonReachable)
        row.state = StepState::todo;

    switch (tailscale.kind()) {
    case Kind::ready:
        row.detail = tailscale.host() + QStringLiteral(" \u00B7 ") + tailscale.owner();
        break;
    case Kind::connecting:
        row.detail = tailscale.message();
        break;
    case Kind::notInstalled:
        row.detail = QStringLiteral("Not installed. Ringlark talks to your iPhone over your tailnet.");
        row.controls = {{QStringLiteral("Get Tailscale")}};
        break;
    case Kind::notRunning:
        row.detail = QStringLiteral("Not running. Open Tailscale and connect.");
        row.controls = {{QStringLiteral("Open Tailscale")}};
        break;
    case Kind::needsLogin:
        row.detail = QStringLiteral("Open Tailscale and log in; use the same account on your iPhone.");
        row.controls = {{QStringLiteral("Open Tailscale")}};
        break;
    }
    return row;
}

Row screenRecordingRow(const std::optional<RinglarkStatus>& status, bool localGranted)
{
    return permissionRow(QStringLiteral("Screen Recording"),
                         status ? status->permissions.screenRecording : localGranted,
                         QStringLiteral("Allowed. Your iPhone can see the window an agent is stuck on."),
                         QStringLiteral("Needed to stream the window to your iPhone."));
}

Row accessibilityRow(const std::optional<RinglarkStatus>& status, bool localGranted)
{
    return permissionRow(QStringLiteral("Accessibility"), status ? status->permissions.accessibility : localGranted,
                         QStringLiteral("Allowed. Ringlark can bring windows forward and type for you."),
                         QStringLiteral("Needed to bring the window forward and pass on your taps and typing."));
}

QString pushDestination(const QString& mode)
{
    if (mode == QLatin1String("direct"))
        return QStringLiteral("APNs directly");
    if (mode == QLatin1String("off"))
        return QStringLiteral("nowhere (pushes are off)");
    return QStringLiteral("the Ringlark relay");
}

Row pairingRow(const std::optional<RinglarkStatus>& status, const TailscaleState& tailscale)
{
    const bool tailscaleReady = tailscale.kind() == TailscaleState::Kind::ready;
    Row row{QStringLiteral("Pair your iPhone"), {}, StepState::pending,
            {{QStringLiteral("Show QR Code\u2026"), tailscaleReady}}};
    if (status && status->push.devices >= 1) {
        const auto devices = status->push.devices;
        row.state = StepState::done;
        row.detail = QString::number(devices) + QStringLiteral(" iPhone") + (devices == 1 ? QString() : QStringLiteral("s"))
            + QStringLiteral(" paired. Pushes go to ") + pushDestination(status->push.mode) + QStringLiteral(".");
    } else {
        row.state = tailscaleReady ? StepState::todo : StepState::pending;
        row.detail = QStringLiteral("Install Ringlark on your iPhone, then scan the QR code.");
    }
    return row;
}

Row agentRow(AgentKind kind, const std::optional<AgentStatus>& status, std::optional<AgentKind> busy, bool t3Installed)
{
    const AgentStatus shown = status.value_or(AgentStatus::notConnected());
    Row row{kind.rawValue(), {}, StepState::pending, {}};
    switch (shown.kind()) {
    case AgentStatus::Kind::connected:
    case AgentStatus::Kind::inherited:
        row.state = StepState::done;
        break;
    case AgentStatus::Kind::notConnected:
    case AgentStatus::Kind::outdated:
        row.state = StepState::todo;
        break;
    case AgentStatus::Kind::notInstalled:
        row.state = StepState::pending;
        break;
    }

    // T3 Code has no connection of its own, so nothing to press.
    if (kind == AgentKind::t3) {
        row.detail = agentStatusText(AgentKind::t3, shown, t3Installed);
        return row;
    }

    row.detail = agentStatusText(kind, shown, false);
    const bool isBusy = busy && *busy == kind;
    if (shown.kind() == AgentStatus::Kind::outdated)
        row.controls = {isBusy ? Control{QStringLiteral("Updating\u2026"), false} : Control{QStringLiteral("Update")}};
    else if (shown.kind() == AgentStatus::Kind::notConnected)
        row.controls = {isBusy ? Control{QStringLiteral("Connecting\u2026"), false} : Control{QStringLiteral("Connect")}};
    return row;
}

QString expectedHelperPath(const QString& applicationsFolder)
{
    return applicationsFolder + QStringLiteral("/Ringlark.app/Contents/Helpers/ringlark");
}

bool showsAppsFolderWarning(const QString& mcpExecutable, const QString& applicationsFolder)
{
    return mcpExecutable != expectedHelperPath(applicationsFolder);
}

SetupContent content(const SetupFacts& facts)
{
    SetupContent out;
    out.pill = pill(facts.daemonReachable, facts.ready);
    out.tailscale = tailscaleRow(facts.tailscale, facts.daemonReachable);
    out.screenRecording = screenRecordingRow(facts.status, facts.localScreenRecording);
    out.accessibility = accessibilityRow(facts.status, facts.localAccessibility);
    out.pairing = pairingRow(facts.status, facts.tailscale);
    const auto kinds = AgentKind::allCases();
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        const auto it = facts.agents.find(kinds[i]);
        out.agents[i] = agentRow(kinds[i], it == facts.agents.end() ? std::nullopt : std::optional(it->second),
                                 facts.agentBusy, facts.t3Installed);
    }
    out.appsFolderWarning = showsAppsFolderWarning(facts.mcpExecutable, facts.applicationsFolder);
    out.agentError = facts.agentError;
    out.launchAtLogin = facts.launchAtLogin;
    return out;
}

} // namespace ringlark::setup
