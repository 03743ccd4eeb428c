#include "Printers.h"
#include "model/ModelHarness.h"
#include "support/EventLoop.h"
#include "ui/menu/MenuBarIcon.h"
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

// `count` requests with long reasons.
std::string manyRequests(int count)
{
    std::string out = "[";
    for (int i = 0; i < count; ++i)
        out += std::string(i ? "," : "") + R"({"id":"r)" + std::to_string(i) + R"(","status":"open","reason":"Request )" +
               std::to_string(i) + R"(: approve the database migration for the staging cluster before the nightly build runs",)" +
               R"("created_at":1000000,"updated_at":1000000})";
    return out + "]";
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
    explicit Fixture(bool menuOnPanel = false, bool trayThere = false) : panel(trayThere), panelMenu(menuOnPanel)
    {
        auto services = harness.services();
        services.clock = [this] { return now; };
        model = std::make_unique<AppModel>(services);
        TrayIcon::Options options;
        options.dockRetry = std::chrono::milliseconds(10);
        options.standaloneAfter = std::chrono::milliseconds(40);
        options.trayAvailable = [this] {
            ++dockChecks;
            return panel;
        };
        options.panelShowsMenu = [this] { return panelMenu; };
        options.showRequests = [this] { ++requestLists; };
        tray = std::make_unique<TrayIcon>(
            *model, [this](WindowKind kind) { shown.append(kind); }, [this] { ++quits; }, options);
        QObject::connect(tray.get(), &TrayIcon::standaloneChanged, [this](bool on) { standalone.append(on); });
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
    bool panelMenu = false;
    int dockChecks = 0;
    int requestLists = 0;
    QList<bool> standalone;
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
    EXPECT_EQ(entries(menu), QStringList({"Ringlark: starting… (off)", "-", "Pair Phone…", "Finish Setup…", "-",
                                          "Launch at Login", "-", "Quit Ringlark"}));
    EXPECT_EQ(find(menu, "quit")->shortcut(), QKeySequence("Ctrl+Q"));

    f.harness.daemon.set("/v1/status", statusJson(true, 2));
    f.harness.daemon.set("/v1/requests", requestsJson("Allow & go?"));
    f.poll();
    EXPECT_EQ(entries(menu),
              QStringList({"Ringlark: 2 requests waiting (off)", "desk (off)", "-", "Waiting for you (off)",
                           "Needs a code {Codex · 3 min · Terminal (off) | - | Dismiss Request}",
                           "Sign in {3 min (off) | Asks: Allow && go? (off) | - | Dismiss Request}", "-",
                           "Pair Phone…", "Finish Setup…", "-", "Launch at Login", "-", "Quit Ringlark"}));
    EXPECT_EQ(f.tray->tray()->toolTip(), "Ringlark: 2 requests waiting\ndesk");

    // Requests gone, then the daemon too: the section and the detail go.
    f.harness.daemon.set("/v1/status", statusJson(true, 0));
    f.poll();
    EXPECT_EQ(entries(menu).mid(0, 4), QStringList({"Ringlark: ready (off)", "desk (off)", "-", "Pair Phone…"}));
    f.harness.daemon.remove("/v1/status");
    f.poll();
    EXPECT_EQ(entries(menu).mid(0, 3), QStringList({"Ringlark: starting… (off)", "-", "Pair Phone…"}));
}

TEST(TrayIcon, ListsTenRequestsWithShortTitlesAndKeepsTheFixedItems)
{
    Fixture f;
    f.harness.daemon.set("/v1/status", statusJson(true, 30));
    f.harness.daemon.set("/v1/requests", manyRequests(30));
    f.poll();
    const QStringList shown = entries(f.tray->menu());
    ASSERT_EQ(shown.size(), 4 + 10 + 8);
    EXPECT_EQ(shown.mid(14), QStringList({"20 more…", "-", "Pair Phone…", "Finish Setup…", "-", "Launch at Login", "-",
                                          "Quit Ringlark"}));
    find(f.tray->menu(), "moreRequests")->trigger();
    EXPECT_EQ(f.requestLists, 1);

    // The title is cut; the submenu holds the whole reason, line by line.
    const QMenu* first = f.tray->menu()->findChild<QMenu*>("request");
    const QString reason = "Request 0: approve the database migration for the staging cluster before the nightly build runs";
    EXPECT_TRUE(first->title().endsWith("…") && first->title().size() < reason.size()) << first->title().toStdString();
    QStringList lines;
    for (const QAction* a : first->findChildren<QAction*>("requestReason"))
        lines << a->text();
    EXPECT_EQ(lines.join(' '), reason);

    f.harness.daemon.set("/v1/requests", manyRequests(10));
    f.poll();
    EXPECT_EQ(entries(f.tray->menu()).size(), 4 + 10 + 7) << "no \"more\" entry";
}

