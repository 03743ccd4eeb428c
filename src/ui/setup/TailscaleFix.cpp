#include "ui/setup/TailscaleFix.h"

#include <QDebug>

namespace ringlark::setup {

namespace {

const QString kOpen = QStringLiteral("Open Tailscale");
const QString kUp = QStringLiteral("\u201Csudo tailscale up\u201D");

} // namespace

TailscaleFix tailscaleFix(const TailscaleState& state, TailscaleAccess access)
{
    using Kind = TailscaleState::Kind;
    switch (state.kind()) {
    case Kind::ready:
        return {state.host() + QStringLiteral(" \u00B7 ") + state.owner(), {}, TailscaleAction::none};
    case Kind::connecting:
        // The daemon's own words: they say what to do (turn on HTTPS, an operator).
        return {state.message(), {}, TailscaleAction::none};
    case Kind::notInstalled:
        return {QStringLiteral("Not installed. Ringlark talks to your phone over your tailnet."),
                QStringLiteral("Get Tailscale"), TailscaleAction::download};
    case Kind::notRunning:
        switch (access) {
        case TailscaleAccess::app:
            return {QStringLiteral("Not running. Open Tailscale and connect."), kOpen, TailscaleAction::openApp};
        case TailscaleAccess::terminal:
            return {QStringLiteral("Not running. Open Tailscale starts it in a terminal."), kOpen,
                    TailscaleAction::startInTerminal};
        case TailscaleAccess::none:
            break;
        }
        return {QStringLiteral("Not running. Start it with ") + kUp + QStringLiteral(" in a terminal."), {},
                TailscaleAction::none};
    case Kind::needsLogin:
        switch (access) {
        case TailscaleAccess::app:
            return {QStringLiteral("Open Tailscale and log in; use the same account on your phone."), kOpen,
                    TailscaleAction::openApp};
        case TailscaleAccess::terminal:
            return {QStringLiteral("Logged out. Log in with the account your phone uses."),
                    QStringLiteral("Log In\u2026"), TailscaleAction::logInInTerminal};
        case TailscaleAccess::none:
            break;
        }
        return {QStringLiteral("Logged out. Run ") + kUp + QStringLiteral(" in a terminal and open the link it prints."),
                {}, TailscaleAction::none};
    }
    return {};
}

TailscaleAccess tailscaleAccess(const platform::Workspace& workspace, const QString& applicationsFolder)
{
    const auto installed = TailscaleState::installedApp(workspace, applicationsFolder);
    if (installed && workspace.canOpenApplication(*installed))
        return TailscaleAccess::app;
    return workspace.hasTerminal() ? TailscaleAccess::terminal : TailscaleAccess::none;
}

QString terminalCommandLine(TailscaleAction action)
{
    // Without operator rights `tailscale up` is refused at once, and sudo asks
    // for the password. It prints the login link when one is needed. The
    // window stays until the person has read what happened.
    const QString up = QStringLiteral("tailscale up || sudo tailscale up");
    const QString stay = QStringLiteral("; printf '\\nPress Enter to close this window.'; read -r _");
    switch (action) {
    case TailscaleAction::startInTerminal:
        return QStringLiteral("systemctl is-active --quiet tailscaled || sudo systemctl start tailscaled; ") + up + stay;
    case TailscaleAction::logInInTerminal:
        return up + stay;
    case TailscaleAction::none:
    case TailscaleAction::download:
    case TailscaleAction::openApp:
        break;
    }
    return {};
}

void perform(TailscaleAction action, platform::Workspace& workspace, const QString& applicationsFolder)
{
    switch (action) {
    case TailscaleAction::download:
    case TailscaleAction::openApp: {
        const auto installed = TailscaleState::installedApp(workspace, applicationsFolder);
        qInfo().noquote() << "Tailscale: opening" << installed.value_or(TailscaleState::downloadURL().toString());
        TailscaleState::openApp(workspace, applicationsFolder);
        return;
    }
    case TailscaleAction::startInTerminal:
    case TailscaleAction::logInInTerminal:
        // The workspace logs which terminal ran it, or that none was found.
        workspace.runInTerminal(terminalCommandLine(action));
        return;
    case TailscaleAction::none:
        break;
    }
}

} // namespace ringlark::setup
