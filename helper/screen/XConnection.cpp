#include "helper/screen/XConnection.h"

#include <X11/Xlib.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace ringlark::helper::screen {
namespace {

struct Record {
    bool lost = false;
    bool borrowed = false; // someone else's connection, here only while trapped
    int traps = 0;
    std::vector<std::pair<unsigned long, XErrorInfo>> errors; // by request serial
};

struct Registry {
    std::mutex mutex;
    std::map<Display*, Record> displays;
    XErrorHandler previousError = nullptr;
    XIOErrorHandler previousIoError = nullptr;
};

Registry& registry()
{
    static Registry* instance = new Registry; // outlives every thread at exit
    return *instance;
}

constexpr std::size_t kMaxKeptErrors = 64;

int onError(Display* display, XErrorEvent* event)
{
    Registry& r = registry();
    XErrorHandler previous;
    {
        std::lock_guard lock(r.mutex);
        auto it = r.displays.find(display);
        if (it != r.displays.end()) {
            // Errors outside a trap are expected (a window vanishing between
            // requests) and need no record.
            if (it->second.traps > 0 && it->second.errors.size() < kMaxKeptErrors) {
                it->second.errors.push_back({event->serial,
                    XErrorInfo{event->error_code, event->request_code, event->resourceid}});
            }
            return 0;
        }
        previous = r.previousError;
    }
    return previous ? previous(display, event) : 0;
}

int onIoError(Display* display)
{
    Registry& r = registry();
    XIOErrorHandler previous;
    {
        std::lock_guard lock(r.mutex);
        auto it = r.displays.find(display);
        if (it != r.displays.end() && !it->second.borrowed) {
            it->second.lost = true;
            return 0; // then the connection's own exit handler, which returns too
        }
        previous = r.previousIoError;
    }
    return previous ? previous(display) : 0;
}

void onIoExit(Display* display, void*)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.displays.find(display);
    if (it != r.displays.end())
        it->second.lost = true;
}

void installHandlers()
{
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads(); // each session's connection lives on its own thread
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        r.previousError = XSetErrorHandler(onError);
        r.previousIoError = XSetIOErrorHandler(onIoError);
    });
}

// Whether anything accepts connections on the local display's socket, the
// abstract one first (what Xlib tries first too), then the file.
bool localSocketListens(int number)
{
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
    for (bool abstract : {true, false}) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return true; // cannot tell; let Xlib try
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::size_t offset = abstract ? 1 : 0;
        std::memcpy(address.sun_path + offset, path.data(), path.size());
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
        int rc = connect(fd, reinterpret_cast<sockaddr*>(&address), length);
        bool listens = rc == 0 || errno == EINPROGRESS || errno == EAGAIN;
        close(fd);
        if (listens)
            return true;
    }
    return false;
}

} // namespace

std::optional<int> localDisplayNumber(std::string_view name)
{
    if (name.starts_with("unix:"))
        name.remove_prefix(5);
    else if (name.starts_with(":"))
        name.remove_prefix(1);
    else
        return std::nullopt;
    auto dot = name.find('.');
    std::string_view digits = name.substr(0, dot);
    if (dot != std::string_view::npos) {
        std::string_view screen = name.substr(dot + 1);
        if (screen.empty() || screen.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
    }
    int number = -1;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty() || number < 0)
        return std::nullopt;
    return number;
}

Display* openDisplay(const std::string& name, std::string* error)
{
    auto fail = [&](std::string text) -> Display* {
        if (error)
            *error = std::move(text);
        return nullptr;
    };
    if (name.empty())
        return fail("No X11 display (DISPLAY is not set).");
    if (auto number = localDisplayNumber(name); number && !localSocketListens(*number))
        return fail("Nothing answers on the X display " + name + ".");
    installHandlers();
    Display* display = XOpenDisplay(name.c_str());
    if (!display)
        return fail("The X display " + name + " cannot be opened.");
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        r.displays[display] = Record{};
    }
    XSetIOErrorExitHandler(display, onIoExit, nullptr);
    return display;
}

void closeDisplay(Display* display)
{
    if (!display)
        return;
    XCloseDisplay(display);
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.displays.erase(display);
}

bool connectionLost(Display* display)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.displays.find(display);
    return it == r.displays.end() || it->second.lost;
}

ErrorTrap::ErrorTrap(Display* display)
    : m_display(display)
    , m_firstSerial(NextRequest(display))
{
    installHandlers();
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto [it, added] = r.displays.try_emplace(display);
    if (added)
        it->second.borrowed = true;
    ++it->second.traps;
}

ErrorTrap::~ErrorTrap()
{
    XSync(m_display, False); // errors of our requests land here, not in a later trap
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.displays.find(m_display);
    if (it == r.displays.end() || --it->second.traps > 0)
        return;
    if (it->second.borrowed)
        r.displays.erase(it);
    else
        it->second.errors.clear();
}

std::optional<XErrorInfo> ErrorTrap::check()
{
    XSync(m_display, False);
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    Record& record = r.displays.at(m_display);
    std::optional<XErrorInfo> first;
    std::erase_if(record.errors, [&](const auto& entry) {
        if (entry.first < m_firstSerial)
            return false;
        if (!first)
            first = entry.second;
        return true;
    });
    m_firstSerial = NextRequest(m_display);
    return first;
}

} // namespace ringlark::helper::screen
