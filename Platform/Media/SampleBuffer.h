#pragma once
// A media sample as the capture and encoding code sees it: a video frame (pixel buffer), an
// encoded frame (data bytes plus a format description with parameter sets) or a block of audio
// (stream description plus an audio buffer list), with its presentation time and attachments.
// It carries only what the engine reads; fields that do not apply stay empty.

#include "Platform/Media/MediaTime.h"
#include "Platform/Media/PixelBuffer.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace mivodrell {

class AttachmentDictionary;

// A typed attachment value: integer, double, Boolean, string or a nested dictionary.
class AttachmentValue {
public:
    AttachmentValue() : storage_(std::int64_t{0}) {}
    AttachmentValue(std::int64_t v) : storage_(v) {}
    AttachmentValue(int v) : storage_(std::int64_t{v}) {}
    AttachmentValue(double v) : storage_(v) {}
    AttachmentValue(bool v) : storage_(v) {}
    AttachmentValue(std::string v) : storage_(std::move(v)) {}
    AttachmentValue(const char* v) : storage_(std::string(v)) {}
    AttachmentValue(AttachmentDictionary v);

    // A number read as an integer: integers as they are, doubles by their integer part when it
    // fits (a number object converts either way); nothing for other kinds.
    std::optional<std::int64_t> asInteger() const;
    // A number read as a double (integers widen); nothing for other kinds.
    std::optional<double> asDouble() const;
    // Booleans only.
    std::optional<bool> asBool() const;
    const std::string* asString() const;
    const AttachmentDictionary* asDictionary() const;

private:
    // Dictionaries are immutable once stored, so copies of a value share them.
    std::variant<std::int64_t, double, bool, std::string, std::shared_ptr<const AttachmentDictionary>> storage_;
};

// An ordered string-keyed dictionary of attachment values.
class AttachmentDictionary {
public:
    const AttachmentValue* find(std::string_view key) const;
    void set(std::string key, AttachmentValue value);
    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }
    const std::vector<std::pair<std::string, AttachmentValue>>& entries() const { return entries_; }

private:
    std::vector<std::pair<std::string, AttachmentValue>> entries_;
};

// Common attachment keys.
namespace AttachmentKey {
inline constexpr std::string_view notSync = "NotSync";
inline constexpr std::string_view frameStatus = "Status";
inline constexpr std::string_view contentRect = "ContentRect";
inline constexpr std::string_view contentScale = "ContentScale";
inline constexpr std::string_view scaleFactor = "ScaleFactor";
// Keys of a rectangle's dictionary form.
inline constexpr std::string_view rectX = "X";
inline constexpr std::string_view rectY = "Y";
inline constexpr std::string_view rectWidth = "Width";
inline constexpr std::string_view rectHeight = "Height";
}  // namespace AttachmentKey

// Audio stream description (the linear PCM fields the engine reads).
struct AudioStreamDescription {
    double sampleRate = 0;
    std::uint32_t formatID = 0;  // 'lpcm', 'aac ', ...
    std::uint32_t formatFlags = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t framesPerPacket = 0;
    std::uint32_t bytesPerFrame = 0;
    std::uint32_t channelsPerFrame = 0;
    std::uint32_t bitsPerChannel = 0;

    friend bool operator==(const AudioStreamDescription&, const AudioStreamDescription&) = default;
};

namespace AudioFormatFlag {
inline constexpr std::uint32_t isFloat = 1u << 0;
inline constexpr std::uint32_t isBigEndian = 1u << 1;
inline constexpr std::uint32_t isSignedInteger = 1u << 2;
inline constexpr std::uint32_t isPacked = 1u << 3;
inline constexpr std::uint32_t isNonInterleaved = 1u << 5;
}  // namespace AudioFormatFlag

// One buffer of an audio buffer list: its channel count and its bytes.
struct AudioBuffer {
    std::uint32_t numberChannels = 1;
    std::vector<std::uint8_t> data;
};

// The format description of an encoded video stream.
struct VideoFormatDescription {
    std::uint32_t codecType = 0;  // 'hvc1'
    int width = 0;
    int height = 0;
    std::vector<std::vector<std::uint8_t>> parameterSets;  // VPS, SPS, PPS for HEVC
    int nalUnitHeaderLength = 4;
};

struct SampleBuffer {
    bool valid = true;
    MediaTime presentationTime;
    MediaTime duration;
    // The sample attachments array; absent when never created. Entries are normally dictionaries,
    // but anything may arrive, so readers check.
    std::optional<std::vector<AttachmentValue>> attachments;

    // Video frame.
    std::shared_ptr<PixelBuffer> imageBuffer;

    // Encoded video.
    std::optional<VideoFormatDescription> videoFormat;
    std::optional<std::vector<std::uint8_t>> dataBuffer;

    // Audio.
    std::optional<AudioStreamDescription> audioFormat;
    std::optional<std::vector<AudioBuffer>> audioBufferList;  // absent: cannot be obtained
    std::int64_t sampleCount = 0;

    // The first attachment dictionary, when the array exists and starts with a dictionary.
    const AttachmentDictionary* firstAttachments() const;
};

using SampleBufferRef = std::shared_ptr<const SampleBuffer>;

}  // namespace mivodrell
