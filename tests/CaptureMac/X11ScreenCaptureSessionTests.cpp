#include "CaptureMac/ScreenCaptureSession.h"
#include "CaptureTestSupport.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Capture/X11/X11CaptureBackend.h"
#include "support/XvfbServer.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace mivodrell {
namespace {

using Error = ScreenCaptureSession::CaptureError;
using Kind = Error::Kind;
using testing::errorKind;

// The screen capture session's time-outs on a real X server (its frames, geometry and errors are
// the virtual backend's tests and the X11 backend's own). A stopped (SIGSTOP) server plays the
// one that never answers.
TEST(X11ScreenCaptureSession, AServerThatStopsAnsweringTimesOutEveryOperation) {
    std::string why;
    const auto server = testing::XvfbServer::start(1920, 1080, why);
    if (!server) GTEST_SKIP() << why;
    ASSERT_TRUE(server->xrandr({"--setmonitor", "*LEFT", "1920/254x1080/143+0+0", "screen"}));
    auto connected = X11CaptureBackend::connect(server->display());
    ASSERT_TRUE(connected.backend) << connected.error->description;
    const auto backend = connected.backend;
    const auto displays = ShareableContentFetcher::currentDisplays(10, backend);
    ASSERT_EQ(displays.size(), 1u);
    const CaptureDisplay& left = displays[0];
    const CaptureSource source{left.displayID, CGRect(0, 0, 640, 360), CGSize{640, 360}, 1, true};
    const auto makeSession = [&](testing::Collected<int>& frames) {
        auto session = ScreenCaptureSession::create(backend);
        session->onFrame = [&frames](const std::shared_ptr<PixelBuffer>&, MediaTime,
                                     const std::optional<CaptureFrameGeometry>&) { frames.add(0); };
        return session;
    };
    testing::Collected<int> frames;
    auto session = makeSession(frames);
    session->setOperationTimeoutForTesting(0.3);

    kill(server->pid(), SIGSTOP);
    EXPECT_EQ(errorKind<Error>([&] { session->start(left, source, PixelFormat::bgra); }), Kind::startTimedOut);
    EXPECT_FALSE(session->isRunning());
    kill(server->pid(), SIGCONT);

    // The late answer to the abandoned start leaves nothing running: a new session's first frame
    // (which queues behind that answer on the server) arrives, the abandoned one never does.
    testing::Collected<int> otherFrames;
    auto other = makeSession(otherFrames);
    other->start(left, source, PixelFormat::bgra);
    ASSERT_TRUE(otherFrames.waitFor(1, 10));
    EXPECT_EQ(frames.size(), 0u);

    session->setOperationTimeoutForTesting(10);
    session->start(left, source, PixelFormat::bgra);
    ASSERT_TRUE(frames.waitFor(1, 10));
    session->setOperationTimeoutForTesting(0.3);
    kill(server->pid(), SIGSTOP);
    // While the query waits out its time, the capture thread's next grab gets stuck as well, so
    // every operation queued behind it goes unanswered.
    EXPECT_EQ(
        errorKind<ShareableContentFetcher::FetchError>([&] { ShareableContentFetcher::currentDisplays(0.3, backend); }),
        ShareableContentFetcher::FetchError::Kind::timedOut);
    EXPECT_EQ(errorKind<Error>([&] {
                  session->update({left.displayID, CGRect(0, 0, 320, 180), CGSize{320, 180}, 1, true});
              }),
              Kind::updateTimedOut);
    EXPECT_EQ(errorKind<Error>([&] { session->refreshContentFilter(); }), Kind::updateTimedOut);
    EXPECT_EQ(errorKind<Error>([&] { session->stop(); }), Kind::stopTimedOut);
    EXPECT_FALSE(session->isRunning());
    kill(server->pid(), SIGCONT);
}

}  // namespace
}  // namespace mivodrell
