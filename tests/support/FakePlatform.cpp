#include "support/FakePlatform.h"

namespace ringlark::test {

std::optional<QString> FakeWorkspace::applicationLocation(const QString& bundleIdentifier) const
{
    const auto found = installed.constFind(bundleIdentifier);
    if (found == installed.constEnd())
        return std::nullopt;
    return *found;
}

bool FakeWorkspace::openApplication(const QString& location)
{
    openedApplications.append(location);
    return true;
}

bool FakeWorkspace::runInTerminal(const QString& commandLine)
{
    if (!terminal)
        return false;
    terminalRuns.append(commandLine);
    return true;
}

bool FakeWorkspace::openURL(const QUrl& url)
{
    openedURLs.append(url);
    return true;
}

Expected<Unit, platform::LoginItemError> FakeLoginItem::registerItem()
{
    ++registerCalls;
    if (registerError)
        return unexpected(*registerError);
    current = statusAfterRegister;
    return Unit{};
}

Expected<Unit, platform::LoginItemError> FakeLoginItem::unregisterItem()
{
    current = Status::notRegistered;
    return Unit{};
}

bool FakePrivacy::requestScreenRecording()
{
    ++screenRecordingRequests;
    return screenRecording;
}

bool FakePrivacy::requestAccessibility()
{
    ++accessibilityRequests;
    return accessibility;
}

} // namespace ringlark::test
