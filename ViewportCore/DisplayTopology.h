#pragma once
// The arrangement of the machine's displays: the displays sorted by the top-left corner of their
// frames (minX, then minY; stable) and the rectangle enclosing them all, in the desktop's global
// point coordinates. The constructor is the only way to make one, so the order and the bounds
// always hold. Immutable.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <optional>
#include <vector>

#include "Platform/Base/Geometry.h"
#include "ViewportCore/DisplayInfo.h"

namespace mivodrell {

class DisplayTopology {
public:
    // The part of a global rectangle that one display shows.
    struct Slice {
        DisplayInfo display;
        CGRect globalRect;  // in global points
        CGRect localRect;   // the same area relative to the display's frame origin

        friend bool operator==(const Slice&, const Slice&) = default;
    };

    // A topology of no displays (null bounds).
    DisplayTopology();
    // Sorts the displays and computes the bounds.
    explicit DisplayTopology(std::vector<DisplayInfo> displays);

    const std::vector<DisplayInfo>& displays() const noexcept { return displays_; }
    // Union of all frames; the null rectangle when there is no display.
    const CGRect& bounds() const noexcept { return bounds_; }
    bool isEmpty() const noexcept { return displays_.empty(); }

    // The first display flagged main, else the first display; nothing when empty.
    std::optional<DisplayInfo> mainDisplay() const;
    // The first display with this id.
    std::optional<DisplayInfo> displayWithID(std::uint32_t id) const;
    // The first display, in list order, whose cursor bounds hold the point.
    std::optional<DisplayInfo> displayContaining(CGPoint point) const;

    // One entry per display, in list order, whose frame meets `rect` with a width and a height
    // both above 0.5 points.
    std::vector<Slice> slices(CGRect rect) const;

    // The display whose cursor bounds lie closest to the point (ties keep the earlier display).
    std::optional<DisplayInfo> nearestDisplay(CGPoint point) const;
    // The point moved into the nearest display; unchanged when it is already inside one or when
    // there is no display.
    CGPoint clampCursor(CGPoint point) const;
    // Where a cursor moving from `previous` to `target` may land: the target when a display holds
    // it, otherwise the closest point of any display, the display that held `previous` winning
    // near-ties by half a point.
    CGPoint constrainCursor(CGPoint previous, CGPoint target) const;

    // The fraction of `rect` that no display covers, 0 to 1 (0 for an empty rectangle).
    double voidRatio(CGRect rect) const;

    // Element-by-element equality of the displays, then rectangle equality of the bounds.
    friend bool operator==(const DisplayTopology& a, const DisplayTopology& b);

    // JSON form (DisplayTopologyJSON.h): fromJSON throws DecodingError; writeJSON appends to `out`
    // and throws EncodingError on a non-finite number, leaving `out` as it was.
    void writeJSON(std::string& out) const;
    static DisplayTopology fromJSON(std::string_view body);

    // Agrees with ==.
    std::size_t hash() const;

private:
    std::vector<DisplayInfo> displays_;
    CGRect bounds_;
};

}  // namespace mivodrell

template <>
struct std::hash<mivodrell::DisplayTopology> {
    std::size_t operator()(const mivodrell::DisplayTopology& topology) const { return topology.hash(); }
};
