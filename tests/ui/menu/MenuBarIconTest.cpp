#include "ui/menu/MenuBarIcon.h"

#include <gtest/gtest.h>

#include <QLineF>
#include <QPointF>

using namespace ringlark;

namespace {

const QColor ink(20, 110, 200);

// The device pixel under a point of the 69 × 68 design box at (14, 16).
QPoint at(int side, QPointF design)
{
    const qreal s = std::min(side / 68.0, side / 69.0);
    const qreal x = (side - 69 * s) / 2 + (design.x() - 14) * s;
    const qreal y = (side - 68 * s) / 2 + (design.y() - 16) * s;
    return {static_cast<int>(x), static_cast<int>(y)};
}

QColor pixel(const QImage& image, QPoint p)
{
    return image.convertToFormat(QImage::Format_ARGB32).pixelColor(p);
}

QRect drawnArea(const QImage& image)
{
    QRect area;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 0)
                area |= QRect(x, y, 1, 1);
    return area;
}

} // namespace

TEST(MenuBarIcon, DrawsTheBodyTheClearRingAndTheDotCentredAtEverySize)
{
    for (int side : {18, 36}) {
        SCOPED_TRACE(side);
        const QImage image = MenuBarIcon::image(side, 1.0, ink);
        ASSERT_EQ(image.size(), QSize(side, side));

        const QColor body = pixel(image, at(side, {45, 68}));
        EXPECT_EQ(body.alpha(), 255);
        EXPECT_EQ(body.rgb(), ink.rgb());
        EXPECT_EQ(pixel(image, at(side, {72, 27})).alpha(), 255) << "badge dot";
        // Between dot and body, where the body's edge would otherwise be.
        EXPECT_LT(pixel(image, at(side, {63.5, 36})).alpha(), side >= 36 ? 60 : 160) << "ring";
        EXPECT_EQ(pixel(image, {0, 0}).alpha(), 0) << "top-left corner";
        EXPECT_EQ(pixel(image, at(side, {20, 24})).alpha(), 0) << "above the slant";

        const QRect area = drawnArea(image);
        EXPECT_LE(std::abs(area.left() - (side - 1 - area.right())), 1) << "centred across";
        EXPECT_LE(std::abs(area.top() - (side - 1 - area.bottom())), 1) << "centred down";

        const QImage dimmed = MenuBarIcon::image(side, 0.4, ink);
        for (QPointF p : {QPointF(45, 68), QPointF(72, 27), QPointF(22, 78)})
            EXPECT_NEAR(pixel(dimmed, at(side, p)).alpha(), 102, 2) << "uniformly faded";
    }
}

TEST(MenuBarIcon, ACountBecomesALegibleBadgeCappedAtNinePlus)
{
    const std::pair<int, QString> badges[] = {{0, ""}, {-1, ""}, {1, "1"}, {9, "9"}, {10, "9+"}, {120, "9+"}};
    for (const auto& [count, text] : badges)
        EXPECT_EQ(MenuBarIcon::badgeText(count), text) << count;

    for (int side : {16, 22, 24}) {
        SCOPED_TRACE(side);
        EXPECT_EQ(MenuBarIcon::image(side, 1.0, ink, 0), MenuBarIcon::image(side, 1.0, ink));
        EXPECT_EQ(MenuBarIcon::image(side, 1.0, ink, 10), MenuBarIcon::image(side, 1.0, ink, 120));

        // The digit is knocked out of a solid badge in the top-right corner:
        // around the badge's centre there are both solid and clear pixels.
        const QImage badged = MenuBarIcon::image(side, 1.0, ink, 8);
        const qreal height = std::max(9.0, side * 0.56);
        const QPointF centre(side - height / 2, height / 2);
        int solid = 0, clear = 0;
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x)
                if (QLineF(centre, QPointF(x + 0.5, y + 0.5)).length() < height * 0.4) {
                    solid += qAlpha(badged.pixel(x, y)) > 200;
                    clear += qAlpha(badged.pixel(x, y)) < 55;
                }
        EXPECT_GE(solid, 3);
        EXPECT_GE(clear, 3);
    }
}
