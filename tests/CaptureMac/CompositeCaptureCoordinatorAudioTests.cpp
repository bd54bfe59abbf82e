// System audio, tuning and shutdown of the composite capture coordinator.
#include "CoordinatorTestSupport.h"
#include <gtest/gtest.h>
#include <future>
#include <limits>
namespace mivodrell { namespace {
using testing::CoordinatorHarness;
using testing::Texts;
using Fault = VirtualCaptureServer::OperationFault;
using Operation = VirtualCaptureServer::Operation;
const PlatformError gone{"VirtualCaptureServer", -3815, "display gone"};
// Both displays and system audio on, unless not `started`.
struct AudioHarness : CoordinatorHarness {
    explicit AudioHarness(bool started = true) { if (started) start(), coordinator->setAudioEnabled(true); }
};
// The bitrate is clamped and needs a running encoder.
TEST(CompositeCaptureCoordinatorAudio, BuffersAreCountedInTheLogAndPacketsOfOneBufferShareItsTime) {
    AudioHarness h;
    EXPECT_EQ(h.count("音訊擷取 SCStream 已啟動（display=1），等待第一顆 sample buffer"), 1u);
    h.coordinator->applyAudioBitrate(24'000);  // no encoder yet: not kept
    // Two packets that take no input, then the buffer's own: three packets from one buffer.
    h.audio->script = {{VirtualAudioConverter::OutputStatus::haveData, std::nullopt, 0, 100},
                           {VirtualAudioConverter::OutputStatus::haveData, std::nullopt, 0, 100}};
    h.deliverAudio(1);
    ASSERT_EQ(h.recorded.audio.size(), 3u);
    EXPECT_EQ(h.recorded.audio[0].second, h.recorded.audio[2].second);
    h.deliverAudio(119);
    ASSERT_EQ(h.recorded.audio.size(), 122u);
    EXPECT_LT(h.recorded.audio[2].second, h.recorded.audio[3].second);
    EXPECT_EQ(h.logsContaining("顆音訊 sample buffer"),
              (Texts{"收到第 1 顆音訊 sample buffer", "收到第 60 顆音訊 sample buffer", "收到第 120 顆音訊 sample buffer"}));
    EXPECT_NE(h.count("[AudioEncoder] "), 0u);
    EXPECT_EQ(h.coordinator->inspect().audioEncoderBitrate, 16'000u);
    for (const auto& [requested, applied] : {std::pair<std::int64_t, std::uint32_t>{-5, 0}, {32'000, 32'000}, {5'000'000'000, 4'294'967'295u}}) {
        h.coordinator->applyAudioBitrate(requested);
        EXPECT_EQ(h.coordinator->inspect().audioEncoderBitrate, applied) << requested;
    }
}
// Switched on before the first plan, audio starts with it. Encode and start failures go to
// display 0; a replaced stream's end leaves its successor alone.
TEST(CompositeCaptureCoordinatorAudio, SwitchedOnBeforeTheFirstPlanFailuresAndAReplacedStreamsEnd) {
    AudioHarness h(false);
    h.coordinator->setAudioEnabled(true);
    EXPECT_EQ(std::pair(h.coordinator->inspect().audioEnabled, h.coordinator->inspect().audioCapturing), std::pair(true, false));
    h.start();
    h.audio->failCreation = true;
    h.deliverAudio(1);
    h.audio->failCreation = false;
    h.server->setFault(Operation::startCapture, Fault{Fault::Kind::fail});
    h.restartAudio();
    EXPECT_FALSE(h.coordinator->inspect().audioCapturing);
    h.server->setFault(Operation::startCapture, {});
    h.restartAudio();
    h.deliverAudio(1);
    EXPECT_EQ(h.recorded.audio.size(), 1u);
    // Switched off and on again before the old stream's end, reported as it is stopped, arrives.
    h.backend->onStopCapture = [](StreamDelegate& d) { d.didStopWithError(gone); };
    h.onQueue([&] { h.restartAudio(); });
    EXPECT_TRUE(h.coordinator->inspect().audioCapturing);
    EXPECT_EQ(h.errors(), (Texts{"0: converterCreationFailed", "0: startFailed", "0: PlatformError(-3815)"}));
    // Switched off before the first plan: nothing starts.
    AudioHarness off(false);
    off.coordinator->setAudioEnabled(true);
    off.coordinator->setAudioEnabled(false);
    off.start();
    EXPECT_FALSE(off.coordinator->inspect().audioCapturing);
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
        EXPECT_EQ(std::tuple(state.detailDensity, state.tuningEncodeFPS, state.tuningBitrateMbps, state.tuningSpeedPriority, state.renderInterval),
                  std::tuple(r.expectedDensity, r.expectedFPS, r.expectedMbps, r.speed, 1.0 / r.expectedFPS));
        EXPECT_EQ(std::pair(h.timer.created - timers, h.timer.interval), std::pair(r.timerRestarted ? 1 : 0, 1.0 / r.expectedFPS));
        EXPECT_NE(h.count(r.line), 0u);
    }
    const auto log = h.lastSession()->propertyLog();  // the speed switch reaches the running encoder at once
    EXPECT_NE(std::find(log.begin(), log.end(), std::pair{CompressionPropertyKey::prioritizeEncodingSpeedOverQuality, CompressionPropertyValue(true)}), log.end());
}
// After its streams end by themselves, audio waits for its switch to go off and on. stopAll twice
// stops everything once, reporting each failure with its display; a plan starts it all again.
TEST(CompositeCaptureCoordinatorShutdown, StreamsThatEndAndStopAllTwice) {
    AudioHarness h;
    h.deliverAudio(1);
    h.tick();
    h.server->stopAllStreams(gone);
    h.backend->flush();
    h.server->drain();
    const auto ended = h.coordinator->inspect();
    EXPECT_TRUE(ended.audioEnabled && !ended.audioCapturing && !ended.hasAudioEncoder && ended.active.empty());
    h.start();  // without the old pictures; audio stays off
    EXPECT_FALSE(h.coordinator->inspect().audioCapturing || h.coordinator->inspect().active.at(1).hasRendererSource);
    h.restartAudio();
    EXPECT_TRUE(h.coordinator->inspect().audioCapturing);
    const auto session = h.lastSession();
    h.server->setFault(Operation::stopCapture, Fault{Fault::Kind::fail});
    h.coordinator->stopAll();
    h.server->setFault(Operation::stopCapture, {});
    for (int round = 0; round < 2; ++round) {
        if (round == 1) h.coordinator->stopAll();
        const auto state = h.coordinator->inspect();
        EXPECT_FALSE(!state.active.empty() || state.renderTimerRunning || state.encoderOutputPixelSize || state.hasLatestFrameParameters);
        EXPECT_FALSE(state.audioEnabled || state.audioCapturing);
        EXPECT_EQ(std::pair(state.nextFrameID, session->invalidateCount()), std::pair(0u, 1));
        const Texts errors = h.errors();  // the three ends (in any order), then the stops
        EXPECT_EQ(std::count_if(errors.begin(), errors.begin() + 3, [](const auto& e) { return e.ends_with(": PlatformError(-3815)"); }), 3);
        EXPECT_EQ(Texts(errors.begin() + 3, errors.end()), (Texts{"1: stopFailed", "2: stopFailed", "0: stopFailed"}));
    }
    h.tick();  // the stopped timer fires nothing
    EXPECT_EQ(h.frameCount(), 1u);
    h.start();
    EXPECT_EQ(std::tuple(h.coordinator->activeDisplayIDs(), h.coordinator->inspect().renderTimerRunning, h.lastSession() != session),
              std::tuple(std::vector<std::uint32_t>{1, 2}, true, true));
}
// Frames and audio buffers still on their way when the owner drops the coordinator are dropped,
// and its streams stop.
TEST(CompositeCaptureCoordinatorShutdown, WhatArrivesAfterTheCoordinatorIsGoneIsDropped) {
    AudioHarness h;
    std::promise<void> release, done;
    const auto gate = release.get_future().share();
    h.timer.queue->async([coordinator = std::exchange(h.coordinator, nullptr), gate]() mutable { gate.wait(), coordinator.reset(); });
    h.server->tick(0.1);
    h.backend->flush();  // queued behind the coordinator's last owner
    h.timer.queue->async([&done] { done.set_value(); });
    release.set_value();
    done.get_future().wait();
    h.server->drain();
    EXPECT_EQ(h.server->runningStreamCount(), 0u);
}
}}  // namespace mivodrell
