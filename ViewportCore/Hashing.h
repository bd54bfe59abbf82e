#pragma once
// Small helpers for combining hashes of value types in a fixed field order.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace mivodrell {

// Mixes `value` into `seed` (order matters).
constexpr std::size_t hashCombine(std::size_t seed, std::size_t value) noexcept {
    // 64-bit variant of the classic golden-ratio combiner, with a final avalanche of `value`.
    std::uint64_t v = value;
    v ^= v >> 33;
    v *= 0xff51afd7ed558ccdULL;
    v ^= v >> 33;
    return static_cast<std::size_t>(seed ^ (v + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2)));
}

// Hash of a double that agrees with ==: negative zero hashes as zero. (NaN equals nothing, so
// its hash does not matter.)
inline std::size_t hashDouble(double value) noexcept {
    return std::hash<double>{}(value == 0.0 ? 0.0 : value);
}

}  // namespace mivodrell
