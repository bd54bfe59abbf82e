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
#include <thread>
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
// Video-range I420 through the buffer conversion (on `pool` when given).
OwnedI420 videoRange(const PixelBuffer& bgra, WorkerPool* pool = nullptr) {
    OwnedI420 out(bgra.width(), bgra.height());
    EXPECT_TRUE(convertPixelBufferToI420(bgra, bgra.width(), bgra.height(), out.planes, pool));
    return out;
}
// Full-range '420f' in two bands of chroma rows, as a worker pool would split the picture, with
// its interleaved chroma taken apart into planes.
testing::YUVPicture fullRange(const PixelBuffer& bgra) {
    const int w = bgra.width(), h = bgra.height(), cw = (w + 1) / 2, ch = (h + 1) / 2;
    testing::YUVPicture out{w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w * h)), {}, {}};
    std::vector<std::uint8_t> uv(static_cast<std::size_t>(2 * cw * ch));
    for (int band = 0; band < 2; ++band) {
        convertBGRAToNV12FullBT709(bgra.baseAddress(), static_cast<std::ptrdiff_t>(bgra.bytesPerRow()), w, h,
                                   out.y.data(), w, uv.data(), 2 * cw, band * ((ch + 1) / 2), (ch + 1) / 2);
    }
    for (std::size_t i = 0; i < uv.size(); i += 2) {
        out.u.push_back(uv[i]);
        out.v.push_back(uv[i + 1]);
    }
    return out;
}
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
int maxDifference(const testing::YUVPicture& a, const testing::YUVPicture& b) {
    int worst = 0;
    for (const auto& [p, q] : {std::pair(&a.y, &b.y), std::pair(&a.u, &b.u), std::pair(&a.v, &b.v)}) {
        EXPECT_EQ(p->size(), q->size());
        for (std::size_t i = 0; i < std::min(p->size(), q->size()); ++i) {
            worst = std::max(worst, std::abs(int((*p)[i]) - int((*q)[i])));
        }
    }
    return worst;
}
// Exact values: the reference comparison below allows one step either way.
TEST(ColorConversion, KnownColoursGiveTheBT709Values) {
    struct Case { std::uint8_t r, g, b; std::array<int, 3> video, full; };
    const Case cases[] = {
        {0, 0, 0, {16, 128, 128}, {0, 128, 128}},         {255, 255, 255, {235, 128, 128}, {255, 128, 128}},
        {128, 128, 128, {126, 128, 128}, {128, 128, 128}}, {255, 0, 0, {63, 102, 240}, {54, 99, 255}},
        {0, 255, 0, {173, 42, 26}, {182, 30, 12}},         {0, 0, 255, {32, 240, 118}, {18, 255, 116}},
        {200, 100, 50, {117, 96, 174}, {118, 92, 180}}};  // full-range luma 117.65: rounded, not cut
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.r) << "," << int(c.g) << "," << int(c.b));
        auto pb = solidBGRA(4, 2, c.r, c.g, c.b);
        const auto video = videoRange(*pb).picture;
        const auto full = fullRange(*pb);
        EXPECT_EQ((std::array<int, 3>{video.y[0], video.u[0], video.v[0]}), c.video);
        EXPECT_EQ((std::array<int, 3>{full.y[0], full.u[0], full.v[0]}), c.full);
    }
}
TEST(ColorConversion, BothRangesMatchTheDoubleReferenceWithinOneStepAtAnySize) {
    const std::pair<int, int> sizes[] = {{1, 1}, {2, 2}, {3, 5}, {17, 9}, {64, 36}, {333, 101}};
    for (const auto& [w, h] : sizes) {
        SCOPED_TRACE(::testing::Message() << w << "x" << h);
        auto pb = randomBGRA(w, h, static_cast<unsigned>(w * 1000 + h));
        EXPECT_LE(maxDifference(videoRange(*pb).picture, testing::referenceI420(*pb)), 1);
        EXPECT_LE(maxDifference(fullRange(*pb), testing::referenceI420(*pb, true)), 1);
    }
}
TEST(ColorConversion, BandsOverThreadsGiveTheSameBytesAsOneThread) {
    WorkerPool pool(4);
    for (const auto& [w, h] : {std::pair{640, 360}, std::pair{98, 7}, std::pair{2, 2}}) {
        auto pb = randomBGRA(w, h, 7);
        EXPECT_EQ(maxDifference(videoRange(*pb).picture, videoRange(*pb, &pool).picture), 0) << w << "x" << h;
    }
}
TEST(ColorConversion, FullRangeBiPlanarIsCompressedIntoVideoRange) {
    auto pb = PixelBuffer::create(4, 2, PixelFormat::yuv420BiPlanarFullRange).buffer;
    const std::uint8_t luma[] = {0, 255, 128, 64};
    for (int y = 0; y < 2; ++y) std::memcpy(pb->baseAddressOfPlane(0) + y * pb->bytesPerRowOfPlane(0), luma, 4);
    const std::uint8_t chroma[] = {0, 255, 128, 128};
    std::memcpy(pb->baseAddressOfPlane(1), chroma, 4);
    const auto out = videoRange(*pb).picture;
    EXPECT_EQ(out.y, (std::vector<std::uint8_t>{16, 235, 126, 71, 16, 235, 126, 71}));
    EXPECT_EQ(out.u, (std::vector<std::uint8_t>{16, 128}));
    EXPECT_EQ(out.v, (std::vector<std::uint8_t>{240, 128}));
}
TEST(ColorConversion, RefusesAnotherSizeOrFormat) {
    auto pb = solidBGRA(8, 8, 1, 2, 3);
    OwnedI420 out(8, 8);
    EXPECT_FALSE(convertPixelBufferToI420(*pb, 8, 6, out.planes, nullptr));
}
// Two threads loop at once: each call returns when every one of its own indexes has run, once.
// The last item does some work, so that a call returning early would find it still running.
TEST(WorkerPool, EveryIndexRunsExactlyOnceAcrossRepeatedLoops) {
    WorkerPool pool(3);
    std::atomic<int> wrong{0};
    std::atomic<std::uint32_t> sink{0};  // keeps the work from being optimised away
    const auto loops = [&] {
        for (int round = 0; round < 200; ++round) {
            std::vector<std::atomic<int>> hits(static_cast<std::size_t>(round % 50 + 1));
            pool.run(static_cast<int>(hits.size()), [&](int i) {
                std::uint32_t state = static_cast<std::uint32_t>(i);
                for (int k = i + 1 == std::ssize(hits) ? 100000 : 0; k > 0; --k) state = state * 1664525u + 1013904223u;
                sink ^= state;
                hits[static_cast<std::size_t>(i)].fetch_add(1);
            });
            for (auto& h : hits) wrong += h.load() != 1;
        }
    };
    std::thread other(loops);
    loops();
    other.join();
    EXPECT_EQ(wrong.load(), 0);
    pool.run(0, [](int) { FAIL(); });
}
}}  // namespace mivodrell
