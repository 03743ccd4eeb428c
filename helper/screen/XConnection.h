#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

typedef struct _XDisplay Display;

namespace ringlark::helper::screen {

// The display number of a local display name (":0", ":1.0", "unix:2"), or
// nothing for a remote one ("host:0") or a name that does not parse.
std::optional<int> localDisplayNumber(std::string_view name);

// Opens a connection whose X errors and loss are this library's business:
// Xlib's handlers are process-wide and its defaults exit, so the first open
// installs handlers that route errors on our connections to per-connection
// records and pass any other connection's errors to whatever handler was there
// before. A lost connection does not end the process: the handlers return, the
// connection is marked lost (see connectionLost) and every later request on it
// fails at once; its owner notices and closes it.
// Before XOpenDisplay, a local display's socket is tried, so a display with
// nothing listening fails at once instead of waiting.
Display* openDisplay(const std::string& name, std::string* error);
void closeDisplay(Display* display); // null is fine

bool connectionLost(Display* display);

struct XErrorInfo {
    int code = 0;            // BadWindow, BadMatch, ...
    int request = 0;         // major opcode
    unsigned long resource = 0;
};

// Catches the errors that the requests made during its lifetime cause.
// check() waits for the server to answer them (XSync).
class ErrorTrap {
public:
    explicit ErrorTrap(Display* display);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    // The first error since construction (or the last check), or nothing.
    std::optional<XErrorInfo> check();

private:
    Display* m_display;
    unsigned long m_firstSerial;
};

} // namespace ringlark::helper::screen
