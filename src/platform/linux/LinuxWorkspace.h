#pragma once

#include "platform/Workspace.h"

#include <QList>
#include <QProcessEnvironment>

#include <functional>
#include <utility>

namespace ringlark::platform {

// Bundle identifiers are looked up as desktop-file IDs ("<id>.desktop") in
// the XDG application directories. A few identifiers stand for command-line
// programs instead: the program on the search path counts as the installed
// application, and a process running it as the running application.
class LinuxWorkspace final : public Workspace {
public:
    struct Program {
        QString bundleIdentifier;
        QStringList names; // executable names, looked up in this order
    };

    struct Environment {
        QStringList applicationDirs; // most important first
        QStringList searchPath;
        QString procRoot = QStringLiteral("/proc");
        QList<Program> programs = knownPrograms();

        // XDG_DATA_HOME (default ~/.local/share), then each of XDG_DATA_DIRS
        // (default /usr/local/share:/usr/share), each with "/applications";
        // PATH as the search path. Relative entries are invalid and skipped.
        static Environment fromProcessEnvironment(const QProcessEnvironment& env, const QString& home);
    };

    // Tailscale ships on Linux as a daemon and its command-line client.
    static QList<Program> knownPrograms();

    explicit LinuxWorkspace(Environment environment);

    std::optional<QString> applicationLocation(const QString& bundleIdentifier) const override;
    QStringList runningApplicationIdentifiers() const override;

    // Starts a desktop file's Exec, or the executable inside an application
    // bundle directory. A bare command-line program has no window to show,
    // and starting a daemon by hand is not ours to do, so it opens nothing.
    bool openApplication(const QString& location) override;
    bool canOpenApplication(const QString& location) const override;

    // The first of the known terminal programs on the search path: the
    // system's chosen one (x-terminal-emulator) before the desktops' own.
    bool hasTerminal() const override;
    bool runInTerminal(const QString& commandLine) override;

    // The command that runs `commandLine` under sh in a terminal, for the
    // first terminal program `onPath` finds.
    static std::optional<QStringList> terminalCommand(const QString& commandLine,
                                                      const std::function<bool(const QString&)>& onPath);

    bool openURL(const QUrl& url) override;

private:
    std::optional<QString> desktopFile(const QString& bundleIdentifier) const;
    std::optional<QString> executableOnPath(const QString& name) const;
    QStringList runningProgramNames() const;

    Environment m_env;
};

} // namespace ringlark::platform
