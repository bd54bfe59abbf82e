// System audio, tuning and shutdown of the composite capture coordinator.

#include "CaptureMac/ScreenCaptureSession.h"
#include "CoordinatorTestSupport.h"
#include "Platform/Codec/VirtualAudioConverter.h"

#include <gtest/gtest.h>

#include <limits>

namespace mivodrell {
namespace {

using testing::CoordinatorHarness;
using testing::errorAs;
constexpr double kAudioBufferSeconds = 1024.0 / 48000.0;

struct AudioHarness {
    std::shared_ptr<VirtualAudioConverter::Behaviour> behaviour = std::make_shared<VirtualAudioConverter::Behaviour>();
    std::shared_ptr<VirtualAudioConverter::Journal> journal = std::make_shared<VirtualAudioConverter::Journal>();
    CoordinatorHarness h{std::nullopt, VirtualAudioConverter::factory(behaviour, journal)};

    AudioHarness() { behaviour->primingFrames = 0; }
    // Delivers `buffers` audio buffers (and a screen frame) and waits until they are encoded.
    void deliverAudio(int buffers) { h.deliver(kAudioBufferSeconds * buffers + 1e-9); }
};

TEST(CompositeCaptureCoordinatorAudio, BuffersAreCountedInTheLogAndPacketsOfOneBufferShareItsTime) {
    AudioHarness a;
    auto& h = a.h;
    h.start();
    h.coordinator->setAudioEnabled(true);
    EXPECT_TRUE(h.coordinator->inspect().audioCapturing);
    EXPECT_EQ(h.recorded.logsContaining("音訊擷取 SCStream 已啟動（display=1），等待第一顆 sample buffer").size(), 1u);

    // Two packets that take no input, then the buffer's own: three packets from one buffer.
    a.behaviour->script = {{VirtualAudioConverter::OutputStatus::haveData, std::nullopt, 0, 100},
                           {VirtualAudioConverter::OutputStatus::haveData, std::nullopt, 0, 100}};
    a.deliverAudio(1);
    ASSERT_EQ(h.recorded.audio.size(), 3u);
    EXPECT_EQ(h.recorded.audio[0].second, h.recorded.audio[2].second);
    EXPECT_FALSE(h.recorded.audioConfig.empty());

    a.deliverAudio(119);
    ASSERT_EQ(h.recorded.audio.size(), 122u);
    EXPECT_LT(h.recorded.audio[2].second, h.recorded.audio[3].second);
    for (const char* line : {"收到第 1 顆音訊 sample buffer", "收到第 60 顆音訊 sample buffer", "收到第 120 顆音訊 sample buffer"}) {
        EXPECT_EQ(h.recorded.logsContaining(line).size(), 1u) << line;
    }
    EXPECT_TRUE(h.recorded.logsContaining("收到第 2 顆").empty());
    EXPECT_FALSE(h.recorded.logsContaining("[AudioEncoder] ").empty());
}

TEST(CompositeCaptureCoordinatorAudio, BitrateIsClampedAndNeedsARunningEncoder) {
    AudioHarness a;
    auto& h = a.h;
    h.start();
    h.coordinator->setAudioEnabled(true);
    h.coordinator->applyAudioBitrate(24'000);  // no encoder yet: not kept
    a.deliverAudio(1);
    EXPECT_EQ(h.coordinator->inspect().audioEncoderBitrate, 16'000u);
    struct Row {
        std::int64_t requested;
        std::uint32_t applied;
    };
    for (const Row& r : {Row{-5, 0}, Row{32'000, 32'000}, Row{5'000'000'000, 4'294'967'295u}}) {
        h.coordinator->applyAudioBitrate(r.requested);
        EXPECT_EQ(h.coordinator->inspect().audioEncoderBitrate, r.applied) << r.requested;
    }
}

// Switching audio on while no plan has brought a display starts it with the first plan.
TEST(CompositeCaptureCoordinatorAudio, AudioSwitchedOnBeforeTheFirstPlanStartsWithIt) {
    AudioHarness a;
    auto& h = a.h;
    h.coordinator->setAudioEnabled(true);
    auto state = h.coordinator->inspect();
    EXPECT_TRUE(state.audioEnabled);
    EXPECT_FALSE(state.audioCapturing);
    h.start();
    EXPECT_TRUE(h.coordinator->inspect().audioCapturing);
    a.deliverAudio(1);
    EXPECT_EQ(h.recorded.audio.size(), 1u);

    // Switched off before the first plan: nothing starts.
    AudioHarness b;
    b.h.coordinator->setAudioEnabled(true);
    b.h.coordinator->setAudioEnabled(false);
    b.h.start();
    EXPECT_FALSE(b.h.coordinator->inspect().audioCapturing);
}

TEST(CompositeCaptureCoordinatorAudio, AfterTheStreamEndsAudioWaitsForTheSwitchToGoOffAndOn) {
    AudioHarness a;
    auto& h = a.h;
    h.start();
    h.coordinator->setAudioEnabled(true);
    a.deliverAudio(1);
    const PlatformError gone{"VirtualCaptureServer", -3815, "display gone"};
    h.server->stopAllStreams(gone);
    h.backend->flush();
    h.server->drain();
    auto state = h.coordinator->inspect();
    EXPECT_TRUE(state.audioEnabled);
    EXPECT_FALSE(state.audioCapturing);
    EXPECT_FALSE(state.hasAudioEncoder);
    EXPECT_TRUE(state.active.empty());
    ASSERT_EQ(h.errorCount(), 3u);  // both displays and the audio stream
    for (const auto& [id, error] : h.recorded.errors) EXPECT_EQ(errorAs<PlatformError>(error), gone) << id;

    h.start();
    EXPECT_FALSE(h.coordinator->inspect().audioCapturing);
    h.coordinator->setAudioEnabled(false);
    h.coordinator->setAudioEnabled(true);
    EXPECT_TRUE(h.coordinator->inspect().audioCapturing);
}

TEST(CompositeCaptureCoordinatorTuning, ValuesAreClampedAndTheTimerFollowsTheFrameRate) {
    struct Row {
        double density, fps, mbps;
        bool speed;
        double expectedDensity, expectedFPS;
        bool timerRestarted;
        const char* line;
    };
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const Row rows[] = {
        {0.5, 200, -1, false, 1.0, 60, false, "★S214-88 調參生效：density=1.0 encodeFPS=60 bitrateMbps=自動 speedPriority=false"},
        {1.5, 30, 12.5, true, 1.5, 30, true, "★S214-88 調參生效：density=1.5 encodeFPS=30 bitrateMbps=12 speedPriority=true"},
        {3, 5, 100, true, 2.0, 10, true, "★S214-88 調參生效：density=2.0 encodeFPS=10 bitrateMbps=60 speedPriority=true"},
        {nan, nan, nan, false, 1.0, 60, true, "★S214-88 調參生效：density=1.0 encodeFPS=60 bitrateMbps=自動 speedPriority=false"},
    };
    CoordinatorHarness h;
    h.start();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.line);
        const int timers = h.timer.created;
        h.coordinator->applyTuning(r.density, r.fps, r.mbps, r.speed);
        const auto state = h.coordinator->inspect();
        EXPECT_EQ(state.detailDensity, r.expectedDensity);
        EXPECT_EQ(state.tuningEncodeFPS, r.expectedFPS);
        EXPECT_DOUBLE_EQ(state.renderInterval, 1.0 / r.expectedFPS);
        EXPECT_EQ(h.timer.created - timers, r.timerRestarted ? 1 : 0);
        EXPECT_DOUBLE_EQ(h.timer.interval, 1.0 / r.expectedFPS);
        EXPECT_EQ(state.tuningSpeedPriority, r.speed);
        EXPECT_EQ(h.recorded.logsContaining(r.line).empty(), false);
    }
    // The speed switch reaches the compression session; the bitrate override the next plan.
    bool speedSet = false;
    for (const auto& [key, value] : h.lastSession()->propertyLog()) {
        if (key == CompressionPropertyKey::prioritizeEncodingSpeedOverQuality && value == CompressionPropertyValue(true)) speedSet = true;
    }
    EXPECT_TRUE(speedSet);
    h.coordinator->applyTuning(1, 60, 12.5, false);
    h.start();
    EXPECT_EQ(h.coordinator->inspect().latestTargetBitrate, 12'500'000);
}

TEST(CompositeCaptureCoordinatorShutdown, StopAllTwiceStopsEverythingOnceAndAPlanRestarts) {
    AudioHarness a;
    auto& h = a.h;
    h.start();
    h.coordinator->setAudioEnabled(true);
    h.deliver();
    h.tick();
    const auto session = h.lastSession();
    h.server->setFault(VirtualCaptureServer::Operation::stopCapture, {VirtualCaptureServer::OperationFault::Kind::fail});
    h.coordinator->stopAll();
    // Every stream was asked to stop; the screen streams' failures are reported with their displays.
    ASSERT_EQ(h.errorCount(), 3u);
    EXPECT_EQ(h.recorded.errors[0].first, 1u);
    EXPECT_EQ(errorAs<ScreenCaptureSession::CaptureError>(h.recorded.errors[0].second)->kind,
              ScreenCaptureSession::CaptureError::Kind::stopFailed);
    EXPECT_EQ(h.recorded.errors[1].first, 2u);
    EXPECT_EQ(h.recorded.errors[2].first, 0u);
    h.server->setFault(VirtualCaptureServer::Operation::stopCapture, {});

    for (int round = 0; round < 2; ++round) {
        if (round == 1) h.coordinator->stopAll();
        const auto state = h.coordinator->inspect();
        EXPECT_TRUE(state.active.empty());
        EXPECT_FALSE(state.renderTimerRunning);
        EXPECT_FALSE(state.encoderOutputPixelSize);
        EXPECT_EQ(state.nextFrameID, 0u);
        EXPECT_FALSE(state.hasLatestFrameParameters);
        EXPECT_FALSE(state.audioEnabled);
        EXPECT_FALSE(state.audioCapturing);
        EXPECT_EQ(session->invalidateCount(), 1);
        EXPECT_EQ(h.errorCount(), 3u);
    }
    h.tick();  // the stopped timer fires nothing
    EXPECT_EQ(h.frameCount(), 1u);

    h.start();
    EXPECT_EQ(h.coordinator->activeDisplayIDs(), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_TRUE(h.coordinator->inspect().renderTimerRunning);
    EXPECT_NE(h.lastSession(), session);
}

}  // namespace
}  // namespace mivodrell
