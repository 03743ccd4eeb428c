#include "model/TailscaleState.h"
#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

using namespace ringlark;

namespace {

const QString macsys = QStringLiteral("io.tailscale.ipn.macsys");
const QString macos = QStringLiteral("io.tailscale.ipn.macos");

Tailscale reported(bool ok, std::optional<QString> host, std::optional<QString> owner, std::optional<QString> error = {})
{
    return {ok, std::nullopt, std::move(host), std::move(owner), std::move(error)};
}

Tailscale failing(const QString& error) { return reported(false, std::nullopt, std::nullopt, error); }

struct Computer {
    QTemporaryDir applications;
    test::FakeWorkspace workspace;

    void install() { workspace.installed.insert(macos, "/apps/Tailscale"); }
    void run() { workspace.running = {"org.example.Other", macsys}; }
    TailscaleState state(const std::optional<Tailscale>& from) const
    {
        return TailscaleState::current(from, workspace, applications.path());
    }
};

} // namespace

TEST(TailscaleState, PositiveDaemonVerdictNeedsOkHostAndOwner)
{
    Computer computer;
    // Nothing installed, yet the daemon's positive verdict is not questioned.
    EXPECT_EQ(computer.state(reported(true, "mac", "me@example.com")), TailscaleState::ready("mac", "me@example.com"));
    EXPECT_EQ(computer.state(reported(true, "", "")), TailscaleState::ready("", ""));
    EXPECT_EQ(computer.state(reported(true, "mac", std::nullopt)), TailscaleState::notInstalled());

    computer.install();
    computer.run();
    EXPECT_EQ(computer.state(reported(true, std::nullopt, "me")), TailscaleState::connecting("Waiting for Tailscale"));
    EXPECT_EQ(computer.state(reported(false, "mac", "me", "starting up")), TailscaleState::connecting("starting up"));
}

TEST(TailscaleState, WithoutAStatusTheComputerDecides)
{
    Computer computer;
    EXPECT_EQ(computer.state(std::nullopt), TailscaleState::notInstalled());
    computer.install();
    EXPECT_EQ(computer.state(std::nullopt), TailscaleState::notRunning());
    computer.run();
    EXPECT_EQ(computer.state(std::nullopt), TailscaleState::connecting("Waiting for Tailscale"));
}

TEST(TailscaleState, ErrorTextsAreMatchedInOrderAndCaseSensitively)
{
    Computer computer;
    EXPECT_EQ(computer.state(failing("tailscale: not logged in")), TailscaleState::notInstalled());
    computer.install();
    EXPECT_EQ(computer.state(failing("tailscale: not logged in")), TailscaleState::needsLogin());
    EXPECT_EQ(computer.state(failing("Not logged in")), TailscaleState::notRunning());

    computer.run();
    EXPECT_EQ(computer.state(failing("Not logged in")), TailscaleState::connecting("Not logged in"));
    EXPECT_EQ(computer.state(failing("backend not connected")), TailscaleState::notRunning());
    EXPECT_EQ(computer.state(failing("tailscale not installed")), TailscaleState::notRunning());

    // Only exact identifiers count as running.
    computer.workspace.running = {"IO.TAILSCALE.IPN.MACSYS", "io.tailscale.ipn"};
    EXPECT_EQ(computer.state(failing("starting")), TailscaleState::notRunning());
}

TEST(TailscaleState, OpenAppFallsBackToTheApplicationsFolderThenTheDownloadPage)
{
    Computer computer;
    TailscaleState::openApp(computer.workspace, computer.applications.path());
    EXPECT_TRUE(computer.workspace.openedApplications.isEmpty());
    EXPECT_EQ(computer.workspace.openedURLs, QList<QUrl>{TailscaleState::downloadURL()});
    EXPECT_EQ(TailscaleState::downloadURL().toString(), "https://tailscale.com/download/linux");

    const QString bundle = computer.applications.filePath("Tailscale.app");
    ASSERT_TRUE(QDir().mkpath(bundle));
    EXPECT_EQ(computer.state(std::nullopt), TailscaleState::notRunning());
    TailscaleState::openApp(computer.workspace, computer.applications.path());
    EXPECT_EQ(computer.workspace.openedApplications, QStringList{bundle});

    computer.workspace.installed.insert(macos, "/apps/macos");
    computer.workspace.installed.insert(macsys, "/apps/macsys");
    EXPECT_EQ(TailscaleState::installedApp(computer.workspace, computer.applications.path()), "/apps/macsys");
}
