#pragma once

#include "agents/Agents.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <ostream>

// Readable failure output for statuses.
namespace ringlark {
inline void PrintTo(const AgentStatus& status, std::ostream* out) { *out << status.describe().toStdString(); }
} // namespace ringlark

namespace ringlark::test {

// Writes `bytes` to `path`, creating parent folders; `executable` adds the x bits.
inline void writeFile(const QString& path, const QByteArray& bytes, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    file.close();
    if (executable)
        file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace ringlark::test
