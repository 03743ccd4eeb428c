#pragma once

#include "agents/Agents.h"
#include "daemon/api/Records.h"
#include "model/TailscaleState.h"

#include <QList>
#include <QString>

#include <array>
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

// What the window reads, gathered from the model and the platform at one moment.
struct SetupFacts {
    std::optional<RinglarkStatus> status;
    bool daemonReachable = false;
    bool ready = false;
    TailscaleState tailscale = TailscaleState::notInstalled();
    // The application's own checks, used only while no status is held.
    bool localScreenRecording = false;
    bool localAccessibility = false;
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
    Row screenRecording;
    Row accessibility;
    Row pairing;
    std::array<Row, 3> agents; // in AgentKind::allCases() order
    bool appsFolderWarning = false;
    std::optional<QString> agentError;
    bool launchAtLogin = false;
};

// Fixed texts.
QString thisComputerHeader();
QString yourIPhoneHeader();
QString agentsHeader();
QString agentsFooter();
QString appsFolderWarningText();

Pill pill(bool reachable, bool ready);

Row tailscaleRow(const TailscaleState& tailscale, bool daemonReachable);

// The daemon's flag wins whenever a status is held; the local check only stands in before that.
Row screenRecordingRow(const std::optional<RinglarkStatus>& status, bool localGranted);
Row accessibilityRow(const std::optional<RinglarkStatus>& status, bool localGranted);

// Where the daemon sends pushes, worded for a sentence.
QString pushDestination(const QString& mode);
Row pairingRow(const std::optional<RinglarkStatus>& status, const TailscaleState& tailscale);

// `status` is none before the agents were first looked at.
Row agentRow(AgentKind kind, const std::optional<AgentStatus>& status, std::optional<AgentKind> busy,
             bool t3Installed);

// The helper path agents should store: the one inside the bundle in the applications folder.
QString expectedHelperPath(const QString& applicationsFolder);
bool showsAppsFolderWarning(const QString& mcpExecutable, const QString& applicationsFolder);

SetupContent content(const SetupFacts& facts);

} // namespace ringlark::setup
