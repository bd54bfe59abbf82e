// Synthetic frame drawing and pixel buffer recycling, each against baselines in the same run:
//  - makeFrame at 1080p against the floor of writing one 1080p 'BGRA' frame (memset of its
//    storage);
//  - create/release of a 1080p '420f' buffer in steady state (recycled) against mapping,
//    first-touching and unmapping the same storage, which is what every frame costs when its
//    memory comes fresh from the system, and against the C allocator in the same loop.

#include "CaptureMac/SyntheticFrameSource.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Media/PixelBuffer.h"

#include <benchmark/benchmark.h>

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

namespace mivodrell {
namespace {

constexpr int frameWidth = 1920;
constexpr int frameHeight = 1080;

void BM_MediaBuffer_Baseline_Memset1080pBGRA(benchmark::State& state) {
    auto buffer = PixelBuffer::create(frameWidth, frameHeight, PixelFormat::bgra).buffer;
    int value = 0x1F;
    for (auto _ : state) {
        std::memset(buffer->baseAddress(), value, buffer->dataSize());
        benchmark::DoNotOptimize(buffer->baseAddress());
        benchmark::ClobberMemory();
        value ^= 1;
    }
}
BENCHMARK(BM_MediaBuffer_Baseline_Memset1080pBGRA)->Unit(benchmark::kMillisecond);

void BM_MediaBuffer_MakeFrame1080p(benchmark::State& state, double noiseDensity) {
    const SyntheticFrameSource source{frameWidth, frameHeight};
    double time = 10.0;
    for (auto _ : state) {
        auto frame = source.makeFrame(time, noiseDensity);
        benchmark::DoNotOptimize(frame->baseAddress());
        time += 1.0 / 60.0;
    }
}
BENCHMARK_CAPTURE(BM_MediaBuffer_MakeFrame1080p, noise0, 0.0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MediaBuffer_MakeFrame1080p, noise0_05, 0.05)->Unit(benchmark::kMillisecond);

std::size_t storageBytes1080p420f() {
    return PixelBuffer::create(frameWidth, frameHeight, PixelFormat::yuv420BiPlanarFullRange).buffer->dataSize();
}

// Fresh pages every time: what a frame costs when its storage comes straight from the system.
void BM_MediaBuffer_Baseline_MapTouchUnmap1080p420f(benchmark::State& state) {
    const std::size_t size = storageBytes1080p420f();
    for (auto _ : state) {
        void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            state.SkipWithError("mmap failed");
            break;
        }
        auto* data = static_cast<std::uint8_t*>(mapped);
        for (std::size_t offset = 0; offset < size; offset += 4096) data[offset] = 1;
        benchmark::DoNotOptimize(data);
        munmap(mapped, size);
    }
}
BENCHMARK(BM_MediaBuffer_Baseline_MapTouchUnmap1080p420f)->Unit(benchmark::kNanosecond);

// The C allocator with one size in a loop (glibc raises its mapping threshold and keeps the block).
void BM_MediaBuffer_Baseline_AllocTouchFree1080p420f(benchmark::State& state) {
    const std::size_t size = storageBytes1080p420f();
    for (auto _ : state) {
        auto* data = static_cast<std::uint8_t*>(std::aligned_alloc(PixelBuffer::rowAlignment, size));
        for (std::size_t offset = 0; offset < size; offset += 4096) data[offset] = 1;
        benchmark::DoNotOptimize(data);
        std::free(data);
    }
}
BENCHMARK(BM_MediaBuffer_Baseline_AllocTouchFree1080p420f)->Unit(benchmark::kNanosecond);

void BM_MediaBuffer_CreateRelease1080p420f(benchmark::State& state) {
    PixelBuffer::create(frameWidth, frameHeight, PixelFormat::yuv420BiPlanarFullRange);  // warm the free list
    for (auto _ : state) {
        auto result = PixelBuffer::create(frameWidth, frameHeight, PixelFormat::yuv420BiPlanarFullRange);
        benchmark::DoNotOptimize(result.buffer->baseAddress());
    }
}
BENCHMARK(BM_MediaBuffer_CreateRelease1080p420f)->Unit(benchmark::kNanosecond);

}  // namespace
}  // namespace mivodrell
