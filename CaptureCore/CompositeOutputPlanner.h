#pragma once
// Crop rectangle and output pixel size of the composite frame.
//
// The crop is the viewport grown by a small margin, its size rounded up to whole pixel quanta
// and its origin snapped to the output's pixel-quantum grid; the output size is the controller's
// pixel size times an output scale that is lower when resources are constrained.

#include "Platform/Base/Geometry.h"

namespace mivodrell {

struct CompositeOutputPlan {
    CGRect cropRect;         // global desktop points
    CGSize outputPixelSize;  // pixels
    double appliedScale = 1.0;

    // Crop rectangles compare as rectangles (null equals null); size and scale exactly.
    friend bool operator==(const CompositeOutputPlan& a, const CompositeOutputPlan& b) {
        return a.cropRect == b.cropRect && a.outputPixelSize == b.outputPixelSize &&
               a.appliedScale == b.appliedScale;
    }
};

struct CompositeOutputPlanner {
    struct Configuration {
        // Extra width and height as a fraction of the viewport's, split evenly between sides.
        double cropMarginRatio = 0.05;
        // Output pixels per controller pixel, normally and under resource pressure.
        double normalOutputScale = 1.1;
        double degradedOutputScale = 1.0;
        // Step of output sizes and of the crop alignment; values below 2 count as 2.
        double pixelQuantum = 2.0;

        friend bool operator==(const Configuration&, const Configuration&) = default;
    };

    CompositeOutputPlanner() = delete;

    // Pure: never fails. An unusable output dimension becomes 2 pixels, an unusable margin leaves
    // the viewport as it is, and a crop with a non-finite coordinate or size is not aligned.
    static CompositeOutputPlan plan(const CGRect& viewport, const CGSize& phonePixelSize,
                                    bool resourceConstrained, const Configuration& configuration);
};

}  // namespace mivodrell
