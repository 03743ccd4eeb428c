#include "platform/linux/LinuxWorkspace.h"

#include "platform/linux/DesktopEntry.h"

#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>

namespace ringlark::platform {

namespace {

// The kernel keeps only this many characters of a process's name.
constexpr qsizetype commLength = 15;

QStringList absoluteEntries(const QString& list)
{
    QStringList out;
    for (const QString& entry : list.split(u':', Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(entry))
            out.append(entry);
    }
    return out;
}

bool startDetached(const QStringList& command, const QString& workingDir = {})
{
    if (command.isEmpty() || command.first().isEmpty())
        return false;
    return QProcess::startDetached(command.first(), command.mid(1), workingDir);
}

} // namespace

LinuxWorkspace::Environment LinuxWorkspace::Environment::fromProcessEnvironment(const QProcessEnvironment& env,
                                                                                const QString& home)
{
    Environment out;
    QString dataHome = env.value(QStringLiteral("XDG_DATA_HOME"));
    if (!QDir::isAbsolutePath(dataHome))
        dataHome = home + QStringLiteral("/.local/share");
    QStringList dataDirs = absoluteEntries(env.value(QStringLiteral("XDG_DATA_DIRS")));
    if (dataDirs.isEmpty())
        dataDirs = {QStringLiteral("/usr/local/share"), QStringLiteral("/usr/share")};
    out.applicationDirs.append(dataHome + QStringLiteral("/applications"));
    for (const QString& dir : dataDirs)
        out.applicationDirs.append(dir + QStringLiteral("/applications"));
    out.searchPath = absoluteEntries(env.value(QStringLiteral("PATH")));
    return out;
}

QList<LinuxWorkspace::Program> LinuxWorkspace::knownPrograms()
{
    const QStringList tailscale{QStringLiteral("tailscale"), QStringLiteral("tailscaled")};
    return {{QStringLiteral("io.tailscale.ipn.macsys"), tailscale},
            {QStringLiteral("io.tailscale.ipn.macos"), tailscale}};
}

LinuxWorkspace::LinuxWorkspace(Environment environment) : m_env(std::move(environment)) {}

std::optional<QString> LinuxWorkspace::applicationLocation(const QString& bundleIdentifier) const
{
    if (bundleIdentifier.isEmpty() || bundleIdentifier.contains(u'/'))
        return std::nullopt;
    if (auto file = desktopFile(bundleIdentifier))
        return file;
    for (const Program& program : m_env.programs) {
        if (program.bundleIdentifier != bundleIdentifier)
            continue;
        for (const QString& name : program.names) {
            if (auto path = executableOnPath(name))
                return path;
        }
    }
    return std::nullopt;
}

std::optional<QString> LinuxWorkspace::desktopFile(const QString& bundleIdentifier) const
{
    for (const QString& dir : m_env.applicationDirs) {
        const QString path = dir + u'/' + bundleIdentifier + QStringLiteral(".desktop");
        if (!QFileInfo(path).isFile())
            continue;
        // The first file with the ID decides, even when it hides the ID
        // from the directories after it.
        const auto entry = readDesktopEntry(path);
        if (!entry || entry->isHidden())
            return std::nullopt;
        return path;
    }
    return std::nullopt;
}

std::optional<QString> LinuxWorkspace::executableOnPath(const QString& name) const
{
    for (const QString& dir : m_env.searchPath) {
        const QFileInfo info(dir + u'/' + name);
        if (info.isFile() && info.isExecutable())
            return info.absoluteFilePath();
    }
    return std::nullopt;
}

QStringList LinuxWorkspace::runningProgramNames() const
{
    QStringList names;
    const QDir proc(m_env.procRoot);
    for (const QString& pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!std::all_of(pid.begin(), pid.end(), [](QChar c) { return c.isDigit(); }))
            continue;
        QFile comm(proc.filePath(pid + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly))
            names.append(QString::fromUtf8(comm.readAll()).trimmed());
        // The executable's link is readable for the user's own processes only,
        // but it survives a process renaming itself.
        const QString exe = QFileInfo(proc.filePath(pid + QStringLiteral("/exe"))).symLinkTarget();
        if (!exe.isEmpty())
            names.append(QFileInfo(exe).fileName());
    }
    return names;
}

