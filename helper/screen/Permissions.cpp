#include "helper/screen/Permissions.h"

#include "helper/screen/XConnection.h"

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>

#include <algorithm>
#include <cctype>

namespace ringlark::helper::screen {
namespace {

bool isWayland(const std::string& sessionType, const std::string& waylandDisplay)
{
    std::string lower = sessionType;
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower == "wayland" || !waylandDisplay.empty();
}

} // namespace

Permissions verdict(const SessionFacts& facts)
{
    if (isWayland(facts.xdgSessionType, facts.waylandDisplay))
        return {false, false,
            "This is a Wayland session; streaming works on GNOME on Xorg and other X11 sessions for now."};
    if (facts.display.empty())
        return {false, false, "No X11 display (DISPLAY is not set)."};
    if (!facts.displayOpens)
        return {false, false, "The X display " + facts.display + " cannot be opened."};

    Permissions result;
    std::string missing;
    auto lacks = [&](bool has, const char* name) {
        if (has)
            return;
        missing += missing.empty() ? name : std::string(", ") + name;
    };
    lacks(facts.hasShm, "MIT-SHM");
    lacks(facts.hasComposite, "Composite");
    lacks(facts.hasDamage, "DAMAGE");
    result.screenRecording = missing.empty();
    result.accessibility = facts.hasXtest;
    if (!result.screenRecording)
        result.reason = "The X server lacks the " + missing
            + (missing.find(',') == std::string::npos ? " extension" : " extensions")
            + ", so the phone cannot see a window.";
    if (!result.accessibility) {
        if (!result.reason.empty())
            result.reason += ' ';
        result.reason += "The X server lacks the XTEST extension, so the phone cannot type or click.";
    }
    return result;
}

SessionFacts probeSession(const Environment& environment)
{
    SessionFacts facts;
    facts.xdgSessionType = environment.xdgSessionType;
    facts.waylandDisplay = environment.waylandDisplay;
    facts.display = environment.display;
    // Under Wayland DISPLAY names Xwayland, which shows only X clients: not
    // worth a connection.
    if (isWayland(facts.xdgSessionType, facts.waylandDisplay) || facts.display.empty())
        return facts;
    Display* display = openDisplay(facts.display, nullptr);
    if (!display)
        return facts;
    facts.displayOpens = true;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    facts.hasShm = XShmQueryExtension(display);
    major = 0;
    minor = 4; // the newest version this library knows; the server answers with its own
    if (XCompositeQueryExtension(display, &eventBase, &errorBase)
        && XCompositeQueryVersion(display, &major, &minor))
        facts.hasComposite = major > 0 || minor >= 2;
    facts.hasDamage = XDamageQueryExtension(display, &eventBase, &errorBase);
    facts.hasXtest = XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor);
    closeDisplay(display);
    return facts;
}

Permissions probePermissions(const Environment& environment)
{
    return verdict(probeSession(environment));
}

} // namespace ringlark::helper::screen
