#include "CaptureMac/CaptureCoordinator.h"
#include "CaptureTestSupport.h"
#include "CoordinatorTestSupport.h"
#include "support/HEVCTestDecoder.h"
#include <gtest/gtest.h>
#include <functional>
#include <limits>
#include <set>
#include <string>
namespace mivodrell { namespace {
using Virtual = VirtualCompressionSession;
using K = CompressionPropertyKey;
using Fault = VirtualCaptureServer::OperationFault;
using Operation = VirtualCaptureServer::Operation;
using IDs = std::vector<std::uint32_t>;
using testing::Texts;
struct Encoded { std::uint32_t displayID = 0; EncodedFrame frame; };
struct Format { std::uint32_t displayID = 0; std::int32_t width = 0, height = 0; std::vector<std::vector<std::uint8_t>> parameterSets; std::int32_t nalUnitHeaderLength = 0; CGRect sourceRect; };
CaptureDisplay display(std::uint32_t id, double x) { return {id, CGRect(x, 0, 1280, 720), 1.0, id == 1, "D"}; }
CaptureSource source(std::uint32_t id, CGSize pixels, CGRect rect = CGRect(0, 0, 1280, 720)) {
    return {id, rect, pixels, pixels.width / rect.width(), true};
}
const CaptureSource one = source(1, {1280, 720}), two = source(2, {640, 360});
CapturePlan plan(std::vector<CaptureSource> sources, IDs started, IDs stopped = {}, IDs reconfigured = {}) {
    return {std::move(sources), std::move(started), std::move(stopped), std::move(reconfigured)};
}
const EncoderSettings settingsA{1.0, 2'000'000, 3.0, 30.0};
const EncoderSettings settingsB{1.0, 5'000'000, 6.0, 30.0};
// A coordinator on a hand-clocked virtual display server (displays 1, 2, 3) with scripted
// encoders (or the machine's), every capture and encoder session it creates at hand, and
// everything it reports collected (errors as "display: error").
struct Harness {
    std::shared_ptr<VirtualCaptureServer> server = VirtualCaptureServer::create({VirtualCaptureServer::Clocking::manual, true});
    std::vector<CaptureDisplay> displays{display(1, 0), display(2, 1280), display(3, 2560)};
    // Weak, so that the coordinator alone decides how long a session (and its stream) lives.
    std::vector<std::weak_ptr<ScreenCaptureSession>> captures;
    std::vector<std::shared_ptr<Virtual>> encoders;
    std::shared_ptr<CaptureCoordinator> coordinator;
    testing::Collected<Encoded> frames;
    testing::Collected<std::string> errors;
    testing::Collected<Format> formats;
    explicit Harness(Virtual::Script script = {}, std::int32_t creationStatus = CompressionStatus::ok,
                     std::optional<CompressionSession::Factory> encoderFactory = std::nullopt) {
        for (const auto& d : displays) server->addDisplay(d);
        CaptureCoordinator::Collaborators collaborators;
        collaborators.makeCaptureSession = [this] {
            auto session = ScreenCaptureSession::create(server);
            session->setOperationTimeoutForTesting(1);
            captures.push_back(session);
            return session;
        };
        collaborators.encoderBackend.createSession =
            encoderFactory ? *encoderFactory : Virtual::factory(std::move(script), creationStatus, [this](auto s) { encoders.push_back(s); });
        coordinator = CaptureCoordinator::create({60.0, 240, 8'000'000}, collaborators);
        coordinator->onEncodedFrame = [this](std::uint32_t id, const EncodedFrame& f) { frames.add({id, f}); };
        coordinator->onError = [this](std::uint32_t id, std::exception_ptr e) { errors.add(testing::describe(id, e)); };
        coordinator->onVideoFormatAvailable = [this](std::uint32_t id, std::int32_t w, std::int32_t h, const auto& sets, std::int32_t length,
                                                     const CGRect& rect) { formats.add({id, w, h, sets, length, rect}); };
    }
    void apply(const CapturePlan& p, const EncoderSettings& s = settingsA) { coordinator->apply(p, displays, s); }
    IDs active() { return coordinator->activeDisplayIDs(); }
    // Once what was asked of the coordinator is done.
    Texts errorTexts() {
        if (coordinator) coordinator->activeDisplayIDs();
        Texts out(errors.size());
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = errors.at(i);
        return out;
    }
    // One frame interval of new content; waits until `total` frames have been encoded in all. Scripted
    // encoders keep every picture, so a stream delivers five frames at most (its buffer pool).
    void tick(std::size_t total) {
        server->invalidateContent();
        server->tick(1.0 / 60);
        ASSERT_TRUE(frames.waitFor(total)) << "frames: " << frames.size() << " of " << total;
    }
    // The format reported for a display (waiting for `count` reports in all).
    std::optional<Format> formatOf(std::uint32_t displayID, std::size_t count) {
        EXPECT_TRUE(formats.waitFor(count));
        std::optional<Format> found;
        for (std::size_t i = 0; i < formats.size(); ++i) if (formats.at(i).displayID == displayID) found = formats.at(i);
        return found;
    }
    std::optional<CompressionPropertyValue> lastProperty(std::size_t encoder, K key) {
        std::optional<CompressionPropertyValue> value;
        for (const auto& [k, v] : encoders.at(encoder)->propertyLog()) if (k == key) value = v;
        return value;
    }
};
// An encoder per source, for its size (fractions dropped), with the plan's settings, on a '420f' stream.
// Started while active: nothing changes, not even the settings. Active and in no list: the settings,
// then the source. Listed without a source, or in no list and inactive: ignored.
TEST(CaptureCoordinator, StartsEachDisplayOnItsOwnEncoderAndUpdatesOnlyDisplaysInNoList) {
    Harness h;
    h.apply(plan({one, source(2, {640.9, 360.9}, CGRect(100, 50, 640, 360))}, {1, 2}));
    ASSERT_EQ(std::pair(h.active(), h.encoders.size()), std::pair(IDs{1, 2}, std::size_t{2}));
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& p = h.encoders[i]->parameters();
        EXPECT_EQ(std::tuple(p.width, p.height, p.specification.enableHardwareAcceleratedVideoEncoder), std::tuple(i ? 640 : 1280, i ? 360 : 720, true));
        EXPECT_EQ(std::pair(h.lastProperty(i, K::averageBitRate), h.lastProperty(i, K::expectedFrameRate)),
                  std::pair(std::optional(CompressionPropertyValue(std::int64_t{2'000'000})), std::optional(CompressionPropertyValue(60.0))));
        EXPECT_EQ(std::pair(h.server->runningStreamConfigurations().at(i).pixelFormat, h.server->runningStreamFilters().at(i).mode),
                  std::pair(fourCC("420f"), ContentFilter::Mode::excludingWindows));
    }
    const std::size_t properties = h.encoders[0]->propertyLog().size();
    h.apply(plan({source(1, {640, 360})}, {1}), settingsB);
    EXPECT_EQ(std::tuple(h.captures.size(), h.encoders.size(), h.encoders[0]->propertyLog().size(), h.server->runningStreamConfigurations().at(0).width),
              std::tuple(std::size_t{2}, std::size_t{2}, properties, 1280));
    h.apply(plan({source(1, {1280, 720}, CGRect(0, 0, 640, 360))}, {}), settingsB);
    EXPECT_EQ(std::tuple(h.captures.size(), h.lastProperty(0, K::averageBitRate), h.lastProperty(0, K::maxKeyFrameIntervalDuration)),
              std::tuple(std::size_t{2}, CompressionPropertyValue(std::int64_t{5'000'000}), CompressionPropertyValue(6.0)));
    EXPECT_EQ(h.server->runningStreamConfigurations().at(0).sourceRect, CGRect(0, 0, 640, 360));
    h.apply(plan({one, source(3, {640, 360})}, {4}, {}, {4}));
    EXPECT_EQ(std::pair(h.errorTexts(), h.active()), std::pair(Texts{}, IDs{1, 2}));
}
// Reconfigured: restarted on a new encoder, and what is still on its way from the replaced session
// (a frame, a failing end) is dropped. Stopped: the failing end of its session is still reported.
// The current session's end removes its display; releasing the coordinator stops its streams.
TEST(CaptureCoordinator, ReconfiguredStoppedMissingAndEndedDisplays) {
    Harness h;
    h.apply(plan({one, two}, {1, 2}));
    auto replaced = h.captures[0].lock(), stopped = h.captures[1].lock();
    // 3 is reconfigured without being active, so it starts; 7 was never handed in.
    h.apply(plan({source(1, {960, 540}, CGRect(0, 0, 960, 540)), source(3, {800, 600}), source(7, {640, 360})}, {7}, {2, 5}, {1, 3}));
    EXPECT_EQ(std::tuple(h.active(), h.server->runningStreamCount(), h.encoders.size()), std::tuple(IDs{1, 3}, std::size_t{2}, std::size_t{4}));
    EXPECT_EQ(std::tuple(h.encoders[2]->parameters().width, h.encoders[0]->invalidateCount(), h.encoders[1]->invalidateCount()), std::tuple(960, 1, 1));
    replaced->onFrame(PixelBuffer::create(1280, 720, PixelFormat::yuv420BiPlanarFullRange).buffer, MediaTime::make(1, 60), std::nullopt);
    for (auto* session : {&replaced, &stopped}) std::exchange(*session, nullptr)->onStop(PlatformError{"VirtualCaptureServer", -3815, "display gone"});
    EXPECT_EQ(std::pair(h.errorTexts(), h.active()), std::pair(Texts{"7: displayNotFound(7)", "2: PlatformError(-3815)"}, IDs{1, 3}));
    h.tick(2);
    EXPECT_EQ(h.encoders[2]->submissions().size(), 1u);
    const auto format = h.formatOf(1, 2);
    ASSERT_TRUE(format);
    EXPECT_EQ(std::tuple(format->width, format->height, format->sourceRect), std::tuple(960, 540, CGRect(0, 0, 960, 540)));
    // Of two display objects with one identifier the last is captured.
    for (const char* name : {"Early", "Late"}) h.displays.push_back({7, CGRect(0, 0, 640, 480), 1.0, false, name});
    h.apply(plan({source(7, {640, 360})}, {7}));
    const auto filters = h.server->runningStreamFilters();
    EXPECT_TRUE(std::any_of(filters.begin(), filters.end(), [](const ContentFilter& f) { return f.display.displayID == 7 && f.display.name == "Late"; }));
    // An end without an error removes its display silently; the next plan that starts it restarts it.
    h.captures[2].lock()->onStop(std::nullopt);
    EXPECT_EQ(std::pair(h.errorTexts().size(), h.active()), std::pair(std::size_t{2}, IDs{3, 7}));
    h.apply(plan({one}, {1}));
    EXPECT_EQ(std::pair(h.active(), h.captures.size()), std::pair(IDs{1, 3, 7}, std::size_t{6}));
    // Ends with an error: each display removed and the error reported with it.
    h.server->stopAllStreams(PlatformError{"VirtualCaptureServer", -3815, "display gone"});
    ASSERT_TRUE(h.errors.waitFor(5));
    const Texts errors = h.errorTexts();
    EXPECT_EQ(std::pair(h.active(), std::set(errors.begin() + 2, errors.end())),
              std::pair(IDs{}, std::set<std::string>{"1: PlatformError(-3815)", "3: PlatformError(-3815)", "7: PlatformError(-3815)"}));
    h.apply(plan({one, two}, {1, 2}));
    h.coordinator.reset();
    h.server->drain();
    EXPECT_EQ(h.server->runningStreamCount(), 0u);
    for (const auto& capture : h.captures) EXPECT_TRUE(capture.expired());
}
// A keyframe request forces the next frame of that display only, and is forgotten while the display is inactive.
TEST(CaptureCoordinator, DisplaysShareOneWrappingCounterThatStopSetsBackToZeroAndKeyframesAreRequestedPerDisplay) {
    Harness h;
    h.coordinator->requestKeyframe(2);  // not active: forgotten, also for its later start
    h.apply(plan({one, two}, {1, 2}));
    for (std::size_t n = 1; n <= 3; ++n) {
        if (n == 2) h.coordinator->requestKeyframe(1);
        h.tick(2 * n);
    }
    for (std::size_t encoder = 0; encoder < 2; ++encoder) {
        std::vector<bool> forced;
        for (const auto& f : h.encoders[encoder]->submissions()) forced.push_back(f.options && f.options->forceKeyFrame);
        EXPECT_EQ(forced, (std::vector<bool>{false, encoder == 0, false})) << "display " << encoder + 1;
    }
    std::set<std::uint32_t> all;  // three frames of each display from one counter
    for (std::size_t i = 0; i < h.frames.size(); ++i) all.insert(h.frames.at(i).frame.frameID);
    EXPECT_EQ(all, (std::set<std::uint32_t>{0, 1, 2, 3, 4, 5}));
    h.apply(plan({one}, {}, {2}, {1}));
    h.coordinator->setNextFrameIDForTesting(4294967294u);
    for (std::size_t n = 7; n <= 9; ++n) h.tick(n);
    EXPECT_EQ((IDs{h.frames.at(6).frame.frameID, h.frames.at(7).frame.frameID, h.frames.at(8).frame.frameID}), (IDs{4294967294u, 4294967295u, 0u}));
    h.coordinator->stop();
    EXPECT_EQ(std::pair(h.active(), h.server->runningStreamCount()), std::pair(IDs{}, std::size_t{0}));
    h.apply(plan({two}, {2}));
    h.tick(10);
    EXPECT_EQ(std::pair(h.frames.at(9).frame.frameID, h.errors.size()), std::pair(0u, std::size_t{0}));
}
// Each failure goes to onError with display 1; display 2 of the same plan starts regardless.
TEST(CaptureCoordinator, FailuresAreReportedWithTheirDisplayAndTheRestOfThePlanGoesOn) {
    const auto refusing = [](K key) { Virtual::Script script; script.propertyStatus[key] = -12900; return script; };
    const Virtual::Script failingFrame{.responder = [](const Virtual::SubmittedFrame& f) {
        return f.index == 0 ? Virtual::Response{CompressionStatus::encoderFailed} : Virtual::Response{0, Virtual::makeSample(false, f.presentationTime)};
    }};
    const CaptureSource halved = source(1, {1280, 720}, CGRect(0, 0, 640, 360));
    // `fault` fails from the start (a start) or from just before `act`, which runs after display 2
    // started; `error` is the reported error.
    struct Case {
        const char* name; std::optional<Operation> fault; std::function<void(Harness&)> act; std::string error; bool oneActive, twoActive = true;
        Virtual::Script script = {}; std::int32_t creationStatus = CompressionStatus::ok; Fault::Kind kind = Fault::Kind::fail;
    };
    const std::string encoder = "1: HEVCEncoder.EncoderError.";
    const std::vector<Case> cases = {
        {"capture start", Operation::startCapture, nullptr, "1: startFailed", false},
        {"capture start time-out", Operation::startCapture, nullptr, "1: startTimedOut", false, true, {}, 0, Fault::Kind::never},
        {"capture stop", Operation::stopCapture, [](Harness& h) { h.apply(plan({two}, {}, {1})); }, "1: stopFailed", false},
        {"capture update", Operation::updateConfiguration, [&](Harness& h) { h.apply(plan({halved}, {})); }, "1: updateFailed", true},
        {"stop", Operation::stopCapture, [](Harness& h) { h.coordinator->stop(); }, "1: stopFailed", false, false},
        {"encoder creation", {}, nullptr, encoder + "sessionCreationFailed(-12904)", false, false, {}, CompressionStatus::allocationFailed},
        {"encoder settings at start", {}, nullptr, encoder + "propertyConfigurationFailed(-12900)", false, false, refusing(K::maxKeyFrameIntervalDuration)},
        {"encoder settings of a running display (its source is still updated)", {}, [&](Harness& h) {
             h.encoders[0]->setScript(refusing(K::averageBitRate));
             h.apply(plan({halved}, {}), settingsB);
             EXPECT_EQ(h.server->runningStreamConfigurations().at(0).sourceRect, halved.sourceRect);
         }, encoder + "propertyConfigurationFailed(-12900)", true},
        {"encoder frame (its identifier used up)", {}, [](Harness& h) {
             h.server->invalidateContent();
             h.server->tick(1.0 / 60);
             ASSERT_TRUE(h.errors.waitFor(1));
             h.tick(1);
             EXPECT_EQ(h.frames.at(0).frame.frameID, 1u);
         }, encoder + "encodeFailed(-12911)", true, false, failingFrame},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(c.script, c.creationStatus);
        const bool atStart = c.fault == Operation::startCapture;
        if (atStart) h.server->setFault(*c.fault, Fault{c.kind});
        h.apply(plan({one}, {1}));
        h.server->setFault(Operation::startCapture, Fault{});
        // Display 2 starts on its own encoder, which the encoder cases leave failing.
        if (c.twoActive) h.apply(plan({one, two}, {2}));
        if (c.fault && !atStart) h.server->setFault(*c.fault, Fault{c.kind});
        if (c.act) c.act(h);
        EXPECT_EQ(h.errorTexts(), Texts{c.error});
        IDs active;
        for (const std::uint32_t id : {1u, 2u}) if (id == 1 ? c.oneActive : c.twoActive) active.push_back(id);
        EXPECT_EQ(std::pair(h.active(), h.server->runningStreamCount()), std::pair(active, active.size()));
    }
}
// Sizes the machine's encoder cannot make reach it clamped, never through an unchecked
// conversion, and are refused: the display is simply not started.
TEST(CaptureCoordinator, OutputSizesTheEncoderCannotMakeAreRefusedThroughOnError) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (const CGSize size : {CGSize{nan, 720}, {1280, inf}, {-inf, 720}, {1e12, 720}, {0, 0}, {-640, 360}, {9000, 720}}) {
        SCOPED_TRACE(std::to_string(size.width) + " x " + std::to_string(size.height));
        Harness h({}, 0, CompressionSession::defaultFactory());
        h.apply(plan({source(1, size), two}, {1, 2}));
        EXPECT_EQ(std::pair(h.errorTexts(), h.active()), std::pair(Texts{"1: HEVCEncoder.EncoderError.sessionCreationFailed(-12902)"}, IDs{2}));
    }
}
// The machine's encoder on two displays, each stream its own region at its own size: libavcodec
// decodes both with the reported format, and each shows its region's content column by column
// (which display's keyframe a request forces is the scripted test's).
TEST(CaptureCoordinatorEndToEnd, TwoDisplaysEncodeWithX265AndDecodeAtTheirOwnSizes) {
    Harness h({}, 0, CompressionSession::defaultFactory());
    h.server->setContentFunction(testing::fillDisplay);
    const CaptureSource sources[] = {source(1, {640, 360}), source(2, {320, 180}, CGRect(320, 180, 960, 540))};
    h.apply(plan({sources[0], sources[1]}, {1, 2}));
    for (std::size_t n = 1; n <= 4; ++n) h.tick(2 * n);
    ASSERT_EQ(h.errorTexts(), Texts{});
    for (const CaptureSource& s : sources) {
        SCOPED_TRACE(s.displayID);
        const auto format = h.formatOf(s.displayID, 2);
        ASSERT_TRUE(format);
        const int width = static_cast<int>(s.outputPixelSize.width), height = static_cast<int>(s.outputPixelSize.height);
        EXPECT_EQ(std::tuple(format->width, format->height, format->sourceRect), std::tuple(width, height, s.sourceRect));
        testing::HEVCTestDecoder decoder(format->parameterSets);
        std::vector<testing::DecodedPicture> pictures;
        for (std::size_t i = 0; i < h.frames.size(); ++i)
            if (h.frames.at(i).displayID == s.displayID) pictures.push_back(decoder.decode(h.frames.at(i).frame.payload.span(), format->nalUnitHeaderLength).at(0));
        ASSERT_EQ(std::tuple(pictures.size(), pictures.back().width, pictures.back().height), std::tuple(std::size_t{4}, width, height));
        // Column c shows display-local x = minX + (c + 0.5) * points per pixel.
        const double step = s.sourceRect.width() / width;
        for (int c = 4; c < width - 4; c += 4) {
            double sum = 0;
            for (int y = 4; y < height - 4; ++y) sum += pictures.back().y[static_cast<std::size_t>(y * width + c)];
            const int localX = static_cast<int>(s.sourceRect.minX() + (c + 0.5) * step);
            EXPECT_NEAR(sum / (height - 8), testing::expectedLuma(s.displayID, localX, 1280), 4.0) << "column " << c;
        }
    }
    h.coordinator->stop();
}
}}  // namespace mivodrell
