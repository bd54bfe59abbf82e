#include "CaptureCore/EncoderPolicy.h"
#include "CaptureCore/LinkQuality.h"
#include "Platform/Base/Narrowing.h"
#include <gtest/gtest.h>
#include "PlannerTestSupport.h"
namespace mivodrell { namespace {
using testing::kInf;
using testing::kNaN;
const LinkQuality excellent = LinkQuality::excellent, good = LinkQuality::good, fair = LinkQuality::fair,
                  poor = LinkQuality::poor;
TEST(LinkQuality, RawValuesAndClassification) {
    for (const LinkQuality q : allLinkQualities) EXPECT_EQ(LinkQuality::fromRawValue(q.rawValue()), q);
    EXPECT_EQ(excellent.rawValue(), 3);
    EXPECT_EQ(poor.rawValue(), 0);
    EXPECT_EQ(LinkQuality::fromRawValue(4), std::nullopt);
    EXPECT_EQ(LinkQuality::fromRawValue(-1), std::nullopt);
    const std::pair<std::optional<std::int64_t>, LinkQuality> bitrates[] = {
        {std::nullopt, good}, {0, good}, {-5, good}, {17'000'000, excellent}, {16'999'999, good}, {8'000'000, good},
        {7'999'999, fair}, {3'000'000, fair}, {2'999'999, poor}, {1, poor}, {INT64_MAX, excellent}};
    for (const auto& [bitrate, expected] : bitrates) {
        EXPECT_EQ(LinkQuality::classifyEstimatedBitrate(bitrate), expected) << bitrate.value_or(-999);
    }
    const std::pair<std::optional<double>, LinkQuality> ratios[] = {
        {std::nullopt, good}, {kNaN, good}, {kInf, good}, {-kInf, good}, {0.85, excellent}, {1.5, excellent},
        {0.8499, good}, {0.5, good}, {0.4999, fair}, {0.2, fair}, {0.19, poor}, {-1, poor}};
    for (const auto& [ratio, expected] : ratios) {
        EXPECT_EQ(LinkQuality::classifyPlaybackFPSRatio(ratio), expected) << ratio.value_or(-999);
    }
}
TEST(LinkQuality, StepsPlaybackRatioWithHysteresis) {
    struct Case { LinkQuality current; std::optional<double> ratio; LinkQuality expected; };
    const Case cases[] = {
        {excellent, 0.3, fair}, {excellent, 0.1, poor}, {excellent, 0.75, excellent}, {excellent, 0.7499, good},
        {poor, 0.95, excellent}, {poor, 0.3, poor}, {poor, 0.31, fair}, {poor, 0.9, good}, {good, 0.7, good},
        {good, 0.45, good}, {good, 0.4499, fair}, {good, 0.9, good}, {good, 0.91, excellent}, {fair, 0.2, fair},
        {fair, 0.1, poor}, {fair, 0.66, good}, {good, kNaN, good}, {poor, kInf, poor},
        {excellent, std::nullopt, excellent}, {fair, -kInf, fair}};
    for (const auto& c : cases) {
        EXPECT_EQ(LinkQuality::classifyPlaybackFPSRatio(c.ratio, c.current), c.expected)
            << c.current.rawValue() << " " << c.ratio.value_or(-999);
    }
}
TEST(EncoderPolicy, SettingsOfTheDefaultTables) {
    const EncoderPolicy policy{EncoderPolicy::Configuration()};
    struct Case { LinkQuality quality; std::optional<std::int64_t> available; EncoderSettings expected; };
    const Case cases[] = {
        {good, std::nullopt, {1.0, 12'000'000, 3, 30}}, {excellent, std::nullopt, {1.0, 25'000'000, 2, 30}},
        {fair, std::nullopt, {0.75, 5'000'000, 5, 30}}, {poor, std::nullopt, {0.6, 2'000'000, 8, 20}},
        {excellent, 4'000'000, {std::sqrt(0.16 / 0.35), 4'000'000, 2, 30}},  // ratio 0.16 of 25 M
        {poor, 500'000, {0.6, 800'000, 8, 20}},            // floor after the cap; the table's 0.6 wins
        {fair, 5'000'000, {0.75, 5'000'000, 5, 30}},       // at or above the target: the table scale
        {good, 90'000'000, {1.0, 12'000'000, 3, 30}},
        {excellent, 100'000, {0.5, 800'000, 2, 30}},       // the scale bottoms out at minScale
        {excellent, -7, {0.5, 800'000, 2, 30}},            // a negative bitrate counts as 0
    };
    for (const auto& c : cases) EXPECT_EQ(policy.settings(c.quality, 1, 1, c.available), c.expected) << c.quality.rawValue();
    const std::pair<LinkQuality, std::int64_t> audio[] = {{excellent, 32'000}, {good, 24'000}, {fair, 16'000}, {poor, 12'000}};
    for (const auto& [quality, bitrate] : audio) EXPECT_EQ(policy.audioBitrate(quality), bitrate);
}
TEST(EncoderPolicy, ZoomAndPlaybackRatioScaleTheTarget) {
    const EncoderPolicy policy{EncoderPolicy::Configuration()};
    constexpr double kSqrtTenth = 0.31622776601683794;
    struct Case { double zoom, fpsRatio, fpsFactor, zoomFactor; };
    const Case cases[] = {
        {1, 1, 1, 1}, {2, 1, 1, 0.25}, {3, 1, 1, 0.25}, {1.5, 1, 1, 1 / 2.25}, {0.5, 1, 1, 0.25}, {0.1, 1, 1, 0.25},
        {0.8, 1, 1, 0.8 * 0.8}, {0, 1, 1, 0.25}, {-3, 1, 1, 0.25}, {kNaN, 1, 1, 1}, {kInf, 1, 1, 1}, {-kInf, 1, 1, 1},
        {1, 0.04, kSqrtTenth, 1}, {1, 0.1, kSqrtTenth, 1}, {1, 0.25, 0.5, 1}, {1, 2, 1, 1}, {1, kNaN, 1, 1},
        {1, -kInf, 1, 1}, {2, 0.25, 0.5, 0.25}};
    for (const auto& c : cases) {
        const EncoderSettings s = policy.settings(excellent, c.zoom, c.fpsRatio, std::nullopt);
        const double target = 25'000'000.0 * c.fpsFactor * c.zoomFactor;
        EXPECT_EQ(s.bitrate, std::max<std::int64_t>(800'000, checkedTruncate<std::int64_t>(target).value()))
            << c.zoom << " " << c.fpsRatio;
        EXPECT_EQ(s.scale, 1.0);  // no available bitrate: no pressure
    }
    // Zoom and playback together: 25 M x 0.5 x 0.25 = 3.125 M on a 1 M link: ratio 0.32 is below 0.35.
    EXPECT_EQ(policy.settings(excellent, 2, 0.25, 1'000'000), (EncoderSettings{std::sqrt(0.32 / 0.35), 1'000'000, 2, 30}));
}
TEST(EncoderPolicy, MissingEntriesFallBackAndHugeBitratesSaturate) {
    EncoderPolicy::Configuration configuration;
    configuration.baseBitrateByQuality.erase(fair);
    configuration.scaleByQuality.erase(fair);
    configuration.keyframeIntervalByQuality.erase(fair);
    configuration.maxFrameRateByQuality.erase(fair);
    configuration.baseAudioBitrateByQuality.erase(fair);
    configuration.baseBitrateByQuality[excellent] = INT64_MAX;
    const EncoderPolicy policy{configuration};
    // Base falls back to minBitrate, interval to 3 s, rate to 30; the scale is the pressure scale.
    EXPECT_EQ(policy.settings(fair, 1, 1, std::nullopt), (EncoderSettings{1.0, 800'000, 3.0, 30.0}));
    EXPECT_EQ(policy.settings(fair, 1, 1, 100'000).scale, std::sqrt(0.125 / 0.35));
    EXPECT_EQ(policy.settings(fair, 1, 1, 10'000).scale, 0.5);  // no lower than minScale
    EXPECT_EQ(policy.audioBitrate(fair), 16'000);
    EXPECT_EQ(policy.settings(excellent, 1, 1, std::nullopt).bitrate, INT64_MAX);
    EXPECT_EQ(policy.settings(excellent, 1, 1, 9'000'000).bitrate, 9'000'000);
}
TEST(EncoderPolicy, Presets) {
    using Configuration = EncoderPolicy::Configuration;
    using Table = EncoderPolicy::QualityTable<double>;
    const Configuration defaults;
    for (const int other : {1, 7, -1}) EXPECT_EQ(Configuration::preset(other), defaults) << other;
    Configuration zero = defaults;
    zero.scaleByQuality = {{excellent, 1.0}, {good, 1.0}, {fair, 0.85}, {poor, 0.7}};
    zero.maxFrameRateByQuality = {{excellent, 30}, {good, 30}, {fair, 30}, {poor, 30}};
    EXPECT_EQ(Configuration::preset(0), zero);
    const Configuration two = Configuration::preset(2);
    EXPECT_EQ(two.baseBitrateByQuality, (EncoderPolicy::QualityTable<std::int64_t>{
                                            {excellent, 12'000'000}, {good, 6'000'000}, {fair, 2'500'000}, {poor, 1'000'000}}));
    EXPECT_EQ(two.scaleByQuality, (Table{{excellent, 1.0}, {good, 0.85}, {fair, 0.6}, {poor, 0.5}}));
    EXPECT_EQ(two.maxFrameRateByQuality, (Table{{excellent, 30}, {good, 24}, {fair, 15}, {poor, 10}}));
    EXPECT_EQ(two.keyframeIntervalByQuality, (Table{{excellent, 3}, {good, 4}, {fair, 6}, {poor, 10}}));
    EXPECT_EQ(two.minBitrate, 500'000);
    EXPECT_EQ(EncoderPolicy{two}.settings(poor, 1, 1, 100'000), (EncoderSettings{0.5, 500'000, 10, 10}));
}
}}  // namespace mivodrell
