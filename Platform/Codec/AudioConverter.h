#pragma once
// Audio formats, audio buffers and the audio converter that turns 32-bit float PCM into AAC-LC
// packets.
//
// The converter works by pulling: `convert` fills a compressed output buffer with one packet and
// asks an input block for PCM frames whenever it needs more. Each call ends with one of four
// results: a packet is ready (haveData), the input block had nothing right now (inputRanDry; the
// frames already taken stay buffered inside the converter), the input ended and everything has
// been drained (endOfStream), or a failure with a description (error).
//
// `AudioConverter::make` builds the real converter: libavcodec's native AAC-LC encoder, with
// libswresample for rate and channel conversion and a sample FIFO cutting 1024-frame frames. Tests
// may substitute another implementation through an `AudioConverterFactory`.

#include "Platform/Base/FourCC.h"
#include "Platform/Base/PlatformError.h"
#include "Platform/Media/SampleBuffer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace mivodrell {

namespace AudioFormatID {
inline constexpr std::uint32_t linearPCM = fourCC("lpcm");
inline constexpr std::uint32_t mpeg4AAC = fourCC("aac ");
}  // namespace AudioFormatID

// An audio format: a stream description plus, for compressed formats, the decoder configuration
// bytes ("magic cookie").
class AudioFormat {
public:
    // The largest channel count a format may have.
    static constexpr std::uint32_t maximumChannelCount = 64;

    // 32-bit native-endian float linear PCM. Nothing when the rate is not finite and positive or
    // the channel count is 0 or above maximumChannelCount.
    static std::optional<AudioFormat> makeFloat32PCM(double sampleRate, std::uint32_t channelCount,
                                                     bool interleaved);
    // The format a stream description names. Nothing when the rate is not finite and positive,
    // the channel count is 0 or above maximumChannelCount, or the format identifier is 0. A format
    // made this way carries no magic cookie.
    static std::optional<AudioFormat> make(const AudioStreamDescription& description);

    const AudioStreamDescription& streamDescription() const { return description_; }
    double sampleRate() const { return description_.sampleRate; }
    std::uint32_t channelCount() const { return description_.channelsPerFrame; }
    bool isFloat32PCM() const;
    bool isInterleaved() const;
    // Decoder configuration bytes; empty when the format carries none.
    const std::vector<std::uint8_t>& magicCookie() const { return magicCookie_; }

private:
    explicit AudioFormat(const AudioStreamDescription& description) : description_(description) {}

    AudioStreamDescription description_;
    std::vector<std::uint8_t> magicCookie_;
};

// Non-interleaved 32-bit float PCM frames: one plane per channel.
class AudioPCMBuffer {
public:
    // A buffer for up to `frameCapacity` frames. Nothing when the format is not non-interleaved
    // 32-bit float PCM or the capacity is 0.
    static std::unique_ptr<AudioPCMBuffer> make(const AudioFormat& format, std::uint32_t frameCapacity);

    const AudioFormat& format() const { return format_; }
    std::uint32_t frameCapacity() const { return frameCapacity_; }
    std::uint32_t frameLength() const { return frameLength_; }
    // Sets the number of valid frames, at most the capacity.
    void setFrameLength(std::uint32_t frameLength);
    // The plane of `channel`; nullptr for a channel the format does not have.
    float* floatChannelData(std::uint32_t channel);
    const float* floatChannelData(std::uint32_t channel) const;

private:
    AudioPCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity);

    AudioFormat format_;
    std::uint32_t frameCapacity_;
    std::uint32_t frameLength_ = 0;
    std::vector<float> samples_;  // channel planes back to back, frameCapacity_ each
};

// Compressed packets of one format, stored back to back.
class AudioCompressedBuffer {
public:
    AudioCompressedBuffer(const AudioFormat& format, std::uint32_t packetCapacity,
                          std::uint32_t maximumPacketSize);

    const AudioFormat& format() const { return format_; }
    std::uint32_t packetCapacity() const { return packetCapacity_; }
    std::uint32_t maximumPacketSize() const { return maximumPacketSize_; }
    std::uint32_t packetCount() const { return packetCount_; }
    std::uint32_t byteLength() const { return static_cast<std::uint32_t>(bytes_.size()); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::span<const std::uint8_t> bytes() const { return bytes_; }

    // Appends one packet (converters call this). False, leaving the buffer unchanged, when the
    // buffer is full or the packet is larger than the maximum packet size.
    bool appendPacket(std::span<const std::uint8_t> packet);
    void clear();

private:
    AudioFormat format_;
    std::uint32_t packetCapacity_;
    std::uint32_t maximumPacketSize_;
    std::uint32_t packetCount_ = 0;
    std::vector<std::uint8_t> bytes_;
};

class AudioConverter {
public:
    enum class InputStatus { haveData, noDataNow, endOfStream };
    // A converter may in principle report other values; callers treat unknown ones as "no output".
    enum class OutputStatus : std::int32_t { haveData = 0, inputRanDry = 1, endOfStream = 2, error = 3 };

    struct InputResult {
        InputStatus status = InputStatus::noDataNow;
        std::unique_ptr<AudioPCMBuffer> buffer;  // with haveData: frames in the input format
    };
    // Called during `convert` only, with the number of frames the converter would like.
    using InputBlock = std::function<InputResult(std::uint32_t frameCount)>;

    struct ConversionResult {
        OutputStatus status = OutputStatus::error;
        std::optional<PlatformError> error;  // with `error`, when the converter can say more
    };

    // The libavcodec converter from non-interleaved 32-bit float PCM to AAC-LC. Nothing when the
    // pair is not supported: the input must be non-interleaved float PCM; the output must be
    // 'aac ' with 1 to 8 channels at a whole rate of the 13 MPEG-4 sampling frequencies.
    static std::unique_ptr<AudioConverter> make(const AudioFormat& input, const AudioFormat& output);

    virtual ~AudioConverter() = default;

    // The discrete bit rates the encoder accepts, in its preferred order; empty when it takes any.
    virtual std::vector<std::uint32_t> applicableEncodeBitRates() const = 0;
    virtual std::uint32_t bitRate() const = 0;
    // May be called while converting; the next packets follow the new rate.
    virtual void setBitRate(std::uint32_t bitRate) = 0;
    // The largest packet the converter writes.
    virtual std::uint32_t maximumOutputPacketSize() const = 0;
    // Clears `output`, then writes at most one packet into it.
    virtual ConversionResult convert(AudioCompressedBuffer& output, const InputBlock& input) = 0;
    // Drops everything buffered and starts over as if newly made (same formats and bit rate).
    virtual void reset() = 0;
};

using AudioConverterFactory =
    std::function<std::unique_ptr<AudioConverter>(const AudioFormat& input, const AudioFormat& output)>;

}  // namespace mivodrell
