#pragma once
// Desktop-like 'BGRA' test frames drawn without the engine: a flat desktop, three still windows
// full of small dark text on white, a terminal whose last line is typed one character a frame,
// and a window that moves across the screen a few pixels a frame. Each frame is a pure function
// of its size and frame index, so encoders can be compared on exactly the same pictures.
#include "Platform/Base/FourCC.h"
#include "Platform/Media/PixelBuffer.h"
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
namespace mivodrell::testing {
namespace desktop_detail {
inline std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 33; x *= 0xff51afd7ed558ccdull; x ^= x >> 33; x *= 0xc4ceb9fe1a85ec53ull; x ^= x >> 33;
    return x;
}
struct Colour {
    std::uint8_t b, g, r;
};
class Canvas {
public:
    explicit Canvas(PixelBuffer& buffer) : buffer_(buffer) {}
    void fill(int x, int y, int w, int h, Colour c) {
        const int x0 = std::max(0, x), y0 = std::max(0, y);
        const int x1 = std::min(buffer_.width(), x + w), y1 = std::min(buffer_.height(), y + h);
        for (int row = y0; row < y1; ++row) {
            std::uint8_t* p = buffer_.baseAddress() + std::size_t(row) * buffer_.bytesPerRow() + std::size_t(x0) * 4;
            for (int col = x0; col < x1; ++col, p += 4) {
                p[0] = c.b; p[1] = c.g; p[2] = c.r; p[3] = 255;
            }
        }
    }
    // A 5 x 7 glyph in an 7 x 12 cell, its strokes taken from the character code.
    void glyph(int x, int y, std::uint32_t code, Colour c) {
        const std::uint64_t bits = mix(code * 0x9E3779B97F4A7C15ull + 7);
        for (int gy = 0; gy < 7; ++gy) {
            for (int gx = 0; gx < 5; ++gx) {
                if ((bits >> (gy * 5 + gx)) & 1u) fill(x + gx, y + 2 + gy, 1, 1, c);
            }
        }
    }
    // Lines of text filling a box; `seed` picks the words, `extra` characters more on the last line.
    void text(int x, int y, int w, int h, std::uint64_t seed, Colour c) {
        const int columns = w / 7, rows = h / 12;
        for (int line = 0; line < rows; ++line) {
            const std::uint64_t lineSeed = mix(seed + std::uint64_t(line));
            const int length = int(lineSeed % std::uint64_t(std::max(1, columns))) * 3 / 4 + columns / 4;
            for (int col = 0; col < std::min(length, columns); ++col) {
                const std::uint64_t ch = mix(lineSeed ^ std::uint64_t(col));
                if (ch % 6 == 0) continue;  // a space between words
                glyph(x + col * 7, y + line * 12, std::uint32_t(ch % 90), c);
            }
        }
    }
    void window(int x, int y, int w, int h, std::uint64_t seed) {
        fill(x - 1, y - 1, w + 2, h + 2, {90, 90, 90});
        fill(x, y, w, 24, {228, 226, 224});
        fill(x + 8, y + 7, 10, 10, {80, 80, 230});
        fill(x + 24, y + 7, 10, 10, {60, 200, 250});
        fill(x + 40, y + 7, 10, 10, {90, 200, 90});
        fill(x, y + 24, w, h - 24, {255, 255, 255});
        text(x + 12, y + 32, w - 24, h - 40, seed, {40, 40, 40});
    }
private:
    PixelBuffer& buffer_;
};
}  // namespace desktop_detail
inline std::shared_ptr<PixelBuffer> makeDesktopFrame(int width, int height, int frameIndex) {
    using namespace desktop_detail;
    auto created = PixelBuffer::create(width, height, PixelFormat::bgra);
    if (!created.buffer) throw std::runtime_error("desktop frame: pixel buffer creation failed");
    Canvas canvas(*created.buffer);
    canvas.fill(0, 0, width, height, {120, 84, 46});             // the desktop
    canvas.fill(0, height - 32, width, 32, {40, 36, 32});        // a task bar
    for (int i = 0; i < 8; ++i) canvas.fill(12 + i * 44, height - 26, 32, 20, {170, 140, 100});
    canvas.window(width / 20, height / 12, width * 9 / 20, height * 7 / 10, 1);
    canvas.window(width / 2, height / 16, width * 9 / 20, height * 2 / 5, 2);
    // A terminal: dark, with one more character typed each frame on its last line.
    const int tx = width / 2, ty = height / 2, tw = width * 9 / 20, th = height * 2 / 5;
    canvas.fill(tx, ty, tw, th, {30, 30, 30});
    canvas.text(tx + 10, ty + 10, tw - 20, th - 40, 3, {200, 220, 200});
    const int typed = frameIndex % std::max(1, (tw - 20) / 7);
    for (int i = 0; i < typed; ++i) {
        canvas.glyph(tx + 10 + i * 7, ty + th - 24, std::uint32_t(mix(std::uint64_t(i) + 99) % 90), {200, 220, 200});
    }
    // The moving window: six pixels right and three down a frame, wrapping around.
    const int mw = width / 3, mh = height / 3;
    const int mx = (frameIndex * 6) % std::max(1, width - mw), my = (frameIndex * 3) % std::max(1, height - mh - 32);
    canvas.window(mx, my, mw, mh, 4);
    return created.buffer;
}
}  // namespace mivodrell::testing
