#include "Platform/Media/ColorConversion.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Base/WorkerPool.h"
#include "support/HEVCTestDecoder.h"
#include <gtest/gtest.h>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <random>
namespace mivodrell { namespace {
struct OwnedI420 {
    testing::YUVPicture picture;
    I420Planes planes;
    OwnedI420(int w, int h) {
        picture.width = w;
        picture.height = h;
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        picture.y.assign(static_cast<std::size_t>(w * h), 0);
        picture.u.assign(static_cast<std::size_t>(cw * ch), 0);
        picture.v.assign(static_cast<std::size_t>(cw * ch), 0);
        planes = {picture.y.data(), w, picture.u.data(), cw, picture.v.data(), cw};
    }
};
std::shared_ptr<PixelBuffer> randomBGRA(int w, int h, unsigned seed) {
    auto pb = PixelBuffer::create(w, h, PixelFormat::bgra).buffer;
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = pb->baseAddress() + static_cast<std::size_t>(y) * pb->bytesPerRow();
        for (int x = 0; x < 4 * w; ++x) row[x] = static_cast<std::uint8_t>(rng());
    }
    return pb;
}
std::shared_ptr<PixelBuffer> solidBGRA(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    auto pb = PixelBuffer::create(w, h, PixelFormat::bgra).buffer;
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = pb->baseAddress() + static_cast<std::size_t>(y) * pb->bytesPerRow();
        for (int x = 0; x < w; ++x) std::memcpy(row + 4 * x, std::array<std::uint8_t, 4>{b, g, r, 255}.data(), 4);
    }
    return pb;
}
int maxDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    int worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    return worst;
}
TEST(ColorConversion, KnownColoursGiveTheBT709VideoRangeValues) {
    struct Case { std::uint8_t r, g, b, y, u, v; };
    const Case cases[] = {
        {0, 0, 0, 16, 128, 128},       {255, 255, 255, 235, 128, 128}, {128, 128, 128, 126, 128, 128},
        {255, 0, 0, 63, 102, 240},     {0, 255, 0, 173, 42, 26},       {0, 0, 255, 32, 240, 118}};
    for (const auto& c : cases) {
        OwnedI420 out(4, 2);
        auto pb = solidBGRA(4, 2, c.r, c.g, c.b);
        ASSERT_TRUE(convertPixelBufferToI420(*pb, 4, 2, out.planes, nullptr));
        EXPECT_EQ(out.picture.y[0], c.y) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_EQ(out.picture.u[0], c.u) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_EQ(out.picture.v[0], c.v) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    }
}
TEST(ColorConversion, MatchesTheDoubleReferenceWithinOneStepAtAnySize) {
    const std::pair<int, int> sizes[] = {{1, 1}, {2, 2}, {3, 5}, {17, 9}, {64, 36}, {333, 101}};
    for (const auto& [w, h] : sizes) {
        auto pb = randomBGRA(w, h, static_cast<unsigned>(w * 1000 + h));
        OwnedI420 out(w, h);
        ASSERT_TRUE(convertPixelBufferToI420(*pb, w, h, out.planes, nullptr));
        const auto ref = testing::referenceI420(*pb);
        EXPECT_LE(maxDifference(out.picture.y, ref.y), 1) << w << "x" << h;
        EXPECT_LE(maxDifference(out.picture.u, ref.u), 1) << w << "x" << h;
        EXPECT_LE(maxDifference(out.picture.v, ref.v), 1) << w << "x" << h;
    }
}
TEST(ColorConversion, BandsOverThreadsGiveTheSameBytesAsOneThread) {
    WorkerPool pool(4);
    for (const auto& [w, h] : {std::pair{640, 360}, std::pair{98, 7}, std::pair{2, 2}}) {
        auto pb = randomBGRA(w, h, 7);
        OwnedI420 single(w, h), split(w, h);
        ASSERT_TRUE(convertPixelBufferToI420(*pb, w, h, single.planes, nullptr));
        ASSERT_TRUE(convertPixelBufferToI420(*pb, w, h, split.planes, &pool));
        EXPECT_EQ(single.picture.y, split.picture.y);
        EXPECT_EQ(single.picture.u, split.picture.u);
        EXPECT_EQ(single.picture.v, split.picture.v);
    }
}
// Full-range BT.709 '420f' from BGRA against a double-precision reference: luma per pixel,
// chroma from the mean colour of each 2x2 block (a lone last row or column counts its pixels
// twice), known colours exactly, any size, any split into bands.
TEST(ColorConversion, BGRAToFullRangeBiPlanarMatchesTheDoubleReference) {
    struct Known {
        std::uint8_t r, g, b, y, cb, cr;
    };
    const Known known[] = {{0, 0, 0, 0, 128, 128},   {255, 255, 255, 255, 128, 128}, {255, 0, 0, 54, 99, 255},
                           {0, 255, 0, 182, 30, 12}, {0, 0, 255, 18, 255, 116}};
    for (const auto& k : known) {
        auto pb = solidBGRA(2, 2, k.r, k.g, k.b);
        std::uint8_t y[4], uv[2];
        convertBGRAToNV12FullBT709(pb->baseAddress(), static_cast<std::ptrdiff_t>(pb->bytesPerRow()), 2, 2, y, 2, uv, 2, 0, 1);
        EXPECT_EQ(y[0], k.y) << int(k.r) << "," << int(k.g) << "," << int(k.b);
        EXPECT_EQ(uv[0], k.cb) << int(k.r) << "," << int(k.g) << "," << int(k.b);
        EXPECT_EQ(uv[1], k.cr) << int(k.r) << "," << int(k.g) << "," << int(k.b);
    }
    const std::pair<int, int> sizes[] = {{1, 1}, {3, 5}, {17, 9}, {333, 101}};
    for (const auto& [w, h] : sizes) {
        auto pb = randomBGRA(w, h, static_cast<unsigned>(w * 7 + h));
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        std::vector<std::uint8_t> y(static_cast<std::size_t>(w * h)), uv(static_cast<std::size_t>(2 * cw * ch));
        // Two bands, as a worker pool would split the picture.
        for (int band = 0; band < 2; ++band) {
            const int first = band * ((ch + 1) / 2);
            convertBGRAToNV12FullBT709(pb->baseAddress(), static_cast<std::ptrdiff_t>(pb->bytesPerRow()), w, h, y.data(), w,
                                       uv.data(), 2 * cw, first, (ch + 1) / 2);
        }
        auto rgb = [&](int px, int py, int channel) {
            return double(pb->baseAddress()[static_cast<std::size_t>(py) * pb->bytesPerRow() + 4 * px + (2 - channel)]);
        };
        int worst = 0;
        for (int py = 0; py < h; ++py) {
            for (int px = 0; px < w; ++px) {
                const double luma = 0.2126 * rgb(px, py, 0) + 0.7152 * rgb(px, py, 1) + 0.0722 * rgb(px, py, 2);
                worst = std::max(worst, std::abs(int(y[static_cast<std::size_t>(py * w + px)]) - int(std::lround(luma))));
            }
        }
        for (int cy = 0; cy < ch; ++cy) {
            for (int cx = 0; cx < cw; ++cx) {
                double mean[3] = {};
                for (int dy = 0; dy < 2; ++dy) {
                    for (int dx = 0; dx < 2; ++dx) {
                        for (int c = 0; c < 3; ++c) mean[c] += rgb(std::min(2 * cx + dx, w - 1), std::min(2 * cy + dy, h - 1), c) / 4;
                    }
                }
                const double luma = 0.2126 * mean[0] + 0.7152 * mean[1] + 0.0722 * mean[2];
                const std::size_t at = static_cast<std::size_t>(cy * 2 * cw + 2 * cx);
                worst = std::max(worst, std::abs(int(uv[at]) - int(std::lround(128 + (mean[2] - luma) / 1.8556))));
                worst = std::max(worst, std::abs(int(uv[at + 1]) - int(std::lround(128 + (mean[0] - luma) / 1.5748))));
            }
        }
        EXPECT_LE(worst, 1) << w << "x" << h;
    }
}
TEST(ColorConversion, FullRangeBiPlanarIsCompressedIntoVideoRange) {
    auto pb = PixelBuffer::create(4, 2, PixelFormat::yuv420BiPlanarFullRange).buffer;
    const std::uint8_t luma[] = {0, 255, 128, 64};
    for (int y = 0; y < 2; ++y) std::memcpy(pb->baseAddressOfPlane(0) + y * pb->bytesPerRowOfPlane(0), luma, 4);
    const std::uint8_t chroma[] = {0, 255, 128, 128};
    std::memcpy(pb->baseAddressOfPlane(1), chroma, 4);
    OwnedI420 out(4, 2);
    ASSERT_TRUE(convertPixelBufferToI420(*pb, 4, 2, out.planes, nullptr));
    EXPECT_EQ(out.picture.y[0], 16);
    EXPECT_EQ(out.picture.y[1], 235);
    EXPECT_EQ(out.picture.y[2], 126);
    EXPECT_EQ(out.picture.y[3], 71);
    EXPECT_EQ(out.picture.u[0], 16);
    EXPECT_EQ(out.picture.v[0], 240);
    EXPECT_EQ(out.picture.u[1], 128);
    EXPECT_EQ(out.picture.v[1], 128);
}
TEST(ColorConversion, RefusesAnotherSizeOrFormat) {
    auto pb = solidBGRA(8, 8, 1, 2, 3);
    OwnedI420 out(8, 8);
    EXPECT_FALSE(convertPixelBufferToI420(*pb, 8, 6, out.planes, nullptr));
}
TEST(WorkerPool, EveryIndexRunsExactlyOnceAcrossRepeatedLoops) {
    WorkerPool pool(3);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::atomic<int>> hits(static_cast<std::size_t>(round + 1));
        pool.run(round + 1, [&](int i) { hits[static_cast<std::size_t>(i)].fetch_add(1); });
        for (auto& h : hits) ASSERT_EQ(h.load(), 1);
    }
    pool.run(0, [](int) { FAIL(); });
}
}}  // namespace mivodrell
