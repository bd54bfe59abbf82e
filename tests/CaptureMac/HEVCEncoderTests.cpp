#include "CaptureMac/EncoderCapabilityProbe.h"
#include "CaptureMac/HEVCEncoder.h"
#include "Platform/Codec/VirtualCompressionSession.h"
#include "support/Thrown.h"
#include <gtest/gtest.h>
#include <cmath>
#include <future>
#include <limits>
#include <tuple>
namespace mivodrell {
namespace {
using K = CompressionPropertyKey;
using Kind = HEVCEncoder::EncoderError::Kind;
using Virtual = VirtualCompressionSession;
using Properties = std::vector<std::pair<K, CompressionPropertyValue>>;
// An encoder over a scripted session, with the session at hand.
struct Scripted {
    std::shared_ptr<Virtual> session;
    std::unique_ptr<HEVCEncoder> encoder;
    std::vector<std::string> diagnostics;
    explicit Scripted(Virtual::Script script = {}, HEVCEncoder::Configuration configuration = {}, bool preferHardware = true) {
        HEVCEncoder::Backend backend{Virtual::factory(std::move(script), 0, [this](auto s) { session = s; })};
        encoder = std::make_unique<HEVCEncoder>(1280, 720, configuration, preferHardware, backend);
        encoder->onDiagnostic = [this](const std::string& line) { diagnostics.push_back(line); };
    }
    Properties propertiesSince(std::size_t first) const {
        auto log = session->propertyLog();
        return {log.begin() + static_cast<std::ptrdiff_t>(std::min(first, log.size())), log.end()};
    }
};
std::shared_ptr<PixelBuffer> frame() { return PixelBuffer::create(16, 16, PixelFormat::bgra).buffer; }
std::optional<HEVCEncoder::EncoderError> captureError(const std::function<void()>& body) {
    return testing::thrown<HEVCEncoder::EncoderError>(body);
}
EncoderSettings settings(std::int64_t bitrate, double keyframeInterval) { return {1.0, bitrate, keyframeInterval, 30.0}; }
TEST(HEVCEncoder, InitCreatesALowLatencySessionSetsTheTenPropertiesInOrderAndStopsAtARefusal) {
    Scripted s({}, HEVCEncoder::Configuration{15.0, 60, 1'200'000});
    const auto& p = s.session->parameters();
    const auto& spec = p.specification;
    EXPECT_EQ(std::tuple(p.width, p.height, p.codecType, spec.enableLowLatencyRateControl,
                         spec.enableHardwareAcceleratedVideoEncoder, spec.requireHardwareAcceleratedVideoEncoder),
              std::tuple(1280, 720, 0x68766331u, true, true, false));
    const std::string bt709(CompressionColor::itu709);
    const Properties expected = {
        {K::realTime, true}, {K::allowFrameReordering, false}, {K::maxKeyFrameInterval, std::int64_t{60}},
        {K::expectedFrameRate, 15.0}, {K::profileLevel, std::string(CompressionProfileLevel::hevcMainAutoLevel)},
        {K::colorPrimaries, bt709}, {K::transferFunction, bt709}, {K::yCbCrMatrix, bt709},
        {K::maximizePowerEfficiency, false}, {K::averageBitRate, std::int64_t{1'200'000}}};
    EXPECT_EQ(s.session->propertyLog(), expected);
    Scripted software({}, {}, false);
    EXPECT_FALSE(software.session->parameters().specification.enableHardwareAcceleratedVideoEncoder);
    // The first refused property stops the set-up and invalidates the session.
    for (std::size_t i = 0; i < expected.size(); ++i) {
        Virtual::Script script;
        script.propertyStatus[expected[i].first] = -12900 - static_cast<int>(i);
        std::shared_ptr<Virtual> session;
        HEVCEncoder::Backend backend{Virtual::factory(script, 0, [&](auto v) { session = v; })};
        const auto error = captureError([&] { HEVCEncoder(640, 480, {}, true, backend); });
        EXPECT_EQ(error, HEVCEncoder::EncoderError::propertyConfigurationFailed(-12900 - static_cast<int>(i)));
        ASSERT_TRUE(session);
        EXPECT_EQ(std::pair(session->propertyLog().size(), session->invalidateCount()), std::pair(i + 1, 1));
    }
}
TEST(HEVCEncoder, SessionCreationFailureCarriesTheStatus) {
    HEVCEncoder::Backend backend{Virtual::factory({}, CompressionStatus::encoderNotFound)};
    EXPECT_EQ(captureError([&] { HEVCEncoder(640, 480, {}, true, backend); }),
              HEVCEncoder::EncoderError::sessionCreationFailed(CompressionStatus::encoderNotFound));
}
TEST(HEVCEncoder, ApplySetsRateKeyframeLimitsAndTheDataRateLimitWithItsDiagnostic) {
    struct Case { std::int64_t bitrate; double interval, duration; std::int64_t frames, cap; std::string line; };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {8'000'000, 2.0, 2.0, 240, 1'250'000, "★S214-118 DataRateLimits 設定：1250000 bytes/1s（目標位元率 8000kbps ×1.25），status=0"},
        {5'000'000, 5.0, 5.0, 300, 781'250, ""},
        {100'000, 8.0, 8.0, 480, 25'000, "★S214-118 DataRateLimits 設定：25000 bytes/1s（目標位元率 100kbps ×1.25），status=0"},
        {800'999, std::nan(""), 4.0, 240, 125'156, "★S214-118 DataRateLimits 設定：125156 bytes/1s（目標位元率 800kbps ×1.25），status=0"},
        {2'000'000, inf, 4.0, 240, 312'500, ""},
        {2'000'000, 1e12, 1e12, std::numeric_limits<std::int32_t>::max(), 312'500, ""},
    };
    for (const auto& c : cases) {
        Scripted s;
        const std::size_t before = s.session->propertyLog().size();
        s.encoder->apply(settings(c.bitrate, c.interval));
        const Properties expected = {{K::averageBitRate, c.bitrate}, {K::maxKeyFrameIntervalDuration, c.duration},
                                     {K::maxKeyFrameInterval, c.frames},
                                     {K::dataRateLimits, std::vector<CompressionNumber>{c.cap, 1.0}}};
        EXPECT_EQ(s.propertiesSince(before), expected) << c.bitrate << " " << c.interval;
        EXPECT_EQ(s.encoder->lastDataRateLimitBytes(), c.cap);
        ASSERT_EQ(s.diagnostics.size(), 1u);
        EXPECT_EQ(s.diagnostics[0], c.line.empty() ? s.diagnostics[0] : c.line);
    }
}
TEST(HEVCEncoder, TheSameCapIsSetOnceAndARefusedCapIsStoredWithoutRetry) {
    Virtual::Script script;
    script.propertyStatus[K::dataRateLimits] = -12900;
    Scripted s(script);
    s.encoder->apply(settings(8'000'000, 2));
    ASSERT_EQ(s.diagnostics.size(), 1u);
    EXPECT_EQ(s.diagnostics[0],
              "★S214-118 DataRateLimits 設定：1250000 bytes/1s（目標位元率 8000kbps ×1.25），status=-12900"
              "（非 0＝此編碼器不吃這個屬性，硬上限未生效）");
    const std::size_t before = s.session->propertyLog().size();
    s.encoder->apply(settings(8'000'000, 3));
    EXPECT_EQ(s.diagnostics.size(), 1u);
    const auto again = s.propertiesSince(before);
    EXPECT_EQ(std::pair(again.size(), again.back().first), std::pair(std::size_t{3}, K::maxKeyFrameInterval));
    // Bitrates below 160,000 all land on the 25,000-byte floor: one limit for all of them.
    s.encoder->apply(settings(100'000, 2));
    s.encoder->apply(settings(50'000, 2));
    EXPECT_EQ(s.diagnostics.size(), 2u);
    EXPECT_EQ(s.encoder->lastDataRateLimitBytes(), 25'000);
}
TEST(HEVCEncoder, ApplyThrowsAtTheFirstRefusedRateOrKeyframeProperty) {
    for (K refused : {K::averageBitRate, K::maxKeyFrameIntervalDuration, K::maxKeyFrameInterval}) {
        Scripted s;
        Virtual::Script script;
        script.propertyStatus[refused] = -7;
        s.session->setScript(script);
        const std::size_t before = s.session->propertyLog().size();
        EXPECT_EQ(captureError([&] { s.encoder->apply(settings(4'000'000, 2)); }),
                  HEVCEncoder::EncoderError::propertyConfigurationFailed(-7));
        EXPECT_EQ(std::tuple(s.propertiesSince(before).back().first, s.encoder->lastDataRateLimitBytes(), s.diagnostics.size()),
                  std::tuple(refused, -1, 0u));
    }
}
TEST(HEVCEncoder, EncodeReturnsTheFrameWithFlagPayloadAndTime) {
    Scripted s;
    std::vector<std::pair<std::vector<std::vector<std::uint8_t>>, std::int32_t>> formats;
    s.encoder->onFormatDescriptionAvailable = [&](const auto& sets, std::int32_t length) { formats.emplace_back(sets, length); };
    const EncodedFrame first = s.encoder->encode(frame(), 7, MediaTime::make(3, 2), false);
    EXPECT_EQ(std::tuple(first.frameID, first.isKeyframe, first.presentationTime, identical(first.cropRect, CGRect::zero())),
              std::tuple(7u, true, 1.5, true));
    EXPECT_EQ(first.payload.toVector(), (std::vector<std::uint8_t>{0, 0, 0, 2, 0x26, 0x01}));
    EXPECT_FALSE(s.encoder->encode(frame(), 8, MediaTime::make(4, 2), false).isKeyframe);
    EXPECT_TRUE(s.encoder->encode(frame(), 9, MediaTime::make(5, 2), true).isKeyframe);
    ASSERT_EQ(formats.size(), 1u);
    EXPECT_EQ(std::pair(formats[0].first.size(), formats[0].second), std::pair(std::size_t{3}, 4));
    const auto submitted = s.session->submissions();
    ASSERT_EQ(submitted.size(), 3u);
    EXPECT_EQ(std::tuple(submitted[0].options.has_value(), submitted[0].duration.valid, submitted[1].presentationTime,
                         submitted[2].options.value_or(EncodeFrameOptions{false}).forceKeyFrame),
              std::tuple(false, false, MediaTime::make(4, 2), true));
}
TEST(HEVCEncoder, KeyframeFlagFollowsTheFirstAttachmentDictionary) {
    const auto dict = [](std::optional<AttachmentValue> notSync) {
        AttachmentDictionary d;
        if (notSync) d.set(std::string(AttachmentKey::notSync), *notSync);
        return AttachmentValue(d);
    };
    using List = std::vector<AttachmentValue>;
    const std::tuple<const char*, std::optional<List>, bool> cases[] = {
        {"no attachments", std::nullopt, true}, {"empty array", List{}, true}, {"no key", List{dict(std::nullopt)}, true},
        {"NotSync true", List{dict(AttachmentValue(true))}, false}, {"NotSync false", List{dict(AttachmentValue(false))}, true},
        {"NotSync not a Boolean", List{dict(AttachmentValue(1))}, true}};
    for (const auto& [name, attachments, keyframe] : cases) {
        auto sample = std::make_shared<SampleBuffer>(*Virtual::makeSample(true, MediaTime::make(0, 1)));
        sample->attachments = attachments;
        Virtual::Script script;
        script.responder = [sample = SampleBufferRef(sample)](const auto&) { return Virtual::Response{0, sample}; };
        Scripted s(script);
        EXPECT_EQ(s.encoder->encode(frame(), 1, MediaTime::make(0, 1), false).isKeyframe, keyframe) << name;
    }
}
// A dropped frame comes back with an empty payload, not a keyframe, and leaves the format report to
// the first frame with data; that frame alone is examined for parameter sets, usable or not.
TEST(HEVCEncoder, DroppedFramesAndTheOneFormatReport) {
    struct Row { const char* name; std::function<SampleBufferRef(std::size_t)> answer; bool empty[3], keyframe[3]; int reports[3]; };
    const auto sample = [](std::size_t i) { return std::make_shared<SampleBuffer>(*Virtual::makeSample(i == 1, MediaTime::make(1, 1))); };
    const Row rows[] = {
        {"dropped, then data, then no bytes", [&](std::size_t index) -> SampleBufferRef {
             if (index == 0) return nullptr;
             auto s = sample(index);
             if (index == 2) s->dataBuffer = std::vector<std::uint8_t>{};
             return s;
         }, {true, false, true}, {false, true, false}, {0, 1, 1}},
        {"unusable parameter sets first", [&](std::size_t index) -> SampleBufferRef {
             auto s = sample(index);
             if (index == 0) s->videoFormat->parameterSets[1].clear();
             return s;
         }, {false, false, false}, {false, true, false}, {0, 0, 0}}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Virtual::Script script;
        script.responder = [&r](const Virtual::SubmittedFrame& f) { return Virtual::Response{0, r.answer(f.index)}; };
        Scripted s(script);
        int reports = 0;
        s.encoder->onFormatDescriptionAvailable = [&](const auto&, std::int32_t) { ++reports; };
        for (std::uint32_t i = 0; i < 3; ++i) {
            const EncodedFrame f = s.encoder->encode(frame(), i, MediaTime::make(i, 4), true);
            EXPECT_EQ(std::tuple(f.payload.empty(), f.isKeyframe, reports, f.presentationTime),
                      std::tuple(r.empty[i], r.keyframe[i], r.reports[i], i / 4.0)) << i;
        }
    }
}
TEST(HEVCEncoder, EncodeFailuresMapToTheirCases) {
    Virtual::Script refused;
    refused.submissionStatus = -12902;
    Virtual::Script failed;
    failed.responder = [](const auto&) { return Virtual::Response{-12911, nullptr}; };
    for (const auto& [script, expected] : {std::pair{refused, HEVCEncoder::EncoderError::encodeSubmissionFailed(-12902)},
                                           std::pair{failed, HEVCEncoder::EncoderError::encodeFailed(-12911)}}) {
        Scripted s(script);
        EXPECT_EQ(captureError([&] { s.encoder->encode(frame(), 1, MediaTime::make(0, 1), false); }), expected);
    }
}
// Holds the answers to the first two frames (the test gives one of them late) and answers every
// later frame at once, with the frame's time as its last payload byte.
struct HeldAnswers final : CompressionSession {
    Parameters parameters;
    std::vector<std::shared_ptr<void>> held;
    std::int32_t setProperty(K, const CompressionPropertyValue&) override { return 0; }
    std::int32_t prepareToEncodeFrames() override { return 0; }
    void invalidate() override {}
    std::int32_t encodeFrame(std::shared_ptr<const PixelBuffer>, MediaTime time, MediaTime, const std::optional<EncodeFrameOptions>&,
                             std::shared_ptr<void> context) override {
        if (held.size() < 2) held.push_back(std::move(context));
        else answer(std::move(context), time);
        return 0;
    }
    void answer(std::shared_ptr<void> context, MediaTime time) {
        const auto last = static_cast<std::uint8_t>(time.value);
        parameters.outputCallback(std::move(context), 0, Virtual::makeSample(true, time, {0, 0, 0, 2, 0x26, last}));
    }
};
TEST(HEVCEncoder, ATimeOutChangesNothingAndALateAnswerReachesNoLaterFrame) {
    auto session = std::make_shared<HeldAnswers>();
    const HEVCEncoder::Backend backend{[session](const CompressionSession::Parameters& p) {
        session->parameters = p;
        return CompressionSession::CreateResult{0, session};
    }, 0.0};
    HEVCEncoder encoder(1280, 720, {}, true, backend);
    int reports = 0;
    encoder.onFormatDescriptionAvailable = [&](const auto&, std::int32_t) { ++reports; };
    // The held frames are given up at once, not after some longer wait of the encoder's own.
    for (std::int64_t t : {1, 2}) {
        auto call = std::async(std::launch::async, [&] { return captureError([&] { encoder.encode(frame(), 1, MediaTime::make(t, 1), false); }); });
        ASSERT_EQ(call.wait_for(std::chrono::milliseconds(500)), std::future_status::ready);
        EXPECT_EQ(call.get(), HEVCEncoder::EncoderError::encodeTimedOut());
    }
    session->answer(std::move(session->held[1]), MediaTime::make(2, 1));  // after its wait gave up
    const EncodedFrame third = encoder.encode(frame(), 3, MediaTime::make(3, 1), false);
    EXPECT_EQ(std::tuple(third.payload.toVector().back(), reports), std::tuple(3, 1));
}
TEST(HEVCEncoder, InvalidateIsIdempotentAndLaterEncodesThrowWithoutSubmitting) {
    Scripted s;
    s.encoder->invalidate();
    s.encoder->invalidate();
    EXPECT_EQ(std::pair(s.encoder->isInvalidated(), s.session->invalidateCount()), std::pair(true, 1));
    EXPECT_EQ(captureError([&] { s.encoder->encode(frame(), 1, MediaTime::make(0, 1), false); }),
              HEVCEncoder::EncoderError::sessionInvalidated());
    EXPECT_TRUE(s.session->submissions().empty());
    // apply still talks to the invalidated session, which refuses.
    EXPECT_EQ(captureError([&] { s.encoder->apply(settings(1'000'000, 2)); }),
              HEVCEncoder::EncoderError::propertyConfigurationFailed(CompressionStatus::invalidSession));
    s.encoder.reset();
    EXPECT_EQ(s.session->invalidateCount(), 1);
    // Releasing an encoder invalidates its session.
    Scripted released;
    released.encoder.reset();
    EXPECT_EQ(released.session->invalidateCount(), 1);
}
TEST(HEVCEncoder, SpeedPriorityIsStoredAndAppliedOnlyBySetSpeedPriority) {
    Virtual::Script script;
    script.propertyStatus[K::prioritizeEncodingSpeedOverQuality] = -12900;
    Scripted s(script);
    const std::size_t before = s.session->propertyLog().size();
    s.encoder->prioritizeSpeed = true;
    EXPECT_EQ(s.session->propertyLog().size(), before);
    s.encoder->setSpeedPriority(false);  // refused: not thrown
    EXPECT_FALSE(s.encoder->prioritizeSpeed);
    s.encoder->setSpeedPriority(true);
    EXPECT_TRUE(s.encoder->prioritizeSpeed);
    EXPECT_EQ(s.propertiesSince(before),
              (Properties{{K::prioritizeEncodingSpeedOverQuality, false}, {K::prioritizeEncodingSpeedOverQuality, true}}));
}
// The texts with a status are the capture coordinator's tests' (its errors are reported by text).
TEST(HEVCEncoder, ErrorsNameTheirCaseAndStatus) {
    using E = HEVCEncoder::EncoderError;
    EXPECT_FALSE(E::encodeFailed(-1) == E::encodeSubmissionFailed(-1));
    EXPECT_STREQ(E::encodeTimedOut().what(), "HEVCEncoder.EncoderError.encodeTimedOut");
}
TEST(EncoderCapabilityProbe, EdgesOnlyGrowAndNothingOpeningGivesZero) {
    // Hardware opens only up to 3840 wide; any encoder fails 4096 x 4096 but opens the rest.
    CompressionSession::Factory factory = [](const CompressionSession::Parameters& p) {
        const bool hardware = p.specification.requireHardwareAcceleratedVideoEncoder;
        const bool opens = hardware ? p.width <= 3840 && p.width != 3072 : !(p.width == 4096 && p.height == 4096);
        if (!opens) return CompressionSession::CreateResult{CompressionStatus::encoderNotFound, nullptr};
        return Virtual::factory({})(p);
    };
    const auto caps = EncoderCapabilityProbe::probe(EncoderCapabilityProbe::defaultCandidateSizes(), factory);
    EXPECT_EQ(caps, (EncoderCapabilities{3840, 8192}));
    EXPECT_EQ(std::pair(caps.recommendedMaxOutputDimension(2000), caps.recommendedMaxOutputDimension(5000)), std::pair(3840.0, 5000.0));
    EXPECT_EQ(EncoderCapabilityProbe::probe({}, factory), (EncoderCapabilities{0, 0}));
    Virtual::Script unprepared;
    unprepared.prepareStatus = -12903;
    const auto none = EncoderCapabilityProbe::probe({{1920, 1080}, {640, 480}}, Virtual::factory(unprepared));
    EXPECT_EQ(none, (EncoderCapabilities{0, 0}));
    EXPECT_EQ(none.recommendedMaxOutputDimension(1920), 1920);
}
TEST(EncoderCapabilityProbe, OnThisMachineOnlySoftwareOpens) {
    const auto caps = EncoderCapabilityProbe::probe({{1280, 720}, {8194, 64}, {640, 480}});
    EXPECT_EQ(caps, (EncoderCapabilities{0, 1280}));
    EXPECT_EQ(caps.recommendedMaxOutputDimension(1920), 1920);
}
}  // namespace
}  // namespace mivodrell
