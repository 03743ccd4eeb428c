#pragma once

#include "daemon/api/Records.h"
#include "platform/Paths.h"
#include "platform/Workspace.h"

#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

namespace ringlark {

// The application's verdict on Tailscale: what the daemon reports combined
// with whether the Tailscale application is installed and running here.
// Computed on demand from the platform every time; nothing is cached.
class TailscaleState {
public:
    enum class Kind { connecting, ready, notInstalled, notRunning, needsLogin };

    static TailscaleState connecting(QString message) { return {Kind::connecting, std::move(message), {}, {}}; }
    static TailscaleState ready(QString host, QString owner) { return {Kind::ready, {}, std::move(host), std::move(owner)}; }
    static TailscaleState notInstalled() { return {Kind::notInstalled, {}, {}, {}}; }
    static TailscaleState notRunning() { return {Kind::notRunning, {}, {}, {}}; }
    static TailscaleState needsLogin() { return {Kind::needsLogin, {}, {}, {}}; }

    Kind kind() const { return m_kind; }
    const QString& message() const { return m_message; } // connecting only
    const QString& host() const { return m_host; }       // ready only
    const QString& owner() const { return m_owner; }     // ready only

    bool operator==(const TailscaleState&) const = default;

    // Tailscale's bundle identifiers, in lookup order.
    static const QStringList& bundleIdentifiers();

    // Tailscale's download page for this system.
    static QUrl downloadURL();

    // The verdict for the `tailscale` part of the held status, or for no
    // status at all. A positive daemon verdict wins outright; then a missing
    // application, then a login problem, then whether Tailscale runs.
    static TailscaleState current(const std::optional<Tailscale>& from, const platform::Workspace& workspace,
                                  const QString& applicationsFolder = platform::applicationsFolder());

    // The first application registered under one of the identifiers, else
    // "Tailscale.app" in the applications folder when it exists.
    static std::optional<QString> installedApp(const platform::Workspace& workspace,
                                               const QString& applicationsFolder = platform::applicationsFolder());

    static bool isRunning(const platform::Workspace& workspace);

    // Opens Tailscale, or its download page when it is not installed. The
    // outcome is neither checked nor reported.
    static void openApp(platform::Workspace& workspace,
                        const QString& applicationsFolder = platform::applicationsFolder());

private:
    TailscaleState(Kind kind, QString message, QString host, QString owner)
        : m_kind(kind), m_message(std::move(message)), m_host(std::move(host)), m_owner(std::move(owner))
    {
    }

    Kind m_kind;
    QString m_message;
    QString m_host;
    QString m_owner;
};

} // namespace ringlark
