#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QString>

namespace ringlark::MenuBarIcon {

// Opacity of the two looks: full while things are fine or the daemon is still
// starting, faded while the daemon answers but something is missing.
inline constexpr qreal regularOpacity = 1.0;
inline constexpr qreal dimmedOpacity = 0.4;

// The mark drawn into a transparent square of `side` device pixels in one
// colour: a slanted body with a dot at its top right, kept apart from the body
// by a clear ring. A positive `count` replaces the dot by a larger badge with
// the count knocked out of it, so it stays legible at panel sizes. Without a
// count this needs no QGuiApplication (no fonts, no palette).
QImage image(int side, qreal opacity, const QColor& colour, int count = 0);

// The image at the sizes panels ask for (16, 22, 24, 32, 48 and twice those).
QIcon icon(qreal opacity, const QColor& colour, int count = 0);

// What the badge says: nothing for no requests, 1 to 9, then "9+".
QString badgeText(int count);

} // namespace ringlark::MenuBarIcon
