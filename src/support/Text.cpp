#include "support/Text.h"

namespace ringlark {

QString repairUtf8(const QByteArray& bytes)
{
    // Qt's decoder substitutes U+FFFD for malformed input rather than stopping.
    return QString::fromUtf8(bytes);
}

} // namespace ringlark
