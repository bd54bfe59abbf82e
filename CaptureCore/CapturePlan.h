#pragma once
// What the capture source planner decided: one source per active display and the lists of
// displays to start, stop and reconfigure.

#include "Platform/Base/Geometry.h"

#include <cstdint>
#include <vector>

namespace mivodrell {

// One display's planned capture.
struct CaptureSource {
    std::uint32_t displayID = 0;
    CGRect sourceRect;        // region to capture, in the display's own points
    CGSize outputPixelSize;   // pixel size the display's stream delivers
    double pixelsPerPoint = 0;
    bool hasVisibleContent = false;  // the viewport reaches this display in this plan

    // Rectangles compare as rectangles (null equals null); everything else exactly.
    friend bool operator==(const CaptureSource& a, const CaptureSource& b) {
        return a.displayID == b.displayID && a.sourceRect == b.sourceRect && a.outputPixelSize == b.outputPixelSize &&
               a.pixelsPerPoint == b.pixelsPerPoint && a.hasVisibleContent == b.hasVisibleContent;
    }
};

struct CapturePlan {
    std::vector<CaptureSource> sources;      // ascending by display ID
    std::vector<std::uint32_t> started;      // became active in this plan, ascending
    std::vector<std::uint32_t> stopped;      // stopped being active in this plan, ascending
    std::vector<std::uint32_t> reconfigured; // region or pixel size changed in this plan, ascending

    // The display of each source, in source order.
    std::vector<std::uint32_t> activeDisplayIDs() const {
        std::vector<std::uint32_t> ids;
        ids.reserve(sources.size());
        for (const CaptureSource& source : sources) ids.push_back(source.displayID);
        return ids;
    }

    // Sum of width x height of every source's output size.
    double totalOutputPixels() const {
        double total = 0;
        for (const CaptureSource& source : sources) total += source.outputPixelSize.width * source.outputPixelSize.height;
        return total;
    }

    friend bool operator==(const CapturePlan&, const CapturePlan&) = default;
};

}  // namespace mivodrell
