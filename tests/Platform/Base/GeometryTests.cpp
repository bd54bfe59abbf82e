#include "Platform/Base/Geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace mivodrell {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Geometry, StandardizedExtremes) {
    const CGRect r{10, 20, -4, -6};
    EXPECT_TRUE(identical(r.standardized(), CGRect(6, 14, 4, 6)));
    EXPECT_EQ(r.minX(), 6);
    EXPECT_EQ(r.maxX(), 10);
    EXPECT_EQ(r.midX(), 8);
    EXPECT_EQ(r.minY(), 14);
    EXPECT_EQ(r.maxY(), 20);
    EXPECT_EQ(r.midY(), 17);
    EXPECT_EQ(r.width(), 4);
    EXPECT_EQ(r.height(), 6);
}

TEST(Geometry, NullRectangle) {
    const CGRect n = CGRect::null();
    EXPECT_TRUE(n.isNull());
    EXPECT_TRUE(n.isEmpty());
    EXPECT_EQ(n, CGRect::null());
    EXPECT_NE(n, CGRect::zero());
    EXPECT_FALSE(CGRect::zero().isNull());
    EXPECT_TRUE(CGRect::zero().isEmpty());
    EXPECT_TRUE(n.standardized().isNull());
    EXPECT_TRUE(n.insetBy(1, 1).isNull());
}

TEST(Geometry, Intersection) {
    struct Case {
        CGRect a, b, expected;
    };
    const Case cases[] = {
        {{0, 0, 10, 10}, {5, 5, 10, 10}, {5, 5, 5, 5}},
        {{0, 0, 10, 10}, {20, 0, 5, 5}, CGRect::null()},
        {{0, 0, 10, 10}, {10, 0, 5, 5}, {10, 0, 0, 5}},  // touching edges: zero width, not null
        {{0, 0, 10, 10}, CGRect::null(), CGRect::null()},
        {{10, 10, -10, -10}, {2, 2, 2, 2}, {2, 2, 2, 2}},
        {{0, 0, 10, 10}, {kNaN, 0, 1, 1}, CGRect::null()},
    };
    for (const auto& c : cases) {
        const CGRect got = c.a.intersection(c.b);
        EXPECT_TRUE(got == c.expected) << got.origin.x << "," << got.origin.y << " " << got.size.width;
        EXPECT_TRUE(c.b.intersection(c.a) == c.expected);
    }
}

TEST(Geometry, UnionInsetContains) {
    EXPECT_EQ(CGRect::null().unionWith({1, 2, 3, 4}), CGRect(1, 2, 3, 4));
    EXPECT_EQ(CGRect(1, 2, 3, 4).unionWith(CGRect::null()), CGRect(1, 2, 3, 4));
    EXPECT_EQ(CGRect(0, 0, 1, 1).unionWith({5, 5, 1, 1}), CGRect(0, 0, 6, 6));
    EXPECT_TRUE(CGRect::null().unionWith(CGRect::null()).isNull());

    EXPECT_EQ(CGRect(0, 0, 10, 10).insetBy(2, 3), CGRect(2, 3, 6, 4));
    EXPECT_EQ(CGRect(0, 0, 10, 10).insetBy(-2, -2), CGRect(-2, -2, 14, 14));
    EXPECT_TRUE(CGRect(0, 0, 10, 10).insetBy(6, 0).isNull());
    EXPECT_EQ(CGRect(0, 0, 10, 10).insetBy(5, 5), CGRect(5, 5, 0, 0));

    EXPECT_TRUE(CGRect(0, 0, 10, 10).contains(CGRect(0, 0, 10, 10)));
    EXPECT_TRUE(CGRect(0, 0, 10, 10).contains(CGRect(2, 2, 3, 3)));
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
}

}  // namespace
}  // namespace mivodrell
