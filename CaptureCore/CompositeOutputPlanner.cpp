#include "CaptureCore/CompositeOutputPlanner.h"

#include <algorithm>
#include <cmath>

namespace mivodrell {

namespace {

double quantizedOutputDimension(double value, double quantum) {
    if (!std::isfinite(value) || !(value > 0)) return 2;
    return std::max(2.0, std::floor(value / quantum) * quantum);
}

bool isFinite(const CGRect& r) {
    return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
           std::isfinite(r.size.height);
}

}  // namespace

CompositeOutputPlan CompositeOutputPlanner::plan(const CGRect& viewport, const CGSize& phonePixelSize,
                                                 bool resourceConstrained, const Configuration& configuration) {
    const double q = std::max(2.0, configuration.pixelQuantum);
    const double appliedScale =
        resourceConstrained ? configuration.degradedOutputScale : configuration.normalOutputScale;

    const double outputWidth = quantizedOutputDimension(phonePixelSize.width * appliedScale, q);
    const double outputHeight = quantizedOutputDimension(phonePixelSize.height * appliedScale, q);

    CGRect crop = viewport;
    const double m = configuration.cropMarginRatio;
    if (std::isfinite(m) && m > 0) {
        const double width = viewport.width();
        const double height = viewport.height();
        crop = viewport.insetBy((width * (1 + m) - width) * -0.5, (height * (1 + m) - height) * -0.5);
    }

    if (isFinite(crop)) {
        // A viewport given with a negative size is aligned as the rectangle it describes.
        const CGRect s = crop.standardized();
        const double alignedWidth = std::ceil(s.size.width / q) * q;
        const double alignedHeight = std::ceil(s.size.height / q) * q;
        CGPoint origin = s.origin;
        if (outputWidth > 0 && outputHeight > 0 && alignedWidth > 0 && alignedHeight > 0) {
            const double gridX = q * alignedWidth / outputWidth;
            const double gridY = q * alignedHeight / outputHeight;
            origin = {std::floor(s.origin.x / gridX) * gridX, std::floor(s.origin.y / gridY) * gridY};
        }
        crop = CGRect(origin, CGSize{alignedWidth, alignedHeight});
    }

    return CompositeOutputPlan{crop, CGSize{outputWidth, outputHeight}, appliedScale};
}

}  // namespace mivodrell
