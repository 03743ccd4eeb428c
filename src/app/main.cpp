#include "app/AgentsCli.h"
#include "app/AppDelegate.h"
#include "app/StateLog.h"
#include "app/Windows.h"
#include "model/AppModel.h"
#include "ui/menu/MenuBarIcon.h"
#include "ui/menu/TrayIcon.h"
#include "ui/pairing/PairingWindow.h"
#include "ui/setup/SetupWindow.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace ringlark;

namespace {

QStringList arguments(int argc, char** argv)
{
    QStringList list;
    for (int i = 1; i < argc; ++i)
        list << QString::fromLocal8Bit(argv[i]);
    return list;
}

// RINGLARK_PORT moves the daemon (the helper reads the same variable), so a
// development copy can run beside an installed one.
void applyPortOverride(AppModel::Services& services)
{
    bool ok = false;
    const int port = qEnvironmentVariableIntValue("RINGLARK_PORT", &ok);
    if (!ok || port <= 0 || port > 65535)
        return;
    QUrl base = LocalAPI::defaultBase();
    base.setPort(port);
    services.daemonBase = base;
    services.supervisor.base = base;
}

} // namespace

int main(int argc, char** argv)
{
    const QStringList args = arguments(argc, argv);
    if (args == QStringList{QStringLiteral("--version")}) {
        std::printf("Ringlark %s\n", RINGLARK_VERSION);
        return 0;
    }
    if (const int status = runAgentsCli(QStringList{QString::fromLocal8Bit(argv[0])} + args); status >= 0)
        return status;
    if (!args.isEmpty()) {
        std::fprintf(stderr,
                     "usage: Ringlark [--version | --agents | --connect claude-code|codex]\n"
                     "Without arguments, starts the tray application.\n");
        return 2;
    }

    // Without a display (a server, CI), run headless rather than abort.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // X11 desktops match a window to its launcher entry by WM_CLASS, whose
    // instance part Qt takes from "-name" and whose class part from the
    // application name: ("com.ringlark.mac", "Ringlark"), the entry's id and
    // its StartupWMClass.
    static char nameOption[] = "-name";
    static char desktopId[] = "com.ringlark.mac";
    std::vector<char*> qtArguments{argv[0], nameOption, desktopId, nullptr};
    int qtArgc = 3;
    QApplication app(qtArgc, qtArguments.data());
    QApplication::setOrganizationDomain(QStringLiteral("com.ringlark.mac"));
    // Panels title the tray item with the application name. No display name:
    // Qt would append it to every window title.
    QApplication::setApplicationName(QStringLiteral("Ringlark"));
    QApplication::setApplicationVersion(QStringLiteral(RINGLARK_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("com.ringlark.mac"));
    // A tray application outlives its windows.
    QApplication::setQuitOnLastWindowClosed(false);
    // The installed icon where the theme has it, else the tray's tile.
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("com.ringlark.mac"), MenuBarIcon::icon(IconLook::regular)));
    quitOnSignals();

    AppModel::Services services;
    applyPortOverride(services);
    AppModel model(std::move(services));
    logPublishedState(model);

    Windows* windows = nullptr;
    const ShowWindow show = [&windows](WindowKind kind) { windows->show(kind); };
    Windows windowManager(
        [&model, show](WindowKind kind) -> QWidget* {
            if (kind == WindowKind::setup)
                return new SetupWindow(model, show);
            return new PairingWindow(model);
        },
        [](QWidget* setup, bool on) { static_cast<SetupWindow*>(setup)->setStandalone(on); });
    windows = &windowManager;

    AppDelegate delegate(model, windowManager, AppDelegate::Options{});
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, &AppDelegate::terminate);

    const bool testHost = AppDelegate::isTestHost();
    if (!testHost && !delegate.claimSingleInstance())
        return 0;

    TrayIcon::Options trayOptions;
    trayOptions.showRequests = [&windowManager] { windowManager.showRequests(); };
    TrayIcon tray(model, show, [] { QCoreApplication::quit(); }, std::move(trayOptions));
    // No tray on this desktop: the setup window stands in for it.
    if (!testHost)
        QObject::connect(&tray, &TrayIcon::standaloneChanged, &windowManager, &Windows::setStandalone);
    if (!testHost)
        delegate.start();
    // Qt calls exit() when the display connection breaks (the session
    // ended): no quit, no shut-down. The daemon should not outlive us then.
    static AppModel* exiting = nullptr;
    exiting = &model;
    std::atexit([] {
        if (exiting)
            exiting->abandon();
    });
    const int code = app.exec();
    exiting = nullptr;
    return code;
}
