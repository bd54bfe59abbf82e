// The encoder on the machine's real session, checked by decoding with libavcodec.
#include "CaptureMac/HEVCEncoder.h"
#include "CaptureMac/SyntheticFrameSource.h"
#include "support/DesktopTestFrames.h"
#include "support/HEVCTestDecoder.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <numeric>
#include <tuple>
namespace mivodrell {
namespace {
using testing::HEVCTestDecoder;
MediaTime timeOf(int frameIndex, double fps) { return MediaTime::make(std::llround(frameIndex * 90000 / fps), 90000); }
TEST(HEVCEncoderStream, FramesDecodeInOrderWithTheReportedParameterSets) {
    HEVCEncoder encoder(320, 240, HEVCEncoder::Configuration{60.0, 240, 1'000'000}, true);
    encoder.apply({1.0, 1'000'000, 2.0, 30.0});
    std::vector<std::vector<std::uint8_t>> parameterSets;
    int reports = 0;
    encoder.onFormatDescriptionAvailable = [&](const auto& sets, std::int32_t length) {
        ++reports;
        parameterSets = sets;
        EXPECT_EQ(length, 4);
    };
    std::unique_ptr<HEVCTestDecoder> decoder;
    std::vector<std::vector<std::uint8_t>> payloads;
    for (int i = 0; i < 10; ++i) {
        const bool force = i == 6;
        const EncodedFrame f = encoder.encode(SyntheticFrameSource{320, 240}.makeFrame(i / 60.0, 0.02), 100 + i, timeOf(i, 60), force);
        ASSERT_FALSE(f.payload.empty());
        EXPECT_EQ(std::tuple(f.frameID, f.isKeyframe, f.presentationTime), std::tuple(100u + i, i == 0 || force, timeOf(i, 60).seconds())) << i;
        payloads.push_back(f.payload.toVector());
        if (!decoder) decoder = std::make_unique<HEVCTestDecoder>(parameterSets);
        const auto pictures = decoder->decode(f.payload.span());
        ASSERT_EQ(pictures.size(), 1u) << "frame " << i << " did not come out on its own";
    }
    EXPECT_EQ(reports, 1);
    EXPECT_TRUE(decoder->flush().empty());
    // The forced keyframe decodes without the frames before it.
    HEVCTestDecoder fresh(parameterSets);
    EXPECT_EQ(fresh.decode(payloads[6]).size(), 1u);
}
double meanSize(HEVCEncoder& encoder, int first, int count, int measureFrom, std::uint32_t& frameID) {
    double sum = 0;
    for (int i = first; i < first + count; ++i) {
        const EncodedFrame f = encoder.encode(SyntheticFrameSource{640, 360}.makeFrame(i / 60.0, 0.02), frameID++, timeOf(i, 60), false);
        if (i - first >= measureFrom) sum += static_cast<double>(f.payload.size());
    }
    return sum / (count - measureFrom);
}
// The target is bytes per frame = bitrate / 8 / 60. After a change the rate control needs a
// few frames, and the reopen makes the first frame a keyframe, so the first 30 frames after
// each change are left out. Noisy content at these rates fills its budget; the measured ratio
// must lie within 0.15 .. 0.40 of the ideal 0.25 (x265's ABR runs a little over a low target,
// where the fixed cost of slice headers and the moving bar weighs more).
TEST(HEVCEncoderStream, AQuarterOfTheBitrateGivesAboutAQuarterOfTheBytes) {
    HEVCEncoder encoder(640, 360, HEVCEncoder::Configuration{60.0, 240, 4'000'000}, true);
    encoder.apply({1.0, 4'000'000, 8.0, 30.0});
    std::uint32_t frameID = 0;
    const double before = meanSize(encoder, 0, 90, 30, frameID);
    encoder.apply({1.0, 1'000'000, 8.0, 30.0});
    const double after = meanSize(encoder, 90, 90, 30, frameID);
    const double ratio = after / before;
    std::printf("mean frame bytes: %.0f at 4 Mbit/s (target %.0f), %.0f at 1 Mbit/s (target %.0f), ratio %.3f\n",
                before, 4e6 / 8 / 60, after, 1e6 / 8 / 60, ratio);
    EXPECT_TRUE(ratio > 0.15 && ratio < 0.40) << ratio;
    EXPECT_LT(before, 4e6 / 8 / 60 * 1.3);
}
// Desktop-like content (text, flat areas, a moving window) is what the quality goal is set for;
// whatever effort step the machine affords, it stays above 35 dB at 8 Mbit/s. (Full-screen noise
// at fast steps goes lower; the benchmark reports it.)
TEST(HEVCEncoderStream, FullHDDesktopAtEightMegabitsKeepsAboveThirtyFiveDecibels) {
    constexpr int w = 1920, h = 1080, frames = 120;
    HEVCEncoder encoder(w, h, HEVCEncoder::Configuration{}, true);
    encoder.apply({1.0, 8'000'000, 2.0, 30.0});
    std::vector<std::vector<std::uint8_t>> parameterSets;
    encoder.onFormatDescriptionAvailable = [&](const auto& sets, std::int32_t) { parameterSets = sets; };
    std::unique_ptr<HEVCTestDecoder> decoder;
    std::vector<double> values;
    for (int i = 0; i < frames; ++i) {
        auto source = testing::makeDesktopFrame(w, h, i);
        const EncodedFrame f = encoder.encode(source, static_cast<std::uint32_t>(i), timeOf(i, 60), false);
        if (!decoder) decoder = std::make_unique<HEVCTestDecoder>(parameterSets);
        const auto pictures = decoder->decode(f.payload.span());
        ASSERT_EQ(pictures.size(), 1u);
        ASSERT_EQ(std::pair(pictures[0].width, pictures[0].height), std::pair(w, h));
        values.push_back(i < 10 || i >= 60 ? testing::psnr(pictures[0], testing::referenceI420(*source)) : 0.0);
    }
    const double early = std::accumulate(values.begin(), values.begin() + 10, 0.0) / 10;
    const double settled = std::accumulate(values.begin() + 60, values.end(), 0.0) / (frames - 60);
    std::printf("PSNR: frame 0 %.2f dB, frames 0-9 mean %.2f dB, frames 60-119 mean %.2f dB\n", values[0], early, settled);
    EXPECT_GE(settled, 35.0);
}
}  // namespace
}  // namespace mivodrell
