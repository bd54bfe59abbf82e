#include "CaptureCore/KeyframeRequestPolicy.h"

#include <algorithm>
#include <cmath>

namespace mivodrell {

KeyframeRequestPolicy::KeyframeRequestPolicy() : KeyframeRequestPolicy(Configuration{}) {}

KeyframeRequestPolicy::KeyframeRequestPolicy(Configuration configuration_)
    : config(configuration_), interval(configuration_.minRequestInterval) {}

void KeyframeRequestPolicy::expireOutstandingRequest(double now) {
    if (!outstanding) return;
    // An outstanding request's time is always finite: an infinite `now` is far ahead or far
    // behind it and expires the request; NaN compares false both ways and expires nothing.
    const double age = now - lastRequestTime;
    if (age < 0 || age >= config.requestTimeout) {
        outstanding = false;
        interval = std::min(interval * config.backoffMultiplier, config.maxRequestInterval);
    }
}

bool KeyframeRequestPolicy::record(const LossEvent& event, double now) {
    expireOutstandingRequest(now);
    const bool stillOutstanding = outstanding;
    const bool timeKnown = std::isfinite(now);

    if (const auto* completed = std::get_if<LossEvent::FrameCompleted>(&event.value)) {
        lossesInARow = 0;
        if (completed->wasKeyframe) {
            if (timeKnown) lastKeyframeTime = now;
            lossSinceKeyframe = false;
            outstanding = false;
            interval = config.minRequestInterval;
        }
        return false;
    }

    const auto& abandoned = std::get<LossEvent::FrameAbandoned>(event.value);
    lossesInARow += 1;
    lossSinceKeyframe = true;
    if (stillOutstanding || !timeKnown) return false;
    const bool calledFor = abandoned.wasKeyframe || lossesInARow >= config.consecutiveLossThreshold ||
                           (std::isfinite(lastKeyframeTime) && now - lastKeyframeTime >= config.staleKeyframeThreshold);
    if (!calledFor) return false;
    if (now - lastRequestTime < interval) return false;
    lastRequestTime = now;
    outstanding = true;
    requests += 1;
    return true;
}

void KeyframeRequestPolicy::reset() { *this = KeyframeRequestPolicy(config); }

void KeyframeRequestPolicy::setLossThresholds(std::int64_t consecutiveLossThreshold, double staleKeyframeThreshold) {
    config.consecutiveLossThreshold = consecutiveLossThreshold;
    config.staleKeyframeThreshold = staleKeyframeThreshold;
}

}  // namespace mivodrell
