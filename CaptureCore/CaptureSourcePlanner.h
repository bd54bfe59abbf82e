#pragma once
// Decides which displays are captured, which region of each (in the display's own points) and at
// which pixel size, so that the pixels captured over all displays stay close to a budget derived
// from the controller's screen.
//
// A display starts when it holds a noticeable share of the viewport, stays while its share is
// small but not negligible, and stops once its share has stayed negligible for a delay. A captured
// region carries a margin around the visible part (grown further on the side the viewport moves
// towards) and is kept for small viewport moves: as long as it covers the visible part, is not much
// too large and the wanted density has not moved beyond a threshold.
//
// A plain value without clock or locking: the caller passes the time and serialises the calls.

#include "CaptureCore/CapturePlan.h"
#include "Platform/Base/Geometry.h"
#include "ViewportCore/DisplayTopology.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace mivodrell {

class CaptureSourcePlanner {
public:
    struct Configuration {
        // Share of the visible viewport area at or above which an inactive display is started.
        double activationShare = 0.02;
        // Share below which an active display's deactivation delay runs.
        double deactivationShare = 0.005;
        // Seconds the share must stay below deactivationShare before the display stops.
        double deactivationDelay = 1.5;
        // Margin around the visible region: half this fraction of its width on the left and on the
        // right, half this fraction of its height at the top and at the bottom.
        double captureMarginRatio = 0.12;
        // Points; captured regions are widened outward to multiples of it (below 1 counts as 1).
        double rectQuantum = 8;
        // Output pixel sizes are rounded to multiples of it (below 2 counts as 2).
        double pixelQuantum = 16;
        // Relative change of the wanted density that forces a new region and size.
        double reconfigureThreshold = 0.12;
        // A region is recomputed when the visible area falls below this fraction of the captured area.
        double shrinkRatioForRecompute = 0.5;
        // Lower bound of the density, pixels per point.
        double minPixelsPerPoint = 0.25;
        // Smallest and largest output width or height, pixels.
        double minOutputDimension = 16;
        double maxOutputDimension = 4096;
        // Factor applied to the controller's pixel area to give the budget (below 0.01 counts as 0.01).
        double pixelBudgetAllowance = 1.0;
        // Pixel budget used when the controller's pixel size is unusable.
        double fallbackPixelBudget = 2'000'000;
        // Seconds that must pass between two recomputations of one display (0: no limit).
        double minReconfigureInterval = 0;
        // Seconds of viewport motion added as extra margin on the side it moves towards (0: none).
        double velocityMarginLookahead = 0;
        // Cap of that extra margin per side, as a fraction of the visible region's width
        // (horizontal sides) or height (vertical sides).
        double maxVelocityMarginRatio = 0.6;
        // Weight of the newest sample in the smoothed viewport velocity (clamped to 0...1).
        double velocitySmoothingAlpha = 0.5;

        friend bool operator==(const Configuration&, const Configuration&) = default;
    };

    CaptureSourcePlanner() = default;
    explicit CaptureSourcePlanner(const Configuration& configuration) : configuration_(configuration) {}

    const Configuration& configuration() const { return configuration_; }

    // Plans the capture of `viewport` (global desktop points) for a controller showing it at
    // `phonePixelSize` pixels; `now` is seconds of the caller's monotonic clock. Never fails:
    // a non-finite `now` reuses the last finite one, an unusable viewport stops every display, an
    // unusable pixel size selects the fallback budget, a display with an unusable frame stops.
    CapturePlan plan(const CGRect& viewport, const DisplayTopology& topology, const CGSize& phonePixelSize, double now);

    // Forgets every display (without listing them as stopped) and the velocity sample; keeps the
    // configuration and the last finite time.
    void reset();

    // The active displays, ascending.
    std::vector<std::uint32_t> activeDisplayIDs() const;

    std::optional<double> lastFiniteNow() const { return lastFiniteNow_; }
    std::optional<CGPoint> lastViewportCenter() const { return lastViewportCenter_; }
    std::optional<double> lastVelocityTime() const { return lastVelocityTime_; }
    CGPoint smoothedVelocity() const { return smoothedVelocity_; }

    // `visible` grown by the margin and the motion look-ahead, widened outward to the region
    // quantum and cut to `bounds`; `bounds` itself when that leaves nothing usable.
    CGRect expandedCaptureRect(const CGRect& visible, const CGRect& bounds, CGPoint velocity) const;
    // `rect` widened outward to multiples of the region quantum; unusable rectangles unchanged.
    CGRect quantizedOutward(const CGRect& rect) const;
    // Pixel size of `rect` at `pixelsPerPoint`: multiples of the pixel quantum, the longest side
    // fitted into the largest dimension, each side even and within the output limits.
    CGSize quantizedPixelSize(const CGRect& rect, double pixelsPerPoint) const;

private:
    struct StreamState {
        CGRect capturedRect = CGRect::null();
        CGSize pixelSize;
        double pixelsPerPoint = 0;
        std::optional<double> lowShareSince;
        bool hasVisibleContent = false;
        std::optional<double> lastReconfiguredAt;
    };

    double clampedDensity(double density, double nativeScale) const;

    Configuration configuration_;
    std::map<std::uint32_t, StreamState> states_;
    std::optional<double> lastFiniteNow_;
    std::optional<CGPoint> lastViewportCenter_;
    std::optional<double> lastVelocityTime_;
    CGPoint smoothedVelocity_;
};

}  // namespace mivodrell
