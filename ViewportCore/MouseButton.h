#pragma once
// Which mouse button a pointer event names. The raw value is what crosses the wire.

#include <cstdint>
#include <optional>
#include <string_view>

namespace mivodrell {

enum class MouseButton : std::uint8_t {
    left = 0,
    right = 1,
    middle = 2,
};

constexpr std::uint8_t rawValue(MouseButton button) noexcept { return static_cast<std::uint8_t>(button); }

// 0 to 2 give the button; any other value gives nothing.
constexpr std::optional<MouseButton> mouseButtonFromRawValue(std::uint8_t raw) noexcept {
    if (raw > 2) return std::nullopt;
    return static_cast<MouseButton>(raw);
}

// The case name ("left", "right", "middle").
constexpr std::string_view caseName(MouseButton button) noexcept {
    switch (button) {
        case MouseButton::left: return "left";
        case MouseButton::right: return "right";
        case MouseButton::middle: return "middle";
    }
    return "?";
}

}  // namespace mivodrell
