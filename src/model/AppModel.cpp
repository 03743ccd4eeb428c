#include "model/AppModel.h"

#include "agents/ChildProcess.h"
#include "model/AgeText.h"

#include <QDir>
#include <QThreadPool>
#include <QtConcurrent>
#include <QCoroFuture>

#include <algorithm>
#include <utility>

namespace ringlark {

namespace {

bool countsAsConnected(const AgentStatus& status)
{
    return status.kind() == AgentStatus::Kind::connected || status.kind() == AgentStatus::Kind::inherited;
}

} // namespace

AppModel::AppModel(Services services, QObject* parent)
    : QObject(parent),
      m_services(std::move(services)),
      m_now(m_services.clock()),
      m_supervisor(new DaemonSupervisor(m_services.supervisor, this)),
      m_connector(m_services.home.isEmpty() ? QDir::homePath() : m_services.home,
                  m_services.supervisor.files.executable, m_services.agents),
      m_api(m_services.daemonBase, m_services.apiLimits, DaemonAccess::inDirectory(m_services.supervisor.files.configDirectory))
{
    if (!m_services.platform.workspace || !m_services.platform.loginItem || !m_services.platform.privacy)
        m_services.platform = platform::defaultServices();
    m_launchAtLogin = m_services.platform.loginItem->status() == platform::LoginItem::Status::enabled;
}

AppModel::~AppModel()
{
    if (m_poller)
        m_poller->cancel();
}

void AppModel::shutDown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    if (m_poller)
        m_poller->cancel();
    ChildProcesses::killAll();
    m_supervisor->stop();
    // The threads that waited for the killed children end at once; a short
    // wait lets them finish before the process tears down.
    ChildProcesses::pool()->waitForDone(250);
}

void AppModel::abandon()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    ChildProcesses::killAll();
    m_supervisor->abandon();
}

void AppModel::start()
{
    m_supervisor->start();
    refreshAgents();
    // A handle already there is replaced, not cancelled.
    m_poller = makeTaskHandle();
    pollLoop(QPointer<AppModel>(this), m_poller, m_services);
}

// Holds the model weakly: deleting the model cancels the loop, and a cycle in
// flight notices the model is gone before touching it.
QCoro::Task<> AppModel::pollLoop(QPointer<AppModel> model, TaskHandle handle, Services services)
{
    while (!handle->isCancelled()) {
        if (model)
            co_await model->poll();
        const auto pause = model && model->m_openWindows > 0 ? services.shortPause : services.longPause;
        // The pause counts from the end of the cycle; a cancel ends it early
        // and the loop condition then ends the loop.
        co_await services.sleep(pause, handle);
    }
}

QCoro::Task<> AppModel::poll()
{
    QPointer<AppModel> self(this);
    const std::uint64_t cycle = ++m_cycles;
    publish(m_now, m_services.clock(), Field::now);
    // Whether Tailscale is installed and running is asked again once per cycle.
    m_tailscale.reset();

    auto fetched = co_await m_api.status();
    if (!self)
        co_return;
    if (!fetched) {
        publish(m_daemonReachable, false, Field::daemonReachable);
        endCycle(std::nullopt);
        co_return;
    }
    const RinglarkStatus status = std::move(*fetched);
    publish(m_daemonReachable, true, Field::daemonReachable);
    if (m_status != status) {
        m_tailscale.reset();
        publish(m_status, status, Field::status);
    }

    if (status.pending != 0) {
        auto list = co_await m_api.requests();
        if (!self)
            co_return;
        if (cycle < m_listCycle)
            co_return; // a newer cycle has already published, and goes on from there
        m_listCycle = cycle;
        // A failed fetch keeps the list but still tells observers; the first
        // failure in a row leaves a line in the log.
        if (!list && !std::exchange(m_listUnread, true))
            qWarning().noquote() << "help requests not read, keeping the last list:" << describe(list.error());
        m_listUnread = !list;
        publish(m_pending, list ? std::move(*list) : m_pending, Field::pending);
    } else {
        m_listCycle = cycle;
        m_listUnread = false;
        publish(m_pending, QList<HelpRequest>{}, Field::pending);
    }

    if (!status.tailscale.ok) {
        publish(m_pairing, std::nullopt, Field::pairing);
    } else if (!m_pairing || m_openWindows > 0) {
        auto pairing = co_await m_api.pairing();
        if (!self)
            co_return;
        publish(m_pairing, pairing ? std::optional<Pairing>(std::move(*pairing)) : std::nullopt, Field::pairing);
    }

    // Only the windows list the phones; an idle cycle asks only when their number changed.
    const std::int64_t count = status.push.devices;
    if (count == 0) {
        if (!m_devices.isEmpty())
            publish(m_devices, QList<PairedDevice>{}, Field::devices);
    } else if (m_openWindows > 0 || m_devicesCounted != count) {
        auto devices = co_await m_api.devices();
        if (!self)
            co_return;
        if (devices)
            publish(m_devices, std::move(*devices), Field::devices);
    }
    // Also after a failure: a daemon without the list is not asked again every cycle.
    m_devicesCounted = count;

    endCycle(status.permissions);
}

