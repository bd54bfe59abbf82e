#include "CaptureCore/LinkQuality.h"

#include <cmath>

namespace mivodrell {

namespace {

// Below this ratio a grade is left downwards; nothing for the lowest grade.
std::optional<double> leaveThreshold(LinkQuality quality) {
    switch (quality.caseValue()) {
        case LinkQuality::Case::excellent: return 0.75;
        case LinkQuality::Case::good: return 0.45;
        case LinkQuality::Case::fair: return 0.15;
        case LinkQuality::Case::poor: return std::nullopt;
    }
    return std::nullopt;
}

// Above this ratio the next grade up is entered; nothing for the highest grade.
std::optional<double> enterNextThreshold(LinkQuality quality) {
    switch (quality.caseValue()) {
        case LinkQuality::Case::poor: return 0.3;
        case LinkQuality::Case::fair: return 0.65;
        case LinkQuality::Case::good: return 0.9;
        case LinkQuality::Case::excellent: return std::nullopt;
    }
    return std::nullopt;
}

LinkQuality oneDown(LinkQuality quality) { return *LinkQuality::fromRawValue(quality.rawValue() - 1); }
LinkQuality oneUp(LinkQuality quality) { return *LinkQuality::fromRawValue(quality.rawValue() + 1); }

}  // namespace

LinkQuality LinkQuality::classifyEstimatedBitrate(std::optional<std::int64_t> estimatedBitrate) {
    if (!estimatedBitrate || *estimatedBitrate <= 0) return good;
    const std::int64_t bps = *estimatedBitrate;
    if (bps >= 17'000'000) return excellent;
    if (bps >= 8'000'000) return good;
    if (bps >= 3'000'000) return fair;
    return poor;
}

LinkQuality LinkQuality::classifyPlaybackFPSRatio(std::optional<double> playbackFPSRatio) {
    if (!playbackFPSRatio || !std::isfinite(*playbackFPSRatio)) return good;
    const double x = *playbackFPSRatio;
    if (x >= 0.85) return excellent;
    if (x >= 0.5) return good;
    if (x >= 0.2) return fair;
    return poor;
}

LinkQuality LinkQuality::classifyPlaybackFPSRatio(std::optional<double> playbackFPSRatio, LinkQuality current) {
    if (!playbackFPSRatio || !std::isfinite(*playbackFPSRatio)) return current;
    const double x = *playbackFPSRatio;
    LinkQuality grade = current;
    bool movedDown = false;
    for (auto leave = leaveThreshold(grade); leave && x < *leave; leave = leaveThreshold(grade)) {
        grade = oneDown(grade);
        movedDown = true;
    }
    if (movedDown) return grade;
    for (auto enter = enterNextThreshold(grade); enter && x > *enter; enter = enterNextThreshold(grade)) {
        grade = oneUp(grade);
    }
    return grade;
}

}  // namespace mivodrell
