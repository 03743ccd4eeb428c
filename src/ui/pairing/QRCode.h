#pragma once

#include <QImage>
#include <QString>

#include <optional>

namespace ringlark::QRCode {

// The UTF-8 bytes of `text` as a QR code at error correction level M, black
// on white with a two-module quiet zone, scaled without smoothing to exactly
// `side` × `side` pixels. Nothing when the text does not fit in a code or the
// side is not positive.
std::optional<QImage> image(const QString& text, int side);

} // namespace ringlark::QRCode
