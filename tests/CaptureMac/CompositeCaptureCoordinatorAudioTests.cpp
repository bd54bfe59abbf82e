// System audio, tuning and shutdown of the composite capture coordinator.
#include "CoordinatorTestSupport.h"
#include "Platform/Codec/VirtualAudioConverter.h"
#include <gtest/gtest.h>
#include <future>
#include <limits>
namespace mivodrell { namespace {
using testing::CoordinatorHarness;
using testing::Texts;
using Fault = VirtualCaptureServer::OperationFault;
using Operation = VirtualCaptureServer::Operation;
const PlatformError gone{"VirtualCaptureServer", -3815, "display gone"};
struct AudioConverters {
    std::shared_ptr<VirtualAudioConverter::Behaviour> behaviour = std::make_shared<VirtualAudioConverter::Behaviour>();
    std::shared_ptr<VirtualAudioConverter::Journal> journal = std::make_shared<VirtualAudioConverter::Journal>();
};
// A coordinator on scripted audio converters; `started`: both displays and system audio on.
struct AudioHarness : AudioConverters, CoordinatorHarness {
    explicit AudioHarness(bool started = true) : CoordinatorHarness(std::nullopt, VirtualAudioConverter::factory(behaviour, journal)) {
        behaviour->primingFrames = 0;
        if (!started) return;
        start();
        coordinator->setAudioEnabled(true);
    }
    // Delivers `buffers` audio buffers (and a screen frame) and waits until they are encoded.
    void deliverAudio(int buffers) { deliver(1024.0 / 48000.0 * buffers + 1e-9); }
};
TEST(CompositeCaptureCoordinatorAudio, BuffersAreCountedInTheLogAndPacketsOfOneBufferShareItsTime) {
    AudioHarness h;
    EXPECT_TRUE(h.coordinator->inspect().audioCapturing);
    EXPECT_EQ(h.recorded.count("音訊擷取 SCStream 已啟動（display=1），等待第一顆 sample buffer"), 1u);
    // Two packets that take no input, then the buffer's own: three packets from one buffer.
    h.behaviour->script = {{VirtualAudioConverter::OutputStatus::haveData, std::nullopt, 0, 100},
                           {VirtualAudioConverter::OutputStatus::haveData, std::nullopt, 0, 100}};
    h.deliverAudio(1);
    ASSERT_EQ(h.recorded.audio.size(), 3u);
    EXPECT_EQ(h.recorded.audio[0].second, h.recorded.audio[2].second);
    EXPECT_FALSE(h.recorded.audioConfig.empty());
    h.deliverAudio(119);
    ASSERT_EQ(h.recorded.audio.size(), 122u);
    EXPECT_LT(h.recorded.audio[2].second, h.recorded.audio[3].second);
    for (const char* line : {"收到第 1 顆音訊 sample buffer", "收到第 60 顆音訊 sample buffer", "收到第 120 顆音訊 sample buffer"})
        EXPECT_EQ(h.recorded.count(line), 1u) << line;
    EXPECT_EQ(h.recorded.count("收到第 2 顆"), 0u);
    EXPECT_NE(h.recorded.count("[AudioEncoder] "), 0u);
}
TEST(CompositeCaptureCoordinatorAudio, BitrateIsClampedAndNeedsARunningEncoder) {
    AudioHarness h;
    h.coordinator->applyAudioBitrate(24'000);  // no encoder yet: not kept
    h.deliverAudio(1);
    EXPECT_EQ(h.coordinator->inspect().audioEncoderBitrate, 16'000u);
    for (const auto& [requested, applied] : {std::pair<std::int64_t, std::uint32_t>{-5, 0}, {32'000, 32'000}, {5'000'000'000, 4'294'967'295u}}) {
        h.coordinator->applyAudioBitrate(requested);
        EXPECT_EQ(h.coordinator->inspect().audioEncoderBitrate, applied) << requested;
    }
}
TEST(CompositeCaptureCoordinatorAudio, AudioSwitchedOnBeforeTheFirstPlanStartsWithIt) {
    AudioHarness h(false);
    h.coordinator->setAudioEnabled(true);
    EXPECT_TRUE(h.coordinator->inspect().audioEnabled);
    EXPECT_FALSE(h.coordinator->inspect().audioCapturing);
    h.start();
    EXPECT_TRUE(h.coordinator->inspect().audioCapturing);
    h.deliverAudio(1);
    EXPECT_EQ(h.recorded.audio.size(), 1u);
    // Switched off before the first plan: nothing starts.
    AudioHarness off(false);
    off.coordinator->setAudioEnabled(true);
    off.coordinator->setAudioEnabled(false);
    off.start();
    EXPECT_FALSE(off.coordinator->inspect().audioCapturing);
}
TEST(CompositeCaptureCoordinatorAudio, AfterTheStreamEndsAudioWaitsForTheSwitchToGoOffAndOn) {
    AudioHarness h;
    h.deliverAudio(1);
    h.server->stopAllStreams(gone);
    h.backend->flush();
    h.server->drain();
    const auto state = h.coordinator->inspect();
    EXPECT_TRUE(state.audioEnabled);
    EXPECT_FALSE(state.audioCapturing || state.hasAudioEncoder || !state.active.empty());
    EXPECT_EQ(h.errors().size(), 3u);  // both displays and the audio stream
    for (const std::string& error : h.errors()) EXPECT_NE(error.find(": PlatformError(-3815)"), std::string::npos) << error;
    h.start();  // the ended displays start without their old pictures; audio stays off
    EXPECT_FALSE(h.coordinator->inspect().audioCapturing || h.coordinator->inspect().active.at(1).hasRendererSource);
    h.coordinator->setAudioEnabled(false);
    h.coordinator->setAudioEnabled(true);
    EXPECT_TRUE(h.coordinator->inspect().audioCapturing);
}
TEST(CompositeCaptureCoordinatorAudio, FailuresGoToDisplayZeroAndAReplacedStreamsEndLeavesItsSuccessorAlone) {
    AudioHarness h(false);
    h.start();
    h.server->setFault(Operation::startCapture, Fault{Fault::Kind::fail});
    h.coordinator->setAudioEnabled(true);
    EXPECT_FALSE(h.coordinator->inspect().audioCapturing);
    h.server->setFault(Operation::startCapture, {});
    h.coordinator->setAudioEnabled(false);
    h.coordinator->setAudioEnabled(true);
    h.behaviour->failCreation = true;
    h.deliverAudio(1);
    EXPECT_TRUE(h.recorded.audio.empty());
    // Switched off and on again before the old stream's end, reported as it is stopped, arrives.
    h.backend->onStopCapture = [](StreamDelegate& d) { d.didStopWithError(gone); };
    h.onQueue([&] {
        h.coordinator->setAudioEnabled(false);
        h.coordinator->setAudioEnabled(true);
    });
    EXPECT_TRUE(h.coordinator->inspect().audioCapturing);
    EXPECT_EQ(h.errors(), (Texts{"0: startFailed", "0: converterCreationFailed", "0: PlatformError(-3815)"}));
}
TEST(CompositeCaptureCoordinatorTuning, ValuesAreClampedAndTheTimerFollowsTheFrameRate) {
    struct Row { double density, fps, mbps; bool speed; double expectedDensity, expectedFPS, expectedMbps; bool timerRestarted; const char* line; };
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const Row rows[] = {
        {0.5, 200, -1, false, 1.0, 60, 0, false, "★S214-88 調參生效：density=1.0 encodeFPS=60 bitrateMbps=自動 speedPriority=false"},
        {1.5, 30, 12.5, true, 1.5, 30, 12.5, true, "★S214-88 調參生效：density=1.5 encodeFPS=30 bitrateMbps=12 speedPriority=true"},
        {3, 5, 100, true, 2.0, 10, 60, true, "★S214-88 調參生效：density=2.0 encodeFPS=10 bitrateMbps=60 speedPriority=true"},
        {nan, nan, nan, false, 1.0, 60, 0, true, "★S214-88 調參生效：density=1.0 encodeFPS=60 bitrateMbps=自動 speedPriority=false"}};
    CoordinatorHarness h;
    h.start();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.line);
        const int timers = h.timer.created;
        h.coordinator->applyTuning(r.density, r.fps, r.mbps, r.speed);
        const auto state = h.coordinator->inspect();
        EXPECT_EQ(std::tuple(state.detailDensity, state.tuningEncodeFPS, state.tuningBitrateMbps, state.tuningSpeedPriority),
                  std::tuple(r.expectedDensity, r.expectedFPS, r.expectedMbps, r.speed));
        EXPECT_DOUBLE_EQ(state.renderInterval, 1.0 / r.expectedFPS);
        EXPECT_EQ(h.timer.created - timers, r.timerRestarted ? 1 : 0);
        EXPECT_DOUBLE_EQ(h.timer.interval, 1.0 / r.expectedFPS);
        EXPECT_NE(h.recorded.count(r.line), 0u);
    }
    // The speed switch reaches the running encoder at once.
    const auto log = h.lastSession()->propertyLog();
    EXPECT_NE(std::find(log.begin(), log.end(), std::pair{CompressionPropertyKey::prioritizeEncodingSpeedOverQuality, CompressionPropertyValue(true)}), log.end());
}
TEST(CompositeCaptureCoordinatorShutdown, StopAllTwiceStopsEverythingOnceAndAPlanRestarts) {
    AudioHarness h;
    h.deliver();
    h.tick();
    const auto session = h.lastSession();
    h.server->setFault(Operation::stopCapture, Fault{Fault::Kind::fail});
    h.coordinator->stopAll();
    h.server->setFault(Operation::stopCapture, {});
    for (int round = 0; round < 2; ++round) {
        if (round == 1) h.coordinator->stopAll();
        const auto state = h.coordinator->inspect();
        EXPECT_TRUE(state.active.empty());
        EXPECT_FALSE(state.renderTimerRunning || state.encoderOutputPixelSize || state.hasLatestFrameParameters);
        EXPECT_FALSE(state.audioEnabled || state.audioCapturing);
        EXPECT_EQ(state.nextFrameID, 0u);
        EXPECT_EQ(session->invalidateCount(), 1);
        // Every stream was asked to stop; each failure is reported with its display.
        EXPECT_EQ(h.errors(), (Texts{"1: stopFailed", "2: stopFailed", "0: stopFailed"}));
    }
    h.tick();  // the stopped timer fires nothing
    EXPECT_EQ(h.frameCount(), 1u);
    h.start();
    EXPECT_EQ(h.coordinator->activeDisplayIDs(), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_TRUE(h.coordinator->inspect().renderTimerRunning);
    EXPECT_NE(h.lastSession(), session);
}
// Frames and audio buffers still on their way when the owner drops the coordinator are dropped,
// and its streams stop.
TEST(CompositeCaptureCoordinatorShutdown, WhatArrivesAfterTheCoordinatorIsGoneIsDropped) {
    AudioHarness h;
    std::promise<void> release, done;
    h.timer.queue->async([coordinator = std::exchange(h.coordinator, nullptr), gate = release.get_future().share()]() mutable {
        gate.wait();
        coordinator.reset();
    });
    h.server->tick(0.1);
    h.backend->flush();  // queued behind the coordinator's last owner
    h.timer.queue->async([&done] { done.set_value(); });
    release.set_value();
    done.get_future().wait();
    h.server->drain();
    EXPECT_EQ(h.server->runningStreamCount(), 0u);
}
}}  // namespace mivodrell
