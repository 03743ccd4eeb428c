#pragma once

#include "daemon/api/DaemonAccess.h"
#include "support/Async.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QString>
#include <QStringView>
#include <QUrl>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace ringlark {

// The effective user of this process.
std::uint32_t currentUid();

// Asks whether something answers the daemon's status endpoint.
using StatusProbe = std::function<QCoro::Task<bool>()>;

// A probe that, for every call, builds a fresh client for `base` (3 s without
// data, 5 s per exchange) and says whether GET /v1/status decoded. It proves
// itself and checks the listener like any other client, through `access`.
StatusProbe statusProbe(QUrl base, DaemonAccess access);

// Whether `access` sees another user's listener on the port of `base`.
std::function<bool()> strangerCheck(QUrl base, DaemonAccess access);

struct StaleDaemonOptions {
    QString pidFile;
    StatusProbe probe;
    // Whether another user's program holds the port; unset: never.
    std::function<bool()> portTakenByStranger = {};
    // Never signalled, whatever the pid file says.
    std::int64_t ownPid = QCoreApplication::applicationPid();
    // Between probes while waiting for the port to free, and how many.
    std::chrono::nanoseconds pause = std::chrono::milliseconds(100);
    int probeBudget = 40;
    // Where the system describes its processes, and the user a stale daemon
    // must belong to.
    QString procRoot = QStringLiteral("/proc");
    std::uint32_t uid = currentUid();
    // The port the daemon listens on, as the log names it.
    int port = 8641;
};

// Parses a pid file's content: surrounding white space is dropped, then an
// optional sign and decimal digits only, within the 32-bit signed range.
std::optional<std::int32_t> parsePid(QStringView text);

// A process as the system reports it.
struct ProcessIdentity {
    QByteArray executable;       // as the system resolves it, " (deleted)" after an upgrade
    QList<QByteArray> arguments; // argv, the program name first
    std::uint32_t uid = 0;
};

// Reads `<procRoot>/<pid>`; nothing when the process is gone or hidden.
std::optional<ProcessIdentity> inspectProcess(std::int32_t pid, const QString& procRoot = QStringLiteral("/proc"));

// Whether `process` is a daemon of ours: an executable file named exactly
// "ringlark", run with "daemon" as its first argument, by `uid`.
bool isRinglarkDaemon(const ProcessIdentity& process, std::uint32_t uid);

// Stops a copy of the daemon left over from an earlier run that still holds
// the port: only the process named in the pid file that is identified as a
// daemon of ours is sent SIGTERM, and then the port is watched until it frees
// or the probe budget runs out. Where the system does not describe its
// processes, nothing is signalled. Failures are logged, never raised.
// Cancelling `token` only shortens the pauses.
QCoro::Task<> stopStale(StaleDaemonOptions options, TaskHandle token = {});

} // namespace ringlark
