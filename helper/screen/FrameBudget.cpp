#include "helper/screen/FrameBudget.h"

#include <algorithm>
#include <array>

namespace ringlark::helper::screen {
namespace {

// Measured on a window of dense text and on an ordinary document, 4:2:0:
// the two agree within 2 %. Qualities 5, 10, ..., 100.
constexpr std::array<double, 20> kRelative = {0.318, 0.404, 0.484, 0.563, 0.639, 0.708, 0.769, 0.817, 0.867, 0.909,
    0.953, 1.000, 1.059, 1.126, 1.202, 1.313, 1.456, 1.690, 2.157, 3.317};

constexpr double kAim = 0.9;       // a new guess aims this far below the budget
constexpr double kWellUnder = 0.7; // frames this small may try bigger next time
constexpr int kCalmFrames = 8;     // after a miss, this many frames before trying bigger
constexpr int kMaxRise = 10;       // quality won back per frame at most
constexpr int kStepUpMargin = 5;   // a bigger step only above the floor by this much

double squared(double x) { return x * x; }

} // namespace

FrameBudget::FrameBudget(Limits limits)
    : m_limits(limits)
{
    m_limits.floorQuality = std::clamp(m_limits.floorQuality, 5, 100);
    m_limits.bestQuality = std::clamp(m_limits.bestQuality, m_limits.floorQuality, 100);
    m_next = {m_limits.bestQuality, 0};
}

double FrameBudget::relativeSize(int quality)
{
    quality = std::clamp(quality, 5, 100);
    const int below = std::min((quality - 5) / 5, int(kRelative.size()) - 2);
    const double fraction = (quality - 5 - below * 5) / 5.0;
    return kRelative[std::size_t(below)] + fraction * (kRelative[std::size_t(below) + 1] - kRelative[std::size_t(below)]);
}

int FrameBudget::qualityFor(double relative)
{
    if (relative < kRelative.front())
        return 0;
    int quality = 5;
    while (quality < 100 && relativeSize(quality + 1) <= relative)
        ++quality;
    return quality;
}

std::optional<EncodeSettings> FrameBudget::judge(EncodeSettings tried, std::size_t bytes)
{
    const int best = m_limits.bestQuality, floor = m_limits.floorQuality;
    if (m_limits.bytes == 0) {
        m_next = {best, 0};
        return std::nullopt;
    }
    const double limit = double(m_limits.bytes), target = limit * kAim;
    // What a frame like this one would take at quality `quality` and step `step`.
    const auto predicted = [&](int step, int quality) {
        return double(bytes) * squared(scale(step) / scale(tried.step)) * relativeSize(quality)
            / relativeSize(tried.quality);
    };
    // The highest quality at which it is predicted to take `target` at `step`.
    const auto qualityAt = [&](int step) { return std::min(best, qualityFor(target / predicted(step, 60))); };

    if (double(bytes) <= limit) {
        m_next = tried;
        if (m_calm > 0) {
            --m_calm;
        } else if (double(bytes) <= limit * kWellUnder) {
            // Size first: a sharper picture beats a cleaner one once the
            // quality is comfortably above the floor.
            const int up = tried.step > 0 ? qualityAt(tried.step - 1) : 0;
            if (tried.step > 0 && up >= floor + kStepUpMargin)
                m_next = {up, tried.step - 1};
            else
                m_next.quality = std::max(tried.quality, std::min(tried.quality + kMaxRise, qualityAt(tried.step)));
        }
        return std::nullopt;
    }

    m_calm = kCalmFrames;
    for (int step = tried.step; step <= kLastStep; ++step) {
        int quality = qualityAt(step);
        if (step == tried.step)
            quality = std::min(quality, tried.quality - 1);
        if (quality >= floor)
            return EncodeSettings{quality, step};
    }
    if (tried.step >= kLastStep && tried.quality <= floor)
        return std::nullopt; // nothing smaller left: sent over the budget
    return EncodeSettings{floor, kLastStep};
}

} // namespace ringlark::helper::screen
