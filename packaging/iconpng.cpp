// Draws the application icon's PNG sizes from the tray icon's own drawing, so
// the two never drift apart: the glyph in white on a rounded square of the
// brand colour, in the proportions of com.ringlark.mac.svg.
//
// usage: ringlark_iconpng <folder> <side>...
// writes <folder>/<side>x<side>/com.ringlark.mac.png for every side.

#include "ui/menu/MenuBarIcon.h"

#include <QDir>
#include <QGuiApplication>
#include <QPainter>

#include <cmath>
#include <cstdio>

namespace {

// The SVG's square is 128 units: the rounded square inset by 8 with corners
// of 24, the glyph in the middle 72. Panel and menu sizes get a fuller square
// and a larger glyph, or the glyph shrinks to a smudge.
struct Proportions {
    double inset, corner, glyph;
};
constexpr double unit = 1.0 / 128;
constexpr Proportions large{8 * unit, 24 * unit, 72 * unit};
constexpr Proportions small{2 * unit, 24 * unit, 88 * unit};
constexpr int largestSmall = 32;
const QColor brand = QColor::fromRgb(ringlark::MenuBarIcon::brand);

QImage appIcon(int side)
{
    const Proportions& at = side <= largestSmall ? small : large;
    QImage out(side, side, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(brand);
    const double margin = side * at.inset;
    p.drawRoundedRect(QRectF(margin, margin, side - 2 * margin, side - 2 * margin), side * at.corner,
                      side * at.corner);

    // An even margin keeps the glyph on whole pixels, so small sizes stay sharp.
    const int glyphMargin = 2 * static_cast<int>(std::lround(side * (1 - at.glyph) / 2));
    const int glyphSide = side - glyphMargin;
    p.drawImage(glyphMargin / 2, glyphMargin / 2,
                ringlark::MenuBarIcon::glyph(glyphSide, Qt::white));
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    // Runs at build time, where there may be no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: ringlark_iconpng <folder> <side>...\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        bool ok = false;
        const int side = QString::fromLocal8Bit(argv[i]).toInt(&ok);
        if (!ok || side < 8 || side > 4096) {
            std::fprintf(stderr, "ringlark_iconpng: not a size: %s\n", argv[i]);
            return 2;
        }
        const QString dir = folder + QStringLiteral("/%1x%1").arg(side);
        const QString path = dir + QStringLiteral("/com.ringlark.mac.png");
        if (!QDir().mkpath(dir) || !appIcon(side).save(path, "PNG")) {
            std::fprintf(stderr, "ringlark_iconpng: could not write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
