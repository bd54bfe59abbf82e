#pragma once
// Captures and encodes each display of a capture plan as a stream of its own: one screen capture
// session and one HEVC encoder per active display, every captured frame encoded as soon as it
// arrives and handed on with its display's identifier. No compositing, pacing or backlog control.
//
// Guarantees: frame identifiers come from one counter shared by all displays (each display sees
// gaps), wrap after 4294967295 and start at 0 again after `stop`. A display is active only once
// its capture started. Frames still on their way from a session that has been replaced or removed
// are dropped; the end of a replaced session is dropped too (neither removed nor reported: its
// display captures normally), and that of a removed one only reports the error it ended with.
//
// Bad input: nothing is thrown to the owner. A plan naming a display that was not handed in gives
// `CaptureCoordinatorError::displayNotFound`; an output size that is not finite or out of range
// reaches the encoder clamped and is refused there (sessionCreationFailed); every failure goes to
// `onError` with its display and does not stop the rest of the plan.
//
// Threads: all state belongs to the serial queue "Mivodrell.CaptureCoordinator". `apply`, `stop`
// and `activeDisplayIDs` run synchronously on it and must not be called from it (nor from the
// coordinator's own callbacks); `requestKeyframe`, captured frames and stream ends hop onto it
// asynchronously, holding the coordinator weakly. `onEncodedFrame` and `onError` run on the queue;
// `onVideoFormatAvailable` runs inside the encode that produced the first frame, also on the queue.
// Set the callbacks before the first `apply`.

#include "CaptureCore/CapturePlan.h"
#include "CaptureCore/EncodedFrame.h"
#include "CaptureCore/EncoderSettings.h"
#include "CaptureMac/HEVCEncoder.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Base/Geometry.h"
#include "Platform/Capture/ScreenCapture.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace mivodrell {

class ScreenCaptureSession;
class SerialQueue;

class CaptureCoordinator : public std::enable_shared_from_this<CaptureCoordinator> {
public:
    static constexpr const char* queueLabel = "Mivodrell.CaptureCoordinator";
    // '420f': bi-planar 4:2:0, full range.
    static constexpr std::uint32_t capturePixelFormat = PixelFormat::yuv420BiPlanarFullRange;

    // Where capture sessions and encoder sessions come from; the defaults are sessions on the
    // process's current capture backend and the machine's encoder with the 5-second encode wait.
    // `makeCaptureSession`, when set, must return a new session each time.
    struct Collaborators {
        std::function<std::shared_ptr<ScreenCaptureSession>()> makeCaptureSession;
        HEVCEncoder::Backend encoderBackend;
    };

    using EncodedFrameHandler = std::function<void(std::uint32_t displayID, const EncodedFrame& frame)>;
    // The error is the component's own: CaptureCoordinatorError, HEVCEncoder::EncoderError,
    // ScreenCaptureSession::CaptureError, or the PlatformError a stream ended with.
    using ErrorHandler = std::function<void(std::uint32_t displayID, std::exception_ptr error)>;
    using VideoFormatHandler = std::function<void(std::uint32_t displayID, std::int32_t width, std::int32_t height,
                                                  const std::vector<std::vector<std::uint8_t>>& parameterSets,
                                                  std::int32_t nalUnitHeaderLength, const CGRect& sourceRect)>;

    static std::shared_ptr<CaptureCoordinator> create(HEVCEncoder::Configuration encoderConfiguration,
                                                      Collaborators collaborators = {});
    ~CaptureCoordinator();
    CaptureCoordinator(const CaptureCoordinator&) = delete;
    CaptureCoordinator& operator=(const CaptureCoordinator&) = delete;

    EncodedFrameHandler onEncodedFrame;
    ErrorHandler onError;
    VideoFormatHandler onVideoFormatAvailable;

    const HEVCEncoder::Configuration& encoderConfiguration() const { return encoderConfiguration_; }

    // Stops the plan's stopped displays, then for each source in order starts, restarts or updates
    // its display. Returns when all of it is done.
    void apply(const CapturePlan& plan, const std::vector<CaptureDisplay>& displays, const EncoderSettings& settings);
    // The next frame of that display only is encoded as a keyframe; forgotten when it is not active.
    void requestKeyframe(std::uint32_t displayID);
    // Stops every capture and sets the frame counter back to 0.
    void stop();
    // Ascending.
    std::vector<std::uint32_t> activeDisplayIDs();

    // Sets the identifier the next encoded frame gets (tests of the wrap only).
    void setNextFrameIDForTesting(std::uint32_t frameID);

private:
    struct ActiveSource;

    CaptureCoordinator(HEVCEncoder::Configuration encoderConfiguration, Collaborators collaborators);

    void startDisplay(std::uint32_t displayID, const CaptureSource& source,
                      const std::map<std::uint32_t, CaptureDisplay>& displays, const EncoderSettings& settings);
    void stopCapture(std::uint32_t displayID, ActiveSource& source);
    void encodeFrame(std::uint32_t displayID, const std::weak_ptr<ActiveSource>& origin,
                     std::shared_ptr<PixelBuffer> pixelBuffer, MediaTime presentationTime);
    void streamEnded(std::uint32_t displayID, const std::weak_ptr<ActiveSource>& origin,
                     const std::optional<PlatformError>& error);
    void report(std::uint32_t displayID, std::exception_ptr error);

    // State below belongs to the queue.
    std::uint32_t nextFrameID_ = 0;
    HEVCEncoder::Configuration encoderConfiguration_;
    Collaborators collaborators_;
    // Shared with the capture sessions' callbacks, which hop onto it without holding the coordinator.
    std::shared_ptr<SerialQueue> queue_;
    std::map<std::uint32_t, std::shared_ptr<ActiveSource>> active_;
};

}  // namespace mivodrell
