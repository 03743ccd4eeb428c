#include "app/StateLog.h"
#include "model/AppModel.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2];

// Turns SIGINT and SIGTERM into an orderly quit on the event loop, so the
// daemon is stopped on the way out.
void quitOnSignals(QApplication& app)
{
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe);
    auto* notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte;
        [[maybe_unused]] auto n = ::read(signalPipe[1], &byte, 1);
        app.quit();
    });
    struct sigaction action {};
    action.sa_handler = [](int) {
        const char byte = 1;
        [[maybe_unused]] auto n = ::write(signalPipe[0], &byte, 1);
    };
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    // Without a display (a server, CI), run headless rather than abort.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setOrganizationDomain(QStringLiteral("com.ringlark.mac"));
    QApplication::setApplicationName(QStringLiteral("Ringlark"));
    quitOnSignals(app);

    auto* model = new ringlark::AppModel(ringlark::AppModel::Services{}, &app);
    ringlark::logPublishedState(*model);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, model, [model] { model->supervisor().stop(); });

    model->start();
    return app.exec();
}
