#pragma once
// Conversion of JSON number texts (as kept by JSONDocument) into the integer and floating-point
// types of the wire model.

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

namespace mivodrell {

struct JSONNumber {
    // A whole number as sign and magnitude; `magnitude` holds up to 2^64 - 1.
    struct Whole {
        bool negative = false;
        std::uint64_t magnitude = 0;
    };

    // The exact value of a JSON number text when it is whole and its magnitude fits 64 bits
    // ("2.0", "1e3", "-0" and "20e-1" are whole; "2.5" is not). Nothing otherwise.
    static std::optional<Whole> whole(std::string_view text);

    // The value as integer type T when it is whole and within T's range.
    template <class T>
    static std::optional<T> integer(std::string_view text) {
        static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
        const std::optional<Whole> w = whole(text);
        if (!w) return std::nullopt;
        if (!w->negative || w->magnitude == 0) {
            if (w->magnitude > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return std::nullopt;
            return static_cast<T>(w->magnitude);
        }
        if constexpr (std::is_unsigned_v<T>) {
            return std::nullopt;
        } else {
            // The magnitude of T's minimum is 2^(digits).
            const std::uint64_t limit = std::uint64_t{1} << std::numeric_limits<T>::digits;
            if (w->magnitude > limit) return std::nullopt;
            if (w->magnitude == limit) return std::numeric_limits<T>::min();
            return static_cast<T>(-static_cast<std::int64_t>(w->magnitude));
        }
    }

    // The correctly rounded double of a JSON number text; nothing when its magnitude is beyond
    // the largest finite double. Values too small for the smallest subnormal read as (signed) 0.
    static std::optional<double> finiteDouble(std::string_view text);
};

}  // namespace mivodrell
