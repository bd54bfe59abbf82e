// The whole live stream: two virtual displays, a crop across both, the real HEVC and AAC encoders,
// and libavcodec's decoders reading what comes out.
#include "CoordinatorTestSupport.h"
#include "support/AACDecoding.h"
#include "support/HEVCTestDecoder.h"
#include <gtest/gtest.h>
#include <cmath>
namespace mivodrell { namespace {
using testing::CoordinatorHarness;
TEST(CompositeCaptureCoordinatorEndToEnd, ACropAcrossTwoDisplaysDecodesWithItsContentAndAudio) {
    CoordinatorHarness h{HEVCEncoder::Backend{}};
    h.server->setContentFunction(testing::fillDisplay);
    h.server->setAudioTone(1000, 0.5);
    std::vector<std::vector<std::uint8_t>> parameterSets;
    h.coordinator->onVideoFormatAvailable = [&](std::int32_t, std::int32_t, const auto& sets, std::int32_t length) { parameterSets = sets; EXPECT_EQ(length, 4); };
    h.coordinator->setAudioEnabled(true);
    const CGRect crop(320, 0, 640, 360);  // right half of display 1, left half of display 2
    h.apply(CoordinatorHarness::plan({1, 2}, {1, 2}), crop, {640, 352});
    for (int i = 0; i < 60; ++i) h.deliver(), h.tick();
    h.coordinator->stopAll();
    ASSERT_EQ(h.errors(), testing::Texts{});
    ASSERT_EQ(h.recorded.frames.size(), 60u);
    ASSERT_FALSE(parameterSets.empty());
    testing::HEVCTestDecoder decoder(parameterSets);
    std::vector<testing::DecodedPicture> pictures;
    for (const EncodedFrame& frame : h.recorded.frames) {
        EXPECT_TRUE(identical(frame.cropRect, crop));
        for (auto& p : decoder.decode(frame.payload.span())) pictures.push_back(std::move(p));
    }
    for (auto& p : decoder.flush()) pictures.push_back(std::move(p));
    ASSERT_EQ(pictures.size(), 60u);
    for (const auto& p : pictures) EXPECT_EQ(std::pair(p.width, p.height), std::pair(640, 352));
    // Column c of the output shows global x = 320 + c: display 1 left of 640, display 2 right.
    const testing::DecodedPicture& last = pictures.back();
    double worst = 0;
    for (int c = 4; c < 636; ++c) {
        if (c > 316 && c < 324) continue;  // filtered across the displays' seam
        const std::uint32_t display = c < 320 ? 1 : 2;
        const int localX = c < 320 ? 320 + c : c - 320;
        double sum = 0;
        for (int y = 16; y < 336; ++y) sum += last.y[static_cast<std::size_t>(y) * 640 + static_cast<std::size_t>(c)];
        worst = std::max(worst, std::abs(sum / 320 - testing::expectedLuma(display, localX, 640)));
    }
    EXPECT_LT(worst, 4.0);
    // The audio: AAC-LC at 16 kHz carrying the 1 kHz tone.
    std::vector<std::vector<std::uint8_t>> packets;
    for (const auto& [bytes, time] : h.recorded.audio) packets.push_back(bytes);
    ASSERT_GE(packets.size(), 10u);
    const auto audio = testing::decodeAAC(packets, h.recorded.audioConfig);
    ASSERT_TRUE(audio);
    EXPECT_EQ(std::pair(audio->sampleRate, audio->channels), std::pair(16000, 2));
    const auto frequency = testing::zeroCrossingFrequency(audio->planes[0], 2048, audio->frames() - 1024, 16000);
    ASSERT_TRUE(frequency);
    EXPECT_NEAR(*frequency, 1000.0, 2.0);
}
}}  // namespace mivodrell
