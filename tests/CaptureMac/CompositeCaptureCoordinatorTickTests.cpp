// The render/encode tick of the composite capture coordinator: its gates, keyframes, encoder
// rebuilds and compute tiers, on the virtual display server with scripted compression sessions.
#include "CoordinatorTestSupport.h"
#include <gtest/gtest.h>
#include <atomic>
#include <limits>
namespace mivodrell { namespace {
using testing::CoordinatorHarness;
using testing::Texts;
using Sizes = std::vector<std::pair<int, int>>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A fresh frame from every display, then one tick; whether it encoded a frame.
bool frameAndTick(CoordinatorHarness& h, double advance = 1.0 / 60) {
    const std::size_t before = h.frameCount();
    h.deliver();
    h.tick(advance);
    return h.frameCount() > before;
}
TEST(CompositeCaptureCoordinatorTick, BacklogGateTripsAboveTheLimitAndResumesAtHalf) {
    struct Row { std::int64_t bitrate; std::vector<std::pair<std::int64_t, bool>> backlogAndEncodes; int trips; };
    const Row rows[] = {
        {8'000'000, {{300'000, true}, {300'001, false}, {200'000, false}, {150'001, false}, {150'000, true}, {300'001, false}}, 2},
        {1'000'000, {{48'000, true}, {48'001, false}, {24'001, false}, {24'000, true}}, 1},  // the 48,000 floor
        {8'000'000, {{0, true}, {300'001, false}, {300'001, false}, {0, true}}, 1}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.bitrate);
        CoordinatorHarness h;
        auto backlog = std::make_shared<std::atomic<std::int64_t>>(0);
        h.coordinator->outboundFrameBacklogBytes = [backlog] { return backlog->load(); };
        h.start({1.0, r.bitrate, 3.0, 60.0});
        for (const auto& [bytes, encodes] : r.backlogAndEncodes) {
            backlog->store(bytes);
            EXPECT_EQ(frameAndTick(h), encodes) << bytes;
        }
        EXPECT_EQ(h.recorded.backlogTrips, r.trips);
        if (&r != &rows[2]) continue;
        EXPECT_EQ(h.logsContaining("影格通道積壓 300001"),
                  Texts{"影格通道積壓 300001 bytes > 上限 300000（延遲預算 0.3s）——跳幀等待排空｜最近關鍵幀 6 bytes、0.0s 前（★S214-110 §4.3）"});
        EXPECT_EQ(h.count("影格通道積壓已排空至半值以下（共跳 2 幀），恢復送幀（不再強制關鍵幀——P 鏈未斷，見 S214 第五十八輪）"), 1u);
    }
}
// The lowest of the plan's cap and the tuned rate paces a 60 Hz timer; from 59 fps up every tick encodes.
TEST(CompositeCaptureCoordinatorTick, PacingFollowsTheLowestCapWithoutABurstAfterAStall) {
    struct Row { double maxFrameRate, tunedFPS; int encodes; };
    for (const Row& r : {Row{30, 60, 30}, Row{60, 20, 20}, Row{59, 60, 60}, Row{kNaN, 60, 60}}) {
        SCOPED_TRACE(r.maxFrameRate);
        CoordinatorHarness h;
        h.start({1.0, 8'000'000, 3.0, r.maxFrameRate});
        h.coordinator->applyTuning(1, r.tunedFPS, 0, false);
        int count = 0;
        for (int i = 0; i < 60; ++i) count += frameAndTick(h);
        EXPECT_TRUE(count == r.encodes || count == r.encodes + 1) << count;
        if (r.encodes != 30) continue;
        EXPECT_TRUE(frameAndTick(h, 1.0));  // a one-second stall
        int afterStall = 0;
        for (int i = 0; i < 10; ++i) afterStall += frameAndTick(h);
        EXPECT_LE(afterStall, 6);
    }
}
// After one encoded frame, what the next tick does. Static content pauses encoding after 1 s
// without frames or crop changes (a tick 0.6 s on still encodes) until some activity. A skipped
// tick uses no frame identifier; a failed encode uses one.
TEST(CompositeCaptureCoordinatorTick, StaticPausesAndTicksThatEncodeNothing) {
    using Act = std::function<void(CoordinatorHarness&)>;
    const auto afterAPause = [](Act activity) -> Act { return [activity](CoordinatorHarness& h) { for (int i = 0; i < 3; ++i) h.tick(0.6); activity(h); }; };
    struct Row { const char* name; Act act; std::size_t frames; std::uint32_t nextFrameID; Texts errors = {}; };
    const Row rows[] = {
        {"a frame", afterAPause([](CoordinatorHarness& h) { h.deliver(); }), 3, 3},
        {"a crop change", afterAPause([](CoordinatorHarness& h) { h.apply(CoordinatorHarness::plan({1, 2}), CGRect(10, 0, 1280, 360)); }), 3, 3},
        {"a keyframe request", afterAPause([](CoordinatorHarness& h) { h.coordinator->requestKeyframe(1); }), 3, 3},
        {"no display active", [](CoordinatorHarness& h) { h.apply(CoordinatorHarness::plan({}, {}, {1, 2})); }, 1, 1},
        {"a render that yields nothing", [](CoordinatorHarness& h) { h.apply(CoordinatorHarness::plan({1, 2}), CGRect(0, 0, 0, 360)); }, 1, 1},
        {"an encode failure", [](CoordinatorHarness& h) { h.lastSession()->setScript({.submissionStatus = CompressionStatus::encoderFailed}); }, 1, 2,
         {"0: HEVCEncoder.EncoderError.encodeSubmissionFailed(-12911)"}}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        CoordinatorHarness h;
        h.start();
        EXPECT_TRUE(frameAndTick(h));
        r.act(h);
        h.tick();
        EXPECT_EQ(std::tuple(h.frameCount(), h.coordinator->inspect().nextFrameID, h.errors()), std::tuple(r.frames, r.nextFrameID, r.errors));
        const std::size_t paused = r.frames == 3 ? 1 : 0;
        EXPECT_EQ(std::pair(h.count("★S214-97 靜止停編：內容與視角無變化 >1s，暫停編碼（零 shimmer 凍幀）"), h.count("★S214-97 恢復編碼")),
                  std::pair(paused, paused));
    }
}
// Resending the format does nothing before one was emitted, then repeats it and forces a keyframe.
TEST(CompositeCaptureCoordinatorTick, ForcedKeyframesKeepTheirSpacingAndFrameIDsWrap) {
    CoordinatorHarness h;
    h.start();
    h.coordinator->resendCurrentFormat();
    EXPECT_EQ(std::pair(h.coordinator->inspect().pendingForcedKeyframe, h.formats()), std::pair(false, Sizes{}));
    EXPECT_TRUE(frameAndTick(h));  // first frame: a keyframe, not forced
    EXPECT_EQ(h.count("★S214-120 關鍵幀送出：6 bytes（距上顆 -1.0s，強制=false）"), 1u);
    h.coordinator->requestKeyframe(2);
    frameAndTick(h);
    EXPECT_TRUE(h.recorded.frames.back().isKeyframe);
    h.clock->advance(0.5);
    h.coordinator->requestKeyframe(1);  // 0.5 s after the first
    std::vector<double> forcedAt;
    for (int i = 0; i < 40; ++i) {
        frameAndTick(h, 0.05);
        if (h.recorded.frames.back().isKeyframe) forcedAt.push_back(h.clock->mediaTime() - (100.0 + 2.0 / 60));
    }
    ASSERT_EQ(forcedAt.size(), 1u);
    EXPECT_TRUE(forcedAt[0] >= 2.0 && forcedAt[0] <= 2.05 + 1e-9) << forcedAt[0];
    EXPECT_EQ(h.count("強制=true"), 2u);
    h.coordinator->setNextFrameIDForTesting(std::numeric_limits<std::uint32_t>::max());
    for (int i = 0; i < 2; ++i) frameAndTick(h);
    const auto n = h.recorded.frames.size();
    EXPECT_EQ(std::pair(h.recorded.frames[n - 2].frameID, h.recorded.frames[n - 1].frameID), std::pair(std::numeric_limits<std::uint32_t>::max(), 0u));
    EXPECT_TRUE(identical(h.recorded.frames[n - 1].cropRect, CGRect(0, 0, 1280, 360)));
    h.coordinator->resendCurrentFormat();
    EXPECT_EQ(std::pair(h.coordinator->inspect().pendingForcedKeyframe, h.formats()), std::pair(true, Sizes{{640, 176}, {640, 176}}));
}
TEST(CompositeCaptureCoordinatorTick, ComputeTiersDegradeOnExpensiveWindowsAndRecoverAfterTwoCheapOnes) {
    CoordinatorHarness h;
    auto costMs = std::make_shared<std::atomic<double>>(0);
    h.script.responder = [clock = h.clock, costMs](const VirtualCompressionSession::SubmittedFrame& f) {
        clock->advance(costMs->load() / 1000);  // a scripted cost: the clock moves while it encodes
        return VirtualCompressionSession::Response{0, VirtualCompressionSession::makeSample(f.index == 0 || (f.options && f.options->forceKeyFrame), f.presentationTime)};
    };
    h.start();
    // Each row is one 5-second cost window of ticks `spacing` apart, at a tuned frame rate.
    struct Row { double cost, spacing, ceiling, fps = 60; };
    const Row windows[] = {
        {1, 0.4, 60},   // the window starts at its first tick
        {15, 0.5, 12},  // above 84 % of 16.7 ms, in exactly ten ticks
        {5, 0.4, 12},   // one cheap window
        {10, 0.4, 12},  // not below 50 %: the count starts again
        {5, 0.4, 12}, {5, 0.4, 60},  // two cheap windows in a row
        {20, 0.6, 60},  // fewer than 10 ticks: no judgement
        {20, 0.4, 60, 30}, {30, 0.4, 12, 30}};  // the budget at 30 fps: 33.3 ms
    int window = 0;
    for (const Row& r : windows) {
        SCOPED_TRACE(window++);
        costMs->store(r.cost);
        h.coordinator->applyTuning(1, r.fps, 0, false);
        const std::size_t logs = h.count("★S214-81 成本");
        while (h.count("★S214-81 成本") == logs) frameAndTick(h, r.spacing);
        EXPECT_EQ(h.coordinator->inspect().autoComputeFPS, r.ceiling);
        if (window != 2) continue;
        // Degraded: 12 fps on the 60 Hz timer (after one interval of catching up), non-focus displays every 4th frame.
        int encodes = 0;
        costMs->store(0);
        for (int i = 0; i < 10; ++i) encodes += frameAndTick(h);
        EXPECT_LE(encodes, 3);
        h.coordinator->setFocusDisplay(1);
        const int before = h.coordinator->inspect().acceptedFramesInCostWindow[2];
        for (int i = 0; i < 12; ++i) h.deliver();
        EXPECT_EQ(h.coordinator->inspect().acceptedFramesInCostWindow[2] - before, 3);  // frames 4, 8, 12
        h.coordinator->setFocusDisplay(std::nullopt);
    }
    EXPECT_EQ(h.count("★S214-107 運算分級：降級 天花板→12fps（平均 15.0ms > 預算 16.7ms 的 84%），非重點 1/4"), 1u);
    EXPECT_EQ(h.count("★S214-107 運算分級：降級 天花板→12fps（平均 30.0ms > 預算 33.3ms 的 84%），非重點 1/4"), 1u);
    EXPECT_EQ(h.count("★S214-107 運算分級：恢復 12→天花板（平均 5.0ms < 預算 50% 連續兩視窗），非重點 1/3"), 1u);
    const auto cost = h.logsContaining("★S214-81 成本：合成+編碼 平均 15.0ms 最大 15.0ms（");
    ASSERT_EQ(cost.size(), 1u);
    EXPECT_NE(cost[0].find(" tick/5s）｜擷取 螢幕1:2fps 螢幕2:2fps"), std::string::npos) << cost[0];
}
TEST(CompositeCaptureCoordinatorTick, EncoderRebuildsWaitForTheIntervalAndFailuresKeepTheOldEncoder) {
    CoordinatorHarness h;
    h.start();
    const auto first = h.lastSession();
    // The size of the encoder after a plan for that output size.
    const auto resize = [&](CGSize size) {
        h.apply(CoordinatorHarness::plan({1, 2}), CGRect(0, 0, 1280, 360), size);
        return h.coordinator->inspect().encoderOutputPixelSize;
    };
    h.clock->advance(1.0);
    EXPECT_EQ(resize({1280, 352}), (CGSize{640, 176}));  // within 3 s
    h.clock->advance(2.5);
    h.lastSession()->setScript({.propertyStatus = {{CompressionPropertyKey::averageBitRate, -12900}}});
    EXPECT_EQ(resize({640, 176}), (CGSize{640, 176}));  // the same size after the interval: kept, its refusal of the settings reported
    h.lastSession()->setScript(h.script);
    EXPECT_EQ(resize({kNaN, 352}), (CGSize{640, 176}));  // not a number: reported, the encoder stays
    h.sessionCreationStatus = CompressionStatus::encoderNotFound;
    EXPECT_EQ(resize({1280, 352}), (CGSize{640, 176}));  // a failing build: reported, the old encoder stays
    EXPECT_EQ(h.errors(), (Texts{"0: HEVCEncoder.EncoderError.propertyConfigurationFailed(-12900)", "0: output pixel size is not a finite number",
                                 "0: HEVCEncoder.EncoderError.sessionCreationFailed(-12908)"}));
    h.sessionCreationStatus = 0;
    h.coordinator->applyTuning(1, 60, 12.5, true);  // reaches the new encoder
    EXPECT_EQ(resize({1280, 352}), (CGSize{1280, 352}));
    EXPECT_EQ(std::tuple(h.coordinator->inspect().pendingForcedKeyframe, h.coordinator->inspect().latestTargetBitrate, first->invalidateCount()),
              std::tuple(true, std::int64_t{12'500'000}, 1));
    EXPECT_EQ(h.count("CompositeCaptureCoordinator：HEVCEncoder 因輸出尺寸變化重建為 1280x352（見「網路自適應」新功能）"), 1u);
    auto log = h.lastSession()->propertyLog();
    for (const auto& setting : {std::pair{CompressionPropertyKey::averageBitRate, CompressionPropertyValue(std::int64_t{12'500'000})},
                                {CompressionPropertyKey::prioritizeEncodingSpeedOverQuality, CompressionPropertyValue(true)}})
        EXPECT_NE(std::find(log.begin(), log.end(), setting), log.end());
    // Set on the coordinator's queue, as from a result closure: rebuild interval, keyframe spacing, diagnostics.
    h.onQueue([&] {
        EXPECT_EQ(std::pair(h.coordinator->encoderRebuildIntervalOverride(), h.coordinator->forcedKeyframeMinInterval()), std::pair(std::optional<double>(), 2.0));
        h.coordinator->setEncoderRebuildIntervalOverride(0.5);
        h.coordinator->setForcedKeyframeMinInterval(1000);
        h.coordinator->setOnDiagnostic(nullptr);
    });
    h.clock->advance(0.6);
    EXPECT_EQ(resize({640, 352}), (CGSize{640, 352}));
    frameAndTick(h);
    const auto options = h.lastSession()->submissions().back().options;
    EXPECT_EQ(std::tuple(options && options->forceKeyFrame, h.count("重建為 640x352"), h.formats()), std::tuple(false, 0u, Sizes{{640, 352}}));
}
TEST(CompositeCaptureCoordinatorTick, ProbesLogCropReversalsAndCompositesBeyondTheCapturedArea) {
    // Right, then left by more than 8 points; 5 points back and forth.
    for (const auto& [cropX, lines] : {std::pair{std::vector<double>{100, 110, 100}, 1u}, {{100, 105, 100, 105}, 0u}}) {
        CoordinatorHarness h;
        h.start();
        for (double x : cropX) {
            h.apply(CoordinatorHarness::plan({1, 2}), CGRect(x, 0, 640, 360));
            frameAndTick(h);
        }
        frameAndTick(h, 2.5);
        EXPECT_EQ(h.logsContaining("★S214-79 crop反轉"), Texts(lines, "★S214-79 crop反轉：2 秒 1 次（最大 10.0 pt）"));
    }
    // Display 1 missing from the list: its capture falls back to the planned half, which the crop overruns by 320 points.
    CoordinatorHarness h;
    h.start();
    h.applyWith(CoordinatorHarness::plan({1, 2}), {h.displays[1]}, {640, 176}, {1.0, 8'000'000, 3.0, 60.0});
    frameAndTick(h);
    EXPECT_EQ(h.count("★S214-62 覆蓋：2 秒 1/1 tick 的合成範圍超出已擷取範圍，最大超出 320.0 pt（螢幕 1 "
                               "local=(0.0,0.0,640.0x360.0) 已擷取=(0.0,0.0,320.0x360.0)）——超出部分＝clampToEdge 拉伸"), 1u);
}
}}  // namespace mivodrell
