#include "ViewportCore/JSONNumber.h"

#include <charconv>
#include <system_error>

namespace mivodrell {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Saturating decimal exponent arithmetic: far beyond any meaningful range, never overflowing.
constexpr std::int64_t kExponentLimit = 1'000'000'000;

struct Decimal {
    bool negative = false;
    std::string_view integerDigits;
    std::string_view fractionDigits;
    std::int64_t exponent = 0;  // as written after e/E
};

std::optional<Decimal> splitNumber(std::string_view text) {
    Decimal d;
    std::size_t i = 0;
    const std::size_t n = text.size();
    if (i < n && text[i] == '-') {
        d.negative = true;
        ++i;
    }
    const std::size_t intStart = i;
    while (i < n && isDigit(text[i])) ++i;
    if (i == intStart) return std::nullopt;
    d.integerDigits = text.substr(intStart, i - intStart);
    if (i < n && text[i] == '.') {
        const std::size_t fracStart = ++i;
        while (i < n && isDigit(text[i])) ++i;
        if (i == fracStart) return std::nullopt;
        d.fractionDigits = text.substr(fracStart, i - fracStart);
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool expNegative = false;
        if (i < n && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
        const std::size_t expStart = i;
        std::int64_t exp = 0;
        while (i < n && isDigit(text[i])) {
            if (exp < kExponentLimit) exp = exp * 10 + (text[i] - '0');
            ++i;
        }
        if (i == expStart) return std::nullopt;
        d.exponent = expNegative ? -exp : exp;
    }
    if (i != n) return std::nullopt;
    return d;
}

}  // namespace

std::optional<JSONNumber::Whole> JSONNumber::whole(std::string_view text) {
    // Fast path: a plain integer of up to 19 digits.
    {
        std::size_t i = 0;
        const bool negative = !text.empty() && text[0] == '-';
        if (negative) i = 1;
        const std::size_t digits = text.size() - i;
        if (digits >= 1 && digits <= 19) {
            std::uint64_t value = 0;
            bool plain = true;
            for (; i < text.size(); ++i) {
                const char c = text[i];
                if (!isDigit(c)) {
                    plain = false;
                    break;
                }
                value = value * 10 + static_cast<std::uint64_t>(c - '0');
            }
            if (plain) return Whole{negative, value};
        }
    }

    const std::optional<Decimal> d = splitNumber(text);
    if (!d) return std::nullopt;
    // All significant digits in order, with the decimal exponent of the last one.
    std::int64_t exponent = d->exponent - static_cast<std::int64_t>(d->fractionDigits.size());
    std::string_view first = d->integerDigits;
    std::string_view second = d->fractionDigits;
    // Leading zeros.
    while (!first.empty() && first.front() == '0') first.remove_prefix(1);
    if (first.empty()) {
        while (!second.empty() && second.front() == '0') second.remove_prefix(1);
    }
    if (first.empty() && second.empty()) return Whole{d->negative, 0};
    // Trailing zeros raise the exponent.
    while (!second.empty() && second.back() == '0') {
        second.remove_suffix(1);
        ++exponent;
    }
    if (second.empty()) {
        while (!first.empty() && first.back() == '0') {
            first.remove_suffix(1);
            ++exponent;
        }
    }
    if (exponent < 0) return std::nullopt;  // a non-zero digit after the decimal point
    const std::int64_t digitCount = static_cast<std::int64_t>(first.size() + second.size());
    if (digitCount + exponent > 20) return std::nullopt;  // at least 10^20: beyond 64 bits

    std::uint64_t value = 0;
    for (std::string_view part : {first, second}) {
        for (const char c : part) {
            if (__builtin_mul_overflow(value, std::uint64_t{10}, &value) ||
                __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value)) {
                return std::nullopt;
            }
        }
    }
    for (std::int64_t k = 0; k < exponent; ++k) {
        if (__builtin_mul_overflow(value, std::uint64_t{10}, &value)) return std::nullopt;
    }
    return Whole{d->negative, value};
}

std::optional<double> JSONNumber::finiteDouble(std::string_view text) {
    double value = 0;
    const char* const end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (result.ec == std::errc() && result.ptr == end) return value;
    if (result.ec != std::errc::result_out_of_range || result.ptr != end) return std::nullopt;

    // Out of range: too large (no value) or too small (rounds to zero). The decimal exponent of
    // the leading significant digit tells which.
    const std::optional<Decimal> d = splitNumber(text);
    if (!d) return std::nullopt;
    std::int64_t leading = 0;
    std::string_view integerDigits = d->integerDigits;
    while (!integerDigits.empty() && integerDigits.front() == '0') integerDigits.remove_prefix(1);
    if (!integerDigits.empty()) {
        leading = d->exponent + static_cast<std::int64_t>(integerDigits.size()) - 1;
    } else {
        std::size_t zeros = 0;
        while (zeros < d->fractionDigits.size() && d->fractionDigits[zeros] == '0') ++zeros;
        if (zeros == d->fractionDigits.size()) return d->negative ? -0.0 : 0.0;
        leading = d->exponent - static_cast<std::int64_t>(zeros) - 1;
    }
    if (leading >= 0) return std::nullopt;
    return d->negative ? -0.0 : 0.0;
}

}  // namespace mivodrell
