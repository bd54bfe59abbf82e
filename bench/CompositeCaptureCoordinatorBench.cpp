// The composite capture coordinator's render/encode tick at 1080p output, composited from two
// 1080p virtual displays, against the compositor's render plus the HEVC encoder's encode of the
// same kind of frames measured alone (the floor the tick stands on), alternating in one loop. Only
// the tick, respectively the render and encode, is timed; the virtual server's frame delivery is
// not.
//
// The sustained benchmark runs the coordinator for 10 s on the real 60 Hz render timer with
// moving content on a real-time virtual server and reports the encoded frames per second and the
// process CPU time per encoded frame.

#include "CaptureMac/CompositeCaptureCoordinator.h"
#include "CaptureMac/CompositeFrameRenderer.h"
#include "CaptureMac/ScreenCaptureSession.h"
#include "Platform/Base/Clock.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Capture/Virtual/VirtualCaptureServer.h"
#include "Platform/Compute/ComputeDevice.h"
#include "tests/CaptureMac/CoordinatorTestSupport.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

namespace mivodrell {
namespace {

const std::vector<CaptureDisplay> kDisplays{{1, CGRect(0, 0, 1920, 1080), 1.0, true, "A"},
                                            {2, CGRect(1920, 0, 1920, 1080), 1.0, false, "B"}};
const CGRect kCrop(960, 0, 1920, 1080);  // half of each display
const CGSize kOutput{1920, 1080};

DisplayTopology topology() {
    std::vector<DisplayInfo> infos;
    for (const auto& d : kDisplays) infos.emplace_back(d.displayID, d.frame, d.scale, d.isMain, d.name);
    return DisplayTopology(infos);
}

CapturePlan plan() {
    CapturePlan p;
    for (const auto& d : kDisplays) {
        p.sources.push_back(CaptureSource{d.displayID, CGRect(0, 0, 1920, 1080), CGSize{1920, 1080}, 1.0, true});
        p.started.push_back(d.displayID);
    }
    return p;
}

std::shared_ptr<VirtualCaptureServer> makeServer(VirtualCaptureServer::Clocking clocking) {
    auto server = VirtualCaptureServer::create({clocking, true});
    for (const auto& d : kDisplays) server->addDisplay(d);
    return server;
}

// The render and encode of one frame without the coordinator, on frames captured from a server
// of its own.
class RenderEncodeBaseline {
public:
    RenderEncodeBaseline() : server_(makeServer(VirtualCaptureServer::Clocking::manual)), backend_(std::make_shared<testing::FlushableBackend>(server_)) {
        for (const auto& d : kDisplays) {
            auto session = ScreenCaptureSession::create(backend_);
            session->onFrame = [this, id = d.displayID](const std::shared_ptr<PixelBuffer>& b, MediaTime, const auto&) {
                std::lock_guard<std::mutex> lock(mutex_);
                latest_[id] = b;
            };
            session->start(d, CaptureSource{d.displayID, CGRect(0, 0, 1920, 1080), CGSize{1920, 1080}, 1.0, true}, 0x34323066);
            sessions_.push_back(session);
        }
        // Configured as the coordinator configures its encoder.
        encoder_.apply({1.0, 8'000'000, 3.0, 60.0});
        encoder_.setSpeedPriority(false);
    }
    ~RenderEncodeBaseline() {
        for (auto& s : sessions_) s->stop();
    }
    // The next frame of every display, handed to the compositor (not timed).
    void deliver() {
        server_->tick(1.0 / 60);
        backend_->flush();
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [id, buffer] : latest_) renderer_->update(id, buffer, CGRect(0, 0, 1920, 1080), {0, 0, 1, 1});
        latest_.clear();
    }
    // Seconds for one render and encode.
    double renderAndEncode() {
        const auto start = std::chrono::steady_clock::now();
        auto picture = renderer_->render(topology_, kCrop, kOutput, PixelFormat::yuv420PlanarVideoRange);  // as the tick
        // Time stamps 1/60 s apart, as the coordinator's clock gives them here: the rate control
        // budgets each frame's bits from them.
        const EncodedFrame frame =
            encoder_.encode(picture, frameID_, MediaTime::fromSeconds(100.0 + frameID_ / 60.0, 1'000'000'000), false);
        ++frameID_;
        benchmark::DoNotOptimize(frame.payload.data());
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

private:
    std::shared_ptr<VirtualCaptureServer> server_;
    std::shared_ptr<testing::FlushableBackend> backend_;
    std::mutex mutex_;
    std::map<std::uint32_t, std::shared_ptr<PixelBuffer>> latest_;
    std::vector<std::shared_ptr<ScreenCaptureSession>> sessions_;
    std::unique_ptr<CompositeFrameRenderer> renderer_ = CompositeFrameRenderer::create(ComputeDevice::systemDefault());
    HEVCEncoder encoder_{1920, 1080, {60.0, 240, 8'000'000}, true};
    DisplayTopology topology_ = topology();
    std::uint32_t frameID_ = 0;
};

// Alternates one coordinator tick with one baseline render and encode, so that both see the same
// machine load. The time is the tick's; the counters give both means and the tick's overhead.
void BM_CompositeCaptureCoordinatorTickVsRenderEncode_1080p(benchmark::State& state) {
    auto server = makeServer(VirtualCaptureServer::Clocking::manual);
    auto backend = std::make_shared<testing::FlushableBackend>(server);
    auto clock = std::make_shared<ManualClock>(100.0);
    SerialQueue* queue = nullptr;
    std::function<void()> tick;
    CompositeCaptureCoordinator::Collaborators c;
    c.captureBackend = backend;
    c.clock = clock;
    c.timerFactory = [&](SerialQueue& q, double, std::function<void()> handler) {
        queue = &q;
        tick = std::move(handler);
        return CompositeCaptureCoordinator::TimerHandle(std::make_shared<int>(0));
    };
    auto coordinator = CompositeCaptureCoordinator::create(1.0 / 60, {60.0, 240, 8'000'000}, {16000.0, 2, 16000}, c);
    std::atomic<std::size_t> frames{0};
    coordinator->onEncodedFrame = [&](const EncodedFrame&) { ++frames; };
    coordinator->apply(plan(), kDisplays, topology(), kCrop, kOutput, {1.0, 8'000'000, 3.0, 60.0});
    RenderEncodeBaseline baseline;
    double tickSeconds = 0, baselineSeconds = 0;
    bool baselineFirst = false;
    for (auto _ : state) {
        server->tick(1.0 / 60);
        backend->flush();
        clock->advance(1.0 / 60);
        baseline.deliver();
        // Each goes first every other time.
        baselineFirst = !baselineFirst;
        if (baselineFirst) baselineSeconds += baseline.renderAndEncode();
        const auto start = std::chrono::steady_clock::now();
        queue->sync(tick);
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        tickSeconds += t;
        if (!baselineFirst) baselineSeconds += baseline.renderAndEncode();
        state.SetIterationTime(t);
    }
    coordinator->stopAll();
    if (frames.load() != static_cast<std::size_t>(state.iterations())) state.SkipWithError("a tick encoded nothing");
    const auto n = static_cast<double>(state.iterations());
    state.counters["tick_ms"] = tickSeconds * 1000 / n;
    state.counters["render_encode_ms"] = baselineSeconds * 1000 / n;
    state.counters["overhead_pct"] = (tickSeconds / baselineSeconds - 1) * 100;
}

double processCPUSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void BM_CompositeCaptureCoordinatorSustained60Hz(benchmark::State& state) {
    for (auto _ : state) {
        auto server = makeServer(VirtualCaptureServer::Clocking::realTime);
        CompositeCaptureCoordinator::Collaborators c;
        c.captureBackend = server;
        auto coordinator = CompositeCaptureCoordinator::create(1.0 / 60, {60.0, 240, 8'000'000}, {16000.0, 2, 16000}, c);
        std::atomic<std::size_t> frames{0};
        coordinator->onEncodedFrame = [&](const EncodedFrame&) { ++frames; };
        const double cpu0 = processCPUSeconds();
        const auto wall0 = std::chrono::steady_clock::now();
        coordinator->apply(plan(), kDisplays, topology(), kCrop, kOutput, {1.0, 8'000'000, 3.0, 60.0});
        std::this_thread::sleep_for(std::chrono::seconds(10));
        coordinator->stopAll();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        const double cpu = processCPUSeconds() - cpu0;
        state.counters["fps"] = static_cast<double>(frames.load()) / wall;
        state.counters["cpu_ms_per_frame"] = frames.load() ? cpu * 1000 / static_cast<double>(frames.load()) : 0;
    }
}

BENCHMARK(BM_CompositeCaptureCoordinatorTickVsRenderEncode_1080p)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(5.0);
BENCHMARK(BM_CompositeCaptureCoordinatorSustained60Hz)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace mivodrell
