#include "CaptureMac/CaptureCoordinator.h"
#include "CaptureMac/CaptureCoordinatorError.h"
#include "CaptureMac/ScreenCaptureSession.h"
#include "CaptureTestSupport.h"
#include "Platform/Capture/Virtual/VirtualCaptureServer.h"
#include "Platform/Codec/VirtualCompressionSession.h"
#include "support/HEVCTestDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string>

namespace mivodrell {
namespace {

using Virtual = VirtualCompressionSession;
using K = CompressionPropertyKey;
using Fault = VirtualCaptureServer::OperationFault;
using Operation = VirtualCaptureServer::Operation;

struct Encoded {
    std::uint32_t displayID = 0;
    EncodedFrame frame;
};
struct Failure {
    std::uint32_t displayID = 0;
    std::string error;
};
struct Format {
    std::uint32_t displayID = 0;
    std::int32_t width = 0, height = 0;
    std::vector<std::vector<std::uint8_t>> parameterSets;
    std::int32_t nalUnitHeaderLength = 0;
    CGRect sourceRect;
};

// The error as a text: the component's own description, "PlatformError(code)" for a stream's end.
std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const PlatformError& e) {
        return "PlatformError(" + std::to_string(e.code) + ")";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown";
    }
}

CaptureDisplay display(std::uint32_t id, double x) { return {id, CGRect(x, 0, 1280, 720), 1.0, id == 1, "D"}; }
CaptureSource source(std::uint32_t id, CGSize pixels, CGRect rect = CGRect(0, 0, 1280, 720)) {
    return {id, rect, pixels, pixels.width / rect.width(), true};
}
CapturePlan plan(std::vector<CaptureSource> sources, std::vector<std::uint32_t> started,
                 std::vector<std::uint32_t> stopped = {}, std::vector<std::uint32_t> reconfigured = {}) {
    return {std::move(sources), std::move(started), std::move(stopped), std::move(reconfigured)};
}
const EncoderSettings settingsA{1.0, 2'000'000, 3.0, 30.0};
const EncoderSettings settingsB{1.0, 5'000'000, 6.0, 30.0};

// A coordinator on a hand-clocked virtual display server with scripted encoders, every capture
// session and encoder session it creates at hand, and everything it reports collected.
struct Harness {
    std::shared_ptr<VirtualCaptureServer> server =
        VirtualCaptureServer::create({VirtualCaptureServer::Clocking::manual, true});
    std::vector<CaptureDisplay> displays{display(1, 0), display(2, 1280), display(3, 2560)};
    // Weak, so that the coordinator alone decides how long a session (and its stream) lives.
    std::vector<std::weak_ptr<ScreenCaptureSession>> captures;
    std::vector<std::shared_ptr<Virtual>> encoders;
    std::shared_ptr<CaptureCoordinator> coordinator;
    testing::Collected<Encoded> frames;
    testing::Collected<Failure> errors;
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
            encoderFactory ? *encoderFactory
                           : Virtual::factory(std::move(script), creationStatus, [this](auto s) { encoders.push_back(s); });
        coordinator = CaptureCoordinator::create({60.0, 240, 8'000'000}, collaborators);
        coordinator->onEncodedFrame = [this](std::uint32_t id, const EncodedFrame& f) { frames.add({id, f}); };
        coordinator->onError = [this](std::uint32_t id, std::exception_ptr e) { errors.add({id, describe(e)}); };
        coordinator->onVideoFormatAvailable = [this](std::uint32_t id, std::int32_t w, std::int32_t h,
                                                     const std::vector<std::vector<std::uint8_t>>& sets,
                                                     std::int32_t length, const CGRect& rect) {
            formats.add({id, w, h, sets, length, rect});
        };
    }

    void apply(const CapturePlan& p, const EncoderSettings& s = settingsA) { coordinator->apply(p, displays, s); }

    // One frame interval of server time with new content (a sum of 1/60 steps can land on the
    // same content generation twice, and an idle frame is no frame); waits until `total` frames
    // have been encoded in all. The scripted encoder sessions keep every picture, so a display's
    // stream delivers five frames at most (its buffer pool) unless its encoder is replaced.
    void tick(std::size_t total) {
        server->invalidateContent();
        server->tick(1.0 / 60);
        ASSERT_TRUE(frames.waitFor(total)) << "frames: " << frames.size() << " of " << total;
    }

    std::vector<Encoded> allFrames() {
        std::vector<Encoded> out;
        for (std::size_t i = 0; i < frames.size(); ++i) out.push_back(frames.at(i));
        return out;
    }
    std::vector<std::uint32_t> frameIDsOf(std::uint32_t displayID) {
        std::vector<std::uint32_t> ids;
        for (const auto& e : allFrames()) {
            if (e.displayID == displayID) ids.push_back(e.frame.frameID);
        }
        return ids;
    }
    std::vector<Failure> allErrors() {
        std::vector<Failure> out;
        for (std::size_t i = 0; i < errors.size(); ++i) out.push_back(errors.at(i));
        return out;
    }
    std::size_t propertyCount(std::size_t encoder) { return encoders.at(encoder)->propertyLog().size(); }
    std::optional<CompressionPropertyValue> lastProperty(std::size_t encoder, K key) {
        std::optional<CompressionPropertyValue> value;
        for (const auto& [k, v] : encoders.at(encoder)->propertyLog()) {
            if (k == key) value = v;
        }
        return value;
    }
    static bool forced(const Virtual::SubmittedFrame& f) { return f.options && f.options->forceKeyFrame; }
};

