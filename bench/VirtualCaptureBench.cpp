// What the virtual capture server costs the pipeline: frames per second one 1920 x 1080 stream
// delivers as '420f' when its minimum frame interval is zero and the content changes every frame.

#include "Platform/Base/FourCC.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Capture/Virtual/VirtualCaptureServer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

using namespace mivodrell;

struct CountingOutput final : StreamOutput {
    std::atomic<int> frames{0};
    void didOutputSampleBuffer(const SampleBufferRef&, StreamOutputType) override { ++frames; }
};

void BM_VirtualCapture1080p420f(benchmark::State& state) {
    auto server = VirtualCaptureServer::create({VirtualCaptureServer::Clocking::manual, true});
    const CaptureDisplay display{1, CGRect(0, 0, 1920, 1080), 1.0, true, "Bench"};
    server->addDisplay(display);
    StreamConfiguration cfg;
    cfg.pixelFormat = PixelFormat::yuv420BiPlanarFullRange;
    cfg.width = 1920;
    cfg.height = 1080;
    cfg.queueDepth = 5;
    cfg.minimumFrameInterval = MediaTime::make(0, 1);
    auto queue = std::make_shared<SerialQueue>("bench.output");
    auto output = std::make_shared<CountingOutput>();
    auto stream = server->makeStream(ContentFilter::excluding(display, {}), cfg, {});
    stream->addOutput(output, StreamOutputType::screen, queue);
    std::mutex m;
    std::condition_variable cv;
    bool started = false;
    stream->startCapture([&](std::optional<PlatformError>) {
        std::lock_guard<std::mutex> lock(m);
        started = true;
        cv.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return started; });
    }
    for (auto _ : state) {
        server->tick(1.0 / 60);  // new content every frame
        queue->sync([] {});
    }
    state.counters["fps"] = benchmark::Counter(static_cast<double>(output->frames.load()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_VirtualCapture1080p420f)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
