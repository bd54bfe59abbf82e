#pragma once
// System audio through an audio-only capture stream tied to one display. `start` and `stop`
// block their caller until the capture service confirms or 10 seconds pass.

#include "Platform/Base/PlatformError.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Capture/ScreenCapture.h"

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace mivodrell {

class SerialQueue;

class AudioCaptureSession : public std::enable_shared_from_this<AudioCaptureSession> {
public:
    struct CaptureError : std::exception {
        enum class Kind { streamSetupFailed, startFailed, stopFailed, startTimedOut, stopTimedOut };
        Kind kind;
        std::optional<PlatformError> underlying;
        std::string message;
        CaptureError(Kind k, std::optional<PlatformError> error = std::nullopt);
        const char* what() const noexcept override { return message.c_str(); }
    };

    static constexpr double operationTimeoutSeconds = 10;
    static constexpr const char* sampleQueueLabel = "Mivodrell.AudioCaptureSession.sampleQueue";

    static std::shared_ptr<AudioCaptureSession> create(std::shared_ptr<CaptureBackend> backend = nullptr);

    // Every valid audio sample buffer, on the sample queue. Set before `start`.
    std::function<void(const SampleBufferRef&)> onAudioSampleBuffer;
    // The stream stopped by itself, on the backend's thread.
    std::function<void(const std::optional<PlatformError>&)> onStop;

    void start(const CaptureDisplay& display);
    void stop();
    bool isRunning() const { return stream_ != nullptr; }

    void setOperationTimeoutForTesting(double seconds) { timeout_ = seconds; }

    class AudioOutputHandler;

private:
    explicit AudioCaptureSession(std::shared_ptr<CaptureBackend> backend);

    std::shared_ptr<CaptureBackend> backend_;
    std::shared_ptr<CaptureStream> stream_;
    std::shared_ptr<AudioOutputHandler> outputHandler_;
    std::shared_ptr<SerialQueue> sampleQueue_;
    double timeout_ = operationTimeoutSeconds;
};

}  // namespace mivodrell
