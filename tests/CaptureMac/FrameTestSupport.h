#pragma once
// Plain per-pixel reference drawing for the synthetic frame and bitmap context tests.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>
namespace mivodrell::testing {
struct Rgb8 { int red = 0; int green = 0; int blue = 0; friend bool operator==(const Rgb8&, const Rgb8&) = default; };
// Overlap of pixel [i, i + 1) with the interval [a, b).
inline double overlap(int i, double a, double b) {
    return std::max(0.0, std::min(i + 1.0, b) - std::max(static_cast<double>(i), a));
}
inline int blendChannel(int source, int destination, double amount) {
    return static_cast<int>(std::lround(source * amount + destination * (1.0 - amount)));
}
inline Rgb8 blend(Rgb8 source, Rgb8 destination, double amount) {
    if (amount <= 0) return destination;
    return {blendChannel(source.red, destination.red, amount), blendChannel(source.green, destination.green, amount),
            blendChannel(source.blue, destination.blue, amount)};
}
// An image in context coordinates: pixel (x, y) with y = 0 at the bottom.
struct ReferenceImage {
    int width = 0;
    int height = 0;
    std::vector<Rgb8> pixels;
    ReferenceImage(int w, int h, Rgb8 fill) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h, fill) {}
    Rgb8& at(int x, int y) { return pixels[static_cast<std::size_t>(y) * width + x]; }
    const Rgb8& at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
    // Area-coverage fill of [x0, x1) x [y0, y1).
    void fill(double x0, double y0, double x1, double y1, Rgb8 color) {
        for (int y = 0; y < height; ++y) {
            const double cy = overlap(y, y0, y1);
            if (cy <= 0) continue;
            for (int x = 0; x < width; ++x) at(x, y) = blend(color, at(x, y), overlap(x, x0, x1) * cy);
        }
    }
};
// Reads pixel (x, y) in context coordinates from B, G, R, X memory; X must be 255.
inline Rgb8 readPixel(const std::uint8_t* base, std::size_t bytesPerRow, int height, int x, int y, bool* xIsOpaque = nullptr) {
    const std::uint8_t* p = base + static_cast<std::size_t>(height - 1 - y) * bytesPerRow + 4 * static_cast<std::size_t>(x);
    if (xIsOpaque) *xIsOpaque = p[3] == 255;
    return {p[2], p[1], p[0]};
}
}  // namespace mivodrell::testing
