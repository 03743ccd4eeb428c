#pragma once

#include <cstddef>
#include <optional>

namespace ringlark::helper::screen {

// How one frame is encoded: its JPEG quality, and how far it is shrunk
// below the session's frame size (step k keeps (8 - k) / 8 of the width and
// of the height).
struct EncodeSettings {
    int quality = 60;
    int step = 0;
    bool operator==(const EncodeSettings&) const = default;
};

// Keeps every frame within a byte budget at the least visible loss, and
// remembers from frame to frame what fitted, so a window that stays dense
// costs one encode a frame. Quality goes down first; where even the floor
// quality would not fit, the frame is shrunk a step instead (small text at
// quality 30 and three quarters of the size reads better than at quality
// 15 and full size). Frames well under the budget win quality and size back
// gradually. Pure: the caller encodes and reports the sizes.
class FrameBudget {
public:
    struct Limits {
        std::size_t bytes = 150'000; // 0: no limit
        int bestQuality = 60;
        int floorQuality = 25;
    };
    static constexpr int kLastStep = 6; // a quarter of the width

    explicit FrameBudget(Limits limits);

    // What the next frame tries first.
    EncodeSettings first() const { return m_next; }

    // An attempt with `tried` came out `bytes` long. Nothing: send it (it
    // fits, or nothing smaller is left). Otherwise the next attempt, which
    // is smaller than `tried`: lower quality at the same step, or a smaller step.
    std::optional<EncodeSettings> judge(EncodeSettings tried, std::size_t bytes);

    static double scale(int step) { return (8 - step) / 8.0; }

    // A JPEG's size at `quality` relative to its size at quality 60, the
    // same for dense text and ordinary windows within a few percent; and
    // the highest quality whose size is at most `relative`.
    static double relativeSize(int quality);
    static int qualityFor(double relative);

private:
    Limits m_limits;
    EncodeSettings m_next;
    int m_calm = 0; // frames to go before trying bigger again after a miss
};

} // namespace ringlark::helper::screen
