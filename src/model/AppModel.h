#pragma once

#include "agents/AgentConnector.h"
#include "agents/Agents.h"
#include "daemon/api/LocalAPI.h"
#include "daemon/api/Records.h"
#include "daemon/supervisor/DaemonSupervisor.h"
#include "model/RestartBackoff.h"
#include "model/TailscaleState.h"
#include "platform/PlatformServices.h"
#include "support/Async.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace ringlark {

// The one object that holds everything the interface shows. It supervises
// the helper daemon, polls it and publishes what it learns, keeps every
// agent's connection status, and carries out the user's actions. Views read
// its fields and call its actions. Lives on the GUI thread.
class AppModel : public QObject {
    Q_OBJECT
public:
    // The published fields. Every assignment emits changed(field), also when
    // the value did not change; only the daemon's status is compared first,
    // so an idle daemon causes no redraw through it.
    enum class Field { status, daemonReachable, pending, pairing, agents, agentBusy, agentError, launchAtLogin, now, openWindows, devices };
    Q_ENUM(Field)

    using AgentStatuses = std::map<AgentKind, AgentStatus>;

    // Everything outside the process the model reaches; empty platform
    // services mean this system's own.
    struct Services {
        platform::PlatformServices platform;
        QUrl daemonBase = LocalAPI::defaultBase();
        LocalAPI::Limits apiLimits{};
        QString home; // default: the user's home directory
        // The helper it supervises is also what the agents are told to run.
        DaemonSupervisor::Config supervisor{};
        // Its applications folder is also where Tailscale is looked for.
        AgentConnector::Services agents{};
        WallClock clock = systemWallClock();
        // Pause after a cycle while a window is open, and otherwise.
        std::chrono::milliseconds shortPause{1000};
        std::chrono::milliseconds longPause{2000};
        // How the loop waits between cycles; tests record the pauses instead.
        std::function<QCoro::Task<bool>(std::chrono::nanoseconds, TaskHandle)> sleep = sleepFor;
        // A `permissions` run that takes longer is cut short and counts as no news.
        std::chrono::milliseconds permissionsTimeout{5000};
        // While the last run saw nothing the daemon lacks, the next waits this long
        // (a window opening does not wait).
        std::chrono::milliseconds permissionsRecheck{60000};
        // Measures the back-off between restarts for the same permission.
        SteadyClock steadyClock = systemSteadyClock();
    };

    explicit AppModel(Services services, QObject* parent = nullptr);
    ~AppModel() override;

    // Published state.
    const std::optional<RinglarkStatus>& status() const { return m_status; }
    bool daemonReachable() const { return m_daemonReachable; }
    const QList<HelpRequest>& pending() const { return m_pending; }
    const std::optional<Pairing>& pairing() const { return m_pairing; }
    const AgentStatuses& agents() const { return m_agents; }
    std::optional<AgentKind> agentBusy() const { return m_agentBusy; }
    const std::optional<QString>& agentError() const { return m_agentError; }
    bool launchAtLogin() const { return m_launchAtLogin; }
    std::chrono::system_clock::time_point now() const { return m_now; }
    std::int64_t openWindows() const { return m_openWindows; }
    // The paired phones, as last fetched: every cycle while a window is open,
    // otherwise only when the daemon's count of them changes.
    const QList<PairedDevice>& devices() const { return m_devices; }

    DaemonSupervisor& supervisor() { return *m_supervisor; }
    const AgentConnector& connector() const { return m_connector; }
    const platform::PlatformServices& platformServices() const { return m_services.platform; }
    const QString& applicationsFolder() const { return m_services.agents.applicationsFolder; }
    // Whether a permission re-check is under way (at most one is).
    bool checkingPermissions() const { return m_checkingPermissions; }
    // Whether the agents' statuses are being recomputed (at most once at a time).
    bool refreshingAgents() const { return m_refreshingAgents; }

    // Starts the supervisor, learns the agents' statuses, then starts the
    // poll loop. Called once at launch.
    void start();

    // One poll cycle.
    QCoro::Task<> poll();

    // Recomputes every agent's status on a background thread and publishes
    // them when ready; until the first result `agents` stays empty. A request
    // while one runs makes it run once more afterwards.
    void refreshAgents();

    // The application quits: ends the poll loop, kills every child process
    // still running (with its process group), stops the daemon (up to 2 s).
    // Blocks the GUI thread; nothing runs afterwards.
    void shutDown();
    // The process is ending without its event loop, as when the display
    // goes away and Qt exits at once: signals the children and the daemon
    // and does not wait. Nothing when shutDown() ran.
    void abandon();

