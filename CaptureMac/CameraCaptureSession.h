#pragma once
// Owns the camera and the microphone for the camera/microphone feature: attaches one camera (by
// identifier or the default one) and the default microphone, and hands raw media to its owner as
// sample buffers: camera frames as BGRA pixel buffers, microphone audio as 32-bit float PCM. The
// microphone first tries the echo-cancelling engine path and falls back to a plain capture-graph
// input when that cannot be set up (one diagnostic line says why). It also lists the cameras,
// reports every device connect or disconnect with a fresh camera list, and wraps authorization.
//
// Guarantees: each attach operation is one configuration transaction that is always committed
// and followed by a running-state update before an error leaves; a failed camera switch leaves no
// camera attached; the graph runs exactly while a camera or a plain-path microphone is attached.
// Audio blocks that cannot be wrapped (no frames, no usable rate or channel count, data that does
// not match the format) are dropped.
//
// Threads: the owner calls `startCamera`, `startMicrophone`, `stop` and the queries from its own
// serial queue. Camera frames and all microphone audio arrive on "Mivodrell.CameraCaptureSession
// .sampleQueue", one at a time and in order; graph start and stop run there too. Device lists
// go to `onDevicesChanged` on the main queue; `onDiagnostic` runs on the caller of
// `startMicrophone`. Closures are set once, right after `create`.

#include "Platform/Base/Clock.h"
#include "Platform/Base/PlatformError.h"
#include "Platform/Device/CaptureGraph.h"
#include "Platform/Device/DeviceCapture.h"
#include "Platform/Media/SampleBuffer.h"

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mivodrell {

class SerialQueue;

struct CameraDevice {
    std::string id;
    std::string name;
    bool isDefault = false;

    friend bool operator==(const CameraDevice&, const CameraDevice&) = default;
};

class CameraCaptureSession : public std::enable_shared_from_this<CameraCaptureSession> {
public:
    struct CaptureError : std::exception {
        enum class Kind { deviceNotFound, inputCreationFailed, cannotAddInput, cannotAddOutput };
        Kind kind;
        std::string deviceID;                   // deviceNotFound: the identifier asked for
        std::optional<PlatformError> underlying;  // inputCreationFailed
        std::string message;
        CaptureError(Kind k, std::string identifier = {}, std::optional<PlatformError> error = std::nullopt);
        const char* what() const noexcept override { return message.c_str(); }
    };

    static constexpr const char* sampleQueueLabel = "Mivodrell.CameraCaptureSession.sampleQueue";
    static constexpr const char* defaultCameraName = "預設鏡頭";
    static constexpr const char* defaultMicrophoneName = "預設麥克風";
    static constexpr std::uint32_t tapBufferFrames = 1024;

    // `backend` empty: DeviceBackend::current(). `clock` stamps audio blocks without a sample time.
    static std::shared_ptr<CameraCaptureSession> create(std::shared_ptr<DeviceBackend> backend = nullptr,
                                                        std::shared_ptr<const Clock> clock = nullptr);
    // Removes the device observers; detaches nothing.
    ~CameraCaptureSession();

    std::function<void(const SampleBufferRef&)> onVideoSampleBuffer;
    std::function<void(const SampleBufferRef&)> onAudioSampleBuffer;
    std::function<void(const std::vector<CameraDevice>&)> onDevicesChanged;
    std::function<void(const std::string&)> onDiagnostic;

    static std::vector<CameraDevice> availableCameras(std::shared_ptr<DeviceBackend> backend = nullptr);
    // Completion with whether capture of `mediaType` is authorized: at once on this thread when
    // decided, else when the user answers, on the backend's thread.
    static void requestAccess(MediaType mediaType, std::function<void(bool)> completion,
                              std::shared_ptr<DeviceBackend> backend = nullptr);

    void startCamera(bool enabled, const std::optional<std::string>& deviceID);
    void startMicrophone(bool enabled);
    void stop();

    bool isCameraRunning() const { return videoInput_ != nullptr; }
    bool isMicrophoneRunning() const { return audioInput_ != nullptr || audioEngine_ != nullptr; }
    std::optional<std::string> currentCameraID() const;
    std::string microphonePathDescription() const;

    // Delegate entry of both data outputs, on the sample queue.
    void captureOutput(const CaptureDataOutput* output, const SampleBufferRef& sampleBuffer);

    // Wraps a PCM block as an audio sample buffer; nothing when it cannot be wrapped. A block
    // whose time has a valid sample time is stamped in its own rate's time base; otherwise with
    // the host clock's current time.
    static SampleBufferRef makeSampleBuffer(const PCMBuffer& buffer, const AudioTime& time, const Clock& clock);

    // For tests and the owner's checks.
    const std::shared_ptr<CaptureGraph>& session() const { return session_; }
    const std::shared_ptr<SerialQueue>& sampleQueue() const { return sampleQueue_; }
    const std::shared_ptr<CaptureDataOutput>& videoOutput() const { return videoOutput_; }
    const std::shared_ptr<CaptureDataOutput>& audioOutput() const { return audioOutput_; }
    bool usesVoiceProcessing() const { return usesVoiceProcessing_; }
    bool hasAudioEngine() const { return audioEngine_ != nullptr; }
    bool hasAudioInput() const { return audioInput_ != nullptr; }

private:
    CameraCaptureSession(std::shared_ptr<DeviceBackend> backend, std::shared_ptr<const Clock> clock);
    void registerDeviceObservers();
    std::optional<CaptureError> attachInput(const std::optional<CaptureDevice>& device, const std::string& missingName,
                                            const std::shared_ptr<CaptureDataOutput>& output,
                                            std::shared_ptr<CaptureDeviceInput>& slot);
    void handleDevicesChanged();
    void updateRunningState();
    bool startVoiceProcessingEngine();
    void stopVoiceProcessingEngine();
    static void handleTapBuffer(const std::weak_ptr<CameraCaptureSession>& weak, const Clock& clock,
                                SerialQueue& sampleQueue, const PCMBuffer& buffer, const AudioTime& time);
    void diagnostic(const std::string& line);

    std::shared_ptr<DeviceBackend> backend_;
    std::shared_ptr<const Clock> clock_;
    std::shared_ptr<CaptureGraph> session_;
    std::shared_ptr<SerialQueue> sampleQueue_;
    std::shared_ptr<CaptureDataOutput> videoOutput_;
    std::shared_ptr<CaptureDataOutput> audioOutput_;
    std::shared_ptr<CaptureDeviceInput> videoInput_;
    std::shared_ptr<CaptureDeviceInput> audioInput_;
    std::unique_ptr<VoiceProcessingEngine> audioEngine_;
    bool usesVoiceProcessing_ = false;
    std::vector<std::shared_ptr<DeviceObservation>> deviceObservers_;
};

}  // namespace mivodrell
