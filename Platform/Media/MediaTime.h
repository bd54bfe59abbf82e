#pragma once
// A rational media time (value / timescale seconds) that may be invalid, like the platform's
// media time stamps.

#include <cstdint>

namespace mivodrell {

struct MediaTime {
    std::int64_t value = 0;
    std::int32_t timescale = 0;
    bool valid = false;

    static constexpr MediaTime invalid() { return {}; }
    static constexpr MediaTime make(std::int64_t value, std::int32_t timescale) { return {value, timescale, true}; }
    // `seconds` in units of 1/timescale, rounded to nearest; an unusable input gives invalid.
    static MediaTime fromSeconds(double seconds, std::int32_t timescale);

    // value / timescale; NaN when invalid or when the timescale is not positive.
    double seconds() const;

    friend constexpr bool operator==(const MediaTime&, const MediaTime&) = default;
};

// The host clock's current time, in nanoseconds.
MediaTime hostClockNow();

}  // namespace mivodrell