TEST(TrayIcon, AClickOpensTheOwnMenuOnlyWhereThePanelDrawsNone)
{
    for (const bool panelMenu : {false, true}) {
        SCOPED_TRACE(panelMenu ? "panel draws the menu" : "application draws the menu");
        Fixture f(panelMenu);
        EXPECT_EQ(f.tray->menuHost(), panelMenu ? MenuTexts::MenuHost::panel : MenuTexts::MenuHost::application);
        emit f.tray->tray()->activated(QSystemTrayIcon::Trigger);
        spinFor(std::chrono::milliseconds(5));
        EXPECT_EQ(f.tray->menu()->isVisible(), !panelMenu);
        EXPECT_EQ(f.shown, panelMenu ? QList<WindowKind>{WindowKind::setup} : QList<WindowKind>{});
        f.tray->menu()->hide();

        // Labels are escaped for whoever draws them.
        f.harness.daemon.set("/v1/status", statusJson(true, 1));
        f.harness.daemon.set("/v1/requests", R"([{"id":"a","status":"open","reason":"my_file & AT&T",
                                                  "created_at":1000000,"updated_at":1000000}])");
        f.poll();
        EXPECT_EQ(f.tray->menu()->findChild<QMenu*>("request")->title(),
                  panelMenu ? "&my__file & AT&T" : "my_file && AT&&T");
    }
}

TEST(TrayIcon, WithoutATrayTheSetupWindowStandsInUntilOneAppearsAndDocks)
{
    Fixture f;
    spinFor(std::chrono::milliseconds(20));
    EXPECT_TRUE(f.standalone.isEmpty()) << "not before the delay";
    EXPECT_TRUE(spinUntil([&] { return !f.standalone.isEmpty() && f.dockChecks >= 3; }));
    EXPECT_EQ(f.standalone, QList<bool>{true});
    EXPECT_FALSE(f.tray->tray()->isVisible());
    f.panel = true;
    EXPECT_TRUE(spinUntil([&] { return f.standalone.size() == 2 && f.tray->tray()->isVisible(); }));
    EXPECT_EQ(f.standalone, QList<bool>({true, false}));
    const int checks = f.dockChecks;
    spinFor(std::chrono::milliseconds(50));
    EXPECT_EQ(f.dockChecks, checks) << "no more looking once docked";

    Fixture docked(false, true);
    spinFor(std::chrono::milliseconds(80));
    EXPECT_TRUE(docked.standalone.isEmpty()) << "a tray from the start";
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

TEST(TrayIcon, IconIsRedrawnOnlyWhenItsLookOrBadgeChanges)
{
    Fixture f;
    const auto tile = [&] { return f.tray->tray()->icon().pixmap(QSize(22, 22)).toImage().pixel(3, 3); };
    EXPECT_EQ(tile(), MenuBarIcon::brand) << "regular while starting";
    const int initial = f.tray->iconRenders();

    f.harness.daemon.set("/v1/status", statusJson(true, 0, false, true));
    f.poll();
    EXPECT_EQ(tile(), MenuBarIcon::muted) << "dimmed while reachable but not ready";
    f.poll();
    EXPECT_EQ(f.tray->iconRenders(), initial + 1);
    f.harness.daemon.set("/v1/status", statusJson(true, 0));
    f.poll();
    EXPECT_EQ(tile(), MenuBarIcon::brand);
    EXPECT_EQ(f.tray->iconRenders(), initial + 2);
}

TEST(TrayIcon, ItemsCallTheirActionsAndLaunchAtLoginShowsWhatTheSystemDid)
{
    Fixture f;
    QMenu* menu = f.tray->menu();
    for (const char* name : {"pairPhone", "setup", "quit"})
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
