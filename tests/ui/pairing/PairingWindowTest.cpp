#include "ScanQR.h"
#include "ui/menu/Printers.h"
#include "model/ModelHarness.h"
#include "support/EventLoop.h"
#include "ui/pairing/PairingWindow.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>

using namespace ringlark;
using namespace ringlark::test;

namespace {

struct Fixture {
    explicit Fixture(std::chrono::milliseconds copiedFor = std::chrono::milliseconds(1500))
        : model(harness.services()), window(model, copiedFor)
    {
    }
    void poll() { ASSERT_TRUE(await(model.poll())); }
    bool shows(const char* name) const { return window.findChild<QWidget*>(name)->isVisibleTo(&window); }
    QString text(const char* name) const { return window.findChild<QLabel*>(name)->text(); }
    QPushButton* copy() const { return window.findChild<QPushButton*>("copyAddress"); }

    ModelHarness harness;
    AppModel model;
    PairingWindow window;
};

} // namespace

TEST(PairingWindow, CardAndAddressFollowPairingReachabilityAndTailscale)
{
    Fixture f;
    f.window.show(); // the pairing is then fetched on every poll
    const std::string link = "ringlark://pair?host=desk&token=abc123", next = link + "-2";
    const std::string ready = statusJson(true), down = statusJson(false);
    struct Step {
        const char* name;
        std::optional<std::string> status, url;
        std::optional<std::string> code; // the link the card shows, else the placeholder
        QString placeholder;
        bool address;
    };
    const Step steps[] = {
        {"daemon not answering", {}, {}, {}, "Starting Ringlark…", false},
        {"tailscale ready, no pairing yet", ready, {}, {}, QStringLiteral("Getting the pairing link\u2026"), true},
        {"paired", ready, link, link, {}, true},
        {"a new link replaces the code", ready, next, next, {}, true},
        {"daemon lost: the last code and address stay", {}, next, next, {}, true},
        {"tailscale down: the pairing goes", down, next, {}, "Not installed. Ringlark talks to your phone over your tailnet.", false},
        {"no code holds the link", ready, std::string(3000, 'x'), {}, QStringLiteral("Getting the pairing link\u2026"), true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        step.status ? f.harness.daemon.set("/v1/status", *step.status) : f.harness.daemon.remove("/v1/status");
        step.url ? f.harness.daemon.set("/v1/pairing", R"({"url":")" + *step.url + R"("})")
                 : f.harness.daemon.remove("/v1/pairing");
        f.poll();
        EXPECT_EQ(f.shows("qrCode"), step.code.has_value());
        EXPECT_EQ(f.shows("placeholder"), !step.code.has_value());
        EXPECT_EQ(f.shows("steps"), step.code.has_value());
        if (step.code)
            EXPECT_EQ(scan(f.window.grab().toImage()), step.code);
        else
            EXPECT_EQ(f.text("placeholderText"), step.placeholder);
        EXPECT_EQ(f.shows("addressBlock"), step.address);
        EXPECT_EQ(f.shows("copyAddress"), step.address);
        if (step.address) {
            EXPECT_EQ(f.text("host"), "desk");
            EXPECT_EQ(f.text("owner"), "Owner: user@example.com");
        }
    }
}

TEST(PairingWindow, PlaceholderSaysWhatIsMissingWithTheSetupRowsButton)
{
    using A = setup::TailscaleAccess;
    using Act = setup::TailscaleAction;
    RinglarkStatus held;
    RinglarkStatus refused;
    refused.tailscale.error = "Run: sudo tailscale set --operator=$USER";
    const auto ready = TailscaleState::ready("desk", "me");
    struct Case { bool reachable; std::optional<RinglarkStatus> status; TailscaleState tailscale; A access; pairing::Placeholder expected; };
    const Case cases[] = {
        {false, held, ready, A::none, {{}, QStringLiteral("Starting Ringlark\u2026"), {}, Act::none}},
        {true, std::nullopt, TailscaleState::notInstalled(), A::none, {{}, QStringLiteral("Starting Ringlark\u2026"), {}, Act::none}},
        // Tailscale not ready: the setup row's fix, whatever it is (SetupRows' table has them all).
        {true, held, TailscaleState::needsLogin(), A::terminal,
         {"Tailscale", "Logged out. Log in with the account your phone uses.", QStringLiteral("Log In\u2026"),
          Act::logInInTerminal}},
        // Ready, but HTTPS certificates off or no operator rights: the daemon's words.
        {true, refused, ready, A::none, {"Tailscale", *refused.tailscale.error, {}, Act::none}},
        {true, held, ready, A::none, {{}, QStringLiteral("Getting the pairing link\u2026"), {}, Act::none}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(pairing::placeholder(c.reachable, c.status, c.tailscale, c.access), c.expected) << "case " << i;
    }

    // In the window the button does what the setup row's does.
    Fixture f;
    f.window.show();
    f.harness.daemon.set("/v1/status", statusJson(false));
    f.poll();
    auto* button = f.window.findChild<QPushButton*>("tailscaleButton");
    ASSERT_TRUE(button->isVisibleTo(&f.window));
    EXPECT_EQ(f.text("placeholderHeading"), "Tailscale");
    button->click();
    EXPECT_EQ(f.harness.platform.workspace->openedURLs, QList{TailscaleState::downloadURL()});
}

TEST(PairingWindow, CopyPutsOnlyTheHostAndEachPressResetsAfterItsOwnDelay)
{
    using namespace std::chrono_literals;
    Fixture f(300ms);
    f.window.show();
    f.harness.daemon.set("/v1/status", statusJson(true));
    f.poll();
    QApplication::clipboard()->setText("something else");
    EXPECT_EQ(f.copy()->text(), "Copy Address");

    QElapsedTimer clock;
    clock.start();
    f.copy()->click();
    EXPECT_EQ(QApplication::clipboard()->text(), "desk");
    EXPECT_EQ(f.copy()->text(), "Copied");
    spinFor(150ms);
    EXPECT_EQ(f.copy()->text(), "Copied");
    const qint64 second = clock.elapsed();
    f.copy()->click();

    // Back once the first press's time is up, not the second's.
    ASSERT_TRUE(spinUntil([&] { return f.copy()->text() == "Copy Address"; }, 2000ms));
    EXPECT_GE(clock.elapsed(), 285);
    EXPECT_LT(clock.elapsed() - second, 285);
    spinFor(200ms);
    EXPECT_EQ(f.copy()->text(), "Copy Address");
}

TEST(PairingWindow, CountsItselfOnceWhileOnScreen)
{
    Fixture f;
    f.model.windowAppeared(); // the setup window
    f.window.show();
    f.window.show();
    EXPECT_EQ(f.model.openWindows(), 2);
    f.window.hide();
    f.window.hide();
    EXPECT_EQ(f.model.openWindows(), 1);
    f.model.windowDisappeared();
    f.window.show();
    f.window.close();
    EXPECT_EQ(f.model.openWindows(), 0);
}
