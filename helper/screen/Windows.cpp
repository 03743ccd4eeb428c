#include "helper/screen/Windows.h"

#include "helper/screen/Input.h"
#include "helper/screen/XConnection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>

namespace ringlark::helper::screen {
namespace {

constexpr std::size_t kMaxTitleBytes = 256;

enum AtomIndex {
    NetClientListStacking,
    NetClientList,
    NetSupportingWmCheck,
    NetWmName,
    Utf8String,
    WmState,
    NetWmPid,
    NetWmWindowType,
    NetWmWindowTypeNormal,
    NetWmWindowTypeDialog,
    AtomCount
};

constexpr std::array<const char*, AtomCount> kAtomNames = {
    "_NET_CLIENT_LIST_STACKING",
    "_NET_CLIENT_LIST",
    "_NET_SUPPORTING_WM_CHECK",
    "_NET_WM_NAME",
    "UTF8_STRING",
    "WM_STATE",
    "_NET_WM_PID",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_NORMAL",
    "_NET_WM_WINDOW_TYPE_DIALOG",
};

using Atoms = std::array<Atom, AtomCount>;

Atoms internAtoms(Display* display)
{
    Atoms atoms{};
    XInternAtoms(display, const_cast<char**>(kAtomNames.data()), AtomCount, False, atoms.data());
    return atoms;
}

struct Property {
    Atom type = None;
    int format = 0;
    std::vector<unsigned char> bytes; // format 8
    std::vector<unsigned long> items; // format 32 (Xlib hands these out as longs)
};

std::optional<Property> readProperty(Display* display, Window window, Atom name, Atom type)
{
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, name, 0, 1 << 16, False, type, &actualType, &format, &count,
            &remaining, &data)
        != Success)
        return std::nullopt;
    if (!data)
        return std::nullopt;
    Property property;
    property.type = actualType;
    property.format = format;
    if (format == 8)
        property.bytes.assign(data, data + count);
    else if (format == 32) {
        auto* longs = reinterpret_cast<unsigned long*>(data);
        property.items.assign(longs, longs + count);
    }
    XFree(data);
    if (actualType == None)
        return std::nullopt;
    return property;
}

std::vector<unsigned long> readItems(Display* display, Window window, Atom name, Atom type)
{
    auto property = readProperty(display, window, name, type);
    if (!property || property->format != 32)
        return {};
    return property->items;
}

std::string latin1ToUtf8(const std::vector<unsigned char>& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out;
}

std::string readTitle(Display* display, Window window, const Atoms& atoms)
{
    if (auto name = readProperty(display, window, atoms[NetWmName], atoms[Utf8String]);
        name && name->format == 8 && !name->bytes.empty())
        return sanitiseUtf8({reinterpret_cast<const char*>(name->bytes.data()), name->bytes.size()}, kMaxTitleBytes);
    auto name = readProperty(display, window, XA_WM_NAME, AnyPropertyType);
    if (!name || name->format != 8)
        return {};
    if (name->type == XA_STRING)
        return sanitiseUtf8(latin1ToUtf8(name->bytes), kMaxTitleBytes);
    if (name->type == atoms[Utf8String])
        return sanitiseUtf8({reinterpret_cast<const char*>(name->bytes.data()), name->bytes.size()}, kMaxTitleBytes);
    // COMPOUND_TEXT and the like: Xlib converts them.
    XTextProperty text{name->bytes.data(), name->type, 8, name->bytes.size()};
    char** list = nullptr;
    int count = 0;
    std::string title;
    if (Xutf8TextPropertyToTextList(display, &text, &list, &count) >= Success && list && count > 0)
        title = list[0];
    if (list)
        XFreeStringList(list);
    return sanitiseUtf8(title, kMaxTitleBytes);
}

std::string readClass(Display* display, Window window)
{
    XClassHint hint{};
    if (!XGetClassHint(display, window, &hint))
        return {};
    std::string result = hint.res_class ? hint.res_class : "";
    if (hint.res_name)
        XFree(hint.res_name);
    if (hint.res_class)
        XFree(hint.res_class);
    return sanitiseUtf8(result, kMaxTitleBytes);
}

std::string processName(int pid)
{
    if (pid <= 0)
        return {};
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return sanitiseUtf8(name, 64);
}

bool hasWmState(Display* display, Window window, const Atoms& atoms)
{
    return readProperty(display, window, atoms[WmState], atoms[WmState]).has_value();
}

// Without a window manager that keeps a client list, a root child may still be
// a frame around the client window; the client is the one with WM_STATE.
Window clientWindow(Display* display, Window window, const Atoms& atoms, int depth = 0)
{
    if (hasWmState(display, window, atoms))
        return window;
    if (depth >= 3)
        return None;
    Window root = None, parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count))
        return None;
    Window found = None;
    for (unsigned int i = 0; i < count && found == None; ++i)
        found = clientWindow(display, children[i], atoms, depth + 1);
    if (children)
        XFree(children);
    return found;
}

