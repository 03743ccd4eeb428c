#include "helper/screen/Jpeg.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

namespace ringlark::helper::screen {
namespace {

constexpr int kWeightBits = 8; // weights of one axis add up to 256
constexpr int kWeightOne = 1 << kWeightBits;

struct Tap {
    int first = 0;              // first source index
    std::vector<int> weights;   // for first, first + 1, ...
};

// For each target index, the source indices it covers and how much of each.
std::vector<Tap> areaTaps(int sourceSize, int targetSize)
{
    std::vector<Tap> taps(static_cast<std::size_t>(targetSize));
    const double scale = double(sourceSize) / targetSize;
    for (int i = 0; i < targetSize; ++i) {
        const double begin = i * scale;
        const double end = std::min(double(sourceSize), (i + 1) * scale);
        Tap& tap = taps[static_cast<std::size_t>(i)];
        tap.first = static_cast<int>(begin);
        const int last = std::min(sourceSize - 1, static_cast<int>(std::ceil(end)) - 1);
        int total = 0;
        std::size_t largest = 0;
        for (int s = tap.first; s <= last; ++s) {
            const double covered = std::min(end, s + 1.0) - std::max(begin, double(s));
            const int weight = static_cast<int>(std::lround(covered / scale * kWeightOne));
            tap.weights.push_back(weight);
            total += weight;
            if (weight > tap.weights[largest])
                largest = tap.weights.size() - 1;
        }
        tap.weights[largest] += kWeightOne - total; // rounding must not shift brightness
    }
    return taps;
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
    const std::vector<Tap> across = areaTaps(source.width, target.width);
    const std::vector<Tap> down = areaTaps(source.height, target.height);

    // Across first, into 8.8 fixed point, three channels per pixel.
    std::vector<std::uint16_t> rows(std::size_t(target.width) * source.height * 3);
    for (int y = 0; y < source.height; ++y) {
        const std::uint8_t* row = source.pixels + std::size_t(y) * source.stride;
        std::uint16_t* into = rows.data() + std::size_t(y) * target.width * 3;
        for (int x = 0; x < target.width; ++x) {
            const Tap& tap = across[std::size_t(x)];
            unsigned b = 0, g = 0, r = 0;
            const std::uint8_t* pixel = row + std::size_t(tap.first) * 4;
            for (int weight : tap.weights) {
                b += unsigned(weight) * pixel[0];
                g += unsigned(weight) * pixel[1];
                r += unsigned(weight) * pixel[2];
                pixel += 4;
            }
            into[0] = static_cast<std::uint16_t>(b);
            into[1] = static_cast<std::uint16_t>(g);
            into[2] = static_cast<std::uint16_t>(r);
            into += 3;
        }
    }

    out.resize(std::size_t(target.width) * target.height * 4);
    constexpr unsigned kHalf = 1u << (2 * kWeightBits - 1);
    for (int y = 0; y < target.height; ++y) {
        const Tap& tap = down[std::size_t(y)];
        std::uint8_t* into = out.data() + std::size_t(y) * target.width * 4;
        for (int x = 0; x < target.width; ++x) {
            unsigned b = 0, g = 0, r = 0;
            const std::uint16_t* pixel = rows.data() + (std::size_t(tap.first) * target.width + x) * 3;
            for (int weight : tap.weights) {
                b += unsigned(weight) * pixel[0];
                g += unsigned(weight) * pixel[1];
                r += unsigned(weight) * pixel[2];
                pixel += std::size_t(target.width) * 3;
            }
            into[0] = static_cast<std::uint8_t>((b + kHalf) >> (2 * kWeightBits));
            into[1] = static_cast<std::uint8_t>((g + kHalf) >> (2 * kWeightBits));
            into[2] = static_cast<std::uint8_t>((r + kHalf) >> (2 * kWeightBits));
            into[3] = 0xff;
            into += 4;
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

bool JpegEncoder::encode(const ImageView& image, int maxWidth, int quality, Jpeg& out, std::string* error)
{
    if (!m_handle || !image.pixels || image.width <= 0 || image.height <= 0) {
        if (error)
            *error = m_handle ? "empty image" : "TurboJPEG did not start";
        return false;
    }
    ImageView input = image;
    const Size size = scaledSize(image.width, image.height, maxWidth);
    if (size.width != image.width) {
        downscale(image, size, m_scaled);
        input = {m_scaled.data(), size.width, size.height, size.width * 4};
    }
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
    const int rc = tjCompress2(static_cast<tjhandle>(m_handle), input.pixels, input.width, input.stride,
        input.height, TJPF_BGRX, &m_buffer, &length, TJSAMP_420, std::clamp(quality, 1, 100),
        TJFLAG_FASTDCT | TJFLAG_NOREALLOC);
    if (rc != 0) {
        if (error)
            *error = tjGetErrorStr2(static_cast<tjhandle>(m_handle));
        return false;
    }
    out.bytes.assign(reinterpret_cast<const char*>(m_buffer), length);
    out.width = input.width;
    out.height = input.height;
    return true;
}

} // namespace ringlark::helper::screen
