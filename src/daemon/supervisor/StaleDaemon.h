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

// Asks whether something answers the daemon's status endpoint.
using StatusProbe = std::function<QCoro::Task<bool>()>;

// A probe that, for every call, builds a fresh client for `base` (3 s without
// data, 5 s per exchange) and says whether GET /v1/status decoded. It proves
// itself and checks the listener like any other client, through `access`.
StatusProbe statusProbe(QUrl base, DaemonAccess access);

struct StaleDaemonOptions {
    QString pidFile;
    StatusProbe probe;
    // Never signalled, whatever the pid file says.
    std::int64_t ownPid = QCoreApplication::applicationPid();
    // Between probes while waiting for the port to free, and how many.
    std::chrono::nanoseconds pause = std::chrono::milliseconds(100);
    int probeBudget = 40;
    QString psProgram = QStringLiteral("/bin/ps");
};

// Parses a pid file's content: surrounding white space is dropped, then an
// optional sign and decimal digits only, within the 32-bit signed range.
std::optional<std::int32_t> parsePid(QStringView text);

// The command line of process `of` as the process-status tool prints it
// (trailing line break included), or empty when the tool cannot run. Blocks
// until the tool exits.
QString commandLine(std::int32_t of, const QString& psProgram = QStringLiteral("/bin/ps"));

// Stops a copy of the daemon left over from an earlier run that still holds
// the port: only a process named in the pid file whose command line contains
// "ringlark" is sent SIGTERM, and then the port is watched until it frees or
// the probe budget runs out. Failures are logged, never raised. Cancelling
// `token` only shortens the pauses.
QCoro::Task<> stopStale(StaleDaemonOptions options, TaskHandle token = {});

} // namespace ringlark
