// Plan application and frame intake of the composite capture coordinator.
#include "CoordinatorTestSupport.h"
#include "Platform/Compute/ComputeDevice.h"
#include <gtest/gtest.h>
#include <cmath>
#include <limits>
namespace mivodrell { namespace {
using testing::CoordinatorHarness;
using testing::Texts;
using Coordinator = CompositeCaptureCoordinator;
using IDs = std::vector<std::uint32_t>;
using Fault = VirtualCaptureServer::OperationFault;
using Operation = VirtualCaptureServer::Operation;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const CapturePlan reconfigureOne = CoordinatorHarness::plan({1, 2}, {}, {}, {1});
TEST(CompositeCaptureCoordinatorDecisions, FullDisplaySourceCoversTheDisplayAtTheDensityWithinTheEdgeLimit) {
    struct Row { double w, h, plannedDensity, density; bool known; double ppp; CGSize size; };
    const CaptureSource planned{7, CGRect(10, 10, 100, 50), CGSize{200, 100}, 2.0, true};
    const Row rows[] = {{1280, 720, 2.0, 1.0, true, 1.0, {1280, 720}}, {1280, 720, 2.0, 2.0, true, 2.0, {2560, 1440}},
                        {1280, 720, 2.0, 1.5, true, 1.5, {1920, 1080}}, {1280, 720, 1.0, 2.0, true, 1.0, {1280, 720}},
                        {1280, 720, 2.0, 0.5, true, 1.0, {1280, 720}}, {1280, 720, 2.0, kNaN, true, 1.0, {1280, 720}},
                        {4096, 2000, 2.0, 2.0, true, 2.0, {8192, 4000}}, {5000, 2000, 2.0, 2.0, true, 1.0, {5000, 2000}},  // 8192 limit
                        {0, 720, 2.0, 2.0, true, 2.0, planned.outputPixelSize}, {1280, 720, 2.0, 2.0, false, 2.0, planned.outputPixelSize}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.w);
        const auto d = r.known ? std::optional(CaptureDisplay{7, CGRect(500, 0, r.w, r.h), 2.0, false, "D"}) : std::nullopt;
        const CaptureSource out = Coordinator::fullDisplaySource({7, planned.sourceRect, planned.outputPixelSize, r.plannedDensity, true}, d, r.density);
        EXPECT_TRUE(identical(out.sourceRect, r.known && r.w > 0 ? CGRect(0, 0, r.w, r.h) : planned.sourceRect));
        EXPECT_EQ(std::pair(out.pixelsPerPoint, out.outputPixelSize), std::pair(r.ppp, r.size));
    }
}
TEST(CompositeCaptureCoordinatorDecisions, EncoderSizeIsMultiplesOf16Between16And8192AndRefusesNonFiniteSizes) {
    struct Row { CGSize size; double scale; std::optional<std::pair<int, int>> expected; };
    const Row rows[] = {
        {{1280, 720}, 1.0, std::pair{1280, 720}}, {{1000, 500}, 1.0, std::pair{1008, 496}},  // 62.5 rounds away from zero, 31.25 down
        {{1280, 720}, 0.05, std::pair{128, 80}},  // scale at least 0.1 (72 / 16 = 4.5 -> 5)
        {{1280, 720}, kNaN, std::pair{1280, 720}}, {{1280, 720}, 3.0, std::pair{1280, 720}}, {{4, 4}, 1.0, std::pair{16, 16}},
        {{-100, 10}, 1.0, std::pair{16, 16}}, {{20000, 100}, 1.0, std::pair{8192, 96}}, {{1e300, 1e300}, 1.0, std::pair{8192, 8192}},
        {{kInf, 100}, 1.0, std::nullopt}, {{100, kNaN}, 1.0, std::nullopt}};
    for (const Row& r : rows) EXPECT_EQ(Coordinator::encoderSize(r.size, r.scale), r.expected) << r.size.width;
}
TEST(CompositeCaptureCoordinatorDecisions, RectangleMatchFollowsTheFrameSizeInPoints) {
    struct Row { const char* name; CGRect current, previous; std::optional<CaptureFrameGeometry> geometry; double t; bool accept; CGRect rect; int tagged, skips; };
    const CGRect big(0, 0, 1280, 720), old(0, 0, 640, 360), shifted(8, 0, 1280, 720);
    const auto g = [](double w, double h, double scale, double x = 0) { return std::optional(CaptureFrameGeometry{CGRect(x, 0, w, h), scale, 2.0}); };
    const Row rows[] = {
        {"no geometry", big, old, std::nullopt, 0, true, big, 0, 5}, {"scale not a number", big, old, g(640, 360, kNaN), 0, true, big, 0, 5},
        {"scale 0.05", big, old, g(640, 360, 0.05), 0, true, big, 0, 5}, {"no width", big, old, g(0, 360, 1), 0, true, big, 0, 5},
        {"width not a number: no match", big, old, g(kNaN, 360, 1), 0, false, {}, 1, 6},
        {"negative width, read standardized", big, old, g(-640, 360, 1, 640), 0, true, old, 1, 0},
        {"current", big, old, g(640, 360, 0.5), 0, true, big, 0, 0}, {"current within 16", big, old, g(1296, 704, 1), 0, true, big, 0, 0},
        {"previous after a big switch", big, old, g(650, 350, 1), 0, true, old, 1, 0}, {"neither", big, old, g(900, 500, 1), 0, false, {}, 1, 6},
        {"same size, before the switch window ends", shifted, big, g(1280, 720, 1), 9.95, false, {}, 1, 0},
        {"same size, at the end of the window", shifted, big, g(1280, 720, 1), 10.0, true, shifted, 0, 0},
        {"same size, time not a number", shifted, big, g(1280, 720, 1), kNaN, true, shifted, 0, 0},
        {"previous only, but the two are alike", big, CGRect(0, 0, 1266, 720), g(1252, 720, 1), 0, false, {}, 1, 6}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Coordinator::RectMatchState state{r.current, r.previous, 10.0, 0, 5};
        const auto match = Coordinator::matchFrameRect(state, r.geometry, r.t);
        EXPECT_EQ(std::tuple(match.accept, state.framesTaggedOldSinceSwitch, state.consecutiveSizeSkips), std::tuple(r.accept, r.tagged, r.skips));
        if (r.accept) { EXPECT_TRUE(identical(match.rect, r.rect)); }
    }
}
TEST(CompositeCaptureCoordinatorDecisions, ContentUVIsDroppedWhenSmallOrOutsideAndClampedOtherwise) {
    struct Row { const char* name; std::optional<CaptureFrameGeometry> geometry; int w; std::optional<CGRect> expected; };
    const auto g = [](CGRect r, double scaleFactor) { return std::optional(CaptureFrameGeometry{r, 1.0, scaleFactor}); };
    const CGRect whole(0, 0, 640, 360), unit(0, 0, 1, 1);
    const Row rows[] = {
        {"no geometry", std::nullopt, 640, unit}, {"empty buffer", g(CGRect(0, 0, 10, 10), 1), 0, unit}, {"whole", g(whole, 1), 640, unit},
        {"points at scale 2", g(CGRect(0, 0, 320, 180), 2), 640, unit}, {"scale not a number", g(whole, kNaN), 640, unit},
        {"10 % wide", g(CGRect(0, 0, 64, 360), 1), 640, std::nullopt}, {"11 % wide", g(CGRect(0, 0, 70.4, 360), 1), 640, CGRect(0, 0, 0.11, 1)},
        {"10 % high", g(CGRect(0, 0, 640, 36), 1), 640, std::nullopt}, {"negative width", g(CGRect(640, 0, -320, 360), 1), 640, CGRect(0.5, 0, 0.5, 1)},
        {"less than 0.001 left of the buffer", g(CGRect(-0.32, 0, 640, 360), 1), 640, unit},
        {"more than 0.001 left", g(CGRect(-1, 0, 640, 360), 1), 640, std::nullopt},
        {"more than 0.001 past the bottom", g(CGRect(0, 1, 640, 360), 1), 640, std::nullopt},
        {"clamped at the right", g(CGRect(320, 0, 320.32, 360), 1), 640, CGRect(0.5, 0, 0.5, 1)},
        {"origin not a number: at the edge", g(CGRect(kNaN, kNaN, 320, 360), 1), 640, CGRect(0, 0, 0.5, 1)},
        {"size not a number: the whole buffer", g(CGRect(320, 0, kNaN, 360), 1), 640, CGRect(0.5, 0, 0.5, 1)},
        {"infinite", g(CGRect(0, 0, kInf, 360), 1), 640, std::nullopt}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const auto uv = Coordinator::contentUV(r.geometry, r.w, 360);
        ASSERT_EQ(uv.has_value(), r.expected.has_value());
        if (!uv) continue;
        for (const auto& [a, b] : {std::pair{uv->minX(), r.expected->minX()}, {uv->minY(), r.expected->minY()},
                                  {uv->width(), r.expected->width()}, {uv->height(), r.expected->height()}}) EXPECT_NEAR(a, b, 1e-9);
    }
}
TEST(CompositeCaptureCoordinatorPlans, StartedStoppedFailedAndMissingDisplays) {
    CoordinatorHarness h;
    h.start();
    for (const auto& c : h.server->runningStreamConfigurations())  // '420f' captures of the whole display, not the planned half
        EXPECT_TRUE(identical(*c.sourceRect, CGRect(0, 0, 640, 360)) && c.pixelFormat == 0x34323066u);
    EXPECT_TRUE(h.coordinator->inspect().renderTimerRunning && h.coordinator->inspect().hasLatestFrameParameters);
    h.deliver();
    h.start();  // started again: left alone, the timer keeps running, the same frame rate logs nothing
    EXPECT_EQ(std::tuple(h.backend->streamsMade.load(), h.timer.created, h.coordinator->inspect().active.at(1).nativeDensity, h.count("幀率上限改為 60 fps")),
              std::tuple(2, 1, 1.0, 1u));
    // A stop that fails is reported and the display's picture goes with it.
    h.server->setFault(Operation::stopCapture, Fault{Fault::Kind::fail});
    h.apply(CoordinatorHarness::plan({2}, {}, {1}));
    h.server->setFault(Operation::stopCapture, {});
    h.server->setFault(Operation::startCapture, Fault{Fault::Kind::fail});
    h.apply(reconfigureOne);  // reconfigured while inactive: started, which fails
    h.server->setFault(Operation::startCapture, {});
    h.apply(CoordinatorHarness::plan({1, 2}));  // a plan that does not start it leaves it inactive
    EXPECT_EQ(h.coordinator->activeDisplayIDs(), IDs{2});
    h.coordinator->applyTuning(2, 60, 0, false);  // full density for a capture planned at 2 pixels per point
    auto restart = CoordinatorHarness::plan({1, 2, 3}, {1, 3});  // display 3 is not in the list
    restart.sources[0].pixelsPerPoint = 2;
    h.apply(restart);
    EXPECT_EQ(std::pair(h.coordinator->activeDisplayIDs(), h.server->runningStreamConfigurations().back().width), std::pair(IDs{1, 2}, std::int64_t{1280}));
    EXPECT_FALSE(h.coordinator->inspect().active.at(1).hasRendererSource);
    EXPECT_EQ(h.errors(), (Texts{"1: stopFailed", "1: startFailed", "3: displayNotFound(3)"}));
}
TEST(CompositeCaptureCoordinatorPlans, ReconfigureUpdatesInPlaceOrRebuildsWhenTheUpdateFails) {
    CoordinatorHarness h;
    h.start();
    auto resized = h.displays;
    // The widths of the rectangle captured now and before the last switch.
    const auto widths = [&](std::uint32_t id) { const auto s = h.coordinator->inspect().active.at(id); return std::pair(s.sourceRect.width(), s.previousSourceRect.width()); };
    resized[0].frame = CGRect(0, 0, 600, 360);
    h.applyWith(reconfigureOne, resized);
    resized[1].frame = CGRect(640, 0, 500, 360);
    h.applyWith(CoordinatorHarness::plan({1, 2}), resized);  // changed but unlisted: updated in place too
    EXPECT_EQ(std::pair(widths(1), widths(2)), std::pair(std::pair(600.0, 640.0), std::pair(500.0, 640.0)));
    h.server->setFault(Operation::updateConfiguration, Fault{Fault::Kind::fail});
    h.applyWith(reconfigureOne, resized);  // the same plan again: nothing to do
    // A listed display: the failure is reported and the capture built anew. The old stream reports
    // its end as it is stopped, too late to touch the new one.
    h.backend->onStopCapture = [](StreamDelegate& d) { d.didStopWithError({"VirtualCaptureServer", -3815, "gone"}); };
    resized[0].frame = CGRect(0, 0, 560, 360);
    h.applyWith(reconfigureOne, resized);
    EXPECT_EQ(h.count("螢幕 1 就地 reconfigure 失敗（updateFailed: injected failure"), 1u);
    // An unlisted display: reported, the old rectangle stays.
    resized[1].frame = CGRect(640, 0, 400, 360);
    h.applyWith(CoordinatorHarness::plan({1, 2}), resized);
    EXPECT_EQ(std::tuple(h.coordinator->activeDisplayIDs(), widths(1), widths(2), h.server->runningStreamCount()),
              std::tuple(IDs{1, 2}, std::pair(560.0, 560.0), std::pair(500.0, 640.0), std::size_t{2}));
    EXPECT_EQ(h.errors(), (Texts{"1: updateFailed", "1: PlatformError(-3815)", "2: updateFailed"}));
}
TEST(CompositeCaptureCoordinatorIntake, FramesAfterASwitchAndFramesOfNoKnownSize) {
    CoordinatorHarness h;
    h.start();
    h.clock->set(0);  // the host clock on the server's time, which starts at 0
    auto resized = h.displays;
    const auto state = [&] { return h.coordinator->inspect().active.at(1); };
    // A switch between rectangles of about the same size: frames presented within 0.08 s of it are the old stream's.
    resized[0].frame = CGRect(0, 0, 632, 360);
    h.applyWith(reconfigureOne, resized);
    for (int i = 0; i < 5; ++i) h.deliver();  // at 1/60 ... 5/60 s
    EXPECT_EQ(state().framesTaggedOldSinceSwitch, 4);
    // After a big switch old-sized frames are composited where the old rectangle lay.
    h.server->setStaleFramesAfterUpdate(2);
    resized[0].frame = CGRect(0, 0, 320, 360);
    h.applyWith(reconfigureOne, resized);
    for (int i = 0; i < 3; ++i) h.deliver();
    EXPECT_EQ(std::pair(state().framesTaggedOldSinceSwitch, h.coordinator->inspect().acceptedFramesInCostWindow.at(1)), std::pair(2, 4));
    // A width that is not a number matches no rectangle: thirty frames are dropped, the 31st let through.
    h.backend->contentRect = [] { return CGRect(0, 0, kNaN, 360); };
    for (int i = 0; i < 32; ++i) h.deliver();
    EXPECT_EQ(h.logsContaining("附件連續 30 幀不合，放行（螢幕 1 "), Texts{"★S214-74 附件連續 30 幀不合，放行（螢幕 1 附件推得 nanx360pt 期待新 320x360 舊 632x360）"});
    resized[0].frame = CGRect(0, 0, 300, 360);
    h.applyWith(reconfigureOne, resized);
    EXPECT_EQ(h.logsContaining("★S214-74 在途"), (Texts{"★S214-74 在途：螢幕 1 上次換範圍後 4 幀依附件判為舊代／跳過", "★S214-74 在途：螢幕 1 上次換範圍後 32 幀依附件判為舊代／跳過"}));
    EXPECT_EQ(std::tuple(h.coordinator->inspect().acceptedFramesInCostWindow.at(1), state().consecutiveSizeSkips, state().framesTaggedOldSinceSwitch), std::tuple(6, 32, 0));
}
// No coordinator without a compositor. With a focus display the others upload every third frame.
TEST(CompositeCaptureCoordinatorIntake, SwitchesLogOnceFocusThinsTheOtherDisplaysAndGeometryIsLoggedOnChange) {
    auto device = ComputeDevice::create(1);
    device->setFaults({.failCommandQueue = true});
    CompositeCaptureCoordinator::Collaborators c;
    c.computeDevice = device;
    EXPECT_EQ(CompositeCaptureCoordinator::create(1.0 / 60, {}, {}, c), nullptr);
    CoordinatorHarness h;
    h.start();
    PrivacyOverlayRegistry::setExcludedWindows({CaptureWindow{77, 1, CGRect(10, 10, 100, 100), true, "curtain"}});
    h.coordinator->refreshContentFilters();
    h.coordinator->setMotionBlurEnabled(true);
    h.coordinator->setMotionBlurEnabled(true);
    EXPECT_TRUE(h.coordinator->inspect().pendingForcedKeyframe);
    PrivacyOverlayRegistry::setExcludedWindows({});
    for (const ContentFilter& f : h.server->runningStreamFilters()) EXPECT_TRUE(f.windows.size() == 1 && f.windows[0].windowID == 77u);
    EXPECT_EQ(h.count("refreshContentFilters：已對 2 條 stream 重套排除清單（排除 1 個視窗）"), 1u);
    EXPECT_EQ(h.count("★S214-116 動態模糊開啟（靜態區維持清晰，變動區 1/8 降採樣）"), 1u);
    h.server->setFault(Operation::updateContentFilter, Fault{Fault::Kind::fail});
    h.coordinator->refreshContentFilters();  // each failure reported, the loop goes on
    EXPECT_EQ(h.errors(), (Texts{"1: updateFailed", "2: updateFailed"}));
    h.coordinator->setFocusDisplay(1);
    h.coordinator->setFocusDisplay(1);
    for (int i = 0; i < 9; ++i) h.deliver();
    EXPECT_EQ(std::pair(h.coordinator->inspect().acceptedFramesInCostWindow[1], h.coordinator->inspect().acceptedFramesInCostWindow[2]), std::pair(9, 3));
    h.coordinator->setFocusDisplay(std::nullopt);
    for (int i = 0; i < 3; ++i) h.deliver();
    EXPECT_EQ(h.coordinator->inspect().acceptedFramesInCostWindow[2], 6);
    // Geometry is logged on change, at most ten times per two seconds per display.
    h.deliver();  // the same geometry again
    EXPECT_EQ(h.logsContaining("★S214-62 幾何：螢幕 1 "),
              Texts{"★S214-62 幾何：螢幕 1 SCK contentRect=(0.0,0.0,640.0x360.0) contentScale=1.00 scaleFactor=1.00 "
                    "buffer=640x360｜假定 sourceRect=(0.0,0.0,640.0x360.0)"});
    double width = 640;
    h.backend->contentRect = [&width] { return CGRect(0, 0, width, 360); };
    for (int i = 0; i < 12; ++i, h.deliver()) width -= 1;
    EXPECT_EQ(std::pair(h.count("★S214-62 幾何：螢幕 1 "), h.count("★S214-62 幾何：螢幕 2 ")), std::pair(std::size_t{10}, std::size_t{10}));
    h.clock->advance(2.01);
    width -= 1;
    h.deliver();
    EXPECT_EQ(h.count("★S214-62 幾何：螢幕 1 "), 11u);
    EXPECT_EQ(std::pair(h.count("★S214-106 注意力切換：重點螢幕 → 1（非重點更新間隔 1/3）"), h.count("重點螢幕 → 無（")), std::pair(std::size_t{1}, std::size_t{1}));
}
}}  // namespace mivodrell
