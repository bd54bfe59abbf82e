#pragma once
// A video compression session: pixel buffers go in with a presentation time, encoded sample
// buffers come out through an output callback that runs on the session's own encoding thread.
//
// A session is created for one picture size and codec with an encoder specification, configured
// property by property (each set returns a status), fed with `encodeFrame`, and finally
// invalidated. Statuses are our own numeric constants (CompressionStatus); 0 is success.

#include "Platform/Base/FourCC.h"
#include "Platform/Media/MediaTime.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Base/PlatformError.h"
#include "Platform/Media/SampleBuffer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mivodrell {

namespace CodecType {
inline constexpr std::uint32_t hevc = fourCC("hvc1");  // 0x68766331
}  // namespace CodecType

namespace CompressionStatus {
inline constexpr std::int32_t ok = PlatformStatus::noErr;
// A property value of the wrong kind or outside its range; an unusable picture size.
inline constexpr std::int32_t paramErr = PlatformStatus::paramErr;
// The session was invalidated.
inline constexpr std::int32_t invalidSession = PlatformStatus::invalidSession;
// The session knows the property but not this value of it (or does not know the property).
inline constexpr std::int32_t propertyNotSupported = PlatformStatus::propertyNotSupported;
// The encoder failed on a frame.
inline constexpr std::int32_t encoderFailed = PlatformStatus::encoderFailed;
// No encoder matches the codec and the encoder requirements (e.g. hardware required, none present).
inline constexpr std::int32_t encoderNotFound = -12908;
// Memory for the session or a frame could not be had.
inline constexpr std::int32_t allocationFailed = PlatformStatus::allocationFailed;
}  // namespace CompressionStatus

enum class CompressionPropertyKey {
    realTime,                            // bool
    allowFrameReordering,                // bool
    maxKeyFrameInterval,                 // integer, frames; 0 = no limit
    maxKeyFrameIntervalDuration,         // double, seconds; 0 = no limit
    expectedFrameRate,                   // double, frames per second
    profileLevel,                        // string (CompressionProfileLevel)
    colorPrimaries,                      // string (CompressionColor)
    transferFunction,                    // string (CompressionColor)
    yCbCrMatrix,                         // string (CompressionColor)
    maximizePowerEfficiency,             // bool
    averageBitRate,                      // integer, bits per second
    dataRateLimits,                      // list of numbers: [bytes, seconds]
    prioritizeEncodingSpeedOverQuality,  // bool
};

std::string_view compressionPropertyName(CompressionPropertyKey key);

namespace CompressionProfileLevel {
inline constexpr std::string_view hevcMainAutoLevel = "hevc.main.auto";
}  // namespace CompressionProfileLevel

namespace CompressionColor {
// ITU-R BT.709: colour primaries, transfer function and Y'CbCr matrix alike.
inline constexpr std::string_view itu709 = "itu-r.bt709";
}  // namespace CompressionColor

// A number inside a property list: an integer or a floating-point value.
using CompressionNumber = std::variant<std::int64_t, double>;
using CompressionPropertyValue =
    std::variant<bool, std::int64_t, double, std::string, std::vector<CompressionNumber>>;

// What the caller asks of the encoder that backs a session.
struct EncoderSpecification {
    bool enableLowLatencyRateControl = false;
    bool enableHardwareAcceleratedVideoEncoder = false;   // prefer hardware
    bool requireHardwareAcceleratedVideoEncoder = false;  // hardware or nothing
};

struct EncodeFrameOptions {
    bool forceKeyFrame = false;
};

class CompressionSession {
public:
    // Called once per submitted frame, on the session's encoding thread, with the context the
    // frame was submitted with, a status and the encoded sample (none when the frame was
    // dropped or failed).
    using OutputCallback =
        std::function<void(std::shared_ptr<void> frameContext, std::int32_t status, SampleBufferRef sampleBuffer)>;

    struct Parameters {
        int width = 0;
        int height = 0;
        std::uint32_t codecType = CodecType::hevc;
        EncoderSpecification specification;
        OutputCallback outputCallback;  // may be empty (a session used only for probing)
    };

    struct CreateResult {
        std::int32_t status = CompressionStatus::ok;
        std::shared_ptr<CompressionSession> session;  // empty unless status is ok
    };

    using Factory = std::function<CreateResult(const Parameters&)>;

    // The machine's encoder (x265).
    static CreateResult create(const Parameters& parameters);
    static Factory defaultFactory();

    virtual ~CompressionSession() = default;

    virtual std::int32_t setProperty(CompressionPropertyKey key, const CompressionPropertyValue& value) = 0;

    // Queues one frame. A non-zero status means the frame was refused and no callback follows;
    // otherwise exactly one callback follows, carrying `frameContext`.
    virtual std::int32_t encodeFrame(std::shared_ptr<const PixelBuffer> imageBuffer, MediaTime presentationTime,
                                     MediaTime duration, const std::optional<EncodeFrameOptions>& options,
                                     std::shared_ptr<void> frameContext) = 0;

    // Allocates what encoding needs now rather than at the first frame.
    virtual std::int32_t prepareToEncodeFrames() = 0;

    // Stops the session; frames still queued are answered with invalidSession. Idempotent.
    virtual void invalidate() = 0;
};

}  // namespace mivodrell
