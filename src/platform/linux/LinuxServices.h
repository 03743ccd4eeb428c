#pragma once

#include "platform/PlatformServices.h"

namespace ringlark::platform {

// Linux has no privacy permissions of this kind: both read as granted. The
// settings page is the desktop's privacy settings, where one is known.
class LinuxPrivacy final : public Privacy {
public:
    bool screenRecordingGranted() const override { return true; }
    bool accessibilityGranted() const override { return true; }
    bool requestScreenRecording() override { return true; }
    bool requestAccessibility() override { return true; }
    void openSettings(Pane pane) override;
};

// The Linux services for this process's environment, home directory and executable.
PlatformServices linuxServices();

} // namespace ringlark::platform
