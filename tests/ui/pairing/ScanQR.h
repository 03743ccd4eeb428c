#pragma once

#include <QImage>

#include <zbar.h>

#include <optional>
#include <string>

namespace ringlark::test {

// What a scanner reads from the image, or nothing.
inline std::optional<std::string> scan(const QImage& image)
{
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    std::string pixels;
    for (int y = 0; y < grey.height(); ++y)
        pixels.append(reinterpret_cast<const char*>(grey.constScanLine(y)), grey.width());
    zbar::ImageScanner scanner;
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
    scanner.set_config(zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, 1);
    zbar::Image frame(grey.width(), grey.height(), "Y800", pixels.data(), pixels.size());
    if (scanner.scan(frame) <= 0)
        return std::nullopt;
    return frame.symbol_begin()->get_data();
}

} // namespace ringlark::test
