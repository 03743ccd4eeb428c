#include "platform/Privacy.h"

namespace ringlark::platform {

QString settingsAddress(Privacy::Pane pane)
{
    const QString anchor = pane == Privacy::Pane::screenRecording ? QStringLiteral("Privacy_ScreenCapture")
                                                                  : QStringLiteral("Privacy_Accessibility");
    return QStringLiteral("x-apple.systempreferences:com.apple.preference.security?") + anchor;
}

bool requestAccess(Privacy& privacy, Privacy::Pane pane)
{
    const bool granted = pane == Privacy::Pane::screenRecording ? privacy.requestScreenRecording()
                                                                : privacy.requestAccessibility();
    if (!granted)
        privacy.openSettings(pane);
    return granted;
}

} // namespace ringlark::platform
