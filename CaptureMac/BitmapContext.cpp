#include "CaptureMac/BitmapContext.h"

#include "Platform/Base/FourCC.h"
#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace mivodrell {

namespace {

// How a clipped interval [a, b) of one axis covers whole pixels: a run of fully covered pixels
// and at most two partly covered ones at its ends.
struct Coverage {
    int fullBegin = 0;
    int fullEnd = 0;
    int edgeCount = 0;
    int edge[2] = {0, 0};
    double edgeCoverage[2] = {0, 0};
};

// a and b are finite with 0 <= a < b <= limit.
Coverage cover(double a, double b) {
    Coverage c;
    const int first = truncateClamped<int>(std::floor(a), 0);
    const int last = truncateClamped<int>(std::ceil(b), 0);  // one past the last touched pixel
    if (last - first == 1) {
        const double amount = b - a;
        if (amount >= 1) {
            c.fullBegin = first;
            c.fullEnd = last;
        } else {
            c.edge[0] = first;
            c.edgeCoverage[0] = amount;
            c.edgeCount = 1;
        }
        return c;
    }
    c.fullBegin = truncateClamped<int>(std::ceil(a), 0);
    c.fullEnd = truncateClamped<int>(std::floor(b), 0);
    if (first < c.fullBegin) {
        c.edge[c.edgeCount] = first;
        c.edgeCoverage[c.edgeCount] = static_cast<double>(c.fullBegin) - a;
        ++c.edgeCount;
    }
    if (c.fullEnd < last) {
        c.edge[c.edgeCount] = c.fullEnd;
        c.edgeCoverage[c.edgeCount] = b - static_cast<double>(c.fullEnd);
        ++c.edgeCount;
    }
    return c;
}

// Blends `color` over `count` pixels at `pixels` with the covered fraction `amount` in (0, 1).
void blendRun(std::uint8_t* pixels, int count, PixelColor color, double amount) {
    const double source[3] = {color.blue * amount, color.green * amount, color.red * amount};
    const double keep = 1.0 - amount;
    for (int i = 0; i < count; ++i) {
        std::uint8_t* p = pixels + 4 * static_cast<std::size_t>(i);
        for (int k = 0; k < 3; ++k) p[k] = roundClamped<std::uint8_t>(source[k] + p[k] * keep, 0);
        p[3] = 255;
    }
}

}  // namespace

PixelColor PixelColor::fromComponents(double red, double green, double blue) {
    return {roundClamped<std::uint8_t>(red * 255.0, 0), roundClamped<std::uint8_t>(green * 255.0, 0),
            roundClamped<std::uint8_t>(blue * 255.0, 0)};
}

std::optional<BitmapContext> BitmapContext::make(std::uint8_t* data, int width, int height, std::size_t bytesPerRow) {
    if (data == nullptr || width < 1 || height < 1) return std::nullopt;
    if (bytesPerRow / 4 < static_cast<std::size_t>(width) || bytesPerRow % 4 != 0) return std::nullopt;
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(std::uint32_t) != 0) return std::nullopt;
    return BitmapContext(data, width, height, bytesPerRow);
}

std::optional<BitmapContext> BitmapContext::make(PixelBuffer& buffer) {
    if (buffer.pixelFormat() != PixelFormat::bgra) return std::nullopt;
    return make(buffer.baseAddress(), buffer.width(), buffer.height(), buffer.bytesPerRow());
}

void BitmapContext::fillRect(const CGRect& rect, PixelColor color) {
    if (rect.isNull()) return;
    const CGRect r = rect.standardized();
    const double x0 = std::max(r.minX(), 0.0);
    const double x1 = std::min(r.maxX(), static_cast<double>(width_));
    const double y0 = std::max(r.minY(), 0.0);
    const double y1 = std::min(r.maxY(), static_cast<double>(height_));
    // Written so that NaN edges draw nothing.
    if (!(x0 < x1) || !(y0 < y1)) return;

    const Coverage columns = cover(x0, x1);
    const Coverage rows = cover(y0, y1);
    const std::uint32_t value = pixelValue(color);

    const auto fillRow = [&](int y, double rowAmount) {
        std::uint8_t* row = memoryRow(y);
        const int fullCount = columns.fullEnd - columns.fullBegin;
        if (fullCount > 0) {
            std::uint8_t* start = row + 4 * static_cast<std::size_t>(columns.fullBegin);
            if (rowAmount >= 1) {
                std::fill_n(reinterpret_cast<std::uint32_t*>(start), fullCount, value);
            } else {
                blendRun(start, fullCount, color, rowAmount);
            }
        }
        for (int e = 0; e < columns.edgeCount; ++e) {
            blendRun(row + 4 * static_cast<std::size_t>(columns.edge[e]), 1, color,
                     columns.edgeCoverage[e] * rowAmount);
        }
    };

    for (int y = rows.fullBegin; y < rows.fullEnd; ++y) fillRow(y, 1.0);
    for (int e = 0; e < rows.edgeCount; ++e) fillRow(rows.edge[e], rows.edgeCoverage[e]);
}

void BitmapContext::replicateRow(const std::uint8_t* row, int begin, int end) {
    const std::size_t bytes = 4 * static_cast<std::size_t>(width_);
    for (int y = std::max(begin, 0); y < std::min(end, height_); ++y) std::memcpy(memoryRow(y), row, bytes);
}

}  // namespace mivodrell
