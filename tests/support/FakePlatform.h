#pragma once

#include "platform/PlatformServices.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <optional>

namespace ringlark::test {

// A workspace whose installed and running applications the test sets, and
// which records what it was asked to open instead of opening it.
class FakeWorkspace : public platform::Workspace {
public:
    QMap<QString, QString> installed; // bundle identifier -> location
    QStringList running;              // bundle identifiers
    QStringList openedApplications;
    QList<QUrl> openedURLs;
    QStringList windowless;  // locations openApplication cannot start
    bool terminal = true;    // a terminal program is there
    QStringList terminalRuns; // command lines run in a terminal

    std::optional<QString> applicationLocation(const QString& bundleIdentifier) const override;
    QStringList runningApplicationIdentifiers() const override { return running; }
    bool openApplication(const QString& location) override;
    bool canOpenApplication(const QString& location) const override { return !windowless.contains(location); }
    bool hasTerminal() const override { return terminal; }
    bool runInTerminal(const QString& commandLine) override;
    bool openURL(const QUrl& url) override;
};

// A login item held in memory. A set error makes the next registrations fail
// and leaves the status as it was; `statusAfterRegister` models an item that
// still needs the user's approval.
class FakeLoginItem : public platform::LoginItem {
public:
    Status current = Status::notRegistered;
    Status statusAfterRegister = Status::enabled;
    std::optional<platform::LoginItemError> registerError;
    int registerCalls = 0;

    Expected<Unit, platform::LoginItemError> registerItem() override;
    Expected<Unit, platform::LoginItemError> unregisterItem() override;
    Status status() const override { return current; }
};

// Permissions the test grants or withholds; records prompts and opened panes.
class FakePrivacy : public platform::Privacy {
public:
    Source from = Source::prompts;
    bool screenRecording = true;
    bool accessibility = true;
    int screenRecordingRequests = 0;
    int accessibilityRequests = 0;
    QList<Pane> openedPanes;

    Source source() const override { return from; }
    bool screenRecordingGranted() const override { return screenRecording; }
    bool accessibilityGranted() const override { return accessibility; }
    bool requestScreenRecording() override;
    bool requestAccessibility() override;
    void openSettings(Pane pane) override { openedPanes.append(pane); }
};

// The three fakes together, kept typed for the test and bundled for the code under test.
struct FakePlatform {
    std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
    std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
    std::shared_ptr<FakePrivacy> privacy = std::make_shared<FakePrivacy>();

    platform::PlatformServices services() const { return {workspace, loginItem, privacy}; }
};

} // namespace ringlark::test
