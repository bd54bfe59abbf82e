#pragma once
// One running video capture stream of one display (or of chosen windows of a display). Each
// complete frame is handed on, without copying, as a pixel buffer with its presentation time and
// its frame geometry. Asynchronous platform operations are made synchronous with a completion
// box and a 10-second wait.

#include "CaptureCore/CapturePlan.h"
#include "Platform/Base/Geometry.h"
#include "Platform/Media/MediaTime.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Base/PlatformError.h"
#include "Platform/Capture/ScreenCapture.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace mivodrell {

class SerialQueue;

// Where a frame's picture lies in its buffer, as the capture service reports it.
struct CaptureFrameGeometry {
    CGRect contentRect;
    double contentScale = 0;  // NaN when not reported
    double scaleFactor = 0;   // NaN when not reported
};

class ScreenCaptureSession : public std::enable_shared_from_this<ScreenCaptureSession> {
public:
    struct CaptureError : std::exception {
        enum class Kind { streamSetupFailed, startFailed, updateFailed, stopFailed, startTimedOut, updateTimedOut, stopTimedOut };
        Kind kind;
        std::optional<PlatformError> underlying;
        std::string message;

        CaptureError(Kind k, std::optional<PlatformError> error = std::nullopt);
        const char* what() const noexcept override { return message.c_str(); }
    };

    using FrameHandler = std::function<void(const std::shared_ptr<PixelBuffer>&, MediaTime,
                                            const std::optional<CaptureFrameGeometry>&)>;
    using StopHandler = std::function<void(const std::optional<PlatformError>&)>;

    static constexpr double operationTimeoutSeconds = 10;
    static constexpr const char* sampleQueueLabel = "Mivodrell.ScreenCaptureSession.sampleQueue";

    // A session without a stream, on the process's current capture backend unless given one.
    static std::shared_ptr<ScreenCaptureSession> create(std::shared_ptr<CaptureBackend> backend = nullptr);

    // Set by the owner; read at each delivery (frames on the sample queue, stop reports on the
    // backend's thread). Set them before `start`.
    FrameHandler onFrame;
    StopHandler onStop;
    // Frames per second at most; read whenever a stream configuration is built.
    int frameRateCap = 60;

    void start(const CaptureDisplay& display, const CaptureSource& source, std::uint32_t pixelFormat,
               const std::optional<std::vector<CaptureWindow>>& includingWindows = std::nullopt,
               const std::optional<RGBAColor>& backgroundColor = std::nullopt);
    void update(const CaptureSource& source);
    void refreshContentFilter();
    void stop();

    bool isRunning() const { return stream_ != nullptr; }
    const std::optional<CaptureDisplay>& currentDisplay() const { return currentDisplay_; }
    bool usesWindowInclusionFilter() const { return usesWindowInclusionFilter_; }
    std::uint32_t activePixelFormat() const { return activePixelFormat_; }

    // The configuration built for a source, pixel format and frame-rate cap.
    static StreamConfiguration makeConfiguration(const CaptureSource& source, std::uint32_t pixelFormat, int frameRateCap);

    // Shortens the 10-second waits (tests only).
    void setOperationTimeoutForTesting(double seconds) { timeout_ = seconds; }

    class FrameOutputHandler;

private:
    explicit ScreenCaptureSession(std::shared_ptr<CaptureBackend> backend);
    void handleSample(const SampleBufferRef& sample, StreamOutputType type);

    std::shared_ptr<CaptureBackend> backend_;
    std::shared_ptr<CaptureStream> stream_;
    std::optional<CaptureDisplay> currentDisplay_;
    bool usesWindowInclusionFilter_ = false;
    std::uint32_t activePixelFormat_ = 0x34323066;  // '420f'
    std::shared_ptr<FrameOutputHandler> outputHandler_;
    std::shared_ptr<SerialQueue> sampleQueue_;
    double timeout_ = operationTimeoutSeconds;
};

// Synchronous queries of the current displays and windows, each with a time limit.
class ShareableContentFetcher {
public:
    struct FetchError : std::exception {
        enum class Kind { underlying, timedOut };
        Kind kind;
        std::optional<PlatformError> error;
        std::string message;
        FetchError(Kind k, std::optional<PlatformError> e = std::nullopt);
        const char* what() const noexcept override { return message.c_str(); }
    };

    static std::vector<CaptureDisplay> currentDisplays(double timeoutSeconds, std::shared_ptr<CaptureBackend> backend = nullptr);
    static std::vector<CaptureWindow> currentWindows(double timeoutSeconds, bool onScreenOnly,
                                                     std::shared_ptr<CaptureBackend> backend = nullptr);
};

// The process-wide list of windows every display capture leaves out (the privacy curtain panels).
class PrivacyOverlayRegistry {
public:
    static std::vector<CaptureWindow> excludedWindows();
    static void setExcludedWindows(std::vector<CaptureWindow> windows);

private:
    static std::mutex& lock();
    static std::vector<CaptureWindow>& storage();
};

}  // namespace mivodrell
