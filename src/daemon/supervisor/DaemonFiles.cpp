#include "daemon/supervisor/DaemonFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

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

QString openLog(const DaemonFiles& files)
{
    QDir().mkpath(files.configDirectory);

    const QString log = files.logFile();
    const QFileInfo info(log);
    if (info.isFile() && info.size() > logRotationThreshold) {
        QFile::remove(files.rotatedLog());
        QFile::rename(log, files.rotatedLog());
    }

    // Append mode creates a missing log; the child reopens it the same way.
    QFile file(log);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return QProcess::nullDevice();
    return log;
}

} // namespace ringlark
