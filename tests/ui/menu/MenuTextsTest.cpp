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

namespace {

// What a QMenu shows for a label: "&&" is one "&", a single "&" marks the
// next character and is not shown.
QString shownByQMenu(const QString& label)
{
    QString out;
    for (qsizetype i = 0; i < label.size(); ++i) {
        if (label[i] == '&' && i + 1 < label.size())
            ++i;
        out += label[i];
    }
    return out;
}

// What a panel shows for the label Qt 6.4 sends it: Qt turns the first "&"
// (unless last) into "_"; the panel reads "__" as "_" and "_x" as x.
QString shownByPanel(QString label)
{
    if (const qsizetype at = label.indexOf('&'); at >= 0 && at < label.size() - 1)
        label[at] = '_';
    QString out;
    for (qsizetype i = 0; i < label.size(); ++i) {
        if (label[i] == '_' && i + 1 < label.size())
            ++i;
        out += label[i];
    }
    return out;
}

} // namespace

TEST(MenuTexts, LabelsShowEveryTextLiterallyInAQMenuAndOnAPanel)
{
    struct Case {
        QString text, application, panel;
    };
    const Case cases[] = {
        {"Sign in", "Sign in", "Sign in"},
        {"Fix my_file_name & AT&T login", "Fix my_file_name && AT&&T login", "&Fix my__file__name & AT&T login"},
        {"&", "&&", "&&"},
        {"&&x_", "&&&&x_", "&&&x__"},
        {"_init_", "_init_", "__init__"},
        {"__", "__", "____"},
        {"Build & deploy\tnow\nplease", "Build && deploy now please", "&Build & deploy now please"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(menuLabel(c.text, MenuHost::application), c.application);
        EXPECT_EQ(menuLabel(c.text, MenuHost::panel), c.panel);
        const QString flat = QString(c.text).replace('\t', ' ').replace('\n', ' ');
        EXPECT_EQ(shownByQMenu(c.application), flat);
        EXPECT_EQ(shownByPanel(c.panel), flat);
    }
}

TEST(MenuTexts, LongTextsAreCutToTheMenuWidthAndWrappedInFull)
{
    const QFont font(QStringLiteral("DejaVu Sans"), 10);
    const QFontMetricsF metrics(font);
    const qreal title = metrics.averageCharWidth() * titleColumns;
    const qreal line = metrics.averageCharWidth() * lineColumns;
    const QString word = QStringLiteral("deploy ");
    const QString long1 = word.repeated(40).trimmed();                    // 279 characters
    const QString unbroken = QStringLiteral("x").repeated(300);           // no place to break

    struct Case {
        QString text;
        bool cut;
    };
    const Case titles[] = {{"Sign in to GitHub", false}, {" two\nlines ", false}, {long1, true}, {unbroken, true}};
    for (const auto& c : titles) {
        SCOPED_TRACE(c.text.left(20).toStdString());
        const QString shortened = shortTitle(c.text, font);
        EXPECT_LE(metrics.horizontalAdvance(shortened), title + 1);
        EXPECT_EQ(shortened.endsWith(QStringLiteral("…")), c.cut);
        if (!c.cut) {
            EXPECT_EQ(shortened, c.text.simplified());
        }
    }

    // Wrapped at word boundaries, nothing lost, every line within the width.
    const QStringList lines = wrapped(long1, font);
    EXPECT_GT(lines.size(), 3);
    EXPECT_EQ(lines.join(' '), long1);
    for (const QString& l : lines) {
        EXPECT_LE(metrics.horizontalAdvance(l), line + 1) << l.toStdString();
        EXPECT_FALSE(l.startsWith(' ') || l.endsWith(' '));
    }
    // A word wider than a line is broken inside it.
    EXPECT_EQ(wrapped(unbroken, font).join(QString()), unbroken);
    // Beyond the line budget the last line ends in an ellipsis.
    const QStringList capped = wrapped(long1, font, lineColumns, 2);
    ASSERT_EQ(capped.size(), 2);
    EXPECT_EQ(capped[0], lines[0]);
    EXPECT_TRUE(capped[1].endsWith(QStringLiteral("…")));
    EXPECT_LE(metrics.horizontalAdvance(capped[1]), line + 1);
    EXPECT_TRUE(wrapped(" \n ", font).isEmpty());
}

TEST(MenuTexts, AtMostTenRequestsAreListedAndTheRestCounted)
{
    const std::tuple<qsizetype, qsizetype, RequestCut, QString> cases[] = {
        {0, 10, {0, 0}, "0 more…"}, {1, 10, {1, 0}, "0 more…"},  {10, 10, {10, 0}, "0 more…"},
        {11, 10, {10, 1}, "1 more…"}, {30, 10, {10, 20}, "20 more…"}, {3, 0, {0, 3}, "3 more…"},
        {-1, 10, {0, 0}, "0 more…"},
    };
    for (const auto& [pending, limit, cut, more] : cases) {
        EXPECT_EQ(cutRequests(pending, limit), cut) << pending << " of " << limit;
        EXPECT_EQ(moreText(cutRequests(pending, limit).more), more);
    }
}
