#include "platform/linux/LinuxServices.h"

#include "platform/linux/AutostartLoginItem.h"
#include "platform/linux/LinuxWorkspace.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcessEnvironment>

namespace ringlark::platform {

PlatformServices linuxServices()
{
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString home = QDir::homePath();
    return {
        std::make_shared<LinuxWorkspace>(LinuxWorkspace::Environment::fromProcessEnvironment(env, home)),
        std::make_shared<AutostartLoginItem>(xdgConfigHome(env, home), QCoreApplication::applicationFilePath()),
        std::make_shared<LinuxPrivacy>(env),
    };
}

PlatformServices defaultServices()
{
    return linuxServices();
}

QUrl tailscaleDownloadURL()
{
    return QUrl(QStringLiteral("https://tailscale.com/download/linux"));
}

} // namespace ringlark::platform