TEST(CaptureCoordinator, StartsEachDisplayWithItsOwnEncoderAndFullDisplayCaptureAndReportsEachFormat) {
    Harness h;
    h.apply(plan({source(1, {1280, 720}), source(2, {640, 360}, CGRect(100, 50, 640, 360))}, {1, 2}));
    EXPECT_EQ(h.coordinator->activeDisplayIDs(), (std::vector<std::uint32_t>{1, 2}));
    ASSERT_EQ(h.encoders.size(), 2u);

    // Encoders in source order, each for its source's size, hardware asked for, the settings applied.
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& p = h.encoders[i]->parameters();
        EXPECT_EQ(std::pair(p.width, p.height), i == 0 ? std::pair(1280, 720) : std::pair(640, 360));
        EXPECT_TRUE(p.specification.enableHardwareAcceleratedVideoEncoder);
        EXPECT_EQ(h.lastProperty(i, K::averageBitRate), CompressionPropertyValue(std::int64_t{2'000'000}));
        EXPECT_EQ(h.lastProperty(i, K::maxKeyFrameIntervalDuration), CompressionPropertyValue(3.0));
        EXPECT_EQ(h.lastProperty(i, K::expectedFrameRate), CompressionPropertyValue(60.0));
    }
    const auto configurations = h.server->runningStreamConfigurations();
    const auto filters = h.server->runningStreamFilters();
    ASSERT_EQ(configurations.size(), 2u);
    std::set<std::pair<std::int64_t, std::int64_t>> sizes;
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(configurations[i].pixelFormat, 0x34323066u);
        sizes.insert({configurations[i].width, configurations[i].height});
        EXPECT_EQ(filters[i].mode, ContentFilter::Mode::excludingWindows);
    }
    EXPECT_EQ(sizes, (std::set<std::pair<std::int64_t, std::int64_t>>{{1280, 720}, {640, 360}}));

    h.tick(2);
    ASSERT_TRUE(h.formats.waitFor(2));
    std::map<std::uint32_t, Format> byDisplay;
    for (std::size_t i = 0; i < 2; ++i) byDisplay[h.formats.at(i).displayID] = h.formats.at(i);
    EXPECT_EQ(std::tuple(byDisplay[1].width, byDisplay[1].height, byDisplay[1].sourceRect),
              std::tuple(1280, 720, CGRect(0, 0, 1280, 720)));
    EXPECT_EQ(std::tuple(byDisplay[2].width, byDisplay[2].height, byDisplay[2].sourceRect),
              std::tuple(640, 360, CGRect(100, 50, 640, 360)));
    EXPECT_EQ(byDisplay[2].nalUnitHeaderLength, 4);
    EXPECT_EQ(byDisplay[2].parameterSets.size(), 3u);
    EXPECT_EQ(h.errors.size(), 0u);
}

