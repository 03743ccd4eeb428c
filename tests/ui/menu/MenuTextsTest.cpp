#include "Printers.h"
#include "ui/menu/MenuTexts.h"

#include <gtest/gtest.h>

#include <QFontMetricsF>

using namespace ringlark;
using namespace ringlark::MenuTexts;

namespace {

const TailscaleState desk = TailscaleState::ready("desk", "me@example.com");

Facts reachable(TailscaleState tailscale, Permissions permissions = {true, true}, std::int64_t devices = 1,
                qsizetype pending = 0, bool sessionActive = false)
{
    Facts f;
    f.daemonReachable = true;
    f.status = RinglarkStatus{};
    f.status->permissions = permissions;
    f.status->push.devices = devices;
    f.status->sessionActive = sessionActive;
    f.pending = pending;
    f.ready = tailscale == desk && permissions.screenRecording && permissions.accessibility;
    f.tailscale = std::move(tailscale);
    return f;
}

} // namespace

TEST(MenuTexts, HeadlineDetailAndIconFollowTheFirstRuleThatApplies)
{
    Facts down; // a status kept from before the daemon went away
    down.status = RinglarkStatus{};
    down.pending = 2;

    struct Case {
        Facts facts;
        QString headline;
        std::optional<QString> detail;
        IconLook look;
    };
    const Case cases[] = {
        {down, "Ringlark: starting…", std::nullopt, IconLook::regular},
        {reachable(desk, {true, true}, 1, 2, true), "Ringlark: streaming to your phone", "desk", IconLook::regular},
        {reachable(desk, {true, true}, 1, 1), "Ringlark: 1 request waiting", "desk", IconLook::regular},
        {reachable(desk, {true, true}, 1, 2), "Ringlark: 2 requests waiting", "desk", IconLook::regular},
        {reachable(desk), "Ringlark: ready", "desk", IconLook::regular},
        {reachable(desk, {false, false}), "Ringlark: needs attention", "Screen Recording not allowed", IconLook::dimmed},
        {reachable(desk, {true, false}), "Ringlark: needs attention", "Accessibility not allowed", IconLook::dimmed},
        {reachable(desk, {true, true}, 0), "Ringlark: ready", "No phone paired yet", IconLook::regular},
        {reachable(TailscaleState::connecting("Waiting for Tailscale")), "Ringlark: needs attention",
         "Waiting for Tailscale", IconLook::dimmed},
        {reachable(TailscaleState::notInstalled()), "Ringlark: needs attention", "Tailscale is not installed",
         IconLook::dimmed},
        {reachable(TailscaleState::notRunning()), "Ringlark: needs attention", "Tailscale is not running",
         IconLook::dimmed},
        {reachable(TailscaleState::needsLogin()), "Ringlark: needs attention", "Tailscale needs a login",
         IconLook::dimmed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.headline.toStdString() + " / " + c.detail.value_or("-").toStdString());
        EXPECT_EQ(headline(c.facts), c.headline);
        EXPECT_EQ(detail(c.facts), c.detail);
        EXPECT_EQ(iconLook(c.facts), c.look);
        EXPECT_EQ(toolTip(c.facts), c.detail ? c.headline + "\n" + *c.detail : c.headline);
    }
}

TEST(MenuTexts, DescribeLeavesOutWhatIsMissing)
{
    struct Case {
        std::optional<QString> agent, app;
        QString expected;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, "3 min"},
        {QString(), QString(), "3 min"},
        {"Codex", "Terminal", "Codex · 3 min · Terminal"},
        {std::nullopt, "Safari", "3 min · Safari"},
    };
    for (const auto& c : cases) {
        HelpRequest r;
        r.agent = c.agent;
        r.app = c.app;
        EXPECT_EQ(describe(r, "3 min"), c.expected);
    }
}

// What the panel shows is checked against a real export in TrayPanelTest.
TEST(MenuTexts, LabelsShowEveryTextLiterallyInAQMenuAndOnAPanel)
{
    const std::tuple<QString, QString, QString> cases[] = {
        {"Sign in", "Sign in", "Sign in"},
        {"Fix my_file_name & AT&T login", "Fix my_file_name && AT&&T login", "&Fix my__file__name & AT&T login"},
        {"&", "&&", "&&"},
        {"__", "__", "____"},
        {"Build & deploy\tnow\nplease", "Build && deploy now please", "&Build & deploy now please"},
    };
    for (const auto& [text, application, panel] : cases) {
        EXPECT_EQ(menuLabel(text, MenuHost::application), application) << text.toStdString();
        EXPECT_EQ(menuLabel(text, MenuHost::panel), panel) << text.toStdString();
    }
}

TEST(MenuTexts, LongTextsAreCutToTheMenuWidthAndWrappedInFull)
{
    const QFont font(QStringLiteral("DejaVu Sans"), 10);
    const QFontMetricsF metrics(font);
    const QString words = QStringLiteral("deploy ").repeated(40).trimmed();
    const QString unbroken = QStringLiteral("x").repeated(300);

    EXPECT_EQ(shortTitle(" Sign in\nnow ", font), "Sign in now");
    for (const QString& text : {words, unbroken}) {
        const QString title = shortTitle(text, font);
        EXPECT_TRUE(title.endsWith(QStringLiteral("…")));
        EXPECT_LE(metrics.horizontalAdvance(title), metrics.averageCharWidth() * titleColumns + 1);
    }

    // Nothing lost, every line within the width, a long word broken inside.
    const QStringList lines = wrapped(words, font);
    EXPECT_GT(lines.size(), 3);
    EXPECT_EQ(lines.join(' '), words);
    for (const QString& line : lines)
        EXPECT_LE(metrics.horizontalAdvance(line), metrics.averageCharWidth() * lineColumns + 1);
    EXPECT_EQ(wrapped(unbroken, font).join(QString()), unbroken);
    // Beyond the line budget the last line ends in an ellipsis.
    const QStringList capped = wrapped(words, font, lineColumns, 2);
    ASSERT_EQ(capped.size(), 2);
    EXPECT_EQ(capped[0], lines[0]);
    EXPECT_TRUE(capped[1].endsWith(QStringLiteral("…")));
    EXPECT_TRUE(wrapped(" \n ", font).isEmpty());
}

TEST(MenuTexts, AtMostTenRequestsAreListedAndTheRestCounted)
{
    const std::tuple<qsizetype, RequestCut> cases[] = {
        {0, {0, 0}}, {10, {10, 0}}, {11, {10, 1}}, {30, {10, 20}}, {-1, {0, 0}},
    };
    for (const auto& [pending, cut] : cases)
        EXPECT_EQ(cutRequests(pending), cut) << pending;
    EXPECT_EQ(moreText(20), "20 more…");
}