QStringList LinuxWorkspace::runningApplicationIdentifiers() const
{
    if (m_env.programs.isEmpty())
        return {};
    const QStringList running = runningProgramNames();
    QStringList identifiers;
    for (const Program& program : m_env.programs) {
        const bool runs = std::any_of(program.names.begin(), program.names.end(), [&](const QString& name) {
            return running.contains(name) || running.contains(name.left(commLength));
        });
        if (runs)
            identifiers.append(program.bundleIdentifier);
    }
    return identifiers;
}

namespace {

// Each with the option after which the rest of the line is the command to run.
struct Terminal {
    const char* program;
    const char* runOption;
};
constexpr Terminal terminals[] = {
    {"x-terminal-emulator", "-e"}, {"gnome-terminal", "--"}, {"konsole", "-e"},
    {"xfce4-terminal", "-x"},      {"mate-terminal", "-x"},  {"xterm", "-e"},
};

} // namespace

std::optional<QStringList> LinuxWorkspace::terminalCommand(const QString& commandLine,
                                                           const std::function<bool(const QString&)>& onPath)
{
    for (const Terminal& terminal : terminals) {
        const QString program = QString::fromLatin1(terminal.program);
        if (onPath(program))
            return QStringList{program, QString::fromLatin1(terminal.runOption), QStringLiteral("sh"),
                               QStringLiteral("-c"), commandLine};
    }
    return std::nullopt;
}

bool LinuxWorkspace::hasTerminal() const
{
    return terminalCommand({}, [this](const QString& name) { return executableOnPath(name).has_value(); }).has_value();
}

bool LinuxWorkspace::runInTerminal(const QString& commandLine)
{
    auto command = terminalCommand(commandLine, [this](const QString& name) { return executableOnPath(name).has_value(); });
    if (!command) {
        QStringList tried;
        for (const Terminal& terminal : terminals)
            tried << QString::fromLatin1(terminal.program);
        qWarning().noquote() << QStringLiteral("no terminal program to run \"%1\" in (tried %2)")
                                    .arg(commandLine, tried.join(QStringLiteral(", ")));
        return false;
    }
    command->first() = *executableOnPath(command->first());
    const bool started = startDetached(*command);
    qInfo().noquote() << QStringLiteral("%1 \"%2\" in %3")
                             .arg(started ? QStringLiteral("running") : QStringLiteral("could not run"), commandLine,
                                  command->first());
    return started;
}

bool LinuxWorkspace::canOpenApplication(const QString& location) const
{
    // What openApplication starts: a desktop file or an application bundle.
    const QFileInfo info(location);
    return (info.isFile() && location.endsWith(QLatin1String(".desktop")))
        || (info.isDir() && location.endsWith(QLatin1String(".app")));
}

bool LinuxWorkspace::openApplication(const QString& location)
{
    const QFileInfo info(location);
    if (info.isFile() && location.endsWith(QLatin1String(".desktop"))) {
        const auto entry = readDesktopEntry(location);
        if (!entry)
            return false;
        const auto command = execArguments(entry->value(QStringLiteral("Exec")), entry->value(QStringLiteral("Name")),
                                           info.absoluteFilePath());
        return command && startDetached(*command, entry->value(QStringLiteral("Path")));
    }
    if (info.isDir() && location.endsWith(QLatin1String(".app"))) {
        const QFileInfo executable(location + QStringLiteral("/Contents/MacOS/") + info.completeBaseName());
        return executable.isFile() && executable.isExecutable() && startDetached({executable.absoluteFilePath()});
    }
    return false;
}

bool LinuxWorkspace::openURL(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

} // namespace ringlark::platform
