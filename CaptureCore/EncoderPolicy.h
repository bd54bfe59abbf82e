#pragma once
// Turns a link grade into encoder settings and an audio bitrate, from per-grade tables.

#include "CaptureCore/EncoderSettings.h"
#include "CaptureCore/LinkQuality.h"

#include <cstdint>
#include <map>
#include <optional>

namespace mivodrell {

class EncoderPolicy {
public:
    // A per-grade table; a grade without an entry takes the fallback of the operation using it.
    template <class T>
    using QualityTable = std::map<LinkQuality, T>;

    struct Configuration {
        QualityTable<std::int64_t> baseBitrateByQuality{{LinkQuality::excellent, 25'000'000},
                                                        {LinkQuality::good, 12'000'000},
                                                        {LinkQuality::fair, 5'000'000},
                                                        {LinkQuality::poor, 2'000'000}};
        std::int64_t minBitrate = 800'000;
        double minScale = 0.5;
        QualityTable<double> scaleByQuality{{LinkQuality::excellent, 1.0},
                                            {LinkQuality::good, 1.0},
                                            {LinkQuality::fair, 0.75},
                                            {LinkQuality::poor, 0.6}};
        double pressureThresholdForScaleDown = 0.35;
        QualityTable<double> keyframeIntervalByQuality{{LinkQuality::excellent, 2.0},
                                                       {LinkQuality::good, 3.0},
                                                       {LinkQuality::fair, 5.0},
                                                       {LinkQuality::poor, 8.0}};
        QualityTable<double> maxFrameRateByQuality{{LinkQuality::excellent, 30.0},
                                                   {LinkQuality::good, 30.0},
                                                   {LinkQuality::fair, 30.0},
                                                   {LinkQuality::poor, 20.0}};
        QualityTable<std::int64_t> baseAudioBitrateByQuality{{LinkQuality::excellent, 32'000},
                                                             {LinkQuality::good, 24'000},
                                                             {LinkQuality::fair, 16'000},
                                                             {LinkQuality::poor, 12'000}};

        // The user's quality tolerance: 0 keeps resolution and frame rate up, 2 trades them for a
        // lighter link; any other value gives the defaults.
        static Configuration preset(std::int64_t tolerance);

        friend bool operator==(const Configuration&, const Configuration&) = default;
    };

    EncoderPolicy() = default;
    explicit EncoderPolicy(Configuration configuration) : configuration_(std::move(configuration)) {}

    const Configuration& configuration() const { return configuration_; }

    // Settings for a grade, a zoom factor, the fraction of frames played and the bitrate the link
    // can carry (nothing when unknown). Never fails: unusable inputs count as neutral.
    EncoderSettings settings(LinkQuality quality, double zoom, double fpsRatio,
                             std::optional<std::int64_t> availableBitrate) const;

    // Audio bits per second for a grade.
    std::int64_t audioBitrate(LinkQuality quality) const;

private:
    Configuration configuration_;
};

}  // namespace mivodrell
