#include "daemon/supervisor/DaemonSupervisor.h"

#include "daemon/supervisor/Log.h"

#include <QProcess>

#include <unistd.h>

namespace ringlark {

namespace {

using namespace std::chrono_literals;

// A run longer than this counts as healthy and resets the back-off.
constexpr auto healthyRun = 60s;

std::int64_t backoffSeconds(std::int64_t failures)
{
    return failures >= 6 ? 30 : std::int64_t{1} << (failures - 1);
}

} // namespace

DaemonSupervisor::DaemonSupervisor(QObject* parent) : DaemonSupervisor(Config{}, parent) {}

DaemonSupervisor::DaemonSupervisor(Config config, QObject* parent)
    : QObject(parent), m_config(std::move(config))
{
    if (m_config.stale.pidFile.isEmpty())
        m_config.stale.pidFile = m_config.files.pidFile();
    m_config.stale.port = m_config.base.port(m_config.stale.port);
    if (!m_config.stale.probe) {
        const auto access = DaemonAccess::inDirectory(m_config.files.configDirectory);
        m_config.stale.probe = statusProbe(m_config.base, access);
        if (!m_config.stale.portTakenByStranger)
            m_config.stale.portTakenByStranger = strangerCheck(m_config.base, access);
    }
}

DaemonSupervisor::~DaemonSupervisor()
{
    // Destroying a running QProcess kills its child, and the daemon is only
    // ever asked to stop: a child still running keeps its process object,
    // deliberately never deleted, and outlives us.
    if (childRunning()) {
        m_process->disconnect(this);
        m_process->setParent(nullptr);
    }
}

void DaemonSupervisor::start()
{
    if (m_process || m_restartTask)
        return;
    m_stopping = false;
    auto token = makeTaskHandle();
    m_restartTask = token;
    runStartup(this, token, m_config.stale);
}

QCoro::Task<> DaemonSupervisor::runStartup(QPointer<DaemonSupervisor> self, TaskHandle token,
                                           StaleDaemonOptions stale)
{
    co_await stopStale(std::move(stale), token);
    if (!self || !self->finishTask(token))
        co_return;
    self->launch();
}

QCoro::Task<> DaemonSupervisor::runRestart(QPointer<DaemonSupervisor> self, TaskHandle token,
                                           std::chrono::nanoseconds delay, bool clearStale,
                                           StaleDaemonOptions stale)
{
    co_await sleepFor(delay, token);
    if (!self || token->isCancelled())
        co_return;
    if (clearStale) {
        co_await stopStale(std::move(stale), token);
        if (!self)
            co_return;
    }
    if (!self->finishTask(token))
        co_return;
    self->launch();
}

bool DaemonSupervisor::finishTask(const TaskHandle& token)
{
    // A task cancelled by `stop` launches nothing, even when a later `start`
    // has cleared `m_stopping` and begun a task of its own meanwhile.
    if (token->isCancelled())
        return false;
    if (m_restartTask == token)
        m_restartTask.reset();
    return true;
}

void DaemonSupervisor::launch()
{
    if (m_stopping)
        return;

    // Opened here, not by path in the child: a path would follow whatever
    // link someone put in the log's place.
    const LogTarget log = openLog(m_config.files);
    auto* child = new QProcess(this);
    child->setProgram(m_config.files.executable);
    child->setArguments({QStringLiteral("daemon")});
    child->setStandardOutputFile(QProcess::nullDevice());
    child->setStandardErrorFile(QProcess::nullDevice());
    if (!log.isNullDevice()) {
        // Both streams share the one appending descriptor, so their lines
        // stay in order. Runs in the child between fork and exec.
        const int fd = log.fd();
        child->setChildProcessModifier([fd] {
            ::dup2(fd, STDOUT_FILENO);
            ::dup2(fd, STDERR_FILENO);
        });
    }

    connect(child, &QProcess::started, this, [this, child] { launched(child); });
    connect(child, &QProcess::errorOccurred, this, [this, child](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            launchFailed(child);
    });
    // Queued, like a notice from another thread: `stop` may see the child end
    // inside its wait, and the exit is handled afterwards all the same. A
    // crashed child reports its signal number as the exit code.
    connect(child, &QProcess::finished, this,
            [this, guard = QPointer<QProcess>(child)](int code, QProcess::ExitStatus) {
                if (guard && guard == m_process)
                    exited(code);
            },
            Qt::QueuedConnection);

    setState(State::starting());
    m_process = child;
    // Forks at once: the child holds its own copies when `log` closes ours.
    child->start();
}

void DaemonSupervisor::launched(QProcess* child)
{
    if (child != m_process)
        return;
    const auto pid = static_cast<std::int32_t>(child->processId());
    m_startedAt = m_config.now();
    setState(State::running(pid));
    qCInfo(daemonLog, "daemon started (pid %d)", pid);
}

void DaemonSupervisor::launchFailed(QProcess* child)
{
    if (child != m_process)
        return;
    qCCritical(daemonLog, "daemon failed to launch: %s", qUtf8Printable(child->errorString()));
    exited(-1);
}

void DaemonSupervisor::exited(std::int32_t code)
{
    if (m_process) {
        m_process->deleteLater();
        m_process = nullptr;
    }
    if (m_stopping) {
        setState(State::stopped());
        return;
    }

    if (m_startedAt && m_config.now() - *m_startedAt > healthyRun)
        m_failures = 0;
    ++m_failures;
    const std::int64_t delay = backoffSeconds(m_failures);
    setState(State::backoff(delay, code));
    qCCritical(daemonLog, "daemon exited with %d; restarting in %llds", code, static_cast<long long>(delay));

    auto token = makeTaskHandle();
    m_restartTask = token;
    runRestart(this, token, delay * m_config.second, code == 3, m_config.stale);
}

void DaemonSupervisor::stop()
{
    m_stopping = true;
    if (m_restartTask) {
        m_restartTask->cancel();
        m_restartTask.reset();
    }
    if (!childRunning())
        return;

    // Blocking is intended: this runs as the application exits.
    m_process->terminate();
    const auto deadline = std::chrono::steady_clock::now() + m_config.stopGrace;
    while (childRunning() && std::chrono::steady_clock::now() < deadline)
        m_process->waitForFinished(static_cast<int>(m_config.stopPoll.count()));
}

void DaemonSupervisor::abandon()
{
    m_stopping = true;
    if (childRunning())
        m_process->terminate();
}

void DaemonSupervisor::restart()
{
    if (childRunning()) {
        m_failures = 0;
        m_process->terminate();
        return;
    }
    start();
}

bool DaemonSupervisor::childRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

void DaemonSupervisor::setState(State state)
{
    m_state = state;
    emit stateChanged(m_state);
}

} // namespace ringlark