void AppModel::endCycle(const std::optional<Permissions>& daemonSees)
{
    if (daemonSees) {
        m_restarts.observe(*daemonSees);
        checkPermissions(*daemonSees);
    }
    if (m_openWindows > 0)
        refreshAgents();
}

void AppModel::checkPermissions(const Permissions& daemonSees)
{
    const bool missing = !(daemonSees.screenRecording && daemonSees.accessibility);
    const auto now = m_services.steadyClock();
    if (!missing || m_checkingPermissions || !m_restarts.worthChecking(daemonSees, now))
        return;
    // A permission the session cannot give (no X11 display, say) stays missing
    // for good: while the last run agreed with the daemon, one helper run a
    // minute is enough, not one per poll.
    const bool agreed = m_lastRecheck && m_lastRecheck->daemonSaw == daemonSees && !m_lastRecheck->sawNewGrant;
    if (agreed && !m_recheckNow && now - m_lastRecheck->at < m_services.permissionsRecheck)
        return;
    m_recheckNow = false;
    m_checkingPermissions = true;
    restartDaemonIfNewlyGranted(QPointer<AppModel>(this), daemonSees, m_connector.mcpExecutable(),
                                m_services.permissionsTimeout);
}

QCoro::Task<> AppModel::restartDaemonIfNewlyGranted(QPointer<AppModel> model, Permissions daemonSees, QString helper,
                                                    std::chrono::milliseconds timeout)
{
    const auto fresh = co_await QtConcurrent::run(ChildProcesses::pool(), freshPermissions, helper, timeout);
    if (!model || model->m_shutDown)
        co_return;
    // Only a grant the running daemon has not seen yet is worth a restart;
    // a permission taken away never is.
    const auto now = model->m_services.steadyClock();
    if (fresh && model->m_restarts.restartFor(daemonSees, *fresh, now))
        model->m_supervisor->restart();
    const bool newGrant = fresh
        && ((fresh->screenRecording && !daemonSees.screenRecording) || (fresh->accessibility && !daemonSees.accessibility));
    model->m_lastRecheck = Recheck{daemonSees, newGrant, now};
    model->m_checkingPermissions = false;
}

std::optional<Permissions> freshPermissions(const QString& helper, std::chrono::milliseconds timeout)
{
    const ChildOutcome outcome = runChild({.program = helper,
                                           .arguments = {QStringLiteral("permissions")},
                                           .environment = std::nullopt,
                                           .bound = timeout,
                                           .errors = ChildRequest::Errors::forward,
                                           .forwardInput = true});
    // Cut short or killed: no news.
    if (outcome.end != ChildOutcome::End::exited && outcome.end != ChildOutcome::End::crashed)
        return std::nullopt;
    auto decoded = decode<Permissions>(outcome.output);
    if (!decoded)
        return std::nullopt;
    return *decoded;
}

AppModel::AgentStatuses agentStatuses(const AgentConnector& connector)
{
    AppModel::AgentStatuses statuses;
    for (const AgentKind kind : AgentKind::allCases())
        statuses.emplace(kind, connector.status(kind));
    return statuses;
}

void AppModel::refreshAgents()
{
    if (m_shutDown)
        return;
    if (m_refreshingAgents) {
        m_refreshAgain = true;
        return;
    }
    m_refreshingAgents = true;
    runRefreshAgents(QPointer<AppModel>(this), m_connector);
}

QCoro::Task<> AppModel::runRefreshAgents(QPointer<AppModel> model, AgentConnector connector)
{
    // Named, not a temporary: g++ 12 destroys a capturing closure built
    // inside a co_await expression at the wrong address.
    auto compute = [connector] { return agentStatuses(connector.resolved()); };
    for (;;) {
        AgentStatuses statuses = co_await QtConcurrent::run(ChildProcesses::pool(), compute);
        if (!model || model->m_shutDown)
            co_return;
        model->publish(model->m_agents, std::move(statuses), Field::agents);
        if (!model->m_refreshAgain)
            break;
        model->m_refreshAgain = false;
    }
    model->m_refreshingAgents = false;
}

void AppModel::connect(AgentKind kind)
{
    // One connection at a time.
    if (m_agentBusy)
        return;
    publish(m_agentBusy, kind, Field::agentBusy);
    publish(m_agentError, std::nullopt, Field::agentError);
    runConnect(QPointer<AppModel>(this), kind, m_connector);
}

