// Camera and microphone delivery costs. A 1280 x 720 camera frame as YUYV and as Motion-JPEG is
// turned into a delivered BGRA sample buffer (fresh pixel buffer, conversion, sample) next to the
// bare library call into a buffer made once: libyuv's YUY2ToARGB and libjpeg-turbo's decode (the
// goal is within 10 % of each). libyuv's own JPEG path is measured too, for reference. The
// microphone's engine path wraps one 1024-frame stereo block as a sample buffer.

#include "CaptureMac/CameraCaptureSession.h"
#include "Platform/Base/Clock.h"
#include "Platform/Device/V4L2/V4L2FrameConverter.h"

#include <benchmark/benchmark.h>
// libyuv declares its JPEG entry points only for builds with JPEG support, which Debian's is.
#define HAVE_JPEG 1
#include <libyuv/convert_argb.h>
#include <turbojpeg.h>

#include <cmath>
#include <vector>

namespace {

using mivodrell::V4L2FrameConverter;

constexpr int width = 1280;
constexpr int height = 720;

std::vector<std::uint8_t> yuyvFrame() {
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(2 * width * height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < 2 * width; ++x) {
            frame[static_cast<std::size_t>(y) * 2 * width + static_cast<std::size_t>(x)] =
                static_cast<std::uint8_t>((x % 2) ? 128 + ((x / 2 + y) % 64) : 16 + (x + 3 * y) % 220);
        }
    }
    return frame;
}

// A camera-like picture (gradients and some texture), compressed as a webcam would: 4:2:2.
std::vector<std::uint8_t> mjpegFrame() {
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(4 * width * height));
    std::uint32_t noise = 1;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            auto* p = bgra.data() + 4 * (static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x));
            p[0] = static_cast<std::uint8_t>(x * 255 / width);
            p[1] = static_cast<std::uint8_t>(y * 255 / height);
            p[2] = static_cast<std::uint8_t>(128 + 60 * std::sin(x * 0.05) + ((noise >> 24) & 15));
            p[3] = 255;
        }
    }
    tjhandle encoder = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(encoder, bgra.data(), width, 4 * width, height, TJPF_BGRA, &jpeg, &size, TJSAMP_422, 85, 0);
    std::vector<std::uint8_t> out(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(encoder);
    return out;
}

void BM_CameraYUYVDelivery(benchmark::State& state) {
    const auto frame = yuyvFrame();
    for (auto _ : state) {
        auto sample = V4L2FrameConverter::makeSampleBuffer(V4L2FrameConverter::yuyv, frame.data(), frame.size(), width,
                                                           height, 0, mivodrell::MediaTime::make(0, 1));
        benchmark::DoNotOptimize(sample);
    }
}
BENCHMARK(BM_CameraYUYVDelivery)->Unit(benchmark::kMicrosecond);

void BM_CameraYUYVBaseline_libyuv(benchmark::State& state) {
    const auto frame = yuyvFrame();
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(4 * width * height));
    for (auto _ : state) {
        libyuv::YUY2ToARGB(frame.data(), 2 * width, bgra.data(), 4 * width, width, height);
        benchmark::DoNotOptimize(bgra.data());
    }
}
BENCHMARK(BM_CameraYUYVBaseline_libyuv)->Unit(benchmark::kMicrosecond);

void BM_CameraMJPEGDelivery(benchmark::State& state) {
    const auto frame = mjpegFrame();
    for (auto _ : state) {
        auto sample = V4L2FrameConverter::makeSampleBuffer(V4L2FrameConverter::mjpeg, frame.data(), frame.size(), width,
                                                           height, 0, mivodrell::MediaTime::make(0, 1));
        benchmark::DoNotOptimize(sample);
    }
    state.counters["jpegKiB"] = static_cast<double>(frame.size()) / 1024.0;
}
BENCHMARK(BM_CameraMJPEGDelivery)->Unit(benchmark::kMicrosecond);

void BM_CameraMJPEGBaseline_turbojpeg(benchmark::State& state) {
    const auto frame = mjpegFrame();
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(4 * width * height));
    tjhandle decoder = tjInitDecompress();
    for (auto _ : state) {
        tjDecompress2(decoder, frame.data(), frame.size(), bgra.data(), width, 4 * width, height, TJPF_BGRA, 0);
        benchmark::DoNotOptimize(bgra.data());
    }
    tjDestroy(decoder);
}
BENCHMARK(BM_CameraMJPEGBaseline_turbojpeg)->Unit(benchmark::kMicrosecond);

void BM_CameraMJPEGReference_libyuv(benchmark::State& state) {
    const auto frame = mjpegFrame();
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(4 * width * height));
    for (auto _ : state) {
        libyuv::MJPGToARGB(frame.data(), frame.size(), bgra.data(), 4 * width, width, height, width, height);
        benchmark::DoNotOptimize(bgra.data());
    }
}
BENCHMARK(BM_CameraMJPEGReference_libyuv)->Unit(benchmark::kMicrosecond);

void BM_MicrophoneBlockToSampleBuffer(benchmark::State& state) {
    mivodrell::PCMBuffer block;
    block.format = {48000, 2, false};
    block.frameLength = 1024;
    for (int c = 0; c < 2; ++c) {
        mivodrell::AudioBuffer channel;
        channel.data.resize(1024 * sizeof(float), 0x11);
        block.audioBufferList.push_back(std::move(channel));
    }
    const auto clock = mivodrell::Clock::system();
    std::int64_t sampleTime = 0;
    for (auto _ : state) {
        auto sample = mivodrell::CameraCaptureSession::makeSampleBuffer(block, {true, sampleTime}, *clock);
        sampleTime += 1024;
        benchmark::DoNotOptimize(sample);
    }
}
BENCHMARK(BM_MicrophoneBlockToSampleBuffer)->Unit(benchmark::kMicrosecond);

}  // namespace
