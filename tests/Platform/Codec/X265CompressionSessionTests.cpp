#include "Platform/Base/CompletionBox.h"
#include "Platform/Codec/X265CompressionSession.h"
#include "support/HEVCTestDecoder.h"
#include <gtest/gtest.h>
#include <thread>
#include <tuple>
namespace mivodrell {
namespace {
using testing::HEVCTestDecoder;
using testing::makeTestFrame;
struct Output {
    std::int32_t status = 0;
    SampleBufferRef sample;
    std::thread::id thread;
};
// A session whose callbacks land in per-frame completion boxes.
struct Harness {
    std::shared_ptr<CompressionSession> session;
    int width, height;
    Harness(int w, int h) : width(w), height(h) {
        CompressionSession::Parameters p;
        std::tie(p.width, p.height) = std::tuple(w, h);
        p.specification.enableLowLatencyRateControl = true;
        p.specification.enableHardwareAcceleratedVideoEncoder = true;
        p.outputCallback = [](std::shared_ptr<void> context, std::int32_t status, SampleBufferRef sample) {
            std::static_pointer_cast<CompletionBox<Output>>(context)->complete({status, std::move(sample), std::this_thread::get_id()});
        };
        auto created = createX265CompressionSession(p, X265SessionOptions{"superfast", 2});
        EXPECT_EQ(created.status, 0);
        session = created.session;
    }
    // Encodes `frame` (by default the test pattern at `time`) and waits for its output.
    Output encode(double time, bool force = false, std::shared_ptr<PixelBuffer> frame = nullptr) {
        auto box = CompletionBox<Output>::make();
        if (!frame) frame = makeTestFrame(width, height, time, 0.02);
        const auto status = session->encodeFrame(frame, MediaTime::make(std::llround(time * 600), 600),
                                                 MediaTime::invalid(), force ? std::optional<EncodeFrameOptions>(EncodeFrameOptions{true}) : std::nullopt, box);
        EXPECT_EQ(status, 0);
        auto out = box->wait(10);
        EXPECT_TRUE(out.has_value());
        return out.value_or(Output{});
    }
};
bool isKeyframe(const SampleBuffer& s) {
    const auto* a = s.firstAttachments();
    const auto* n = a ? a->find(AttachmentKey::notSync) : nullptr;
    return !(n && n->asBool().value_or(false));
}
TEST(X265CompressionSession, CreationChecksSizeCodecAndHardwareRequirement) {
    struct Case {
        int w, h;
        std::uint32_t codec;
        bool require;
        std::int32_t status;
    };
    const Case cases[] = {
        {320, 240, CodecType::hevc, false, CompressionStatus::ok},
        {16, 16, CodecType::hevc, false, CompressionStatus::ok},
        {8192, 8192, CodecType::hevc, false, CompressionStatus::ok},
        {321, 240, CodecType::hevc, false, CompressionStatus::paramErr},
        {320, 241, CodecType::hevc, false, CompressionStatus::paramErr},
        {14, 14, CodecType::hevc, false, CompressionStatus::paramErr},
        {8194, 64, CodecType::hevc, false, CompressionStatus::paramErr},
        {0, 64, CodecType::hevc, false, CompressionStatus::paramErr},
        {320, 240, fourCC("avc1"), false, CompressionStatus::encoderNotFound},
        {320, 240, CodecType::hevc, true, CompressionStatus::encoderNotFound},
    };
    for (const auto& c : cases) {
        CompressionSession::Parameters p;
        std::tie(p.width, p.height, p.codecType) = std::tuple(c.w, c.h, c.codec);
        p.specification.enableHardwareAcceleratedVideoEncoder = true;
        p.specification.requireHardwareAcceleratedVideoEncoder = c.require;
        const auto created = CompressionSession::create(p);
        EXPECT_EQ(created.status, c.status) << c.w << "x" << c.h;
        EXPECT_EQ(created.session != nullptr, c.status == 0);
    }
}
TEST(X265CompressionSession, PropertyStatuses) {
    Harness h(64, 64);
    using K = CompressionPropertyKey;
    struct Case {
        K key;
        CompressionPropertyValue value;
        std::int32_t status;
    };
    const std::vector<Case> cases = {
        {K::realTime, true, 0},
        {K::realTime, std::int64_t{1}, CompressionStatus::paramErr},
        {K::allowFrameReordering, false, 0},
        {K::allowFrameReordering, true, CompressionStatus::propertyNotSupported},
        {K::maxKeyFrameInterval, std::int64_t{240}, 0},
        {K::maxKeyFrameInterval, std::int64_t{-1}, CompressionStatus::paramErr},
        {K::maxKeyFrameIntervalDuration, 3.0, 0},
        {K::maxKeyFrameIntervalDuration, std::numeric_limits<double>::quiet_NaN(), CompressionStatus::paramErr},
        {K::expectedFrameRate, 60.0, 0},
        {K::expectedFrameRate, 0.0, CompressionStatus::paramErr},
        {K::expectedFrameRate, 0.0, CompressionStatus::paramErr},  // a refused value stays refused
        {K::profileLevel, std::string(CompressionProfileLevel::hevcMainAutoLevel), 0},
        {K::profileLevel, std::string("hevc.main10"), CompressionStatus::propertyNotSupported},
        {K::colorPrimaries, std::string(CompressionColor::itu709), 0},
        {K::yCbCrMatrix, std::string("itu-r.bt601"), CompressionStatus::propertyNotSupported},
        {K::maximizePowerEfficiency, false, 0},
        {K::averageBitRate, std::int64_t{8'000'000}, 0},
        {K::averageBitRate, std::int64_t{0}, CompressionStatus::paramErr},
        {K::dataRateLimits, std::vector<CompressionNumber>{std::int64_t{1'250'000}, 1.0}, 0},
        {K::dataRateLimits, std::vector<CompressionNumber>{std::int64_t{-5}, 1.0}, CompressionStatus::paramErr},
        {K::dataRateLimits, 5.0, CompressionStatus::paramErr},
        {K::prioritizeEncodingSpeedOverQuality, true, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(h.session->setProperty(c.key, c.value), c.status) << compressionPropertyName(c.key);
    }
    EXPECT_EQ(h.session->prepareToEncodeFrames(), 0);
    h.session->invalidate();
    h.session->invalidate();
    constexpr auto invalid = CompressionStatus::invalidSession;
    EXPECT_EQ(std::tuple(h.session->setProperty(K::prioritizeEncodingSpeedOverQuality, true), h.session->prepareToEncodeFrames(),
                         h.session->encodeFrame(makeTestFrame(64, 64, 0, 0), MediaTime::make(0, 600), MediaTime::invalid(), std::nullopt, nullptr)),
              std::tuple(invalid, invalid, invalid));
}
TEST(X265CompressionSession, EachFrameComesBackAsOneDecodableAccessUnitInOrder) {
    Harness h(320, 240);
    ASSERT_EQ(h.session->setProperty(CompressionPropertyKey::averageBitRate, std::int64_t{1'000'000}), 0);
    std::unique_ptr<HEVCTestDecoder> decoder;
    for (int i = 0; i < 8; ++i) {
        const Output out = h.encode(i / 60.0);
        ASSERT_EQ(out.status, 0);
        ASSERT_TRUE(out.sample) << "frame " << i;
        EXPECT_NE(out.thread, std::this_thread::get_id());
        const SampleBuffer& s = *out.sample;
        EXPECT_EQ(s.presentationTime, MediaTime::make(std::llround(i / 60.0 * 600), 600));
        ASSERT_TRUE(s.videoFormat);
        ASSERT_EQ(s.videoFormat->parameterSets.size(), 3u);
        const auto& ps = s.videoFormat->parameterSets;
        EXPECT_EQ(std::tuple(testing::nalUnitType(ps[0]), testing::nalUnitType(ps[1]), testing::nalUnitType(ps[2]),
                             s.videoFormat->nalUnitHeaderLength),
                  std::tuple(32, 33, 34, 4));
        EXPECT_EQ(isKeyframe(s), i == 0);
        // Only picture data inside frames: no parameter sets, no SEI, no delimiters.
        auto units = testing::splitNALUnits(*s.dataBuffer);
        ASSERT_TRUE(units);
        for (auto u : *units) EXPECT_LT(testing::nalUnitType(u), 32);
        if (!decoder) decoder = std::make_unique<HEVCTestDecoder>(s.videoFormat->parameterSets);
        const auto pictures = decoder->decode(*s.dataBuffer);
        ASSERT_EQ(pictures.size(), 1u) << "one in, one out";
        const auto& pic = pictures[0];
        EXPECT_EQ(std::tuple(pic.width, pic.height, pic.primaries, pic.transfer, pic.matrix, pic.range, pic.format),
                  std::tuple(320, 240, AVCOL_PRI_BT709, AVCOL_TRC_BT709, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, AV_PIX_FMT_YUV420P));
    }
}
TEST(X265CompressionSession, KeyframesComeByForceByFrameCountAndByDurationAsIDRs) {
    Harness h(128, 96);
    ASSERT_EQ(h.session->setProperty(CompressionPropertyKey::maxKeyFrameInterval, std::int64_t{5}), 0);
    ASSERT_EQ(h.session->setProperty(CompressionPropertyKey::maxKeyFrameIntervalDuration, 0.1), 0);
    // 60 fps: by count every 5 frames, by duration every 6 frames: count wins.
    std::vector<std::vector<std::uint8_t>> parameterSets, frames;
    auto keysOf = [&](int from, int to) {
        std::vector<int> keys;
        for (int i = from; i < to; ++i) {
            const Output out = h.encode(i / 60.0, i == 7);
            if (!out.sample) return keys;
            frames.push_back(*out.sample->dataBuffer);
            parameterSets = out.sample->videoFormat->parameterSets;
            if (isKeyframe(*out.sample)) keys.push_back(i);
        }
        return keys;
    };
    EXPECT_EQ(keysOf(0, 12), (std::vector<int>{0, 5, 7}));
    // A longer count limit: now the duration (0.1 s = 6 frames at 60 fps) decides.
    ASSERT_EQ(h.session->setProperty(CompressionPropertyKey::maxKeyFrameInterval, std::int64_t{0}), 0);
    EXPECT_EQ(keysOf(12, 26), (std::vector<int>{13, 19, 25}));
    ASSERT_EQ(frames.size(), 26u);
    // Every keyframe is an IDR and decodes without earlier frames.
    for (int k : {5, 7, 13}) {
        auto units = testing::splitNALUnits(frames[static_cast<std::size_t>(k)]);
        ASSERT_TRUE(units);
        const int type = testing::nalUnitType(units->front());
        EXPECT_TRUE(type == 19 || type == 20) << "NAL type " << type;
        HEVCTestDecoder fresh(parameterSets);
        const auto pictures = fresh.decode(frames[static_cast<std::size_t>(k)]);
        ASSERT_EQ(pictures.size(), 1u);
        EXPECT_TRUE(pictures[0].keyFrame);
    }
}
TEST(X265CompressionSession, OnlyAFrameRateChangeReopensWithTheSameParameterSets) {
    Harness h(320, 240);
    ASSERT_EQ(h.session->setProperty(CompressionPropertyKey::averageBitRate, std::int64_t{2'000'000}), 0);
    const Output first = h.encode(0);
    ASSERT_TRUE(first.sample);
    EXPECT_FALSE(isKeyframe(*h.encode(1 / 60.0).sample));
    // A new frame rate reopens: a keyframe, with the same parameter sets. (A new rate is held live,
    // without a keyframe: the live-rate test.)
    ASSERT_EQ(h.session->setProperty(CompressionPropertyKey::expectedFrameRate, 30.0), 0);
    const Output reopened = h.encode(2 / 60.0);
    ASSERT_TRUE(reopened.sample);
    EXPECT_TRUE(isKeyframe(*reopened.sample));
    EXPECT_EQ(reopened.sample->videoFormat->parameterSets, first.sample->videoFormat->parameterSets);
    // Setting the same value again changes nothing.
    ASSERT_EQ(h.session->setProperty(CompressionPropertyKey::expectedFrameRate, 30.0), 0);
    EXPECT_FALSE(isKeyframe(*h.encode(3 / 60.0).sample));
}
TEST(X265CompressionSession, PlanarInputsEncode) {
    // '420f' is range-compressed (Y 200, Cb 90, Cr 170 full range are 188, 95, 165 in video range);
    // 'y420' planes go in as they are.
    for (const auto& [format, y, cb, cr] : {std::tuple{PixelFormat::yuv420BiPlanarFullRange, 200, 90, 170},
                                            std::tuple{PixelFormat::yuv420PlanarVideoRange, 188, 95, 165}}) {
        Harness h(64, 48);
        auto pb = PixelBuffer::create(64, 48, format).buffer;
        std::memset(pb->baseAddressOfPlane(0), y, pb->bytesPerRowOfPlane(0) * 48);
        for (std::size_t i = 0; i < pb->bytesPerRowOfPlane(1) * 24; ++i) {
            if (pb->planeCount() == 2) pb->baseAddressOfPlane(1)[i] = static_cast<std::uint8_t>(i % 2 ? cr : cb);
            else pb->baseAddressOfPlane(1)[i] = static_cast<std::uint8_t>(cb), pb->baseAddressOfPlane(2)[i] = static_cast<std::uint8_t>(cr);
        }
        const Output out = h.encode(0, false, pb);
        ASSERT_TRUE(out.sample);
        HEVCTestDecoder decoder(out.sample->videoFormat->parameterSets);
        const auto pictures = decoder.decode(*out.sample->dataBuffer);
        ASSERT_EQ(pictures.size(), 1u);
        EXPECT_NEAR(pictures[0].y[100], 188, 2);
        EXPECT_NEAR(pictures[0].u[100], 95, 2);
        EXPECT_NEAR(pictures[0].v[100], 165, 2);
    }
    // Planes of another size are refused at encode time.
    Harness h(64, 48);
    EXPECT_FALSE(h.encode(0, false, PixelBuffer::create(32, 48, PixelFormat::yuv420PlanarVideoRange).buffer).sample);
}
TEST(HEVCLevel, SmallestFittingLevelAndMainTierRates) {
    namespace H = HEVCLevel;
    EXPECT_EQ(std::tuple(H::smallestFitting(1920, 1080, 60), H::smallestFitting(3840, 2160, 60), H::smallestFitting(320, 240, 30),
                         H::smallestFitting(8192, 8192, 60), H::smallestFitting(0, 10, 60)),
              std::tuple(41, 51, 20, 0, 0));
    EXPECT_EQ(std::tuple(H::maxMainTierBitrateKbps(51), H::maxMainTierBitrateKbps(41)), std::tuple(40000, 20000));
}
}  // namespace
}  // namespace mivodrell
