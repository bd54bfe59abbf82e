#pragma once
// AudioEncoder: PCM sample buffers in, raw AAC-LC access units out.
//
// The encoder learns the input format from the first buffer it is given, builds an audio
// converter from that format to AAC-LC at the configured output rate, channel count and bit rate,
// announces the output stream once through `onFormatDescriptionAvailable` (rate, channels and the
// decoder configuration bytes), and from then on returns zero or more packets per buffer. Input
// samples wait in one interleaved float array until a block of 1024 frames is there; each
// conversion makes at most one packet.
//
// No queue or lock of its own: the owner calls `encode`, `setBitrate` and `invalidate` from its
// serial queue; the callbacks run synchronously inside those calls.
//
// Input: linear PCM (an unset format identifier counts as linear PCM), 32-bit float or 16-/32-bit
// signed integer (converted to float), native endian, interleaved or one plane per channel; other
// sample formats are refused with invalidSampleBuffer. Every later buffer must have the first buffer's
// rate, channel count and layout, since the converter was built for it.
//
// Diagnostic capture: when the owner gives a directory (off by default), the first 8 seconds of
// raw input go into a Core Audio Format file there.

#include "Platform/Codec/AudioConverter.h"
#include "Platform/Media/SampleBuffer.h"

#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mivodrell {

class AudioDiagnosticCapture;

class AudioEncoder {
public:
    struct Configuration {
        double sampleRate = 16000.0;     // output (AAC) sample rate, Hz
        std::uint32_t channelCount = 2;  // output channels
        std::uint32_t bitrate = 16000;   // requested AAC bit rate, bits per second

        friend bool operator==(const Configuration&, const Configuration&) = default;
    };

    struct EncoderError : std::exception {
        enum class Kind { converterCreationFailed, convertFailed, noFormatDescription, invalidSampleBuffer };

        Kind kind;
        std::string message;  // converterCreationFailed and convertFailed only

        static EncoderError converterCreationFailed(std::string message) {
            return {Kind::converterCreationFailed, std::move(message)};
        }
        static EncoderError convertFailed(std::string description) {
            return {Kind::convertFailed, std::move(description)};
        }
        static EncoderError noFormatDescription() { return {Kind::noFormatDescription, {}}; }
        static EncoderError invalidSampleBuffer() { return {Kind::invalidSampleBuffer, {}}; }

        EncoderError(Kind k, std::string m);
        const char* what() const noexcept override { return text_.c_str(); }
        friend bool operator==(const EncoderError& a, const EncoderError& b) {
            return a.kind == b.kind && a.message == b.message;
        }

    private:
        std::string text_;
    };

    using Packet = std::vector<std::uint8_t>;
    using FormatDescriptionHandler =
        std::function<void(double sampleRate, std::int32_t channelCount, const std::vector<std::uint8_t>& magicCookie)>;

    // The MPEG-4 sampling frequency table, index 0 to 12.
    static constexpr std::array<double, 13> samplingFrequencies = {
        96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    static constexpr std::uint32_t framesPerBlock = 1024;
    static constexpr double diagnosticCaptureSeconds = 8.0;

    // Announces the output stream, once per encoder, inside the first `encode`.
    FormatDescriptionHandler onFormatDescriptionAvailable;
    std::function<void(const std::string&)> onDiagnostic;

    explicit AudioEncoder(Configuration configuration, AudioConverterFactory converterFactory = AudioConverter::make);
    ~AudioEncoder();  // invalidates first
    AudioEncoder(const AudioEncoder&) = delete;
    AudioEncoder& operator=(const AudioEncoder&) = delete;

    const Configuration& configuration() const { return configuration_; }

    // Encodes one PCM buffer; returns the packets it completed (possibly none). Throws EncoderError.
    std::vector<Packet> encode(const SampleBuffer& sampleBuffer);
    // Changes the bit rate of a running converter (nothing before the first buffer or after
    // `invalidate`).
    void setBitrate(std::uint32_t bitrate);
    // Drops the converter and pending samples for good; later calls do nothing.
    void invalidate();

    // Switches the diagnostic capture on (a directory, created when missing) or off (nothing).
    // Takes effect when the converter is set up, so it is set before the first buffer.
    void setDiagnosticCaptureDirectory(std::optional<std::filesystem::path> directory);

    bool isInvalidated() const { return isInvalidated_; }
    bool hasConverter() const { return avConverter_ != nullptr; }
    // The running converter's bit rate; nothing without a converter.
    std::optional<std::uint32_t> currentBitrate() const;
    std::size_t pendingSampleCount() const { return pendingSamples_.size(); }
    std::uint64_t encodedPacketCount() const { return encodedPacketCount_; }
    std::uint64_t fillBufferFailureCount() const { return fillBufferFailureCount_; }
    std::uint64_t inputRanDryCount() const { return inputRanDryCount_; }

    // The index of `sampleRate` in the sampling frequency table: the first entry it differs from
    // by less than 0.5 Hz.
    static std::optional<std::uint8_t> samplingFrequencyIndex(double sampleRate);
    // The 2-byte AAC-LC AudioSpecificConfig; nothing for a rate outside the table or a channel
    // count other than 1 or 2.
    static std::optional<std::vector<std::uint8_t>> makeAudioSpecificConfig(double sampleRate,
                                                                            std::uint32_t channelCount);
    // The entry of `rates` nearest to `target` (the earlier entry on a tie); `target` itself when
    // the list is empty.
    static std::uint32_t nearestApplicableBitrate(std::uint32_t target, std::span<const std::uint32_t> rates);
    // The stream description of the AAC output.
    static AudioStreamDescription outputStreamDescription(const Configuration& configuration);
    // A rate as the diagnostic lines write it: shortest form, at least one digit after the point.
    static std::string formatRate(double sampleRate);

private:
    enum class SampleKind { float32, int16, int32 };

    static std::optional<SampleKind> sampleKind(const AudioStreamDescription& description);
    std::size_t channelsPerFrame() const;
    std::size_t blockSampleCount() const { return channelsPerFrame() * framesPerBlock; }

    void configureConverter(const SampleBuffer& sampleBuffer);
    void appendSamples(const SampleBuffer& sampleBuffer);
    std::optional<Packet> convertOnePacket();
    AudioConverter::InputResult provideInput(std::uint32_t frameCount);
    void startDiagnosticCapture();
    void captureSamples(std::span<const float> samples);
    void diagnostic(const std::string& line) const;

    Configuration configuration_;
    AudioConverterFactory converterFactory_;
    std::unique_ptr<AudioConverter> avConverter_;
    std::optional<AudioFormat> pcmInputFormat_;
    std::optional<AudioFormat> aacOutputFormat_;
    bool isInvalidated_ = false;
    std::vector<float> pendingSamples_;
    std::uint32_t inputChannelCount_ = 0;
    bool inputIsNonInterleaved_ = false;
    double inputSampleRate_ = 0;
    std::uint64_t encodedPacketCount_ = 0;
    std::uint64_t fillBufferFailureCount_ = 0;
    std::uint64_t inputRanDryCount_ = 0;
    std::optional<std::filesystem::path> diagnosticDirectory_;
    std::unique_ptr<AudioDiagnosticCapture> diagnosticCapture_;
};

}  // namespace mivodrell
