#pragma once
// Decides when the controller should ask the host for a fresh keyframe.
//
// It asks soon after losses begin (a lost keyframe, `consecutiveLossThreshold` losses in a row,
// or any loss `staleKeyframeThreshold` seconds after the last keyframe), never more often than
// the current interval, and not again while a request is outstanding. A request that no
// keyframe answers within `requestTimeout` counts as lost and multiplies the interval by
// `backoffMultiplier` (at most `maxRequestInterval`); a completed keyframe brings the interval
// back to `minRequestInterval`.
//
// Times are seconds on one clock of the caller's choosing; only differences are used. A time that
// is not finite is never stored: an event recorded with it is counted but asks for nothing.

#include <cstdint>
#include <limits>

#include "CaptureCore/LossEvent.h"

namespace mivodrell {

class KeyframeRequestPolicy {
public:
    struct Configuration {
        double minRequestInterval = 0.5;
        double requestTimeout = 1.0;
        std::int64_t consecutiveLossThreshold = 2;
        double backoffMultiplier = 2.0;
        double maxRequestInterval = 4.0;
        double staleKeyframeThreshold = 8.0;
        friend bool operator==(const Configuration&, const Configuration&) = default;
    };

    // The default configuration.
    KeyframeRequestPolicy();
    explicit KeyframeRequestPolicy(Configuration configuration);

    // Records one event; true when a keyframe should be requested now (the request is then
    // counted and outstanding).
    bool record(const LossEvent& event, double now);
    // Treats an outstanding request as lost when it is at least `requestTimeout` old or the
    // clock went back.
    void expireOutstandingRequest(double now);
    // Every field but the configuration back to its initial value.
    void reset();
    void setLossThresholds(std::int64_t consecutiveLossThreshold, double staleKeyframeThreshold);

    const Configuration& configuration() const { return config; }
    double currentInterval() const { return interval; }
    double lastRequestAt() const { return lastRequestTime; }
    bool hasOutstandingRequest() const { return outstanding; }
    std::int64_t consecutiveLosses() const { return lossesInARow; }
    double lastKeyframeAt() const { return lastKeyframeTime; }
    bool hasLossSinceKeyframe() const { return lossSinceKeyframe; }
    std::int64_t requestCount() const { return requests; }

    friend bool operator==(const KeyframeRequestPolicy&, const KeyframeRequestPolicy&) = default;

private:
    Configuration config;
    double interval;
    double lastRequestTime = -std::numeric_limits<double>::infinity();
    bool outstanding = false;
    std::int64_t lossesInARow = 0;
    double lastKeyframeTime = -std::numeric_limits<double>::infinity();
    bool lossSinceKeyframe = false;
    std::int64_t requests = 0;
};

}  // namespace mivodrell
