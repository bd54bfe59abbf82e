#include "Platform/Base/Narrowing.h"
#include <gtest/gtest.h>
#include <cmath>
namespace mivodrell { namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
TEST(Narrowing, CheckedTruncateTakesTheIntegerPartWhenItFits) {
    struct Case { double value; std::optional<std::int32_t> expected; };
    const Case cases[] = {
        {0.0, 0},          {2.9, 2},           {-2.9, -2},
        {-0.0, 0},         {2147483647.9, 2147483647}, {2147483648.0, std::nullopt},
        {-2147483648.9, -2147483648}, {-2147483649.0, std::nullopt},
        {kNaN, std::nullopt}, {kInf, std::nullopt}, {-kInf, std::nullopt}};
    for (const auto& c : cases) EXPECT_EQ(checkedTruncate<std::int32_t>(c.value), c.expected) << c.value;
    EXPECT_EQ(checkedTruncate<std::uint32_t>(4294967295.5), 4294967295u);
    EXPECT_EQ(checkedTruncate<std::uint32_t>(4294967296.0), std::nullopt);
    EXPECT_EQ(checkedTruncate<std::uint32_t>(-0.5), 0u);
    EXPECT_EQ(checkedTruncate<std::uint32_t>(-1.0), std::nullopt);
    EXPECT_EQ(checkedTruncate<std::int64_t>(9223372036854775808.0), std::nullopt);
    EXPECT_EQ(checkedTruncate<std::int64_t>(-9223372036854775808.0), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(checkedTruncate<std::uint64_t>(18446744073709551616.0), std::nullopt);
}
TEST(Narrowing, ExactIntegerRequiresAWholeValue) {
    EXPECT_EQ(exactInteger<std::int64_t>(2.0), 2);
    EXPECT_EQ(exactInteger<std::int64_t>(2.5), std::nullopt);
    EXPECT_EQ(exactInteger<std::uint32_t>(4294967295.0), 4294967295u);
    EXPECT_EQ(exactInteger<std::uint32_t>(4294967296.0), std::nullopt);
    EXPECT_EQ(exactInteger<std::uint8_t>(-1.0), std::nullopt);
    EXPECT_EQ(exactInteger<std::int32_t>(kNaN), std::nullopt);
}
TEST(Narrowing, ClampedConversionsSaturateAndMapNaNToTheFallback) {
    EXPECT_EQ(truncateClamped<std::int32_t>(kNaN, 7), 7);
    EXPECT_EQ(truncateClamped<std::int32_t>(kInf, 7), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(truncateClamped<std::int32_t>(-kInf, 7), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(truncateClamped<std::int32_t>(1e300, 0), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(truncateClamped<std::uint16_t>(-5.5, 0), 0);
    EXPECT_EQ(truncateClamped<std::int32_t>(-5.5, 0), -5);
    EXPECT_EQ(roundClamped<std::int32_t>(2.5, 0), 3);
    EXPECT_EQ(roundClamped<std::int32_t>(-2.5, 0), -3);
    EXPECT_EQ(roundClamped<std::int64_t>(kNaN, -1), -1);
    EXPECT_EQ(roundClamped<std::uint64_t>(1e30, 0), std::numeric_limits<std::uint64_t>::max());
}
TEST(Narrowing, IntegerNarrowing) {
    EXPECT_EQ(checkedNarrow<std::uint16_t>(65535), 65535);
    EXPECT_EQ(checkedNarrow<std::uint16_t>(65536), std::nullopt);
    EXPECT_EQ(checkedNarrow<std::uint32_t>(-1), std::nullopt);
    EXPECT_EQ(clampedNarrow<std::uint16_t>(70000), 65535);
    EXPECT_EQ(clampedNarrow<std::int8_t>(-1000), -128);
    EXPECT_EQ(clampedNarrow<std::uint32_t>(std::int64_t{-3}), 0u);
}
}}  // namespace mivodrell
