#include "platform/linux/PrivacySettings.h"

#include "platform/linux/LinuxServices.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>

namespace ringlark::platform {

namespace {

bool runsOn(const QString& currentDesktop, QLatin1String desktop)
{
    const QStringList desktops = currentDesktop.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    return std::any_of(desktops.begin(), desktops.end(),
                       [&](const QString& d) { return d.compare(desktop, Qt::CaseInsensitive) == 0; });
}

} // namespace

std::optional<SettingsCommand> privacySettingsCommand(const QString& currentDesktop, const QString& kdeVersion,
                                                      const std::function<bool(const QString&)>& onPath)
{
    if (runsOn(currentDesktop, QLatin1String("GNOME"))) {
        const QString program = QStringLiteral("gnome-control-center");
        if (onPath(program))
            return SettingsCommand{program, {QStringLiteral("privacy")}};
        return std::nullopt;
    }
    if (runsOn(currentDesktop, QLatin1String("KDE"))) {
        // Plasma lists what each application may do in its application
        // permissions module; before Plasma 6 that module had another name.
        const bool plasma6 = kdeVersion.trimmed() == QLatin1String("6");
        const QString module = plasma6 ? QStringLiteral("kcm_app-permissions") : QStringLiteral("kcm_flatpak");
        const QStringList programs = plasma6 ? QStringList{QStringLiteral("systemsettings"), QStringLiteral("kcmshell6")}
                                             : QStringList{QStringLiteral("systemsettings"),
                                                           QStringLiteral("systemsettings5"), QStringLiteral("kcmshell5")};
        for (const QString& program : programs) {
            if (onPath(program))
                return SettingsCommand{program, {module}};
        }
    }
    return std::nullopt;
}

bool openPrivacySettings(const QProcessEnvironment& environment)
{
    const QStringList path =
        environment.value(QStringLiteral("PATH")).split(QDir::listSeparator(), Qt::SkipEmptyParts);
    // Without a PATH nothing can be found; an empty list would mean the process's own.
    if (path.isEmpty())
        return false;
    const auto find = [&](const QString& program) { return QStandardPaths::findExecutable(program, path); };
    const auto command = privacySettingsCommand(environment.value(QStringLiteral("XDG_CURRENT_DESKTOP")),
                                                environment.value(QStringLiteral("KDE_SESSION_VERSION")),
                                                [&](const QString& program) { return !find(program).isEmpty(); });
    if (!command)
        return false;
    // Detached: the settings program outlives this call and is never waited for.
    return QProcess::startDetached(find(command->program), command->arguments);
}

Privacy::Source permissionSource(const QProcessEnvironment& environment)
{
    const QString session = environment.value(QStringLiteral("XDG_SESSION_TYPE")).trimmed().toLower();
    if (session == QLatin1String("wayland") || !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty())
        return Privacy::Source::waylandSession;
    if (!environment.value(QStringLiteral("DISPLAY")).isEmpty())
        return Privacy::Source::x11Session;
    return Privacy::Source::noDisplay;
}

LinuxPrivacy::LinuxPrivacy(const QProcessEnvironment& environment) : m_source(permissionSource(environment)) {}

void LinuxPrivacy::openSettings(Pane)
{
    openPrivacySettings(QProcessEnvironment::systemEnvironment());
}

} // namespace ringlark::platform
