// The compositor against libyuv's NV12-to-ARGB conversion of the same source (single threaded),
// the floor for turning a 4:2:0 frame into BGRA on this machine.
//
// Arguments of the compositor benchmarks: workers, motion blur (0 off, 1 on with a still picture,
// 2 on with the whole picture moving every frame). The paced variant leaves 5 ms between frames,
// as a render tick does, so the workers have gone to sleep when a frame starts; only the frames
// are timed.

#include "CaptureMac/CompositeFrameRenderer.h"
#include "Platform/Compute/ComputeDevice.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Base/WorkerPool.h"
#include "Platform/Media/ColorConversion.h"
#include "Platform/Media/PixelBuffer.h"
#include "ViewportCore/DisplayTopology.h"

#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace mivodrell {
namespace {

std::shared_ptr<PixelBuffer> makeSource(int width, int height, int seed) {
    auto buffer = PixelBuffer::create(width, height, PixelFormat::yuv420BiPlanarFullRange).buffer;
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = buffer->baseAddressOfPlane(0) + static_cast<std::size_t>(y) * buffer->bytesPerRowOfPlane(0);
        for (int x = 0; x < width; ++x) row[x] = static_cast<std::uint8_t>((x * 3 + y * 5 + seed * 11) ^ (x >> 4));
    }
    for (int y = 0; y < buffer->heightOfPlane(1); ++y) {
        std::uint8_t* row = buffer->baseAddressOfPlane(1) + static_cast<std::size_t>(y) * buffer->bytesPerRowOfPlane(1);
        for (int x = 0; x < buffer->widthOfPlane(1); ++x) {
            row[2 * x] = static_cast<std::uint8_t>(x + seed * 7);
            row[2 * x + 1] = static_cast<std::uint8_t>(y * 2 + x);
        }
    }
    return buffer;
}

void libyuvBaseline(benchmark::State& state, int width, int height) {
    auto source = makeSource(width, height, 0);
    for (auto _ : state) {
        auto out = PixelBuffer::create(width, height, PixelFormat::bgra).buffer;
        libyuv::NV12ToARGB(source->baseAddressOfPlane(0), static_cast<int>(source->bytesPerRowOfPlane(0)),
                           source->baseAddressOfPlane(1), static_cast<int>(source->bytesPerRowOfPlane(1)),
                           out->baseAddress(), static_cast<int>(out->bytesPerRow()), width, height);
        benchmark::DoNotOptimize(out->baseAddress());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * width * height);
}

void BM_CompositorBaselineLibyuvNV12ToARGB_1080p(benchmark::State& state) { libyuvBaseline(state, 1920, 1080); }
void BM_CompositorBaselineLibyuvNV12ToARGB_2160p(benchmark::State& state) { libyuvBaseline(state, 3840, 2160); }

struct Scene {
    DisplayTopology topology;
    CGRect crop;
    CGSize output;
    int sourceWidth = 0;
    int sourceHeight = 0;
};

// What a frame is handed on as: the BGRA composite, the BGRA composite converted to I420 the way
// the encoder converts it (on a pool of 4), or the composite as planar video-range 4:2:0.
enum class Output { bgra, bgraThenI420, planar };

