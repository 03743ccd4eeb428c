#include "model/TailscaleState.h"

#include "platform/PlatformServices.h"

#include <QFileInfo>

#include <algorithm>

namespace ringlark {

const QStringList& TailscaleState::bundleIdentifiers()
{
    static const QStringList identifiers{QStringLiteral("io.tailscale.ipn.macsys"),
                                         QStringLiteral("io.tailscale.ipn.macos")};
    return identifiers;
}

QUrl TailscaleState::downloadURL()
{
    return platform::tailscaleDownloadURL();
}

TailscaleState TailscaleState::current(const std::optional<Tailscale>& from, const platform::Workspace& workspace,
                                       const QString& applicationsFolder)
{
    if (from && from->ok && from->host && from->owner)
        return ready(*from->host, *from->owner);
    if (!installedApp(workspace, applicationsFolder))
        return notInstalled();

    const QString error = from ? from->error.value_or(QString()) : QString();
    // Case-sensitive on purpose: the daemon's wording is fixed.
    if (error.contains(QLatin1String("not logged in")))
        return needsLogin();
    if (isRunning(workspace) && !error.contains(QLatin1String("not connected"))
        && !error.contains(QLatin1String("not installed")))
        return connecting(error.isEmpty() ? QStringLiteral("Waiting for Tailscale") : error);
    return notRunning();
}

std::optional<QString> TailscaleState::installedApp(const platform::Workspace& workspace,
                                                    const QString& applicationsFolder)
{
    for (const QString& identifier : bundleIdentifiers()) {
        if (auto location = workspace.applicationLocation(identifier))
            return location;
    }
    const QString fallback = applicationsFolder + QStringLiteral("/Tailscale.app");
    if (QFileInfo::exists(fallback))
        return fallback;
    return std::nullopt;
}

bool TailscaleState::isRunning(const platform::Workspace& workspace)
{
    const QStringList running = workspace.runningApplicationIdentifiers();
    return std::any_of(bundleIdentifiers().begin(), bundleIdentifiers().end(),
                       [&](const QString& identifier) { return running.contains(identifier); });
}

void TailscaleState::openApp(platform::Workspace& workspace, const QString& applicationsFolder)
{
    if (const auto location = installedApp(workspace, applicationsFolder))
        workspace.openApplication(*location);
    else
        workspace.openURL(downloadURL());
}

} // namespace ringlark
