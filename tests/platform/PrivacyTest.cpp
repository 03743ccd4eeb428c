#include "platform/Privacy.h"
#include "support/FakePlatform.h"

#include <gtest/gtest.h>

using namespace ringlark;
using Pane = platform::Privacy::Pane;

TEST(Privacy, SettingsAddressesAndTheAllowPress)
{
    EXPECT_EQ(platform::settingsAddress(Pane::screenRecording),
              "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture");
    EXPECT_EQ(platform::settingsAddress(Pane::accessibility),
              "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility");

    test::FakePrivacy privacy;
    privacy.screenRecording = false;
    EXPECT_FALSE(platform::requestAccess(privacy, Pane::screenRecording));
    EXPECT_EQ(privacy.screenRecordingRequests, 1);
    EXPECT_EQ(privacy.openedPanes, QList<Pane>{Pane::screenRecording});

    // Already granted: the prompt call answers true and no page opens.
    EXPECT_TRUE(platform::requestAccess(privacy, Pane::accessibility));
    EXPECT_EQ(privacy.accessibilityRequests, 1);
    EXPECT_EQ(privacy.openedPanes.size(), 1);
}
