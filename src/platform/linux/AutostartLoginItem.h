#pragma once

#include "platform/LoginItem.h"

#include <QProcessEnvironment>

namespace ringlark::platform {

// Launch at login through an XDG autostart entry for the running executable.
// An entry the user switched off (Hidden=true, or the GNOME enabled key set
// to false) reads as not registered; one whose program is gone as not found.
// Nothing here ever requires approval.
class AutostartLoginItem final : public LoginItem {
public:
    static inline const QString fileName = QStringLiteral("com.ringlark.mac.desktop");

    // `configDir` is the XDG configuration directory; the entry goes into
    // its "autostart" folder. `executablePath` is made absolute.
    AutostartLoginItem(QString configDir, const QString& executablePath);

    QString entryPath() const;

    Expected<Unit, LoginItemError> registerItem() override;
    Expected<Unit, LoginItemError> unregisterItem() override;
    Status status() const override;

private:
    QString m_configDir;
    QString m_executable;
};

// The autostart entry that starts `executable` (an absolute path) at login.
QString autostartEntry(const QString& executable);

// XDG_CONFIG_HOME when it is set to an absolute path, otherwise ~/.config.
QString xdgConfigHome(const QProcessEnvironment& env, const QString& home);

} // namespace ringlark::platform
