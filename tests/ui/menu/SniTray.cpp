// A tray program for the panel test: the real tray icon over a fake daemon
// whose requests carry the characters menus treat specially. Runs until its
// input closes (the stand-in panel ends it) or for 30 seconds.
#include "model/ModelHarness.h"
#include "support/EventLoop.h"
#include "ui/menu/TrayIcon.h"

#include <QApplication>
#include <QMenu>
#include <QSocketNotifier>
#include <QTimer>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <unistd.h>

using namespace ringlark;
using namespace ringlark::test;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    ModelHarness harness;
    harness.daemon.set("/v1/status", statusJson(true, 2));
    nlohmann::json requests = nlohmann::json::array();
    for (int i = 1; argv[i] && argv[i + 1]; i += 2)
        requests.push_back({{"id", "r" + std::to_string(i)}, {"status", "open"}, {"reason", argv[i]},
                            {"ask", argv[i + 1]}, {"agent", "Claude_Code & Co"}, {"created_at", 1},
                            {"updated_at", 1}});
    harness.daemon.set("/v1/requests", requests.dump());
    AppModel model(harness.services());
    if (!await(model.poll())) {
        std::fprintf(stderr, "sni_tray: the fake daemon did not answer\n");
        return 1;
    }
    // What a click did, for the panel to pass on: a menu of our own beside
    // the panel's would be a fault.
    TrayIcon tray(model, [](WindowKind kind) {
        if (kind == WindowKind::setup)
            std::printf("setup window\n");
        std::fflush(stdout);
    }, [] {});
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &app, [&tray, &watch] {
        if (!tray.menu()->isVisible())
            return;
        std::printf("own menu shown\n");
        std::fflush(stdout);
        watch.stop();
    });
    watch.start(20);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&app] {
        char byte;
        if (::read(STDIN_FILENO, &byte, 1) <= 0)
            app.quit();
    });
    QTimer::singleShot(30000, &app, &QApplication::quit);
    return app.exec();
}
