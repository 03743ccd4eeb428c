#pragma once

#include "helper/screen/Input.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

typedef struct _XDisplay Display;

namespace ringlark::helper::screen {

// Types keysyms through XTEST. A keysym that no key produces (at level 1 or
// with Shift) is typed on a spare keycode, one with nothing on it, mapped to
// that keysym for the purpose. Clients fetch the new mapping only when they
// get round to the notification, so a spare keycode is not mapped to
// something else until it has rested a while, and all are emptied again when
// the Typist goes. Runs on the session's thread.
class Typist {
public:
    using Clock = std::chrono::steady_clock;

    explicit Typist(Display* display, Clock::duration rest = std::chrono::milliseconds(150));
    ~Typist(); // empties the spare keycodes it used (after their rest)
    Typist(const Typist&) = delete;
    Typist& operator=(const Typist&) = delete;

    // The keyboard mapping changed (MappingNotify): read it again.
    void reload();

    // Presses and releases the key for `keysym`, with Shift when needed.
    // False when no key could be found or borrowed.
    bool type(Keysym keysym);

    // Presses and releases a pointer button.
    void click(unsigned button);

private:
    struct Location {
        std::uint8_t keycode = 0;
        bool shift = false;
    };
    struct Spare {
        std::uint8_t keycode = 0;
        Keysym keysym = 0;            // what it is mapped to now; 0: nothing of ours
        Clock::time_point lastTyped{};
    };

    std::optional<Location> find(Keysym keysym) const;
    std::optional<std::uint8_t> borrow(Keysym keysym);
    void press(std::uint8_t keycode, bool shift);
    void restAfter(Clock::time_point lastTyped);

    Display* m_display;
    Clock::duration m_rest;
    int m_minKeycode = 8;
    int m_maxKeycode = 255;
    int m_perKeycode = 0;
    std::vector<unsigned long> m_map; // (max - min + 1) × perKeycode keysyms
    std::uint8_t m_shift = 0;
    std::vector<Spare> m_spares;
};

} // namespace ringlark::helper::screen
