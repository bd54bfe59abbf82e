#pragma once
// Records what the controller would play as a Matroska file that standard players open: one
// HEVC track (parameter sets in the track header and again before every keyframe, so a size
// change or a player that starts late still decodes) and, when asked for, one AAC track with its
// AudioSpecificConfig. Both tracks count in milliseconds from one origin, the presentation time
// of the first keyframe recorded, so sound and picture stamped on the same clock stay in step:
// audio from before that keyframe is left out.
//
// The file is written under a temporary name of its own next to the final one (created
// exclusively, so two writers for one path never share it) and renamed only by `finish`; a
// writer destroyed without it removes what it wrote, so nothing half written is left as if
// complete. When a write fails (a full disk), the writer refuses further packets; `finish` then
// cuts the file back to the last whole cluster written (a cluster holds at most a second) and
// keeps that under the final name: a recording without its index that players still play from
// the start. Nothing was kept when not even one cluster was written.
//
// The header waits until the format of every expected track is known; packets that arrive before
// it are held (a bounded number; when they overflow, the header goes out without the missing
// audio track) and video before the first keyframe is dropped. Packets going back in time, or
// with a time that is not a number, are dropped; packets sharing a millisecond are kept. Errors
// are returned as text; nothing throws. No lock: one owner uses it from one thread or queue.

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
    // Writes what is held and the trailer, closes and renames the file; after a failed write,
    // keeps the whole clusters written before it (see `kept`). Fails when no video was ever
    // written, or with the first write error.
    std::optional<std::string> finish();

    const Counts& counts() const { return counts_; }
    // Whether `finish` left a playable file under the final name.
    bool kept() const { return kept_; }
    // The presentation time recorded as time 0, once the header is written.
    std::optional<double> origin() const { return origin_; }
    const std::string& temporaryPath() const { return partialPath_; }
    static constexpr std::size_t maxHeldPackets = 4096;

private:
    struct Held {
        bool video = false;
        bool keyframe = false;
        double time = 0;
        std::vector<std::uint8_t> bytes;
    };

    MatroskaWriter(std::string path, std::string partialPath, int fd, bool withAudio);
    std::optional<std::string> hold(Held packet);
    std::optional<std::string> writeHeader();
    std::optional<std::string> writePacket(const Held& packet);
    std::optional<std::string> failed(std::string error);
    std::optional<std::string> keepWhatWasWritten();
    std::vector<std::uint8_t> annexB(std::span<const std::uint8_t> payload, bool withParameterSets) const;
    static int writeBytes(void* opaque, std::uint8_t* data, int size);
    static std::int64_t seekBytes(void* opaque, std::int64_t offset, int whence);

    std::string path_;
    std::string partialPath_;
    int fd_ = -1;
    bool withAudio_ = false;
    bool headerWritten_ = false;
    bool finished_ = false;
    bool kept_ = false;
    bool sawKeyframe_ = false;
    std::optional<VideoFormat> videoFormat_;
    std::optional<AudioFormat> audioFormat_;
    std::deque<Held> held_;
    AVFormatContext* context_ = nullptr;
    AVStream* videoStream_ = nullptr;
    AVStream* audioStream_ = nullptr;
    std::optional<double> origin_;
    std::int64_t lastVideoMs_ = -1;
    std::int64_t lastAudioMs_ = -1;
    // The file up to here holds whole elements (the header, then whole clusters).
    std::int64_t wholeBytes_ = 0;
    std::int64_t headerBytes_ = 0;
    std::optional<std::string> writeError_;
    Counts counts_;
};

}  // namespace mivodrell::stream
