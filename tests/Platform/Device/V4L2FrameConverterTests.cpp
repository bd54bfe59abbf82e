#include "Platform/Base/FourCC.h"
#include "Platform/Device/V4L2/V4L2FrameConverter.h"
#include "Platform/Media/PixelBuffer.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace mivodrell {
namespace {

// Frames are made here: smooth luma and chroma ramps, as a camera would see them.
std::uint8_t lumaAt(int x, int y) { return static_cast<std::uint8_t>(16 + (x * 3 + y * 2) % 220); }
std::uint8_t cbAt(int x, int y) { return static_cast<std::uint8_t>(64 + (x + y) % 128); }
std::uint8_t crAt(int x, int y) { return static_cast<std::uint8_t>(192 - (2 * x + y) % 128); }

// BT.601 studio-range Y'CbCr to RGB, the plain formula.
std::array<double, 3> referenceRGB(double y, double cb, double cr) {
    const double l = 1.164 * (y - 16);
    return {std::clamp(l + 1.596 * (cr - 128), 0.0, 255.0),
            std::clamp(l - 0.391 * (cb - 128) - 0.813 * (cr - 128), 0.0, 255.0),
            std::clamp(l + 2.018 * (cb - 128), 0.0, 255.0)};
}

std::shared_ptr<PixelBuffer> bgraBuffer(int w, int h) {
    auto created = PixelBuffer::create(w, h, PixelFormat::bgra);
    EXPECT_TRUE(created.buffer);
    return created.buffer;
}

// Largest difference of any colour component from the reference, over the whole frame.
template <class Reference>
double maxError(const PixelBuffer& bgra, Reference&& reference) {
    double worst = 0;
    for (int y = 0; y < bgra.height(); ++y) {
        const std::uint8_t* row = bgra.baseAddress() + static_cast<std::size_t>(y) * bgra.bytesPerRow();
        for (int x = 0; x < bgra.width(); ++x) {
            const auto rgb = reference(x, y);
            worst = std::max({worst, std::abs(row[4 * x + 2] - rgb[0]), std::abs(row[4 * x + 1] - rgb[1]),
                              std::abs(row[4 * x + 0] - rgb[2])});
            EXPECT_EQ(row[4 * x + 3], 255);
        }
    }
    return worst;
}

// YUYV: Y0 Cb Y1 Cr per pixel pair, chroma sampled at the pair's first pixel.
std::vector<std::uint8_t> makeYUYV(int w, int h, std::size_t stride) {
    std::vector<std::uint8_t> frame(stride * static_cast<std::size_t>(h), 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; x += 2) {
            std::uint8_t* p = frame.data() + static_cast<std::size_t>(y) * stride + 2 * static_cast<std::size_t>(x);
            p[0] = lumaAt(x, y);
            p[1] = cbAt(x, y);
            p[2] = lumaAt(x + 1, y);
            p[3] = crAt(x, y);
        }
    }
    return frame;
}

// NV12: a luma plane, then interleaved Cb,Cr at half size (rounded up), both with `stride`.
std::vector<std::uint8_t> makeNV12(int w, int h, std::size_t stride) {
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    std::vector<std::uint8_t> frame(stride * static_cast<std::size_t>(h + ch), 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) frame[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x)] = lumaAt(x, y);
    }
    std::uint8_t* chroma = frame.data() + stride * static_cast<std::size_t>(h);
    for (int y = 0; y < ch; ++y) {
        for (int x = 0; x < cw; ++x) {
            chroma[static_cast<std::size_t>(y) * stride + 2 * static_cast<std::size_t>(x)] = cbAt(2 * x, 2 * y);
            chroma[static_cast<std::size_t>(y) * stride + 2 * static_cast<std::size_t>(x) + 1] = crAt(2 * x, 2 * y);
        }
    }
    return frame;
}

TEST(V4L2FrameConverter, PackedAndBiPlanarFramesMatchThePlainFormula) {
    struct Case {
        const char* name;
        std::uint32_t format;
        int width, height;
        std::size_t stride;  // 0: packed
    };
    const std::vector<Case> cases = {
        {"YUYV", V4L2FrameConverter::yuyv, 64, 48, 0},
        {"YUYV with padded rows", V4L2FrameConverter::yuyv, 40, 30, 128},
        {"NV12", V4L2FrameConverter::nv12, 64, 48, 0},
        {"NV12 of odd size with padded rows", V4L2FrameConverter::nv12, 33, 17, 64},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool yuyv = c.format == V4L2FrameConverter::yuyv;
        const std::size_t stride = c.stride ? c.stride : static_cast<std::size_t>(yuyv ? 2 * c.width : c.width);
        const auto frame = yuyv ? makeYUYV(c.width, c.height, stride) : makeNV12(c.width, c.height, stride);
        auto bgra = bgraBuffer(c.width, c.height);
        ASSERT_FALSE(V4L2FrameConverter::convert(c.format, frame.data(), frame.size(), c.width, c.height, c.stride, *bgra));
        const double error = maxError(*bgra, [&](int x, int y) {
            const int cx = x & ~1, cy = yuyv ? y : (y & ~1);
            return referenceRGB(lumaAt(x, y), cbAt(cx, cy), crAt(cx, cy));
        });
        EXPECT_LE(error, 3.0);
    }
}

