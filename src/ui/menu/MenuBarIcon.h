#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QString>

namespace ringlark {

// Full colour while things are fine or the daemon is still starting; muted
// while the daemon answers but something is missing.
enum class IconLook { regular, dimmed };

namespace MenuBarIcon {

// The tray icon brings its own backdrop: a rounded tile with the mark in
// white on it. Qt 6.4 hands a drawn icon to a StatusNotifierItem host as
// pixmaps, which no panel recolours, and an icon name helps only once the
// icon is installed in a theme the panel searches (not so for a build run
// from its folder), one themed file per count at that. Any colour drawn
// straight onto the panel vanishes on a panel of the same lightness; a tile
// whose colours sit between black and white (WCAG contrast of at least 3:1
// against both) reads on every panel, over D-Bus and XEmbed alike.
inline constexpr QRgb brand = 0xff3559e0;  // the application icon's square
inline constexpr QRgb muted = 0xff6b7280;  // dimmed: the same tile, grey
inline constexpr QRgb mutedInk = 0xfff3f4f6;
inline constexpr QRgb badge = 0xffd92d20;  // the count
inline constexpr QRgb ink = 0xffffffff;

// The mark alone in `colour` on a transparent square of `side` device
// pixels: a slanted body with a dot at its top right, kept apart from the
// body by a clear ring. Needs no QGuiApplication.
QImage glyph(int side, const QColor& colour);

// The tray icon: the mark on its tile. A positive `count` puts a red badge
// with the count (1 to 9, then "9+") in the top-right corner; drawing it
// needs a QGuiApplication for the font.
QImage image(int side, IconLook look, int count = 0);

// The image at the sizes panels ask for (16, 22, 24, 32, 48 and twice those).
QIcon icon(IconLook look, int count = 0);

// What the badge says: nothing for no requests, 1 to 9, then "9+".
QString badgeText(int count);

} // namespace MenuBarIcon
} // namespace ringlark
