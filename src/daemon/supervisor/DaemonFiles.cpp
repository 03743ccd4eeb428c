#include "daemon/supervisor/DaemonFiles.h"

#include "daemon/supervisor/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ringlark {

QString DaemonFiles::logFile() const { return configDirectory + QStringLiteral("/daemon.log"); }
QString DaemonFiles::rotatedLog() const { return configDirectory + QStringLiteral("/daemon.log.1"); }
QString DaemonFiles::pidFile() const { return configDirectory + QStringLiteral("/daemon.pid"); }

DaemonFiles DaemonFiles::at(const QString& bundle, const QString& home)
{
    return {QDir(bundle).filePath(QStringLiteral("Contents/Helpers/ringlark")),
            QDir(home).filePath(QStringLiteral(".ringlark"))};
}

const DaemonFiles& DaemonFiles::standard()
{
    // The executable sits at Ringlark.app/Contents/MacOS/Ringlark.
    static const DaemonFiles files = at(
        QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../..")), QDir::homePath());
    return files;
}

LogTarget& LogTarget::operator=(LogTarget&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

LogTarget::~LogTarget()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

namespace {

constexpr const char* logName = "daemon.log";
constexpr const char* rotatedName = "daemon.log.1";

// The per-user directory, opened without following a link, ours and 0700;
// -1 when it cannot be, with a log line when it is someone else's doing.
int openDirectory(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    QDir().mkpath(QFileInfo(path).path());
    ::mkdir(native.constData(), 0700);

    struct stat st {};
    if (::lstat(native.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
        qCCritical(daemonLog, "refusing %s: it is a symbolic link; the daemon's output is discarded",
                   native.constData());
        return -1;
    }
    const int dir = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return -1; // not a directory, or gone: nothing to write into
    if (::fstat(dir, &st) != 0 || st.st_uid != ::geteuid()) {
        qCCritical(daemonLog, "refusing %s: it belongs to another user; the daemon's output is discarded",
                   native.constData());
        ::close(dir);
        return -1;
    }
    // Others must not read the daemon's files, nor swap them.
    if ((st.st_mode & 07777) != 0700)
        ::fchmod(dir, 0700);
    return dir;
}

} // namespace

LogTarget openLog(const DaemonFiles& files)
{
    const int dir = openDirectory(files.configDirectory);
    if (dir < 0)
        return {};

    struct stat st {};
    if (::fstatat(dir, logName, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(st.st_mode)) {
            qCCritical(daemonLog, "refusing %s: it is not a plain file; the daemon's output is discarded",
                       qPrintable(files.logFile()));
            ::close(dir);
            return {};
        }
        // Renaming moves the name itself, never what a link points to.
        if (st.st_size > logRotationThreshold) {
            ::unlinkat(dir, rotatedName, 0);
            ::renameat(dir, logName, dir, rotatedName);
        }
    }

    // Non-blocking, so a fifo put in the log's place cannot hang the launch.
    const int fd = ::openat(dir, logName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    ::close(dir);
    if (fd < 0)
        return {};
    LogTarget log(fd);
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
        return {};
    if ((st.st_mode & 07777) != 0600)
        ::fchmod(fd, 0600);
    ::fcntl(fd, F_SETFL, O_APPEND);
    return log;
}

} // namespace ringlark
