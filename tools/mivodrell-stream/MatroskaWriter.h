#pragma once
// Records what the controller would play as a Matroska file that standard players open: one
// HEVC track (parameter sets in the track header and again before every keyframe, so a size
// change or a player that starts late still decodes) and, when asked for, one AAC track with its
// AudioSpecificConfig. Presentation times are kept, in milliseconds from each track's first
// packet.
//
// The file is written under a temporary name and renamed only by a successful `finish`; a writer
// destroyed without it removes what it wrote, so nothing half written is left as if complete.
// The header waits until the format of every expected track is known; packets that arrive before
// it are held (a bounded number; beyond that the oldest go) and video before the first keyframe
// is dropped. Packets going back in time are dropped. Errors are returned as text; nothing
// throws. No lock: one owner uses it from one thread or queue.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

struct AVFormatContext;
struct AVStream;

namespace mivodrell::stream {

class MatroskaWriter {
public:
    struct VideoFormat {
        int width = 0;
        int height = 0;
        std::vector<std::vector<std::uint8_t>> parameterSets;  // without start codes or lengths
        int nalUnitHeaderLength = 4;
    };
    struct AudioFormat {
        int sampleRate = 0;
        int channelCount = 0;
        std::vector<std::uint8_t> audioSpecificConfig;
    };
    struct Counts {
        std::int64_t videoFrames = 0;
        std::int64_t keyframes = 0;
        std::int64_t audioPackets = 0;
        std::int64_t dropped = 0;
    };

    // Creates the file's temporary sibling; an error names the file and the reason.
    static std::variant<std::unique_ptr<MatroskaWriter>, std::string> create(const std::string& path, bool withAudio);
    ~MatroskaWriter();
    MatroskaWriter(const MatroskaWriter&) = delete;
    MatroskaWriter& operator=(const MatroskaWriter&) = delete;

    void setVideoFormat(const VideoFormat& format);
    void setAudioFormat(const AudioFormat& format);
    // `payload` holds NAL units each behind a big-endian length of the format's header length.
    std::optional<std::string> writeVideo(std::span<const std::uint8_t> payload, bool isKeyframe, double presentationTime);
    std::optional<std::string> writeAudio(std::span<const std::uint8_t> packet, double presentationTime);
    // Writes what is held and the trailer, closes and renames the file. Fails when no video was
    // ever written.
    std::optional<std::string> finish();

    const Counts& counts() const { return counts_; }
    static constexpr std::size_t maxHeldPackets = 4096;

private:
    struct Held {
        bool video = false;
        bool keyframe = false;
        double time = 0;
        std::vector<std::uint8_t> bytes;
    };

    MatroskaWriter(std::string path, std::string partialPath, bool withAudio);
    std::optional<std::string> writeHeader();
    std::optional<std::string> writePacket(const Held& packet);
    std::vector<std::uint8_t> annexB(std::span<const std::uint8_t> payload, bool withParameterSets) const;

    std::string path_;
    std::string partialPath_;
    bool withAudio_ = false;
    bool headerWritten_ = false;
    bool finished_ = false;
    bool sawKeyframe_ = false;
    std::optional<VideoFormat> videoFormat_;
    std::optional<AudioFormat> audioFormat_;
    std::deque<Held> held_;
    AVFormatContext* context_ = nullptr;
    AVStream* videoStream_ = nullptr;
    AVStream* audioStream_ = nullptr;
    // Each track counts from its own first packet: video times come from the host clock, audio
    // times from the audio stream's sample count.
    std::optional<double> videoOrigin_;
    std::optional<double> audioOrigin_;
    std::int64_t lastVideoMs_ = -1;
    std::int64_t lastAudioMs_ = -1;
    Counts counts_;
};

}  // namespace mivodrell::stream
