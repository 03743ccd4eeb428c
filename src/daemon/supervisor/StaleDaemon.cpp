#include "daemon/supervisor/StaleDaemon.h"

#include "daemon/api/LocalAPI.h"
#include "daemon/supervisor/Log.h"
#include "support/Text.h"

#include <QFile>
#include <QProcess>

#include <csignal>
#include <limits>

#include <sys/types.h>

namespace ringlark {

namespace {

// A coroutine of its own rather than a capturing lambda, so `base` lives in
// the coroutine frame while the request is in flight.
QCoro::Task<bool> probeOnce(QUrl base, DaemonAccess access)
{
    using namespace std::chrono_literals;
    const LocalAPI client(std::move(base), LocalAPI::Limits{3000ms, 5000ms}, std::move(access));
    const auto status = co_await client.status();
    co_return status.has_value();
}

void reportNoStaleDaemon()
{
    qCCritical(daemonLog, "port 8641 is busy but no stale Ringlark daemon was found");
}

std::optional<std::int32_t> readPidFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return parsePid(QString::fromUtf8(file.readAll()));
}

} // namespace

StatusProbe statusProbe(QUrl base, DaemonAccess access)
{
    return [base = std::move(base), access = std::move(access)] { return probeOnce(base, access); };
}

std::optional<std::int32_t> parsePid(QStringView text)
{
    text = text.trimmed();
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text = text.mid(1);
    }
    if (text.isEmpty())
        return std::nullopt;
    // Accumulate as a negative number so that the minimum value fits.
    constexpr std::int64_t min = std::numeric_limits<std::int32_t>::min();
    std::int64_t value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 - (c.unicode() - u'0');
        if (value < min)
            return std::nullopt;
    }
    if (!negative) {
        value = -value;
        if (value > std::numeric_limits<std::int32_t>::max())
            return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

QString commandLine(std::int32_t of, const QString& psProgram)
{
    QProcess ps;
    ps.setStandardErrorFile(QProcess::nullDevice());
    ps.start(psProgram, {QStringLiteral("-o"), QStringLiteral("command="), QStringLiteral("-p"), QString::number(of)});
    if (!ps.waitForStarted())
        return {};
    ps.waitForFinished(-1);
    return repairUtf8(ps.readAllStandardOutput());
}

QCoro::Task<> stopStale(StaleDaemonOptions options, TaskHandle token)
{
    if (!co_await options.probe())
        co_return;

    const auto pid = readPidFile(options.pidFile);
    if (!pid || *pid == options.ownPid || !commandLine(*pid, options.psProgram).contains(u"ringlark")) {
        reportNoStaleDaemon();
        co_return;
    }

    qCInfo(daemonLog, "stopping stale daemon %d", *pid);
    ::kill(static_cast<pid_t>(*pid), SIGTERM);

    for (int probe = 0; probe < options.probeBudget; ++probe) {
        if (!co_await options.probe())
            co_return;
        co_await sleepFor(options.pause, token);
    }
}

} // namespace ringlark
