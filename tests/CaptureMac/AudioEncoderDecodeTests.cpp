// AudioEncoder with the real converter, checked by decoding its packets with libavcodec's AAC
// decoder.
#include "CaptureMac/AudioEncoder.h"
#include "Platform/Base/Narrowing.h"
#include "support/AACDecoding.h"
#include "support/AudioTestBuffers.h"
#include <gtest/gtest.h>
namespace mivodrell { namespace {
using testing::makeAudioBuffer;
int wholeRate(double rate) { return exactInteger<int>(rate).value_or(-1); }
struct EncodedRun {
    std::vector<AudioEncoder::Packet> packets;
    std::vector<std::uint8_t> cookie;
    int announcements = 0, announcedChannels = 0;
    double announcedRate = 0;
    std::vector<std::string> lines;
};
// Encodes `seconds` of a 1 kHz stereo sine at 48 kHz in 1024-frame non-interleaved buffers, with
// amplitude `left` on the left channel and `right` on the right.
EncodedRun encodeSine(const AudioEncoder::Configuration& configuration, double seconds, double left, double right) {
    EncodedRun run;
    AudioEncoder encoder(configuration);
    encoder.onDiagnostic = [&](const std::string& line) { run.lines.push_back(line); };
    encoder.onFormatDescriptionAvailable = [&](double rate, std::int32_t channels, const std::vector<std::uint8_t>& cookie) {
        ++run.announcements;
        run.announcedRate = rate;
        run.announcedChannels = channels;
        run.cookie = cookie;
    };
    const auto total = truncateClamped<std::size_t>(seconds * 48000, 0);
    for (std::size_t start = 0; start < total; start += 1024) {
        auto buffer = makeAudioBuffer(48000, 2, true, std::min<std::size_t>(1024, total - start),
                                      [&](std::size_t f, std::uint32_t c) {
                                          return testing::sine(f, 1000, 48000, c == 0 ? left : right);
                                      },
                                      start);
        for (auto& packet : encoder.encode(buffer)) run.packets.push_back(std::move(packet));
    }
    return run;
}
TEST(AudioEncoderDecoding, A1kHzSineSurvivesEncodingAtBothStreamSettings) {
    struct Case { AudioEncoder::Configuration configuration; std::vector<std::uint8_t> cookie; double levels[2], tolerance; };
    // At 16 kbit/s the encoder codes stereo as one intensity-stereo image, so both channels get
    // the same level there; 128 kbit/s keeps them apart.
    const Case cases[] = {
        {{16000.0, 2, 16000}, {0x14, 0x10}, {0.5, 0.5}, 0.25}, {{48000.0, 2, 128000}, {0x11, 0x90}, {0.5, 0.25}, 0.1}};
    constexpr double seconds = 2.0;
    for (const auto& c : cases) {
        const double rate = c.configuration.sampleRate;
        SCOPED_TRACE(rate);
        const EncodedRun run = encodeSine(c.configuration, seconds, c.levels[0], c.levels[1]);
        EXPECT_EQ(std::tuple(run.announcements, run.announcedRate, run.announcedChannels, run.cookie), std::tuple(1, rate, 2, c.cookie));
        for (const auto& p : run.packets) {
            ASSERT_FALSE(p.empty());
            // Raw access units: no ADTS sync word in front.
            ASSERT_FALSE(p.size() >= 2 && p[0] == 0xFF && (p[1] & 0xF0) == 0xF0);
        }
        const auto decoded = testing::decodeAAC(run.packets, run.cookie);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(std::tuple(decoded->sampleRate, decoded->channels, decoded->profile), std::tuple(wholeRate(rate), 2, FF_PROFILE_AAC_LOW));
        // One packet is 1024 output frames. The encoder holds back its start-up frame and the
        // part of a frame still in its FIFO (and the resampler a few frames).
        const double expected = seconds * rate;
        EXPECT_EQ(decoded->frames(), run.packets.size() * 1024);
        EXPECT_TRUE(decoded->frames() <= expected && decoded->frames() >= expected - 3 * 1024) << decoded->frames();
        // Past the encoder's start-up delay, both channels carry the 1 kHz tone at their levels.
        const std::size_t from = 2048;
        const std::size_t to = decoded->frames() - 1024;
        for (int ch = 0; ch < 2; ++ch) {
            const auto& plane = decoded->planes[static_cast<std::size_t>(ch)];
            const auto frequency = testing::zeroCrossingFrequency(plane, from, to, rate);
            ASSERT_TRUE(frequency);
            EXPECT_NEAR(*frequency, 1000.0, 1.0) << "channel " << ch;
            const double level = c.levels[ch] / std::sqrt(2.0);
            EXPECT_NEAR(testing::rms(plane, from, to), level, c.tolerance * level) << "channel " << ch;
        }
    }
}
TEST(AudioEncoderDecoding, TheAnnouncedConfigMatchesLibavcodecsOwn) {
    for (const double rate : AudioEncoder::samplingFrequencies) {
        for (const std::uint32_t channels : {1u, 2u}) {
            const auto ours = AudioEncoder::makeAudioSpecificConfig(rate, channels);
            ASSERT_TRUE(ours);
            const auto theirs = testing::libavEncoderExtradata(wholeRate(rate), static_cast<int>(channels));
            // Theirs adds an explicit "no SBR" sync extension after the same two bytes.
            ASSERT_GE(theirs.size(), 2u) << rate;
            EXPECT_EQ(*ours, std::vector<std::uint8_t>(theirs.begin(), theirs.begin() + 2)) << rate << " Hz, " << channels;
            AVCodecContext* decoder = testing::openAACDecoder(*ours);
            EXPECT_NE(decoder, nullptr) << rate;
            avcodec_free_context(&decoder);
        }
    }
}
}}  // namespace mivodrell
