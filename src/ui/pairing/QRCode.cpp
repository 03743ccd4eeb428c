#include "ui/pairing/QRCode.h"

#include <qrcodegen.hpp>

#include <QColor>

#include <cstdint>
#include <exception>
#include <vector>

namespace ringlark::QRCode {

namespace {

constexpr int quietZone = 2;

std::vector<qrcodegen::QrSegment> segments(const QByteArray& utf8)
{
    // The mode-choosing helper reads a C string and would stop at a NUL byte.
    if (utf8.contains('\0'))
        return {qrcodegen::QrSegment::makeBytes(std::vector<std::uint8_t>(utf8.begin(), utf8.end()))};
    return qrcodegen::QrSegment::makeSegments(utf8.constData());
}

} // namespace

std::optional<QImage> image(const QString& text, int side)
{
    if (side <= 0)
        return std::nullopt;
    try {
        // Exactly M: the plain text encoder would raise the level whenever it fits.
        const auto code = qrcodegen::QrCode::encodeSegments(segments(text.toUtf8()), qrcodegen::QrCode::Ecc::MEDIUM,
                                                            qrcodegen::QrCode::MIN_VERSION,
                                                            qrcodegen::QrCode::MAX_VERSION, -1, false);
        const int modules = code.getSize() + 2 * quietZone;
        QImage small(modules, modules, QImage::Format_RGB32);
        small.fill(Qt::white);
        for (int y = 0; y < code.getSize(); ++y)
            for (int x = 0; x < code.getSize(); ++x)
                if (code.getModule(x, y))
                    small.setPixel(x + quietZone, y + quietZone, qRgb(0, 0, 0));
        return small.scaled(side, side, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    } catch (const std::exception&) {
        // Too long for the largest code.
        return std::nullopt;
    }
}

} // namespace ringlark::QRCode
