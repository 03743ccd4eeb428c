#include "helper/screen/Jpeg.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <optional>

namespace ringlark::helper::screen {
namespace {

constexpr int kWeightBits = 8; // weights of one axis add up to 256
constexpr int kWeightOne = 1 << kWeightBits;

// For each target index, `width` consecutive source indices from first[i]
// and how much of each it covers (zero for those outside its area). A fixed
// width keeps the inner loops simple enough to unroll.
struct Taps {
    int width = 0;
    std::vector<int> first;
    std::vector<std::uint16_t> weights; // target × width
};

Taps areaTaps(int sourceSize, int targetSize)
{
    const double scale = double(sourceSize) / targetSize;
    Taps taps;
    taps.width = std::min(sourceSize, static_cast<int>(std::ceil(scale)) + 1);
    taps.first.resize(std::size_t(targetSize));
    taps.weights.assign(std::size_t(targetSize) * std::size_t(taps.width), 0);
    for (int i = 0; i < targetSize; ++i) {
        const double begin = i * scale;
        const double end = std::min(double(sourceSize), (i + 1) * scale);
        const int from = static_cast<int>(begin);
        const int first = std::min(from, sourceSize - taps.width); // the window stays inside the source
        const int last = std::min(sourceSize - 1, static_cast<int>(std::ceil(end)) - 1);
        std::uint16_t* weights = taps.weights.data() + std::size_t(i) * std::size_t(taps.width);
        int total = 0;
        int largest = from - first;
        for (int s = from; s <= last; ++s) {
            const double covered = std::min(end, s + 1.0) - std::max(begin, double(s));
            const int weight = static_cast<int>(std::lround(covered / scale * kWeightOne));
            weights[s - first] = static_cast<std::uint16_t>(weight);
            total += weight;
            if (weight > weights[largest])
                largest = s - first;
        }
        weights[largest] = static_cast<std::uint16_t>(weights[largest] + kWeightOne - total); // keep brightness
        taps.first[std::size_t(i)] = first;
    }
    return taps;
}

// One row across: `width` target pixels from the 8.8 fixed-point row. A
// tap count known at compile time (2 and 3 cover shrinking to between a
// half and all of the width) lets the compiler unroll the inner loops,
// which halves the time.
template <int kTaps>
void shrinkRow(const std::uint16_t* row, const Taps& across, int width, std::uint8_t* into)
{
    constexpr std::uint32_t kHalf = 1u << (2 * kWeightBits - 1);
    const int taps = kTaps > 0 ? kTaps : across.width;
    for (int x = 0; x < width; ++x) {
        const std::uint16_t* weights = across.weights.data() + std::size_t(x) * std::size_t(taps);
        const std::uint16_t* pixel = row + std::size_t(across.first[std::size_t(x)]) * 4;
        std::uint32_t sum[4] = {kHalf, kHalf, kHalf, kHalf};
        for (int k = 0; k < taps; ++k)
            for (int c = 0; c < 4; ++c)
                sum[c] += std::uint32_t(weights[k]) * pixel[k * 4 + c];
        into[0] = static_cast<std::uint8_t>(sum[0] >> (2 * kWeightBits));
        into[1] = static_cast<std::uint8_t>(sum[1] >> (2 * kWeightBits));
        into[2] = static_cast<std::uint8_t>(sum[2] >> (2 * kWeightBits));
        into[3] = 0xff;
        into += 4;
    }
}

} // namespace

Size scaledSize(int width, int height, int maxWidth)
{
    if (maxWidth <= 0 || width <= maxWidth)
        return {width, height};
    const int scaledHeight = static_cast<int>(std::lround(double(height) * maxWidth / width));
    return {maxWidth, std::max(1, scaledHeight)};
}

void downscale(const ImageView& source, Size target, std::vector<std::uint8_t>& out)
{
    std::vector<std::uint16_t> scratch;
    downscale(source, target, out, scratch);
}

void downscale(const ImageView& source, Size target, std::vector<std::uint8_t>& out, std::vector<std::uint16_t>& rows)
{
    const Taps down = areaTaps(source.height, target.height);
    const Taps across = areaTaps(source.width, target.width);
    const std::size_t rowLength = std::size_t(source.width) * 4;

    // Down first, whole rows at a time (the compiler vectorises this), into
    // 8.8 fixed point: at most 255 × 256, so 16 bits hold every partial sum.
    rows.resize(rowLength * std::size_t(target.height));
    for (int y = 0; y < target.height; ++y) {
        std::uint16_t* into = rows.data() + rowLength * std::size_t(y);
        std::fill(into, into + rowLength, std::uint16_t(0));
        const std::uint16_t* weights = down.weights.data() + std::size_t(y) * std::size_t(down.width);
        for (int k = 0; k < down.width; ++k) {
            const std::uint16_t weight = weights[k];
            if (weight == 0)
                continue;
            const std::uint8_t* from = source.pixels + std::size_t(source.stride) * std::size_t(down.first[std::size_t(y)] + k);
            for (std::size_t i = 0; i < rowLength; ++i)
                into[i] = static_cast<std::uint16_t>(into[i] + weight * from[i]);
        }
    }

    // Then across the rows left, four channels at once.
    out.resize(std::size_t(target.width) * std::size_t(target.height) * 4);
    for (int y = 0; y < target.height; ++y) {
        const std::uint16_t* row = rows.data() + rowLength * std::size_t(y);
        std::uint8_t* into = out.data() + std::size_t(y) * std::size_t(target.width) * 4;
        switch (across.width) {
        case 2:
            shrinkRow<2>(row, across, target.width, into);
            break;
        case 3:
            shrinkRow<3>(row, across, target.width, into);
            break;
        default:
            shrinkRow<0>(row, across, target.width, into);
            break;
        }
    }
}

JpegEncoder::JpegEncoder()
    : m_handle(tjInitCompress())
{
}

JpegEncoder::~JpegEncoder()
{
    if (m_buffer)
        tjFree(m_buffer);
    if (m_handle)
        tjDestroy(static_cast<tjhandle>(m_handle));
}

ImageView JpegEncoder::shrunk(const ImageView& image, Size size, bool fresh)
{
    if (size.width == image.width && size.height == image.height)
        return image;
    if (fresh || size != m_scaledSize) {
        downscale(image, size, m_scaled, m_rows);
        m_scaledSize = size;
    }
    return {m_scaled.data(), size.width, size.height, size.width * 4};
}

bool JpegEncoder::encode(const ImageView& image, int maxWidth, int quality, Jpeg& out, std::string* error)
{
    if (!m_handle || !image.pixels || image.width <= 0 || image.height <= 0) {
        if (error)
            *error = m_handle ? "empty image" : "TurboJPEG did not start";
        return false;
    }
    out.attempts = 1;
    return compress(shrunk(image, scaledSize(image.width, image.height, maxWidth), true), quality, out, error);
}

bool JpegEncoder::encode(const ImageView& image, int maxWidth, FrameBudget& budget, Jpeg& out, std::string* error)
{
    if (!m_handle || !image.pixels || image.width <= 0 || image.height <= 0) {
        if (error)
            *error = m_handle ? "empty image" : "TurboJPEG did not start";
        return false;
    }
    const Size full = scaledSize(image.width, image.height, maxWidth);
    std::optional<EncodeSettings> settings = budget.first();
    bool fresh = true; // the shrunk pixels are last frame's until redone
    for (int attempt = 1; settings; ++attempt) {
        const double scale = FrameBudget::scale(settings->step);
        const Size size{std::max(1, static_cast<int>(std::lround(full.width * scale))),
            std::max(1, static_cast<int>(std::lround(full.height * scale)))};
        if (!compress(shrunk(image, size, fresh), settings->quality, out, error))
            return false;
        fresh = false;
        out.attempts = attempt;
        settings = budget.judge(*settings, out.bytes.size());
    }
    return true;
}

bool JpegEncoder::compress(const ImageView& input, int quality, Jpeg& out, std::string* error)
{
    // The worst case up front, so TurboJPEG never reallocates behind our back.
    const unsigned long needed = tjBufSize(input.width, input.height, TJSAMP_420);
    if (needed > m_capacity) {
        if (m_buffer)
            tjFree(m_buffer);
        m_buffer = tjAlloc(static_cast<int>(needed));
        m_capacity = m_buffer ? needed : 0;
        if (!m_buffer) {
            if (error)
                *error = "out of memory";
            return false;
        }
    }
    unsigned long length = m_capacity;
    quality = std::clamp(quality, 1, 100);
    // Measured on text: the accurate DCT gives the same bytes and picture at
    // the same speed; optimised Huffman tables save 2-8 % for two to three
    // times the encode time; 4:4:4 costs 2 % more bytes and half again the
    // time, while text reads by its brightness, which 4:2:0 keeps whole.
    const int rc = tjCompress2(static_cast<tjhandle>(m_handle), input.pixels, input.width, input.stride,
        input.height, TJPF_BGRX, &m_buffer, &length, TJSAMP_420, quality, TJFLAG_FASTDCT | TJFLAG_NOREALLOC);
    if (rc != 0) {
        if (error)
            *error = tjGetErrorStr2(static_cast<tjhandle>(m_handle));
        return false;
    }
    out.bytes.assign(reinterpret_cast<const char*>(m_buffer), length);
    out.width = input.width;
    out.height = input.height;
    out.quality = quality;
    return true;
}

} // namespace ringlark::helper::screen
