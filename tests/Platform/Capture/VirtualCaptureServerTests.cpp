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
struct Fixture {
    std::shared_ptr<VirtualCaptureServer> server = VirtualCaptureServer::create({VirtualCaptureServer::Clocking::manual, true});
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("test.output");
    std::shared_ptr<KeepingOutput> output = std::make_shared<KeepingOutput>();
    std::shared_ptr<CaptureStream> stream;
    explicit Fixture(StreamConfiguration cfg) {
        const CaptureDisplay display{7, CGRect(0, 0, 320, 240), 1.0, true, "D"};
        server->addDisplay(display);
        stream = server->makeStream(ContentFilter::excluding(display, {}), cfg, {});
        EXPECT_FALSE(stream->addOutput(output, StreamOutputType::screen, queue));
        std::optional<PlatformError> result = PlatformError{};
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        stream->startCapture([&](std::optional<PlatformError> e) {
            std::lock_guard<std::mutex> lock(m);
            result = e;
            done = true;
            cv.notify_all();
        });
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return done; });
        EXPECT_FALSE(result);
    }
    void tick() {
        server->tick(1.0 / 60);
        queue->sync([] {});
    }
};
TEST(VirtualCaptureServer, SkipsFramesWhileTheConsumerHoldsEveryBuffer) {
    StreamConfiguration cfg;
    cfg.pixelFormat = PixelFormat::yuv420BiPlanarFullRange;
    cfg.width = 64;
    cfg.height = 48;
    cfg.queueDepth = 3;
    cfg.minimumFrameInterval = MediaTime::make(0, 1);
    Fixture f(cfg);
    for (int i = 0; i < 5; ++i) f.tick();
    EXPECT_EQ(f.output->samples.size(), 3u);
    EXPECT_EQ(f.server->framesSkipped(), 2u);
    f.output->samples.clear();  // the consumer lets go: frames flow again
    f.tick();
    EXPECT_EQ(f.output->samples.size(), 1u);
}
TEST(VirtualCaptureServer, OldSizedFramesFollowAnUpdateWhenAsked) {
    StreamConfiguration cfg;
    cfg.width = 64;
    cfg.height = 48;
    cfg.minimumFrameInterval = MediaTime::make(0, 1);
    Fixture f(cfg);
    f.server->setStaleFramesAfterUpdate(2);
    StreamConfiguration bigger = cfg;
    bigger.width = 128;
    bigger.height = 96;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    f.stream->updateConfiguration(bigger, [&](std::optional<PlatformError>) {
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return done; });
    }
    for (int i = 0; i < 3; ++i) {
        f.tick();
        const auto& last = *f.output->samples.back();
        EXPECT_EQ(last.imageBuffer->width(), i < 2 ? 64 : 128) << i;
        f.output->samples.clear();
    }
}
}}  // namespace mivodrell
