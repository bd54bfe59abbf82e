// The streaming tool run as a user runs it, its recording opened with libavformat and every
// packet decoded with libavcodec; faults made real with a private X server, a file-size limit,
// signals and a closed pipe.

#include "support/XvfbServer.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using mivodrell::testing::XvfbServer;

fs::path scratch(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("mivodrell-stream-test-" + std::to_string(getpid()));
    fs::create_directories(dir);
    return dir / name;
}

// The tool in a child process, its output (status and messages) on a pipe we read.
struct Tool {
    pid_t pid = -1;
    FILE* status = nullptr;
    std::string printed;

    // `wrapper` (a program that runs the tool) and the tool with `arguments`; `pulse` as PULSE_SERVER.
    Tool(const std::vector<std::string>& arguments, std::vector<std::string> wrapper = {}, const char* pulse = nullptr) {
        int fds[2];
        if (pipe(fds) != 0) return;
        wrapper.push_back(MIVODRELL_STREAM_TOOL);
        wrapper.insert(wrapper.end(), arguments.begin(), arguments.end());
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            for (int fd = 3; fd < 1024; ++fd) close(fd);  // our end of the pipe above all
            if (pulse) setenv("PULSE_SERVER", pulse, 1);
            std::vector<char*> argv(wrapper.size() + 1);
            std::transform(wrapper.begin(), wrapper.end(), argv.begin(), [](std::string& a) { return a.data(); });
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        status = fdopen(fds[0], "r");
    }
    std::string line() {  // the next line (kept in `printed` too); empty at the end
        char text[512];
        const std::string l = status && std::fgets(text, sizeof text, status) ? text : "";
        return printed += l, l;
    }
    // Reads the rest of the output; the exit code, -1 after a signal.
    int finish() {
        while (!line().empty()) {}
        if (status) std::fclose(std::exchange(status, nullptr));
        int code = 0;
        waitpid(pid, &code, 0);
        return WIFEXITED(code) ? WEXITSTATUS(code) : -1;
    }
};

// Runs the tool to its end: the exit code and the output.
std::pair<int, std::string> runTool(const std::vector<std::string>& arguments, const char* pulse = nullptr) {
    Tool tool(arguments, {}, pulse);
    return {tool.finish(), tool.printed};
}

struct StreamSummary {
    int width = 0, height = 0, videoStreams = 0, audioStreams = 0, videoFrames = 0, pictures = 0, decodeErrors = 0;
    int audioSamples = 0, audioRate = 0, audioChannels = 0, timesIncrease = true;
    double firstAudio = -1;  // seconds
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
        const bool video = parameters->codec_id == AV_CODEC_ID_HEVC;
        (video ? s.videoStreams : s.audioStreams) += 1;
        if (video) std::tie(s.width, s.height) = std::pair(parameters->width, parameters->height);
        const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
        decoders[i] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoders[i], parameters);
        if (avcodec_open2(decoders[i], codec, nullptr) < 0) avcodec_free_context(&decoders[i]);
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    // Every packet, then an empty one per decoder to drain it.
    for (bool reading = true; reading || !decoders.empty();) {
        reading = reading && av_read_frame(format, packet) >= 0;
        AVCodecContext* decoder = reading ? decoders[packet->stream_index] : decoders.back();
        if (!reading) decoders.pop_back();
        if (!decoder) continue;
        const bool video = decoder->codec_id == AV_CODEC_ID_HEVC;
        if (reading) {
            s.videoFrames += video;
            if (!video && s.firstAudio < 0) s.firstAudio = double(packet->pts) / 1000;  // Matroska counts milliseconds
            // A track never goes back in time (the packets of one audio buffer may share a millisecond).
            auto& last = lastPts[packet->stream_index];
            s.timesIncrease = s.timesIncrease && packet->pts >= last + (video ? 1 : 0);
            last = packet->pts;
        }
        if (avcodec_send_packet(decoder, reading ? packet : nullptr) < 0) ++s.decodeErrors;
        for (; avcodec_receive_frame(decoder, frame) == 0; s.pictures += video) {
            if (!video) std::tie(s.audioRate, s.audioChannels) = std::pair(frame->sample_rate, frame->ch_layout.nb_channels);
            s.audioSamples += video ? 0 : frame->nb_samples;
        }
        if (!reading) avcodec_free_context(&decoder);
        av_packet_unref(packet);
    }
    av_frame_free(&frame), av_packet_free(&packet);
    avformat_close_input(&format);
    av_log_set_callback(av_log_default_callback);
    s.decodeErrors += loggedDecodeErrors;
    return s;
}

