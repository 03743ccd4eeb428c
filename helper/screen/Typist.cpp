#include "helper/screen/Typist.h"

#include "helper/screen/XConnection.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <thread>

namespace ringlark::helper::screen {

Typist::Typist(Display* display, Clock::duration rest)
    : m_display(display)
    , m_rest(rest)
{
    reload();
    // Every keycode empty at the start may lend itself; keycodes left mapped
    // by an earlier session that died count as taken.
    for (int keycode = m_minKeycode; keycode <= m_maxKeycode; ++keycode) {
        const auto first = m_map.begin() + std::ptrdiff_t(keycode - m_minKeycode) * m_perKeycode;
        if (m_perKeycode > 0 && std::all_of(first, first + m_perKeycode, [](unsigned long s) { return s == NoSymbol; }))
            m_spares.push_back({static_cast<std::uint8_t>(keycode), 0, {}});
    }
}

Typist::~Typist()
{
    if (connectionLost(m_display))
        return;
    ErrorTrap trap(m_display);
    for (const Spare& spare : m_spares) {
        if (!spare.keysym)
            continue;
        restAfter(spare.lastTyped);
        Keysym none[2] = {NoSymbol, NoSymbol};
        XChangeKeyboardMapping(m_display, spare.keycode, 2, reinterpret_cast<::KeySym*>(none), 1);
    }
    XFlush(m_display);
}

void Typist::reload()
{
    XDisplayKeycodes(m_display, &m_minKeycode, &m_maxKeycode);
    m_map.clear();
    m_perKeycode = 0;
    ::KeySym* map = XGetKeyboardMapping(m_display, static_cast<KeyCode>(m_minKeycode),
        m_maxKeycode - m_minKeycode + 1, &m_perKeycode);
    if (map) {
        m_map.assign(map, map + std::size_t(m_maxKeycode - m_minKeycode + 1) * std::size_t(m_perKeycode));
        XFree(map);
    } else {
        m_perKeycode = 0;
    }
    m_shift = XKeysymToKeycode(m_display, XK_Shift_L);
}

std::optional<Typist::Location> Typist::find(Keysym keysym) const
{
    if (m_perKeycode <= 0)
        return std::nullopt;
    // Plain keys before shifted ones: "1" must not come out of a keypad's
    // shifted level.
    const int levels = std::min(m_perKeycode, m_shift ? 2 : 1);
    for (int level = 0; level < levels; ++level) {
        for (int keycode = m_minKeycode; keycode <= m_maxKeycode; ++keycode) {
            if (m_map[std::size_t(keycode - m_minKeycode) * std::size_t(m_perKeycode) + std::size_t(level)] == keysym)
                return Location{static_cast<std::uint8_t>(keycode), level == 1};
        }
    }
    return std::nullopt;
}

void Typist::restAfter(Clock::time_point lastTyped)
{
    const auto ready = lastTyped + m_rest;
    const auto now = Clock::now();
    if (ready > now) {
        XSync(m_display, False);
        std::this_thread::sleep_for(ready - now);
    }
}

std::optional<std::uint8_t> Typist::borrow(Keysym keysym)
{
    if (m_spares.empty())
        return std::nullopt;
    for (Spare& spare : m_spares) {
        if (spare.keysym == keysym)
            return spare.keycode;
    }
    // The one unused longest (never used ones first).
    Spare& spare = *std::min_element(m_spares.begin(), m_spares.end(),
        [](const Spare& a, const Spare& b) { return a.lastTyped < b.lastTyped; });
    if (spare.keysym)
        restAfter(spare.lastTyped);
    ::KeySym symbols[2] = {keysym, keysym};
    XChangeKeyboardMapping(m_display, spare.keycode, 2, symbols, 1);
    spare.keysym = keysym;
    // Our copy of the mapping follows at once; the server's notification may
    // come only after more characters of this text.
    if (m_perKeycode > 0) {
        const auto first = m_map.begin() + std::ptrdiff_t(spare.keycode - m_minKeycode) * m_perKeycode;
        std::fill(first, first + m_perKeycode, NoSymbol);
        first[0] = keysym;
        if (m_perKeycode > 1)
            first[1] = keysym;
    }
    return spare.keycode;
}

void Typist::press(std::uint8_t keycode, bool shift)
{
    if (shift)
        XTestFakeKeyEvent(m_display, m_shift, True, CurrentTime);
    XTestFakeKeyEvent(m_display, keycode, True, CurrentTime);
    XTestFakeKeyEvent(m_display, keycode, False, CurrentTime);
    if (shift)
        XTestFakeKeyEvent(m_display, m_shift, False, CurrentTime);
}

bool Typist::type(Keysym keysym)
{
    if (auto location = find(keysym)) {
        // A key lent earlier shows up in the mapping too; keep its rest honest.
        for (Spare& spare : m_spares) {
            if (spare.keycode == location->keycode)
                spare.lastTyped = Clock::now();
        }
        press(location->keycode, location->shift);
        return true;
    }
    auto keycode = borrow(keysym);
    if (!keycode)
        return false;
    press(*keycode, false);
    for (Spare& spare : m_spares) {
        if (spare.keycode == *keycode)
            spare.lastTyped = Clock::now();
    }
    return true;
}

void Typist::click(unsigned button)
{
    XTestFakeButtonEvent(m_display, button, True, CurrentTime);
    XTestFakeButtonEvent(m_display, button, False, CurrentTime);
}

} // namespace ringlark::helper::screen
