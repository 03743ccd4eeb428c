#include "ui/menu/MenuBarIcon.h"

#include <gtest/gtest.h>

#include <QHash>
#include <QRect>

#include <algorithm>
#include <cmath>

using namespace ringlark;

namespace {

// WCAG 2 relative luminance and contrast ratio.
double luminance(QRgb c)
{
    const auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
}

double contrast(QRgb a, QRgb b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

struct Colours {
    // Fully opaque colours on the outline (next to a transparent pixel or the
    // image's edge): what the panel sees the icon against. Each with its share.
    QList<std::pair<QRgb, double>> outline;
    // The commonest opaque colour inside that is on no outline: the mark or digit.
    QRgb ink = 0;
};

Colours measure(const QImage& picture)
{
    const QImage image = picture.convertToFormat(QImage::Format_ARGB32);
    const auto opaque = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < image.width() && y < image.height() && qAlpha(image.pixel(x, y)) == 255;
    };
    QHash<QRgb, int> edge, inside;
    int edgeCount = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            if (!opaque(x, y))
                continue;
            const QRgb c = image.pixel(x, y);
            if (!opaque(x - 1, y) || !opaque(x + 1, y) || !opaque(x, y - 1) || !opaque(x, y + 1)) {
                ++edge[c];
                ++edgeCount;
            } else {
                ++inside[c];
            }
        }
    Colours out;
    for (auto it = edge.begin(); it != edge.end(); ++it)
        if (it.value() * 20 >= edgeCount) // a twentieth of the outline or more
            out.outline.append({it.key(), double(it.value()) / edgeCount});
    int best = 0;
    for (auto it = inside.begin(); it != inside.end(); ++it)
        if (it.value() > best && !edge.contains(it.key())) {
            best = it.value();
            out.ink = it.key();
        }
    return out;
}

// The badge: the commonest opaque colour in the top-right corner, and how
// many pixels inside its bounds (its digit) reach 3:1 against it.
std::pair<QRgb, int> badgeAndDigit(const QImage& picture)
{
    const QImage image = picture.convertToFormat(QImage::Format_ARGB32);
    const int side = image.width();
    QHash<QRgb, int> seen;
    for (int y = 0; y < side / 2; ++y)
        for (int x = side / 2; x < side; ++x)
            if (qAlpha(image.pixel(x, y)) == 255)
                ++seen[image.pixel(x, y)];
    QRgb badge = 0;
    for (auto it = seen.begin(); it != seen.end(); ++it)
        if (!badge || it.value() > seen[badge])
            badge = it.key();
    QRect bounds;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            if (image.pixel(x, y) == badge)
                bounds |= QRect(x, y, 1, 1);
    int digit = 0;
    for (int y = bounds.top(); y <= bounds.bottom(); ++y)
        for (int x = bounds.left(); x <= bounds.right(); ++x)
            digit += qAlpha(image.pixel(x, y)) == 255 && contrast(image.pixel(x, y), badge) >= 3.0;
    return {badge, digit};
}

} // namespace

TEST(MenuBarIcon, EveryStateStandsOutOnBlackAndOnWhitePanels)
{
    struct State {
        const char* name;
        IconLook look;
        int count;
    };
    const State states[] = {
        {"regular", IconLook::regular, 0}, {"dimmed", IconLook::dimmed, 0}, {"1", IconLook::regular, 1},
        {"2", IconLook::regular, 2},       {"3", IconLook::regular, 3},     {"4", IconLook::regular, 4},
        {"5", IconLook::regular, 5},       {"6", IconLook::regular, 6},     {"7", IconLook::regular, 7},
        {"8", IconLook::regular, 8},       {"9", IconLook::regular, 9},     {"9+", IconLook::regular, 10},
        {"dimmed 4", IconLook::dimmed, 4}, {"dimmed 9+", IconLook::dimmed, 120},
    };
    for (int side : {16, 22, 24, 32}) {
        for (const auto& state : states) {
            SCOPED_TRACE(std::string(state.name) + " at " + std::to_string(side));
            const QImage image = MenuBarIcon::image(side, state.look, state.count);
            const Colours colours = measure(image);
            ASSERT_FALSE(colours.outline.isEmpty());
            ASSERT_NE(colours.ink, 0u) << "no mark inside";
            for (const auto& [colour, share] : colours.outline) {
                EXPECT_GE(contrast(colour, qRgb(0, 0, 0)), 3.0) << std::hex << colour;
                EXPECT_GE(contrast(colour, qRgb(255, 255, 255)), 3.0) << std::hex << colour;
                EXPECT_GE(contrast(colour, colours.ink), 3.0) << "mark on " << std::hex << colour;
            }
            if (state.count <= 0)
                continue;
            // The badge in the top-right corner, where it may meet the panel, and its digit on it.
            const auto [badge, digit] = badgeAndDigit(image);
            EXPECT_NE(badge, measure(MenuBarIcon::image(side, state.look)).outline.value(0).first) << "no badge";
            EXPECT_GE(contrast(badge, qRgb(0, 0, 0)), 3.0) << std::hex << badge;
            EXPECT_GE(contrast(badge, qRgb(255, 255, 255)), 3.0) << std::hex << badge;
            EXPECT_GE(digit, side / 4) << "pixels of the digit that stand out on the badge";
        }
    }
}

TEST(MenuBarIcon, TheDimmedTileIsGreyAndEachCountDrawsItsOwnBadge)
{
    const auto tile = [](IconLook look) { return measure(MenuBarIcon::image(22, look)).outline.value(0).first; };
    EXPECT_GT(QColor(tile(IconLook::regular)).hsvSaturationF(), 0.5);
    EXPECT_LT(QColor(tile(IconLook::dimmed)).hsvSaturationF(), 0.2);

    const std::pair<int, QString> badges[] = {{0, ""}, {-1, ""}, {1, "1"}, {9, "9"}, {10, "9+"}, {120, "9+"}};
    for (const auto& [count, text] : badges)
        EXPECT_EQ(MenuBarIcon::badgeText(count), text) << count;

    for (int side : {16, 22}) {
        SCOPED_TRACE(side);
        EXPECT_EQ(MenuBarIcon::image(side, IconLook::regular, 0), MenuBarIcon::image(side, IconLook::regular, -3));
        EXPECT_EQ(MenuBarIcon::image(side, IconLook::regular, 10), MenuBarIcon::image(side, IconLook::regular, 120));
        QList<QImage> distinct{MenuBarIcon::image(side, IconLook::regular, 0)};
        for (int count = 1; count <= 10; ++count) {
            const QImage badged = MenuBarIcon::image(side, IconLook::regular, count);
            EXPECT_FALSE(distinct.contains(badged)) << count;
            distinct.append(badged);
        }
    }
    EXPECT_TRUE(MenuBarIcon::image(0, IconLook::regular, 3).isNull());
}