TEST(CaptureCoordinator, StartedWhileActiveChangesNothingNotEvenTheSettings) {
    Harness h;
    h.apply(plan({source(1, {1280, 720})}, {1}));
    const std::size_t properties = h.propertyCount(0);
    h.apply(plan({source(1, {640, 360})}, {1}), settingsB);
    EXPECT_EQ(h.captures.size(), 1u);
    EXPECT_EQ(h.encoders.size(), 1u);
    EXPECT_EQ(h.propertyCount(0), properties);
    ASSERT_EQ(h.server->runningStreamConfigurations().size(), 1u);
    EXPECT_EQ(h.server->runningStreamConfigurations()[0].width, 1280);
}

TEST(CaptureCoordinator, AnActiveDisplayInNoListGetsTheSettingsThenTheSource) {
    Harness h;
    h.apply(plan({source(1, {1280, 720})}, {1}));
    h.apply(plan({source(1, {1280, 720}, CGRect(0, 0, 640, 360))}, {}), settingsB);
    EXPECT_EQ(h.captures.size(), 1u);
    EXPECT_EQ(h.lastProperty(0, K::averageBitRate), CompressionPropertyValue(std::int64_t{5'000'000}));
    EXPECT_EQ(h.lastProperty(0, K::maxKeyFrameIntervalDuration), CompressionPropertyValue(6.0));
    ASSERT_EQ(h.server->runningStreamConfigurations().size(), 1u);
    EXPECT_EQ(h.server->runningStreamConfigurations()[0].sourceRect, CGRect(0, 0, 640, 360));

    // A display in no list that is not active stays absent; listed IDs without a source are ignored.
    h.apply(plan({source(1, {1280, 720}), source(2, {640, 360})}, {3}, {}, {3}));
    EXPECT_EQ(h.coordinator->activeDisplayIDs(), (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(h.errors.size(), 0u);
}

TEST(CaptureCoordinator, ReconfiguredRestartsWithANewEncoderAndIgnoresTheOldSessionsLateReports) {
    Harness h;
    h.apply(plan({source(1, {1280, 720}), source(2, {640, 360})}, {1, 2}));
    const auto old = h.captures[0].lock();
    ASSERT_TRUE(old);
    h.apply(plan({source(1, {960, 540}, CGRect(0, 0, 960, 540)), source(2, {640, 360})}, {}, {}, {1}));
    EXPECT_EQ(h.coordinator->activeDisplayIDs(), (std::vector<std::uint32_t>{1, 2}));
    ASSERT_EQ(h.encoders.size(), 3u);
    EXPECT_EQ(h.encoders[2]->parameters().width, 960);
    EXPECT_FALSE(old->isRunning());
    EXPECT_EQ(h.server->runningStreamCount(), 2u);

    // A frame and an end still on their way from the replaced session leave the new one alone.
    old->onFrame(PixelBuffer::create(1280, 720, PixelFormat::yuv420BiPlanarFullRange).buffer, MediaTime::make(1, 60),
                 std::nullopt);
    old->onStop(std::nullopt);
    EXPECT_EQ(h.coordinator->activeDisplayIDs(), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_TRUE(h.encoders[2]->submissions().empty());
    EXPECT_EQ(h.frames.size(), 0u);

    h.tick(2);
    ASSERT_TRUE(h.formats.waitFor(2));
    for (std::size_t i = 0; i < 2; ++i) {
        const Format f = h.formats.at(i);
        if (f.displayID == 1) {
            EXPECT_EQ(std::tuple(f.width, f.height, f.sourceRect), std::tuple(960, 540, CGRect(0, 0, 960, 540)));
        }
    }
    EXPECT_EQ(h.encoders[2]->submissions().size(), 1u);
    EXPECT_EQ(h.encoders[0]->invalidateCount(), 1);
}

TEST(CaptureCoordinator, StoppedAndReconfiguredInactiveAndMissingDisplays) {
    Harness h;
    h.apply(plan({source(1, {1280, 720}), source(2, {640, 360})}, {1, 2}));
    // 2 stops; 3 is reconfigured without being active, so it starts; 7 was never handed in.
    h.apply(plan({source(1, {1280, 720}), source(3, {800, 600}, CGRect(0, 0, 1280, 720)), source(7, {640, 360})},
                 {7}, {2, 5}, {3}));
    EXPECT_EQ(h.coordinator->activeDisplayIDs(), (std::vector<std::uint32_t>{1, 3}));
    EXPECT_EQ(h.server->runningStreamCount(), 2u);
    ASSERT_EQ(h.errors.size(), 1u);
    EXPECT_EQ(h.errors.at(0).displayID, 7u);
    EXPECT_EQ(h.errors.at(0).error, "displayNotFound(7)");
    // The last of two display objects with one identifier is the one captured.
    h.displays.push_back({7, CGRect(0, 0, 640, 480), 1.0, false, "Late"});
    h.apply(plan({source(7, {640, 360})}, {7}));
    const auto filters = h.server->runningStreamFilters();
    EXPECT_TRUE(std::any_of(filters.begin(), filters.end(), [](const ContentFilter& f) {
        return f.display.displayID == 7 && f.display.name == "Late";
    }));
}

TEST(CaptureCoordinator, DisplaysShareOneWrappingCounterThatStopSetsBackToZero) {
    Harness h;
    h.apply(plan({source(1, {1280, 720}), source(2, {640, 360})}, {1, 2}));
    for (std::size_t n = 1; n <= 3; ++n) h.tick(2 * n);
    // Each tick gives the two displays one of a pair of consecutive identifiers each.
    std::set<std::uint32_t> all;
    for (std::uint32_t id : {1u, 2u}) {
        const auto ids = h.frameIDsOf(id);
        ASSERT_EQ(ids.size(), 3u);
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
        EXPECT_GT(ids.back() - ids.front(), 2u) << "display " << id << " saw no gap";
        all.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(all, (std::set<std::uint32_t>{0, 1, 2, 3, 4, 5}));

    h.apply(plan({source(1, {1280, 720})}, {}, {2}, {1}));
    h.coordinator->setNextFrameIDForTesting(4294967294u);
    for (std::size_t n = 7; n <= 9; ++n) h.tick(n);
    const auto afterWrap = h.frameIDsOf(1);
    ASSERT_EQ(afterWrap.size(), 6u);
    EXPECT_EQ(std::vector<std::uint32_t>(afterWrap.begin() + 3, afterWrap.end()),
              (std::vector<std::uint32_t>{4294967294u, 4294967295u, 0u}));

    h.coordinator->stop();
    EXPECT_TRUE(h.coordinator->activeDisplayIDs().empty());
    EXPECT_EQ(h.server->runningStreamCount(), 0u);
    h.apply(plan({source(2, {640, 360})}, {2}));
    h.tick(10);
    EXPECT_EQ(h.frames.at(9).frame.frameID, 0u);
    EXPECT_EQ(h.errors.size(), 0u);
}

TEST(CaptureCoordinator, AKeyframeRequestForcesTheNextFrameOfThatDisplayOnlyAndIsForgottenWhenInactive) {
    Harness h;
    h.coordinator->requestKeyframe(2);  // not active: forgotten, also for its later start
    h.apply(plan({source(1, {1280, 720}), source(2, {640, 360})}, {1, 2}));
    h.tick(2);
    h.coordinator->requestKeyframe(1);
    h.tick(4);
    h.tick(6);
    const auto one = h.encoders[0]->submissions();
    const auto two = h.encoders[1]->submissions();
    ASSERT_EQ(one.size(), 3u);
    ASSERT_EQ(two.size(), 3u);
    EXPECT_EQ((std::vector<bool>{Harness::forced(one[0]), Harness::forced(one[1]), Harness::forced(one[2])}),
              (std::vector<bool>{false, true, false}));
    EXPECT_FALSE(Harness::forced(two[0]) || Harness::forced(two[1]) || Harness::forced(two[2]));
}

TEST(CaptureCoordinator, AStreamThatEndsIsRemovedAndOnlyAnErrorIsReported) {
    Harness h;
    h.apply(plan({source(1, {1280, 720}), source(2, {640, 360})}, {1, 2}));
    // An end without an error: removed silently, started again by the next plan that starts it.
    h.captures[0].lock()->onStop(std::nullopt);
    EXPECT_EQ(h.coordinator->activeDisplayIDs(), (std::vector<std::uint32_t>{2}));
    EXPECT_EQ(h.errors.size(), 0u);
    h.apply(plan({source(1, {1280, 720}), source(2, {640, 360})}, {1}));
    EXPECT_EQ(h.coordinator->activeDisplayIDs(), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(h.captures.size(), 3u);

    // Ends with an error: each display removed and the error reported with it.
    h.server->stopAllStreams(PlatformError{"VirtualCaptureServer", -3815, "display gone"});
    ASSERT_TRUE(h.errors.waitFor(2));
    EXPECT_TRUE(h.coordinator->activeDisplayIDs().empty());
    std::set<std::uint32_t> reported;
    for (const auto& f : h.allErrors()) {
        EXPECT_EQ(f.error, "PlatformError(-3815)");
        reported.insert(f.displayID);
    }
    EXPECT_EQ(reported, (std::set<std::uint32_t>{1, 2}));
}

// Each failure goes to onError with its display; display 2 of the same plan starts regardless.
TEST(CaptureCoordinator, FailuresAreReportedWithTheirDisplayAndTheRestOfThePlanGoesOn) {
    struct Case {
        const char* name;
        std::function<void(Harness&)> arrange;   // before the first plan
        std::function<void(Harness&)> act;       // after it
        std::string error;                       // prefix of the reported error
        bool displayOneActive;
    };
    const auto failEncoderProperty = [](K key) {
        Virtual::Script script;
        script.propertyStatus[key] = -12900;
        return script;
    };
    const auto fault = [](Operation op) {
        return [op](Harness& h) { h.server->setFault(op, Fault{Fault::Kind::fail}); };
    };
    const std::vector<Case> cases = {
        {"capture start", fault(Operation::startCapture), nullptr, "startFailed", false},
        {"capture start time-out", [](Harness& h) { h.server->setFault(Operation::startCapture, Fault{Fault::Kind::never}); },
         nullptr, "startTimedOut", false},
        {"capture stop on stopped",
         nullptr,
         [&](Harness& h) {
             h.server->setFault(Operation::stopCapture, Fault{Fault::Kind::fail});
             h.apply(plan({source(2, {640, 360})}, {}, {1}));
         },
         "stopFailed", false},
        {"capture update",
         nullptr,
         [&](Harness& h) {
             h.server->setFault(Operation::updateConfiguration, Fault{Fault::Kind::fail});
             h.apply(plan({source(1, {1280, 720}, CGRect(0, 0, 640, 360)), source(2, {640, 360})}, {}));
         },
         "updateFailed", true},
        {"stop",
         nullptr,
         [&](Harness& h) {
             h.server->setFault(Operation::stopCapture, Fault{Fault::Kind::fail});
             h.coordinator->stop();
         },
         "stopFailed", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        if (c.arrange) c.arrange(h);
        h.apply(plan({source(1, {1280, 720})}, {1}));
        if (c.arrange) h.server->setFault(Operation::startCapture, Fault{});
        h.apply(plan({source(1, {1280, 720}), source(2, {640, 360})}, {2}));
        if (c.act) c.act(h);
        ASSERT_GE(h.errors.size(), 1u);
        EXPECT_EQ(h.errors.at(0).displayID, 1u);
        EXPECT_EQ(h.errors.at(0).error.rfind(c.error, 0), 0u) << h.errors.at(0).error;
        const auto active = h.coordinator->activeDisplayIDs();
        EXPECT_EQ(std::count(active.begin(), active.end(), 1u), c.displayOneActive ? 1 : 0);
        if (std::string(c.name) != "stop") {
            EXPECT_EQ(std::count(active.begin(), active.end(), 2u), 1);
        }
    }

    // Encoder failures: creation, settings at start, settings of a running display, a frame.
    struct EncoderCase {
        const char* name;
        Virtual::Script script;
        std::int32_t creationStatus;
        bool updateWhileActive;
        std::string error;
        bool active;
    };
    Virtual::Script failingFrame;
    failingFrame.responder = [](const Virtual::SubmittedFrame& f) {
        if (f.index == 0) return Virtual::Response{CompressionStatus::encoderFailed};
        return Virtual::Response{CompressionStatus::ok, Virtual::makeSample(false, f.presentationTime)};
    };
    const std::vector<EncoderCase> encoderCases = {
        {"creation", {}, CompressionStatus::allocationFailed, false, "HEVCEncoder.EncoderError.sessionCreationFailed(-12904)", false},
        {"settings at start", failEncoderProperty(K::maxKeyFrameIntervalDuration), 0, false,
         "HEVCEncoder.EncoderError.propertyConfigurationFailed(-12900)", false},
        {"frame", failingFrame, 0, false, "HEVCEncoder.EncoderError.encodeFailed(-12911)", true},
    };
    for (const EncoderCase& c : encoderCases) {
        SCOPED_TRACE(c.name);
        Harness h(c.script, c.creationStatus);
        h.apply(plan({source(1, {1280, 720})}, {1}));
        if (c.active) {
            h.server->invalidateContent();
            h.server->tick(1.0 / 60);
            ASSERT_TRUE(h.errors.waitFor(1));
            h.tick(1);  // the failed frame used its identifier up
            EXPECT_EQ(h.frames.at(0).frame.frameID, 1u);
        }
        ASSERT_EQ(h.errors.size(), 1u);
        EXPECT_EQ(h.errors.at(0).displayID, 1u);
        EXPECT_EQ(h.errors.at(0).error, c.error);
        EXPECT_EQ(h.coordinator->activeDisplayIDs().size(), c.active ? 1u : 0u);
        EXPECT_EQ(h.server->runningStreamCount(), c.active ? 1u : 0u);
    }

    // A running display whose new settings are refused still gets its source update.
    Harness h;
    h.apply(plan({source(1, {1280, 720})}, {1}));
    Virtual::Script refuse = failEncoderProperty(K::averageBitRate);
    h.encoders[0]->setScript(refuse);
    h.apply(plan({source(1, {1280, 720}, CGRect(0, 0, 640, 360))}, {}), settingsB);
    ASSERT_EQ(h.errors.size(), 1u);
    EXPECT_EQ(h.errors.at(0).error, "HEVCEncoder.EncoderError.propertyConfigurationFailed(-12900)");
    EXPECT_EQ(h.server->runningStreamConfigurations().at(0).sourceRect, CGRect(0, 0, 640, 360));
}

// Sizes the machine's encoder cannot make reach it clamped, never through an unchecked
// conversion, and are refused: the display is simply not started.
TEST(CaptureCoordinator, OutputSizesTheEncoderCannotMakeAreRefusedThroughOnError) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const CGSize sizes[] = {{nan, 720}, {1280, inf}, {-inf, 720}, {1e12, 720}, {0, 0}, {-640, 360}, {9000, 720}};
    for (const CGSize size : sizes) {
        SCOPED_TRACE(std::to_string(size.width) + " x " + std::to_string(size.height));
        Harness h({}, 0, CompressionSession::defaultFactory());
        h.apply(plan({source(1, size, CGRect(0, 0, 1280, 720)), source(2, {640, 360})}, {1, 2}));
        ASSERT_EQ(h.errors.size(), 1u);
        EXPECT_EQ(h.errors.at(0).displayID, 1u);
        EXPECT_EQ(h.errors.at(0).error, "HEVCEncoder.EncoderError.sessionCreationFailed(-12902)");
        EXPECT_EQ(h.coordinator->activeDisplayIDs(), (std::vector<std::uint32_t>{2}));
    }
}

TEST(CaptureCoordinator, ReleasingTheCoordinatorStopsItsStreams) {
    Harness h;
    h.apply(plan({source(1, {1280, 720}), source(2, {640, 360})}, {1, 2}));
    h.coordinator.reset();
    h.server->drain();
    EXPECT_EQ(h.server->runningStreamCount(), 0u);
    for (const auto& capture : h.captures) EXPECT_TRUE(capture.expired());
}

// The machine's encoder on two virtual displays, each stream at its own size; libavcodec decodes
// both, each picture matches what a separate capture of the same region saw at the same instant,
// and the frame after a keyframe request is a keyframe in that stream only.
TEST(CaptureCoordinatorEndToEnd, TwoDisplaysEncodeWithX265AndDecodeAtTheirOwnSizesWithTheRequestedKeyframe) {
    Harness h({}, 0, CompressionSession::defaultFactory());
    const std::map<std::uint32_t, CaptureSource> sources = {{1, source(1, {640, 360})},
                                                            {2, source(2, {320, 180}, CGRect(200, 100, 960, 540))}};
    h.apply(plan({sources.at(1), sources.at(2)}, {1, 2}));
    ASSERT_EQ(h.coordinator->activeDisplayIDs(), (std::vector<std::uint32_t>{1, 2}));

    // Observers: the luma each display's region showed, in video range, by presentation time.
    struct Seen {
        std::uint32_t displayID;
        double time;
        testing::YUVPicture luma;
    };
    testing::Collected<Seen> seen;
    std::vector<std::shared_ptr<ScreenCaptureSession>> observers;
    for (const auto& [id, planned] : sources) {
        auto observer = ScreenCaptureSession::create(h.server);
        observer->onFrame = [&seen, id = id](const std::shared_ptr<PixelBuffer>& b, MediaTime t,
                                             const std::optional<CaptureFrameGeometry>&) {
            testing::YUVPicture p{b->width(), b->height(), {}, {}, {}};
            for (int y = 0; y < p.height; ++y) {
                const std::uint8_t* row = b->baseAddressOfPlane(0) + static_cast<std::size_t>(y) * b->bytesPerRowOfPlane(0);
                for (int x = 0; x < p.width; ++x) p.y.push_back(static_cast<std::uint8_t>(std::lround(16 + row[x] * 219.0 / 255)));
            }
            seen.add({id, t.seconds(), std::move(p)});
        };
        observer->start(h.displays[id - 1], planned, PixelFormat::yuv420BiPlanarFullRange);
        observers.push_back(observer);
    }

    constexpr std::size_t ticks = 6;
    for (std::size_t n = 1; n <= ticks; ++n) {
        if (n == 4) h.coordinator->requestKeyframe(2);
        h.tick(2 * n);
    }
    ASSERT_EQ(h.errors.size(), 0u) << h.errors.at(0).error;
    ASSERT_TRUE(h.formats.waitFor(2));
    ASSERT_TRUE(seen.waitFor(2 * ticks));
    for (auto& observer : observers) observer->stop();

    for (const std::uint32_t id : {1u, 2u}) {
        SCOPED_TRACE(id);
        std::optional<Format> format;
        for (std::size_t i = 0; i < 2; ++i) {
            if (h.formats.at(i).displayID == id) format = h.formats.at(i);
        }
        ASSERT_TRUE(format);
        const std::pair<int, int> size = id == 1 ? std::pair(640, 360) : std::pair(320, 180);
        EXPECT_EQ(std::pair(format->width, format->height), size);
        EXPECT_EQ(format->sourceRect, sources.at(id).sourceRect);
        testing::HEVCTestDecoder decoder(format->parameterSets);
        std::vector<bool> keyframes, decodedKeyframes;
        for (const Encoded& e : h.allFrames()) {
            if (e.displayID != id) continue;
            keyframes.push_back(e.frame.isKeyframe);
            const auto pictures = decoder.decode(e.frame.payload.span(), format->nalUnitHeaderLength);
            ASSERT_EQ(pictures.size(), 1u);
            const auto& picture = pictures[0];
            EXPECT_EQ(std::pair(picture.width, picture.height), size);
            decodedKeyframes.push_back(picture.keyFrame);
            std::optional<testing::YUVPicture> reference;
            for (std::size_t i = 0; i < seen.size(); ++i) {
                const Seen s = seen.at(i);
                if (s.displayID == id && s.time == e.frame.presentationTime) reference = s.luma;
            }
            ASSERT_TRUE(reference) << "no observed frame at " << e.frame.presentationTime;
            EXPECT_GT(testing::psnr(picture, *reference), 45.0);
        }
        const std::vector<bool> expected = {true, false, false, id == 2, false, false};
        EXPECT_EQ(keyframes, expected);
        EXPECT_EQ(decodedKeyframes, expected);
    }
    h.coordinator->stop();
}

}  // namespace
}  // namespace mivodrell
