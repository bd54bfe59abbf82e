#pragma once
// Checked conversions of doubles to integers and of wide integers to narrower ones.
//
// A bare static_cast of a double to an integer type is undefined behaviour when the value is
// NaN, infinite or out of range. Every such conversion in the engine goes through one of these
// helpers, each of which states what happens to unusable values.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

namespace mivodrell {

namespace narrowing_detail {
// Smallest and one-past-largest values of T as exact doubles: -2^digits (or 0) and 2^digits.
template <class T>
constexpr double lowerBound() {
    if constexpr (std::is_signed_v<T>) {
        return -static_cast<double>(std::uint64_t{1} << (std::numeric_limits<T>::digits - 1)) * 2.0;
    } else {
        return 0.0;
    }
}
template <class T>
constexpr double upperBoundExclusive() {
    return static_cast<double>(std::uint64_t{1} << (std::numeric_limits<T>::digits - 1)) * 2.0;
}
}  // namespace narrowing_detail

// The integer part of `value` (rounded toward zero) when it is finite and fits T; nothing otherwise.
template <class T>
std::optional<T> checkedTruncate(double value) {
    static_assert(std::is_integral_v<T>);
    if (!std::isfinite(value)) return std::nullopt;
    const double t = std::trunc(value);
    if (t < narrowing_detail::lowerBound<T>() || t >= narrowing_detail::upperBoundExclusive<T>()) {
        return std::nullopt;
    }
    return static_cast<T>(t);
}

// `value` when it is a whole number that fits T (2.0 gives 2; 2.5, NaN or 2^32 for uint32 give nothing).
template <class T>
std::optional<T> exactInteger(double value) {
    static_assert(std::is_integral_v<T>);
    if (!std::isfinite(value) || std::trunc(value) != value) return std::nullopt;
    return checkedTruncate<T>(value);
}

// The integer part of `value`, clamped into T's range. NaN gives `nanValue`; +inf and values
// above the range give T's maximum, -inf and values below give T's minimum.
template <class T>
T truncateClamped(double value, T nanValue) {
    static_assert(std::is_integral_v<T>);
    if (std::isnan(value)) return nanValue;
    const double t = std::trunc(value);
    if (t < narrowing_detail::lowerBound<T>()) return std::numeric_limits<T>::min();
    if (t >= narrowing_detail::upperBoundExclusive<T>()) return std::numeric_limits<T>::max();
    return static_cast<T>(t);
}

// `value` rounded to the nearest integer (halves away from zero), clamped into T's range.
// NaN gives `nanValue`.
template <class T>
T roundClamped(double value, T nanValue) {
    if (std::isnan(value)) return nanValue;
    return truncateClamped<T>(std::round(value), nanValue);
}

// Integer to integer: the value when it fits To, nothing otherwise.
template <class To, class From>
std::optional<To> checkedNarrow(From value) {
    static_assert(std::is_integral_v<To> && std::is_integral_v<From>);
    if (!std::in_range<To>(value)) return std::nullopt;
    return static_cast<To>(value);
}

// Integer to integer, clamped into To's range.
template <class To, class From>
To clampedNarrow(From value) {
    static_assert(std::is_integral_v<To> && std::is_integral_v<From>);
    if (std::cmp_less(value, std::numeric_limits<To>::min())) return std::numeric_limits<To>::min();
    if (std::cmp_greater(value, std::numeric_limits<To>::max())) return std::numeric_limits<To>::max();
    return static_cast<To>(value);
}

}  // namespace mivodrell
