#pragma once
// A plain double-precision model of the compositor, pixel by pixel, written straight from the
// sampling rules (pixel centres, top-left coverage, texel-centre bilinear taps with clamp to edge)
// and the conversion formulas. The renderer's fixed-point output is compared with it.
#include "Platform/Base/Geometry.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Media/PixelBuffer.h"
#include "ViewportCore/DisplayTopology.h"
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <vector>
namespace mivodrell::reference {
struct Image {
    int width = 0, height = 0;
    std::vector<double> bgra;  // 4 values per pixel, 0...255 after quantisation
    Image() = default;
    Image(int w, int h) : width(w), height(h), bgra(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4, 0) {}
    std::size_t index(int x, int y, int c) const { return (static_cast<std::size_t>(y) * width + x) * 4 + c; }
    double& at(int x, int y, int c) { return bgra[index(x, y, c)]; }
    double at(int x, int y, int c) const { return bgra[index(x, y, c)]; }
};
// A copy of a BGRA buffer or texture (bytes, row stride) as an Image.
inline Image fromBgra(const std::uint8_t* data, std::size_t bytesPerRow, int width, int height) {
    Image image(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 4; ++c) image.at(x, y, c) = data[static_cast<std::size_t>(y) * bytesPerRow + static_cast<std::size_t>(x * 4 + c)];
    return image;
}
inline double quantise(double value01) { return std::round(std::clamp(value01, 0.0, 1.0) * 255.0); }
// Bilinear lookup with clamp to edge of channel `channel` of a texture of `size` texels whose
// texel (x, y) is fetch(x, y), values 0...1.
template <class Fetch>
double bilinear(Fetch fetch, int width, int height, double u, double v) {
    const double sx = u * width - 0.5, sy = v * height - 0.5, fx = std::floor(sx), fy = std::floor(sy), wx = sx - fx, wy = sy - fy;
    const auto clampX = [&](double x) { return truncateClamped<int>(std::clamp(x, 0.0, width - 1.0), 0); };
    const auto clampY = [&](double y) { return truncateClamped<int>(std::clamp(y, 0.0, height - 1.0), 0); };
    const int x0 = clampX(fx), x1 = clampX(fx + 1), y0 = clampY(fy), y1 = clampY(fy + 1);
    return (fetch(x0, y0) * (1 - wx) + fetch(x1, y0) * wx) * (1 - wy) + (fetch(x0, y1) * (1 - wx) + fetch(x1, y1) * wx) * wy;
}
struct Source { std::shared_ptr<PixelBuffer> buffer; CGRect sourceRect; CGRect contentUV; };
// `nearEdge`: pixel centre within 1e-3 px of a drawn quad's edge; `covered`: drawn by some quad;
// `video`: the samples in video range (Y, Cb, Cr, 255), black where nothing is drawn.
struct Composite { Image image, video; std::vector<bool> nearEdge, covered; };
// The composite of `crop` into width x height.
inline Composite composite(const DisplayTopology& topology, CGRect cropRect, int width, int height, const std::map<std::uint32_t, Source>& sources) {
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    Composite result{Image(width, height), Image(width, height), std::vector<bool>(pixels, false), std::vector<bool>(pixels, false)};
    for (int y = 0; y < height; ++y) for (int x = 0; x < width; ++x) for (int c = 0; c < 4; ++c) result.video.at(x, y, c) = std::array{16, 128, 128, 255}[c], result.image.at(x, y, 3) = 255;
    const CGRect C = cropRect.standardized();
    for (const auto& slice : topology.slices(C)) {
        auto found = sources.find(slice.display.id());
        if (found == sources.end()) continue;
        const Source& src = found->second;
        const CGRect S = src.sourceRect.standardized();
        if (!(S.width() > 0 && S.height() > 0)) continue;
        const CGRect I = S.intersection(slice.localRect);
        if (I.isNull() || !(I.width() > 0 && I.height() > 0)) continue;
        const CGRect UV = src.contentUV.standardized();
        const auto uAt = [&](double x) { return UV.minX() + UV.width() * (x - S.minX()) / S.width(); };
        const auto vAt = [&](double y) { return UV.minY() + UV.height() * (y - S.minY()) / S.height(); };
        const double uL = uAt(I.minX()), uR = uAt(I.maxX()), vT = vAt(I.minY()), vB = vAt(I.maxY());
        const CGRect G = I.offsetBy(slice.globalRect.minX() - slice.localRect.minX(), slice.globalRect.minY() - slice.localRect.minY());
        // Window coordinates of the quad's edges.
        const double XL = (G.minX() - C.minX()) / C.width() * width, XR = (G.maxX() - C.minX()) / C.width() * width;
        const double YT = (G.minY() - C.minY()) / C.height() * height, YB = (G.maxY() - C.minY()) / C.height() * height;
        const PixelBuffer& pb = *src.buffer;
        // Channel c of plane `plane` (Y: one byte per texel, CbCr: two) at (u, v).
        const auto sample = [&pb](int plane, int c, double u, double v) {
            const auto texel = [&pb, plane, c](int tx, int ty) {
                const auto offset = static_cast<std::size_t>(ty) * pb.bytesPerRowOfPlane(plane) + static_cast<std::size_t>(tx * (plane + 1) + c);
                return pb.baseAddressOfPlane(plane)[offset] / 255.0;
            };
            return bilinear(texel, pb.widthOfPlane(plane), pb.heightOfPlane(plane), u, v);
        };
        const double eps = 1e-3;
        for (int y = 0; y < height; ++y) {
            const double Y = y + 0.5, tv = vT + (vB - vT) * (Y - YT) / (YB - YT);
            for (int x = 0; x < width; ++x) {
                const double X = x + 0.5;
                const std::size_t index = static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x);
                const bool insideWide = XL - eps <= X && X < XR + eps && YT - eps <= Y && Y < YB + eps;
                const bool edge = std::fabs(X - XL) < eps || std::fabs(X - XR) < eps || std::fabs(Y - YT) < eps || std::fabs(Y - YB) < eps;
                // An edge of any quad makes the pixel uncertain, also under a later quad.
                if (insideWide && edge) result.nearEdge[index] = true;
                if (!(YT <= Y && Y < YB) || !(XL <= X && X < XR)) continue;
                const double tu = uL + (uR - uL) * (X - XL) / (XR - XL);
                const double Yv = sample(0, 0, tu, tv), Cb = sample(1, 0, tu, tv) - 0.5, Cr = sample(1, 1, tu, tv) - 0.5;
                result.image.at(x, y, 2) = quantise(Yv + 1.5748 * Cr);
                result.image.at(x, y, 1) = quantise(Yv - 0.1873 * Cb - 0.4681 * Cr);
                result.image.at(x, y, 0) = quantise(Yv + 1.8556 * Cb);
                for (int c = 0; c < 3; ++c) result.video.at(x, y, c) = std::round(c == 0 ? 16 + 219 * Yv : 128 + 224 * (c == 1 ? Cb : Cr));
                result.covered[index] = true;
            }
        }
    }
    return result;
}
// A bilinear sample of `image` at the centres of a width x height grid covering it.
inline Image resample(const Image& image, int width, int height) {
    Image out(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 4; ++c) {
                const auto fetch = [&](int tx, int ty) { return image.at(tx, ty, c) / 255.0; };
                out.at(x, y, c) = quantise(bilinear(fetch, image.width, image.height, (x + 0.5) / width, (y + 0.5) / height));
            }
    return out;
}
inline double luminance(const Image& image, int x, int y) {
    return (0.299 * image.at(x, y, 2) + 0.587 * image.at(x, y, 1) + 0.114 * image.at(x, y, 0)) / 255.0;
}
// The motion mask of a small frame against the previous one and the previous mask.
inline Image motionMask(const Image& current, const Image& previous, const Image& previousMask) {
    Image out(current.width, current.height);
    for (int y = 0; y < current.height; ++y)
        for (int x = 0; x < current.width; ++x) {
            const double m = std::fabs(luminance(current, x, y) - luminance(previous, x, y)) >= 0.035 ? 1.0 : 0.0;
            out.at(x, y, 0) = out.at(x, y, 1) = out.at(x, y, 2) = quantise(std::max(m, previousMask.at(x, y, 2) / 255.0 * 0.82));
            out.at(x, y, 3) = 255;
        }
    return out;
}
// Pixels whose luminance change lies within `margin` of the motion threshold.
inline std::vector<bool> nearThreshold(const Image& current, const Image& previous, double margin) {
    std::vector<bool> out;
    for (int y = 0; y < current.height; ++y)
        for (int x = 0; x < current.width; ++x) out.push_back(std::fabs(std::fabs(luminance(current, x, y) - luminance(previous, x, y)) - 0.035) <= margin);
    return out;
}
// The mix of the sharp frame with the magnified small frame, weighted by the magnified mask.
inline Image mix(const Image& sharp, const Image& small, const Image& mask) {
    Image out(sharp.width, sharp.height);
    for (int y = 0; y < sharp.height; ++y)
        for (int x = 0; x < sharp.width; ++x) {
            const double u = (x + 0.5) / sharp.width, v = (y + 0.5) / sharp.height;
            const auto maskRed = [&](int tx, int ty) { return mask.at(tx, ty, 2) / 255.0; };
            const double m = std::clamp(bilinear(maskRed, mask.width, mask.height, u, v) * 1.25, 0.0, 1.0);
            for (int c = 0; c < 4; ++c) {
                const auto fetch = [&](int tx, int ty) { return small.at(tx, ty, c) / 255.0; };
                const double blurred = bilinear(fetch, small.width, small.height, u, v);
                out.at(x, y, c) = quantise(sharp.at(x, y, c) / 255.0 * (1 - m) + blurred * m);
            }
        }
    return out;
}
}  // namespace mivodrell::reference
