#include "CaptureMac/ScreenCaptureSession.h"
#include "CaptureTestSupport.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Capture/X11/X11CaptureBackend.h"
#include "support/TestServers.h"
#include "support/Thrown.h"

#include <gtest/gtest.h>

#include <signal.h>

namespace mivodrell {
namespace {

using Kind = ScreenCaptureSession::CaptureError::Kind;
using testing::thrown;

struct Frame {
    MediaTime time;
    std::optional<CaptureFrameGeometry> geometry;
    int width = 0;
};

// The screen capture session on a real X server: the same time-outs and errors as on the
// virtual backend. A stopped (SIGSTOP) server plays the one that never answers.
class X11ScreenCaptureSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        server = testing::XvfbServer::start(3840, 1080, why);
        if (!server) GTEST_SKIP() << why;
        ASSERT_TRUE(server->xrandr({"--setmonitor", "*LEFT", "1920/254x1080/143+0+0", "screen"}));
        ASSERT_TRUE(server->xrandr({"--setmonitor", "RIGHT", "1920/254x1080/143+1920+0", "none"}));
        auto connected = X11CaptureBackend::connect(server->display());
        ASSERT_TRUE(connected.backend) << connected.error->description;
        backend = connected.backend;
        const auto displays = ShareableContentFetcher::currentDisplays(10, backend);
        ASSERT_EQ(displays.size(), 2u);
        left = displays[0];
        right = displays[1];
    }

    std::shared_ptr<ScreenCaptureSession> makeSession(testing::Collected<Frame>& frames) {
        auto session = ScreenCaptureSession::create(backend);
        session->onFrame = [&frames](const std::shared_ptr<PixelBuffer>& b, MediaTime t,
                                     const std::optional<CaptureFrameGeometry>& g) { frames.add({t, g, b->width()}); };
        return session;
    }

    template <class Body>
    std::optional<Kind> errorKind(Body&& body) {
        auto error = thrown<ScreenCaptureSession::CaptureError>(body);
        return error ? std::optional<Kind>(error->kind) : std::nullopt;
    }

    void pauseServer() { kill(server->pid(), SIGSTOP); }
    void resumeServer() { kill(server->pid(), SIGCONT); }

    std::unique_ptr<testing::XvfbServer> server;
    std::shared_ptr<X11CaptureBackend> backend;
    CaptureDisplay left, right;
};

TEST_F(X11ScreenCaptureSessionTest, DeliversFramesWithTheirGeometry) {
    testing::Collected<Frame> frames;
    auto session = makeSession(frames);
    session->start(right, {right.displayID, CGRect(0, 0, 960, 540), CGSize(480, 270), 1, true},
                   PixelFormat::yuv420BiPlanarFullRange);
    ASSERT_TRUE(frames.waitFor(1, 10));
    const Frame first = frames.at(0);
    EXPECT_EQ(first.width, 480);
    ASSERT_TRUE(first.geometry);
    EXPECT_EQ(first.geometry->contentRect, CGRect(0, 0, 480, 270));
    EXPECT_EQ(first.geometry->contentScale, 0.5);
    EXPECT_EQ(first.geometry->scaleFactor, 1.0);
    // The source size is recovered exactly from the attachments.
    EXPECT_EQ(first.geometry->contentRect.width() / first.geometry->contentScale, 960);
    session->stop();
    EXPECT_FALSE(session->isRunning());
}

TEST_F(X11ScreenCaptureSessionTest, AServerThatStopsAnsweringTimesOutEveryOperation) {
    testing::Collected<Frame> frames;
    auto session = makeSession(frames);
    const CaptureSource source{left.displayID, CGRect(0, 0, 640, 360), CGSize(640, 360), 1, true};
    session->setOperationTimeoutForTesting(0.3);

    pauseServer();
    EXPECT_EQ(errorKind([&] { session->start(left, source, PixelFormat::bgra); }), Kind::startTimedOut);
    EXPECT_FALSE(session->isRunning());
    resumeServer();

    // The late answer to the abandoned start leaves nothing running: a new session's first frame
    // (which queues behind that answer on the server) arrives, the abandoned one never does.
    testing::Collected<Frame> otherFrames;
    auto other = makeSession(otherFrames);
    other->start(left, source, PixelFormat::bgra);
    ASSERT_TRUE(otherFrames.waitFor(1, 10));
    EXPECT_EQ(frames.size(), 0u);

    session->setOperationTimeoutForTesting(10);
    session->start(left, source, PixelFormat::bgra);
    ASSERT_TRUE(frames.waitFor(1, 10));
    session->setOperationTimeoutForTesting(0.3);
    pauseServer();
    // While the query waits out its time, the capture thread's next grab gets stuck as well, so
    // every operation queued behind it goes unanswered.
    EXPECT_EQ(thrown<ShareableContentFetcher::FetchError>([&] { ShareableContentFetcher::currentDisplays(0.3, backend); })
                  .value_or(ShareableContentFetcher::FetchError(ShareableContentFetcher::FetchError::Kind::underlying))
                  .kind,
              ShareableContentFetcher::FetchError::Kind::timedOut);
    EXPECT_EQ(errorKind([&] { session->update({left.displayID, CGRect(0, 0, 320, 180), CGSize(320, 180), 1, true}); }),
              Kind::updateTimedOut);
    EXPECT_EQ(errorKind([&] { session->refreshContentFilter(); }), Kind::updateTimedOut);
    EXPECT_EQ(errorKind([&] { session->stop(); }), Kind::stopTimedOut);
    EXPECT_FALSE(session->isRunning());
    resumeServer();
}

TEST_F(X11ScreenCaptureSessionTest, FailuresAndLostDisplaysAreReported) {
    testing::Collected<Frame> frames;
    auto session = makeSession(frames);
    CaptureDisplay gone = right;
    gone.displayID = 4711;
    auto error = thrown<ScreenCaptureSession::CaptureError>(
        [&] { session->start(gone, {4711, CGRect(0, 0, 64, 64), CGSize(64, 64), 1, true}, PixelFormat::bgra); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::startFailed);
    ASSERT_TRUE(error->underlying);
    EXPECT_EQ(error->underlying->code, X11CaptureStatus::displayNotFound);

    testing::Collected<PlatformError> stops;
    session->onStop = [&stops](const std::optional<PlatformError>& e) { stops.add(e.value_or(PlatformError{})); };
    session->start(right, {right.displayID, CGRect(0, 0, 640, 360), CGSize(640, 360), 1, true}, PixelFormat::bgra);
    ASSERT_TRUE(frames.waitFor(1, 10));
    ASSERT_TRUE(server->xrandr({"--delmonitor", "RIGHT"}));
    ASSERT_TRUE(stops.waitFor(1, 10));
    EXPECT_EQ(stops.at(0).code, X11CaptureStatus::displayRemoved);
    EXPECT_EQ(ShareableContentFetcher::currentDisplays(10, backend).size(), 1u);
}

}  // namespace
}  // namespace mivodrell
