#include "ui/menu/MenuBarIcon.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>

namespace ringlark::MenuBarIcon {

namespace {

// The design box: 69 × 68 units whose top-left corner is the design point (14, 16).
constexpr qreal boxX = 14, boxY = 16, boxW = 69, boxH = 68;

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
// that reads at 16 px, cut free from the body by a clear ring.
void drawBadge(QPainter& p, int side, const QColor& colour, const QString& text)
{
    const qreal height = std::max<qreal>(9, side * 0.56);
    const qreal width = text.size() > 1 ? std::min<qreal>(side, height * 1.55) : height;
    const QRectF pill(side - width, 0, width, height);
    const qreal gap = std::max<qreal>(1, side / 18.0);
    const qreal radius = height / 2;

    p.setPen(Qt::NoPen);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.drawRoundedRect(pill.adjusted(-gap, -gap, gap, gap), radius + gap, radius + gap);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setBrush(colour);
    p.drawRoundedRect(pill, radius, radius);

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    font.setPixelSize(std::max(7, static_cast<int>(height * 0.8)));
    font.setLetterSpacing(QFont::PercentageSpacing, 90);
    QPainterPath glyphs;
    glyphs.addText(0, 0, font, text);
    const QRectF bounds = glyphs.boundingRect();
    glyphs.translate(pill.center() - bounds.center());
    // Knocked out rather than painted, so the badge needs only the one colour.
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.drawPath(glyphs);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

} // namespace

QImage image(int side, qreal opacity, const QColor& colour, int count)
{
    if (side <= 0)
        return {};
    QColor opaque = colour;
    opaque.setAlphaF(1.0);

    QImage mark(side, side, QImage::Format_ARGB32_Premultiplied);
    mark.fill(Qt::transparent);
    {
        QPainter p(&mark);
        p.setRenderHint(QPainter::Antialiasing);
        drawMark(p, side, opaque);
        p.resetTransform();
        const QString text = badgeText(count);
        if (!text.isEmpty())
            drawBadge(p, side, opaque, text);
    }
    if (opacity >= 1.0)
        return mark;

    // Faded as a whole: filling and then stroking the body at partial opacity
    // would darken where the two overlap.
    QImage faded(side, side, QImage::Format_ARGB32_Premultiplied);
    faded.fill(Qt::transparent);
    QPainter p(&faded);
    p.setOpacity(std::max<qreal>(0, opacity));
    p.drawImage(0, 0, mark);
    return faded;
}

QIcon icon(qreal opacity, const QColor& colour, int count)
{
    QIcon result;
    for (int side : {16, 22, 24, 32, 44, 48, 64, 96})
        result.addPixmap(QPixmap::fromImage(image(side, opacity, colour, count)));
    return result;
}

QString badgeText(int count)
{
    if (count <= 0)
        return {};
    return count > 9 ? QStringLiteral("9+") : QString::number(count);
}

} // namespace ringlark::MenuBarIcon
