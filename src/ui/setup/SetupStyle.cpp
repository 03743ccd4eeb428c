#include "ui/setup/SetupStyle.h"

namespace ringlark::setup::style {

QColor blend(const QColor& a, const QColor& b, qreal amount)
{
    const auto mix = [amount](qreal x, qreal y) { return x * amount + y * (1 - amount); };
    return QColor::fromRgbF(static_cast<float>(mix(a.redF(), b.redF())), static_cast<float>(mix(a.greenF(), b.greenF())),
                            static_cast<float>(mix(a.blueF(), b.blueF())));
}

QColor secondaryText(const QPalette& palette)
{
    return palette.color(secondaryRole);
}

QColor tertiaryText(const QPalette& palette)
{
    return blend(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.35);
}

QColor quaternaryFill(const QPalette& palette)
{
    return blend(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.08);
}

QColor groupFill(const QPalette& palette)
{
    return blend(palette.color(QPalette::Base), palette.color(QPalette::Window), 0.6);
}

QColor barFill(const QPalette& palette)
{
    return blend(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.03);
}

QColor separator(const QPalette& palette)
{
    return blend(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.15);
}

QColor green() { return QColor(52, 199, 89); }
QColor orange() { return QColor(255, 149, 0); }
QColor red() { return QColor(230, 55, 45); }
QColor gray() { return QColor(142, 142, 147); }

QFont font(const QFont& base, int pixelSize, QFont::Weight weight)
{
    QFont f = base;
    f.setPixelSize(pixelSize);
    f.setWeight(weight);
    return f;
}

} // namespace ringlark::setup::style
