#pragma once
// Where a scroll delta stands in a trackpad gesture. The raw value is what crosses the wire.

#include <cstdint>
#include <optional>
#include <string_view>

namespace mivodrell {

enum class ScrollPhase : std::uint8_t {
    began = 0,     // first delta of a finger gesture
    changed = 1,   // further delta while the fingers move
    momentum = 2,  // inertial phase after the fingers lifted
    ended = 3,     // the gesture or its momentum is over
};

constexpr std::uint8_t rawValue(ScrollPhase phase) noexcept { return static_cast<std::uint8_t>(phase); }

// 0 to 3 give the phase; any other value gives nothing.
constexpr std::optional<ScrollPhase> scrollPhaseFromRawValue(std::uint8_t raw) noexcept {
    if (raw > 3) return std::nullopt;
    return static_cast<ScrollPhase>(raw);
}

// The case name ("began", "changed", "momentum", "ended").
constexpr std::string_view caseName(ScrollPhase phase) noexcept {
    switch (phase) {
        case ScrollPhase::began: return "began";
        case ScrollPhase::changed: return "changed";
        case ScrollPhase::momentum: return "momentum";
        case ScrollPhase::ended: return "ended";
    }
    return "?";
}

}  // namespace mivodrell
