#include "model/AgeText.h"

namespace ringlark {

QString ageText(std::uint64_t createdAtMs, std::chrono::system_clock::time_point now)
{
    using namespace std::chrono;
    // Whole seconds, truncated toward zero; the creation time keeps its fraction.
    const auto nowMs = duration_cast<duration<long double, std::milli>>(now.time_since_epoch()).count();
    const long double elapsed = (nowMs - static_cast<long double>(createdAtMs)) / 1000.0L;
    const auto seconds = static_cast<long long>(elapsed);
    if (seconds < 60)
        return QStringLiteral("just now");
    if (seconds < 3600)
        return QString::number(seconds / 60) + QStringLiteral(" min");
    if (seconds < 86400)
        return QString::number(seconds / 3600) + QStringLiteral(" h");
    return QString::number(seconds / 86400) + QStringLiteral(" d");
}

} // namespace ringlark
