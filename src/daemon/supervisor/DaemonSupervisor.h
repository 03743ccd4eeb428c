#pragma once

#include "daemon/api/LocalAPI.h"
#include "daemon/supervisor/DaemonFiles.h"
#include "daemon/supervisor/StaleDaemon.h"
#include "support/Async.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <chrono>
#include <cstdint>
#include <optional>

class QProcess;

namespace ringlark {

// Keeps the helper daemon running as a child of the application: clears a
// stale copy off the port, launches the daemon with its output appended to
// the daemon log, and relaunches it after every exit with a growing delay.
// GUI thread only. Failures are logged, never raised.
class DaemonSupervisor : public QObject {
    Q_OBJECT
public:
    // The lifecycle as observers see it; compared by case and payload.
    struct State {
        enum class Case { running, backoff, stopped, starting };

        Case kind = Case::stopped;
        std::int32_t pid = 0;      // running
        std::int64_t seconds = 0;  // backoff: delay before the relaunch
        std::int32_t exitCode = 0; // backoff: how the child ended (-1: it never ran)

        static State running(std::int32_t pid) { return {Case::running, pid, 0, 0}; }
        static State backoff(std::int64_t seconds, std::int32_t exitCode) { return {Case::backoff, 0, seconds, exitCode}; }
        static State stopped() { return {}; }
        static State starting() { return {Case::starting, 0, 0, 0}; }

        bool operator==(const State&) const = default;
    };

    struct Config {
        DaemonFiles files = DaemonFiles::standard();
        // Where the stale-daemon probe looks when `stale.probe` is unset.
        QUrl base = LocalAPI::defaultBase();
        // The length of one back-off second.
        std::chrono::nanoseconds second = std::chrono::seconds(1);
        WallClock now = systemWallClock();
        // How long `stop` waits for the child, and how often it looks.
        std::chrono::milliseconds stopGrace{2000};
        std::chrono::milliseconds stopPoll{50};
        // The pid file comes from `files`; the own pid defaults to this process.
        StaleDaemonOptions stale;
    };

    // Two constructors: g++ rejects a nested struct's member initialisers in a
    // default argument of its owner.
    explicit DaemonSupervisor(QObject* parent = nullptr);
    explicit DaemonSupervisor(Config config, QObject* parent = nullptr);
    ~DaemonSupervisor() override;

    // The running application's fixed locations.
    static QString executable() { return DaemonFiles::standard().executable; }
    static QString configDirectory() { return DaemonFiles::standard().configDirectory; }
    static QString logFile() { return DaemonFiles::standard().logFile(); }

    const State& state() const { return m_state; }
    std::int64_t failures() const { return m_failures; }

    // Begins supervision; nothing while a child or a pending task exists.
    void start();
    // Ends supervision: cancels a pending relaunch, sends the child SIGTERM and
    // blocks up to the grace period for it to exit. Never kills.
    void stop();
    // For a process that ends without its event loop: sends the child
    // SIGTERM and returns at once.
    void abandon();
    // Makes a running child exit so it comes back after the first delay, or
    // starts supervision when none runs.
    void restart();

signals:
    void stateChanged(const ringlark::DaemonSupervisor::State& state);

private:
    static QCoro::Task<> runStartup(QPointer<DaemonSupervisor> self, TaskHandle token, StaleDaemonOptions stale);
    static QCoro::Task<> runRestart(QPointer<DaemonSupervisor> self, TaskHandle token, std::chrono::nanoseconds delay,
                                    bool clearStale, StaleDaemonOptions stale);

    void launch();
    void launched(QProcess* child);
    void launchFailed(QProcess* child);
    void exited(std::int32_t code);
    void setState(State state);
    bool childRunning() const;
    // Clears the pending task when `token` is still it; says whether the task may go on.
    bool finishTask(const TaskHandle& token);

    Config m_config;
    State m_state;
    QProcess* m_process = nullptr;
    TaskHandle m_restartTask;
    std::int64_t m_failures = 0;
    std::optional<std::chrono::system_clock::time_point> m_startedAt;
    bool m_stopping = false;
};

} // namespace ringlark
