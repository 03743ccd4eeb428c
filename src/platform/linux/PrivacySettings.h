#pragma once

#include "platform/Privacy.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace ringlark::platform {

// A settings program and its arguments.
struct SettingsCommand {
    QString program;
    QStringList arguments;
    bool operator==(const SettingsCommand&) const = default;
};

// The command that brings the desktop's privacy settings forward, for the
// desktops known to have them. `currentDesktop` is XDG_CURRENT_DESKTOP (a
// colon-separated list), `kdeVersion` KDE_SESSION_VERSION; `onPath` says
// whether a program is installed. Linux has no separate page per permission,
// so one page serves both.
std::optional<SettingsCommand> privacySettingsCommand(const QString& currentDesktop, const QString& kdeVersion,
                                                      const std::function<bool(const QString&)>& onPath);

// Starts that command detached, found on the environment's PATH, and returns
// at once. Says whether something was started.
bool openPrivacySettings(const QProcessEnvironment& environment);

// The kind of display session an environment belongs to, as the daemon it
// starts will see it: Wayland when the session says so or a Wayland display
// is set (an X11 display beside it is only Xwayland), else X11 when a display
// is set, else no display.
Privacy::Source permissionSource(const QProcessEnvironment& environment);

} // namespace ringlark::platform