// A figure of the tool's closing summary ("  keyframes              4").
long summaryFigure(const std::string& output, const std::string& name) {
    const auto at = output.find("\n  " + name + " ");
    return at == std::string::npos ? -1 : std::strtol(output.c_str() + at + name.size() + 3, nullptr, 10);
}

bool leftPartialFiles() {
    const fs::directory_iterator files(scratch("").parent_path());
    return std::any_of(begin(files), end(files), [](const auto& f) { return f.path().extension() == ".partial"; });
}

TEST(StreamTool, TwoSecondsOverALossyLinkWithAudioDecodeCleanlyAndInStep) {
    const fs::path out = scratch("lossy.mkv"), log = scratch("made/for/the/log.txt");
    // Seed 36 spares the first 88 packets, so the stream's opening keyframes always arrive.
    const auto [code, output] = runTool({"--seconds", "2", "--loss", "5", "--seed", "36", "--audio", "--phone", "640x360",
                                         "--output", out.string(), "--log", log.string()});
    ASSERT_EQ(code, 0) << output;
    EXPECT_TRUE(!leftPartialFiles() && fs::file_size(log) > 0);
    const StreamSummary s = decodeRecording(out.string());
    // 640 x 360 controller pixels at the output scale 1.1 (704 x 396), on the encoder's 16-pixel grid.
    EXPECT_EQ(std::tuple(s.videoStreams, s.audioStreams, s.width, s.height), std::tuple(1, 1, 704, 400));
    // 2 s at the policy's 30 fps ceiling (a slow machine makes fewer); the recording holds what
    // the summary says was recorded.
    const long encoded = summaryFigure(output, "frames encoded");
    EXPECT_TRUE(encoded >= 20 && encoded <= 64) << output;
    EXPECT_EQ(s.videoFrames, summaryFigure(output, "frames recorded")) << output;
    EXPECT_TRUE(s.videoFrames >= 1 && s.pictures >= s.videoFrames - 1 && s.decodeErrors == 0 && s.timesIncrease);
    EXPECT_EQ(std::pair(s.audioRate, s.audioChannels), std::pair(16000, 2));
    // Sound and picture share time 0: the tone begins with the first picture (within an AAC frame).
    EXPECT_TRUE(s.firstAudio >= 0 && s.firstAudio < 0.07) << s.firstAudio;
    EXPECT_GE(s.audioSamples, 16000 * s.videoFrames / 30 - 8000);
}

TEST(StreamTool, HeavyLossMakesTheControllerAskForKeyframesAndTheCoordinatorSendsThem) {
    const fs::path out = scratch("heavy.mkv");
    const auto [code, output] = runTool({"--seconds", "3", "--loss", "30", "--phone", "320x180", "--output", out.string()});
    // With this much loss no keyframe may complete: then nothing is recorded and the tool says so.
    ASSERT_TRUE(code == 0 || code == 3) << output;
    EXPECT_TRUE(summaryFigure(output, "keyframe requests") >= 1 && summaryFigure(output, "keyframes") >= 2) << output;
    EXPECT_TRUE(code == 0 ? decodeRecording(out.string()).decodeErrors == 0 : !fs::exists(out));
}

