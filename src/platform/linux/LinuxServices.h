#pragma once

#include "platform/PlatformServices.h"

#include <QProcessEnvironment>

namespace ringlark::platform {

// Linux asks nobody: the daemon can capture and type exactly when it runs on
// an X11 display with the right extensions. The application's own check can
// only see the session it runs in (the daemon shares it), so it stands in
// with that until the daemon first answers. The settings page is the
// desktop's privacy settings, where one is known.
class LinuxPrivacy final : public Privacy {
public:
    // `environment`: the application's own, where the session is read from.
    explicit LinuxPrivacy(const QProcessEnvironment& environment);

    Source source() const override { return m_source; }
    bool screenRecordingGranted() const override { return m_source == Source::x11Session; }
    bool accessibilityGranted() const override { return m_source == Source::x11Session; }
    bool requestScreenRecording() override { return screenRecordingGranted(); }
    bool requestAccessibility() override { return accessibilityGranted(); }
    void openSettings(Pane pane) override;

private:
    Source m_source;
};

// The Linux services for this process's environment, home directory and executable.
PlatformServices linuxServices();

} // namespace ringlark::platform