// `panStep`: points the crop moves right each frame (and back), as the main job's viewport pans.
void composite(benchmark::State& state, const Scene& scene, bool paced = false, double panStep = 0,
               Output output = Output::bgra) {
    const int workers = static_cast<int>(state.range(0));
    const int motion = static_cast<int>(state.range(1));
    auto renderer = CompositeFrameRenderer::create(ComputeDevice::create(workers));
    renderer->setMotionBlurEnabled(motion != 0);
    const std::shared_ptr<PixelBuffer> frames[2] = {makeSource(scene.sourceWidth, scene.sourceHeight, 0),
                                                    makeSource(scene.sourceWidth, scene.sourceHeight, 1)};
    const CGRect sourceRect{0, 0, scene.topology.displays().front().frame().width(),
                            scene.topology.displays().front().frame().height()};
    std::size_t frame = 0;
    WorkerPool pool(4);
    auto planes = PixelBuffer::create(static_cast<int>(scene.output.width), static_cast<int>(scene.output.height),
                                      PixelFormat::yuv420PlanarVideoRange)
                      .buffer;
    const I420Planes i420{planes->baseAddressOfPlane(0), static_cast<std::ptrdiff_t>(planes->bytesPerRowOfPlane(0)),
                          planes->baseAddressOfPlane(1), static_cast<std::ptrdiff_t>(planes->bytesPerRowOfPlane(1)),
                          planes->baseAddressOfPlane(2), static_cast<std::ptrdiff_t>(planes->bytesPerRowOfPlane(2))};
    for (auto _ : state) {
        const auto& buffer = frames[motion == 2 ? frame % 2 : 0];
        for (const auto& d : scene.topology.displays()) renderer->update(d.id(), buffer, sourceRect, {0, 0, 1, 1});
        const auto start = std::chrono::steady_clock::now();
        CGRect crop = scene.crop;
        crop.origin.x += panStep * static_cast<double>(frame % 64 < 32 ? frame % 32 : 32 - frame % 32);
        auto out = renderer->render(scene.topology, crop, scene.output,
                                    output == Output::planar ? PixelFormat::yuv420PlanarVideoRange : PixelFormat::bgra);
        if (out && output == Output::bgraThenI420) convertPixelBufferToI420(*out, out->width(), out->height(), i420, &pool);
        if (!out) {
            state.SkipWithError("render failed");
            break;
        }
        benchmark::DoNotOptimize(out->baseAddress());
        if (paced) {
            state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            out.reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ++frame;
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(scene.output.width * scene.output.height));
}

DisplayInfo display(std::uint32_t id, CGRect frame) { return DisplayInfo(id, frame, 1.0, id == 1, "Display"); }

void BM_Compositor1to1_1080p(benchmark::State& state) {
    composite(state, {DisplayTopology({display(1, {0, 0, 1920, 1080})}), {0, 0, 1920, 1080}, {1920, 1080}, 1920, 1080});
}

void BM_Compositor1to1Paced_1080p(benchmark::State& state) {
    composite(state, {DisplayTopology({display(1, {0, 0, 1920, 1080})}), {0, 0, 1920, 1080}, {1920, 1080}, 1920, 1080},
              true);
}

// Two side-by-side 1080p displays shown whole (2:1 down), black above and below.
void BM_CompositorTwoDisplaysScaled_1080p(benchmark::State& state) {
    composite(state, {DisplayTopology({display(1, {0, 0, 1920, 1080}), display(2, {1920, 0, 1920, 1080})}),
                      {0, -540, 3840, 2160},
                      {1920, 1080},
                      1920,
                      1080});
}

void BM_Compositor1to1_2160p(benchmark::State& state) {
    composite(state, {DisplayTopology({display(1, {0, 0, 3840, 2160})}), {0, 0, 3840, 2160}, {3840, 2160}, 3840, 2160});
}

void compositorArguments(benchmark::internal::Benchmark* b) {
    b->ArgNames({"workers", "motionBlur"});
    for (int motion : {0, 1, 2}) {
        for (int workers : {1, 2, 4}) b->Args({workers, motion});
    }
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

// The main job's shapes: two side-by-side 1080p displays, each delivering its whole picture, and
// a crop of the controller's viewport (1920x1080 plus the output planner's 5 % margin) panned
// across both. Scene 0: the default output, 2112x1184 (slightly enlarged); scene 1: the same crop
// into 1920x1088 (slightly reduced); scene 2: a 1920x1080 crop at whole points into 1920x1080
// (1:1, two slices). Process CPU time counts the compositor's workers too.
Scene mainJobScene(int index) {
    const DisplayTopology topology({display(1, {0, 0, 1920, 1080}), display(2, {1920, 0, 1920, 1080})});
    const CGRect scaledCrop{836.182, -28.636, 2016, 1134};
    switch (index) {
        case 0:
            return {topology, scaledCrop, {2112, 1184}, 1920, 1080};
        case 1:
            return {topology, scaledCrop, {1920, 1088}, 1920, 1080};
        default:
            return {topology, {960, 0, 1920, 1080}, {1920, 1080}, 1920, 1080};
    }
}

// The scaled scenes pan by a fraction of a point per frame, so the column tables change every frame.
// Output 0: BGRA; 1: BGRA converted to I420 as the encoder converts it (what a tick paid before the
// encoder took planes); 2: 'y420' planes.
void BM_CompositorMainJob(benchmark::State& state) {
    const int scene = static_cast<int>(state.range(2));
    composite(state, mainJobScene(scene), false, scene == 2 ? 1.0 : 3.37, static_cast<Output>(state.range(3)));
}

// Scene 0 as the render tick meets it: 'y420', 5 ms between frames, so the workers have gone to
// sleep when a frame starts. Time is the frame's; CPU time includes what the workers spend
// between frames (spinning before they sleep).
void BM_CompositorMainJobPaced(benchmark::State& state) {
    composite(state, mainJobScene(0), true, 3.37, Output::planar);
}

// The same-run floor for each scene: libyuv scales one whole 1080p frame to the output size
// (bilinear) and converts it to BGRA, on one thread.
void BM_CompositorMainJobBaselineLibyuv(benchmark::State& state) {
    const Scene scene = mainJobScene(static_cast<int>(state.range(0)));
    const int width = static_cast<int>(scene.output.width);
    const int height = static_cast<int>(scene.output.height);
    auto source = makeSource(scene.sourceWidth, scene.sourceHeight, 0);
    auto scaled = PixelBuffer::create(width, height, PixelFormat::yuv420BiPlanarFullRange).buffer;
    const auto plane = [](const std::shared_ptr<PixelBuffer>& b, std::size_t p) {
        return std::pair(b->baseAddressOfPlane(p), static_cast<int>(b->bytesPerRowOfPlane(p)));
    };
    for (auto _ : state) {
        auto out = PixelBuffer::create(width, height, PixelFormat::bgra).buffer;
        const auto [sy, sys] = plane(source, 0);
        const auto [suv, suvs] = plane(source, 1);
        const auto [dy, dys] = plane(scaled, 0);
        const auto [duv, duvs] = plane(scaled, 1);
        if (width != scene.sourceWidth || height != scene.sourceHeight) {
            libyuv::NV12Scale(sy, sys, suv, suvs, scene.sourceWidth, scene.sourceHeight, dy, dys, duv, duvs, width, height,
                              libyuv::kFilterBilinear);
            libyuv::NV12ToARGB(dy, dys, duv, duvs, out->baseAddress(), static_cast<int>(out->bytesPerRow()), width, height);
        } else {
            libyuv::NV12ToARGB(sy, sys, suv, suvs, out->baseAddress(), static_cast<int>(out->bytesPerRow()), width, height);
        }
        benchmark::DoNotOptimize(out->baseAddress());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * width * height);
}

BENCHMARK(BM_CompositorMainJobBaselineLibyuv)
    ->ArgName("scene")
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_CompositorMainJobPaced)
    ->ArgNames({"workers", "motionBlur"})
    ->ArgsProduct({{1, 4}, {0}})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseManualTime()
    ->Iterations(200);
BENCHMARK(BM_CompositorMainJob)
    ->ArgNames({"workers", "motionBlur", "scene", "output"})
    ->ArgsProduct({{1, 4}, {0}, {0, 1, 2}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_CompositorBaselineLibyuvNV12ToARGB_1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompositorBaselineLibyuvNV12ToARGB_2160p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Compositor1to1_1080p)->Apply(compositorArguments);
BENCHMARK(BM_CompositorTwoDisplaysScaled_1080p)->Apply(compositorArguments);
BENCHMARK(BM_Compositor1to1_2160p)->Apply(compositorArguments);
BENCHMARK(BM_Compositor1to1Paced_1080p)
    ->ArgNames({"workers", "motionBlur"})
    ->ArgsProduct({{1, 2, 4}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(100);

}  // namespace
}  // namespace mivodrell
