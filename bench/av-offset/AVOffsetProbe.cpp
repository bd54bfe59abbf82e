// The two halves of the A/V offset bench (bench/av-offset.sh).
//
//   AVOffsetProbe play SECONDS...   on $DISPLAY and the default PulseAudio sink: at each given
//                                   second after the start, a 1 kHz beep of 0.2 s begins to sound
//                                   and, at that very moment, the whole screen turns from black
//                                   to white or back; prints the host time (CLOCK_MONOTONIC) of
//                                   each such moment.
//   AVOffsetProbe measure FILE ORIGIN MOMENT...
//                                   decodes a recording whose time 0 is host time ORIGIN and
//                                   prints, for each moment, where the recording has the beep
//                                   (the sound's error) and the first frame showing the change
//                                   (the picture's lateness: frames are stamped when composited),
//                                   and the offset between the two (positive: sound late).
//
// The moment a beep sounds is when the sink plays its first sample: the stream's reported
// latency after the block holding it was written, less the part of the block after it.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}
#include <pulse/error.h>
#include <pulse/simple.h>
#include <xcb/xcb.h>

#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr int rate = 48000;
constexpr int block = 240;  // 5 ms

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void sleepUntil(double t) {
    while (now() < t) {
        const double left = t - now();
        timespec ts{0, long(std::min(left, 0.001) * 1e9)};
        nanosleep(&ts, nullptr);
    }
}

int play(int count, char** seconds) {
    xcb_connection_t* x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x)) return std::fprintf(stderr, "no X server\n"), 1;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
    const xcb_gcontext_t gc = xcb_generate_id(x);
    xcb_create_gc(x, gc, screen->root, 0, nullptr);
    const auto paint = [&](std::uint32_t colour) {
        xcb_change_gc(x, gc, XCB_GC_FOREGROUND, &colour);
        const xcb_rectangle_t all{0, 0, screen->width_in_pixels, screen->height_in_pixels};
        xcb_poly_fill_rectangle(x, screen->root, gc, 1, &all);
        free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr));  // drawn once answered
    };
    paint(0x000000);

    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate, 2};
    pa_buffer_attr attributes{};
    attributes.maxlength = attributes.prebuf = attributes.minreq = attributes.fragsize = std::uint32_t(-1);
    attributes.tlength = 4 * block * 2 * sizeof(float);  // 20 ms ahead of the sink
    int error = 0;
    pa_simple* sink = pa_simple_new(nullptr, "av-offset", PA_STREAM_PLAYBACK, nullptr, "beeps", &spec, nullptr,
                                    &attributes, &error);
    if (!sink) return std::fprintf(stderr, "no PulseAudio: %s\n", pa_strerror(error)), 1;

    std::vector<double> beeps;
    for (int i = 0; i < count; ++i) beeps.push_back(std::atof(seconds[i]));
    const double start = now();
    std::vector<float> samples(block * 2);
    bool white = false;
    std::size_t next = 0;
    std::int64_t beepSample = -1;  // position inside the beep being played
    while (next < beeps.size() || beepSample >= 0) {
        const bool starts = beepSample < 0 && next < beeps.size() && now() - start >= beeps[next];
        if (starts) beepSample = 0;
        for (int i = 0; i < block; ++i) {
            float v = 0;
            if (beepSample >= 0 && beepSample < rate / 5) {
                v = float(0.5 * std::sin(2 * std::numbers::pi * 1000.0 * double(beepSample) / rate));
                ++beepSample;
            }
            samples[std::size_t(2 * i)] = samples[std::size_t(2 * i + 1)] = v;
        }
        if (beepSample >= rate / 5) beepSample = -1;
        pa_simple_write(sink, samples.data(), samples.size() * sizeof(float), &error);
        if (starts) {
            // The block's first sample sounds after the whole buffered latency less this block.
            const double sounds = now() + double(pa_simple_get_latency(sink, &error)) * 1e-6 - double(block) / rate;
            sleepUntil(sounds);
            white = !white;
            paint(white ? 0xffffff : 0x000000);
            std::printf("%.6f\n", sounds);
            ++next;
        }
    }
    pa_simple_drain(sink, &error);
    pa_simple_free(sink);
    xcb_disconnect(x);
    return 0;
}

int measure(const char* path, double origin, std::vector<double> moments) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path, nullptr, nullptr) < 0) return std::fprintf(stderr, "cannot open %s\n", path), 1;
    avformat_find_stream_info(format, nullptr);
    std::vector<AVCodecContext*> decoders(format->nb_streams);
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVCodec* codec = avcodec_find_decoder(format->streams[i]->codecpar->codec_id);
        decoders[i] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoders[i], format->streams[i]->codecpar);
        decoders[i]->pkt_timebase = format->streams[i]->time_base;
        avcodec_open2(decoders[i], codec, nullptr);
    }
    std::vector<double> changes, onsets;
    double lastLuma = -1, lastLoud = -1;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const auto drain = [&](AVCodecContext* decoder, AVStream* stream) {
        while (avcodec_receive_frame(decoder, frame) == 0) {
            const double t = double(frame->best_effort_timestamp) * av_q2d(stream->time_base);
            if (decoder->codec_type == AVMEDIA_TYPE_VIDEO) {
                double sum = 0;
                for (int y = 0; y < frame->height; y += 4) {
                    for (int xp = 0; xp < frame->width; xp += 4) sum += frame->data[0][y * frame->linesize[0] + xp];
                }
                const double luma = sum / ((frame->height + 3) / 4) / ((frame->width + 3) / 4);
                if (lastLuma >= 0 && std::fabs(luma - lastLuma) > 60) changes.push_back(t);
                lastLuma = luma;
            } else {
                const auto* left = reinterpret_cast<const float*>(frame->data[0]);
                for (int i = 0; i < frame->nb_samples; ++i) {
                    const double ts = t + double(i) / frame->sample_rate;
                    if (std::fabs(left[i]) > 0.1) {
                        if (lastLoud < 0 || ts - lastLoud > 0.1) onsets.push_back(ts);
                        lastLoud = ts;
                    }
                }
            }
        }
    };
    while (av_read_frame(format, packet) >= 0) {
        AVCodecContext* decoder = decoders[std::size_t(packet->stream_index)];
        if (avcodec_send_packet(decoder, packet) == 0) drain(decoder, format->streams[packet->stream_index]);
        av_packet_unref(packet);
    }
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        avcodec_send_packet(decoders[i], nullptr);
        drain(decoders[i], format->streams[i]);
        avcodec_free_context(&decoders[i]);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avformat_close_input(&format);
    const auto nearest = [](const std::vector<double>& times, double t) {
        double best = NAN;
        for (const double x : times) {
            if (std::isnan(best) || std::fabs(x - t) < std::fabs(best - t)) best = x;
        }
        return best;
    };
    for (const double moment : moments) {
        const double at = moment - origin;
        const double sound = nearest(onsets, at), picture = nearest(changes, at);
        std::printf("beep at %.3f s: sound %+4.0f ms, picture %+4.0f ms, sound against picture %+4.0f ms\n", at,
                    (sound - at) * 1000, (picture - at) * 1000, (sound - picture) * 1000);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "play") == 0) return play(argc - 2, argv + 2);
    if (argc >= 5 && std::strcmp(argv[1], "measure") == 0) {
        std::vector<double> moments;
        for (int i = 4; i < argc; ++i) moments.push_back(std::atof(argv[i]));
        return measure(argv[2], std::atof(argv[3]), moments);
    }
    std::fprintf(stderr, "usage: AVOffsetProbe play SECONDS... | measure FILE ORIGIN MOMENT...\n");
    return 2;
}
