// Encode time per frame through HEVCEncoder::encode (colour conversion, copies, the hop to the
// session's thread and the real-time tuning included) next to raw x265 `ultrafast`/`zerolatency`
// at the same bitrate on the same frames (already in I420, so the raw figure has no conversion),
// in the same run. Each benchmark encodes one second of warm-up and then four seconds of 60 fps
// frames, and reports the median and 99th percentile milliseconds per frame, the PSNR of the
// decoded output (libavcodec) against a plain BT.709 conversion of the source, the bitrate, and
// the CPU time of every thread per frame.
//
// Content: desktop-like (text, flat areas, a typed line, a moving window) and the noisy synthetic
// frames (a moving bar and 2 % random 6 x 6 cells). Frames are played forwards and backwards so
// the motion never jumps. With MIVODRELL_BENCH_SCREEN_FRAMES=FILE@WxH (raw 'BGRA' frames grabbed
// from a screen at 30 fps, as bench/stream-goals.sh makes them) the same runs also take those
// frames, at 30 fps with the main job's encoder settings (12 Mbit/s, a keyframe every 3 s).
//
// For fewer cores run the whole binary confined (bench/run-hevc-bench.sh does it properly:
// `taskset` alone does not hold libx265's pool threads). Also the BT.709 conversion against
// libyuv's BT.601 ARGBToI420.

#include "CaptureMac/HEVCEncoder.h"
#include "CaptureMac/SyntheticFrameSource.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Base/WorkerPool.h"
#include "Platform/Codec/X265CompressionSession.h"
#include "Platform/Media/ColorConversion.h"
#include "Platform/Media/PixelBuffer.h"
#include "tests/support/DesktopTestFrames.h"
#include "tests/support/HEVCTestDecoder.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libyuv.h>
#include <x265.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <memory>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

namespace mivodrell {
namespace {

constexpr int distinctFrames = 24;
constexpr int warmupFrames = 60;
constexpr int timedFrames = 240;
constexpr std::int64_t bitrate = 8'000'000;

enum Content : std::int64_t { desktop = 0, noisy = 1, screen = 2 };

struct Source {
    std::vector<std::shared_ptr<PixelBuffer>> bgra;
    std::vector<testing::YUVPicture> reference;  // plain BT.709 video range
    double frameRate = 60;
    EncoderSettings settings{1.0, bitrate, 4.0, 60.0};

