#include "platform/Privacy.h"

#include <gtest/gtest.h>

using namespace ringlark::platform;

TEST(Privacy, SettingsAddressesNameThePane)
{
    EXPECT_EQ(settingsAddress(Privacy::Pane::screenRecording),
              "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture");
    EXPECT_EQ(settingsAddress(Privacy::Pane::accessibility),
              "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility");
}