// A live window manager names a window that names itself back.
bool windowManagerRuns(Display* display, Window root, const Atoms& atoms)
{
    auto check = readItems(display, root, atoms[NetSupportingWmCheck], XA_WINDOW);
    if (check.empty())
        return false;
    auto self = readItems(display, check.front(), atoms[NetSupportingWmCheck], XA_WINDOW);
    return !self.empty() && self.front() == check.front();
}

bool isApplicationWindow(Display* display, Window window, const Atoms& atoms)
{
    auto types = readItems(display, window, atoms[NetWmWindowType], XA_ATOM);
    if (types.empty())
        return true;
    return std::any_of(types.begin(), types.end(), [&](unsigned long type) {
        return type == atoms[NetWmWindowTypeNormal] || type == atoms[NetWmWindowTypeDialog];
    });
}

std::string normalised(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '-' || c == '_' || c == '.')
            c = ' ';
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        out += c;
    }
    return out;
}

} // namespace

std::vector<WindowInfo> listWindows(Display* display)
{
    ErrorTrap trap(display); // windows may vanish while we look at them
    const Atoms atoms = internAtoms(display);
    const Window root = DefaultRootWindow(display);

    std::vector<Window> candidates;
    const bool managed = windowManagerRuns(display, root, atoms);
    if (managed) {
        auto stacking = readItems(display, root, atoms[NetClientListStacking], XA_WINDOW);
        if (stacking.empty())
            stacking = readItems(display, root, atoms[NetClientList], XA_WINDOW);
        candidates.assign(stacking.rbegin(), stacking.rend()); // bottom to top in the property
    }
    if (candidates.empty()) {
        Window rootReturn = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(display, root, &rootReturn, &parent, &children, &count)) {
            for (unsigned int i = count; i-- > 0;) {
                XWindowAttributes attributes;
                if (!XGetWindowAttributes(display, children[i], &attributes)
                    || attributes.map_state != IsViewable || attributes.override_redirect
                    || attributes.c_class != InputOutput)
                    continue;
                Window client = clientWindow(display, children[i], atoms);
                candidates.push_back(client != None ? client : children[i]);
            }
        }
        if (children)
            XFree(children);
    }

    std::vector<WindowInfo> windows;
    for (Window window : candidates) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(display, window, &attributes) || attributes.c_class != InputOutput)
            continue;
        if (!isApplicationWindow(display, window, atoms))
            continue;
        WindowInfo info;
        info.id = static_cast<WindowId>(window);
        info.title = readTitle(display, window, atoms);
        info.app = readClass(display, window);
        if (auto pid = readItems(display, window, atoms[NetWmPid], XA_CARDINAL); !pid.empty() && pid.front() < (1u << 30))
            info.pid = static_cast<int>(pid.front());
        info.process = processName(info.pid);
        info.width = attributes.width;
        info.height = attributes.height;
        info.minimised = attributes.map_state != IsViewable;
        windows.push_back(std::move(info));
    }
    return windows;
}

std::optional<std::vector<WindowInfo>> listWindows(const std::string& displayName, std::string* error)
{
    Display* display = openDisplay(displayName, error);
    if (!display)
        return std::nullopt;
    auto windows = listWindows(display);
    closeDisplay(display);
    return windows;
}

std::optional<WindowId> matchWindow(const std::vector<WindowInfo>& windows, std::string_view app)
{
    const std::string needle = normalised(app);
    if (needle.find_first_not_of(' ') == std::string::npos)
        return std::nullopt;
    using Field = std::string WindowInfo::*;
    constexpr std::array<Field, 3> fields = {&WindowInfo::app, &WindowInfo::title, &WindowInfo::process};
    for (bool exact : {true, false}) {
        for (Field field : fields) {
            for (const WindowInfo& window : windows) {
                const std::string value = normalised(window.*field);
                if (exact ? value == needle : value.find(needle) != std::string::npos)
                    return window.id;
            }
        }
    }
    return std::nullopt;
}

std::string formatWindowId(WindowId id)
{
    std::array<char, 16> digits{};
    auto [end, ec] = std::to_chars(digits.data(), digits.data() + digits.size(), id, 16);
    (void)ec;
    return "0x" + std::string(digits.data(), end);
}

std::optional<WindowId> parseWindowId(std::string_view text)
{
    if (!(text.starts_with("0x") || text.starts_with("0X")))
        return std::nullopt;
    text.remove_prefix(2);
    if (text.empty() || text.size() > 8)
        return std::nullopt;
    WindowId id = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id, 16);
    if (ec != std::errc() || end != text.data() + text.size() || id == 0)
        return std::nullopt;
    return id;
}

std::string sanitiseUtf8(std::string_view text, std::size_t maxBytes)
{
    std::string out;
    std::size_t position = 0;
    while (position < text.size()) {
        Utf8Step step = nextCodePoint(text, position);
        std::string_view piece = step.valid ? text.substr(position, step.length) : std::string_view("\xEF\xBF\xBD");
        if (out.size() + piece.size() > maxBytes)
            break;
        out += piece;
        position += step.length;
    }
    return out;
}

} // namespace ringlark::helper::screen
