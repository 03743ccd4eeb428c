#include "model/ModelHarness.h"
#include "Printers.h"
#include "support/EventLoop.h"
#include "ui/setup/SetupWindow.h"
#include "ui/setup/StepRow.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QHideEvent>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QTest>

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
    EXPECT_FALSE(f.find<QPushButton>("showQRCode")->isEnabled());
    EXPECT_TRUE(f.find("appsFolderWarning")->isVisible()); // the test's helper is outside the bundle

    f.harness.daemon.set("/v1/status", statusJson(true, 0, true, false));
    ASSERT_TRUE(f.poll());
    ASSERT_TRUE(spinUntil([&] { return f.pill() == "Needs attention"; }));
    EXPECT_EQ(f.detail("tailscaleRow"), QStringLiteral("desk \u00B7 user@example.com"));
    EXPECT_FALSE(f.find<QPushButton>("screenRecordingAllow")->isVisible());
    EXPECT_TRUE(f.find<QPushButton>("accessibilityAllow")->isVisible());
    EXPECT_TRUE(f.find<QPushButton>("showQRCode")->isEnabled());
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

    f.harness.daemon.set("/v1/status", statusJson(true));
    ASSERT_TRUE(f.poll());
    auto* qr = f.find<QPushButton>("showQRCode");
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
