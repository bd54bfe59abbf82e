// X11 screen capture on a private Xvfb (1920 x 1080) showing a gradient with coloured boxes.
//
// X11Frame/<format>/<scaled>/<threads>: one frame as a stream makes it while content changes
// (shared-memory grab with the monitor list in the same round trip, then hash and conversion in
// one pass), 1080p into 1920 x 1080 or scaled into 1280 x 720, on one thread or split over a
// worker pool, timed next to a bare xcb_shm_get_image of the whole screen in the same
// iterations. Counters: bare_ms and frame_ms (wall time), ratio (frame / bare) and cpu_ms (CPU
// time of every thread of the process per frame, the bare grabs' left out).
// X11Stream420f_1080p60: a stream at a 1/60 s interval for three seconds while another client
// changes the screen every 4 ms: fps (complete frames per second), cpu_ms (process CPU per
// complete frame, the painting client's left out) and first_ms, the mean time from asking a
// stream to start to its first frame over five starts (at most one frame interval plus a
// frame's frame_ms is the aim).
// Skipped with a message when Xvfb cannot start.

#include "Platform/Base/FourCC.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Base/WorkerPool.h"
#include "Platform/Capture/X11/X11CaptureBackend.h"
#include "Platform/Media/PixelBuffer.h"
#include "tests/support/XvfbServer.h"

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

using namespace mivodrell;

constexpr int kWidth = 1920, kHeight = 1080;

double cpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The shared server, started on first use, with a gradient drawn on its root window.
struct Server {
    std::unique_ptr<testing::XvfbServer> xvfb;
    std::string why;

    Server() {
        xvfb = testing::XvfbServer::start(kWidth, kHeight, why);
        if (!xvfb) return;
        xcb_connection_t* c = xcb_connect(xvfb->display().c_str(), nullptr);
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        const xcb_gcontext_t gc = xcb_generate_id(c);
        xcb_create_gc(c, gc, screen->root, 0, nullptr);
        for (int band = 0; band < kHeight; band += 8) {
            const std::uint32_t colour = static_cast<std::uint32_t>((band * 255 / kHeight) << 8 | (255 - band * 255 / kHeight));
            xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
            const xcb_rectangle_t r{0, static_cast<std::int16_t>(band), kWidth, 8};
            xcb_poly_fill_rectangle(c, screen->root, gc, 1, &r);
        }
        for (int i = 0; i < 40; ++i) {
            const std::uint32_t colour = 0x101010u * static_cast<std::uint32_t>(i % 16) ^ 0xA03070u;
            xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
            const xcb_rectangle_t r{static_cast<std::int16_t>((i * 173) % 1700), static_cast<std::int16_t>((i * 97) % 900), 200, 150};
            xcb_poly_fill_rectangle(c, screen->root, gc, 1, &r);
        }
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        xcb_disconnect(c);
    }
};

Server& server() {
    static Server s;
    return s;
}

// A bare MIT-SHM grab: its own connection and segment, nothing else.
struct BareGrab {
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
    xcb_shm_seg_t segment = 0;
    void* memory = nullptr;

    explicit BareGrab(const std::string& display) {
        c = xcb_connect(display.c_str(), nullptr);
        root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        const int id = shmget(IPC_PRIVATE, static_cast<std::size_t>(kWidth) * kHeight * 4, IPC_CREAT | 0600);
        memory = shmat(id, nullptr, 0);
        segment = xcb_generate_id(c);
        std::free(xcb_request_check(c, xcb_shm_attach_checked(c, segment, static_cast<std::uint32_t>(id), 0)));
        shmctl(id, IPC_RMID, nullptr);
    }
    ~BareGrab() {
        xcb_shm_detach(c, segment);
        xcb_disconnect(c);
        shmdt(memory);
    }
    void grab() {
        std::free(xcb_shm_get_image_reply(
            c, xcb_shm_get_image(c, root, 0, 0, kWidth, kHeight, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment, 0), nullptr));
    }
};

