#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace ringlark::helper::screen {

// Decides when a session captures and what it answers, so nothing is captured
// while nobody asks or nothing changed. Frames are numbered from 1 up.
class FrameGate {
public:
    enum class Action {
        Wait,     // keep the request until the window changes
        SendLast, // answer with the last frame again
        Capture,  // capture and answer with a new frame
    };

    // The phone has frame `after` and wants a newer one (0: whatever is there
    // now). Replaces a request still waiting. A number this session never
    // handed out counts as 0.
    Action request(std::uint64_t after);
    // The window's picture changed (or may have: resized, shown again).
    Action changed();
    // A capture for the waiting request succeeded: the new frame's number.
    std::uint64_t captured();
    // The last frame went out again.
    void sent() { m_waiting.reset(); }

    bool waiting() const { return m_waiting.has_value(); }
    std::uint64_t last() const { return m_last; }

private:
    Action decide() const;

    std::optional<std::uint64_t> m_waiting;
    std::uint64_t m_last = 0;
    bool m_dirty = true; // nothing captured yet
};

// One repaint can reach us as several DAMAGE notifications (the window's
// drawing and our capture interleave in the server); a capture between
// them shows half a picture and makes a second frame. So a capture waits
// until the window has drawn nothing for `quiet`, but never longer than
// `longest` after the first notification, for windows that never stop.
class DamageSettle {
public:
    using Clock = std::chrono::steady_clock;

    DamageSettle(std::chrono::milliseconds quiet, std::chrono::milliseconds longest)
        : m_quiet(quiet)
        , m_longest(longest)
    {
    }

    void damaged(Clock::time_point now);
    // When a capture may go ahead; a time already past when nothing settles.
    Clock::time_point readyAt() const;
    // Captured: what came before is in the picture.
    void captured() { m_first.reset(); }

private:
    std::chrono::milliseconds m_quiet, m_longest;
    std::optional<Clock::time_point> m_first;
    Clock::time_point m_last;
};

} // namespace ringlark::helper::screen
