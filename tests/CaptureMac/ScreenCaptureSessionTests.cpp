#include "CaptureMac/AudioCaptureSession.h"
#include "CaptureMac/ScreenCaptureSession.h"
#include "CaptureTestSupport.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Capture/Virtual/VirtualCaptureServer.h"
#include "support/Thrown.h"
#include <gtest/gtest.h>
#include <cmath>
#include <thread>
namespace mivodrell { namespace {
using Error = ScreenCaptureSession::CaptureError;
using Kind = Error::Kind;
using Fault = VirtualCaptureServer::OperationFault;
using Operation = VirtualCaptureServer::Operation;
using testing::errorKind;
using testing::thrown;
struct Frame { std::shared_ptr<PixelBuffer> buffer; MediaTime time; std::optional<CaptureFrameGeometry> geometry; };
// Holding buffers keeps them out of the stream's pool of five, so a long run lets them go.
ScreenCaptureSession::FrameHandler collect(testing::Collected<Frame>& frames, bool keepBuffers = true) {
    return [&frames, keepBuffers](const std::shared_ptr<PixelBuffer>& b, MediaTime t, const std::optional<CaptureFrameGeometry>& g) {
        frames.add({keepBuffers ? b : nullptr, t, g});
    };
}
constexpr std::uint32_t k420f = PixelFormat::yuv420BiPlanarFullRange;
CaptureDisplay leftDisplay() { return {1, CGRect(0, 0, 800, 600), 1.0, true, "Left"}; }
CaptureDisplay rightDisplay() { return {2, CGRect(800, 0, 640, 480), 2.0, false, "Right"}; }
CaptureSource sourceFor(std::uint32_t id, CGRect rect, CGSize pixels) { return {id, rect, pixels, 1, true}; }
// Display content: each display a flat colour, with a 100 x 100 point square of another colour
// at display-local (100, 100).
void testContent(const CaptureDisplay& d, std::uint64_t, PixelBuffer& bgra) {
    const double sq0 = 100 * d.scale, sq1 = 200 * d.scale;
    for (int y = 0; y < bgra.height(); ++y) {
        std::uint8_t* row = bgra.baseAddress() + static_cast<std::size_t>(y) * bgra.bytesPerRow();
        for (int x = 0; x < bgra.width(); ++x) {
            const bool square = x >= sq0 && x < sq1 && y >= sq0 && y < sq1;
            const std::uint8_t base = d.displayID == 1 ? 40 : 200;
            const std::uint8_t bgrx[] = {square ? std::uint8_t{20} : base, square ? std::uint8_t{220} : base, square ? std::uint8_t{30} : base, 255};
            std::copy(std::begin(bgrx), std::end(bgrx), row + 4 * x);
        }
    }
}
// RGB of a '420f' pixel (BT.709 full range), for checking what a stream delivered.
std::array<double, 3> rgbAt(const PixelBuffer& b, int x, int y) {
    const double Y = b.baseAddressOfPlane(0)[static_cast<std::size_t>(y) * b.bytesPerRowOfPlane(0) + static_cast<std::size_t>(x)];
    const std::uint8_t* c = b.baseAddressOfPlane(1) + static_cast<std::size_t>(y / 2) * b.bytesPerRowOfPlane(1) + static_cast<std::size_t>(x / 2) * 2;
    const double cb = c[0] - 128.0, cr = c[1] - 128.0;
    return {Y + 1.5748 * cr, Y - 0.1873 * cb - 0.4681 * cr, Y + 1.8556 * cb};
}
class ScreenCaptureSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        PrivacyOverlayRegistry::setExcludedWindows({});
        server = VirtualCaptureServer::create({VirtualCaptureServer::Clocking::manual, true});
        server->addDisplay(leftDisplay());
        server->addDisplay(rightDisplay());
        server->setContentFunction(testContent);
        session = ScreenCaptureSession::create(server);
        session->setOperationTimeoutForTesting(5);
        session->onFrame = collect(frames);
    }
    void TearDown() override { PrivacyOverlayRegistry::setExcludedWindows({}); }
    std::shared_ptr<VirtualCaptureServer> server;
    std::shared_ptr<ScreenCaptureSession> session;
    testing::Collected<Frame> frames;
};
TEST(ScreenCaptureSessionConfiguration, SizesAndFrameInterval) {
    struct Case { CGSize size; int cap; std::int64_t width, height; MediaTime interval; };
    const Case cases[] = {
        {{1.7, 0.4}, 60, 2, 2, MediaTime::make(1, 60)}, {{1280.9, 720.2}, 30, 1280, 720, MediaTime::make(1, 30)},
        {{640, 480}, 0, 640, 480, MediaTime::make(1, 1)}, {{640, 480}, -5, 640, 480, MediaTime::make(1, 1)},
        {{std::nan(""), -10}, 60, 2, 2, MediaTime::make(1, 60)}};
    for (const auto& c : cases) {
        const auto cfg = ScreenCaptureSession::makeConfiguration(sourceFor(1, {10, 20, 30, 40}, c.size), k420f, c.cap);
        EXPECT_EQ(std::tuple(cfg.width, cfg.height, cfg.minimumFrameInterval, cfg.pixelFormat), std::tuple(c.width, c.height, c.interval, k420f));
        EXPECT_TRUE(cfg.sourceRect && *cfg.sourceRect == CGRect(10, 20, 30, 40));
    }
}
TEST_F(ScreenCaptureSessionTest, FrameChecksDropIncompleteFramesAndKeepFramesWithoutGeometry) {
    using FK = VirtualCaptureServer::FrameFault::Kind;
    struct Case { FK kind; bool delivered, hasGeometry; };
    const Case cases[] = {
        {FK::status, false, false}, {FK::missingStatus, false, false}, {FK::missingAttachments, false, false},
        {FK::nonDictionaryAttachments, false, false}, {FK::emptyAttachments, false, false}, {FK::invalidBuffer, false, false},
        {FK::noImage, false, false}, {FK::noContentRect, true, false}, {FK::malformedContentRect, true, false}, {FK::nanScales, true, true}};
    session->onFrame = collect(frames, false);
    session->start(leftDisplay(), sourceFor(1, {0, 0, 800, 600}, {160, 120}), k420f);
    std::size_t expected = 0;
    for (const auto& c : cases) {
        server->setFrameFault({.kind = c.kind, .count = 1});
        server->invalidateContent();
        server->tick(1.0 / 60);
        server->invalidateContent();
        server->tick(1.0 / 60);  // a good frame after each faulty one
        expected += c.delivered ? 2 : 1;
        ASSERT_TRUE(frames.waitFor(expected)) << static_cast<int>(c.kind);
        // Give a wrongly delivered frame the chance to show up.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(frames.size(), expected) << static_cast<int>(c.kind);
        if (c.delivered) {
            const auto geometry = frames.at(expected - 2).geometry;
            EXPECT_EQ(geometry.has_value(), c.hasGeometry);
            if (c.kind == FK::nanScales) { EXPECT_TRUE(std::isnan(geometry->contentScale) && std::isnan(geometry->scaleFactor)); }
        }
        EXPECT_TRUE(frames.at(expected - 1).geometry);
    }
}
TEST_F(ScreenCaptureSessionTest, FailedStartKeepsTheNewFieldsAndLeavesNoStream) {
    // Never started: update, refresh and stop do nothing.
    EXPECT_NO_THROW(session->stop());
    EXPECT_NO_THROW(session->update(sourceFor(1, {0, 0, 100, 100}, {100, 100})));
    EXPECT_NO_THROW(session->refreshContentFilter());
    server->setFault(Operation::startCapture, {Fault::Kind::fail});
    EXPECT_EQ(errorKind<Error>([&] { session->start(rightDisplay(), sourceFor(2, {0, 0, 100, 100}, {100, 100}), PixelFormat::bgra, std::vector<CaptureWindow>{}); }),
              Kind::startFailed);
    EXPECT_FALSE(session->isRunning());
    ASSERT_TRUE(session->currentDisplay());
    EXPECT_EQ(std::tuple(session->currentDisplay()->displayID, session->activePixelFormat(), session->usesWindowInclusionFilter(), server->runningStreamCount()),
              std::tuple(2u, std::uint32_t{PixelFormat::bgra}, true, 0u));
    server->setFault(Operation::startCapture, {});
    server->setAddOutputFailure(PlatformError{"test", 7, "no output"});
    EXPECT_EQ(errorKind<Error>([&] { session->start(leftDisplay(), sourceFor(1, {0, 0, 100, 100}, {100, 100}), k420f); }),
              Kind::streamSetupFailed);
    EXPECT_FALSE(session->isRunning());
}
TEST_F(ScreenCaptureSessionTest, TimeOutsAndFailuresLeaveNoStreamRunning) {
    const CaptureSource source = sourceFor(1, {0, 0, 100, 100}, {64, 64});
    // Only the waits expected to run out are short.
    const auto timedOutKind = [&](const std::function<void()>& call, double seconds = 0.05) {
        session->setOperationTimeoutForTesting(seconds);
        const auto kind = errorKind<Error>(call);
        session->setOperationTimeoutForTesting(5);
        return kind;
    };
    // A start that answers too late: the caller gives up, and the released stream stays stopped
    // even when the late answer arrives.
    server->setFault(Operation::startCapture, {Fault::Kind::late, 0.4});
    EXPECT_EQ(timedOutKind([&] { session->start(leftDisplay(), source, k420f); }, 0.2), Kind::startTimedOut);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(server->runningStreamCount(), 0u);
    EXPECT_FALSE(session->isRunning());
    server->setFault(Operation::startCapture, {});
    session->start(leftDisplay(), source, k420f);
    const CaptureSource smaller = sourceFor(1, {0, 0, 50, 50}, {32, 32});
    server->setFault(Operation::updateConfiguration, {Fault::Kind::never});
    EXPECT_EQ(timedOutKind([&] { session->update(smaller); }), Kind::updateTimedOut);
    server->setFault(Operation::updateConfiguration, {Fault::Kind::fail});
    EXPECT_EQ(errorKind<Error>([&] { session->update(smaller); }), Kind::updateFailed);
    server->setFault(Operation::updateContentFilter, {Fault::Kind::never});
    EXPECT_EQ(timedOutKind([&] { session->refreshContentFilter(); }), Kind::updateTimedOut);
    EXPECT_TRUE(session->isRunning());
    // A stop that never gets an answer, then a failing one: each drops the stream, and a second
    // stop returns at once.
    for (const auto& [fault, expected] : {std::pair{Fault::Kind::never, Kind::stopTimedOut}, std::pair{Fault::Kind::fail, Kind::stopFailed}}) {
        if (!session->isRunning()) session->start(leftDisplay(), source, k420f);
        server->setFault(Operation::stopCapture, {fault});
        EXPECT_EQ(timedOutKind([&] { session->stop(); }), expected);
        EXPECT_FALSE(session->isRunning());
        EXPECT_NO_THROW(session->stop());
    }
    EXPECT_EQ(server->runningStreamCount(), 0u);  // the dropped streams stopped themselves
}
TEST_F(ScreenCaptureSessionTest, UpdateAppliesTheNewSizeAndTheActivePixelFormat) {
    session->start(leftDisplay(), sourceFor(1, {0, 0, 400, 300}, {200, 150}), PixelFormat::bgra);
    session->frameRateCap = 15;
    session->update(sourceFor(1, {100, 100, 200, 200}, {90.9, 64.2}));
    const auto cfgs = server->runningStreamConfigurations();
    ASSERT_EQ(cfgs.size(), 1u);
    EXPECT_EQ(std::tuple(cfgs[0].width, cfgs[0].height, cfgs[0].pixelFormat, cfgs[0].minimumFrameInterval),
              std::tuple(90, 64, std::uint32_t{PixelFormat::bgra}, MediaTime::make(1, 15)));
}
TEST_F(ScreenCaptureSessionTest, OverlayWindowsAreExcludedAndRefreshPicksUpNewOnes) {
    // A red window over the square; registered as an overlay, it must vanish from the frames.
    const auto red = RGBAColor{1, 0, 0, 1};
    server->addWindow(1, CGRect(0, 0, 50, 50), red, 10);
    PrivacyOverlayRegistry::setExcludedWindows(ShareableContentFetcher::currentWindows(1, true, server));
    session->start(leftDisplay(), sourceFor(1, {0, 0, 800, 600}, {800, 600}), k420f);
    server->tick(1.0 / 60);
    ASSERT_TRUE(frames.waitFor(1));
    EXPECT_NEAR(rgbAt(*frames.at(0).buffer, 10, 10)[0], 40, 3);  // the desktop behind, not red
    // A second curtain window appears; only after the refresh is it left out.
    server->addWindow(1, CGRect(300, 300, 60, 60), red, 10);
    server->tick(1.0 / 60);
    ASSERT_TRUE(frames.waitFor(2));
    EXPECT_NEAR(rgbAt(*frames.at(1).buffer, 320, 320)[0], 255, 3);
    PrivacyOverlayRegistry::setExcludedWindows(ShareableContentFetcher::currentWindows(1, true, server));
    session->refreshContentFilter();
    server->tick(1.0 / 60);
    ASSERT_TRUE(frames.waitFor(3));
    EXPECT_NEAR(rgbAt(*frames.at(2).buffer, 320, 320)[0], 40, 3);
    EXPECT_NEAR(rgbAt(*frames.at(2).buffer, 10, 10)[0], 40, 3);
}
TEST_F(ScreenCaptureSessionTest, InclusionFilterIsNotRefreshedAndDrawsOnlyTheListedWindows) {
    server->addWindow(1, CGRect(0, 0, 100, 100), {0, 0, 1, 1}, 0);
    const auto windows = ShareableContentFetcher::currentWindows(1, true, server);
    session->start(leftDisplay(), sourceFor(1, {0, 0, 200, 200}, {200, 200}), PixelFormat::bgra, windows, RGBAColor{0, 1, 0, 1});
    PrivacyOverlayRegistry::setExcludedWindows(windows);
    session->refreshContentFilter();  // does nothing for an inclusion filter
    EXPECT_EQ(server->runningStreamFilters().at(0).mode, ContentFilter::Mode::includingWindows);
    server->tick(1.0 / 60);
    ASSERT_TRUE(frames.waitFor(1));
    const auto& b = *frames.at(0).buffer;
    const std::uint8_t* inWindow = b.baseAddress() + 50 * b.bytesPerRow() + 50 * 4;
    const std::uint8_t* outside = b.baseAddress() + 150 * b.bytesPerRow() + 150 * 4;
    EXPECT_EQ(std::tuple(inWindow[0], outside[1], outside[0]), std::tuple(255, 255, 0));  // blue window, green background, no desktop
}
TEST_F(ScreenCaptureSessionTest, ReleasedSessionReceivesNothing) {
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    int calls = 0;
    session->start(leftDisplay(), sourceFor(1, {0, 0, 100, 100}, {32, 32}), k420f);
    session->onFrame = [&](const std::shared_ptr<PixelBuffer>&, MediaTime, const std::optional<CaptureFrameGeometry>&) {
        std::unique_lock<std::mutex> lock(m);
        ++calls;
        cv.notify_all();
        cv.wait_for(lock, std::chrono::seconds(5), [&] { return released; });
    };
    server->tick(1.0 / 60);
    server->invalidateContent();
    server->tick(1.0 / 60);  // a second frame waits behind the first on the sample queue
    server->drain();
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return calls == 1; }));
    }
    std::weak_ptr<ScreenCaptureSession> weak = session;
    session.reset();
    { std::lock_guard<std::mutex> lock(m); released = true; }
    cv.notify_all();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!weak.expired() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(calls, 1);
}
TEST(ShareableContentFetcher, AnswersErrorsEmptyAnswersTimeOutsAndLongLimits) {
    using FetchError = ShareableContentFetcher::FetchError;
    auto server = VirtualCaptureServer::create({VirtualCaptureServer::Clocking::manual, true});
    server->addDisplay(leftDisplay());
    server->addDisplay(rightDisplay());
    EXPECT_EQ(ShareableContentFetcher::currentDisplays(1, server).size(), 2u);
    server->setFault(Operation::shareableContent, {Fault::Kind::emptyAnswer});
    EXPECT_TRUE(ShareableContentFetcher::currentDisplays(1, server).empty());
    server->setFault(Operation::shareableContent, {Fault::Kind::fail});
    const auto failed = thrown<FetchError>([&] { ShareableContentFetcher::currentDisplays(1, server); });
    EXPECT_TRUE(failed && failed->kind == FetchError::Kind::underlying && failed->error);
    server->setFault(Operation::shareableContent, {Fault::Kind::never});
    EXPECT_EQ(errorKind<FetchError>([&] { ShareableContentFetcher::currentWindows(0.05, false, server); }), FetchError::Kind::timedOut);
    // A very long or infinite limit waits for the answer.
    server->setFault(Operation::shareableContent, {Fault::Kind::late, 0.02});
    for (const double limit : {1e10, 1e300, HUGE_VAL}) EXPECT_EQ(ShareableContentFetcher::currentDisplays(limit, server).size(), 2u) << limit;
}
// The tone itself, decoded after AAC encoding, is the composite coordinator's end-to-end test.
TEST(AudioCaptureSession, ToneArrivesAsContinuousNonInterleavedFloatBuffers) {
    auto server = VirtualCaptureServer::create({VirtualCaptureServer::Clocking::manual, true});
    server->addDisplay(leftDisplay());
    server->setAudioTone(1000, 0.5);
    auto session = AudioCaptureSession::create(server);
    testing::Collected<SampleBufferRef> buffers;
    session->onAudioSampleBuffer = [&](const SampleBufferRef& s) { buffers.add(s); };
    session->start(leftDisplay());
    const auto cfgs = server->runningStreamConfigurations();
    ASSERT_EQ(cfgs.size(), 1u);
    EXPECT_EQ(std::tuple(cfgs[0].capturesAudio, cfgs[0].width, cfgs[0].minimumFrameInterval), std::tuple(true, 2, MediaTime::make(1, 1)));
    server->tick(0.1);  // 4800 samples: four whole buffers
    ASSERT_TRUE(buffers.waitFor(4));
    for (std::size_t i = 0; i < 4; ++i) {
        const auto& b = *buffers.at(i);
        ASSERT_TRUE(b.audioFormat && b.audioBufferList);
        const auto& fmt = *b.audioFormat;
        EXPECT_EQ(std::tuple(fmt.sampleRate, fmt.channelsPerFrame, fmt.bitsPerChannel), std::tuple(48000.0, 2u, 32u));
        EXPECT_TRUE((fmt.formatFlags & AudioFormatFlag::isNonInterleaved) && (fmt.formatFlags & AudioFormatFlag::isFloat));
        ASSERT_EQ(b.audioBufferList->size(), 2u);
        EXPECT_EQ(std::tuple((*b.audioBufferList)[0].data.size(), b.sampleCount, b.presentationTime),
                  std::tuple(std::size_t{1024 * 4}, 1024, MediaTime::make(static_cast<std::int64_t>(i) * 1024, 48000)));
    }
    session->stop();
    EXPECT_NO_THROW(session->stop());
}
TEST(AudioCaptureSession, StartAndStopFailures) {
    auto server = VirtualCaptureServer::create({VirtualCaptureServer::Clocking::manual, true});
    server->addDisplay(leftDisplay());
    auto session = AudioCaptureSession::create(server);
    using AK = AudioCaptureSession::CaptureError::Kind;
    const auto kind = [](auto&& call) { return errorKind<AudioCaptureSession::CaptureError>(call); };
    server->setAddOutputFailure(PlatformError{"t", 1, "x"});
    EXPECT_EQ(kind([&] { session->start(leftDisplay()); }), AK::streamSetupFailed);
    server->setAddOutputFailure(std::nullopt);
    server->setFault(Operation::startCapture, {Fault::Kind::never});
    session->setOperationTimeoutForTesting(0.05);
    EXPECT_EQ(kind([&] { session->start(leftDisplay()); }), AK::startTimedOut);
    session->setOperationTimeoutForTesting(5);
    server->setFault(Operation::startCapture, {Fault::Kind::fail});
    EXPECT_EQ(kind([&] { session->start(leftDisplay()); }), AK::startFailed);
    EXPECT_FALSE(session->isRunning());
    server->setFault(Operation::startCapture, {});
    // A failing stop, then one that never gets an answer: each leaves the session stopped.
    for (const auto& [fault, expected] : {std::pair{Fault::Kind::fail, AK::stopFailed}, std::pair{Fault::Kind::never, AK::stopTimedOut}}) {
        server->setFault(Operation::stopCapture, {});
        session->start(leftDisplay());
        EXPECT_TRUE(session->isRunning());
        server->setFault(Operation::stopCapture, {fault});
        session->setOperationTimeoutForTesting(0.05);
        EXPECT_EQ(kind([&] { session->stop(); }), expected);
        EXPECT_FALSE(session->isRunning());
        EXPECT_NO_THROW(session->stop());
        session->setOperationTimeoutForTesting(5);
    }
    EXPECT_EQ(server->runningStreamCount(), 0u);
}
}}  // namespace mivodrell
