#include "Printers.h"
#include "ui/menu/MenuTexts.h"

#include <gtest/gtest.h>

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
        {reachable(desk, {true, true}, 1, 2, true), "Ringlark: streaming to your iPhone", "desk", IconLook::regular},
        {reachable(desk, {true, true}, 1, 1), "Ringlark: 1 request waiting", "desk", IconLook::regular},
        {reachable(desk, {true, true}, 1, 2), "Ringlark: 2 requests waiting", "desk", IconLook::regular},
        {reachable(desk), "Ringlark: ready", "desk", IconLook::regular},
        {reachable(desk, {false, false}), "Ringlark: needs attention", "Screen Recording not allowed", IconLook::dimmed},
        {reachable(desk, {true, false}), "Ringlark: needs attention", "Accessibility not allowed", IconLook::dimmed},
        {reachable(desk, {true, true}, 0), "Ringlark: ready", "No iPhone paired yet", IconLook::regular},
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

TEST(MenuTexts, DescribeLeavesOutWhatIsMissingAndMenuEntriesShowTextsLiterally)
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
    EXPECT_EQ(forMenu("Build & deploy\tnow\nplease"), "Build && deploy now please");
}
