#include "Platform/Base/FourCC.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Capture/Virtual/VirtualCaptureServer.h"
#include <gtest/gtest.h>
#include <mutex>
namespace mivodrell { namespace {
// An output that keeps every sample it is given.
struct KeepingOutput final : StreamOutput {
    std::mutex mutex;
    std::vector<SampleBufferRef> samples;
    void didOutputSampleBuffer(const SampleBufferRef& sample, StreamOutputType) override {
        std::lock_guard<std::mutex> lock(mutex);
        samples.push_back(sample);
    }
};
// A started 64 x 48 stream of a manually clocked virtual display.
struct Fixture {
    std::shared_ptr<VirtualCaptureServer> server;
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("test.output");
    std::shared_ptr<KeepingOutput> output = std::make_shared<KeepingOutput>();
    StreamConfiguration configuration;
    std::shared_ptr<CaptureStream> stream;
    const CaptureDisplay display{7, CGRect(0, 0, 320, 240), 1.0, true, "D"};
    explicit Fixture(std::uint32_t pixelFormat = PixelFormat::bgra, bool animated = true)
        : server(VirtualCaptureServer::create({VirtualCaptureServer::Clocking::manual, animated})),
          configuration{.pixelFormat = pixelFormat, .width = 64, .height = 48, .minimumFrameInterval = MediaTime::make(0, 1), .queueDepth = 3} {
        server->addDisplay(display);
        stream = server->makeStream(ContentFilter::excluding(display, {}), configuration, {});
        EXPECT_FALSE(stream->addOutput(output, StreamOutputType::screen, queue));
        const auto started =
            waitForCaptureCompletion(10, [&](CaptureCompletion done) { stream->startCapture(std::move(done)); });
        EXPECT_TRUE(started && !*started);
    }
    void tick() {
        server->tick(1.0 / 60);
        queue->sync([] {});
    }
};
TEST(VirtualCaptureServer, SkipsFramesWhileTheConsumerHoldsEveryBuffer) {
    Fixture f(PixelFormat::yuv420BiPlanarFullRange);
    for (int i = 0; i < 5; ++i) f.tick();
    EXPECT_EQ(f.output->samples.size(), 3u);
    EXPECT_EQ(f.server->framesSkipped(), 2u);
    f.output->samples.clear();  // the consumer lets go: frames flow again
    f.tick();
    EXPECT_EQ(f.output->samples.size(), 1u);
}
TEST(VirtualCaptureServer, OldSizedFramesFollowAnUpdateWhenAsked) {
    Fixture f;
    f.server->setStaleFramesAfterUpdate(2);
    StreamConfiguration bigger = f.configuration;
    bigger.width = 128;
    bigger.height = 96;
    ASSERT_TRUE(waitForCaptureCompletion(10, [&](CaptureCompletion done) {
        f.stream->updateConfiguration(bigger, std::move(done));
    }));
    for (int i = 0; i < 3; ++i) {
        f.tick();
        const auto& last = *f.output->samples.back();
        EXPECT_EQ(last.imageBuffer->width(), i < 2 ? 64 : 128) << i;
        f.output->samples.clear();
    }
}
// On still content the first frame after a start, an update of the configuration or the filter, or a restart is complete; the next is idle.
TEST(VirtualCaptureServer, StillContentGivesOneCompleteFrameAfterEveryStartOrUpdate) {
    Fixture f(PixelFormat::bgra, false);
    StreamConfiguration smaller = f.configuration;
    smaller.width = 32;
    const std::pair<const char*, std::function<void(CaptureCompletion)>> changes[] = {
        {"start", [](CaptureCompletion done) { done(std::nullopt); }},
        {"configuration", [&](CaptureCompletion done) { f.stream->updateConfiguration(smaller, std::move(done)); }},
        {"filter", [&](CaptureCompletion done) { f.stream->updateContentFilter(ContentFilter::excluding(f.display, {}), std::move(done)); }},
        {"restart", [&](CaptureCompletion done) { f.stream->stopCapture([&f, done](auto) { f.stream->startCapture(done); }); }}};
    for (const auto& [name, change] : changes) {
        f.output->samples.clear();
        ASSERT_TRUE(waitForCaptureCompletion(10, change)) << name;
        f.tick();
        f.tick();
        ASSERT_EQ(f.output->samples.size(), 2u) << name;
        EXPECT_EQ(std::pair(bool(f.output->samples[0]->imageBuffer), bool(f.output->samples[1]->imageBuffer)), std::pair(true, false)) << name;
    }
}
}}  // namespace mivodrell
