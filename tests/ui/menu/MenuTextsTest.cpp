#include "Printers.h"
#include "ui/menu/MenuTexts.h"

#include <gtest/gtest.h>

using namespace ringlark;
using namespace ringlark::MenuTexts;

namespace {

RinglarkStatus status(bool screenRecording = true, bool accessibility = true, std::int64_t devices = 1,
                      bool sessionActive = false)
{
    RinglarkStatus s;
    s.tailscale = {true, QStringLiteral("100.64.0.1"), QStringLiteral("desk"), QStringLiteral("me@example.com"), {}};
    s.permissions = {screenRecording, accessibility};
    s.push = {QStringLiteral("direct"), devices};
    s.sessionActive = sessionActive;
    return s;
}

Facts reachable(RinglarkStatus s, TailscaleState tailscale, qsizetype pending = 0)
{
    Facts f;
    f.daemonReachable = true;
    f.status = std::move(s);
    f.tailscale = std::move(tailscale);
    f.pending = pending;
    f.ready = f.tailscale->kind() == TailscaleState::Kind::ready && f.status->permissions.screenRecording
        && f.status->permissions.accessibility;
    f.needsSetup = !f.ready;
    return f;
}

const TailscaleState desk = TailscaleState::ready(QStringLiteral("desk"), QStringLiteral("me@example.com"));

} // namespace

TEST(MenuTexts, HeadlineDetailAndIconFollowTheFirstRuleThatApplies)
{
    Facts unreachable;
    unreachable.status = status(); // a status kept from before the daemon went away
    unreachable.pending = 2;

    struct Case {
        const char* name;
        Facts facts;
        QString headline;
        std::optional<QString> detail;
        IconLook look;
    };
    const Case cases[] = {
        {"daemon down", unreachable, QStringLiteral("Ringlark: starting…"), std::nullopt, IconLook::regular},
        {"streaming wins over requests", reachable(status(true, true, 1, true), desk, 2),
         QStringLiteral("Ringlark: streaming to your iPhone"), QStringLiteral("desk"), IconLook::regular},
        {"one request", reachable(status(), desk, 1), QStringLiteral("Ringlark: 1 request waiting"),
         QStringLiteral("desk"), IconLook::regular},
        {"two requests", reachable(status(), desk, 2), QStringLiteral("Ringlark: 2 requests waiting"),
         QStringLiteral("desk"), IconLook::regular},
        {"everything fine", reachable(status(), desk), QStringLiteral("Ringlark: ready"), QStringLiteral("desk"),
         IconLook::regular},
        {"screen recording before accessibility", reachable(status(false, false), desk),
         QStringLiteral("Ringlark: needs attention"), QStringLiteral("Screen Recording not allowed"),
         IconLook::dimmed},
        {"accessibility", reachable(status(true, false), desk), QStringLiteral("Ringlark: needs attention"),
         QStringLiteral("Accessibility not allowed"), IconLook::dimmed},
        {"no phone", reachable(status(true, true, 0), desk), QStringLiteral("Ringlark: ready"),
         QStringLiteral("No iPhone paired yet"), IconLook::regular},
        {"tailscale waiting", reachable(status(), TailscaleState::connecting(QStringLiteral("Waiting for Tailscale"))),
         QStringLiteral("Ringlark: needs attention"), QStringLiteral("Waiting for Tailscale"), IconLook::dimmed},
        {"tailscale missing", reachable(status(), TailscaleState::notInstalled()),
         QStringLiteral("Ringlark: needs attention"), QStringLiteral("Tailscale is not installed"), IconLook::dimmed},
        {"tailscale stopped", reachable(status(), TailscaleState::notRunning()),
         QStringLiteral("Ringlark: needs attention"), QStringLiteral("Tailscale is not running"), IconLook::dimmed},
        {"tailscale logged out", reachable(status(), TailscaleState::needsLogin()),
         QStringLiteral("Ringlark: needs attention"), QStringLiteral("Tailscale needs a login"), IconLook::dimmed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(headline(c.facts), c.headline);
        EXPECT_EQ(detail(c.facts), c.detail);
        EXPECT_EQ(iconLook(c.facts), c.look);
        EXPECT_EQ(toolTip(c.facts), c.detail ? c.headline + "\n" + *c.detail : c.headline);
    }
    EXPECT_DOUBLE_EQ(opacity(IconLook::regular), 1.0);
    EXPECT_DOUBLE_EQ(opacity(IconLook::dimmed), 0.4);
}

TEST(MenuTexts, DescribeLeavesOutWhatIsMissingAndMenuTextsShowLiterally)
{
    struct Case {
        std::optional<QString> agent, app;
        QString expected;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, QStringLiteral("3 min")},
        {QStringLiteral("Codex"), QStringLiteral("Terminal"), QStringLiteral("Codex · 3 min · Terminal")},
        {QString(), QString(), QStringLiteral("3 min")},
        {QStringLiteral("Claude Code"), std::nullopt, QStringLiteral("Claude Code · 3 min")},
        {std::nullopt, QStringLiteral("Safari"), QStringLiteral("3 min · Safari")},
    };
    for (const auto& c : cases) {
        HelpRequest r;
        r.agent = c.agent;
        r.app = c.app;
        EXPECT_EQ(describe(r, QStringLiteral("3 min")), c.expected);
    }

    EXPECT_EQ(setupItemText(true), QStringLiteral("Finish Setup…"));
    EXPECT_EQ(setupItemText(false), QStringLiteral("Setup…"));
    EXPECT_EQ(forMenu(QStringLiteral("Build & deploy\tnow\nplease")), QStringLiteral("Build && deploy now please"));
}
