#pragma once

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

} // namespace ringlark::platform
