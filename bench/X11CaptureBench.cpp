// X11 screen capture on a private Xvfb (1920 x 1080) showing a gradient with coloured boxes.
//
// X11Frame420f_1080p/N: one '420f' frame as a stream makes it while content changes
// (shared-memory grab with the monitor check in the same round trip, then hash and conversion in
// one pass), on one thread (N = 1) or split over a worker pool of N threads as the backend runs
// it, timed next to a bare xcb_shm_get_image of the same rectangle in the same iterations.
// Counters: bare_ms, frame_ms and ratio (frame / bare; goal at most 2). X11FrameBGRA_1080p/N:
// the same for 'BGRA'. X11Stream420f_1080p60: a stream at a 1/60 s interval for three seconds
// while another client changes the screen every 4 ms; "fps" is complete frames per second.
// Skipped with a message when Xvfb cannot start.

#include "Platform/Base/FourCC.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Base/WorkerPool.h"
#include "Platform/Capture/X11/X11CaptureBackend.h"
#include "Platform/Media/PixelBuffer.h"
#include "tests/support/XvfbServer.h"

#include <benchmark/benchmark.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using namespace mivodrell;

constexpr int kWidth = 1920, kHeight = 1080;

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

void frameAgainstBareGrab(benchmark::State& state, std::uint32_t format) {
    if (!server().xvfb) {
        state.SkipWithError(server().why.c_str());
        return;
    }
    BareGrab bare(server().xvfb->display());
    auto opened = X11ScreenGrabber::open(server().xvfb->display(), true);
    if (!opened.grabber) {
        state.SkipWithError(opened.error->description.c_str());
        return;
    }
    auto& grabber = *opened.grabber;
    // As a stream of the backend runs it (argument 4), or on one thread (argument 1).
    if (state.range(0) > 1) grabber.setWorkerPool(std::make_shared<WorkerPool>(static_cast<int>(state.range(0))));
    auto out = PixelBuffer::create(kWidth, kHeight, format).buffer;
    std::vector<X11ScreenGrabber::Monitor> monitors;
    double bareSeconds = 0, frameSeconds = 0;
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        bare.grab();
        const auto t1 = Clock::now();
        monitors.clear();
        grabber.grab(0, 0, kWidth, kHeight, &monitors);
        benchmark::DoNotOptimize(grabber.hashAndRender(kWidth, kHeight, out.get(), kWidth, kHeight, 0xFF000000u));
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
}

void BM_X11Frame420f_1080p(benchmark::State& state) { frameAgainstBareGrab(state, PixelFormat::yuv420BiPlanarFullRange); }
BENCHMARK(BM_X11Frame420f_1080p)->Arg(1)->Arg(4)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_X11FrameBGRA_1080p(benchmark::State& state) { frameAgainstBareGrab(state, PixelFormat::bgra); }
BENCHMARK(BM_X11FrameBGRA_1080p)->Arg(1)->Arg(4)->UseManualTime()->Unit(benchmark::kMillisecond);

struct CountingOutput final : StreamOutput {
    std::atomic<int> complete{0};
    void didOutputSampleBuffer(const SampleBufferRef& sample, StreamOutputType) override {
        const AttachmentDictionary* info = sample->firstAttachments();
        const AttachmentValue* status = info ? info->find(AttachmentKey::frameStatus) : nullptr;
        if (status && status->asInteger() == FrameStatus::complete) ++complete;
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

    for (auto _ : state) {
        StreamConfiguration cfg;
        cfg.pixelFormat = PixelFormat::yuv420BiPlanarFullRange;
        cfg.width = kWidth;
        cfg.height = kHeight;
        cfg.minimumFrameInterval = MediaTime::make(1, 60);
        cfg.queueDepth = 5;
        auto output = std::make_shared<CountingOutput>();
        auto queue = std::make_shared<SerialQueue>("bench.frames");
        auto stream = backend->makeStream(ContentFilter::excluding(display, {}), cfg, {});
        stream->addOutput(output, StreamOutputType::screen, queue);
        waitForCaptureCompletion(10, [&](CaptureCompletion done) { stream->startCapture(std::move(done)); });
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const int frames = output->complete.load();
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        waitForCaptureCompletion(10, [&](CaptureCompletion done) { stream->stopCapture(std::move(done)); });
        state.SetIterationTime(elapsed);
        state.counters["fps"] = frames / elapsed;
    }
    painting.store(false);
    painter.join();
}
BENCHMARK(BM_X11Stream420f_1080p60)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
