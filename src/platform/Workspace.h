#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

namespace ringlark::platform {

// Finding, starting and opening other applications.
class Workspace {
public:
    virtual ~Workspace() = default;

    // Where the application with this bundle identifier is installed, if anywhere.
    virtual std::optional<QString> applicationLocation(const QString& bundleIdentifier) const = 0;

    // Bundle identifiers of the running applications; applications without one are left out.
    virtual QStringList runningApplicationIdentifiers() const = 0;

    // Launches the application at `location` (or brings it forward where the
    // system can). Says whether anything was started; most callers ignore it.
    virtual bool openApplication(const QString& location) = 0;

    // Whether `openApplication` can start what is at `location`: a bare
    // command-line program has no window to show.
    virtual bool canOpenApplication(const QString& location) const = 0;

    // Whether a terminal program is there for `runInTerminal`.
    virtual bool hasTerminal() const = 0;

    // Runs a shell command line in a new terminal window, for steps that need
    // the person there (a password, a link to open). Returns at once; says
    // whether a terminal was started.
    virtual bool runInTerminal(const QString& commandLine) = 0;

    // Opens an address with the user's default handler, usually the browser.
    virtual bool openURL(const QUrl& url) = 0;
};

} // namespace ringlark::platform
