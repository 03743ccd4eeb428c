#pragma once

#include <QDir>
#include <QFile>

namespace ringlark::test {

// Writes `bytes` to `path`, creating parent folders; `executable` adds the owner's x bit.
inline void writeFile(const QString& path, const QByteArray& bytes, bool executable = false)
{
    QDir().mkpath(path.section(u'/', 0, -2));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    if (executable)
        file.setPermissions(file.permissions() | QFile::ExeOwner);
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether the process whose pid a test program wrote into `pidFile` still runs (a zombie no longer does).
inline bool stillRuns(const QString& pidFile)
{
    const QByteArray pid = readFile(pidFile).trimmed();
    const QByteArray stat = pid.isEmpty() ? QByteArray() : readFile("/proc/" + pid + "/stat");
    return !stat.isEmpty() && !stat.contains(") Z ");
}

} // namespace ringlark::test
