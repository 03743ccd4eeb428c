#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

// Colours and fonts of the setup window, derived from the palette so light
// and dark themes both work. Sizes are in device-independent pixels.
namespace ringlark::setup::style {

// `a` mixed into `b`: 0 gives b, 1 gives a.
QColor blend(const QColor& a, const QColor& b, qreal amount);

// Labels take the secondary colour as a role, so a theme change reaches them.
inline constexpr QPalette::ColorRole secondaryRole = QPalette::PlaceholderText;
QColor secondaryText(const QPalette& palette);
QColor tertiaryText(const QPalette& palette);
// The faint fill behind the status pill.
QColor quaternaryFill(const QPalette& palette);
// The rounded groups holding the checklist rows.
QColor groupFill(const QPalette& palette);
// The footer bar, set off a little from the window.
QColor barFill(const QPalette& palette);
QColor separator(const QPalette& palette);

QColor green();
QColor orange();
QColor red();
QColor gray();

QFont font(const QFont& base, int pixelSize, QFont::Weight weight = QFont::Normal);
inline constexpr int title2Size = 17;
inline constexpr int title3Size = 15;
inline constexpr int bodySize = 13;
inline constexpr int calloutSize = 12;

} // namespace ringlark::setup::style
