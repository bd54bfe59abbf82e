#pragma once
// Encodes pixel buffers into HEVC with one compression session tuned for interactive screen
// streaming: real-time low-latency rate control, no frame reordering, BT.709 colour tags.
//
// Encoding is synchronous: `encode` submits one picture and returns its EncodedFrame, or throws,
// within the encode time-out (5 s). The parameter sets are reported once, from the first frame
// that produced data, through onFormatDescriptionAvailable.
//
// No queue or lock of its own: every call comes from the owner's one serial queue.

#include "CaptureCore/EncodedFrame.h"
#include "CaptureCore/EncoderSettings.h"
#include "Platform/Codec/CompressionSession.h"
#include "Platform/Media/MediaTime.h"
#include "Platform/Media/PixelBuffer.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mivodrell {

class HEVCEncoder {
public:
    struct Configuration {
        double expectedFrameRate = 60.0;
        std::int32_t maxKeyFrameInterval = 240;  // frames
        std::int64_t initialBitrate = 8'000'000;  // bits per second

        friend bool operator==(const Configuration&, const Configuration&) = default;
    };

    struct EncoderError : std::exception {
        enum class Kind {
            sessionCreationFailed,
            propertyConfigurationFailed,
            encodeSubmissionFailed,
            encodeFailed,
            encodeTimedOut,
            sessionInvalidated,
        };

        Kind kind;
        std::int32_t status = 0;  // the platform status; 0 for the cases without one

        EncoderError(Kind k, std::int32_t s);
        static EncoderError sessionCreationFailed(std::int32_t s) { return {Kind::sessionCreationFailed, s}; }
        static EncoderError propertyConfigurationFailed(std::int32_t s) { return {Kind::propertyConfigurationFailed, s}; }
        static EncoderError encodeSubmissionFailed(std::int32_t s) { return {Kind::encodeSubmissionFailed, s}; }
        static EncoderError encodeFailed(std::int32_t s) { return {Kind::encodeFailed, s}; }
        static EncoderError encodeTimedOut() { return {Kind::encodeTimedOut, 0}; }
        static EncoderError sessionInvalidated() { return {Kind::sessionInvalidated, 0}; }

        const char* what() const noexcept override { return message.c_str(); }
        // Same case and same status.
        friend bool operator==(const EncoderError& a, const EncoderError& b) {
            return a.kind == b.kind && a.status == b.status;
        }

    private:
        std::string message;
    };

    // Where sessions come from and how long `encode` waits; tests substitute both.
    struct Backend {
        CompressionSession::Factory createSession = CompressionSession::defaultFactory();
        double encodeTimeoutSeconds = 5.0;
    };

    using FormatDescriptionHandler =
        std::function<void(const std::vector<std::vector<std::uint8_t>>& parameterSets, std::int32_t nalUnitHeaderLength)>;
    using DiagnosticHandler = std::function<void(const std::string&)>;

    // Throws EncoderError (sessionCreationFailed, propertyConfigurationFailed).
    HEVCEncoder(int width, int height, Configuration configuration, bool preferHardware);
    HEVCEncoder(int width, int height, Configuration configuration, bool preferHardware, Backend backend);
    ~HEVCEncoder();
    HEVCEncoder(const HEVCEncoder&) = delete;
    HEVCEncoder& operator=(const HEVCEncoder&) = delete;

    // Blocks up to the encode time-out. Throws EncoderError. A frame the encoder dropped comes
    // back with an empty payload.
    EncodedFrame encode(std::shared_ptr<const PixelBuffer> pixelBuffer, std::uint32_t frameID, MediaTime presentationTime,
                        bool forceKeyframe);

    // Uses the settings' bitrate and keyframe interval. Throws propertyConfigurationFailed.
    void apply(const EncoderSettings& settings);

    // Stores prioritizeSpeed and applies it; the session's answer is not checked.
    void setSpeedPriority(bool flag);

    // Idempotent.
    void invalidate();

    int width() const { return width_; }
    int height() const { return height_; }
    const Configuration& configuration() const { return configuration_; }
    bool isInvalidated() const { return isInvalidated_; }
    std::int64_t lastDataRateLimitBytes() const { return lastDataRateLimitBytes_; }

    // Called once, from the first encoded frame, on the caller's thread inside `encode`.
    FormatDescriptionHandler onFormatDescriptionAvailable;
    DiagnosticHandler onDiagnostic;
    // Writing only stores the preference; setSpeedPriority applies it.
    bool prioritizeSpeed = false;

    // The keyframe interval in frames that `apply` sets for an interval in seconds: 60 frames a
    // second, at least 240; 240 for a non-finite interval, clamped to 32 bits.
    static std::int32_t keyframeIntervalFrames(double keyframeIntervalSeconds);
    // The data-rate cap in bytes per second for a bitrate: 125 % of it, at least 25,000.
    static std::int64_t dataRateLimitBytes(std::int64_t bitrate);

private:
    void setOrThrow(CompressionPropertyKey key, const CompressionPropertyValue& value);

    int width_;
    int height_;
    Configuration configuration_;
    std::shared_ptr<CompressionSession> session_;
    bool isInvalidated_ = false;
    bool didExtractFormatDescription_ = false;
    std::int64_t lastDataRateLimitBytes_ = -1;
    double encodeTimeoutSeconds_ = 5.0;
};

}  // namespace mivodrell
