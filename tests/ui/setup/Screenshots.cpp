// Renders the README's pictures of the setup and pairing windows from a model
// on a fake daemon, so every part shows without a tailnet, phones or agents.
//
// usage: ringlark_ui_screenshots <folder>
// writes setup.png, setup-1366x768.png, setup-standalone.png, pairing.png
// and pairing-tailscale.png into <folder>.

#include "model/ModelHarness.h"
#include "support/EventLoop.h"
#include "ui/pairing/PairingWindow.h"
#include "ui/setup/SetupWindow.h"

#include <QApplication>
#include <QDir>

#include <nlohmann/json.hpp>

#include <cstdio>

using namespace ringlark;
using namespace ringlark::test;

namespace {

std::uint64_t minutesAgo(int minutes)
{
    using namespace std::chrono;
    return std::uint64_t(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count())
        - std::uint64_t(minutes) * 60'000;
}

std::string status(long long pending, long long phones)
{
    auto json = nlohmann::json::parse(statusJson(true, pending));
    json["tailscale"]["host"] = "workstation";
    json["tailscale"]["owner"] = "ada@example.com";
    json["push"]["devices"] = phones;
    return json.dump();
}

void settle(AppModel& model)
{
    await(model.poll());
    spinUntil([&] { return !model.refreshingAgents(); });
    spinFor(100ms);
}

bool save(QWidget& window, const QString& path)
{
    const bool saved = window.grab().save(path);
    std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The standalone window's note names the desktop's own way to a tray icon.
    qputenv("XDG_CURRENT_DESKTOP", "GNOME");
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    if (argc != 2) {
        std::fprintf(stderr, "usage: ringlark_ui_screenshots <folder>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);

    ModelHarness harness;
    QDir().mkpath(harness.home() + "/.codex"); // Codex present, not connected yet
    auto& daemon = harness.daemon;
    daemon.set("/v1/status", status(0, 2));
    daemon.set("/v1/requests",
               nlohmann::json::array({{{"id", "r1"}, {"status", "pending"}, {"reason", "Sign in to GitHub"},
                                       {"agent", "Claude Code"}, {"app", "Firefox"},
                                       {"ask", "Approve the device code 4F2A-91C3"}, {"created_at", minutesAgo(4)},
                                       {"updated_at", minutesAgo(4)}}})
                   .dump());
    daemon.set("/v1/devices",
               nlohmann::json::array({{{"id", "d1"}, {"name", "Pixel 8"}, {"paired_at", minutesAgo(9000)},
                                       {"last_seen", minutesAgo(3)}, {"push", true}},
                                      {{"id", "d2"}, {"name", "Ada's iPhone"}, {"paired_at", minutesAgo(60)},
                                       {"last_seen", minutesAgo(0)}, {"push", true}}})
                   .dump());
    daemon.set("/v1/pairing", R"({"url":"https://workstation.tail1234.ts.net:8643/pair?c=3f9a2c4e8b7d1065a1c2e3f4b5d6e7f8"})");
    AppModel model(harness.services());

    bool ok = true;
    SetupWindow setup(model, {});
    setup.fitTo(QRect(0, 0, 1920, 1080));
    setup.show();
    settle(model);
    ok &= save(setup, folder + "/setup.png");

    // An agent waiting, on a small screen: the list scrolls above the footer.
    daemon.set("/v1/status", status(1, 2));
    setup.fitTo(QRect(0, 0, 1366, 768));
    settle(model);
    ok &= save(setup, folder + "/setup-1366x768.png");

    setup.setStandalone(true);
    setup.fitTo(QRect(0, 0, 1920, 1080));
    settle(model);
    ok &= save(setup, folder + "/setup-standalone.png");
    setup.hide();

    PairingWindow pairing(model);
    pairing.show();
    settle(model);
    ok &= save(pairing, folder + "/pairing.png");

    // Tailscale logged out, only its command-line program here: the card says so.
    harness.platform.workspace->installed.insert("io.tailscale.ipn.macos", "/usr/bin/tailscale");
    harness.platform.workspace->windowless << "/usr/bin/tailscale";
    auto loggedOut = nlohmann::json::parse(status(0, 0));
    loggedOut["tailscale"] = {{"ok", false}, {"error", "Tailscale is not logged in"}};
    daemon.set("/v1/status", loggedOut.dump());
    settle(model);
    ok &= save(pairing, folder + "/pairing-tailscale.png");
    pairing.hide();
    return ok ? 0 : 1;
}
