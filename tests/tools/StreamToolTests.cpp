// The streaming tool run as a user runs it, its recording opened with libavformat and every
// packet decoded with libavcodec.

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct RunResult {
    int exitCode = -1;
    std::string output;  // standard output and error together
};

RunResult runTool(const std::vector<std::string>& arguments) {
    std::string command = MIVODRELL_STREAM_TOOL;
    for (const auto& argument : arguments) command += " '" + argument + "'";
    command += " 2>&1";
    RunResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> chunk{};
    while (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe)) result.output.append(chunk.data(), n);
    const int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

struct StreamSummary {
    int width = 0, height = 0;
    int videoFrames = 0, keyframes = 0, decodedPictures = 0, decodeErrors = 0;
    int audioSamples = 0, audioSampleRate = 0, audioChannels = 0;
    bool videoTimesIncrease = true, audioTimesIncrease = true;
    int videoStreams = 0, audioStreams = 0;
};

// Errors the decoders log (a picture referring to one that never arrived, for example).
std::atomic<int> loggedDecodeErrors{0};
void countDecoderErrors(void*, int level, const char*, va_list) {
    if (level <= AV_LOG_ERROR) ++loggedDecodeErrors;
}

// Opens the file and decodes every packet of every stream.
StreamSummary decodeRecording(const std::string& path) {
    StreamSummary s;
    loggedDecodeErrors = 0;
    av_log_set_callback(countDecoderErrors);
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return s;
    avformat_find_stream_info(format, nullptr);
    std::vector<AVCodecContext*> decoders(format->nb_streams, nullptr);
    std::vector<std::int64_t> lastPts(format->nb_streams, INT64_MIN);
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVCodecParameters* parameters = format->streams[i]->codecpar;
        if (parameters->codec_id == AV_CODEC_ID_HEVC) {
            ++s.videoStreams;
            s.width = parameters->width;
            s.height = parameters->height;
        } else if (parameters->codec_id == AV_CODEC_ID_AAC) {
            ++s.audioStreams;
        } else {
            continue;
        }
        const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
        decoders[i] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoders[i], parameters);
        decoders[i]->thread_count = 1;
        if (avcodec_open2(decoders[i], codec, nullptr) < 0) avcodec_free_context(&decoders[i]);
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const auto drain = [&](AVCodecContext* decoder, bool video) {
        while (avcodec_receive_frame(decoder, frame) == 0) {
            if (video) {
                ++s.decodedPictures;
            } else {
                s.audioSamples += frame->nb_samples;
                s.audioSampleRate = frame->sample_rate;
                s.audioChannels = frame->ch_layout.nb_channels;
            }
        }
    };
    while (av_read_frame(format, packet) >= 0) {
        AVCodecContext* decoder = decoders[packet->stream_index];
        if (decoder) {
            const bool video = decoder->codec_id == AV_CODEC_ID_HEVC;
            if (video) {
                ++s.videoFrames;
                s.keyframes += (packet->flags & AV_PKT_FLAG_KEY) != 0;
            }
            auto& last = lastPts[packet->stream_index];
            if (packet->pts <= last) (video ? s.videoTimesIncrease : s.audioTimesIncrease) = false;
            last = packet->pts;
            if (avcodec_send_packet(decoder, packet) < 0) ++s.decodeErrors;
            drain(decoder, video);
        }
        av_packet_unref(packet);
    }
    for (AVCodecContext* decoder : decoders) {
        if (!decoder) continue;
        avcodec_send_packet(decoder, nullptr);
        drain(decoder, decoder->codec_id == AV_CODEC_ID_HEVC);
        avcodec_free_context(&decoder);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avformat_close_input(&format);
    av_log_set_callback(av_log_default_callback);
    s.decodeErrors += loggedDecodeErrors;
    return s;
}

fs::path scratch(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("mivodrell-stream-test-" + std::to_string(getpid()));
    fs::create_directories(dir);
    return dir / name;
}

