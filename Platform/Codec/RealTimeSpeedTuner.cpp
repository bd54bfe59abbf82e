#include "Platform/Codec/RealTimeSpeedTuner.h"

#include <algorithm>
#include <cmath>

namespace mivodrell {

namespace {

RealTimeSpeedTuner::Configuration sanitized(RealTimeSpeedTuner::Configuration c) {
    c.stepCount = std::max(1, c.stepCount);
    if (!std::isfinite(c.frameInterval) || c.frameInterval <= 0) c.frameInterval = 1.0 / 60.0;
    if (c.windowFrames < 1) c.windowFrames = 30;
    if (!std::isfinite(c.slowFraction) || c.slowFraction <= 0) c.slowFraction = 0.8;
    if (!std::isfinite(c.fastFraction) || c.fastFraction <= 0 || c.fastFraction >= c.slowFraction) {
        c.fastFraction = c.slowFraction * 0.625;
    }
    c.spareWindowsToImprove = std::max(1, c.spareWindowsToImprove);
    c.maxSpareWindowsToImprove = std::max(c.spareWindowsToImprove, c.maxSpareWindowsToImprove);
    return c;
}

}  // namespace

RealTimeSpeedTuner::RealTimeSpeedTuner(Configuration configuration, int initialStep)
    : configuration_(sanitized(configuration)),
      step_(std::clamp(initialStep, 0, configuration_.stepCount - 1)),
      spareWindowsNeeded_(configuration_.spareWindowsToImprove) {}

std::optional<int> RealTimeSpeedTuner::record(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) return std::nullopt;
    secondsInWindow_ += seconds;
    if (++framesInWindow_ < configuration_.windowFrames) return std::nullopt;

    const double mean = secondsInWindow_ / framesInWindow_;
    framesInWindow_ = 0;
    secondsInWindow_ = 0;
    const bool wasTrying = tryingBetterStep_;
    tryingBetterStep_ = false;
    const int fastest = configuration_.stepCount - 1;
    const double interval = configuration_.frameInterval;

    if (mean > configuration_.slowFraction * interval) {
        spareWindows_ = 0;
        if (wasTrying) {
            spareWindowsNeeded_ = std::min(spareWindowsNeeded_ * 2, configuration_.maxSpareWindowsToImprove);
        }
        if (step_ == fastest) return std::nullopt;
        step_ = mean > 2 * interval ? fastest : step_ + 1;
        return step_;
    }
    if (mean < configuration_.fastFraction * interval && step_ > 0) {
        if (++spareWindows_ >= spareWindowsNeeded_) {
            spareWindows_ = 0;
            tryingBetterStep_ = true;
            return --step_;
        }
        return std::nullopt;
    }
    spareWindows_ = 0;
    return std::nullopt;
}

}  // namespace mivodrell
