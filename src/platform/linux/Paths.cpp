#include "platform/Paths.h"

#include <QFileInfo>

#include <pwd.h>
#include <unistd.h>

namespace ringlark::platform {

QString applicationsFolder()
{
    return QStringLiteral("/opt");
}

QString loginShell()
{
    // The password database knows the user's own shell; Debian has no zsh by default.
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_shell && *entry->pw_shell) {
        const QString shell = QString::fromLocal8Bit(entry->pw_shell);
        const QFileInfo info(shell);
        // Service accounts carry a shell that refuses to run anything.
        const bool refuses = info.fileName() == QLatin1String("nologin") || info.fileName() == QLatin1String("false");
        if (info.isExecutable() && !refuses)
            return shell;
    }
    return QStringLiteral("/bin/sh");
}

} // namespace ringlark::platform
