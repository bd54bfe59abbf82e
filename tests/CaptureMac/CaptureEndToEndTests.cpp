#include "CaptureMac/ScreenCaptureSession.h"
#include "CaptureMac/SyntheticDisplayContent.h"
#include "CaptureMac/SyntheticFrameSource.h"
#include "Platform/FourCC.h"
#include "Platform/VirtualCaptureServer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

namespace mivodrell {
namespace {

// Two displays side by side, the right one at scale 2, showing the synthetic frame source's
// picture. A region of the right display captured at half its pixel density must match that
// picture sample for sample (luma exact to conversion rounding).
TEST(CaptureEndToEnd, TwoDisplayLayoutDeliversTheSyntheticContentAtThePlannedPlaceAndSize) {
    auto server = VirtualCaptureServer::create({VirtualCaptureServer::Clocking::manual, true});
    const CaptureDisplay left{1, CGRect(0, 0, 1280, 800), 1.0, true, "Left"};
    const CaptureDisplay right{2, CGRect(1280, 0, 960, 600), 2.0, false, "Right"};
    server->addDisplay(left);
    server->addDisplay(right);
    server->setContentFunction(syntheticDisplayContent(0.05));
    server->tick(0.25);  // generation 15: the bar a quarter of the way across

    auto session = ScreenCaptureSession::create(server);
    std::mutex m;
    std::condition_variable cv;
    std::shared_ptr<PixelBuffer> frame;
    std::optional<CaptureFrameGeometry> geometry;
    session->onFrame = [&](const std::shared_ptr<PixelBuffer>& b, MediaTime, const std::optional<CaptureFrameGeometry>& g) {
        std::lock_guard<std::mutex> lock(m);
        if (!frame) {
            frame = b;
            geometry = g;
        }
        cv.notify_all();
    };
    CaptureSource source;
    source.displayID = 2;
    source.sourceRect = CGRect(200, 100, 640, 360);
    source.outputPixelSize = CGSize{640, 360};
    source.pixelsPerPoint = 1;
    source.hasVisibleContent = true;
    session->start(right, source, PixelFormat::yuv420BiPlanarFullRange);
    server->tick(1.0 / 120);  // still generation 15
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return frame != nullptr; }));
    }
    session->stop();
    ASSERT_EQ(frame->width(), 640);
    ASSERT_EQ(frame->height(), 360);
    ASSERT_TRUE(geometry);
    EXPECT_EQ(geometry->contentRect, CGRect(0, 0, 320, 180));
    EXPECT_DOUBLE_EQ(geometry->scaleFactor, 2.0);
    EXPECT_DOUBLE_EQ(geometry->contentScale, 0.5);

    const auto reference = SyntheticFrameSource{1920, 1200}.makeFrame(15.0 / 60.0, 0.05);
    int worst = 0;
    for (int y = 0; y < 360; ++y) {
        for (int x = 0; x < 640; ++x) {
            // Output pixel centre -> source point -> display pixel (nearest).
            const int sx = static_cast<int>(std::floor((200 + (x + 0.5)) * 2));
            const int sy = static_cast<int>(std::floor((100 + (y + 0.5)) * 2));
            const std::uint8_t* p = reference->baseAddress() + static_cast<std::size_t>(sy) * reference->bytesPerRow() +
                                    static_cast<std::size_t>(sx) * 4;
            const double expectedY = 0.2126 * p[2] + 0.7152 * p[1] + 0.0722 * p[0];
            const int got = frame->baseAddressOfPlane(0)[static_cast<std::size_t>(y) * frame->bytesPerRowOfPlane(0) +
                                                         static_cast<std::size_t>(x)];
            worst = std::max(worst, static_cast<int>(std::abs(got - std::lround(expectedY))));
        }
    }
    EXPECT_LE(worst, 1);
}

}  // namespace
}  // namespace mivodrell
