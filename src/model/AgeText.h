#pragma once

#include <QString>

#include <chrono>
#include <cstdint>

namespace ringlark {

// How long ago a help request was created, as the menu words it:
// "just now", "<n> min", "<n> h" or "<n> d".
QString ageText(std::uint64_t createdAtMs, std::chrono::system_clock::time_point now);

} // namespace ringlark
