#pragma once

#include <QString>

namespace ringlark::platform {

// The two privacy permissions the daemon needs, as the application's own
// process sees them, and the settings pages where the user grants them.
class Privacy {
public:
    enum class Pane { screenRecording, accessibility };

    // What decides the permissions here. Where the system asks the person
    // (`prompts`), a prompt or a settings page grants them. On Linux they
    // follow the display session: an X11 display with the XShm and XTEST
    // extensions gives both; Wayland and no display give neither, and
    // nothing the person clicks changes that.
    enum class Source { prompts, x11Session, waylandSession, noDisplay };

    virtual ~Privacy() = default;

    virtual Source source() const = 0;

    // Never prompt.
    virtual bool screenRecordingGranted() const = 0;
    virtual bool accessibilityGranted() const = 0;

    // May show the system's own prompt; give whether the permission is granted.
    virtual bool requestScreenRecording() = 0;
    virtual bool requestAccessibility() = 0;

    // Brings the pane's settings page forward, where there is one. Failures are silent.
    virtual void openSettings(Pane pane) = 0;
};

// The address of a pane's settings page: scheme, colon, pane identifier,
// question mark and anchor, nothing else. Only the macOS layer opens it, but
// it stays a plain function so its exact form is checked everywhere.
QString settingsAddress(Privacy::Pane pane);

// One press of an "Allow…" button: ask with the system's prompt, and when the
// permission is still missing also bring its settings page forward, so the
// user can grant it by hand. Gives whether it is granted.
bool requestAccess(Privacy& privacy, Privacy::Pane pane);

} // namespace ringlark::platform