// Arguments: pixel format (0 '420f', 1 'BGRA'), scaled (0 or 1), threads.
void BM_X11Frame(benchmark::State& state) {
    if (!server().xvfb) {
        state.SkipWithError(server().why.c_str());
        return;
    }
    const std::uint32_t format = state.range(0) == 0 ? PixelFormat::yuv420BiPlanarFullRange : PixelFormat::bgra;
    const int outW = state.range(1) ? 1280 : kWidth, outH = state.range(1) ? 720 : kHeight;
    state.SetLabel(std::string(format == PixelFormat::bgra ? "BGRA " : "420f ") + std::to_string(outW) + "x" +
                   std::to_string(outH) + ", " + std::to_string(state.range(2)) + " thread(s)");
    BareGrab bare(server().xvfb->display());
    auto opened = X11ScreenGrabber::open(server().xvfb->display(), true);
    if (!opened.grabber) {
        state.SkipWithError(opened.error->description.c_str());
        return;
    }
    auto& grabber = *opened.grabber;
    if (state.range(2) > 1) {
        grabber.setWorkerPool(std::make_shared<WorkerPool>(static_cast<int>(state.range(2)), std::chrono::microseconds{0}));
    }
    auto out = PixelBuffer::create(outW, outH, format).buffer;
    std::vector<X11ScreenGrabber::Monitor> monitors;
    double bareSeconds = 0, frameSeconds = 0, bareCPU = 0;
    using Clock = std::chrono::steady_clock;
    const double processCPU0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    for (auto _ : state) {
        const double threadCPU0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const auto t0 = Clock::now();
        bare.grab();
        const auto t1 = Clock::now();
        bareCPU += cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - threadCPU0;
        monitors.clear();
        grabber.grab(0, 0, kWidth, kHeight, &monitors);
        benchmark::DoNotOptimize(grabber.render(kWidth, kHeight, *out, outW, outH, 0xFF000000u, true));
        benchmark::ClobberMemory();
        const auto t2 = Clock::now();
        bareSeconds += std::chrono::duration<double>(t1 - t0).count();
        frameSeconds += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(std::chrono::duration<double>(t2 - t1).count());
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["bare_ms"] = 1000 * bareSeconds / n;
    state.counters["frame_ms"] = 1000 * frameSeconds / n;
    state.counters["ratio"] = frameSeconds / bareSeconds;
    state.counters["cpu_ms"] = 1000 * (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processCPU0 - bareCPU) / n;
}
BENCHMARK(BM_X11Frame)
    ->Args({0, 0, 1})->Args({0, 0, 2})->Args({0, 0, 4})->Args({0, 1, 2})->Args({1, 0, 2})
    ->UseManualTime()->Unit(benchmark::kMillisecond);

struct CountingOutput final : StreamOutput {
    std::atomic<int> complete{0};
    std::mutex mutex;
    std::chrono::steady_clock::time_point first{};
    void didOutputSampleBuffer(const SampleBufferRef& sample, StreamOutputType) override {
        const AttachmentDictionary* info = sample->firstAttachments();
        const AttachmentValue* status = info ? info->find(AttachmentKey::frameStatus) : nullptr;
        if (!status || status->asInteger() != FrameStatus::complete) return;
        std::lock_guard<std::mutex> lock(mutex);
        if (complete++ == 0) first = std::chrono::steady_clock::now();
    }
};

void BM_X11Stream420f_1080p60(benchmark::State& state) {
    if (!server().xvfb) {
        state.SkipWithError(server().why.c_str());
        return;
    }
    auto connected = X11CaptureBackend::connect(server().xvfb->display());
    if (!connected.backend) {
        state.SkipWithError(connected.error->description.c_str());
        return;
    }
    auto backend = connected.backend;
    auto monitors = X11ScreenGrabber::open(server().xvfb->display(), false).grabber->monitors();
    CaptureDisplay display;
    display.displayID = monitors->front().id;
    display.frame = CGRect(0, 0, kWidth, kHeight);

    // Another client moves a box every 4 ms, so every grab sees new content.
    std::atomic<bool> painting{true};
    std::thread painter([&] {
        xcb_connection_t* c = xcb_connect(server().xvfb->display().c_str(), nullptr);
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        const xcb_gcontext_t gc = xcb_generate_id(c);
        xcb_create_gc(c, gc, screen->root, 0, nullptr);
        for (std::uint32_t i = 0; painting.load(); ++i) {
            const std::uint32_t colour = 0x00FF00u ^ (i * 0x010203u);
            xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
            const xcb_rectangle_t r{static_cast<std::int16_t>((i * 7) % 1700), 400, 200, 200};
            xcb_poly_fill_rectangle(c, screen->root, gc, 1, &r);
            std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
        xcb_disconnect(c);
    });
    clockid_t painterClock{};
    pthread_getcpuclockid(painter.native_handle(), &painterClock);

    StreamConfiguration cfg;
    cfg.pixelFormat = PixelFormat::yuv420BiPlanarFullRange;
    cfg.width = kWidth;
    cfg.height = kHeight;
    cfg.minimumFrameInterval = MediaTime::make(1, 60);
    cfg.queueDepth = 5;
    // Starts a stream; returns it with its output once the first frame is in, and that wait.
    auto startStream = [&](std::shared_ptr<CountingOutput>& output, double& firstSeconds) {
        output = std::make_shared<CountingOutput>();
        auto queue = std::make_shared<SerialQueue>("bench.frames");
        auto stream = backend->makeStream(ContentFilter::excluding(display, {}), cfg, {});
        stream->addOutput(output, StreamOutputType::screen, queue);
        const auto asked = std::chrono::steady_clock::now();
        waitForCaptureCompletion(10, [&](CaptureCompletion done) { stream->startCapture(std::move(done)); });
        while (output->complete.load() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::lock_guard<std::mutex> lock(output->mutex);
        firstSeconds = std::chrono::duration<double>(output->first - asked).count();
        return stream;
    };
    for (auto _ : state) {
        double first = 0, firstTotal = 0;
        std::shared_ptr<CountingOutput> output;
        for (int i = 0; i < 5; ++i) {
            auto stream = startStream(output, first);
            firstTotal += first;
            waitForCaptureCompletion(10, [&](CaptureCompletion done) { stream->stopCapture(std::move(done)); });
        }
        auto stream = startStream(output, first);
        const int frames0 = output->complete.load();
        const double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(painterClock);
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const int frames = output->complete.load() - frames0;
        const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(painterClock) - cpu0;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        waitForCaptureCompletion(10, [&](CaptureCompletion done) { stream->stopCapture(std::move(done)); });
        state.SetIterationTime(elapsed);
        state.counters["fps"] = frames / elapsed;
        state.counters["cpu_ms"] = 1000 * cpu / std::max(frames, 1);
        state.counters["first_ms"] = 1000 * firstTotal / 5;
    }
    painting.store(false);
    painter.join();
}
BENCHMARK(BM_X11Stream420f_1080p60)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
