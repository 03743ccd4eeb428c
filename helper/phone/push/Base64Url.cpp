#include "helper/phone/push/Base64Url.h"

#include <array>
#include <cstdint>

namespace ringlark::helper::push {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<std::int8_t, 256> makeReverse()
{
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}

constexpr auto kReverse = makeReverse();

} // namespace

std::string base64UrlEncode(std::string_view bytes)
{
    std::string out;
    out.reserve((bytes.size() * 4 + 2) / 3);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16
            | static_cast<unsigned char>(bytes[i + 1]) << 8 | static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[n >> 18 & 63];
        out += kAlphabet[n >> 12 & 63];
        out += kAlphabet[n >> 6 & 63];
        out += kAlphabet[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2)
            n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[n >> 18 & 63];
        out += kAlphabet[n >> 12 & 63];
        if (rest == 2)
            out += kAlphabet[n >> 6 & 63];
    }
    return out;
}

std::optional<std::string> base64UrlDecode(std::string_view text)
{
    if (text.size() % 4 == 0 && !text.empty()) {
        // Padding is tolerated only where it belongs, and only in full.
        std::size_t pad = 0;
        while (pad < 2 && text[text.size() - 1 - pad] == '=')
            ++pad;
        text.remove_suffix(pad);
    }
    if (text.size() % 4 == 1)
        return std::nullopt;

    std::string out;
    out.reserve(text.size() * 3 / 4);
    std::uint32_t acc = 0;
    int bits = 0;
    for (const char c : text) {
        const int v = kReverse[static_cast<unsigned char>(c)];
        if (v < 0)
            return std::nullopt;
        acc = acc << 6 | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>(acc >> bits & 0xff);
        }
    }
    // Leftover bits must be zero, or two texts would decode to the same bytes.
    if ((acc & ((1u << bits) - 1)) != 0)
        return std::nullopt;
    return out;
}

} // namespace ringlark::helper::push
