#pragma once
// Test helpers: decode raw AAC access units with libavcodec's AAC decoder, make PCM test signals
// and measure them.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <optional>
#include <span>
#include <vector>
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}
namespace mivodrell::testing {
struct DecodedAudio {
    int sampleRate = 0;
    int channels = 0;
    int profile = FF_PROFILE_UNKNOWN;
    std::vector<std::vector<float>> planes;
    std::size_t frames() const { return planes.empty() ? 0 : planes[0].size(); }
};
// Opens the decoder with `config` as its AudioSpecificConfig. Nothing when it refuses.
inline AVCodecContext* openAACDecoder(std::span<const std::uint8_t> config) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    if (!context) return nullptr;
    if (!config.empty()) {
        context->extradata = static_cast<std::uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(context->extradata, config.data(), config.size());
        context->extradata_size = static_cast<int>(config.size());
    }
    if (avcodec_open2(context, codec, nullptr) < 0) {
        avcodec_free_context(&context);
        return nullptr;
    }
    return context;
}
// Decodes every packet (then drains the decoder). Nothing when the decoder refuses the config or
// a packet.
inline std::optional<DecodedAudio> decodeAAC(const std::vector<std::vector<std::uint8_t>>& packets,
                                             std::span<const std::uint8_t> config) {
    AVCodecContext* context = openAACDecoder(config);
    if (!context) return std::nullopt;
    DecodedAudio out;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    bool ok = true;
    const auto drain = [&] {
        while (avcodec_receive_frame(context, frame) == 0) {
            out.sampleRate = frame->sample_rate;
            out.channels = frame->ch_layout.nb_channels;
            if (out.planes.size() < static_cast<std::size_t>(out.channels)) out.planes.resize(static_cast<std::size_t>(out.channels));
            for (int c = 0; c < out.channels; ++c) {
                const auto* samples = reinterpret_cast<const float*>(frame->extended_data[c]);
                out.planes[static_cast<std::size_t>(c)].insert(out.planes[static_cast<std::size_t>(c)].end(), samples,
                                                               samples + frame->nb_samples);
            }
            av_frame_unref(frame);
        }
    };
    for (const auto& bytes : packets) {
        ok = av_new_packet(packet, static_cast<int>(bytes.size())) >= 0;
        if (!ok) break;
        std::memcpy(packet->data, bytes.data(), bytes.size());
        ok = avcodec_send_packet(context, packet) >= 0;
        av_packet_unref(packet);
        if (!ok) break;
        drain();
    }
    avcodec_send_packet(context, nullptr);
    drain();
    out.profile = context->profile;
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    if (!ok) return std::nullopt;
    return out;
}
// libavcodec's own encoder extradata for AAC-LC at `rate` with `channels`.
inline std::vector<std::uint8_t> libavEncoderExtradata(int rate, int channels) {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->sample_rate = rate;
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->bit_rate = 64000;
    av_channel_layout_default(&context->ch_layout, channels);
    std::vector<std::uint8_t> extradata;
    if (avcodec_open2(context, codec, nullptr) >= 0) {
        extradata.assign(context->extradata, context->extradata + context->extradata_size);
    }
    avcodec_free_context(&context);
    return extradata;
}
// The frequency of a periodic signal from its rising zero crossings (interpolated), over
// samples [from, to). Nothing when fewer than two crossings are found.
inline std::optional<double> zeroCrossingFrequency(std::span<const float> samples, std::size_t from, std::size_t to,
                                                   double sampleRate) {
    std::optional<double> first;
    double last = 0;
    int cycles = -1;
    for (std::size_t i = std::max<std::size_t>(from, 1); i < std::min(to, samples.size()); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            const double t = static_cast<double>(i - 1) + samples[i - 1] / (samples[i - 1] - samples[i]);
            if (!first) first = t;
            last = t;
            ++cycles;
        }
    }
    if (!first || cycles < 1) return std::nullopt;
    return cycles * sampleRate / (last - *first);
}
inline double rms(std::span<const float> samples, std::size_t from, std::size_t to) {
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = from; i < std::min(to, samples.size()); ++i, ++n) sum += double(samples[i]) * samples[i];
    return n ? std::sqrt(sum / double(n)) : 0.0;
}
// Sample `frame` of a sine of `frequency` Hz and `amplitude` at `rate`.
inline float sine(std::size_t frame, double frequency, double rate, double amplitude = 0.5) {
    return static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * frequency * double(frame) / rate));
}
}  // namespace mivodrell::testing
