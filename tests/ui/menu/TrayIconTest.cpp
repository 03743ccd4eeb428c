#include "Printers.h"
#include "model/ModelHarness.h"
#include "support/EventLoop.h"
#include "ui/menu/TrayIcon.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

#include <memory>

using namespace ringlark;
using namespace ringlark::test;

namespace {

// Requests created at t = 1000 s unless told, seen at a clock the test moves.
std::string requestsJson(const std::string& secondAsk = "Approve the login?", const std::string& created = "1000000")
{
    return R"([{"id":"r0","status":"open","reason":"Needs a code","agent":"Codex","app":"Terminal",
                "created_at":)" + created + R"(,"updated_at":1000000},
               {"id":"r1","status":"open","reason":"Sign in","created_at":1000000,"updated_at":1000000,
                "ask":")" + secondAsk + R"("}])";
}

// The visible entries as a panel would list them; separators as "-", submenus with their entries.
QStringList entries(const QMenu* menu)
{
    QStringList out;
    for (const QAction* a : menu->actions()) {
        if (!a->isVisible())
            continue;
        if (a->isSeparator())
            out << "-";
        else if (a->menu())
            out << a->text() + " {" + entries(a->menu()).join(" | ") + "}";
        else
            out << a->text() + (a->isEnabled() ? "" : " (off)") + (a->isChecked() ? " [x]" : "");
    }
    return out;
}

QAction* find(QMenu* menu, const QString& name)
{
    return menu->findChild<QAction*>(name);
}

struct Fixture {
    Fixture()
    {
        auto services = harness.services();
        services.clock = [this] { return now; };
        model = std::make_unique<AppModel>(services);
        TrayIcon::Options options;
        options.dockRetry = std::chrono::milliseconds(10);
        options.trayAvailable = [this] {
            ++dockChecks;
            return panel;
        };
        tray = std::make_unique<TrayIcon>(
            *model, [this](WindowKind kind) { shown.append(kind); }, [this] { ++quits; }, options);
    }
    // One poll, and the refresh it schedules.
    void poll()
    {
        ASSERT_TRUE(await(model->poll()));
        spinFor(std::chrono::milliseconds(5));
    }

    ModelHarness harness;
    std::chrono::system_clock::time_point now{std::chrono::seconds(1000 + 3 * 60)};
    bool panel = false;
    int dockChecks = 0;
    QList<WindowKind> shown;
    int quits = 0;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<TrayIcon> tray;
};

} // namespace

TEST(TrayIcon, MenuListsStateRequestsAndFixedItemsInOrder)
{
    Fixture f;
    QMenu* menu = f.tray->menu();
    EXPECT_EQ(entries(menu), QStringList({"Ringlark: starting… (off)", "-", "Pair iPhone…", "Finish Setup…", "-",
                                          "Launch at Login", "-", "Quit Ringlark"}));
    EXPECT_EQ(find(menu, "quit")->shortcut(), QKeySequence("Ctrl+Q"));

    f.harness.daemon.set("/v1/status", statusJson(true, 2));
    f.harness.daemon.set("/v1/requests", requestsJson("Allow & go?"));
    f.poll();
    EXPECT_EQ(entries(menu),
              QStringList({"Ringlark: 2 requests waiting (off)", "desk (off)", "-", "Waiting for you (off)",
                           "Needs a code {Codex · 3 min · Terminal (off) | - | Dismiss Request}",
                           "Sign in {3 min (off) | Asks: Allow && go? (off) | - | Dismiss Request}", "-",
                           "Pair iPhone…", "Finish Setup…", "-", "Launch at Login", "-", "Quit Ringlark"}));
    EXPECT_EQ(f.tray->tray()->toolTip(), "Ringlark: 2 requests waiting\ndesk");

    // Requests gone, then the daemon too: the section and the detail go.
    f.harness.daemon.set("/v1/status", statusJson(true, 0));
    f.poll();
    EXPECT_EQ(entries(menu).mid(0, 4), QStringList({"Ringlark: ready (off)", "desk (off)", "-", "Pair iPhone…"}));
    f.harness.daemon.remove("/v1/status");
    f.poll();
    EXPECT_EQ(entries(menu).mid(0, 3), QStringList({"Ringlark: starting… (off)", "-", "Pair iPhone…"}));
}

