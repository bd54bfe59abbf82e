#include "CaptureMac/SyntheticDisplayContent.h"
#include "CaptureMac/SyntheticFrameSource.h"
#include "FrameTestSupport.h"
#include "Platform/Base/FourCC.h"
#include "support/Thrown.h"
#include <gtest/gtest.h>
#include <cmath>
namespace mivodrell { namespace {
using testing::ReferenceImage;
using testing::Rgb8;
using Error = SyntheticFrameSource::FrameSourceError;
using testing::thrown;
constexpr Rgb8 background{31, 31, 36};
constexpr Rgb8 bar{242, 89, 38};
const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();
// The generator written out from its definition, independent of the one under test.
struct ReferenceNoise {
    std::uint64_t state;
    explicit ReferenceNoise(std::int64_t seed) : state(static_cast<std::uint64_t>(seed) + 11400714819323198485ull) {}
    double next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return std::ldexp(static_cast<double>(state >> 33), -31);
    }
};
std::int64_t referenceSeed(double time) {
    const double micro = std::round(time * 1000000.0);
    if (!std::isfinite(micro) || micro < -9223372036854775808.0 || micro >= 9223372036854775808.0) return 0;
    return std::llround(micro);
}
ReferenceImage referenceFrame(int width, int height, double time, double density) {
    ReferenceImage image(width, height, background);
    const double w = width;
    double phase = std::fmod(time, 1.0);
    if (std::isnan(phase) || phase < 0) phase = 0;
    const double x = (w - 0.12 * w) * phase;
    image.fill(x, 0, x + 0.12 * w, height, bar);
    if (density > 0) {
        ReferenceNoise noise(referenceSeed(time));
        for (int r = 0; r < height / 6; ++r) {
            for (int c = 0; c < width / 6; ++c) {
                if (!(density > noise.next())) continue;
                const double red = noise.next(), green = noise.next(), blue = noise.next();
                const Rgb8 color{static_cast<int>(std::lround(red * 255)), static_cast<int>(std::lround(green * 255)),
                                 static_cast<int>(std::lround(blue * 255))};
                for (int y = 6 * r; y < 6 * r + 6; ++y)
                    for (int xx = 6 * c; xx < 6 * c + 6; ++xx) image.at(xx, y) = color;
            }
        }
    }
    return image;
}
// Number of pixels that differ from the reference (0 when equal), and whether every X byte is 255.
int differences(const PixelBuffer& buffer, const ReferenceImage& expected, bool& opaque) {
    int count = 0;
    opaque = true;
    for (int y = 0; y < expected.height; ++y) {
        for (int x = 0; x < expected.width; ++x) {
            bool isOpaque = false;
            const Rgb8 got = testing::readPixel(buffer.baseAddress(), buffer.bytesPerRow(), buffer.height(), x, y, &isOpaque);
            opaque = opaque && isOpaque;
            if (!(got == expected.at(x, y))) ++count;
        }
    }
    return count;
}
// Bar position, negative and non-finite times (seed 0), noise seeded per microsecond, frames narrower or
// lower than one cell, memory order B, G, R, X with row 0 at the bottom: all against the reference.
TEST(SyntheticFrameSource, MatchesThePlainReferenceDrawing) {
    const int sizes[][2] = {{1000, 40}, {1001, 37}, {641, 13}, {13, 7}, {7, 13}, {6, 6}, {5, 5}, {1, 1}, {9, 2}, {5, 40}};
    const double times[] = {0, 0.5, 0.25, 0.3337, -0.5, 3.75, 1.0000005, 1.000001, 12345.678901, nan, inf, -inf, 1e20, -1e19};
    const double densities[] = {0, 0.05, 0.5, 1, 2, -1, nan};
    for (const auto& size : sizes) {
        for (double time : times) {
            for (double density : densities) {
                SCOPED_TRACE(std::to_string(size[0]) + "x" + std::to_string(size[1]) + " time " + std::to_string(time) +
                             " density " + std::to_string(density));
                const auto frame = SyntheticFrameSource{size[0], size[1]}.makeFrame(time, density);
                ASSERT_TRUE(frame);
                ASSERT_EQ(std::pair(frame->width(), frame->height()), std::pair(size[0], size[1]));
                EXPECT_EQ(std::pair(frame->pixelFormat(), frame->lockCount()), std::pair(std::uint32_t{PixelFormat::bgra}, 0));
                bool opaque = false;
                EXPECT_EQ(std::pair(differences(*frame, referenceFrame(size[0], size[1], time, density), opaque), opaque), std::pair(0, true));
            }
        }
    }
}
// Virtual display content of generation g is the frame at g / 60 s, pixel for pixel, read in any column order.
TEST(SyntheticFrameSource, DisplayContentIsTheFrameOfItsGeneration) {
    for (const auto& [w, h, density] : {std::tuple{1001, 37, 0.5}, std::tuple{13, 7, 1.0}, std::tuple{640, 12, 0.0}}) {
        const auto sampler = syntheticDisplayContent(density)(CaptureDisplay{}, 45, w, h);
        ASSERT_TRUE(sampler);
        const ReferenceImage expected = referenceFrame(w, h, 45 / 60.0, density);
        std::vector<int> xs(static_cast<std::size_t>(w));
        for (int i = 0; i < w; ++i) xs[static_cast<std::size_t>(i)] = (i * 3) % w;
        std::vector<std::uint32_t> row(xs.size());
        int count = 0;
        bool opaque = true, isOpaque = false;
        for (int y = 0; y < h; ++y) {
            sampler->row(y, xs.data(), w, row.data());
            for (int i = 0; i < w; ++i) {
                const Rgb8 got = testing::readPixel(reinterpret_cast<const std::uint8_t*>(row.data()), 0, 1, i, 0, &isOpaque);
                count += got == expected.at(xs[static_cast<std::size_t>(i)], h - 1 - y) ? 0 : 1;
                opaque = opaque && isOpaque;
            }
        }
        EXPECT_EQ(std::pair(count, opaque), std::pair(0, true)) << w << "x" << h;
    }
    EXPECT_FALSE(syntheticDisplayContent(0.5)(CaptureDisplay{}, 0, 20000, 10));  // no buffer could hold it: no content
}
TEST(SyntheticFrameSource, RefusedSizesFailWithTheCreationStatus) {
    for (const auto& size : {std::pair{0, 10}, std::pair{10, 0}, std::pair{-4, 10}, std::pair{20000, 10}}) {
        const auto error = thrown<Error>([&] { SyntheticFrameSource{size.first, size.second}.makeFrame(0, 1); });
        EXPECT_EQ(error, Error::pixelBufferCreationFailed(PixelBuffer::statusInvalidDimension)) << size.first;
        if (error) { EXPECT_NE(std::string(error->what()).find(std::to_string(PixelBuffer::statusInvalidDimension)), std::string::npos); }
    }
    // A creation that reports success without a buffer fails with status 0.
    SyntheticFrameSource source{8, 8};
    source.createPixelBuffer = [](int, int, std::uint32_t, const PixelBuffer::Attributes&) {
        return PixelBuffer::CreateResult{PixelBuffer::statusSuccess, nullptr};
    };
    EXPECT_EQ(thrown<Error>([&] { source.makeFrame(0, 0); }), Error::pixelBufferCreationFailed(0));
}
TEST(SyntheticFrameSource, ContextFailureUnlocksTheBufferAndReturnsNothing) {
    std::shared_ptr<PixelBuffer> made;
    int lockedWhileMakingContext = -1;
    SyntheticFrameSource source{8, 8};
    source.createPixelBuffer = [&](int w, int h, std::uint32_t format, const PixelBuffer::Attributes& attributes) {
        auto result = PixelBuffer::create(w, h, format, attributes);
        made = result.buffer;
        return result;
    };
    source.makeContext = [&](PixelBuffer& buffer) -> std::optional<BitmapContext> {
        lockedWhileMakingContext = buffer.lockCount();
        return std::nullopt;
    };
    EXPECT_THROW(source.makeFrame(0, 0), Error);
    ASSERT_TRUE(made);
    // Locked while the context was made, unlocked after, and no reference kept by the source.
    EXPECT_EQ(std::tuple(lockedWhileMakingContext, made->lockCount(), made.use_count()), std::tuple(1, 0, 1L));
}
}}  // namespace mivodrell
