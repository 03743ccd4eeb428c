#include "ScanQR.h"
#include "ui/pairing/QRCode.h"

#include <gtest/gtest.h>

using namespace ringlark;
using ringlark::test::scan;

namespace {

// The error correction level as the code's format bits say it: the two
// modules left of the timing column in row 8, read past the format mask.
char eccLevel(const QImage& image)
{
    auto dark = [&](qreal x, qreal y) { return qGray(image.pixel(int(x), int(y))) < 128; };
    // The finder's top-left corner, then its width of seven modules.
    int corner = 0;
    while (!dark(corner, corner))
        ++corner;
    int end = corner;
    while (dark(end, corner))
        ++end;
    const qreal module = (end - corner) / 7.0;
    auto moduleAt = [&](int x, int y) { return dark(corner + (x + 0.5) * module, corner + (y + 0.5) * module); };
    const bool bit14 = moduleAt(0, 8) != true; // the mask sets bit 14 and clears bit 13
    const bool bit13 = moduleAt(1, 8);
    const int bits = (bit14 ? 2 : 0) | (bit13 ? 1 : 0);
    return "MLHQ"[bits];
}

} // namespace

TEST(QRCode, EncodesLinksOfEveryLengthAtLevelMIntoExactlyTheAskedSquare)
{
    const QString base = QStringLiteral("ringlark://pair?host=desk.tail1234.ts.net&token=");
    for (int length : {20, 120, 400, 1200}) {
        SCOPED_TRACE(length);
        QString link = base;
        while (link.size() < length)
            link += QString::number(link.size() % 10);
        link.truncate(length);
        for (int side : {440, 333}) {
            const auto image = QRCode::image(link, side);
            ASSERT_TRUE(image.has_value());
            EXPECT_EQ(image->size(), QSize(side, side));
            if (side == 440 && length <= 400) {
                EXPECT_EQ(scan(*image), link.toStdString());
                EXPECT_EQ(eccLevel(*image), 'M');
            }
        }
    }
}

TEST(QRCode, GivesNothingWhenNoCodeCanBeMade)
{
    EXPECT_FALSE(QRCode::image(QString(3000, QLatin1Char('x')), 440).has_value()) << "too long at level M";
    EXPECT_FALSE(QRCode::image(QStringLiteral("ok"), 0).has_value());
    // Only pure black and white: nothing smoothed between modules.
    const auto image = QRCode::image(QStringLiteral("ringlark://pair?t=1"), 101);
    ASSERT_TRUE(image.has_value());
    for (int y = 0; y < image->height(); ++y)
        for (int x = 0; x < image->width(); ++x)
            ASSERT_TRUE(image->pixel(x, y) == qRgb(0, 0, 0) || image->pixel(x, y) == qRgb(255, 255, 255));
}
