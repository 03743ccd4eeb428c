#include "model/TailscaleState.h"
#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

using namespace ringlark;
using TS = TailscaleState;

namespace {

Tailscale reported(bool ok, std::optional<QString> host, std::optional<QString> owner, std::optional<QString> error = {})
{
    return {ok, std::nullopt, std::move(host), std::move(owner), std::move(error)};
}

Tailscale failing(const QString& error) { return reported(false, std::nullopt, std::nullopt, error); }

} // namespace

TEST(TailscaleState, DaemonVerdictThenInstalledThenLoginThenRunning)
{
    const QStringList on{"org.example.Other", "io.tailscale.ipn.macsys"}, off{};
    struct Case { bool installed; QStringList running; std::optional<Tailscale> from; TS expected; };
    const Case cases[] = {
        // Nothing installed, yet the daemon's positive verdict is not questioned.
        {false, off, reported(true, "mac", "me@example.com"), TS::ready("mac", "me@example.com")},
        {false, off, reported(true, "mac", std::nullopt), TS::notInstalled()},
        {true, on, reported(true, std::nullopt, "me"), TS::connecting("Waiting for Tailscale")},
        {true, on, reported(false, "mac", "me", "starting up"), TS::connecting("starting up")},
        {false, on, failing("tailscale: not logged in"), TS::notInstalled()},
        {true, off, std::nullopt, TS::notRunning()},
        {true, on, std::nullopt, TS::connecting("Waiting for Tailscale")},
        {true, off, failing("tailscale: not logged in"), TS::needsLogin()},
        {true, off, failing("Not logged in"), TS::notRunning()},
        {true, on, failing("Not logged in"), TS::connecting("Not logged in")},
        {true, on, failing("backend not connected"), TS::notRunning()},
        {true, on, failing("tailscale not installed"), TS::notRunning()},
        // Only exact identifiers count as running.
        {true, {"IO.TAILSCALE.IPN.MACSYS", "io.tailscale.ipn"}, failing("starting"), TS::notRunning()},
    };
    const QTemporaryDir applications;
    for (size_t i = 0; i < std::size(cases); ++i) {
        test::FakeWorkspace workspace;
        if (cases[i].installed)
            workspace.installed.insert("io.tailscale.ipn.macos", "/apps/Tailscale");
        workspace.running = cases[i].running;
        EXPECT_EQ(TS::current(cases[i].from, workspace, applications.path()), cases[i].expected) << "case " << i;
    }
}

TEST(TailscaleState, OpenAppFallsBackToTheApplicationsFolderThenTheDownloadPage)
{
    const QTemporaryDir applications;
    test::FakeWorkspace workspace;
    TS::openApp(workspace, applications.path());
    EXPECT_TRUE(workspace.openedApplications.isEmpty());
    EXPECT_EQ(workspace.openedURLs, QList<QUrl>{QUrl("https://tailscale.com/download/linux")});

    const QString bundle = applications.filePath("Tailscale.app");
    ASSERT_TRUE(QDir().mkpath(bundle));
    EXPECT_EQ(TS::current(std::nullopt, workspace, applications.path()), TS::notRunning());
    TS::openApp(workspace, applications.path());
    EXPECT_EQ(workspace.openedApplications, QStringList{bundle});
}