TEST(TrayIcon, RebuildsRequestsOnlyWhenTheyChangeAndRefreshesAgesInPlace)
{
    Fixture f;
    f.harness.daemon.set("/v1/status", statusJson(true, 2));
    f.harness.daemon.set("/v1/requests", requestsJson());
    f.poll();
    const auto before = f.tray->menu()->findChildren<QMenu*>("request");
    ASSERT_EQ(before.size(), 2);
    const int renders = f.tray->iconRenders();

    f.now += std::chrono::minutes(2);
    f.poll();
    f.poll();
    EXPECT_EQ(f.tray->menu()->findChildren<QMenu*>("request"), before);
    EXPECT_EQ(before[0]->actions().first()->text(), "Codex · 5 min · Terminal");
    f.harness.daemon.set("/v1/requests", requestsJson("Approve the login?", "1060000"));
    f.poll();
    EXPECT_EQ(f.tray->menu()->findChildren<QMenu*>("request"), before);
    EXPECT_EQ(before[0]->actions().first()->text(), "Codex · 4 min · Terminal") << "age of the live request";
    EXPECT_EQ(f.tray->iconRenders(), renders) << "nothing visible in the icon changed";

    // A changed question is a changed request.
    f.harness.daemon.set("/v1/requests", requestsJson("Something else?"));
    f.poll();
    spinFor(std::chrono::milliseconds(5)); // the old submenus go at the next turn of the loop
    const auto after = f.tray->menu()->findChildren<QMenu*>("request");
    ASSERT_EQ(after.size(), 2);
    EXPECT_FALSE(after.contains(before[0]));
    EXPECT_EQ(f.tray->iconRenders(), renders);

    // Dismiss posts the cancel for exactly that request.
    after[1]->findChild<QAction*>("dismissRequest")->trigger();
    EXPECT_TRUE(spinUntil([&] { return f.harness.daemon.count("/v1/requests/r1/cancel") == 1; }));
    EXPECT_EQ(f.harness.daemon.count("/v1/requests/r0/cancel"), 0);
}

TEST(TrayIcon, IconFollowsTheLookAndThePaletteOnly)
{
    Fixture f;
    auto colourAt = [&](QPoint p) { return f.tray->tray()->icon().pixmap(QSize(48, 48)).toImage().pixelColor(p); };
    const QPoint body(20, 38);
    EXPECT_EQ(colourAt(body).alpha(), 255) << "regular while starting";
    const int initial = f.tray->iconRenders();

    f.harness.daemon.set("/v1/status", statusJson(true, 0, false, true));
    f.poll();
    EXPECT_NEAR(colourAt(body).alpha(), 102, 2) << "dimmed while reachable but not ready";
    f.harness.daemon.set("/v1/status", statusJson(true, 0));
    f.poll();
    EXPECT_EQ(colourAt(body).alpha(), 255);
    EXPECT_EQ(f.tray->iconRenders(), initial + 2);

    const QPalette original = QApplication::palette();
    QPalette light = original;
    light.setColor(QPalette::WindowText, QColor(240, 240, 240));
    QApplication::setPalette(light);
    EXPECT_EQ(colourAt(body).rgb(), QColor(240, 240, 240).rgb());
    QApplication::setPalette(original);
    EXPECT_EQ(colourAt(body).rgb(), original.color(QPalette::WindowText).rgb());
}

TEST(TrayIcon, ItemsCallTheirActionsAndLaunchAtLoginShowsWhatTheSystemDid)
{
    Fixture f;
    QMenu* menu = f.tray->menu();
    for (const char* name : {"pairIPhone", "setup", "quit"})
        find(menu, name)->trigger();
    EXPECT_EQ(f.shown, QList<WindowKind>({WindowKind::pairing, WindowKind::setup}));
    EXPECT_EQ(f.quits, 1);

    // The mark shows the system's answer, not the click.
    QAction* launch = find(menu, "launchAtLogin");
    f.harness.platform.loginItem->registerError = platform::LoginItemError{"denied"};
    launch->trigger();
    EXPECT_FALSE(launch->isChecked());
    f.harness.platform.loginItem->registerError.reset();
    launch->trigger();
    EXPECT_TRUE(launch->isChecked());
}

TEST(TrayIcon, DocksWhenAPanelAppearsAndThenStopsLooking)
{
    Fixture f;
    EXPECT_TRUE(spinUntil([&] { return f.dockChecks >= 3; }));
    EXPECT_FALSE(f.tray->tray()->isVisible());
    f.panel = true;
    EXPECT_TRUE(spinUntil([&] { return f.tray->tray()->isVisible(); }));
    const int checks = f.dockChecks;
    spinFor(std::chrono::milliseconds(50));
    EXPECT_EQ(f.dockChecks, checks);
}
