#include "ui/setup/SetupRows.h"

#include "agents/AgentTexts.h"
#include "model/AgeText.h"

namespace ringlark::setup {

namespace {

using Source = platform::Privacy::Source;

const QString kAllow = QStringLiteral("Allow\u2026");
const QString kSystemSettings = QStringLiteral("System Settings");
const QString kDot = QStringLiteral(" \u00B7 ");

// What a missing permission's row says, by what decides it here.
struct MissingTexts {
    QString prompts;
    QString wayland;
    QString noDisplay;
    QString x11;
};

Row permissionRow(QString title, bool granted, Source source, QString grantedDetail, const MissingTexts& missing)
{
    Row row{std::move(title), std::move(grantedDetail), granted ? StepState::done : StepState::todo, {}};
    if (granted)
        return row;
    switch (source) {
    case Source::prompts:
        row.detail = missing.prompts;
        row.controls = {{kAllow}, {kSystemSettings}};
        break;
    // Nothing to click would help here; the text says what does.
    case Source::waylandSession:
        row.detail = missing.wayland;
        break;
    case Source::noDisplay:
        row.detail = missing.noDisplay;
        break;
    case Source::x11Session:
        row.detail = missing.x11;
        break;
    }
    return row;
}

} // namespace

QString waitingHeader() { return QStringLiteral("Waiting for you"); }
QString thisComputerHeader() { return QStringLiteral("This Computer"); }
QString yourPhoneHeader() { return QStringLiteral("Your Phone"); }
QString agentsHeader() { return QStringLiteral("Agents"); }

QString agentsFooter()
{
    return QStringLiteral("Gives agents the request_human tool: they ring you when a login, a code, or a dialog blocks them.");
}

QString appsFolderWarningText()
{
    return QStringLiteral("Install Ringlark from its Debian package (into /opt/Ringlark.app) before connecting "
                          "agents, so the path they store keeps working.");
}

Pill pill(bool reachable, bool ready)
{
    if (!reachable)
        return {PillColor::gray, QStringLiteral("Starting")};
    if (ready)
        return {PillColor::green, QStringLiteral("Ready")};
    return {PillColor::orange, QStringLiteral("Needs attention")};
}

Row tailscaleRow(const TailscaleState& tailscale, bool daemonReachable, TailscaleAccess access)
{
    Row row{QStringLiteral("Tailscale"), {}, StepState::pending, {}};
    if (tailscale.kind() == TailscaleState::Kind::ready)
        row.state = StepState::done;
    else if (daemonReachable)
        row.state = StepState::todo;
    const TailscaleFix fix = tailscaleFix(tailscale, access);
    row.detail = fix.detail;
    if (!fix.button.isEmpty())
        row.controls = {{fix.button}};
    return row;
}

Row screenRecordingRow(const std::optional<RinglarkStatus>& status, bool localGranted, Source source)
{
    return permissionRow(
        QStringLiteral("Screen Recording"), status ? status->permissions.screenRecording : localGranted, source,
        QStringLiteral("Allowed. Ringlark can show your phone the window an agent is stuck on."),
        {QStringLiteral("Needed to stream the window to your phone."),
         QStringLiteral("Streaming works on GNOME on Xorg and other X11 sessions for now. Log out and choose it at the "
                        "login screen."),
         QStringLiteral("No X11 display here: streaming needs a desktop session on X11, such as GNOME on Xorg."),
         QStringLiteral("This X server lacks the shared-memory extension (XShm) that streaming needs.")});
}

Row accessibilityRow(const std::optional<RinglarkStatus>& status, bool localGranted, Source source)
{
    return permissionRow(QStringLiteral("Accessibility"), status ? status->permissions.accessibility : localGranted,
                         source, QStringLiteral("Allowed. Ringlark can bring windows forward and type for you."),
                         {QStringLiteral("Needed to bring the window forward and pass on your taps and typing."),
                          QStringLiteral("Taps and typing need an X11 session as well."),
                          QStringLiteral("Taps and typing need an X11 display as well."),
                          QStringLiteral("This X server lacks the XTEST extension that taps and typing need.")});
}

QString pushDestination(const QString& mode)
{
    if (mode == QLatin1String("direct"))
        return QStringLiteral("your phone's push service, directly");
    if (mode == QLatin1String("off"))
        return QStringLiteral("nowhere (pushes are off)");
    return QStringLiteral("the ntfy relay");
}

Row pairingRow(const std::optional<RinglarkStatus>& status, const TailscaleState& tailscale)
{
    const bool tailscaleReady = tailscale.kind() == TailscaleState::Kind::ready;
    Row row{QStringLiteral("Pair your phone"), {}, StepState::pending,
            {{QStringLiteral("Pair Phone\u2026"), tailscaleReady}}};
    if (status && status->push.devices >= 1) {
        const auto devices = status->push.devices;
        row.state = StepState::done;
        row.detail = QString::number(devices) + QStringLiteral(" phone") + (devices == 1 ? QString() : QStringLiteral("s"))
            + QStringLiteral(" paired. Pushes go to ") + pushDestination(status->push.mode) + QStringLiteral(".");
    } else {
        row.state = tailscaleReady ? StepState::todo : StepState::pending;
        row.detail = QStringLiteral(
            "Scan the QR code with your phone's camera; the page that opens adds Ringlark to your home screen.");
    }
    return row;
}

ListEntry deviceEntry(const PairedDevice& device, std::chrono::system_clock::time_point now)
{
    QString seen = QStringLiteral("Not seen yet");
    if (device.lastSeen) {
        const QString age = ageText(*device.lastSeen, now);
        seen = QStringLiteral("Last seen ") + age + (age == QLatin1String("just now") ? QString() : QStringLiteral(" ago"));
    }
    // A phone without a push subscription is never rung.
    if (!device.push)
        seen += kDot + QStringLiteral("notifications off");
    return {device.id, device.name, seen, {}};
}

ListEntry requestEntry(const HelpRequest& request, std::chrono::system_clock::time_point now)
{
    QStringList parts{ageText(request.createdAt, now)};
    if (request.agent && !request.agent->isEmpty())
        parts.prepend(*request.agent);
    if (request.app && !request.app->isEmpty())
        parts.append(*request.app);
    const QString ask = request.ask && !request.ask->isEmpty() ? QStringLiteral("Asks: ") + *request.ask : QString();
    return {request.id, request.reason, parts.join(kDot), ask};
}

QString trayHint(const QString& currentDesktop)
{
    const QStringList desktops = currentDesktop.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    if (desktops.contains(QLatin1String("GNOME"), Qt::CaseInsensitive))
        return QStringLiteral("For a tray icon, install the AppIndicator extension (Debian package "
                              "gnome-shell-extension-appindicator) and enable it in Extensions.");
    return QStringLiteral("For a tray icon, add a system tray (notification area) to your panel.");
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
    out.tailscale = tailscaleRow(facts.tailscale, facts.daemonReachable, facts.tailscaleAccess);
    out.tailscaleAction = tailscaleFix(facts.tailscale, facts.tailscaleAccess).action;
    out.screenRecording = screenRecordingRow(facts.status, facts.localScreenRecording, facts.permissionSource);
    out.accessibility = accessibilityRow(facts.status, facts.localAccessibility, facts.permissionSource);
    out.pairing = pairingRow(facts.status, facts.tailscale);
    // The daemon's count says whether the list is empty before it was first fetched.
    if (facts.status && facts.status->push.devices == 0) {
        out.noDevices = QStringLiteral("No phone paired yet");
    } else {
        for (const PairedDevice& device : facts.devices)
            out.devices.append(deviceEntry(device, facts.now));
    }
    for (const HelpRequest& request : facts.pending)
        out.requests.append(requestEntry(request, facts.now));
    out.showRequests = facts.standalone || !out.requests.isEmpty();
    if (facts.standalone && out.requests.isEmpty())
        out.noRequests = QStringLiteral("No requests waiting");
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
