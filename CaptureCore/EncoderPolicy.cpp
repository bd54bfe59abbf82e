#include "CaptureCore/EncoderPolicy.h"

#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <cmath>

namespace mivodrell {

namespace {

template <class T>
std::optional<T> entry(const EncoderPolicy::QualityTable<T>& table, LinkQuality quality) {
    const auto it = table.find(quality);
    if (it == table.end()) return std::nullopt;
    return it->second;
}

}  // namespace

EncoderPolicy::Configuration EncoderPolicy::Configuration::preset(std::int64_t tolerance) {
    Configuration c;
    if (tolerance == 0) {
        c.scaleByQuality = {{LinkQuality::excellent, 1.0},
                            {LinkQuality::good, 1.0},
                            {LinkQuality::fair, 0.85},
                            {LinkQuality::poor, 0.7}};
        c.maxFrameRateByQuality = {{LinkQuality::excellent, 30.0},
                                   {LinkQuality::good, 30.0},
                                   {LinkQuality::fair, 30.0},
                                   {LinkQuality::poor, 30.0}};
    } else if (tolerance == 2) {
        c.baseBitrateByQuality = {{LinkQuality::excellent, 12'000'000},
                                  {LinkQuality::good, 6'000'000},
                                  {LinkQuality::fair, 2'500'000},
                                  {LinkQuality::poor, 1'000'000}};
        c.scaleByQuality = {{LinkQuality::excellent, 1.0},
                            {LinkQuality::good, 0.85},
                            {LinkQuality::fair, 0.6},
                            {LinkQuality::poor, 0.5}};
        c.maxFrameRateByQuality = {{LinkQuality::excellent, 30.0},
                                   {LinkQuality::good, 24.0},
                                   {LinkQuality::fair, 15.0},
                                   {LinkQuality::poor, 10.0}};
        c.keyframeIntervalByQuality = {{LinkQuality::excellent, 3.0},
                                       {LinkQuality::good, 4.0},
                                       {LinkQuality::fair, 6.0},
                                       {LinkQuality::poor, 10.0}};
        c.minBitrate = 500'000;
    }
    return c;
}

EncoderSettings EncoderPolicy::settings(LinkQuality quality, double zoom, double fpsRatio,
                                        std::optional<std::int64_t> availableBitrate) const {
    const Configuration& c = configuration_;
    const std::int64_t base = entry(c.baseBitrateByQuality, quality).value_or(c.minBitrate);
    const double keyframeInterval = entry(c.keyframeIntervalByQuality, quality).value_or(3.0);
    const double maxFrameRate = entry(c.maxFrameRateByQuality, quality).value_or(30.0);

    const double r = std::isfinite(fpsRatio) ? fpsRatio : 1.0;
    const double fpsFactor = std::sqrt(std::min(1.0, std::max(0.1, r)));

    double zoomFactor = 1.0;
    if (std::isfinite(zoom)) {
        const double z = zoom <= 0.01 ? 0.01 : zoom;
        if (z >= 1) {
            zoomFactor = 1 / std::min(z * z, 4.0);
        } else {
            zoomFactor = std::min(std::max(z * z, 0.25), 1.0);
        }
    }

    const double target = static_cast<double>(base) * fpsFactor * zoomFactor;
    double capped = target;
    if (availableBitrate) {
        capped = std::min(target, static_cast<double>(std::max<std::int64_t>(0, *availableBitrate)));
    }

    const double ratio = target > 1 ? capped / target : capped;
    double pressureScale = 1.0;
    if (ratio < c.pressureThresholdForScaleDown) {
        pressureScale = std::max(c.minScale, std::min(1.0, std::sqrt(ratio / c.pressureThresholdForScaleDown)));
    }

    const auto tableScale = entry(c.scaleByQuality, quality);
    const double scale = tableScale ? std::max(c.minScale, std::min(*tableScale, pressureScale)) : pressureScale;

    // A configured base bitrate beyond the integer range saturates rather than overflowing.
    std::int64_t bitrate = truncateClamped<std::int64_t>(capped, 0);
    bitrate = std::max(bitrate, c.minBitrate);

    return EncoderSettings{scale, bitrate, keyframeInterval, maxFrameRate};
}

std::int64_t EncoderPolicy::audioBitrate(LinkQuality quality) const {
    return entry(configuration_.baseAudioBitrateByQuality, quality).value_or(16'000);
}

}  // namespace mivodrell
