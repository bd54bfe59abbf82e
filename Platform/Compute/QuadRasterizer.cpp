#include "Platform/Compute/QuadRasterizer.h"

#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <cmath>

namespace mivodrell {

namespace {

// One axis of the quad: the two window coordinates and the texture coordinate at each.
struct Axis {
    double low = 0;
    double high = 0;
    double coordinateAtLow = 0;
    double coordinateAtHigh = 0;
};

// Finds the two distinct positions along one axis and checks that the texture coordinate
// depends on that position only.
bool separate(const std::array<double, 4>& positions, const std::array<double, 4>& coordinates, Axis& axis) {
    axis.low = *std::min_element(positions.begin(), positions.end());
    axis.high = *std::max_element(positions.begin(), positions.end());
    if (!(axis.low < axis.high)) return false;
    bool haveLow = false;
    bool haveHigh = false;
    for (std::size_t k = 0; k < 4; ++k) {
        if (positions[k] == axis.low) {
            if (haveLow && coordinates[k] != axis.coordinateAtLow) return false;
            axis.coordinateAtLow = coordinates[k];
            haveLow = true;
        } else if (positions[k] == axis.high) {
            if (haveHigh && coordinates[k] != axis.coordinateAtHigh) return false;
            axis.coordinateAtHigh = coordinates[k];
            haveHigh = true;
        } else {
            return false;
        }
    }
    return haveLow && haveHigh;
}

// Pixel centres k + 1/2 with low <= k + 1/2 < high, limited to [0, extent).
void coveredRange(const Axis& axis, int extent, int& begin, int& end) {
    const double limit = static_cast<double>(extent);
    begin = truncateClamped<int>(std::clamp(std::ceil(axis.low - 0.5), 0.0, limit), 0);
    end = truncateClamped<int>(std::clamp(std::ceil(axis.high - 0.5), 0.0, limit), 0);
}

// Window positions are snapped to 1/256 pixel, as GPU rasterisers do with their fixed-point
// vertex positions: a float32 vertex that means "exactly this pixel edge" lands on it.
double snapToSubpixel(double position) {
    if (!std::isfinite(position) || std::fabs(position) > 1e12) return position;
    return std::nearbyint(position * 256.0) / 256.0;
}

}  // namespace

QuadCoverage rasterizeQuad(const std::array<VertexOut, 4>& vertices, int width, int height) {
    QuadCoverage coverage;
    if (width <= 0 || height <= 0) return coverage;
    std::array<double, 4> xs{}, ys{}, us{}, vs{};
    for (std::size_t k = 0; k < 4; ++k) {
        const auto& vertex = vertices[k];
        const double w = vertex.position[3];
        if (!std::isfinite(w) || w == 0) return coverage;
        const double x = vertex.position[0] / w;
        const double y = vertex.position[1] / w;
        xs[k] = snapToSubpixel((x + 1.0) / 2.0 * static_cast<double>(width));
        ys[k] = snapToSubpixel((1.0 - y) / 2.0 * static_cast<double>(height));
        us[k] = vertex.uv[0];
        vs[k] = vertex.uv[1];
        if (!std::isfinite(xs[k]) || !std::isfinite(ys[k]) || !std::isfinite(us[k]) || !std::isfinite(vs[k])) {
            return coverage;
        }
    }
    Axis horizontal, vertical;
    if (!separate(xs, us, horizontal) || !separate(ys, vs, vertical)) return coverage;

    coveredRange(horizontal, width, coverage.columnBegin, coverage.columnEnd);
    coveredRange(vertical, height, coverage.rowBegin, coverage.rowEnd);
    if (coverage.isEmpty()) return QuadCoverage{};

    coverage.uPerColumn =
        (horizontal.coordinateAtHigh - horizontal.coordinateAtLow) / (horizontal.high - horizontal.low);
    coverage.uOrigin = horizontal.coordinateAtLow + coverage.uPerColumn * (0.5 - horizontal.low);
    coverage.vPerRow = (vertical.coordinateAtHigh - vertical.coordinateAtLow) / (vertical.high - vertical.low);
    coverage.vOrigin = vertical.coordinateAtLow + coverage.vPerRow * (0.5 - vertical.low);
    return coverage;
}

}  // namespace mivodrell
