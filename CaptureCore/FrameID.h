#pragma once
// Wrap-aware ordering of frame identifiers.
//
// Frame identifiers are unsigned 32-bit numbers that wrap from 4,294,967,295 to 0. Frame a is
// newer than frame b when (a - b) modulo 2^32, read as a signed 32-bit number, is greater than 0.
// The order is meaningful for identifiers less than 2^31 apart; two identifiers exactly 2^31
// apart are each older than the other.

#include <cstdint>

namespace mivodrell {

struct FrameID {
    // (a - b) modulo 2^32 as a signed 32-bit number: how many frames a is ahead of b.
    static constexpr std::int32_t distance(std::uint32_t a, std::uint32_t b) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(a - b));
    }
    static constexpr bool isNewer(std::uint32_t a, std::uint32_t b) { return distance(a, b) > 0; }
    static constexpr bool isOlder(std::uint32_t a, std::uint32_t b) { return distance(a, b) < 0; }
    // The newer of the two (a when they are equal or exactly 2^31 apart).
    static constexpr std::uint32_t newer(std::uint32_t a, std::uint32_t b) { return isNewer(b, a) ? b : a; }
};

}  // namespace mivodrell
