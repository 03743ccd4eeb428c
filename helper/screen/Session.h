#pragma once

#include "helper/screen/Input.h"
#include "helper/screen/Windows.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ringlark::helper::screen {

struct Frame {
    std::uint64_t seq = 0; // from 1 up, per session
    std::string jpeg;
    int width = 0;
    int height = 0;
};

// A live view of one window and the way back into it. The session owns its
// own X connection and its own thread: nothing the daemon calls waits for the
// X server, except start(). While nothing changes and no frame is asked for,
// the thread sleeps in poll() and nothing is captured or encoded.
class Session {
public:
    struct Options {
        std::string display;   // the X display, e.g. ":0"
        WindowId window = 0;
        int maxWidth = 1280;   // frames are shrunk to at most this wide
        int quality = 60;      // JPEG quality (4:2:0) while frames fit the budget
        std::size_t frameBudget = 150'000; // bytes a frame takes at most; 0: no limit
        int floorQuality = 25; // below this a frame is shrunk instead of made blurrier
        std::chrono::milliseconds startTimeout{5000}; // for a server that does not answer
    };
    // Both are called on the session's thread; post them to your own loop.
    // They must not destroy the Session. None is called once ~Session returns.
    struct Callbacks {
        std::function<void(Frame)> frame;
        std::function<void(std::string why)> ended; // once: the window closed, the display went away
    };
    struct StartError {
        enum class Kind {
            Display, // the computer cannot stream: no display, an extension missing, no answer
            Window,  // no such window (anymore)
        };
        Kind kind = Kind::Display;
        std::string message;
    };

    // Connects, redirects the window off screen, raises and focuses it.
    // Blocks until the X server has answered (at most startTimeout): call it
    // from a worker thread. Nothing and `error` set when it cannot start.
    static std::unique_ptr<Session> start(Options options, Callbacks callbacks, StartError* error);

    // Asks for the next frame numbered above `after` once the window has
    // changed since frame `after` (0, or a number this session never gave:
    // the current picture at once). One request at a time: a new one replaces
    // a waiting one.
    void requestFrame(std::uint64_t after);

    // Queued and carried out in order on the session's thread. Taps and
    // scrolls land only inside the window (clamped to it; refused while it is
    // not shown or when another application's window covers the spot); keys
    // and text go in only once the window has the keyboard focus.
    void input(const InputEvent& event);

    // Stops the thread and closes the connection. Waits up to two seconds for
    // the thread (it may be inside a call to a server that stopped answering);
    // after that the thread is left to finish on its own.
    ~Session();

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    struct Shared;

private:
    explicit Session(std::shared_ptr<Shared> shared);
    std::shared_ptr<Shared> m_shared;
};

} // namespace ringlark::helper::screen
