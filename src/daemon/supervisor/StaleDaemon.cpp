#include "daemon/supervisor/StaleDaemon.h"

#include "daemon/api/LocalAPI.h"
#include "daemon/supervisor/Log.h"

#include <QFile>

#include <csignal>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

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

void reportNoStaleDaemon(int port)
{
    qCCritical(daemonLog, "port %d is busy but no stale Ringlark daemon was found", port);
}

struct Fd {
    int fd;
    ~Fd() { if (fd >= 0) ::close(fd); }
};

// Up to `limit` bytes of a file opened without following a link.
std::optional<QByteArray> readSmallFile(const QByteArray& path, qsizetype limit, bool regularOnly)
{
    const Fd file{::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)};
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || (regularOnly && !S_ISREG(st.st_mode)))
        return std::nullopt;
    QByteArray bytes(limit, Qt::Uninitialized);
    qsizetype held = 0;
    while (held < limit) {
        const ssize_t n = ::read(file.fd, bytes.data() + held, std::size_t(limit - held));
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        held += n;
    }
    bytes.truncate(held);
    return bytes;
}

std::optional<std::int32_t> readPidFile(const QString& path)
{
    const auto bytes = readSmallFile(QFile::encodeName(path), 4096, true);
    return bytes ? parsePid(QString::fromUtf8(*bytes)) : std::nullopt;
}

// A handle on the process itself, so that a pid reused after the check is
// never signalled; -1 where the system has none.
int openProcess(std::int32_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

void terminate(std::int32_t pid, int handle)
{
#ifdef SYS_pidfd_send_signal
    if (handle >= 0) {
        ::syscall(SYS_pidfd_send_signal, handle, SIGTERM, nullptr, 0);
        return;
    }
#endif
    (void)handle;
    ::kill(static_cast<pid_t>(pid), SIGTERM);
}

} // namespace

std::function<bool()> strangerCheck(QUrl base, DaemonAccess access)
{
    if (!access.listener)
        return {};
    return [port = static_cast<std::uint16_t>(base.port(8641)), listener = std::move(access.listener)] {
        return listener(port, true) == Listener::stranger;
    };
}

std::uint32_t currentUid()
{
    return ::geteuid();
}

std::optional<ProcessIdentity> inspectProcess(std::int32_t pid, const QString& procRoot)
{
    if (pid <= 0)
        return std::nullopt;
    const QByteArray dir = QFile::encodeName(procRoot) + '/' + QByteArray::number(pid);
    struct stat st {};
    if (::stat(dir.constData(), &st) != 0)
        return std::nullopt;
    char target[4096];
    const ssize_t length = ::readlink((dir + "/exe").constData(), target, sizeof target);
    if (length <= 0 || length == sizeof target)
        return std::nullopt;
    const auto cmdline = readSmallFile(dir + "/cmdline", 64 * 1024, false);
    if (!cmdline)
        return std::nullopt;
    ProcessIdentity process{QByteArray(target, length), {}, std::uint32_t(st.st_uid)};
    // NUL-terminated arguments, one after the other.
    for (qsizetype start = 0; start < cmdline->size();) {
        qsizetype end = cmdline->indexOf('\0', start);
        if (end < 0)
            end = cmdline->size();
        process.arguments.append(cmdline->mid(start, end - start));
        start = end + 1;
    }
    return process;
}

bool isRinglarkDaemon(const ProcessIdentity& process, std::uint32_t uid)
{
    QByteArrayView executable = process.executable;
    // The daemon of a version since replaced on disk.
    if (executable.endsWith(" (deleted)"))
        executable.chop(10);
    const qsizetype slash = executable.lastIndexOf('/');
    return executable.sliced(slash + 1) == "ringlark" && process.arguments.size() >= 2 &&
           process.arguments[1] == "daemon" && process.uid == uid;
}

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

QCoro::Task<> stopStale(StaleDaemonOptions options, TaskHandle token)
{
    if (!co_await options.probe()) {
        // Not our daemon, yet the port is taken: the launch will fail on it.
        if (options.portTakenByStranger && options.portTakenByStranger())
            reportNoStaleDaemon(options.port);
        co_return;
    }

    const auto pid = readPidFile(options.pidFile);
    const Fd handle{pid && *pid > 0 && *pid != options.ownPid ? openProcess(*pid) : -1};
    const auto process = pid && *pid != options.ownPid ? inspectProcess(*pid, options.procRoot) : std::nullopt;
    if (!process || !isRinglarkDaemon(*process, options.uid)) {
        reportNoStaleDaemon(options.port);
        co_return;
    }

    qCInfo(daemonLog, "stopping stale daemon %d", *pid);
    terminate(*pid, handle.fd);

    for (int probe = 0; probe < options.probeBudget; ++probe) {
        if (!co_await options.probe())
            co_return;
        co_await sleepFor(options.pause, token);
    }
}

} // namespace ringlark