    // Frame n of the forwards-and-backwards sequence.
    std::size_t index(int n) const {
        const int count = static_cast<int>(bgra.size());
        if (count < 2) return 0;
        const int period = 2 * count - 2;
        const int k = n % period;
        return static_cast<std::size_t>(k < count ? k : period - k);
    }
};

// The grabbed screen frames named by MIVODRELL_BENCH_SCREEN_FRAMES (FILE@WxH), at most 150.
Source screenSource(int& w, int& h) {
    Source s;
    const char* spec = std::getenv("MIVODRELL_BENCH_SCREEN_FRAMES");
    const char* at = spec ? std::strrchr(spec, '@') : nullptr;
    if (!at || std::sscanf(at + 1, "%dx%d", &w, &h) != 2 || w < 16 || h < 16) return s;
    std::FILE* file = std::fopen(std::string(spec, at).c_str(), "rb");
    if (!file) return s;
    std::vector<std::uint8_t> row(static_cast<std::size_t>(w) * 4);
    for (int i = 0; i < 150; ++i) {
        auto frame = PixelBuffer::create(w, h, PixelFormat::bgra).buffer;
        bool complete = true;
        for (int y = 0; y < h && complete; ++y) {
            complete = std::fread(row.data(), 1, row.size(), file) == row.size();
            std::memcpy(frame->baseAddress() + static_cast<std::size_t>(y) * frame->bytesPerRow(), row.data(), row.size());
        }
        if (!complete) break;
        s.bgra.push_back(frame);
        s.reference.push_back(testing::referenceI420(*frame));
    }
    std::fclose(file);
    s.frameRate = 30;
    s.settings = {1.0, 12'000'000, 3.0, 30.0};
    return s;
}

Source makeSource(int& w, int& h, std::int64_t content) {
    if (content == screen) return screenSource(w, h);
    Source s;
    for (int i = 0; i < distinctFrames; ++i) {
        s.bgra.push_back(content == desktop ? testing::makeDesktopFrame(w, h, i)
                                            : SyntheticFrameSource{w, h}.makeFrame(i / 60.0, 0.02));
        s.reference.push_back(testing::referenceI420(*s.bgra.back()));
    }
    return s;
}

struct Timings {
    std::vector<double> ms;
    std::vector<std::vector<std::uint8_t>> payloads;
    std::vector<std::size_t> sourceIndex;
    double cpuMs = 0;  // every thread of the process, timed frames only
};

double processCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void report(benchmark::State& state, Timings& t, const Source& source,
            const std::vector<std::vector<std::uint8_t>>& parameterSets) {
    std::vector<double> sorted = t.ms;
    std::sort(sorted.begin(), sorted.end());
    const auto at = [&](double q) { return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(q * sorted.size()))]; };
    state.counters["median_ms"] = at(0.5);
    state.counters["mean_ms"] = std::accumulate(t.ms.begin(), t.ms.end(), 0.0) / static_cast<double>(t.ms.size());
    state.counters["p99_ms"] = at(0.99);
    state.counters["cpu_ms"] = t.cpuMs / static_cast<double>(t.ms.size());
    // Decode everything (warm-up included, a decoder needs the whole stream) and compare the timed part.
    testing::HEVCTestDecoder decoder(parameterSets);
    double psnrSum = 0;
    std::size_t bytes = 0;
    int measured = 0;
    for (std::size_t i = 0; i < t.payloads.size(); ++i) {
        const auto pictures = decoder.decode(t.payloads[i]);
        if (i < warmupFrames) continue;
        bytes += t.payloads[i].size();
        if (pictures.size() == 1) {
            psnrSum += testing::psnr(pictures[0], source.reference[t.sourceIndex[i]]);
            ++measured;
        }
    }
    state.counters["psnr_dB"] = measured ? psnrSum / measured : 0;
    state.counters["kbit/s"] = static_cast<double>(bytes) * 8 / 1000 / (timedFrames / source.frameRate);
    state.counters["cores"] = availableCoreCount();
}

void BM_HEVCEncoderEncode(benchmark::State& state) {
    int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const Source source = makeSource(w, h, state.range(2));
    if (source.bgra.empty()) {
        state.SkipWithError("no frames: set MIVODRELL_BENCH_SCREEN_FRAMES=FILE@WxH");
        return;
    }
    const auto timeOf = [&](int n) { return MediaTime::fromSeconds(n / source.frameRate, 90000); };
    for (auto _ : state) {
        HEVCEncoder encoder(w, h, HEVCEncoder::Configuration{}, true);
        std::vector<std::vector<std::uint8_t>> sets;
        encoder.onFormatDescriptionAvailable = [&](const auto& s, std::int32_t) { sets = s; };
        encoder.apply(source.settings);
        Timings t;
        for (int n = 0; n < warmupFrames + timedFrames; ++n) {
            const std::size_t k = source.index(n);
            const auto pts = timeOf(n);
            const double c0 = processCpuMs();
            const auto t0 = std::chrono::steady_clock::now();
            const EncodedFrame f = encoder.encode(source.bgra[k], static_cast<std::uint32_t>(n), pts, false);
            const auto t1 = std::chrono::steady_clock::now();
            if (n >= warmupFrames) {
                t.ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
                t.cpuMs += processCpuMs() - c0;
            }
            t.payloads.emplace_back(f.payload.begin(), f.payload.end());
            t.sourceIndex.push_back(k);
        }
        state.PauseTiming();
        report(state, t, source, sets);
        state.ResumeTiming();
    }
}