    // Actions. Each returns at once; its work goes on in a task.
    void connect(AgentKind kind);
    void dismiss(const HelpRequest& request);
    // Unpairs a phone, then polls once so the lists show it gone.
    void removeDevice(const QString& id);
    void setLaunchAtLogin(bool on);

    // The Tailscale verdict for the held status, derived again only after the
    // status changed or a new poll cycle began.
    const TailscaleState& tailscaleState() const;

    // Readiness: daemon reachable, Tailscale ready, both permissions granted.
    bool isReady() const;
    // Not ready, no phone paired, or no agent connected.
    bool needsSetup() const;
    // How long ago the request was created, as of the latest poll cycle.
    QString age(const HelpRequest& of) const;

    // The setup and pairing windows report their appearance here.
    void windowAppeared();
    void windowDisappeared();

signals:
    void changed(ringlark::AppModel::Field field);

private:
    template <typename T, typename V>
    void publish(T& field, V&& value, Field which)
    {
        field = std::forward<V>(value);
        emit changed(which);
    }

    static QCoro::Task<> pollLoop(QPointer<AppModel> model, TaskHandle handle, Services services);
    static QCoro::Task<> runConnect(QPointer<AppModel> model, AgentKind kind, AgentConnector connector);
    static QCoro::Task<> runRefreshAgents(QPointer<AppModel> model, AgentConnector connector);
    static QCoro::Task<> runDismiss(QPointer<AppModel> model, LocalAPI api, QString id);
    static QCoro::Task<> runRemoveDevice(QPointer<AppModel> model, LocalAPI api, QString id);
    static QCoro::Task<> restartDaemonIfNewlyGranted(QPointer<AppModel> model, Permissions daemonSees,
                                                     QString helper, std::chrono::milliseconds timeout);

    // The end of a cycle: the permission re-check after a successful status
    // fetch, and the agents while a window is open.
    void endCycle(const std::optional<Permissions>& daemonSees);
    // Starts a permission re-check when one could change something and its pace allows.
    void checkPermissions(const Permissions& daemonSees);

    Services m_services;

    std::optional<RinglarkStatus> m_status;
    bool m_daemonReachable = false;
    QList<HelpRequest> m_pending;
    std::optional<Pairing> m_pairing;
    AgentStatuses m_agents;
    std::optional<AgentKind> m_agentBusy;
    std::optional<QString> m_agentError;
    bool m_launchAtLogin = false;
    std::chrono::system_clock::time_point m_now;
    std::int64_t m_openWindows = 0;
    QList<PairedDevice> m_devices;

    DaemonSupervisor* m_supervisor;
    AgentConnector m_connector;
    LocalAPI m_api;
    TaskHandle m_poller;
    bool m_checkingPermissions = false;
    // The last finished re-check: what the daemon reported then, whether the
    // fresh run saw a grant the daemon lacked, and when it ended.
    struct Recheck {
        Permissions daemonSaw;
        bool sawNewGrant = false;
        std::chrono::steady_clock::time_point at;
    };
    std::optional<Recheck> m_lastRecheck;
    bool m_recheckNow = false; // a window opened: the next re-check does not wait
    std::optional<std::int64_t> m_devicesCounted; // the daemon's count when the list was last fetched
    RestartBackoff m_restarts;
    bool m_refreshingAgents = false;
    bool m_refreshAgain = false;
    bool m_shutDown = false;
    bool m_listUnread = false; // the last fetch of the requests failed; logged once
    // Cycles can overlap (an action polls at once beside the loop): a list
    // read by an older cycle never replaces one that a newer cycle published.
    std::uint64_t m_cycles = 0;
    std::uint64_t m_listCycle = 0;
    mutable std::optional<TailscaleState> m_tailscale;
};

// The connect action for one kind, as the setup window's button runs it:
// Claude Code through its program, Codex by editing its file, T3 Code not at
// all. Await on the GUI thread; the work runs on background threads.
QCoro::Task<Expected<Unit, AgentError>> connectAgent(AgentKind kind, AgentConnector connector);

// Every agent's status from one connector. Blocks on file reads and maybe a
// login shell: call off the GUI thread.
AppModel::AgentStatuses agentStatuses(const AgentConnector& connector);

// Runs the helper's `permissions` command and decodes what it prints. Blocks
// the calling thread for at most `timeout`; a run that cannot start, prints
// something else, overruns or is stopped by a quit (it is then killed with
// its process group) gives nothing.
std::optional<Permissions> freshPermissions(const QString& helper, std::chrono::milliseconds timeout);

} // namespace ringlark
