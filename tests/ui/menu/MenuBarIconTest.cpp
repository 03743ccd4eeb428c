#include "ui/menu/MenuBarIcon.h"

#include <gtest/gtest.h>

#include <QHash>
#include <QRect>

#include <algorithm>
#include <cmath>
#include <vector>

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

bool opaque(const QImage& image, int x, int y)
{
    return image.rect().contains(x, y) && qAlpha(image.pixel(x, y)) == 255;
}

struct Colours {
    // Opaque colours next to a clear pixel or the image's edge, each a
    // twentieth of that outline or more: what the panel sees the icon by.
    QList<QRgb> outline;
    // The commonest opaque colour on no outline: the mark.
    QRgb ink = 0;
};

Colours measure(const QImage& picture)
{
    const QImage image = picture.convertToFormat(QImage::Format_ARGB32);
    QHash<QRgb, int> edge, inside;
    int edges = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            if (!opaque(image, x, y))
                continue;
            const bool onEdge = !opaque(image, x - 1, y) || !opaque(image, x + 1, y) || !opaque(image, x, y - 1)
                                || !opaque(image, x, y + 1);
            ++(onEdge ? edge : inside)[image.pixel(x, y)];
            edges += onEdge;
        }
    Colours out;
    for (auto it = edge.begin(); it != edge.end(); ++it)
        if (it.value() * 20 >= edges)
            out.outline.append(it.key());
    int most = 0;
    for (auto it = inside.begin(); it != inside.end(); ++it)
        if (!edge.contains(it.key()) && it.value() > most) {
            most = it.value();
            out.ink = it.key();
        }
    return out;
}

// The badge: the commonest opaque colour in the top-right quarter, and how
// many pixels within its bounds (its digit) reach 3:1 against it.
std::pair<QRgb, int> badgeAndDigit(const QImage& picture)
{
    const QImage image = picture.convertToFormat(QImage::Format_ARGB32);
    const int side = image.width();
    QHash<QRgb, int> seen;
    for (int y = 0; y < side / 2; ++y)
        for (int x = side / 2; x < side; ++x)
            seen[image.pixel(x, y)] += opaque(image, x, y);
    const QRgb badge = std::max_element(seen.begin(), seen.end()).key();
    QRect bounds;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            if (image.pixel(x, y) == badge)
                bounds |= QRect(x, y, 1, 1);
    int digit = 0;
    for (int y = bounds.top(); y <= bounds.bottom(); ++y)
        for (int x = bounds.left(); x <= bounds.right(); ++x)
            digit += opaque(image, x, y) && contrast(image.pixel(x, y), badge) >= 3.0;
    return {badge, digit};
}

} // namespace

TEST(MenuBarIcon, EveryStateStandsOutOnBlackAndOnWhitePanels)
{
    std::vector<std::pair<IconLook, int>> states{{IconLook::dimmed, 0}, {IconLook::dimmed, 4}, {IconLook::dimmed, 120}};
    for (int count = 0; count <= 10; ++count)
        states.emplace_back(IconLook::regular, count);
    for (int side : {16, 22, 24, 32}) {
        for (const auto& [look, count] : states) {
            SCOPED_TRACE(QString("%1 %2 at %3").arg(look == IconLook::dimmed ? "dimmed" : "regular").arg(count).arg(side).toStdString());
            const QImage image = MenuBarIcon::image(side, look, count);
            const Colours colours = measure(image);
            ASSERT_FALSE(colours.outline.isEmpty());
            ASSERT_NE(colours.ink, 0u) << "no mark inside";
            for (const QRgb colour : colours.outline) {
                EXPECT_GE(contrast(colour, qRgb(0, 0, 0)), 3.0) << std::hex << colour;
                EXPECT_GE(contrast(colour, qRgb(255, 255, 255)), 3.0) << std::hex << colour;
                EXPECT_GE(contrast(colour, colours.ink), 3.0) << "mark on " << std::hex << colour;
            }
            if (count <= 0)
                continue;
            // The badge may meet the panel at the corner; its digit must read on it.
            const auto [badge, digit] = badgeAndDigit(image);
            EXPECT_NE(badge, measure(MenuBarIcon::image(side, look)).outline.value(0)) << "no badge";
            EXPECT_GE(contrast(badge, qRgb(0, 0, 0)), 3.0) << std::hex << badge;
            EXPECT_GE(contrast(badge, qRgb(255, 255, 255)), 3.0) << std::hex << badge;
            EXPECT_GE(digit, side / 4) << "pixels of the digit that stand out on the badge";
        }
    }
}

TEST(MenuBarIcon, TheDimmedTileIsGreyAndEachCountDrawsItsOwnBadge)
{
    const auto tile = [](IconLook look) { return QColor(measure(MenuBarIcon::image(22, look)).outline.value(0)); };
    EXPECT_GT(tile(IconLook::regular).hsvSaturationF(), 0.5);
    EXPECT_LT(tile(IconLook::dimmed).hsvSaturationF(), 0.2);

    const std::pair<int, QString> badges[] = {{0, ""}, {-1, ""}, {1, "1"}, {9, "9"}, {10, "9+"}, {120, "9+"}};
    for (const auto& [count, text] : badges)
        EXPECT_EQ(MenuBarIcon::badgeText(count), text) << count;

    for (int side : {16, 22}) {
        QList<QImage> seen{MenuBarIcon::image(side, IconLook::regular, 0)};
        for (int count = 1; count <= 10; ++count) {
            const QImage badged = MenuBarIcon::image(side, IconLook::regular, count);
            EXPECT_FALSE(seen.contains(badged)) << count << " at " << side;
            seen.append(badged);
        }
        EXPECT_EQ(seen.last(), MenuBarIcon::image(side, IconLook::regular, 120));
    }
    EXPECT_TRUE(MenuBarIcon::image(0, IconLook::regular, 3).isNull());
}
