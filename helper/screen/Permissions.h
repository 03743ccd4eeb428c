#pragma once

#include <string>

namespace ringlark::helper::screen {

// What the daemon's environment says about the desktop session. Injected, so
// the library never reads the process environment itself.
struct Environment {
    std::string display;        // DISPLAY
    std::string xdgSessionType; // XDG_SESSION_TYPE
    std::string waylandDisplay; // WAYLAND_DISPLAY
};

// What a look at the session found.
struct SessionFacts {
    std::string xdgSessionType;
    std::string waylandDisplay;
    std::string display;
    bool displayOpens = false;
    bool hasShm = false;
    bool hasComposite = false; // version 0.2 or later (window pixmaps)
    bool hasDamage = false;
    bool hasXtest = false;
};

// Linux has no permission prompts for these; they read as "can the phone see
// a window" and "can the phone type and click", with why not in `reason`.
struct Permissions {
    bool screenRecording = false;
    bool accessibility = false;
    std::string reason; // empty when both hold
};

Permissions verdict(const SessionFacts& facts);

// Opens the display briefly to see which extensions it has. Blocks while the
// X server answers: call it from a worker thread, not an event loop. A local
// display with nothing listening is refused at once; a server that accepts
// connections but never answers keeps XOpenDisplay waiting.
Permissions probePermissions(const Environment& environment);
SessionFacts probeSession(const Environment& environment);

} // namespace ringlark::helper::screen
