// The main job's parts: the recorder (read back with libavformat), link, playback gate, audio times.

#include "AudioPacketTimes.h"
#include "ControllerPlayback.h"
#include "LossyLink.h"
#include "MatroskaWriter.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace mivodrell::stream {
namespace {

std::vector<std::uint8_t> bytes(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Records "K100" (a keyframe at 100 s), "v100.5" (another frame), "a100.02" (an audio packet)... and
// reads back each track's milliseconds: "video / audio". The parameter sets are x265's for 64 x 64.
std::string recorded(const std::string& writes) {
    const std::string path = std::filesystem::temp_directory_path() / ("writer-" + std::to_string(getpid()) + ".mkv");
    auto writer = std::get<std::unique_ptr<MatroskaWriter>>(MatroskaWriter::create(path, true));
    writer->setVideoFormat({64, 64,
                            {bytes("40010c01ffff01600000030090000003000003001eba0240"),
                             bytes("42010101600000030090000003000003001ea020810596eae4c2e6a020202008"), bytes("4401c1718112")},
                            4});
    writer->setAudioFormat({16000, 2, {0x14, 0x10}});
    const std::vector<std::uint8_t> unit{0, 0, 0, 2, 0x26, 0x01};
    std::istringstream list(writes);
    for (std::string w; list >> w;) {
        const double t = std::stod(w.substr(1));
        EXPECT_FALSE(w[0] == 'a' ? writer->writeAudio(unit, t) : writer->writeVideo(unit, w[0] == 'K', t));
    }
    EXPECT_FALSE(writer->finish());
    std::string video, audio;
    AVFormatContext* format = nullptr;
    AVPacket* packet = av_packet_alloc();
    const bool open = avformat_open_input(&format, path.c_str(), nullptr, nullptr) == 0;
    while (open && av_read_frame(format, packet) >= 0) {
        (format->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? video : audio) +=
            std::to_string(packet->pts) + " ";
        av_packet_unref(packet);
    }
    av_packet_free(&packet), avformat_close_input(&format), std::filesystem::remove(path);
    return video + "/ " + audio;
}

TEST(MatroskaWriter, BothTracksCountFromTheFirstKeyframeAndKeepWhatSharesAMillisecond) {
    // Audio before the first keyframe is left out; the packets of one audio buffer share a time.
    EXPECT_EQ(recorded("v99.9 a99.99 K100 a100.02 a100.02 v100.0334 a100.5"), "0 33 / 20 20 500 ");
    // Going back in time, or a time that is not a number, is dropped.
    EXPECT_EQ(recorded("K6 v5.9 vnan anan a6.2 a6.1 v6.1"), "0 100 / 200 ");
}

TEST(MatroskaWriter, EachWriterHasATemporaryNameOfItsOwnAndLeavesNothingUnfinished) {
    const std::string path = std::filesystem::temp_directory_path() / ("twice-" + std::to_string(getpid()) + ".mkv");
    auto first = std::get<std::unique_ptr<MatroskaWriter>>(MatroskaWriter::create(path, false));
    auto second = std::get<std::unique_ptr<MatroskaWriter>>(MatroskaWriter::create(path, false));
    const std::string temporary = first->temporaryPath();
    EXPECT_TRUE(temporary != second->temporaryPath() && std::filesystem::exists(temporary));
    EXPECT_EQ(first->finish(), "no video was received");
    first.reset();
    EXPECT_FALSE(std::filesystem::exists(temporary) || std::filesystem::exists(path));
}

TEST(LossyLink, DeliversWhatItsProbabilitiesSayAndTheSameForTheSameSeed) {
    const auto delivered = [](LossyLink::Configuration configuration, int count) {
        std::string out;
        LossyLink link(configuration, [&](std::span<const std::uint8_t> d) { out += char('0' + d[0]); });
        for (int n = 1; n <= count; ++n) link.send(std::vector<std::uint8_t>{std::uint8_t(n)});
        link.flush();
        EXPECT_EQ(std::int64_t(out.size()), link.counts().sent - link.counts().dropped + link.counts().duplicated);
        return out;
    };
    EXPECT_EQ(delivered({0, 0, 0, 1}, 4), "1234");
    EXPECT_EQ(delivered({NAN, -1, 2, 1}, 4), "1234");  // unusable probabilities count as 0
    // A datagram held behind the next is not lost when that one would be held too.
    EXPECT_EQ(delivered({0, 0, 1, 1}, 4), "2143");
    EXPECT_EQ(delivered({0, 1, 1, 1}, 4), "12213443");
    EXPECT_EQ(delivered({0.3, 0.1, 0.3, 7}, 200), delivered({0.3, 0.1, 0.3, 7}, 200));
}

TEST(ControllerPlayback, WaitsForAKeyframeAfterAGapAndAsksForItOncePerWait) {
    // Frames as they complete ("8K": frame 8, a keyframe); each one P played, s skipped, or R
    // skipped with a keyframe asked for.
    const auto played = [](const std::string& frames) {
        ControllerPlayback playback;
        std::istringstream list(frames);
        std::string got;
        for (std::string f; list >> f;) {
            const auto d = playback.frameCompleted(std::uint32_t(std::stoul(f)), f.back() == 'K');
            got += d.play ? (d.requestKeyframe ? '?' : 'P') : (d.requestKeyframe ? 'R' : 's');
        }
        return got;
    };
    EXPECT_EQ(played("1K 2 3"), "PPP");
    EXPECT_EQ(played("1K 2 4 5 7 8K 9"), "PPRssPP");
    EXPECT_EQ(played("5 6 7K 8"), "RsPP");
    EXPECT_EQ(played("4294967295K 0 2K 4"), "PPPR");
}

TEST(AudioPacketTimes, APacketBeginsWhereItsSoundWasCapturedLessThePriming) {
    auto times = std::make_shared<AudioPacketTimes>();
    times->setOutputRate(16000);
    EXPECT_EQ(times->packetTime(5.0), 5.0);  // no buffer seen yet: the time handed over
    for (int k = 0; k < 10; ++k) times->bufferSeen(100.0 + k * 1024 / 48000.0, 48000, 1024);
    times->bufferSeen(200.0, 48000, 1024);  // the capture skipped ahead
    for (const double expected : {100.0, 100.064, 100.128, 100.192}) EXPECT_NEAR(times->packetTime(101), expected, 1e-9);
    EXPECT_NEAR(times->packetTime(300), 200.0 + (4 * 3072 - 10240) / 48000.0, 1e-9);
    EXPECT_EQ(times->packetTime(150), 150);  // never after the time it was handed with
}

}  // namespace
}  // namespace mivodrell::stream
