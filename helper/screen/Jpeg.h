#pragma once

#include "helper/screen/FrameBudget.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ringlark::helper::screen {

// Pixels as X hands them out on little-endian machines: B, G, R and an unused
// byte per pixel, rows `stride` bytes apart.
struct ImageView {
    const std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
};

struct Size {
    int width = 0;
    int height = 0;
    bool operator==(const Size&) const = default;
};

// At most `maxWidth` wide, keeping the aspect; never enlarged. maxWidth <= 0
// keeps the size.
Size scaledSize(int width, int height, int maxWidth);

// Shrinks `source` to `target` by averaging the area each target pixel covers
// (text stays legible where skipping pixels would break strokes). `out` gets
// tightly packed BGRX rows.
void downscale(const ImageView& source, Size target, std::vector<std::uint8_t>& out);
// The same with the intermediate rows kept in `scratch` from call to call.
void downscale(const ImageView& source, Size target, std::vector<std::uint8_t>& out, std::vector<std::uint16_t>& scratch);

struct Jpeg {
    std::string bytes;
    int width = 0;
    int height = 0;
    int quality = 0;
    int attempts = 0; // encodes it took to fit the budget
};

// One TurboJPEG compressor and its scratch buffers, reused frame after frame.
// Not thread-safe; one per session.
class JpegEncoder {
public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // 4:2:0 at `quality` (1..100), shrunk to at most `maxWidth` wide. False
    // when TurboJPEG fails (`error` says why).
    bool encode(const ImageView& image, int maxWidth, int quality, Jpeg& out, std::string* error = nullptr);

    // Within `budget`: first what it remembers, then smaller until a frame
    // fits (see FrameBudget). The steps shrink the frame below `maxWidth`.
    bool encode(const ImageView& image, int maxWidth, FrameBudget& budget, Jpeg& out, std::string* error = nullptr);

private:
    // `image` shrunk to `size`, reusing the last shrink when `fresh` is false.
    ImageView shrunk(const ImageView& image, Size size, bool fresh);
    bool compress(const ImageView& input, int quality, Jpeg& out, std::string* error);

    void* m_handle = nullptr;
    unsigned char* m_buffer = nullptr;
    unsigned long m_capacity = 0;
    std::vector<std::uint8_t> m_scaled;
    Size m_scaledSize;
    std::vector<std::uint16_t> m_rows;
};

} // namespace ringlark::helper::screen
