// What the virtual capture server costs the pipeline.
//
// VirtualCapture1080p420f/<content>: frames per second one 1920 x 1080 stream delivers as '420f'
// when the content changes every frame, with the default content (0) or the synthetic frames
// with 2 % noise cells (1); cpu_ms is the process CPU time per frame, drawing included.
// VirtualCapture1080pCrop/<content>: the same for a 960 x 540 crop of the display delivered
// at 960 x 540, which should cost about a quarter (content is drawn only where it is sampled).
// VirtualFirstFrame: the mean time from asking a real-time stream to start to its first frame,
// over ten starts (at most one frame interval plus a frame's cost is the aim).

#include "CaptureMac/SyntheticDisplayContent.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Capture/Virtual/VirtualCaptureServer.h"

#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace mivodrell;

double processCPUSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct CountingOutput final : StreamOutput {
    std::atomic<int> frames{0};
    std::atomic<std::int64_t> firstNanoseconds{0};
    void didOutputSampleBuffer(const SampleBufferRef&, StreamOutputType) override {
        if (frames++ == 0) {
            firstNanoseconds = std::chrono::steady_clock::now().time_since_epoch().count();
        }
    }
};

const CaptureDisplay kDisplay{1, CGRect(0, 0, 1920, 1080), 1.0, true, "Bench"};

void started(const std::shared_ptr<CaptureStream>& stream) {
    waitForCaptureCompletion(10, [&](CaptureCompletion done) { stream->startCapture(std::move(done)); });
}

void deliver(benchmark::State& state, std::optional<CGRect> source, int width, int height) {
    auto server = VirtualCaptureServer::create({VirtualCaptureServer::Clocking::manual, true});
    server->addDisplay(kDisplay);
    if (state.range(0) == 1) server->setContentFunction(syntheticDisplayContent(0.02));
    StreamConfiguration cfg;
    cfg.pixelFormat = PixelFormat::yuv420BiPlanarFullRange;
    cfg.width = width;
    cfg.height = height;
    cfg.sourceRect = source;
    cfg.queueDepth = 5;
    cfg.minimumFrameInterval = MediaTime::make(0, 1);
    auto queue = std::make_shared<SerialQueue>("bench.output");
    auto output = std::make_shared<CountingOutput>();
    auto stream = server->makeStream(ContentFilter::excluding(kDisplay, {}), cfg, {});
    stream->addOutput(output, StreamOutputType::screen, queue);
    started(stream);
    const double cpu0 = processCPUSeconds();
    for (auto _ : state) {
        server->tick(1.0 / 60);  // new content every frame
        queue->sync([] {});
    }
    state.counters["fps"] = benchmark::Counter(static_cast<double>(output->frames.load()), benchmark::Counter::kIsRate);
    state.counters["cpu_ms"] = 1000 * (processCPUSeconds() - cpu0) / std::max(1, output->frames.load());
}

void BM_VirtualCapture1080p420f(benchmark::State& state) { deliver(state, std::nullopt, 1920, 1080); }
BENCHMARK(BM_VirtualCapture1080p420f)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_VirtualCapture1080pCrop(benchmark::State& state) { deliver(state, CGRect(480, 270, 960, 540), 960, 540); }
BENCHMARK(BM_VirtualCapture1080pCrop)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_VirtualFirstFrame(benchmark::State& state) {
    auto server = VirtualCaptureServer::create();
    server->addDisplay(kDisplay);
    StreamConfiguration cfg;
    cfg.pixelFormat = PixelFormat::yuv420BiPlanarFullRange;
    cfg.queueDepth = 5;
    cfg.minimumFrameInterval = MediaTime::make(1, 60);
    auto queue = std::make_shared<SerialQueue>("bench.output");
    for (auto _ : state) {
        double total = 0;
        for (int i = 0; i < 10; ++i) {
            auto output = std::make_shared<CountingOutput>();
            auto stream = server->makeStream(ContentFilter::excluding(kDisplay, {}), cfg, {});
            stream->addOutput(output, StreamOutputType::screen, queue);
            const auto asked = std::chrono::steady_clock::now();
            started(stream);
            while (output->frames.load() == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
            total += 1e-9 * static_cast<double>(output->firstNanoseconds.load() - asked.time_since_epoch().count());
            waitForCaptureCompletion(10, [&](CaptureCompletion done) { stream->stopCapture(std::move(done)); });
        }
        state.SetIterationTime(total / 10);
        state.counters["first_ms"] = 1000 * total / 10;
    }
}
BENCHMARK(BM_VirtualFirstFrame)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
