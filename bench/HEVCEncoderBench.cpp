// Encode time per frame through HEVCEncoder::encode (colour conversion, copies and the hop to
// the session's thread included) next to raw x265_encoder_encode of the same frames already in
// I420, with the same x265 settings, in the same run. Also the BT.709 conversion against
// libyuv's BT.601 ARGBToI420.

#include "CaptureMac/HEVCEncoder.h"
#include "CaptureMac/SyntheticFrameSource.h"
#include "Platform/Media/ColorConversion.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Base/WorkerPool.h"

#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <x265.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace mivodrell {
namespace {

constexpr int frameCount = 8;
constexpr std::int64_t bitrate = 8'000'000;

// Background, a bar moving across, and 2 % of the 6x6 cells in random colours.
std::shared_ptr<PixelBuffer> syntheticFrame(int w, int h, double time) {
    return SyntheticFrameSource{w, h}.makeFrame(time, 0.02);
}

std::vector<std::shared_ptr<PixelBuffer>> frames(int w, int h) {
    std::vector<std::shared_ptr<PixelBuffer>> out;
    for (int i = 0; i < frameCount; ++i) out.push_back(syntheticFrame(w, h, i / 60.0));
    return out;
}

void BM_HEVCEncoderEncode(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const auto source = frames(w, h);
    HEVCEncoder encoder(w, h, HEVCEncoder::Configuration{}, true);
    encoder.apply({1.0, bitrate, 2.0, 30.0});
    std::uint32_t id = 0;
    for (; id < 3; ++id) encoder.encode(source[id], id, MediaTime::make(std::int64_t{id} * 1500, 90000), false);
    std::size_t bytes = 0;
    for (auto _ : state) {
        const EncodedFrame f = encoder.encode(source[id % frameCount], id, MediaTime::make(std::int64_t{id} * 1500, 90000), false);
        ++id;
        bytes += f.payload.size();
        benchmark::DoNotOptimize(f);
    }
    state.counters["bytes/frame"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
    state.counters["threads"] = WorkerPool::defaultThreadCount(4);
}

// The same settings the session opens x265 with (superfast, zerolatency, rd 3, no psy tuning,
// level 5.1 pinned, 8 Mbit/s average with a 10 Mbit/s one-second rate buffer).
void BM_X265RawEncode(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const auto source = frames(w, h);
    const int threads = WorkerPool::defaultThreadCount(4);
    const std::string pools = std::to_string(threads);
    x265_param* p = x265_param_alloc();
    x265_param_default_preset(p, "superfast", "zerolatency");
    p->logLevel = X265_LOG_NONE;
    p->sourceWidth = w;
    p->sourceHeight = h;
    p->internalCsp = X265_CSP_I420;
    p->maxCUSize = 32;
    p->numaPools = pools.c_str();
    p->frameNumThreads = 1;
    p->keyframeMax = -1;
    p->bOpenGOP = 0;
    p->bRepeatHeaders = 0;
    p->bAnnexB = 0;
    p->bEmitInfoSEI = 0;
    p->bEmitVUITimingInfo = 0;
    p->psyRd = 0;
    p->psyRdoq = 0;
    p->rdLevel = 3;
    p->levelIdc = 51;
    p->fpsNum = 60000;
    p->fpsDenom = 1000;
    p->rc.rateControlMode = X265_RC_ABR;
    p->rc.bitrate = 8000;
    p->rc.vbvMaxBitrate = 10000;
    p->rc.vbvBufferSize = 10000;
    p->vui.bEnableVideoSignalTypePresentFlag = 1;
    p->vui.bEnableColorDescriptionPresentFlag = 1;
    p->vui.colorPrimaries = p->vui.transferCharacteristics = p->vui.matrixCoeffs = 1;
    x265_param_apply_profile(p, "main");
    x265_encoder* encoder = x265_encoder_open(p);
    if (!encoder) {
        state.SkipWithError("x265 did not open");
        x265_param_free(p);
        return;
    }
    // The frames converted once, before timing.
    const std::size_t ySize = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    std::vector<std::vector<std::uint8_t>> i420(frameCount, std::vector<std::uint8_t>(ySize * 3 / 2));
    for (int i = 0; i < frameCount; ++i) {
        auto& buf = i420[static_cast<std::size_t>(i)];
        I420Planes planes{buf.data(), w, buf.data() + ySize, w / 2, buf.data() + ySize * 5 / 4, w / 2};
        convertPixelBufferToI420(*source[static_cast<std::size_t>(i)], w, h, planes, nullptr);
    }
    x265_picture picture;
    x265_picture_init(p, &picture);
    x265_picture output;
    x265_picture_init(p, &output);
    picture.stride[0] = w;
    picture.stride[1] = picture.stride[2] = w / 2;
    std::int64_t index = 0;
    std::size_t bytes = 0;
    auto encodeOne = [&] {
        auto& buf = i420[static_cast<std::size_t>(index % frameCount)];
        picture.planes[0] = buf.data();
        picture.planes[1] = buf.data() + ySize;
        picture.planes[2] = buf.data() + ySize * 5 / 4;
        picture.pts = index++;
        x265_nal* nals = nullptr;
        std::uint32_t count = 0;
        x265_encoder_encode(encoder, &nals, &count, &picture, &output);
        for (std::uint32_t n = 0; n < count; ++n) bytes += nals[n].sizeBytes;
    };
    for (int i = 0; i < 3; ++i) encodeOne();
    bytes = 0;
    for (auto _ : state) encodeOne();
    state.counters["bytes/frame"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
    state.counters["threads"] = threads;
    x265_encoder_close(encoder);
    p->numaPools = nullptr;
    x265_param_free(p);
}

void BM_BGRAToI420BT709(benchmark::State& state) {
    const int w = 1920, h = 1080;
    const auto source = syntheticFrame(w, h, 0.25);
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(w * h) * 3 / 2);
    I420Planes planes{buf.data(), w, buf.data() + w * h, w / 2, buf.data() + w * h * 5 / 4, w / 2};
    const int threads = static_cast<int>(state.range(0));
    WorkerPool pool(threads);
    for (auto _ : state) {
        convertPixelBufferToI420(*source, w, h, planes, threads > 1 ? &pool : nullptr);
        benchmark::ClobberMemory();
    }
    state.counters["threads"] = threads;
}

void BM_LibyuvARGBToI420BT601(benchmark::State& state) {
    const int w = 1920, h = 1080;
    const auto source = syntheticFrame(w, h, 0.25);
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(w * h) * 3 / 2);
    for (auto _ : state) {
        libyuv::ARGBToI420(source->baseAddress(), static_cast<int>(source->bytesPerRow()), buf.data(), w,
                           buf.data() + w * h, w / 2, buf.data() + w * h * 5 / 4, w / 2, w, h);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_HEVCEncoderEncode)->Args({1920, 1080})->Args({2560, 1440})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_X265RawEncode)->Args({1920, 1080})->Args({2560, 1440})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BGRAToI420BT709)->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_LibyuvARGBToI420BT601)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace mivodrell
