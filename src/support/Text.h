#pragma once

#include <QByteArray>
#include <QString>

namespace ringlark {

// Decodes UTF-8, replacing every invalid sequence with U+FFFD; never fails.
QString repairUtf8(const QByteArray& bytes);

} // namespace ringlark
