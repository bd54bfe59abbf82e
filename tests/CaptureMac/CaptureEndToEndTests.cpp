#include "CaptureMac/ScreenCaptureSession.h"
#include "CaptureTestSupport.h"
#include "CaptureMac/SyntheticDisplayContent.h"
#include "CaptureMac/SyntheticFrameSource.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Capture/Virtual/VirtualCaptureServer.h"
#include <gtest/gtest.h>
#include <cmath>
#include <cstdlib>
namespace mivodrell { namespace {
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
    testing::Collected<std::pair<std::shared_ptr<PixelBuffer>, std::optional<CaptureFrameGeometry>>> frames;
    session->onFrame = [&](const std::shared_ptr<PixelBuffer>& b, MediaTime, const std::optional<CaptureFrameGeometry>& g) {
        frames.add({b, g});
    };
    session->start(right, CaptureSource{2, CGRect(200, 100, 640, 360), CGSize{640, 360}, 1, true},
                   PixelFormat::yuv420BiPlanarFullRange);
    server->tick(1.0 / 120);  // still generation 15
    ASSERT_TRUE(frames.waitFor(1));
    session->stop();
    const auto [frame, geometry] = frames.at(0);
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
            const std::size_t sx = 2 * static_cast<std::size_t>(200 + x) + 1;
            const std::size_t sy = 2 * static_cast<std::size_t>(100 + y) + 1;
            const std::uint8_t* p = reference->baseAddress() + sy * reference->bytesPerRow() + sx * 4;
            const double expectedY = 0.2126 * p[2] + 0.7152 * p[1] + 0.0722 * p[0];
            const int got = frame->baseAddressOfPlane(0)[static_cast<std::size_t>(y) * frame->bytesPerRowOfPlane(0) +
                                                         static_cast<std::size_t>(x)];
            worst = std::max(worst, static_cast<int>(std::abs(got - std::lround(expectedY))));
        }
    }
    EXPECT_LE(worst, 1);
}
}}  // namespace mivodrell
