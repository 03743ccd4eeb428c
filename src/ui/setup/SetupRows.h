#pragma once

#include "agents/Agents.h"
#include "daemon/api/Records.h"
#include "model/TailscaleState.h"
#include "platform/Privacy.h"
#include "ui/setup/TailscaleFix.h"

#include <QList>
#include <QString>

#include <array>
#include <chrono>
#include <map>
#include <optional>

// Everything the setup window shows, decided from plain values. The widgets
// only render what these functions give.
namespace ringlark::setup {

// Whether a prerequisite holds (done), does not but the user can act (todo),
// or cannot be judged or acted on yet (pending).
enum class StepState { done, todo, pending };

struct Control {
    QString text;
    bool enabled = true;
    bool operator==(const Control&) const = default;
};

struct Row {
    QString title;
    QString detail;
    StepState state = StepState::pending;
    QList<Control> controls; // left to right, at most two
    bool operator==(const Row&) const = default;
};

enum class PillColor { gray, green, orange };

struct Pill {
    PillColor color = PillColor::gray;
    QString label;
    bool operator==(const Pill&) const = default;
};

// One line of the window's lists: a paired phone or a waiting request. `id`
// is what its button acts on.
struct ListEntry {
    QString id;
    QString title;
    QString detail;
    QString note; // a third line, when there is one
    bool operator==(const ListEntry&) const = default;
};

// What the window reads, gathered from the model and the platform at one moment.
struct SetupFacts {
    std::optional<RinglarkStatus> status;
    bool daemonReachable = false;
    bool ready = false;
    TailscaleState tailscale = TailscaleState::notInstalled();
    // Only asked for while the Tailscale button depends on it.
    TailscaleAccess tailscaleAccess = TailscaleAccess::none;
    // The application's own checks, used only while no status is held.
    bool localScreenRecording = false;
    bool localAccessibility = false;
    platform::Privacy::Source permissionSource = platform::Privacy::Source::prompts;
    QList<PairedDevice> devices;
    QList<HelpRequest> pending;
    std::chrono::system_clock::time_point now;
    // Without a tray the window is the way in: it always lists the requests.
    bool standalone = false;
    std::map<AgentKind, AgentStatus> agents;
    std::optional<AgentKind> agentBusy;
    std::optional<QString> agentError;
    bool t3Installed = false;
    QString mcpExecutable;
    QString applicationsFolder;
    bool launchAtLogin = false;
};

struct SetupContent {
    Pill pill;
    Row tailscale;
    TailscaleAction tailscaleAction = TailscaleAction::none;
    Row screenRecording;
    Row accessibility;
    Row pairing;
    QList<ListEntry> devices;
    std::optional<QString> noDevices; // instead of an empty list, once the daemon said so
    bool showRequests = false;
    QList<ListEntry> requests;
    std::optional<QString> noRequests;
    std::array<Row, 3> agents; // in AgentKind::allCases() order
    bool appsFolderWarning = false;
    std::optional<QString> agentError;
    bool launchAtLogin = false;
};

// Fixed texts.
QString waitingHeader();
QString thisComputerHeader();
QString yourPhoneHeader();
QString agentsHeader();
QString agentsFooter();
QString appsFolderWarningText();

Pill pill(bool reachable, bool ready);

Row tailscaleRow(const TailscaleState& tailscale, bool daemonReachable, TailscaleAccess access);

// The daemon's flag wins whenever a status is held; the local check only
// stands in before that. `source` says why a missing one is missing, and
// whether anything the person clicks could grant it.
Row screenRecordingRow(const std::optional<RinglarkStatus>& status, bool localGranted,
                       platform::Privacy::Source source);
Row accessibilityRow(const std::optional<RinglarkStatus>& status, bool localGranted, platform::Privacy::Source source);

// Where the daemon sends pushes, worded for a sentence.
QString pushDestination(const QString& mode);
Row pairingRow(const std::optional<RinglarkStatus>& status, const TailscaleState& tailscale);

// The phone's name over "Last seen 5 min ago", ages in the menu's wording.
ListEntry deviceEntry(const PairedDevice& device, std::chrono::system_clock::time_point now);
// Reason; agent · age · app; the question.
ListEntry requestEntry(const HelpRequest& request, std::chrono::system_clock::time_point now);

// How to get a tray icon on the desktop named by XDG_CURRENT_DESKTOP.
QString trayHint(const QString& currentDesktop);

// `status` is none before the agents were first looked at.
Row agentRow(AgentKind kind, const std::optional<AgentStatus>& status, std::optional<AgentKind> busy,
             bool t3Installed);

// The helper path agents should store: the one inside the bundle in the applications folder.
QString expectedHelperPath(const QString& applicationsFolder);
bool showsAppsFolderWarning(const QString& mcpExecutable, const QString& applicationsFolder);

SetupContent content(const SetupFacts& facts);

} // namespace ringlark::setup