// A figure of the tool's closing summary ("  keyframes              4").
long summaryFigure(const std::string& output, const std::string& name) {
    const auto at = output.find("\n  " + name + " ");
    return at == std::string::npos ? -1 : std::strtol(output.c_str() + at + name.size() + 3, nullptr, 10);
}

TEST(StreamTool, TwoSecondsOverALossyLinkWithAudioDecodeCleanly) {
    const fs::path out = scratch("lossy.mkv");
    // Seed 36 spares the first 88 packets, so the stream's opening keyframes always arrive.
    const RunResult run = runTool({"--seconds", "2", "--loss", "5", "--seed", "36", "--audio", "--phone", "640x360",
                                   "--output", out.string()});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("summary"), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(out.string() + ".partial"));

    const StreamSummary s = decodeRecording(out.string());
    // The composite output planner: 640 x 360 controller pixels at the normal output scale 1.1
    // (704 x 396), on the encoder's 16-pixel grid.
    EXPECT_EQ(std::tuple(s.videoStreams, s.audioStreams, s.width, s.height), std::tuple(1, 1, 704, 400));
    // 2 s at the encoder policy's 30 fps ceiling (a slow machine makes fewer). After a loss the
    // controller plays nothing until the next keyframe: the recording holds exactly the frames
    // the summary says were recorded.
    const long encoded = summaryFigure(run.output, "frames encoded");
    EXPECT_GE(encoded, 20) << run.output;
    EXPECT_LE(encoded, 64) << run.output;
    EXPECT_EQ(s.videoFrames, summaryFigure(run.output, "frames recorded")) << run.output;
    EXPECT_GE(s.videoFrames, 1);
    EXPECT_EQ(s.decodeErrors, 0);
    EXPECT_GE(s.decodedPictures, s.videoFrames - 1);
    EXPECT_TRUE(s.videoTimesIncrease && s.audioTimesIncrease);
    EXPECT_GE(s.keyframes, 1);
    EXPECT_EQ(std::pair(s.audioSampleRate, s.audioChannels), std::pair(16000, 2));
    EXPECT_GE(s.audioSamples, 16000);  // at least one of the two seconds
}

TEST(StreamTool, HeavyLossMakesTheControllerAskForKeyframesAndTheCoordinatorSendsThem) {
    const fs::path out = scratch("heavy.mkv");
    const RunResult run = runTool({"--seconds", "3", "--loss", "30", "--phone", "320x180", "--output", out.string()});
    // With this much loss the controller may complete no keyframe at all; then nothing is
    // recorded and the tool says so (exit 3), which is also a clear outcome.
    ASSERT_TRUE(run.exitCode == 0 || run.exitCode == 3) << run.output;
    EXPECT_GE(summaryFigure(run.output, "keyframe requests"), 1) << run.output;
    // The first keyframe opens the stream; a requested one follows a loss (2 s apart at most).
    EXPECT_GE(summaryFigure(run.output, "keyframes"), 2) << run.output;
    if (run.exitCode == 0) EXPECT_EQ(decodeRecording(out.string()).decodeErrors, 0);
    else EXPECT_FALSE(fs::exists(out));
}

TEST(StreamTool, BadOptionsAndAnUnwritableOutputFailClearly) {
    const struct {
        std::vector<std::string> arguments;
        const char* message;
    } cases[] = {
        {{"--seconds", "zero"}, "--seconds takes"},
        {{"--loss", "101"}, "--loss takes"},
        {{"--phone", "100"}, "--phone takes"},
        {{"--viewport", "spin"}, "--viewport takes"},
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"--output"}, "--output needs a value"},
        {{"--seconds", "1", "--output", "/proc/mivodrell/out.mkv"}, "cannot write /proc/mivodrell/out.mkv"},
        {{"--seconds", "1", "--source", "x11", "--display", ":97531"}, "cannot open X display :97531"},
    };
    for (const auto& c : cases) {
        const RunResult run = runTool(c.arguments);
        EXPECT_NE(run.exitCode, 0) << c.message;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("terminate called"), std::string::npos) << run.output;
    }
    const RunResult help = runTool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("usage: mivodrell-stream"), std::string::npos);
}

}  // namespace
