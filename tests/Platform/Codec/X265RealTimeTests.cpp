// The real-time tuning of the x265 session, driven by a scripted clock, and the libx265 behaviour
// that keeps rate changes on the reopening path.

#include "Platform/Base/CompletionBox.h"
#include "Platform/Codec/X265CompressionSession.h"
#include "support/HEVCTestDecoder.h"

#include <gtest/gtest.h>
#include <x265.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace mivodrell {
namespace {

using testing::HEVCTestDecoder;
using testing::makeTestFrame;

// Every read moves time on by `cost`, so each frame measures exactly `cost` seconds.
class SteppingClock final : public Clock {
public:
    double mediaTime() const override { return static_cast<double>(reads_++) * cost.load(); }
    double hostTime() const override { return mediaTime(); }
    std::atomic<double> cost{0};

private:
    mutable std::atomic<long> reads_{0};
};

struct Output {
    std::int32_t status = 0;
    SampleBufferRef sample;
};

TEST(X265RealTime, TheEffortStepFollowsTheMeasuredTimeAndTheSpeedPreferenceHoldsTheFastest) {
    constexpr double interval = 1.0 / 60.0;
    auto clock = std::make_shared<SteppingClock>();
    std::mutex mutex;
    std::vector<int> steps;
    X265SessionOptions options;
    options.threadCount = 2;
    options.clock = clock;
    options.onSpeedStep = [&](int step) {
        std::lock_guard<std::mutex> lock(mutex);
        steps.push_back(step);
    };
    CompressionSession::Parameters p;
    p.width = 320;
    p.height = 240;
    p.outputCallback = [](std::shared_ptr<void> context, std::int32_t status, SampleBufferRef sample) {
        std::static_pointer_cast<CompletionBox<Output>>(context)->complete({status, std::move(sample)});
    };
    auto session = createX265CompressionSession(p, options).session;
    ASSERT_TRUE(session);
    ASSERT_EQ(session->setProperty(CompressionPropertyKey::realTime, true), 0);
    ASSERT_EQ(session->setProperty(CompressionPropertyKey::expectedFrameRate, 60.0), 0);
    ASSERT_EQ(session->setProperty(CompressionPropertyKey::averageBitRate, std::int64_t{1'000'000}), 0);

    std::unique_ptr<HEVCTestDecoder> decoder;
    int frame = 0, keyframes = 0;
    // Encodes `count` frames that each measure `fraction` of the interval; returns the steps
    // reported meanwhile. Every frame must come back and decode.
    auto run = [&](int count, double fraction) {
        clock->cost = fraction * interval;
        {
            std::lock_guard<std::mutex> lock(mutex);
            steps.clear();
        }
        for (int i = 0; i < count; ++i, ++frame) {
            auto box = CompletionBox<Output>::make();
            const double t = frame * interval;
            EXPECT_EQ(session->encodeFrame(makeTestFrame(320, 240, t, 0.01), MediaTime::make(frame * 10, 600),
                                           MediaTime::invalid(), std::nullopt, box),
                      0);
            const auto out = box->wait(10);
            if (!out || !out->sample) {
                ADD_FAILURE() << "frame " << frame << " did not come back";
                return std::vector<int>{};
            }
            if (!decoder) decoder = std::make_unique<HEVCTestDecoder>(out->sample->videoFormat->parameterSets);
            EXPECT_EQ(decoder->decode(*out->sample->dataBuffer).size(), 1u) << "frame " << frame;
            const auto* a = out->sample->firstAttachments();
            const auto* notSync = a ? a->find(AttachmentKey::notSync) : nullptr;
            if (!(notSync && notSync->asBool().value_or(false))) ++keyframes;
        }
        std::lock_guard<std::mutex> lock(mutex);
        return steps;
    };

    // The frame that opens the encoder is not timed.
    EXPECT_EQ(run(1, 5.0), (std::vector<int>{}));
    // A small picture on two cores starts at the best step; windows are half a second (30 frames).
    EXPECT_EQ(run(30, 0.9), (std::vector<int>{1}));
    EXPECT_EQ(run(30, 3.0), (std::vector<int>{3}));
    EXPECT_EQ(run(30, 3.0), (std::vector<int>{}));
    // Time to spare: one step better after four spare windows.
    EXPECT_EQ(run(120, 0.2), (std::vector<int>{2}));

    // The speed preference holds the fastest settings and stops the tuning.
    ASSERT_EQ(session->setProperty(CompressionPropertyKey::prioritizeEncodingSpeedOverQuality, true), 0);
    EXPECT_EQ(run(150, 0.2), (std::vector<int>{}));
    ASSERT_EQ(session->setProperty(CompressionPropertyKey::prioritizeEncodingSpeedOverQuality, false), 0);
    EXPECT_EQ(run(120, 0.2), (std::vector<int>{1}));
    // None of it sent a keyframe after the first.
    EXPECT_EQ(keyframes, 1);
}

// libx265 3.5 takes a live change of the average rate and the rate buffer (return value 0) but
// its rate control keeps the values it opened with: the output stays byte for byte the same.
// This is why the session reopens the encoder for a rate change. When this test fails, the
// library honours live rate changes and the session can stop reopening.
TEST(X265RealTime, LibX265KeepsItsOpeningRateAfterALiveRateChange) {
    constexpr int w = 320, h = 240, frames = 60;
    std::vector<std::vector<std::uint8_t>> pictures;
    for (int i = 0; i < frames; ++i) {
        const auto yuv = testing::referenceI420(*makeTestFrame(w, h, i / 60.0, 0.2));
        std::vector<std::uint8_t> planes(yuv.y);
        planes.insert(planes.end(), yuv.u.begin(), yuv.u.end());
        planes.insert(planes.end(), yuv.v.begin(), yuv.v.end());
        pictures.push_back(std::move(planes));
    }
    auto encodeAll = [&](bool reconfigure) {
        x265_param* p = x265_param_alloc();
        x265_param_default_preset(p, "ultrafast", "zerolatency");
        p->logLevel = X265_LOG_NONE;
        p->sourceWidth = w;
        p->sourceHeight = h;
        p->fpsNum = 60;
        p->fpsDenom = 1;
        p->keyframeMax = -1;
        p->rc.rateControlMode = X265_RC_ABR;
        p->rc.bitrate = p->rc.vbvMaxBitrate = p->rc.vbvBufferSize = 2000;
        const char* pools = "1";
        p->numaPools = pools;
        x265_encoder* e = x265_encoder_open(p);
        p->numaPools = nullptr;
        std::vector<std::size_t> sizes;
        x265_picture in, out;
        x265_picture_init(p, &in);
        for (int i = 0; i < frames; ++i) {
            if (reconfigure && i == 10) {
                x265_param* q = x265_param_alloc();
                x265_encoder_parameters(e, q);
                q->rc.bitrate = q->rc.vbvMaxBitrate = q->rc.vbvBufferSize = 200;
                EXPECT_EQ(x265_encoder_reconfig(e, q), 0);
                x265_param_free(q);
            }
            auto& planes = pictures[static_cast<std::size_t>(i)];
            in.planes[0] = planes.data();
            in.planes[1] = planes.data() + w * h;
            in.planes[2] = planes.data() + w * h * 5 / 4;
            in.stride[0] = w;
            in.stride[1] = in.stride[2] = w / 2;
            in.pts = i;
            x265_nal* nals = nullptr;
            std::uint32_t count = 0;
            x265_encoder_encode(e, &nals, &count, &in, &out);
            std::size_t bytes = 0;
            for (std::uint32_t n = 0; n < count; ++n) bytes += nals[n].sizeBytes;
            sizes.push_back(bytes);
        }
        x265_encoder_close(e);
        x265_param_free(p);
        return sizes;
    };
    EXPECT_EQ(encodeAll(true), encodeAll(false));
}

}  // namespace
}  // namespace mivodrell

