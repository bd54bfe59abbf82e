#pragma once
// One display of the machine: its identifier, its area in the desktop's global point coordinates,
// its backing scale, whether it is the main display, and its user-visible name. Immutable.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "Platform/Base/Geometry.h"

namespace mivodrell {

class DisplayInfo {
public:
    DisplayInfo(std::uint32_t id, CGRect frame, double scale, bool isMain, std::string localizedName);

    std::uint32_t id() const noexcept { return id_; }
    const CGRect& frame() const noexcept { return frame_; }
    double scale() const noexcept { return scale_; }
    bool isMain() const noexcept { return isMain_; }
    const std::string& localizedName() const noexcept { return localizedName_; }

    // The points a cursor may occupy, both edges included: the frame's origin with a width of
    // max(width - 1, 0) and a height of max(height - 1, 0); a non-number width or height gives 0.
    CGRect cursorBounds() const;
    // minX <= x <= maxX and minY <= y <= maxY of the cursor bounds.
    bool containsCursor(CGPoint point) const;
    // The point with x limited to the cursor bounds' [minX, maxX] and y to [minY, maxY]
    // (raised to the minimum first, then lowered to the maximum; a non-number coordinate stays).
    CGPoint clampCursor(CGPoint point) const;

    // Same id, rectangle-equal frame, equal scale (a non-number scale is never equal), same
    // isMain, canonically equal name.
    friend bool operator==(const DisplayInfo& a, const DisplayInfo& b);

    // JSON form (DisplayTopologyJSON.h): fromJSON throws DecodingError; writeJSON appends to `out`
    // and throws EncodingError on a non-finite number, leaving `out` as it was.
    void writeJSON(std::string& out) const;
    static DisplayInfo fromJSON(std::string_view body);

    // Combines id, the standardized frame's x, y, width and height, scale, isMain and the name,
    // in that order; agrees with ==.
    std::size_t hash() const;

private:
    std::uint32_t id_;
    CGRect frame_;
    double scale_;
    bool isMain_;
    std::string localizedName_;
};

}  // namespace mivodrell

template <>
struct std::hash<mivodrell::DisplayInfo> {
    std::size_t operator()(const mivodrell::DisplayInfo& display) const { return display.hash(); }
};