TEST(StreamTool, WhatCannotWorkIsRefusedBeforeStreamingWithOneMessage) {
    std::string why;
    const auto x = XvfbServer::start(640, 480, why);
    const std::string fifo = scratch("fifo"), link = scratch("link.mkv"), folder = scratch("folder");
    mkfifo(fifo.c_str(), 0644);
    fs::create_directories(folder);
    fs::create_symlink(scratch("elsewhere.mkv"), link);
    const struct {
        std::vector<std::string> arguments;
        int exitCode;
        const char* message;
    } cases[] = {
        {{"--phone", "100"}, 2, "--phone takes"},
        {{"--frobnicate"}, 2, "unknown option --frobnicate"},
        {{"--output"}, 2, "--output needs a value"},
        {{"--source", "x11", "--displays", "2"}, 2, "--displays goes with --source virtual"},
        {{"--phone", "16x4000"}, 2, "makes 16x4400 pictures, which the HEVC encoder cannot take"},
        {{"--phone", "7680x7680"}, 2, "makes 8192x8192 pictures, which the HEVC encoder cannot take"},
        {{"--output", "/proc/mivodrell/out.mkv"}, 1, "cannot make the folder /proc/mivodrell"},
        {{"--output", folder}, 1, "is a folder"},
        {{"--output", link}, 1, "exists and is not a regular file"},
        {{"--output", "/dev/null"}, 1, "exists and is not a regular file"},
        {{"--log", fifo}, 1, "is not a regular file"},
        {{"--source", "x11", "--display", ":97531"}, 1, "cannot open X display :97531"},
        {{"--source", "x11", "--display", x ? x->display() : ":97531", "--audio"}, 1, x ? "no PulseAudio server" : ":97531"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"--seconds", "1", "--output", scratch("refused.mkv")};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const auto [code, output] = runTool(arguments, "unix:/nonexistent/pulse");
        EXPECT_EQ(code, c.exitCode) << c.message;
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
        EXPECT_TRUE(output.find("summary") == std::string::npos && !fs::exists(scratch("refused.mkv"))) << output;
    }
    EXPECT_TRUE(fs::is_symlink(link) && fs::is_fifo(fifo));
    if (!x) GTEST_SKIP() << why;
}

TEST(StreamTool, StopsAtOnceWhenToldOrWhenCaptureOrTheDiskFailsKeepingWhatWasRecorded) {
    std::string why;
    const auto x = XvfbServer::start(640, 480, why);
    if (x && x->xrandr({"--setmonitor", "LEFT", "320/100x480/100+0+0", "none"}))
        x->xrandr({"--setmonitor", "RIGHT", "320/100x480/100+320+0", "none"});
    const struct {
        bool x11;
        std::vector<std::string> wrapper;
        std::function<void(Tool&)> act;  // after the first status line
        int exitCode;
        const char* message;
    } cases[] = {
        {false, {}, [](Tool& t) { kill(t.pid, SIGINT); }, 130, "stopped by SIGINT"},
        {false, {}, [](Tool& t) { kill(t.pid, SIGHUP); }, 130, "stopped by SIGHUP"},
        {false, {}, [](Tool& t) { std::fclose(std::exchange(t.status, nullptr)); }, 130, "/20 s"},  // no more is read
        // The file may grow to 20 kB: about two seconds of this stream.
        {false, {"prlimit", "--fsize=20000"}, nullptr, 4, "cannot write to "},
        // A monitor removed, then added again: the job follows, saying so once each time.
        {true, {}, [&](Tool& t) {
             x->xrandr({"--delmonitor", "LEFT"});
             for (std::string l = " "; !l.empty() && l.rfind("  ", 0) != 0;) l = t.line();  // to the next status
             x->xrandr({"--setmonitor", "LEFT", "320/100x480/100+0+0", "none"});
         }, 0, "LEFT 320x480+0+0"},  // said when it came back, so its removal was noticed too
        {true, {}, [&](Tool&) { x->stop(); }, 4, "lost the X server"},
    };
    for (const auto& c : cases) {
        if (c.x11 && !x) continue;
        const fs::path out = scratch("stopped.mkv");
        std::vector<std::string> arguments{"--seconds", "20", "--phone", "320x180", "--output", out.string()};
        if (c.x11) arguments.insert(arguments.end(), {"--source", "x11", "--display", x->display(), "--seconds", "3"});
        Tool tool(arguments, c.wrapper);
        EXPECT_NE(tool.line(), "");
        if (c.act) c.act(tool);
        EXPECT_EQ(tool.finish(), c.exitCode) << c.message;
        const auto at = tool.printed.find(c.message);  // said once
        EXPECT_TRUE(at != std::string::npos && at == tool.printed.rfind(c.message)) << tool.printed;
        const StreamSummary s = decodeRecording(out.string());
        EXPECT_TRUE(s.videoFrames >= 1 && s.decodeErrors == 0 && !leftPartialFiles() &&
                    tool.printed.find("unknown error") == std::string::npos) << tool.printed;
        fs::remove(out);
    }
    if (!x) GTEST_SKIP() << why;
}

}  // namespace