QCoro::Task<Expected<Unit, AgentError>> connectAgent(AgentKind kind, AgentConnector connector)
{
    switch (kind) {
    case AgentKind::claudeCode:
        // The claude program runs on a background thread; this task only waits.
        co_return co_await connector.connectClaude();
    case AgentKind::codex: {
        // Named, not a temporary: g++ 12 destroys a capturing closure built
        // inside a co_await expression at the wrong address.
        auto edit = [connector] { return connector.resolved().connectCodex(); };
        co_return co_await QtConcurrent::run(ChildProcesses::pool(), edit);
    }
    case AgentKind::t3:
        // Reached through the other two; nothing of its own to connect.
        break;
    }
    co_return Unit{};
}

QCoro::Task<> AppModel::runConnect(QPointer<AppModel> model, AgentKind kind, AgentConnector connector)
{
    const Expected<Unit, AgentError> outcome = co_await connectAgent(kind, connector);
    // The statuses are read away from the GUI thread too, and published
    // before the agent stops being busy, so the row never shows stale state.
    auto compute = [connector] { return agentStatuses(connector.resolved()); };
    AgentStatuses statuses = co_await QtConcurrent::run(ChildProcesses::pool(), compute);
    if (!model || model->m_shutDown)
        co_return;
    if (!outcome)
        model->publish(model->m_agentError, outcome.error().message(), Field::agentError);
    model->publish(model->m_agents, std::move(statuses), Field::agents);
    // A refresh that began before the connection finished would publish
    // older statuses after these; let it run once more.
    if (model->m_refreshingAgents)
        model->m_refreshAgain = true;
    model->publish(model->m_agentBusy, std::nullopt, Field::agentBusy);
}

void AppModel::dismiss(const HelpRequest& request)
{
    runDismiss(QPointer<AppModel>(this), m_api, request.id);
}

QCoro::Task<> AppModel::runDismiss(QPointer<AppModel> model, LocalAPI api, QString id)
{
    // A failure shows in the cycle that follows: the request is still listed.
    co_await api.dismiss(id);
    if (model)
        co_await model->poll();
}

void AppModel::removeDevice(const QString& id)
{
    runRemoveDevice(QPointer<AppModel>(this), m_api, id);
}

QCoro::Task<> AppModel::runRemoveDevice(QPointer<AppModel> model, LocalAPI api, QString id)
{
    // As with dismissing: a failure shows as the phone still listed.
    co_await api.removeDevice(id);
    if (model)
        co_await model->poll();
}

void AppModel::setLaunchAtLogin(bool on)
{
    auto& item = *m_services.platform.loginItem;
    const auto outcome = on ? item.registerItem() : item.unregisterItem();
    if (!outcome)
        qWarning().noquote() << QStringLiteral("launch at login: ") + outcome.error().description;
    // The real state, whatever was asked: approval still pending reads as off.
    publish(m_launchAtLogin, item.status() == platform::LoginItem::Status::enabled, Field::launchAtLogin);
}

const TailscaleState& AppModel::tailscaleState() const
{
    if (!m_tailscale) {
        m_tailscale = TailscaleState::current(m_status ? std::optional<Tailscale>(m_status->tailscale) : std::nullopt,
                                              *m_services.platform.workspace, applicationsFolder());
    }
    return *m_tailscale;
}

bool AppModel::isReady() const
{
    if (!m_daemonReachable || !m_status)
        return false;
    return tailscaleState().kind() == TailscaleState::Kind::ready && m_status->permissions.screenRecording
        && m_status->permissions.accessibility;
}

bool AppModel::needsSetup() const
{
    if (!isReady())
        return true;
    if (m_status->push.devices == 0)
        return true;
    const auto kinds = AgentKind::allCases();
    return std::none_of(kinds.begin(), kinds.end(), [this](AgentKind kind) {
        const auto it = m_agents.find(kind);
        return it != m_agents.end() && countsAsConnected(it->second);
    });
}

QString AppModel::age(const HelpRequest& of) const
{
    return ageText(of.createdAt, m_now);
}

void AppModel::windowAppeared()
{
    publish(m_openWindows, m_openWindows + 1, Field::openWindows);
    // Someone looking at the permission rows gets a fresh answer, not one up to a minute old.
    if (m_checkingPermissions)
        return;
    m_recheckNow = true;
    if (m_daemonReachable && m_status)
        checkPermissions(m_status->permissions);
}

void AppModel::windowDisappeared()
{
    publish(m_openWindows, std::max<std::int64_t>(0, m_openWindows - 1), Field::openWindows);
}

} // namespace ringlark
