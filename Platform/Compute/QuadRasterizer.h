#pragma once
// Rasterisation of axis-aligned quads given as a 4-vertex triangle strip in normalised device
// coordinates (x and y from -1 to 1, y up), the way a GPU rasterises into a W x H target:
//
// - window coordinates X = (x + 1) / 2 * W and Y = (1 - y) / 2 * H (Y down), snapped to 1/256 px;
// - pixel (i, j) has its centre at (i + 1/2, j + 1/2) and is covered when
//   X_left <= i + 1/2 < X_right and Y_top <= j + 1/2 < Y_bottom (the top-left rule);
// - texture coordinates are interpolated linearly at the pixel centre.
//
// Quads whose positions are not finite are discarded, as a GPU discards them. Only rectangles
// whose u varies with x alone and v with y alone are drawn; every pass of the engine draws those.

#include <array>
#include <cstdint>

namespace mivodrell {

// The vertex record the engine passes: a position in normalised device coordinates and a
// texture coordinate, four 32-bit floats (16 bytes).
struct Vertex {
    float x = 0;
    float y = 0;
    float u = 0;
    float v = 0;
};
static_assert(sizeof(Vertex) == 16);

using QuadVertices = std::array<Vertex, 4>;

// What a vertex function hands the rasteriser.
struct VertexOut {
    std::array<float, 4> position{0, 0, 0, 1};
    std::array<float, 2> uv{0, 0};
};

// The pixels a quad covers and its texture coordinates at their centres.
struct QuadCoverage {
    int columnBegin = 0;
    int columnEnd = 0;  // exclusive
    int rowBegin = 0;
    int rowEnd = 0;  // exclusive
    // u at the centre of column i is uOrigin + uPerColumn * i; v likewise per row.
    double uOrigin = 0;
    double uPerColumn = 0;
    double vOrigin = 0;
    double vPerRow = 0;

    bool isEmpty() const { return columnBegin >= columnEnd || rowBegin >= rowEnd; }
    double u(int column) const { return uOrigin + uPerColumn * static_cast<double>(column); }
    double v(int row) const { return vOrigin + vPerRow * static_cast<double>(row); }
    // Every field compared exactly (caches of per-quad tables key on it).
    bool operator==(const QuadCoverage&) const = default;
};

// Coverage of the strip (v0, v1, v2, v3) on a target of width x height pixels. Empty when the quad
// is degenerate, not finite, not an axis-aligned rectangle with separable texture coordinates, or
// outside the target.
QuadCoverage rasterizeQuad(const std::array<VertexOut, 4>& vertices, int width, int height);

}  // namespace mivodrell
