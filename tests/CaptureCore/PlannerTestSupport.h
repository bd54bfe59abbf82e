#pragma once
// Helpers shared by the planner tests.
#include <gtest/gtest.h>
#include <cmath>
#include <limits>
#include <string>
#include "Platform/Base/Geometry.h"
namespace mivodrell::testing {
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Field-by-field equality (NaN equal to NaN), with both rectangles in the failure message.
inline ::testing::AssertionResult sameRect(const CGRect& actual, const CGRect& expected) {
    const auto same = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
    const auto text = [](const CGRect& r) {
        return "(" + std::to_string(r.origin.x) + ", " + std::to_string(r.origin.y) + ", " + std::to_string(r.size.width) + ", " + std::to_string(r.size.height) + ")";
    };
    if (same(actual.origin.x, expected.origin.x) && same(actual.origin.y, expected.origin.y) && same(actual.size.width, expected.size.width) &&
        same(actual.size.height, expected.size.height)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << text(actual) << ", expected " << text(expected);
}
}  // namespace mivodrell::testing
