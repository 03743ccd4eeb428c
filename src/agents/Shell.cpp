#include "agents/Shell.h"

#include "support/Text.h"

#include <QCoroFuture>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QProcess>
#include <QProcessEnvironment>
#include <QtConcurrent/QtConcurrentRun>

#include <unistd.h>

namespace ringlark {

namespace {

// Replaces the shell by the program; "$0" and "$@" pass every argument on
// unchanged, whatever spaces or quotes it holds.
const QString execScript = QStringLiteral("exec \"$0\" \"$@\"");

// What a pool thread hands back; plain and default-constructible for QFuture.
struct Finished {
    bool started = false;
    int exitCode = 0;
    QByteArray output;
    QString startError;
};

Finished runToEnd(const QString& shell, const QStringList& arguments, const QString& home)
{
    QProcess process;
    process.setProgram(shell);
    process.setArguments(arguments);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    process.setProcessEnvironment(environment);
    // One pipe for both streams keeps them interleaved as written.
    process.setProcessChannelMode(QProcess::MergedChannels);
    // A program that reads its input gets an end of file, never a terminal to hang on.
    process.setStandardInputFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted(-1))
        return {false, 0, {}, process.errorString()};
    // Waiting keeps reading the pipe, so a chatty child never stalls on a full one.
    process.waitForFinished(-1);
    return {true, process.exitCode(), process.readAll(), {}};
}

bool isExecutableFile(const QString& path)
{
    return QFileInfo(path).isFile() && ::access(QFile::encodeName(path).constData(), X_OK) == 0;
}

struct CacheEntry {
    std::chrono::steady_clock::time_point stamp;
    std::optional<QString> path;
};

QMutex& cacheLock()
{
    static QMutex lock;
    return lock;
}

QHash<QString, CacheEntry>& found()
{
    static QHash<QString, CacheEntry> entries;
    return entries;
}

} // namespace

QCoro::Task<Expected<Shell::Result, AgentError>> Shell::run(QString executable, QStringList arguments, QString home,
                                                            QString loginShell)
{
    QStringList shellArguments{QStringLiteral("-lc"), execScript, executable};
    shellArguments += arguments;
    const Finished finished = co_await QtConcurrent::run(runToEnd, loginShell, shellArguments, home);
    if (!finished.started)
        co_return unexpected(AgentError::commandFailed(finished.startError));
    co_return Result{finished.exitCode, repairUtf8(finished.output).trimmed()};
}

std::optional<QString> Shell::find(const QString& name, const QString& home, const QStringList& extra,
                                   const Context& context)
{
    const QString key = home + u'|' + name;
    {
        QMutexLocker locker(&cacheLock());
        const auto entry = found().constFind(key);
        if (entry != found().cend() && context.clock() - entry->stamp < cacheLifetime)
            return entry->path;
    }
    // Searched without the lock: a login shell may take a while, and two
    // simultaneous misses of one key may both search; the later store wins.
    std::optional<QString> result = locate(name, home, extra, context);
    QMutexLocker locker(&cacheLock());
    found().insert(key, CacheEntry{context.clock(), result});
    return result;
}

std::optional<QString> Shell::find(const QString& name, const QString& home, const QStringList& extra)
{
    return find(name, home, extra, Context{});
}

std::optional<QString> Shell::locate(const QString& name, const QString& home, const QStringList& extra,
                                     const Context& context)
{
    const QDir homeDir(home);
    QStringList candidates{homeDir.filePath(QStringLiteral(".local/bin/") + name)};
    for (const QString& directory : context.systemBinDirectories)
        candidates.append(directory + u'/' + name);
    candidates.append(homeDir.filePath(QStringLiteral(".npm-global/bin/") + name));
    candidates += extra;
    for (const QString& candidate : candidates) {
        if (isExecutableFile(candidate))
            return candidate;
    }

    // Last resort: whatever the user's login profile puts on the path.
    QProcess shell;
    shell.setProgram(context.loginShell);
    shell.setArguments({QStringLiteral("-lc"), QStringLiteral("command -v ") + name});
    shell.setStandardInputFile(QProcess::nullDevice());
    shell.setStandardErrorFile(QProcess::nullDevice());
    shell.start();
    if (!shell.waitForStarted(-1))
        return std::nullopt;
    // Detection runs on the GUI thread: a login profile that never returns
    // must not freeze the application, so a run past the bound counts as not found.
    if (!shell.waitForFinished(static_cast<int>(context.lookupBound.count()))) {
        shell.kill();
        shell.waitForFinished(-1);
        return std::nullopt;
    }
    const QString path = repairUtf8(shell.readAllStandardOutput()).trimmed();
    if (shell.exitStatus() != QProcess::NormalExit || shell.exitCode() != 0 || path.isEmpty())
        return std::nullopt;
    return path;
}

} // namespace ringlark
