#include "Platform/Base/Geometry.h"
#include <gtest/gtest.h>
#include <cmath>
namespace mivodrell { namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Field by field, NaN equal to NaN.
bool same(const CGRect& a, const CGRect& b) {
    const auto eq = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
    return eq(a.origin.x, b.origin.x) && eq(a.origin.y, b.origin.y) && eq(a.size.width, b.size.width) &&
           eq(a.size.height, b.size.height);
}
TEST(Geometry, StandardizedExtremes) {
    const CGRect r{10, 20, -4, -6};
    EXPECT_TRUE(identical(r.standardized(), CGRect(6, 14, 4, 6)));
    EXPECT_EQ((CGPoint{r.minX(), r.minY()}), (CGPoint{6, 14}));
    EXPECT_EQ((CGPoint{r.midX(), r.midY()}), (CGPoint{8, 17}));
    EXPECT_EQ((CGPoint{r.maxX(), r.maxY()}), (CGPoint{10, 20}));
    EXPECT_EQ((CGSize{r.width(), r.height()}), (CGSize{4, 6}));
    EXPECT_TRUE(CGRect::null().isEmpty() && CGRect::zero().isEmpty() && !CGRect::zero().isNull());
    EXPECT_TRUE(CGRect::null().standardized().isNull());
}
TEST(Geometry, Intersection) {
    struct Case { CGRect a, b, expected; };
    const Case cases[] = {
        {{0, 0, 10, 10}, {5, 5, 10, 10}, {5, 5, 5, 5}}, {{0, 0, 10, 10}, {20, 0, 5, 5}, CGRect::null()},
        {{0, 0, 10, 10}, {10, 0, 5, 5}, {10, 0, 0, 5}},  // touching edges: zero width, not null
        {{0, 0, 10, 10}, CGRect::null(), CGRect::null()}, {{10, 10, -10, -10}, {2, 2, 2, 2}, {2, 2, 2, 2}},
        {{0, 0, 10, 10}, {kNaN, 0, 1, 1}, CGRect::null()},
        {{0, 0, 10, 10}, {-kInf, 0, kInf, 10}, CGRect::null()},  // no far edge, either way round
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.a.intersection(c.b) == c.expected) << c.b.origin.x;
        EXPECT_TRUE(c.b.intersection(c.a) == c.expected) << c.b.origin.x;
        EXPECT_EQ(c.a.intersects(c.b), !c.expected.isNull());
    }
}
TEST(Geometry, Inset) {
    struct Case { CGRect rect; double dx, dy; CGRect expected; };
    const Case cases[] = {
        {{0, 0, 10, 10}, 2, 3, {2, 3, 6, 4}}, {{0, 0, 10, 10}, -2, -2, {-2, -2, 14, 14}},
        {{0, 0, 10, 10}, 5, 5, {5, 5, 0, 0}}, {{0, 0, 10, 10}, 6, 0, CGRect::null()},  // a negative width empties it
        {{0, 0, 10, 10}, 0, 5.5, CGRect::null()}, {CGRect::null(), 1, 1, CGRect::null()},
        // A NaN size is not a negative one: it passes through.
        {{0, 0, kNaN, 10}, -1, -1, {-1, -1, kNaN, 12}}, {{0, 0, 10, kNaN}, 1, 1, {1, 1, 8, kNaN}},
        {{0, 0, 10, 10}, kNaN, 0, {kNaN, 0, kNaN, 10}}};
    for (const auto& c : cases) {
        const CGRect got = c.rect.insetBy(c.dx, c.dy);
        EXPECT_TRUE(same(got, c.expected)) << c.rect.size.width << " by " << c.dx << ": " << got.origin.x << ","
                                           << got.origin.y << " " << got.size.width << "x" << got.size.height;
    }
}
TEST(Geometry, UnionAndContains) {
    EXPECT_EQ(CGRect::null().unionWith({1, 2, 3, 4}), CGRect(1, 2, 3, 4));
    EXPECT_EQ(CGRect(1, 2, 3, 4).unionWith(CGRect::null()), CGRect(1, 2, 3, 4));
    EXPECT_EQ(CGRect(0, 0, 1, 1).unionWith({5, 5, 1, 1}), CGRect(0, 0, 6, 6));
    EXPECT_TRUE(CGRect(0, 0, 10, 10).contains(CGRect(0, 0, 10, 10)));
    EXPECT_FALSE(CGRect(0, 0, 10, 10).contains(CGRect(2, 2, 9, 3)));
    EXPECT_FALSE(CGRect(0, 0, 10, 10).contains(CGRect::null()));
    EXPECT_FALSE(CGRect::null().contains(CGRect(0, 0, 1, 1)));
    EXPECT_TRUE(CGRect(0, 0, 10, 10).contains(CGPoint{0, 0}));
    EXPECT_FALSE(CGRect(0, 0, 10, 10).contains(CGPoint{10, 5}));
}
TEST(Geometry, EqualityIsByValueOfStandardizedRectangles) {
    EXPECT_EQ(CGRect(0, 0, 1, 1), CGRect(-0.0, 0, 1, 1));
    EXPECT_NE(CGRect(kNaN, 0, 1, 1), CGRect(kNaN, 0, 1, 1));
    EXPECT_EQ(CGRect(1, 1, -1, -1), CGRect(0, 0, 1, 1));
    EXPECT_NE(CGRect::null(), CGRect::zero());
}
}}  // namespace mivodrell