// x265 as a user would set it up for live streaming: ultrafast, zerolatency, 8 Mbit/s average
// with a one-second rate buffer, the worker pool over every available core.
void BM_X265UltrafastRaw(benchmark::State& state) {
    int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const Source source = makeSource(w, h, state.range(2));
    if (source.bgra.empty()) {
        state.SkipWithError("no frames: set MIVODRELL_BENCH_SCREEN_FRAMES=FILE@WxH");
        return;
    }
    const std::string pools = std::to_string(availableCoreCount());
    for (auto _ : state) {
        x265_param* p = x265_param_alloc();
        x265_param_default_preset(p, "ultrafast", "zerolatency");
        p->logLevel = X265_LOG_NONE;
        p->sourceWidth = w;
        p->sourceHeight = h;
        p->internalCsp = X265_CSP_I420;
        p->numaPools = pools.c_str();
        p->keyframeMax = -1;
        p->bRepeatHeaders = 0;
        p->bAnnexB = 0;
        p->fpsNum = static_cast<std::uint32_t>(source.frameRate);
        p->fpsDenom = 1;
        p->rc.rateControlMode = X265_RC_ABR;
        p->rc.bitrate = static_cast<int>(source.settings.bitrate / 1000);
        p->rc.vbvMaxBitrate = p->rc.vbvBufferSize = static_cast<int>(source.settings.bitrate / 1000);
        x265_param_apply_profile(p, "main");
        x265_encoder* encoder = x265_encoder_open(p);
        p->numaPools = nullptr;
        if (!encoder) {
            state.SkipWithError("x265 did not open");
            x265_param_free(p);
            return;
        }
        x265_nal* nals = nullptr;
        std::uint32_t count = 0;
        std::vector<std::vector<std::uint8_t>> sets;
        x265_encoder_headers(encoder, &nals, &count);
        for (std::uint32_t i = 0; i < count; ++i) sets.emplace_back(nals[i].payload + 4, nals[i].payload + nals[i].sizeBytes);
        x265_picture picture, output;
        x265_picture_init(p, &picture);
        x265_picture_init(p, &output);
        Timings t;
        for (int n = 0; n < warmupFrames + timedFrames; ++n) {
            const std::size_t k = source.index(n);
            auto& yuv = source.reference[k];
            picture.planes[0] = const_cast<std::uint8_t*>(yuv.y.data());
            picture.planes[1] = const_cast<std::uint8_t*>(yuv.u.data());
            picture.planes[2] = const_cast<std::uint8_t*>(yuv.v.data());
            picture.stride[0] = w;
            picture.stride[1] = picture.stride[2] = (w + 1) / 2;
            picture.pts = n;
            const double c0 = processCpuMs();
            const auto t0 = std::chrono::steady_clock::now();
            x265_encoder_encode(encoder, &nals, &count, &picture, &output);
            const auto t1 = std::chrono::steady_clock::now();
            if (n >= warmupFrames) {
                t.ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
                t.cpuMs += processCpuMs() - c0;
            }
            std::vector<std::uint8_t> au;
            for (std::uint32_t i = 0; i < count; ++i) au.insert(au.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
            t.payloads.push_back(std::move(au));
            t.sourceIndex.push_back(k);
        }
        x265_encoder_close(encoder);
        x265_param_free(p);
        state.PauseTiming();
        report(state, t, source, sets);
        state.ResumeTiming();
    }
}

void BM_BGRAToI420BT709(benchmark::State& state) {
    const int w = 1920, h = 1080;
    const auto source = SyntheticFrameSource{w, h}.makeFrame(0.25, 0.02);
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
    const auto source = SyntheticFrameSource{w, h}.makeFrame(0.25, 0.02);
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(w * h) * 3 / 2);
    for (auto _ : state) {
        libyuv::ARGBToI420(source->baseAddress(), static_cast<int>(source->bytesPerRow()), buf.data(), w,
                           buf.data() + w * h, w / 2, buf.data() + w * h * 5 / 4, w / 2, w, h);
        benchmark::ClobberMemory();
    }
}

// Ours and the raw encoder alternate, size by size and content by content, so that the load of
// a shared machine falls on both alike.
const bool registered = [] {
    for (std::int64_t content : {desktop, noisy, screen}) {
        if (content == screen && !std::getenv("MIVODRELL_BENCH_SCREEN_FRAMES")) continue;
        for (auto [w, h] : content == screen ? std::vector{std::pair{0, 0}} : std::vector{std::pair{1920, 1080}, std::pair{2560, 1440}}) {
            for (auto [name, fn] : {std::pair{"BM_HEVCEncoderEncode", &BM_HEVCEncoderEncode},
                                    std::pair{"BM_X265UltrafastRaw", &BM_X265UltrafastRaw}}) {
                benchmark::RegisterBenchmark(name, fn)
                    ->Args({w, h, content})
                    ->ArgNames({"w", "h", "noisy"})
                    ->Iterations(1)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
            }
        }
    }
    return true;
}();

BENCHMARK(BM_BGRAToI420BT709)->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_LibyuvARGBToI420BT601)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace mivodrell
