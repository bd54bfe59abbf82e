#pragma once
// A 2-D drawing surface over 32-bit pixels stored B, G, R, X in memory, with its origin at the
// bottom-left corner: context row y is memory row height - 1 - y.
//
// Rectangles are filled with opaque colours. An edge that falls inside a pixel covers it only in
// part, and that pixel becomes the colour blended over what is there in proportion to the covered
// area, the way a 2-D graphics context anti-aliases by default. The X byte is always written 255.
// The context does not own the memory.

#include "Platform/Base/Geometry.h"
#include "Platform/Media/PixelBuffer.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace mivodrell {

// An opaque colour as 8-bit components.
struct PixelColor {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;

    // Components in [0, 1], each stored as round(component x 255); out-of-range values are
    // clamped and NaN gives 0.
    static PixelColor fromComponents(double red, double green, double blue);

    friend constexpr bool operator==(const PixelColor&, const PixelColor&) = default;
};

class BitmapContext {
public:
    // Nothing when the memory cannot hold width x height pixels of 4 bytes at bytesPerRow
    // (no memory, a size below 1, rows too short, or rows not 4-byte aligned).
    static std::optional<BitmapContext> make(std::uint8_t* data, int width, int height, std::size_t bytesPerRow);
    // Over plane 0 of a 'BGRA' buffer; nothing for any other format.
    static std::optional<BitmapContext> make(PixelBuffer& buffer);

    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t bytesPerRow() const { return bytesPerRow_; }

    // The memory row that holds context row y (0 is the bottom row), y in [0, height).
    std::uint8_t* memoryRow(int y) const { return data_ + static_cast<std::size_t>(height_ - 1 - y) * bytesPerRow_; }

    // Fills `rect` (context coordinates, clipped to the bitmap) with `color`, partly covered
    // pixels blended by area coverage. Infinite edges are clipped like any other; null and empty
    // rectangles and rectangles with a NaN edge draw nothing.
    void fillRect(const CGRect& rect, PixelColor color);

    // The 32-bit word of an opaque pixel of `color` as it lies in memory (B, G, R, 255).
    static std::uint32_t pixelValue(PixelColor color) {
        const std::uint8_t bytes[4] = {color.blue, color.green, color.red, 255};
        std::uint32_t value = 0;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

    // Copies `width` pixels (4 bytes each) from `row` into each of the context rows [begin, end),
    // clipped to the bitmap. `row` must not lie inside the bitmap's rows being written.
    void replicateRow(const std::uint8_t* row, int begin, int end);

private:
    BitmapContext(std::uint8_t* data, int width, int height, std::size_t bytesPerRow)
        : data_(data), width_(width), height_(height), bytesPerRow_(bytesPerRow) {}

    std::uint8_t* data_;
    int width_;
    int height_;
    std::size_t bytesPerRow_;
};

}  // namespace mivodrell
