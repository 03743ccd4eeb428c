#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ringlark::helper::screen {

// What the phone asks the window to receive.
struct InputEvent {
    enum class Kind { Tap, Text, Key, Scroll };
    Kind kind = Kind::Tap;
    double x = 0, y = 0; // Tap: 0..1 across and down the window's picture
    std::string text;    // Text: UTF-8; "\n" types Return, "\t" Tab
    std::string key;     // Key: Return, Tab, Escape, Backspace, Left, Right, Up, Down
    double dy = 0;       // Scroll: positive scrolls down; phone pixels, about 50 to a wheel click

    static InputEvent tap(double x, double y) { return {Kind::Tap, x, y, {}, {}, 0}; }
    static InputEvent typed(std::string text) { return {Kind::Text, 0, 0, std::move(text), {}, 0}; }
    static InputEvent pressed(std::string key) { return {Kind::Key, 0, 0, {}, std::move(key), 0}; }
    static InputEvent scrolled(double dy) { return {Kind::Scroll, 0, 0, {}, {}, dy}; }
};

using Keysym = std::uint32_t;

// The keysyms that type `text`, one per character: Latin-1 characters by their
// own keysym, the rest by their Unicode keysym, line breaks as Return (a CR LF
// pair as one), tabs as Tab; other control characters and invalid bytes are
// dropped. At most `limit` keysyms.
std::vector<Keysym> keysymsForText(std::string_view text, std::size_t limit = 1000);

// The keysym of a key name the phone sends; nothing for a name it may not send.
std::optional<Keysym> keysymForKeyName(std::string_view name);

struct Pixel {
    int x = 0;
    int y = 0;
    bool operator==(const Pixel&) const = default;
};

// The pixel of a width × height window that a tap at (x, y) lands on, always
// inside the window; nothing for a window without area or coordinates that
// are not numbers.
std::optional<Pixel> tapPixel(double x, double y, int width, int height);

// Wheel clicks for a scroll of `dy` phone pixels: at least one for any
// movement, at most 25 at once; negative scrolls up.
int scrollClicks(double dy);

struct Utf8Step {
    char32_t codePoint = 0;
    std::size_t length = 1; // bytes consumed; 1 for an invalid byte
    bool valid = false;
};
// Decodes the character at `position` (which must be inside `text`), refusing
// overlong forms, surrogates and code points above U+10FFFF.
Utf8Step nextCodePoint(std::string_view text, std::size_t position);

} // namespace ringlark::helper::screen
