#pragma once

#include "model/TailscaleState.h"
#include "platform/Workspace.h"

#include <QString>

namespace ringlark::setup {

// How Tailscale can be reached from here: its own application, its
// command-line program run in a terminal, or neither (no terminal either).
enum class TailscaleAccess { app, terminal, none };

// What the Tailscale button does.
enum class TailscaleAction { none, download, openApp, startInTerminal, logInInTerminal };

// The setup row's sentence about Tailscale and its one button, shared with
// the pairing window. An empty `button` means no button: `detail` then says
// what the person can do instead.
struct TailscaleFix {
    QString detail;
    QString button;
    TailscaleAction action = TailscaleAction::none;
    bool operator==(const TailscaleFix&) const = default;
};

TailscaleFix tailscaleFix(const TailscaleState& state, TailscaleAccess access);

// Asks the platform: Tailscale's application when it has one, else a terminal.
TailscaleAccess tailscaleAccess(const platform::Workspace& workspace, const QString& applicationsFolder);

// The shell command line a terminal runs for a terminal action; empty for the others.
QString terminalCommandLine(TailscaleAction action);

// Carries out the action and logs what was tried; the outcome is not reported.
void perform(TailscaleAction action, platform::Workspace& workspace, const QString& applicationsFolder);

} // namespace ringlark::setup
