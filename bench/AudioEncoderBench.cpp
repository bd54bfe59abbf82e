// AudioEncoder throughput: 10 s of 48 kHz stereo float PCM in 1024-frame non-interleaved buffers,
// encoded to 16 kHz stereo at 16 kbit/s and to 48 kHz stereo at 128 kbit/s. The baseline drives
// libavcodec's AAC encoder directly on the same PCM (with libswresample where the rate changes).
// The "realtime" counter is audio seconds per CPU second.

#include "CaptureMac/AudioEncoder.h"
#include "Platform/Base/FourCC.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

namespace {

using mivodrell::AudioEncoder;
using mivodrell::SampleBuffer;

constexpr int inputRate = 48000;
constexpr int seconds = 10;
constexpr int totalFrames = inputRate * seconds;
constexpr int blockFrames = 1024;

// Music-like test signal: two tones and a little noise per channel.
struct Pcm {
    std::vector<float> planes[2];
    std::vector<SampleBuffer> buffers;

    Pcm() {
        std::uint32_t noise = 12345;
        for (int c = 0; c < 2; ++c) {
            planes[c].resize(totalFrames);
            for (int f = 0; f < totalFrames; ++f) {
                noise = noise * 1664525u + 1013904223u;
                const double t = double(f) / inputRate;
                planes[c][static_cast<std::size_t>(f)] = static_cast<float>(
                    0.3 * std::sin(2 * std::numbers::pi * (440.0 + 110.0 * c) * t) +
                    0.2 * std::sin(2 * std::numbers::pi * 3150.0 * t) + 0.02 * (double(noise >> 8) / 16777216.0 - 0.5));
            }
        }
        mivodrell::AudioStreamDescription format;
        format.sampleRate = inputRate;
        format.formatID = mivodrell::fourCC("lpcm");
        format.formatFlags = mivodrell::AudioFormatFlag::isFloat | mivodrell::AudioFormatFlag::isPacked |
                             mivodrell::AudioFormatFlag::isNonInterleaved;
        format.bitsPerChannel = 32;
        format.bytesPerFrame = format.bytesPerPacket = 4;
        format.framesPerPacket = 1;
        format.channelsPerFrame = 2;
        for (int start = 0; start < totalFrames; start += blockFrames) {
            const int frames = std::min(blockFrames, totalFrames - start);
            SampleBuffer buffer;
            buffer.audioFormat = format;
            buffer.sampleCount = frames;
            buffer.presentationTime = mivodrell::MediaTime::make(start, inputRate);
            std::vector<mivodrell::AudioBuffer> list(2);
            for (int c = 0; c < 2; ++c) {
                list[static_cast<std::size_t>(c)].data.resize(static_cast<std::size_t>(frames) * 4);
                std::memcpy(list[static_cast<std::size_t>(c)].data.data(), planes[c].data() + start,
                            static_cast<std::size_t>(frames) * 4);
            }
            buffer.audioBufferList = std::move(list);
            buffers.push_back(std::move(buffer));
        }
    }
};

const Pcm& pcm() {
    static const Pcm instance;
    return instance;
}

void setCounters(benchmark::State& state, std::size_t bytes) {
    state.counters["realtime"] = benchmark::Counter(seconds, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["kbit/s"] = double(bytes) * 8 / seconds / 1000;
}

void BM_AudioEncoder(benchmark::State& state, double outputRate, std::uint32_t bitrate) {
    const Pcm& input = pcm();
    std::size_t bytes = 0;
    for (auto _ : state) {
        AudioEncoder encoder({outputRate, 2, bitrate});
        bytes = 0;
        for (const auto& buffer : input.buffers) {
            for (const auto& packet : encoder.encode(buffer)) bytes += packet.size();
        }
        benchmark::DoNotOptimize(bytes);
    }
    setCounters(state, bytes);
}

// libavcodec alone: planes to 1024-frame frames (through libswresample and a FIFO when the rate
// changes), send, receive.
void BM_AudioEncoderBareLibav(benchmark::State& state, int outputRate, std::int64_t bitrate) {
    av_log_set_level(AV_LOG_ERROR);
    const Pcm& input = pcm();
    std::size_t bytes = 0;
    for (auto _ : state) {
        const AVCodec* codec = avcodec_find_encoder_by_name("aac");
        AVCodecContext* context = avcodec_alloc_context3(codec);
        context->sample_rate = outputRate;
        context->sample_fmt = AV_SAMPLE_FMT_FLTP;
        context->bit_rate = bitrate;
        av_channel_layout_default(&context->ch_layout, 2);
        if (avcodec_open2(context, codec, nullptr) < 0) {
            state.SkipWithError("avcodec_open2");
            return;
        }
        SwrContext* swr = nullptr;
        AVAudioFifo* fifo = nullptr;
        std::vector<float> scratch[2];
        if (outputRate != inputRate) {
            swr_alloc_set_opts2(&swr, &context->ch_layout, AV_SAMPLE_FMT_FLTP, outputRate, &context->ch_layout,
                                AV_SAMPLE_FMT_FLTP, inputRate, 0, nullptr);
            swr_init(swr);
            fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 2, 2048);
            for (auto& s : scratch) s.resize(2048);
        }
        AVFrame* frame = av_frame_alloc();
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->nb_samples = blockFrames;
        av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
        av_frame_get_buffer(frame, 0);
        AVPacket* packet = av_packet_alloc();
        bytes = 0;
        const auto encodeFrame = [&] {
            avcodec_send_frame(context, frame);
            while (avcodec_receive_packet(context, packet) == 0) {
                bytes += static_cast<std::size_t>(packet->size);
                av_packet_unref(packet);
            }
        };
        for (int start = 0; start + blockFrames <= totalFrames; start += blockFrames) {
            av_frame_make_writable(frame);
            if (!swr) {
                for (int c = 0; c < 2; ++c) {
                    std::memcpy(frame->data[c], input.planes[c].data() + start, blockFrames * sizeof(float));
                }
                encodeFrame();
                continue;
            }
            const std::uint8_t* in[2] = {reinterpret_cast<const std::uint8_t*>(input.planes[0].data() + start),
                                         reinterpret_cast<const std::uint8_t*>(input.planes[1].data() + start)};
            std::uint8_t* out[2] = {reinterpret_cast<std::uint8_t*>(scratch[0].data()),
                                    reinterpret_cast<std::uint8_t*>(scratch[1].data())};
            const int made = swr_convert(swr, out, 2048, in, blockFrames);
            av_audio_fifo_write(fifo, reinterpret_cast<void**>(out), made);
            while (av_audio_fifo_size(fifo) >= blockFrames) {
                av_frame_make_writable(frame);
                av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->data), blockFrames);
                encodeFrame();
            }
        }
        benchmark::DoNotOptimize(bytes);
        av_packet_free(&packet);
        av_frame_free(&frame);
        av_audio_fifo_free(fifo);
        swr_free(&swr);
        avcodec_free_context(&context);
    }
    setCounters(state, bytes);
}

BENCHMARK_CAPTURE(BM_AudioEncoder, to16kHz_16kbps, 16000.0, 16000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_AudioEncoderBareLibav, to16kHz_16kbps, 16000, 16000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_AudioEncoder, to48kHz_128kbps, 48000.0, 128000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_AudioEncoderBareLibav, to48kHz_128kbps, 48000, 128000)->Unit(benchmark::kMillisecond);

}  // namespace
