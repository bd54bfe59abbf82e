// AudioEncoder against the virtual converter: set-up, sample intake, conversion outcomes, bit
// rates, counters, invalidation and the diagnostic capture.
#include "CaptureMac/AudioEncoder.h"
#include "Platform/Codec/VirtualAudioConverter.h"
#include "CaptureTestSupport.h"
#include "support/AudioTestBuffers.h"
#include <gtest/gtest.h>
#include <sndfile.h>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <filesystem>
#include <unistd.h>
namespace mivodrell { namespace {
using testing::makeAudioBuffer;
using testing::SampleType;
using Error = AudioEncoder::EncoderError;
using Kind = AudioEncoder::EncoderError::Kind;
using Step = VirtualAudioConverter::Step;
using Status = AudioConverter::OutputStatus;
float ramp(std::size_t frame, std::uint32_t channel) {
    return static_cast<float>(channel + 1) * 0.001f * static_cast<float>(frame % 500) - 0.25f;
}
struct Harness {
    struct Announcement { double sampleRate; std::int32_t channelCount; std::vector<std::uint8_t> cookie; };
    std::shared_ptr<VirtualAudioConverter::Behaviour> behaviour = std::make_shared<VirtualAudioConverter::Behaviour>();
    std::shared_ptr<VirtualAudioConverter::Journal> journal = std::make_shared<VirtualAudioConverter::Journal>();
    std::vector<std::string> lines;
    std::vector<Announcement> announcements;
    std::unique_ptr<AudioEncoder> encoder;
    explicit Harness(AudioEncoder::Configuration configuration = {16000.0, 2, 16000}) {
        encoder = std::make_unique<AudioEncoder>(configuration, VirtualAudioConverter::factory(behaviour, journal));
        encoder->onDiagnostic = [this](const std::string& line) { lines.push_back(line); };
        encoder->onFormatDescriptionAvailable = [this](double rate, std::int32_t channels, const std::vector<std::uint8_t>& cookie) {
            announcements.push_back({rate, channels, cookie});
        };
    }
    std::vector<AudioEncoder::Packet> feed(std::size_t frames, std::uint32_t channels = 2, bool nonInterleaved = true,
                                           double rate = 48000.0) {
        return encoder->encode(makeAudioBuffer(rate, channels, nonInterleaved, frames, ramp));
    }
    bool saw(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
    std::size_t count(const std::string& part) const {
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; }));
    }
};
std::optional<Error> errorOf(const std::function<void()>& call) { return testing::thrown<Error>(call); }
std::optional<Kind> errorKind(const std::function<void()>& call) { return testing::errorKind<Error>(call); }
TEST(AudioEncoderRules, AudioSpecificConfigBytes) {
    // Every table rate at one and two channels is compared with libavcodec's own in AudioEncoderDecoding.
    struct Case { double rate; std::uint32_t channels; std::vector<std::uint8_t> expected; };  // empty: none
    const Case cases[] = {{16000.4, 2, {0x14, 0x10}}, {15999.6, 2, {0x14, 0x10}}, {16000.5, 2, {}}, {48000.0, 3, {}}, {48000.0, 0, {}},
                          {std::nan(""), 2, {}}, {0.0, 1, {}}, {-48000.0, 2, {}}};
    for (const auto& c : cases) {
        EXPECT_EQ(AudioEncoder::makeAudioSpecificConfig(c.rate, c.channels),
                  c.expected.empty() ? std::nullopt : std::optional(c.expected)) << c.rate << " Hz, " << c.channels << " ch";
    }
}
TEST(AudioEncoderRules, NearestApplicableBitrate) {
    struct Case { std::uint32_t target; std::vector<std::uint32_t> rates; std::uint32_t expected; };
    const Case cases[] = {
        {18000, {12000, 16000, 20000}, 16000},  // tie: the earlier entry stays
        {16000, {12000, 16000, 20000}, 16000}, {19000, {12000, 16000, 20000}, 20000}, {18000, {20000, 16000}, 20000},
        {18000, {}, 18000}, {0, {64000, 32000}, 32000}, {4294967295u, {0, 4294967294u}, 4294967294u},
        {2147483648u, {4294967295u, 0}, 4294967295u},  // 2147483647 away against 2147483648
    };
    for (const auto& c : cases) EXPECT_EQ(AudioEncoder::nearestApplicableBitrate(c.target, c.rates), c.expected) << c.target;
}
// The set-up lines: the converter's formats, whether the target rate was snapped to the list, and
// the cookie (a manual AudioSpecificConfig, or none for a rate outside the standard table).
TEST(AudioEncoderSetup, SnapsTheTargetToTheRateListAndReportsEachStep) {
    const std::string created = "AudioEncoder：AVAudioConverter 建立成功（輸入 48000.0Hz/2ch，";
    const std::string planar = "來源為 non-interleaved，input block 已改成手動解交錯 → 輸出 AAC-LC（第四十三輪退回）";
    const std::string packed = "來源已是 interleaved → 輸出 AAC-LC（第四十三輪退回）";
    const auto noCookie = [](const char* rate) {
        return std::string("AudioEncoder：⚠️ 取樣率 ") + rate + "Hz 不在 ISO 14496-3 標準表內，沒有實作對應的 AudioSpecificConfig "
               "合成邏輯，送出空的 magicCookie，靠第四十輪已驗證的「iOS 端缺 cookie 也繼續硬解」路徑";
    };
    struct Case {
        AudioEncoder::Configuration configuration; std::vector<std::uint32_t> rates; bool nonInterleaved; std::vector<std::string> lines; std::uint32_t applied;
    };
    const Case cases[] = {
        {{16000.0, 2, 18000}, {12000, 16000, 20000}, true,
         {"AudioEncoder：目標位元率 18000bps 不在這個 encoder 支援的離散清單內，改選最接近的可用值",
          created + planar + "16000.0Hz/2ch @ 16000bps（目標值 18000bps 不可用，已改選最接近的支援值）",
          "AudioEncoder：AVAudioFormat.magicCookie 是空的（第六輪真機測試已證實這個 API 在這個建構路徑下永遠是空的），"
          "改用手動合成的 AudioSpecificConfig（2 bytes）",
          "AVAudioConverter.convert 回報 inputRanDry（正常，非錯誤），累計第 1 次，目前 pendingSamples 還剩 0 個樣本"}, 16000},
        {{16000.0, 2, 16000}, {12000, 16000, 20000}, false, {created + packed + "16000.0Hz/2ch @ 16000bps）"}, 16000},
        {{16000.0, 2, 16000}, {}, false, {created + packed + "16000.0Hz/2ch @ 16000bps）"}, 16000},
        {{16000.5, 2, 16000}, {}, true, {created + planar + "16000.5Hz/2ch @ 16000bps）", noCookie("16000.5")}, 16000},
        {{48000.0, 3, 96000}, {}, true, {created + planar + "48000.0Hz/3ch @ 96000bps）", noCookie("48000.0")}, 96000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines.front());
        Harness h(c.configuration);
        h.behaviour->applicableEncodeBitRates = c.rates;
        EXPECT_TRUE(h.feed(1024, 2, c.nonInterleaved).empty());  // the first block only primes the converter
        ASSERT_GE(h.lines.size(), c.lines.size());
        EXPECT_EQ(std::vector<std::string>(h.lines.begin(), h.lines.begin() + std::ssize(c.lines)), c.lines);
        EXPECT_EQ(h.journal->bitRates, std::vector<std::uint32_t>{c.applied});
        // Announced once; the cookie's bytes for each table rate are checked against libavcodec's.
        ASSERT_EQ(h.announcements.size(), 1u);
        EXPECT_EQ(std::pair(h.announcements[0].cookie.empty(), h.announcements[0].channelCount),
                  std::pair(c.lines.back().find("⚠️") != std::string::npos, static_cast<std::int32_t>(c.configuration.channelCount)));
    }
}
TEST(AudioEncoderSetup, FailuresLeaveNoConverterAndTheNextBufferTriesAgain) {
    {
        Harness h;
        SampleBuffer noFormat = makeAudioBuffer(48000, 2, true, 512, ramp);
        noFormat.audioFormat.reset();
        EXPECT_EQ(errorKind([&] { h.encoder->encode(noFormat); }), Kind::noFormatDescription);
        for (const double rate : {0.0, std::nan("")}) EXPECT_EQ(errorKind([&] { h.feed(512, 2, true, rate); }), Kind::noFormatDescription);
        EXPECT_EQ(std::pair(h.journal->creations, h.announcements.size()), std::pair(0, std::size_t{0}));
        h.feed(512);
        EXPECT_EQ(std::pair(h.journal->creations, h.announcements.size()), std::pair(1, std::size_t{1}));
        EXPECT_EQ(h.encoder->pendingSampleCount(), 1024u);
    }
    {
        Harness h;
        h.behaviour->failCreation = true;
        EXPECT_EQ(errorOf([&] { h.feed(512, 2, true, 44100.0); }), Error::converterCreationFailed(
                      "AVAudioConverter(from:to:) 回傳 nil——這台 Mac 可能不支援 44100.0Hz/2ch → AAC-LC "
                      "16000.0Hz/2ch 這個轉換組合（第四十輪已經真機驗證過這個組合能動，如果這次又失敗，"
                      "代表這次的失敗原因跟 codec 選擇無關，需要往其他方向排查）"));
        EXPECT_EQ(std::pair(h.encoder->pendingSampleCount(), h.encoder->hasConverter()), std::pair(std::size_t{0}, false));
        h.behaviour->failCreation = false;
        h.feed(512);
        EXPECT_TRUE(h.encoder->hasConverter());
    }
    for (const AudioEncoder::Configuration bad : {AudioEncoder::Configuration{16000.0, 0, 16000},
                                                  AudioEncoder::Configuration{std::nan(""), 2, 16000},
                                                  AudioEncoder::Configuration{16000.0, 4000000000u, 16000}}) {
        Harness h(bad);
        EXPECT_EQ(errorOf([&] { h.feed(512); }),
                  Error::converterCreationFailed("AVAudioFormat(streamDescription:) 建立 AAC 輸出格式失敗"));
        EXPECT_EQ(h.journal->creations, 0);
    }
}
TEST(AudioEncoderIntake, EveryLayoutReachesTheConverterAsTheSameChannelPlanes) {
    struct Case { const char* name; std::uint32_t channels; bool nonInterleaved; SampleType type; float tolerance; };
    const Case cases[] = {
        {"float, one plane per channel", 2, true, SampleType::float32, 0},
        {"float, interleaved", 2, false, SampleType::float32, 0}, {"float mono", 1, false, SampleType::float32, 0},
        {"float, three planes", 3, true, SampleType::float32, 0},
        {"int16, interleaved", 2, false, SampleType::int16, 2.0f / 32768},
        {"int32, one plane per channel", 2, true, SampleType::int32, 1e-7f}};
    for (const auto& c : cases) {
        Harness h({16000.0, 2, 16000});
        h.encoder->encode(makeAudioBuffer(48000, c.channels, c.nonInterleaved, 2048, ramp, 0, c.type));
        EXPECT_EQ(h.encoder->pendingSampleCount(), 0u) << c.name;
        ASSERT_EQ(h.journal->receivedPlanes.size(), c.channels) << c.name;
        for (std::uint32_t ch = 0; ch < c.channels; ++ch) {
            const auto& plane = h.journal->receivedPlanes[ch];
            ASSERT_EQ(plane.size(), 2048u) << c.name;
            for (std::size_t f = 0; f < plane.size(); ++f) ASSERT_NEAR(plane[f], ramp(f, ch), c.tolerance) << c.name << " channel " << ch << " frame " << f;
        }
    }
}
// A format it cannot read is refused before any set-up; a buffer that does not match the set-up
// (or is broken) is refused afterwards without touching the pending samples.
TEST(AudioEncoderIntake, UnreadableOrMismatchedBuffersAreRefused) {
    struct Case { const char* name; std::function<void(SampleBuffer&)> change; bool afterSetUp; };
    const Case cases[] = {
        {"64-bit float", [](auto& b) { b.audioFormat->bitsPerChannel = 64; }, false},
        {"8-bit integer", [](auto& b) { b.audioFormat->formatFlags = AudioFormatFlag::isSignedInteger; b.audioFormat->bitsPerChannel = 8; }, false},
        {"24-bit integer", [](auto& b) { b.audioFormat->formatFlags = AudioFormatFlag::isSignedInteger; b.audioFormat->bitsPerChannel = 24; }, false},
        {"unsigned 16-bit", [](auto& b) { b.audioFormat->formatFlags = AudioFormatFlag::isPacked; b.audioFormat->bitsPerChannel = 16; }, false},
        {"big-endian float", [](auto& b) { b.audioFormat->formatFlags |= AudioFormatFlag::isBigEndian; }, false},
        {"compressed", [](auto& b) { b.audioFormat->formatID = fourCC("aac "); }, false},
        {"no buffer list", [](auto& b) { b.audioBufferList.reset(); }, true},
        {"invalidated buffer", [](auto& b) { b.valid = false; }, true},
        {"three planes for two channels", [](auto& b) { b.audioBufferList->push_back(b.audioBufferList->back()); }, true},
        {"one plane for two channels", [](auto& b) { b.audioBufferList->pop_back(); }, true},
        {"another rate", [](auto& b) { b.audioFormat->sampleRate = 44100; }, true},
        {"another channel count", [](auto& b) { b.audioFormat->channelsPerFrame = 1; }, true},
        {"interleaved now", [](auto& b) { b.audioFormat->formatFlags &= ~AudioFormatFlag::isNonInterleaved; }, true},
        {"no format", [](auto& b) { b.audioFormat.reset(); }, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        if (c.afterSetUp) h.feed(300);  // sets up for 48 kHz stereo, one plane per channel
        SampleBuffer buffer = makeAudioBuffer(48000, 2, c.afterSetUp, 100, ramp);
        c.change(buffer);
        EXPECT_EQ(errorKind([&] { h.encoder->encode(buffer); }), Kind::invalidSampleBuffer);
        EXPECT_EQ(std::tuple(h.encoder->pendingSampleCount(), h.journal->creations, h.announcements.size()),
                  c.afterSetUp ? std::tuple(std::size_t{600}, 1, std::size_t{1}) : std::tuple(std::size_t{0}, 0, std::size_t{0}));
    }
}
// Planes of unequal length give their common frames, interleaved data whole frames only; an empty
// buffer gives nothing. Two half blocks make the first block.
TEST(AudioEncoderIntake, OnlyWholeFramesAreAdded) {
    Harness h;
    SampleBuffer uneven = makeAudioBuffer(48000, 2, true, 100, ramp);
    (*uneven.audioBufferList)[1].data.resize(40 * 4 + 3);
    h.encoder->encode(uneven);
    EXPECT_EQ(h.encoder->pendingSampleCount(), 80u);
    (*uneven.audioBufferList)[1].data.clear();
    h.encoder->encode(uneven);
    EXPECT_EQ(h.encoder->pendingSampleCount(), 80u);
    Harness packed;
    SampleBuffer odd = makeAudioBuffer(48000, 2, false, 10, ramp);
    (*odd.audioBufferList)[0].data.resize(7 * 4 + 2);  // three and a half frames
    packed.encoder->encode(odd);
    EXPECT_EQ(packed.encoder->pendingSampleCount(), 6u);
    (*odd.audioBufferList).clear();
    packed.encoder->encode(odd);
    EXPECT_EQ(packed.encoder->pendingSampleCount(), 6u);
    Harness halves;
    EXPECT_TRUE(halves.feed(512).empty());
    EXPECT_EQ(std::pair(halves.encoder->pendingSampleCount(), halves.journal->conversions), std::pair(std::size_t{1024}, 0));
    halves.feed(512);
    EXPECT_EQ(std::pair(halves.encoder->pendingSampleCount(), halves.journal->conversions), std::pair(std::size_t{0}, 1));
    EXPECT_EQ(halves.journal->requestedFrameCounts.front(), 1024u);
}
TEST(AudioEncoderConversion, PacketsAreCountedWithPacedLines) {
    Harness h;
    h.behaviour->primingFrames = 0;
    const auto packets = h.feed(150 * 1024);
    ASSERT_EQ(packets.size(), 150u);
    for (const auto& p : packets) EXPECT_EQ(p.size(), 128u);  // 16 kbit/s at 16 kHz
    EXPECT_EQ(h.encoder->encodedPacketCount(), 150u);
    for (int n : {1, 2, 100, 150}) EXPECT_EQ(h.saw("AudioEncoder：已編出第 " + std::to_string(n) + " 個 AAC packet 累計"), n % 99 == 1) << n;
    EXPECT_EQ(std::pair(h.encoder->inputRanDryCount(), h.count("診斷錄音")), std::pair(std::uint64_t{0}, std::size_t{0}));  // no capture unless asked for
}
TEST(AudioEncoderConversion, InputRanDryIsCountedWithPacedLines) {
    Harness h;
    for (int i = 0; i < 100; ++i) {
        h.behaviour->script.push_back({Status::inputRanDry, std::nullopt, 0, 0});
        h.feed(1024);
    }
    EXPECT_EQ(h.encoder->inputRanDryCount(), 100u);
    EXPECT_TRUE(h.saw("AVAudioConverter.convert 回報 inputRanDry（正常，非錯誤），累計第 100 次，目前 pendingSamples 還剩 204800 個樣本"));
    EXPECT_EQ(h.count("inputRanDry"), 2u);
}
TEST(AudioEncoderConversion, AnErrorEndsTheCallAndDropsItsPackets) {
    Harness h;
    h.behaviour->primingFrames = 0;
    h.behaviour->script = {{Status::haveData, std::nullopt, 1024, 10},
                           {Status::error, PlatformError{"AudioConverter", -50, "boom"}, 1024, 0}};
    EXPECT_EQ(errorOf([&] { h.feed(3 * 1024); }), Error::convertFailed("boom"));
    EXPECT_TRUE(h.saw("AVAudioConverter.convert 失敗累計第 1 次：boom"));
    // The taken samples are gone.
    EXPECT_EQ(std::tuple(h.encoder->fillBufferFailureCount(), h.encoder->encodedPacketCount(), h.encoder->pendingSampleCount()),
              std::tuple(std::uint64_t{1}, std::uint64_t{0}, std::size_t{2048}));
    // Without a description the error reads "unknown error"; later buffers encode normally.
    h.behaviour->script = {{Status::error, std::nullopt, 0, 0}};
    EXPECT_EQ(errorOf([&] { h.feed(1024); }), Error::convertFailed("unknown error"));
    EXPECT_FALSE(h.saw("AVAudioConverter.convert 失敗累計第 2 次：unknown error"));  // paced: 1, 100, ...
    EXPECT_EQ(h.feed(1024).size(), 3u);
}
TEST(AudioEncoderConversion, OutcomesWithoutAPacketEndTheLoop) {
    struct Case { const char* name; Step step; const char* line; };  // line: expected, or nullptr
    const Case cases[] = {
        {"have data but no bytes", {Status::haveData, std::nullopt, 0, 0}, nullptr}, {"end of stream", {Status::endOfStream, std::nullopt, 0, 0}, nullptr},
        {"unknown status", {static_cast<Status>(7), std::nullopt, 0, 0},
         "AVAudioConverter.convert 回傳未知的 AVAudioConverterOutputStatus（7），當作沒有輸出處理"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.behaviour->script = {c.step};
        EXPECT_TRUE(h.feed(2048).empty());
        EXPECT_EQ(std::tuple(h.journal->conversions, h.encoder->pendingSampleCount(), h.encoder->encodedPacketCount()),
                  std::tuple(1, std::size_t{4096}, std::uint64_t{0}));
        EXPECT_TRUE(!c.line || h.saw(c.line));
    }
}
TEST(AudioEncoderBitrate, ChangesOnlyARunningConverterAndOnlyWhenTheRateMoves) {
    Harness h({16000.0, 2, 16000});
    h.behaviour->applicableEncodeBitRates = {12000, 16000, 20000};
    h.encoder->setBitrate(12000);  // before the first buffer: forgotten
    h.feed(1024);
    EXPECT_EQ(h.journal->bitRates, std::vector<std::uint32_t>{16000});
    EXPECT_EQ(h.encoder->currentBitrate(), 16000u);
    const auto linesBefore = h.lines.size();
    h.encoder->setBitrate(16000);
    h.encoder->setBitrate(17000);  // snaps to 16000: unchanged
    EXPECT_EQ(h.lines.size(), linesBefore);
    h.encoder->setBitrate(30000);
    EXPECT_EQ(h.lines.back(), "AudioEncoder：即時調整位元率 → 20000bps（目標 30000bps，見「網路自適應」新功能）");
    EXPECT_EQ(h.encoder->currentBitrate(), 20000u);
    h.behaviour->applicableEncodeBitRates.clear();
    h.encoder->setBitrate(24000);
    EXPECT_EQ(h.lines.back(), "AudioEncoder：即時調整位元率 → 24000bps（目標 24000bps，見「網路自適應」新功能）");
    EXPECT_EQ(h.journal->bitRates, (std::vector<std::uint32_t>{16000, 20000, 24000}));
}
TEST(AudioEncoderLifecycle, NothingHappensAfterInvalidate) {
    {
        Harness h;
        h.encoder->invalidate();
        EXPECT_TRUE(h.feed(4096).empty());
        EXPECT_TRUE(h.announcements.empty() && h.lines.empty());
        EXPECT_EQ(h.journal->creations, 0);
    }
    {
        Harness h;
        h.feed(700);
        ASSERT_GT(h.encoder->pendingSampleCount(), 0u);
        const auto lines = h.lines.size();
        h.encoder->invalidate();
        EXPECT_TRUE(h.encoder->isInvalidated() && h.journal->destroyed);
        EXPECT_EQ(std::tuple(h.journal->resets, h.encoder->pendingSampleCount(), h.encoder->currentBitrate()),
                  std::tuple(1, std::size_t{0}, std::optional<std::uint32_t>()));
        h.encoder->invalidate();
        EXPECT_EQ(h.journal->resets, 1);
        EXPECT_TRUE(h.feed(4096).empty());
        h.encoder->setBitrate(99000);
        EXPECT_EQ(h.lines.size(), lines);
        EXPECT_EQ(std::pair(h.announcements.size(), h.journal->creations), std::pair(std::size_t{1}, 1));
    }
    // Releasing the encoder invalidates it.
    Harness h;
    h.feed(100);
    h.encoder.reset();
    EXPECT_EQ(h.journal->resets, 1);
}
// The diagnostic capture of raw input, in a scratch directory of the test's own.
class AudioEncoderCapture : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::remove_all(root_); }
    void TearDown() override { std::filesystem::remove_all(root_); }
    // The one .caf file in `directory`, read with libsndfile.
    std::vector<float> readCapture(const std::filesystem::path& directory, SF_INFO& info) const {
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(directory)) if (entry.path().extension() == ".caf") files.push_back(entry.path());
        EXPECT_EQ(files.size(), 1u);
        SNDFILE* file = files.empty() ? nullptr : sf_open(files[0].c_str(), SFM_READ, &info);
        if (!file) return {};
        std::vector<float> samples(static_cast<std::size_t>(info.frames * info.channels));
        EXPECT_EQ(sf_readf_float(file, samples.data(), info.frames), info.frames);
        sf_close(file);
        return samples;
    }
    const std::filesystem::path root_ = std::filesystem::temp_directory_path() / ("mivodrell-capture-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
};
TEST_F(AudioEncoderCapture, WritesTheFirstEightSecondsOfRawInput) {
    Harness h;
    const auto directory = root_ / "nested" / "audio";
    h.encoder->setDiagnosticCaptureDirectory(directory);
    // 9 s of 8 kHz mono in 1000-frame buffers.
    for (std::size_t start = 0; start < 72000; start += 1000) h.encoder->encode(makeAudioBuffer(8000, 1, false, 1000, ramp, start));
    EXPECT_EQ(std::pair(h.count("診斷錄音開始"), h.count("診斷錄音已寫滿 8 秒（64000 frames）")), std::pair(std::size_t{1}, std::size_t{1}));
    SF_INFO info{};
    const auto samples = readCapture(directory, info);
    EXPECT_EQ(std::tuple(info.samplerate, info.channels, info.frames, info.format & SF_FORMAT_TYPEMASK, info.format & SF_FORMAT_SUBMASK),
              std::tuple(8000, 1, sf_count_t{64000}, int{SF_FORMAT_CAF}, int{SF_FORMAT_FLOAT}));
    for (std::size_t f = 0; f < samples.size(); f += 997) ASSERT_EQ(samples[f], ramp(f, 0)) << f;
}
TEST_F(AudioEncoderCapture, IsClosedByInvalidate) {
    Harness h;
    h.encoder->setDiagnosticCaptureDirectory(root_);
    h.feed(4800);
    h.encoder->invalidate();
    SF_INFO info{};
    readCapture(root_, info);
    EXPECT_EQ(std::pair(info.channels, info.frames), std::pair(2, sf_count_t{4800}));
}
TEST_F(AudioEncoderCapture, AnUnusableDirectoryOnlySkipsTheCapture) {
    std::filesystem::create_directories(root_);
    { std::ofstream(root_ / "occupied") << "x"; }
    Harness h;
    h.behaviour->primingFrames = 0;
    h.encoder->setDiagnosticCaptureDirectory(root_ / "occupied" / "below");
    EXPECT_EQ(h.feed(2048).size(), 2u);
    EXPECT_EQ(h.count("診斷錄音無法開始"), 1u);
    EXPECT_EQ(h.feed(1024).size(), 1u);
}
}}  // namespace mivodrell
