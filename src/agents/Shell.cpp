#include "agents/Shell.h"

#include "agents/ChildProcess.h"
#include "support/Text.h"

#include <QCoroFuture>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QtConcurrent/QtConcurrentRun>

#include <unistd.h>

namespace ringlark {

namespace {

const QByteArray marker = QByteArrayLiteral("__ringlark_environment__");

// Prints the marker, the environment NUL-separated, and the marker again.
// Understood alike by POSIX shells, fish and csh.
const QString dumpScript = QStringLiteral("printf '%s' ") + QString::fromLatin1(marker) + QStringLiteral("; env -0; printf '%s' ")
    + QString::fromLatin1(marker);

// Replaces the shell by the program; "$0" and "$@" pass every argument on
// unchanged, whatever spaces or quotes it holds. Always given to /bin/sh,
// never to the user's shell, whose syntax may differ.
const QString execScript = QStringLiteral("exec \"$0\" \"$@\"");

bool isExecutableFile(const QString& path)
{
    return QFileInfo(path).isFile() && ::access(QFile::encodeName(path).constData(), X_OK) == 0;
}

std::optional<QProcessEnvironment> capture(const QString& shell, const QString& home, std::chrono::milliseconds bound)
{
    QProcessEnvironment start = QProcessEnvironment::systemEnvironment();
    start.insert(QStringLiteral("HOME"), home);
    const ChildOutcome outcome = runChild({.program = shell,
                                           .arguments = Shell::environmentArguments(Shell::flavorOf(shell)),
                                           .environment = start,
                                           .bound = bound});
    if (outcome.end != ChildOutcome::End::exited)
        return std::nullopt;
    return Shell::parseEnvironment(outcome.output);
}

struct Captured {
    std::chrono::steady_clock::time_point stamp;
    QProcessEnvironment environment;
    bool fromLoginShell = false;
};

struct Found {
    std::chrono::steady_clock::time_point stamp;
    std::optional<QString> path;
};

struct Caches {
    QMutex lock; // guards the two maps
    QHash<QString, Captured> environments;
    QHash<QString, Found> found;
    // Held while a login shell runs, so simultaneous misses start only one.
    QMutex capturing;
};

// Never destroyed: a login shell captured on a pool thread may still hold
// the locks when the process exits.
Caches& caches()
{
    static auto* instance = new Caches;
    return *instance;
}

std::optional<QProcessEnvironment> cachedEnvironment(const QString& key, const Shell::Context& context)
{
    Caches& c = caches();
    QMutexLocker locker(&c.lock);
    const auto entry = c.environments.constFind(key);
    if (entry == c.environments.cend())
        return std::nullopt;
    if (!entry->fromLoginShell && context.clock() - entry->stamp >= Shell::retryLifetime)
        return std::nullopt;
    return entry->environment;
}

} // namespace

Shell::Flavor Shell::flavorOf(const QString& shell)
{
    const QString name = QFileInfo(shell).fileName();
    if (name == QLatin1String("fish"))
        return Flavor::fish;
    if (name == QLatin1String("csh") || name == QLatin1String("tcsh"))
        return Flavor::csh;
    return Flavor::posix;
}

QStringList Shell::environmentArguments(Flavor flavor)
{
    switch (flavor) {
    case Flavor::posix:
    case Flavor::fish:
        return {QStringLiteral("-l"), QStringLiteral("-c"), dumpScript};
    case Flavor::csh:
        // csh refuses -l together with -c; it reads .cshrc for -c anyway, and
        // the login files are read here by hand.
        return {QStringLiteral("-c"),
                QStringLiteral("if ( -r /etc/csh.login ) source /etc/csh.login; "
                               "if ( -r ~/.login ) source ~/.login; ")
                    + dumpScript};
    }
    return {};
}

std::optional<QProcessEnvironment> Shell::parseEnvironment(const QByteArray& output)
{
    const qsizetype first = output.indexOf(marker);
    const qsizetype last = output.lastIndexOf(marker);
    if (first < 0 || last <= first)
        return std::nullopt;
    const QByteArray body = output.mid(first + marker.size(), last - first - marker.size());
    QProcessEnvironment environment;
    for (const QByteArray& entry : body.split('\0')) {
        const qsizetype equals = entry.indexOf('=');
        // A name is never empty; a line without "=" is not an entry.
        if (equals <= 0)
            continue;
        environment.insert(QString::fromLocal8Bit(entry.left(equals)), QString::fromLocal8Bit(entry.mid(equals + 1)));
    }
    if (environment.isEmpty())
        return std::nullopt;
    return environment;
}

QProcessEnvironment Shell::loginEnvironment(const QString& home, const Context& context)
{
    const QString key = context.loginShell + u'|' + home;
    if (auto cached = cachedEnvironment(key, context))
        return *cached;

    Caches& c = caches();
    QMutexLocker capturing(&c.capturing);
    // Another thread may have captured it while this one waited.
    if (auto cached = cachedEnvironment(key, context))
        return *cached;

    const QString fallbackShell = QStringLiteral("/bin/sh");
    std::optional<QProcessEnvironment> environment = capture(context.loginShell, home, context.lookupBound);
    const bool fromLoginShell = environment.has_value();
    if (!environment && context.loginShell != fallbackShell)
        environment = capture(fallbackShell, home, context.lookupBound);
    if (!environment)
        environment = QProcessEnvironment::systemEnvironment();
    environment->insert(QStringLiteral("HOME"), home);

    QMutexLocker locker(&c.lock);
    c.environments.insert(key, Captured{context.clock(), *environment, fromLoginShell});
    return *environment;
}

QCoro::Task<Expected<Shell::Result, AgentError>> Shell::run(QString executable, QStringList arguments, QString home,
                                                            Context context)
{
    // Named, not a temporary: g++ 12 destroys a capturing closure built
    // inside a co_await expression at the wrong address.
    auto work = [executable, arguments, home, context] {
        QStringList shellArguments{QStringLiteral("-c"), execScript, executable};
        shellArguments += arguments;
        return runChild({.program = QStringLiteral("/bin/sh"),
                         .arguments = shellArguments,
                         .environment = loginEnvironment(home, context),
                         .bound = context.runBound,
                         .errors = ChildRequest::Errors::merge});
    };
    const ChildOutcome outcome = co_await QtConcurrent::run(ChildProcesses::pool(), work);
    switch (outcome.end) {
    case ChildOutcome::End::exited:
    case ChildOutcome::End::crashed:
        break;
    case ChildOutcome::End::notStarted:
        co_return unexpected(AgentError::commandFailed(outcome.message));
    case ChildOutcome::End::overran:
        co_return unexpected(AgentError::commandFailed(
            QStringLiteral("%1 did not finish within %2 seconds.")
                .arg(QFileInfo(executable).fileName())
                .arg(std::chrono::duration_cast<std::chrono::seconds>(context.runBound).count())));
    case ChildOutcome::End::stopped:
        co_return unexpected(AgentError::commandFailed(
            QStringLiteral("%1 was stopped because Ringlark quit.").arg(QFileInfo(executable).fileName())));
    }
    co_return Result{outcome.exitCode, repairUtf8(outcome.output).trimmed()};
}

std::optional<QString> Shell::find(const QString& name, const QString& home, const QStringList& extra,
                                   const Context& context)
{
    const QString key = home + u'|' + name;
    Caches& c = caches();
    {
        QMutexLocker locker(&c.lock);
        const auto entry = c.found.constFind(key);
        if (entry != c.found.cend() && context.clock() - entry->stamp < cacheLifetime)
            return entry->path;
    }
    // Searched without the lock: two simultaneous misses of one key may both
    // search; the later store wins.
    std::optional<QString> result = locate(name, home, extra, context);
    QMutexLocker locker(&c.lock);
    c.found.insert(key, Found{context.clock(), result});
    return result;
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
    return searchPath(name, loginEnvironment(home, context).value(QStringLiteral("PATH")));
}

std::optional<QString> Shell::searchPath(const QString& name, const QString& path)
{
    if (name.isEmpty() || name.contains(u'/'))
        return std::nullopt;
    for (const QString& directory : path.split(u':', Qt::SkipEmptyParts)) {
        // A relative entry would depend on our working directory, not the user's.
        if (!QDir::isAbsolutePath(directory))
            continue;
        const QString candidate = directory + u'/' + name;
        if (isExecutableFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

} // namespace ringlark