namespace mivodrell {
namespace {

// The rate follows a live change within a second, both ways, with no keyframe; every frame
// decodes with libavcodec.
TEST(X265LiveRate, TheRateFollowsALiveChangeWithinASecondWithoutAKeyframe) {
    constexpr int w = 640, h = 360;
    X265SessionOptions options;
    options.threadCount = 2;
    CompressionSession::Parameters p;
    p.width = w;
    p.height = h;
    p.outputCallback = [](std::shared_ptr<void> context, std::int32_t status, SampleBufferRef sample) {
        std::static_pointer_cast<CompletionBox<Output>>(context)->complete({status, std::move(sample)});
    };
    auto session = createX265CompressionSession(p, options).session;
    ASSERT_TRUE(session);
    ASSERT_EQ(session->setProperty(CompressionPropertyKey::realTime, true), 0);
    ASSERT_EQ(session->setProperty(CompressionPropertyKey::expectedFrameRate, 60.0), 0);
    auto setRate = [&](std::int64_t bps) {
        ASSERT_EQ(session->setProperty(CompressionPropertyKey::averageBitRate, bps), 0);
        ASSERT_EQ(session->setProperty(CompressionPropertyKey::dataRateLimits,
                                       std::vector<CompressionNumber>{std::int64_t{bps * 10 / 64}, 1.0}),
                  0);
    };
    setRate(2'000'000);

    std::unique_ptr<HEVCTestDecoder> decoder;
    int frame = 0, keyframes = 0;
    // Encodes one second (60 frames) and returns its kbit.
    auto second = [&] {
        std::size_t bytes = 0;
        for (int i = 0; i < 60; ++i, ++frame) {
            auto box = CompletionBox<Output>::make();
            EXPECT_EQ(session->encodeFrame(makeTestFrame(w, h, frame / 60.0, 0.1), MediaTime::make(frame * 10, 600),
                                           MediaTime::invalid(), std::nullopt, box),
                      0);
            const auto out = box->wait(10);
            if (!out || !out->sample) {
                ADD_FAILURE() << "frame " << frame << " did not come back";
                return 0.0;
            }
            if (!decoder) decoder = std::make_unique<HEVCTestDecoder>(out->sample->videoFormat->parameterSets);
            const auto pictures = decoder->decode(*out->sample->dataBuffer);
            EXPECT_EQ(pictures.size(), 1u) << "frame " << frame;
            if (!pictures.empty() && pictures[0].keyFrame) ++keyframes;
            bytes += out->sample->dataBuffer->size();
        }
        return static_cast<double>(bytes) * 8 / 1000;
    };

    second();  // the first second holds the keyframe
    EXPECT_NEAR(second(), 2000, 500);
    setRate(500'000);
    const double firstSecondDown = second();
    EXPECT_LT(firstSecondDown, 500 * 1.3) << "the first second after the change";
    EXPECT_NEAR(second(), 500, 125);
    setRate(2'000'000);
    const double firstSecondUp = second();
    EXPECT_GT(firstSecondUp, 2000 * 0.6) << "the first second after the change";
    EXPECT_NEAR(second(), 2000, 500);
    EXPECT_EQ(keyframes, 1);
}

}  // namespace
}  // namespace mivodrell
