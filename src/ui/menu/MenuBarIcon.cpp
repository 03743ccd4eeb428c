#include "ui/menu/MenuBarIcon.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <cmath>

namespace ringlark::MenuBarIcon {

namespace {

// The design box: 69 × 68 units whose top-left corner is the design point (14, 16).
constexpr qreal boxX = 14, boxY = 16, boxW = 69, boxH = 68;

// At panel sizes the tile fills its square and the mark most of the tile,
// or the mark shrinks to a smudge.
constexpr qreal cornerShare = 0.19;
constexpr qreal glyphShare = 0.84;

void drawMark(QPainter& p, int side, const QColor& colour)
{
    const qreal s = std::min(side / boxH, side / boxW);
    p.translate((side - boxW * s) / 2 - boxX * s, (side - boxH * s) / 2 - boxY * s);
    p.scale(s, s);

    QPainterPath body;
    body.moveTo(18, 50);
    body.lineTo(68, 34);
    body.lineTo(68, 80);
    body.lineTo(18, 80);
    body.closeSubpath();
    p.setPen(QPen(colour, 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(colour);
    p.drawPath(body);

    p.setPen(Qt::NoPen);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.drawEllipse(QRectF(58, 13, 28, 28));
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.drawEllipse(QRectF(61.5, 16.5, 21, 21));
}

// A pill in the top-right corner in device pixels, tall enough for a digit
// that reads at 16 px, set apart from the mark by a ring of the tile's colour
// (a clear ring would leave the white mark bordering the panel).
void drawBadge(QPainter& p, int side, const QString& text, const QPainterPath& tile, const QColor& tileColour)
{
    const qreal height = std::max<qreal>(9, side * 0.56);
    const qreal width = text.size() > 1 ? std::min<qreal>(side, height * 1.55) : height;
    const QRectF pill(side - width, 0, width, height);
    const qreal gap = std::max<qreal>(1, side / 18.0);
    const qreal radius = height / 2;

    p.setPen(Qt::NoPen);
    p.setClipPath(tile);
    p.setBrush(tileColour);
    p.drawRoundedRect(pill.adjusted(-gap, -gap, gap, gap), radius + gap, radius + gap);
    p.setClipping(false);
    p.setBrush(QColor::fromRgb(badge));
    p.drawRoundedRect(pill, radius, radius);

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    font.setPixelSize(std::max(7, static_cast<int>(height * 0.8)));
    font.setLetterSpacing(QFont::PercentageSpacing, 90);
    QPainterPath glyphs;
    glyphs.addText(0, 0, font, text);
    glyphs.translate(pill.center() - glyphs.boundingRect().center());
    p.setBrush(QColor::fromRgb(ink));
    p.drawPath(glyphs);
}

} // namespace

QImage glyph(int side, const QColor& colour)
{
    if (side <= 0)
        return {};
    QColor opaque = colour;
    opaque.setAlphaF(1.0);
    QImage mark(side, side, QImage::Format_ARGB32_Premultiplied);
    mark.fill(Qt::transparent);
    QPainter p(&mark);
    p.setRenderHint(QPainter::Antialiasing);
    drawMark(p, side, opaque);
    return mark;
}

QImage image(int side, IconLook look, int count)
{
    if (side <= 0)
        return {};
    const bool dimmed = look == IconLook::dimmed;
    QImage out(side, side, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const QColor tileColour = QColor::fromRgb(dimmed ? muted : brand);
    QPainterPath tile;
    const qreal corner = side * cornerShare;
    tile.addRoundedRect(QRectF(0, 0, side, side), corner, corner);
    p.fillPath(tile, tileColour);

    // An even margin keeps the mark on whole pixels, so small sizes stay sharp.
    const int margin = static_cast<int>(std::lround(side * (1 - glyphShare) / 2));
    p.drawImage(margin, margin, glyph(side - 2 * margin, QColor::fromRgb(dimmed ? mutedInk : ink)));

    const QString text = badgeText(count);
    if (!text.isEmpty())
        drawBadge(p, side, text, tile, tileColour);
    return out;
}

QIcon icon(IconLook look, int count)
{
    QIcon result;
    for (int side : {16, 22, 24, 32, 44, 48, 64, 96})
        result.addPixmap(QPixmap::fromImage(image(side, look, count)));
    return result;
}

QString badgeText(int count)
{
    if (count <= 0)
        return {};
    return count > 9 ? QStringLiteral("9+") : QString::number(count);
}

} // namespace ringlark::MenuBarIcon
