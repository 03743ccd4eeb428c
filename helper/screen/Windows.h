#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

typedef struct _XDisplay Display;

namespace ringlark::helper::screen {

using WindowId = std::uint32_t; // an X window id (XIDs have 29 bits)

struct WindowInfo {
    WindowId id = 0;
    std::string title;   // _NET_WM_NAME, else WM_NAME; valid UTF-8
    std::string app;     // WM_CLASS's class part
    std::string process; // the name of the window's process (/proc/<pid>/comm), when known
    int pid = 0;         // _NET_WM_PID, 0 when not set
    int width = 0;
    int height = 0;
    bool minimised = false; // listed, but shown again only when a session starts
};

// The application windows a person would see in a task bar, topmost first:
// the window manager's client list when it keeps one, else the root's mapped
// children that are not override-redirect. Docks, desktops, menus and
// notifications are left out. Blocks on the X server.
std::vector<WindowInfo> listWindows(Display* display);
// The same on a connection of its own, opened and closed here; nothing and
// `error` set when the display cannot be opened.
std::optional<std::vector<WindowInfo>> listWindows(const std::string& displayName, std::string* error);

// The window an agent's "app" names: case-insensitive, and treating '-', '_'
// and '.' as spaces. An exact class beats an exact title beats an exact
// process name, and any exact match beats a substring match of the name in the
// class, title or process (in that order). Among equals the first listed wins.
std::optional<WindowId> matchWindow(const std::vector<WindowInfo>& windows, std::string_view app);

// Window ids travel as "0x" followed by lower-case hex.
std::string formatWindowId(WindowId id);
std::optional<WindowId> parseWindowId(std::string_view text);

// `text` with every byte that is not part of valid UTF-8 replaced by U+FFFD,
// cut to at most `maxBytes` on a character boundary.
std::string sanitiseUtf8(std::string_view text, std::size_t maxBytes);

} // namespace ringlark::helper::screen
