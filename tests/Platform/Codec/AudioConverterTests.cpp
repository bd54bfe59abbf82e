#include "Platform/Codec/AudioConverter.h"
#include "support/AACDecoding.h"
#include <gtest/gtest.h>
#include <random>
namespace mivodrell {
namespace {
using testing::decodeAAC;
using testing::sine;
using Status = AudioConverter::OutputStatus;
AudioFormat pcm(double rate, std::uint32_t channels) { return *AudioFormat::makeFloat32PCM(rate, channels, false); }
AudioFormat aac(double rate, std::uint32_t channels) {
    AudioStreamDescription d;
    d.sampleRate = rate;
    d.formatID = AudioFormatID::mpeg4AAC;
    d.framesPerPacket = 1024;
    d.channelsPerFrame = channels;
    return *AudioFormat::make(d);
}
// Feeds a signal to a converter in chunks of at most what it asks for.
class Source {
public:
    Source(AudioFormat format, std::size_t totalFrames, std::function<float(std::size_t frame, std::uint32_t channel)> signal)
        : format_(std::move(format)), total_(totalFrames), signal_(std::move(signal)) {}
    // Hands out nothing more until allowed ("no data now").
    void hold() { allowed_ = position_; }
    void allow(std::size_t frames) { allowed_ += frames; }
    bool endAtExhaustion = false;
    std::size_t given() const { return position_; }
    AudioConverter::InputResult operator()(std::uint32_t wanted) {
        const std::size_t left = std::min(total_, allowed_) - position_;
        if (left == 0) {
            if (endAtExhaustion && position_ == total_) return {AudioConverter::InputStatus::endOfStream, nullptr};
            return {AudioConverter::InputStatus::noDataNow, nullptr};
        }
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(left, wanted));
        auto buffer = AudioPCMBuffer::make(format_, n);
        buffer->setFrameLength(n);
        for (std::uint32_t c = 0; c < format_.channelCount(); ++c) {
            for (std::uint32_t f = 0; f < n; ++f) buffer->floatChannelData(c)[f] = signal_(position_ + f, c);
        }
        position_ += n;
        return {AudioConverter::InputStatus::haveData, std::move(buffer)};
    }
private:
    AudioFormat format_;
    std::size_t total_;
    std::size_t allowed_ = SIZE_MAX / 2;
    std::size_t position_ = 0;
    std::function<float(std::size_t, std::uint32_t)> signal_;
};
// Runs conversions until one ends without a packet; returns that status.
Status convertAll(AudioConverter& converter, const AudioFormat& outputFormat, Source& source,
                  std::vector<std::vector<std::uint8_t>>& packets) {
    AudioCompressedBuffer output(outputFormat, 1, converter.maximumOutputPacketSize());
    for (;;) {
        const auto result = converter.convert(output, std::ref(source));
        if (result.status != Status::haveData) return result.status;
        EXPECT_EQ(output.packetCount(), 1u);
        EXPECT_GT(output.byteLength(), 0u);
        packets.emplace_back(output.bytes().begin(), output.bytes().end());
    }
}
TEST(AudioFormat, RefusesUnusableDescriptions) {
    for (auto [rate, channels] : {std::pair(0.0, 2u), {std::nan(""), 2u}, {48000.0, 0u}, {48000.0, AudioFormat::maximumChannelCount + 1}})
        EXPECT_FALSE(AudioFormat::makeFloat32PCM(rate, channels, false)) << rate << " Hz, " << channels;
    const auto planar = AudioFormat::makeFloat32PCM(48000, 2, false);
    ASSERT_TRUE(planar);
    EXPECT_EQ(std::pair(planar->isFloat32PCM(), planar->isInterleaved()), std::pair(true, false));
    EXPECT_TRUE(aac(16000, 2).magicCookie().empty());
    EXPECT_FALSE(AudioPCMBuffer::make(*AudioFormat::makeFloat32PCM(48000, 2, true), 16));
    EXPECT_FALSE(AudioPCMBuffer::make(*planar, 0));
}
TEST(AudioConverter, CreationRefusesWhatTheEncoderCannotDo) {
    struct Case {
        const char* name;
        AudioFormat input;
        AudioFormat output;
    };
    AudioStreamDescription int16 = pcm(48000, 2).streamDescription();
    int16.formatFlags = AudioFormatFlag::isSignedInteger | AudioFormatFlag::isNonInterleaved;
    int16.bitsPerChannel = 16;
    const Case cases[] = {
        {"rate outside the MPEG-4 table", pcm(48000, 2), aac(16001, 2)},
        {"fractional output rate", pcm(48000, 2), aac(16000.5, 2)},
        {"nine output channels", pcm(48000, 2), aac(48000, 9)},
        {"integer input", *AudioFormat::make(int16), aac(48000, 2)},
        {"interleaved input", *AudioFormat::makeFloat32PCM(48000, 2, true), aac(48000, 2)},
        {"PCM output", pcm(48000, 2), pcm(48000, 2)},
    };
    for (const auto& c : cases) EXPECT_EQ(AudioConverter::make(c.input, c.output), nullptr) << c.name;
    auto converter = AudioConverter::make(pcm(44100, 1), aac(7350, 1));
    ASSERT_NE(converter, nullptr);
    EXPECT_TRUE(converter->applicableEncodeBitRates().empty());
    EXPECT_EQ(converter->maximumOutputPacketSize(), 768u);
    EXPECT_EQ(AudioConverter::make(pcm(48000, 2), aac(48000, 2))->maximumOutputPacketSize(), 1536u);
}
TEST(AudioConverter, StartUpDelayShowsAsInputRanDryThenOnePacketPerFrame) {
    const auto out = aac(48000, 2);
    auto converter = AudioConverter::make(pcm(48000, 2), out);
    ASSERT_NE(converter, nullptr);
    converter->setBitRate(128000);
    EXPECT_EQ(converter->bitRate(), 128000u);
    Source source(pcm(48000, 2), 48000, [](std::size_t f, std::uint32_t) { return sine(f, 1000, 48000); });
    source.hold();
    std::vector<std::vector<std::uint8_t>> packets;
    EXPECT_EQ(convertAll(*converter, out, source, packets), Status::inputRanDry);
    std::vector<std::size_t> counts;  // the first frame primes the encoder
    for (int i = 0; i < 6; ++i) {
        source.allow(1024);
        EXPECT_EQ(convertAll(*converter, out, source, packets), Status::inputRanDry);
        counts.push_back(packets.size());
    }
    EXPECT_EQ(counts, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(source.given(), 6u * 1024);
}
TEST(AudioConverter, EndOfStreamDrainsEveryInputSample) {
    // 48 kHz stereo to 16 kHz: 10000 input frames are 3334 output frames, plus the 1024-frame
    // start-up delay; the drained stream must hold all of them.
    const auto out = aac(16000, 2);
    auto converter = AudioConverter::make(pcm(48000, 2), out);
    ASSERT_NE(converter, nullptr);
    converter->setBitRate(32000);
    Source source(pcm(48000, 2), 10000, [](std::size_t f, std::uint32_t) { return sine(f, 440, 48000); });
    source.endAtExhaustion = true;
    std::vector<std::vector<std::uint8_t>> packets;
    EXPECT_EQ(convertAll(*converter, out, source, packets), Status::endOfStream);
    EXPECT_EQ(source.given(), 10000u);
    AudioCompressedBuffer output(out, 1, converter->maximumOutputPacketSize());
    EXPECT_EQ(converter->convert(output, std::ref(source)).status, Status::endOfStream);
    const auto decoded = decodeAAC(packets, testing::libavEncoderExtradata(16000, 2));
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->frames() >= 3334u + 1024u && decoded->frames() <= 3334u + 2 * 1024u) << decoded->frames();
    // After a reset the converter starts over.
    converter->reset();
    Source again(pcm(48000, 2), 3 * 3072, [](std::size_t f, std::uint32_t) { return sine(f, 440, 48000); });
    again.hold();
    again.allow(3072);
    packets.clear();
    EXPECT_EQ(convertAll(*converter, out, again, packets), Status::inputRanDry);
    EXPECT_TRUE(packets.empty());
    again.allow(2 * 3072);
    EXPECT_EQ(convertAll(*converter, out, again, packets), Status::inputRanDry);
    EXPECT_GE(packets.size(), 1u);
}
TEST(AudioConverter, MonoInputIsSpreadOverBothOutputChannels) {
    const auto out = aac(48000, 2);
    auto converter = AudioConverter::make(pcm(48000, 1), out);
    ASSERT_NE(converter, nullptr);
    converter->setBitRate(96000);
    Source source(pcm(48000, 1), 24000, [](std::size_t f, std::uint32_t) { return sine(f, 1000, 48000); });
    source.endAtExhaustion = true;
    std::vector<std::vector<std::uint8_t>> packets;
    ASSERT_EQ(convertAll(*converter, out, source, packets), Status::endOfStream);
    const auto decoded = decodeAAC(packets, testing::libavEncoderExtradata(48000, 2));
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->channels, 2);
    for (const auto& plane : decoded->planes) {
        const auto f = testing::zeroCrossingFrequency(plane, 4096, 20000, 48000);
        ASSERT_TRUE(f);
        EXPECT_NEAR(*f, 1000.0, 1.0);
        EXPECT_GT(testing::rms(plane, 4096, 20000), 0.2);
    }
}
TEST(AudioConverter, PacketSizesFollowABitRateChangedWhileRunning) {
    const auto out = aac(16000, 2);
    auto converter = AudioConverter::make(pcm(16000, 2), out);
    ASSERT_NE(converter, nullptr);
    converter->setBitRate(16000);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-0.3f, 0.3f);
    Source source(pcm(16000, 2), 200 * 1024, [&](std::size_t, std::uint32_t) { return noise(random); });
    source.hold();
    std::vector<std::vector<std::uint8_t>> packets;
    const auto meanOfNext = [&](int count) {
        packets.clear();
        for (int i = 0; i < count; ++i) {
            source.allow(1024);
            convertAll(*converter, out, source, packets);
        }
        double sum = 0;
        for (std::size_t i = 2; i < packets.size(); ++i) sum += double(packets[i].size());
        return sum / double(packets.size() - 2);
    };
    const double slow = meanOfNext(40);
    converter->setBitRate(32000);
    const double fast = meanOfNext(40);
    EXPECT_NEAR(slow, 16000.0 / 8 * 1024 / 16000, 40.0);
    EXPECT_GT(fast / slow, 1.6);
}
TEST(AudioConverter, ABufferOfAnotherFormatIsAnErrorWithADescription) {
    const auto out = aac(48000, 2);
    auto converter = AudioConverter::make(pcm(48000, 2), out);
    ASSERT_NE(converter, nullptr);
    AudioCompressedBuffer output(out, 1, converter->maximumOutputPacketSize());
    const auto result = converter->convert(output, [](std::uint32_t n) {
        auto buffer = AudioPCMBuffer::make(pcm(48000, 1), n);
        buffer->setFrameLength(n);
        return AudioConverter::InputResult{AudioConverter::InputStatus::haveData, std::move(buffer)};
    });
    EXPECT_EQ(result.status, Status::error);
    ASSERT_TRUE(result.error);
    EXPECT_FALSE(result.error->description.empty());
    // Handing "have data" without a buffer is read as no data.
    EXPECT_EQ(converter
                  ->convert(output, [](std::uint32_t) {
                      return AudioConverter::InputResult{AudioConverter::InputStatus::haveData, nullptr};
                  })
                  .status,
              Status::inputRanDry);
}
}  // namespace
}  // namespace mivodrell