// A BGRA picture compressed with libturbojpeg, as a camera's Motion-JPEG frame.
std::vector<std::uint8_t> encodeJPEG(const std::vector<std::uint8_t>& bgra, int w, int h, int subsampling) {
    tjhandle encoder = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const int status = tjCompress2(encoder, bgra.data(), w, 4 * w, h, TJPF_BGRA, &jpeg, &size, subsampling, 92, 0);
    std::vector<std::uint8_t> out;
    if (status == 0) out.assign(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(encoder);
    return out;
}

std::vector<std::uint8_t> decodeJPEG(const std::vector<std::uint8_t>& jpeg, int w, int h) {
    tjhandle decoder = tjInitDecompress();
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(4 * w * h));
    const int status = tjDecompress2(decoder, jpeg.data(), jpeg.size(), bgra.data(), w, 4 * w, h, TJPF_BGRA, 0);
    tjDestroy(decoder);
    if (status != 0) bgra.clear();
    return bgra;
}

std::vector<std::uint8_t> picture(int w, int h) {
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(4 * w * h));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            auto* p = bgra.data() + 4 * (static_cast<std::size_t>(y) * w + x);
            p[0] = static_cast<std::uint8_t>(255 * x / w);
            p[1] = static_cast<std::uint8_t>(255 * y / h);
            p[2] = static_cast<std::uint8_t>(128 + 100 * std::sin(x * 0.1) * std::cos(y * 0.1));
            p[3] = 255;
        }
    }
    return bgra;
}

TEST(V4L2FrameConverter, MotionJPEGFramesMatchLibturbojpegsDecodeAndTheirSource) {
    for (const int subsampling : {TJSAMP_420, TJSAMP_422}) {
        SCOPED_TRACE(subsampling);
        const int w = 96, h = 64;
        const auto source = picture(w, h);
        const auto jpeg = encodeJPEG(source, w, h, subsampling);
        ASSERT_FALSE(jpeg.empty());
        const auto reference = decodeJPEG(jpeg, w, h);
        ASSERT_FALSE(reference.empty());
        auto bgra = bgraBuffer(w, h);
        ASSERT_FALSE(V4L2FrameConverter::convert(V4L2FrameConverter::mjpeg, jpeg.data(), jpeg.size(), w, h, 0, *bgra));
        const auto pixelsOf = [](const std::vector<std::uint8_t>& image, int width) {
            return [&image, width](int x, int y) {
                const auto* p = image.data() + 4 * (static_cast<std::size_t>(y) * width + x);
                return std::array<double, 3>{static_cast<double>(p[2]), static_cast<double>(p[1]), static_cast<double>(p[0])};
            };
        };
        EXPECT_LE(maxError(*bgra, pixelsOf(reference, w)), 1.0);
        EXPECT_LE(maxError(*bgra, pixelsOf(source, w)), 40.0);  // quality 92 around the sharpest ramps
    }
    // JFIF is full range: black, white and the studio-range limits keep their levels.
    for (const int level : {0, 16, 128, 235, 255}) {
        SCOPED_TRACE(level);
        const int w = 32, h = 16;
        std::vector<std::uint8_t> flat(static_cast<std::size_t>(4 * w * h), static_cast<std::uint8_t>(level));
        for (std::size_t i = 3; i < flat.size(); i += 4) flat[i] = 255;
        const auto jpeg = encodeJPEG(flat, w, h, TJSAMP_422);
        auto bgra = bgraBuffer(w, h);
        ASSERT_FALSE(V4L2FrameConverter::convert(V4L2FrameConverter::jpeg, jpeg.data(), jpeg.size(), w, h, 0, *bgra));
        EXPECT_LE(maxError(*bgra, [&](int, int) { return std::array<double, 3>{1.0 * level, 1.0 * level, 1.0 * level}; }), 1.0);
    }
}

TEST(V4L2FrameConverter, RefusesFramesThatDoNotMatchTheirFormatOrSize) {
    const int w = 32, h = 16;
    const auto yuyv = makeYUYV(w, h, 2 * w);
    const auto nv12 = makeNV12(w, h, w);
    const auto jpeg = encodeJPEG(picture(w, h), w, h, TJSAMP_420);
    const auto bigJpeg = encodeJPEG(picture(2 * w, h), 2 * w, h, TJSAMP_420);
    std::vector<std::uint8_t> garbage(jpeg.size(), 0x5A);
    garbage[0] = 0xFF;
    garbage[1] = 0xD8;  // a JPEG start marker and nothing sensible after it
    auto truncated = jpeg;
    truncated.resize(20);
    struct Case {
        const char* name;
        std::uint32_t format;
        const std::vector<std::uint8_t>* data;
        std::size_t size;
        std::size_t stride;
        int bufferWidth;
    };
    const std::vector<Case> cases = {
        {"YUYV one byte short", V4L2FrameConverter::yuyv, &yuyv, yuyv.size() - 1, 0, w},
        {"YUYV stride below the row", V4L2FrameConverter::yuyv, &yuyv, yuyv.size(), 2 * w - 2, w},
        {"NV12 without its chroma", V4L2FrameConverter::nv12, &nv12, static_cast<std::size_t>(w * h), 0, w},
        {"JPEG of garbage", V4L2FrameConverter::mjpeg, &garbage, garbage.size(), 0, w},
        {"JPEG cut short", V4L2FrameConverter::mjpeg, &truncated, truncated.size(), 0, w},
        {"JPEG of another size", V4L2FrameConverter::mjpeg, &bigJpeg, bigJpeg.size(), 0, w},
        {"unsupported format", v4l2FourCC('R', 'G', 'B', '3'), &yuyv, yuyv.size(), 0, w},
        {"buffer of another size", V4L2FrameConverter::yuyv, &yuyv, yuyv.size(), 0, w + 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bgra = bgraBuffer(c.bufferWidth, h);
        const auto error = V4L2FrameConverter::convert(c.format, c.data->data(), c.size, w, h, c.stride, *bgra);
        EXPECT_TRUE(error);
    }
}

}  // namespace
}  // namespace mivodrell
