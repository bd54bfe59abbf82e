#include "Platform/Codec/LiveRateController.h"

#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <cmath>

namespace mivodrell {

namespace {

// A keyframe with no keyframe seen yet: about this many times a non-keyframe's complexity.
constexpr double keyframeComplexityGuess = 6.0;
// How much of the newest frame goes into the learned complexity.
constexpr double learningWeight = 0.5;
// The excess is paid back over this many seconds.
constexpr double paybackSeconds = 0.5;
// A frame never aims below this share of its average budget.
constexpr double minBudgetShare = 0.25;
// A keyframe may take this many average frame budgets.
constexpr double keyframeBudgets = 4.0;

double qscale(double qp) { return 0.85 * std::exp2((qp - 12.0) / 6.0); }
double qpFor(double scale) { return 12.0 + 6.0 * std::log2(scale / 0.85); }

bool usable(double v) { return std::isfinite(v) && v > 0; }

}  // namespace

LiveRateController::LiveRateController(Target target, double lastQP, double lastFrameBits)
    : lastQP_(std::isfinite(lastQP) ? std::clamp(lastQP, double{minQP}, double{maxQP}) : 32.0) {
    target_.bitsPerSecond = 1'000'000;
    setTarget(target);
    complexity_ = (usable(lastFrameBits) ? lastFrameBits : frameBudget()) * qscale(lastQP_);
}

void LiveRateController::setTarget(Target target) {
    if (usable(target.bitsPerSecond)) target_.bitsPerSecond = target.bitsPerSecond;
    target_.maxBitsPerSecond = usable(target.maxBitsPerSecond) ? target.maxBitsPerSecond : 0;
    target_.bufferBits = usable(target.bufferBits) ? target.bufferBits : 0;
    if (usable(target.frameRate)) target_.frameRate = target.frameRate;
}

double LiveRateController::frameBudget() const { return target_.bitsPerSecond / target_.frameRate; }

int LiveRateController::nextQP(bool keyframe) const {
    const double budget = frameBudget();
    double aim = budget - excessBits_ / (paybackSeconds * target_.frameRate);
    aim = std::max(aim, budget * minBudgetShare);
    if (target_.maxBitsPerSecond > 0) aim = std::min(aim, target_.maxBitsPerSecond / target_.frameRate * 2);
    double complexity = complexity_;
    if (keyframe) {
        aim = std::max(aim, budget) * keyframeBudgets;
        complexity = keyframeComplexity_ > 0 ? keyframeComplexity_ : complexity_ * keyframeComplexityGuess;
    }
    double qp = qpFor(complexity / aim);
    if (!std::isfinite(qp)) qp = lastQP_;
    // Keyframes are judged on their own; other frames move gradually from the last one.
    if (!keyframe) qp = std::clamp(qp, lastQP_ - maxStep, lastQP_ + maxStep);
    return roundClamped<int>(std::clamp(qp, double{minQP}, double{maxQP}), maxQP);
}

void LiveRateController::frameEncoded(double bits, double qp, bool keyframe) {
    if (!std::isfinite(bits) || bits < 0 || !std::isfinite(qp)) return;
    qp = std::clamp(qp, double{minQP}, double{maxQP});
    const double observed = std::max(bits, 1.0) * qscale(qp);
    if (keyframe) {
        keyframeComplexity_ = keyframeComplexity_ > 0 ? keyframeComplexity_ + learningWeight * (observed - keyframeComplexity_)
                                                      : observed;
    } else {
        complexity_ += learningWeight * (observed - complexity_);
        lastQP_ = qp;
    }
    excessBits_ += bits - frameBudget();
    // The stream may get ahead by at most the rate buffer, and bank at most half of it.
    const double buffer = target_.bufferBits > 0 ? target_.bufferBits
                                                 : (target_.maxBitsPerSecond > 0 ? target_.maxBitsPerSecond : target_.bitsPerSecond);
    excessBits_ = std::clamp(excessBits_, -buffer / 2, buffer);
}

}  // namespace mivodrell
