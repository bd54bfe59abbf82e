#include "CaptureMac/BitmapContext.h"
#include "FrameTestSupport.h"
#include "Platform/Base/FourCC.h"
#include <gtest/gtest.h>
namespace mivodrell { namespace {
using testing::ReferenceImage;
using testing::Rgb8;
constexpr Rgb8 start{10, 200, 30};
struct Surface {
    int width;
    int height;
    std::size_t bytesPerRow;
    std::vector<std::uint32_t> words;  // 4-byte aligned storage, one spare word per row
    Surface(int w, int h) : width(w), height(h), bytesPerRow(4 * static_cast<std::size_t>(w + 1)),
                            words(static_cast<std::size_t>(w + 1) * h, 0xA5A5A5A5u) {}
    std::uint8_t* data() { return reinterpret_cast<std::uint8_t*>(words.data()); }
    BitmapContext context() { return *BitmapContext::make(data(), width, height, bytesPerRow); }
    Rgb8 at(int x, int y) { return testing::readPixel(data(), bytesPerRow, height, x, y); }
    // The spare bytes after each row must stay untouched.
    bool paddingIntact() {
        for (int y = 0; y < height; ++y)
            if (words[static_cast<std::size_t>(y) * (width + 1) + width] != 0xA5A5A5A5u) return false;
        return true;
    }
};
TEST(BitmapContext, FillsMatchAreaCoverageReference) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const CGRect rects[] = {
        {0, 0, 9, 7},           {2, 1, 3, 4},         {1.25, 0.5, 3.5, 2.75}, {2.2, 2.2, 0.6, 0.3},
        {2.7, 1.5, 0.6, 3},     {-3.5, -2.25, 6, 5},  {7.5, 5.5, 10, 10},     {4, 3, -2.5, -1.5},
        {0.1, 6.9, 8.8, 0.05},  {-1e300, 2, 2e300, 1},    {3, 3, 0, 2},           {nan, 1, 2, 2},
        {20, 20, 3, 3},         CGRect::null(),       {-inf, 2, inf, 1},      {1, 1, inf, 2},       {0, 0, 1e300, 1e300},
    };
    const Rgb8 paint{200, 100, 50};
    for (const auto& rect : rects) {
        SCOPED_TRACE(::testing::Message() << rect.origin.x << "," << rect.origin.y << " " << rect.size.width << "x"
                                          << rect.size.height);
        Surface surface(9, 7);
        auto context = surface.context();
        context.fillRect(CGRect(0, 0, 9, 7), PixelColor{10, 200, 30});
        context.fillRect(rect, PixelColor{200, 100, 50});
        ReferenceImage expected(9, 7, start);
        // Infinite edges clip to the bitmap; a NaN edge (inf - inf included) draws nothing.
        const CGRect r = rect.standardized();
        if (!rect.isNull() && !std::isnan(r.minX()) && !std::isnan(r.maxX()) && !std::isnan(r.minY()) && !std::isnan(r.maxY())) {
            expected.fill(r.minX(), r.minY(), r.maxX(), r.maxY(), paint);
        }
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 9; ++x) EXPECT_EQ(surface.at(x, y), expected.at(x, y)) << x << "," << y;
        EXPECT_TRUE(surface.paddingIntact());
    }
}
TEST(BitmapContext, RowsAreReplicatedWithinTheBitmap) {
    Surface surface(6, 5);
    auto context = surface.context();
    context.fillRect(CGRect(0, 0, 6, 5), PixelColor{1, 2, 3});
    const std::uint8_t row[24] = {1, 2, 3, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 4, 5, 6, 255};
    context.replicateRow(row, 3, 99);  // rows 3 and 4; row 2 below them unchanged
    EXPECT_EQ(std::tuple(surface.at(0, 3), surface.at(5, 4), surface.at(0, 2)), std::tuple(Rgb8{3, 2, 1}, Rgb8{6, 5, 4}, Rgb8{1, 2, 3}));
    context.replicateRow(row, -3, 1);  // row 0
    EXPECT_EQ(std::pair(surface.at(5, 0), surface.at(5, 1)), std::pair(Rgb8{6, 5, 4}, Rgb8{1, 2, 3}));
    context.replicateRow(row, 4, 2);  // empty range
    EXPECT_EQ(surface.at(5, 2), (Rgb8{1, 2, 3}));
    EXPECT_TRUE(surface.paddingIntact());
}
TEST(BitmapContext, RefusesMemoryThatCannotHoldThePixels) {
    std::vector<std::uint32_t> words(64);
    auto* data = reinterpret_cast<std::uint8_t*>(words.data());
    EXPECT_TRUE(BitmapContext::make(data, 4, 4, 16));
    EXPECT_FALSE(BitmapContext::make(nullptr, 4, 4, 16));
    EXPECT_FALSE(BitmapContext::make(data, 0, 4, 16));
    EXPECT_FALSE(BitmapContext::make(data, 4, -1, 16));
    EXPECT_FALSE(BitmapContext::make(data, 4, 4, 15));
    EXPECT_FALSE(BitmapContext::make(data, 4, 4, 18));
    EXPECT_FALSE(BitmapContext::make(data + 1, 2, 2, 16));
    auto yuv = PixelBuffer::create(8, 8, PixelFormat::yuv420BiPlanarFullRange);
    EXPECT_FALSE(BitmapContext::make(*yuv.buffer));
    auto bgra = PixelBuffer::create(8, 8, PixelFormat::bgra);
    const auto context = BitmapContext::make(*bgra.buffer);
    ASSERT_TRUE(context);
    EXPECT_EQ(context->memoryRow(0), bgra.buffer->baseAddress() + 7 * bgra.buffer->bytesPerRow());
}
// In-range components are rounded the way the synthetic frame's colours show; out of range ones
// are clamped, NaN to 0.
TEST(BitmapContext, ColorComponentsOutOfRangeAreClamped) {
    EXPECT_EQ(PixelColor::fromComponents(-1, 2, std::numeric_limits<double>::quiet_NaN()), (PixelColor{0, 255, 0}));
}
}}  // namespace mivodrell
