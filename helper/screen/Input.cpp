#include "helper/screen/Input.h"

#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace ringlark::helper::screen {

Utf8Step nextCodePoint(std::string_view text, std::size_t position)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(position);
    if (lead < 0x80)
        return {lead, 1, true};
    std::size_t length;
    char32_t codePoint;
    char32_t minimum;
    if ((lead & 0xe0) == 0xc0) {
        length = 2, codePoint = lead & 0x1f, minimum = 0x80;
    } else if ((lead & 0xf0) == 0xe0) {
        length = 3, codePoint = lead & 0x0f, minimum = 0x800;
    } else if ((lead & 0xf8) == 0xf0) {
        length = 4, codePoint = lead & 0x07, minimum = 0x10000;
    } else {
        return {};
    }
    if (position + length > text.size())
        return {};
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(position + i);
        if ((next & 0xc0) != 0x80)
            return {};
        codePoint = (codePoint << 6) | (next & 0x3f);
    }
    if (codePoint < minimum || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff))
        return {};
    return {codePoint, length, true};
}

std::vector<Keysym> keysymsForText(std::string_view text, std::size_t limit)
{
    std::vector<Keysym> keysyms;
    std::size_t position = 0;
    bool afterCarriageReturn = false;
    while (position < text.size() && keysyms.size() < limit) {
        const Utf8Step step = nextCodePoint(text, position);
        position += step.length;
        if (!step.valid) {
            afterCarriageReturn = false;
            continue;
        }
        const char32_t c = step.codePoint;
        const bool lineFeedAfterCr = c == '\n' && afterCarriageReturn;
        afterCarriageReturn = c == '\r';
        if (lineFeedAfterCr)
            continue;
        if (c == '\n' || c == '\r')
            keysyms.push_back(XK_Return);
        else if (c == '\t')
            keysyms.push_back(XK_Tab);
        else if (c < 0x20 || (c >= 0x7f && c < 0xa0))
            continue;
        else if (c <= 0xff)
            keysyms.push_back(static_cast<Keysym>(c)); // Latin-1 keysyms are the code points
        else
            keysyms.push_back(0x01000000u + static_cast<Keysym>(c));
    }
    return keysyms;
}

std::optional<Keysym> keysymForKeyName(std::string_view name)
{
    static constexpr std::array<std::pair<std::string_view, Keysym>, 9> names = {{
        {"Return", XK_Return},
        {"Tab", XK_Tab},
        {"Escape", XK_Escape},
        {"Backspace", XK_BackSpace},
        {"BackSpace", XK_BackSpace},
        {"Left", XK_Left},
        {"Right", XK_Right},
        {"Up", XK_Up},
        {"Down", XK_Down},
    }};
    for (const auto& [known, keysym] : names) {
        if (known == name)
            return keysym;
    }
    return std::nullopt;
}

std::optional<Pixel> tapPixel(double x, double y, int width, int height)
{
    if (width <= 0 || height <= 0 || !std::isfinite(x) || !std::isfinite(y))
        return std::nullopt;
    const auto place = [](double fraction, int size) {
        const double pixel = std::floor(std::clamp(fraction, 0.0, 1.0) * size);
        return std::clamp(static_cast<int>(pixel), 0, size - 1);
    };
    return Pixel{place(x, width), place(y, height)};
}

int scrollClicks(double dy)
{
    constexpr double kPixelsPerClick = 50;
    constexpr int kMostClicks = 25;
    if (!std::isfinite(dy) || dy == 0)
        return 0;
    const double clicks = std::clamp(std::round(std::abs(dy) / kPixelsPerClick), 1.0, double(kMostClicks));
    return dy > 0 ? static_cast<int>(clicks) : -static_cast<int>(clicks);
}

} // namespace ringlark::helper::screen
