#include "model/ModelHarness.h"
#include "Printers.h"
#include "support/EventLoop.h"
#include "ui/setup/EntryList.h"
#include "ui/setup/SetupWindow.h"
#include "ui/setup/StepRow.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QHideEvent>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QStyle>
#include <QTest>

#include <nlohmann/json.hpp>

using namespace ringlark;
using namespace ringlark::setup;
using namespace ringlark::test;

namespace {

// A model on fakes plus the window over it, shown offscreen.
struct Fixture {
    explicit Fixture(std::function<void(AppModel::Services&)> adjust = {})
    {
        auto services = harness.services();
        if (adjust)
            adjust(services);
        model = std::make_unique<AppModel>(services);
        window = std::make_unique<SetupWindow>(*model, [this](WindowKind kind) { shown.push_back(kind); });
    }

    template <typename T = QWidget>
    T* find(const QString& name) const
    {
        T* found = window->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    StepRow* row(const QString& name) const { return find<StepRow>(name); }
    QString detail(const QString& rowName) const { return row(rowName)->findChild<QLabel*>("detail")->text(); }
    QString pill() const { return find<QLabel>("pillLabel")->text(); }
    bool poll() { return await(model->poll()); }

    ModelHarness harness;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<SetupWindow> window;
    std::vector<WindowKind> shown;
};

} // namespace

// What each row says is SetupRows' job; here only that the window redraws what the model publishes.
TEST(SetupWindow, RowsFollowWhatTheDaemonPublishes)
{
    Fixture f;
    f.harness.platform.privacy->screenRecording = false;
    f.window->show();
    EXPECT_EQ(f.pill(), "Starting");
    EXPECT_TRUE(f.find<QPushButton>("screenRecordingAllow")->isVisible());
    EXPECT_FALSE(f.find<QPushButton>("accessibilityAllow")->isVisible());
    EXPECT_FALSE(f.find<QPushButton>("pairPhone")->isEnabled());
    EXPECT_TRUE(f.find("appsFolderWarning")->isVisible()); // the test's helper is outside the bundle

    f.harness.daemon.set("/v1/status", statusJson(true, 0, true, false));
    ASSERT_TRUE(f.poll());
    ASSERT_TRUE(spinUntil([&] { return f.pill() == "Needs attention"; }));
    EXPECT_EQ(f.detail("tailscaleRow"), QStringLiteral("desk \u00B7 user@example.com"));
    EXPECT_FALSE(f.find<QPushButton>("screenRecordingAllow")->isVisible());
    EXPECT_TRUE(f.find<QPushButton>("accessibilityAllow")->isVisible());
    EXPECT_TRUE(f.find<QPushButton>("pairPhone")->isEnabled());

    // The rows hear from the platform what kind of session this is.
    f.harness.platform.privacy->from = platform::Privacy::Source::waylandSession;
    f.harness.daemon.set("/v1/status", statusJson(true, 0, false, false));
    ASSERT_TRUE(f.poll());
    ASSERT_TRUE(spinUntil([&] { return f.detail("screenRecordingRow").contains("Log out"); }));
    EXPECT_FALSE(f.find<QPushButton>("accessibilityAllow")->isVisible());
}

TEST(SetupWindow, ButtonsReachThePlatformAndThePairingWindow)
{
    Fixture f;
    auto& privacy = *f.harness.platform.privacy;
    privacy.screenRecording = false;
    privacy.accessibility = false;
    f.window->show();

    // Allow… prompts and, still missing, brings the page forward; System Settings only opens.
    f.find<QPushButton>("screenRecordingAllow")->click();
    f.find<QPushButton>("accessibilitySettings")->click();
    EXPECT_EQ(privacy.screenRecordingRequests, 1);
    EXPECT_EQ(privacy.accessibilityRequests, 0);
    EXPECT_EQ(privacy.openedPanes, (QList{platform::Privacy::Pane::screenRecording, platform::Privacy::Pane::accessibility}));

    // Granted meanwhile: the prompt answers yes, no page opens, and the row turns done.
    privacy.accessibility = true;
    f.find<QPushButton>("accessibilityAllow")->click();
    EXPECT_EQ(privacy.openedPanes.size(), 2);
    EXPECT_EQ(f.row("accessibilityRow")->row().state, StepState::done);

    // No Tailscale anywhere: the button fetches it.
    auto* tailscale = f.find<QPushButton>("tailscaleButton");
    EXPECT_EQ(tailscale->text(), "Get Tailscale");
    tailscale->click();
    EXPECT_EQ(f.harness.platform.workspace->openedURLs, QList{TailscaleState::downloadURL()});

    // Only the command-line program, logged out: the button logs in from a terminal.
    auto& workspace = *f.harness.platform.workspace;
    workspace.installed.insert("io.tailscale.ipn.macos", "/usr/bin/tailscale");
    workspace.windowless << "/usr/bin/tailscale";
    f.harness.daemon.set("/v1/status", R"({"version":"1","tailscale":{"ok":false,"error":"Tailscale is not logged in"},)"
                                       R"("permissions":{"screen_recording":true,"accessibility":true},)"
                                       R"("push":{"mode":"direct","devices":0},"pending":0,"session_active":false})");
    ASSERT_TRUE(f.poll());
    ASSERT_TRUE(spinUntil([&] { return tailscale->text() == QStringLiteral("Log In\u2026"); }));
    tailscale->click();
    ASSERT_EQ(workspace.terminalRuns.size(), 1);
    EXPECT_TRUE(workspace.terminalRuns[0].contains("tailscale up"));
    EXPECT_TRUE(workspace.openedApplications.isEmpty());
    // No terminal either: no button, and the row says what to run.
    workspace.terminal = false;
    ASSERT_TRUE(f.poll());
    ASSERT_TRUE(spinUntil([&] { return !tailscale->isVisible(); }));
    EXPECT_TRUE(f.detail("tailscaleRow").contains("sudo tailscale up"));

    f.harness.daemon.set("/v1/status", statusJson(true));
    ASSERT_TRUE(f.poll());
    auto* qr = f.find<QPushButton>("pairPhone");
    ASSERT_TRUE(spinUntil([&] { return qr->isEnabled(); }));
    qr->click();
    EXPECT_EQ(f.shown, std::vector{WindowKind::pairing});
}

TEST(SetupWindow, ConnectShowsBusyThenTheOutcome)
{
    Fixture f;
    ASSERT_TRUE(QDir().mkpath(f.harness.home() + "/.codex"));
    f.window->show();

    auto* codex = f.find<QPushButton>("codexButton");
    auto* claude = f.find<QPushButton>("claudeCodeButton");
    // Until the first refresh lands every agent reads as not connected.
    ASSERT_TRUE(spinUntil([&] { return !claude->isVisible(); })); // not installed
    EXPECT_EQ(codex->text(), "Connect");

    codex->click();
    EXPECT_EQ(f.model->agentBusy(), std::optional<AgentKind>(AgentKind::codex));
    // The connection cannot end before the loop turns, so a redraw now shows it running.
    f.window->hide();
    f.window->show();
    EXPECT_EQ(codex->text(), QStringLiteral("Connecting\u2026"));
    EXPECT_FALSE(codex->isEnabled());
    ASSERT_TRUE(spinUntil([&] { return f.row("codexRow")->row().state == StepState::done; }));
    EXPECT_FALSE(codex->isVisible());
    EXPECT_FALSE(f.find<QLabel>("agentError")->isVisible());

    // A failed connection shows its text in red under the rows.
    f.model->connect(AgentKind::claudeCode);
    auto* error = f.find<QLabel>("agentError");
    ASSERT_TRUE(spinUntil([&] { return error->isVisible(); }));
    EXPECT_EQ(error->text(), f.model->agentError().value_or("(none)"));
}

TEST(SetupWindow, LaunchAtLoginShowsTheModelNotTheClick)
{
    Fixture f;
    auto& item = *f.harness.platform.loginItem;
    f.window->show();
    auto* box = f.find<QCheckBox>("launchAtLogin");
    EXPECT_FALSE(box->isChecked());

    item.registerError = platform::LoginItemError{"denied"};
    box->click();
    EXPECT_EQ(item.registerCalls, 1);
    EXPECT_FALSE(box->isChecked());

    item.registerError.reset();
    box->click();
    EXPECT_TRUE(box->isChecked());
}

TEST(SetupWindow, ShowingCountsOnceAndRefreshesAgentsAndDoneHides)
{
    Fixture f;
    Notifications notes(*f.model);
    f.window->show();
    EXPECT_EQ(f.model->openWindows(), 1);
    EXPECT_TRUE(spinUntil([&] { return notes[AppModel::Field::agents] == 1; }));

    // A repeated show event (the window system confirming) counts nothing more.
    QShowEvent again;
    QCoreApplication::sendEvent(f.window.get(), &again);
    EXPECT_EQ(f.model->openWindows(), 1);

    f.model->windowAppeared(); // the pairing window
    f.find<QPushButton>("done")->click();
    EXPECT_TRUE(f.window->isHidden());
    QHideEvent hide;
    QCoreApplication::sendEvent(f.window.get(), &hide);
    QCoreApplication::sendEvent(f.window.get(), &hide);
    EXPECT_EQ(f.model->openWindows(), 1);

    // Return presses Done.
    f.window->show();
    EXPECT_EQ(f.model->openWindows(), 2);
    QTest::keyClick(f.window.get(), Qt::Key_Return);
    EXPECT_TRUE(f.window->isHidden());
    f.model->windowDisappeared();
    f.model->windowDisappeared();
    EXPECT_EQ(f.model->openWindows(), 0);
}

TEST(SetupWindow, PhonesAreListedAndRemoveReachesTheModel)
{
    Fixture f;
    auto status = nlohmann::json::parse(statusJson(true));
    status["push"]["devices"] = 2;
    f.harness.daemon.set("/v1/status", status.dump());
    f.harness.daemon.set("/v1/devices", R"([{"id":"p1","name":"Pixel 8","paired_at":1,"push":true},)"
                                        R"({"id":"p2","name":"Work phone","paired_at":1,"push":true}])");
    f.harness.daemon.set("/v1/devices/p2", "{}");
    f.window->show();
    ASSERT_TRUE(f.poll());
    auto* list = f.find<EntryList>("devices");
    ASSERT_TRUE(spinUntil([&] { return list->entries().size() == 2; }));
    EXPECT_TRUE(list->isVisible());
    EXPECT_EQ(f.detail("pairingRow"), "2 phones paired. Pushes go to your phone's push service, directly.");

    const auto buttons = list->findChildren<QPushButton*>("devicesButton");
    ASSERT_EQ(buttons.size(), 2);
    EXPECT_EQ(buttons[1]->text(), "Remove");
    buttons[1]->click();
    ASSERT_TRUE(spinUntil([&] { return f.harness.daemon.count("/v1/devices/p2") == 1; }));

    // Once the daemon counts none, the list says so.
    status["push"]["devices"] = 0;
    f.harness.daemon.set("/v1/status", status.dump());
    ASSERT_TRUE(f.poll());
    ASSERT_TRUE(spinUntil([&] { return f.find<QLabel>("devicesEmpty")->isVisible(); }));
    EXPECT_EQ(f.find<QLabel>("devicesEmpty")->text(), "No phone paired yet");
}

TEST(SetupWindow, RequestsShowWhenWaitingAndAlwaysWhenStandalone)
{
    Fixture f;
    int quits = 0;
    f.window->setQuit([&] { ++quits; });
    f.harness.daemon.set("/v1/status", statusJson(true));
    f.window->show();
    ASSERT_TRUE(f.poll());
    auto* section = f.find("waitingSection");
    EXPECT_FALSE(section->isVisible());
    EXPECT_FALSE(f.find("quit")->isVisible());
    EXPECT_FALSE(f.find("trayHint")->isVisible());

    f.window->setStandalone(true);
    EXPECT_TRUE(section->isVisible());
    EXPECT_TRUE(f.find<QLabel>("requestsEmpty")->isVisible());
    EXPECT_EQ(f.find<QLabel>("requestsEmpty")->text(), "No requests waiting");
    EXPECT_TRUE(f.find("trayHint")->isVisible());
    f.find<QPushButton>("quit")->click();
    EXPECT_EQ(quits, 1);

    f.harness.daemon.set("/v1/status", statusJson(true, 1));
    f.harness.daemon.set("/v1/requests", R"([{"id":"r/1","status":"open","reason":"Sign in","agent":"Codex",)"
                                         R"("ask":"Approve it","created_at":1,"updated_at":1}])");
    ASSERT_TRUE(f.poll());
    auto* requests = f.find<EntryList>("requests");
    ASSERT_TRUE(spinUntil([&] { return requests->entries().size() == 1; }));
    EXPECT_FALSE(f.find<QLabel>("requestsEmpty")->isVisible());
    auto* dismiss = requests->findChild<QPushButton*>("requestsButton");
    ASSERT_NE(dismiss, nullptr);
    EXPECT_EQ(dismiss->text(), "Dismiss");
    // The dismissal polls once more; that poll reads the pairing only after the
    // list, so once it has, no older list can land after the one below.
    const int pairingReads = f.harness.daemon.count("/v1/pairing");
    dismiss->click();
    EXPECT_TRUE(spinUntil([&] { return f.harness.daemon.count("/v1/requests/r%2F1/cancel") == 1; }));
    ASSERT_TRUE(spinUntil([&] { return f.harness.daemon.count("/v1/pairing") > pairingReads; }));

    // Back with a tray: the list shows only while something waits.
    f.window->setStandalone(false);
    EXPECT_TRUE(section->isVisible());
    f.harness.daemon.set("/v1/status", statusJson(true));
    ASSERT_TRUE(f.poll());
    ASSERT_TRUE(spinUntil([&] { return !section->isVisible(); }));
    EXPECT_FALSE(f.find("quit")->isVisible());
}

TEST(SetupWindow, FitsASmallScreenWithDoneInView)
{
    struct Case { QRect available; QSize size; };
    const Case cases[] = {
        {QRect(0, 0, 1920, 1080), SetupWindow::fullSize},
        {QRect(0, 0, 1366, 768), QSize(600, 688)},
        {QRect(0, 27, 1366, 741), QSize(600, 661)}, // below a desktop's top bar
        {QRect(0, 0, 1024, 600), QSize(600, 520)},
    };
    constexpr int titleBar = 37;
    for (const Case& c : cases) {
        EXPECT_EQ(fittedSize(SetupWindow::fullSize, c.available), c.size);
        // Centred as the window manager places it, title bar included, it stays on the screen.
        const QRect placed = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, c.size, c.available);
        EXPECT_TRUE(c.available.contains(placed.adjusted(0, -titleBar, 0, 0))) << c.available.height();
    }

    // A long list on a 1366×768 screen: the checklist scrolls, the footer stays.
    Fixture f;
    f.window->setStandalone(true);
    f.window->fitTo(QRect(0, 0, 1366, 768));
    f.window->show();
    EXPECT_EQ(f.window->size(), QSize(600, 688));
    EXPECT_EQ(f.window->sizeHint(), QSize(600, 688));
    QApplication::processEvents();
    const auto* list = f.find<QScrollArea>("checklist");
    EXPECT_GT(list->verticalScrollBar()->maximum(), 0);
    for (const char* name : {"done", "launchAtLogin", "quit"}) {
        const QWidget* widget = f.find(name);
        EXPECT_TRUE(widget->isVisible()) << name;
        const QRect at(widget->mapTo(f.window.get(), QPoint(0, 0)), widget->size());
        EXPECT_TRUE(f.window->rect().contains(at)) << name;
        EXPECT_FALSE(list->isAncestorOf(widget)) << name;
    }
}
