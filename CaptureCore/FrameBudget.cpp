#include "CaptureCore/FrameBudget.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace mivodrell {

FrameBudget::FrameBudget(Configuration configuration) : configuration_(std::move(configuration)) {
    currentCeilingFPS_ = std::min(configuration_.targetFPS, levelCeiling(ThermalLevel::nominal));
}

double FrameBudget::levelCeiling(ThermalLevel level) const {
    const auto it = configuration_.ceilingByThermal.find(level);
    return it == configuration_.ceilingByThermal.end() ? configuration_.targetFPS : it->second;
}

double FrameBudget::currentInterval() const { return 1 / std::max(1.0, currentCeilingFPS_); }

void FrameBudget::updateThermal(ThermalLevel level, double now) {
    const ThermalLevel old = thermal_;
    thermal_ = level;
    if (level > old) {
        currentCeilingFPS_ = std::min(levelCeiling(level), currentCeilingFPS_);
        recoveryEligibleAt_ = now + configuration_.recoveryHoldSeconds;
    } else if (level < old) {
        recoveryEligibleAt_ = now + configuration_.recoveryHoldSeconds;
    }
}

void FrameBudget::tick(double now) {
    if (now < recoveryEligibleAt_) return;
    const double target = std::min(configuration_.targetFPS, levelCeiling(thermal_));
    if (target <= currentCeilingFPS_) {
        currentCeilingFPS_ = target;
        return;
    }
    std::optional<double> nextStep;
    for (const ThermalLevel level : allThermalLevels) {
        const auto it = configuration_.ceilingByThermal.find(level);
        if (it == configuration_.ceilingByThermal.end()) continue;
        const double ceiling = std::min(configuration_.targetFPS, it->second);
        if (ceiling > currentCeilingFPS_ && ceiling <= target && (!nextStep || ceiling < *nextStep)) {
            nextStep = ceiling;
        }
    }
    currentCeilingFPS_ = nextStep.value_or(target);
    recoveryEligibleAt_ = now + configuration_.recoveryHoldSeconds;
}

bool FrameBudget::shouldEmit(double now) {
    tick(now);
    const double interval = 1 / std::max(1.0, currentCeilingFPS_);
    if (now - lastEmittedAt_ >= interval - configuration_.intervalEpsilon) {
        lastEmittedAt_ = now;
        return true;
    }
    return false;
}

}  // namespace mivodrell
