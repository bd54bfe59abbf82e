#include "CaptureMac/CameraCaptureSession.h"

#include "Platform/Base/Narrowing.h"
#include "Platform/Base/SerialQueue.h"

#include <algorithm>
#include <cmath>
#include <variant>

namespace mivodrell {

namespace {

const char* kindName(CameraCaptureSession::CaptureError::Kind kind) {
    using Kind = CameraCaptureSession::CaptureError::Kind;
    switch (kind) {
        case Kind::deviceNotFound: return "deviceNotFound";
        case Kind::inputCreationFailed: return "inputCreationFailed";
        case Kind::cannotAddInput: return "cannotAddInput";
        case Kind::cannotAddOutput: return "cannotAddOutput";
    }
    return "unknown";
}

constexpr const char* kEnginePathDescription = "AVAudioEngine 語音處理（回音消除）";
constexpr const char* kSessionPathDescription = "AVCaptureSession（無回音消除）";
constexpr const char* kFallbackSuffix = "），退回 AVCaptureSession 路徑";

}  // namespace

CameraCaptureSession::CaptureError::CaptureError(Kind k, std::string identifier, std::optional<PlatformError> error)
    : kind(k), deviceID(std::move(identifier)), underlying(std::move(error)), message(kindName(k)) {
    if (!deviceID.empty()) message += ": " + deviceID;
    if (underlying) message += ": " + underlying->description;
}

std::shared_ptr<CameraCaptureSession> CameraCaptureSession::create(std::shared_ptr<DeviceBackend> backend,
                                                                   std::shared_ptr<const Clock> clock) {
    std::shared_ptr<CameraCaptureSession> session(new CameraCaptureSession(
        backend ? std::move(backend) : DeviceBackend::current(), clock ? std::move(clock) : Clock::system()));
    std::weak_ptr<CameraCaptureSession> weak = session;
    const auto delegate = [weak](const CaptureDataOutput* output, const SampleBufferRef& sample) {
        if (auto self = weak.lock()) self->captureOutput(output, sample);
    };
    session->videoOutput_->setSampleBufferDelegate(delegate, session->sampleQueue_);
    session->audioOutput_->setSampleBufferDelegate(delegate, session->sampleQueue_);
    session->registerDeviceObservers();
    return session;
}

CameraCaptureSession::CameraCaptureSession(std::shared_ptr<DeviceBackend> backend, std::shared_ptr<const Clock> clock)
    : backend_(std::move(backend)),
      clock_(std::move(clock)),
      session_(CaptureGraph::create(backend_)),
      sampleQueue_(std::make_shared<SerialQueue>(sampleQueueLabel)),
      videoOutput_(std::make_shared<CaptureDataOutput>(MediaType::video)),
      audioOutput_(std::make_shared<CaptureDataOutput>(MediaType::audio)) {
    videoOutput_->alwaysDiscardsLateVideoFrames = true;
    videoOutput_->videoPixelFormat = PixelFormat::bgra;
    audioOutput_->audioSettings = AudioOutputSettings{fourCC("lpcm"), 32, true, false, false};
}

CameraCaptureSession::~CameraCaptureSession() { deviceObservers_.clear(); }

void CameraCaptureSession::registerDeviceObservers() {
    std::weak_ptr<CameraCaptureSession> weak = weak_from_this();
    for (const auto kind : {DeviceChange::Kind::connected, DeviceChange::Kind::disconnected}) {
        deviceObservers_.push_back(backend_->observeDeviceChanges(
            [weak, kind](const DeviceChange& change) {
                if (change.kind != kind) return;
                if (auto self = weak.lock()) self->handleDevicesChanged();
            },
            mainQueue()));
    }
}

void CameraCaptureSession::handleDevicesChanged() {
    // Any device counts, a microphone too: the owner gets the current camera list either way.
    if (onDevicesChanged) onDevicesChanged(availableCameras(backend_));
}

std::vector<CameraDevice> CameraCaptureSession::availableCameras(std::shared_ptr<DeviceBackend> backend) {
    if (!backend) backend = DeviceBackend::current();
    const auto defaultCamera = backend->defaultDevice(MediaType::video);
    std::vector<CameraDevice> cameras;
    for (const auto& device : backend->devices(MediaType::video)) {
        cameras.push_back({device.uniqueID, device.localizedName, defaultCamera && defaultCamera->uniqueID == device.uniqueID});
    }
    return cameras;
}

void CameraCaptureSession::requestAccess(MediaType mediaType, std::function<void(bool)> completion,
                                         std::shared_ptr<DeviceBackend> backend) {
    if (!backend) backend = DeviceBackend::current();
    switch (backend->authorizationStatus(mediaType)) {
        case AuthorizationStatus::notDetermined:
            backend->requestAccess(mediaType, std::move(completion));
            return;
        case AuthorizationStatus::authorized:
            completion(true);
            return;
        case AuthorizationStatus::denied:
        case AuthorizationStatus::restricted:
            completion(false);
            return;
    }
}

void CameraCaptureSession::startCamera(bool enabled, const std::optional<std::string>& deviceID) {
    std::optional<CaptureError> error;
    session_->beginConfiguration();
    if (videoInput_) {
        session_->removeInput(videoInput_);
        videoInput_.reset();
    }
    if (session_->containsOutput(videoOutput_)) session_->removeOutput(videoOutput_);
    if (enabled) {
        auto device = deviceID ? backend_->device(*deviceID) : backend_->defaultDevice(MediaType::video);
        if (device && device->mediaType != MediaType::video) device.reset();
        error = attachInput(device, deviceID ? *deviceID : std::string(defaultCameraName), videoOutput_, videoInput_);
    }
    session_->commitConfiguration();
    updateRunningState();
    if (error) throw *error;
}

void CameraCaptureSession::startMicrophone(bool enabled) {
    stopVoiceProcessingEngine();
    session_->beginConfiguration();
    if (audioInput_) {
        session_->removeInput(audioInput_);
        audioInput_.reset();
    }
    if (session_->containsOutput(audioOutput_)) session_->removeOutput(audioOutput_);
    session_->commitConfiguration();
    updateRunningState();
    if (!enabled) return;
    if (startVoiceProcessingEngine()) return;

    session_->beginConfiguration();
    const auto error = attachInput(backend_->defaultDevice(MediaType::audio), std::string(defaultMicrophoneName),
                                   audioOutput_, audioInput_);
    session_->commitConfiguration();
    updateRunningState();
    if (error) throw *error;
}

// Inside an open configuration: makes an input for `device` and attaches it with `output`, keeping
// it in `slot`. Nothing is left attached when a step fails; the error names the failed step.
std::optional<CameraCaptureSession::CaptureError> CameraCaptureSession::attachInput(
    const std::optional<CaptureDevice>& device, const std::string& missingName,
    const std::shared_ptr<CaptureDataOutput>& output, std::shared_ptr<CaptureDeviceInput>& slot) {
    if (!device) return CaptureError(CaptureError::Kind::deviceNotFound, missingName);
    auto created = backend_->makeInput(*device);
    if (auto* failure = std::get_if<PlatformError>(&created)) {
        return CaptureError(CaptureError::Kind::inputCreationFailed, std::string(), *failure);
    }
    auto input = std::get<std::shared_ptr<CaptureDeviceInput>>(std::move(created));
    if (!session_->canAddInput(input)) return CaptureError(CaptureError::Kind::cannotAddInput);
    session_->addInput(input);
    if (!session_->canAddOutput(output)) {
        session_->removeInput(input);
        return CaptureError(CaptureError::Kind::cannotAddOutput);
    }
    session_->addOutput(output);
    slot = std::move(input);
    return std::nullopt;
}

void CameraCaptureSession::stop() {
    try {
        startCamera(false, std::nullopt);
    } catch (const CaptureError&) {
    }
    try {
        startMicrophone(false);
    } catch (const CaptureError&) {
    }
}

std::optional<std::string> CameraCaptureSession::currentCameraID() const {
    if (!videoInput_) return std::nullopt;
    return videoInput_->device().uniqueID;
}

std::string CameraCaptureSession::microphonePathDescription() const {
    return usesVoiceProcessing_ ? kEnginePathDescription : kSessionPathDescription;
}

void CameraCaptureSession::captureOutput(const CaptureDataOutput* output, const SampleBufferRef& sampleBuffer) {
    if (output == videoOutput_.get()) {
        if (onVideoSampleBuffer) onVideoSampleBuffer(sampleBuffer);
    } else if (output == audioOutput_.get()) {
        if (onAudioSampleBuffer) onAudioSampleBuffer(sampleBuffer);
    }
}

void CameraCaptureSession::updateRunningState() {
    const bool needed = videoInput_ != nullptr || audioInput_ != nullptr;
    auto graph = session_;
    sampleQueue_->async([graph, needed] {
        const bool running = graph->isRunning();
        if (needed && !running) {
            graph->startRunning();
        } else if (!needed && running) {
            graph->stopRunning();
        }
    });
}

void CameraCaptureSession::diagnostic(const std::string& line) {
    if (onDiagnostic) onDiagnostic(line);
}

bool CameraCaptureSession::startVoiceProcessingEngine() {
    auto engine = backend_->makeVoiceProcessingEngine();
    if (!engine) return false;
    if (auto failure = engine->setVoiceProcessingEnabled(true)) {
        diagnostic("麥克風：setVoiceProcessingEnabled 失敗（" + failure->description + kFallbackSuffix);
        return false;
    }
    const auto format = engine->inputFormat(0);
    if (!(format.sampleRate > 0) || format.channelCount == 0) {
        diagnostic("麥克風：語音處理輸入格式無效（" + format.description() + kFallbackSuffix);
        return false;
    }
    // The tap holds the session weakly and never takes a strong reference on the tap thread, so
    // the session cannot end there while the engine's thread is inside the tap.
    engine->installTap(0, tapBufferFrames, format,
                       [weak = weak_from_this(), clock = clock_, queue = sampleQueue_](const PCMBuffer& buffer,
                                                                                     const AudioTime& time) {
                           handleTapBuffer(weak, *clock, *queue, buffer, time);
                       });
    engine->prepare();
    if (auto failure = engine->start()) {
        engine->removeTap(0);
        diagnostic("麥克風：AVAudioEngine 啟動失敗（" + failure->description + kFallbackSuffix);
        return false;
    }
    audioEngine_ = std::move(engine);
    usesVoiceProcessing_ = true;
    diagnostic("麥克風：AVAudioEngine 語音處理已啟用，輸入 " +
               std::to_string(truncateClamped<std::int64_t>(format.sampleRate, 0)) + "Hz/" +
               std::to_string(format.channelCount) + "ch " + (format.interleaved ? "interleaved" : "non-interleaved") +
               "（控制中心可選「人聲隔離」）");
    return true;
}

void CameraCaptureSession::stopVoiceProcessingEngine() {
    if (!audioEngine_) return;
    audioEngine_->removeTap(0);
    audioEngine_->stop();
    audioEngine_.reset();
    usesVoiceProcessing_ = false;
}

void CameraCaptureSession::handleTapBuffer(const std::weak_ptr<CameraCaptureSession>& weak, const Clock& clock,
                                           SerialQueue& sampleQueue, const PCMBuffer& buffer, const AudioTime& time) {
    if (weak.expired()) return;
    auto sample = makeSampleBuffer(buffer, time, clock);
    if (!sample) return;
    sampleQueue.async([weak, sample] {
        auto self = weak.lock();
        if (self && self->onAudioSampleBuffer) self->onAudioSampleBuffer(sample);
    });
}

SampleBufferRef CameraCaptureSession::makeSampleBuffer(const PCMBuffer& buffer, const AudioTime& time, const Clock& clock) {
    const auto frames = buffer.frameLength;
    if (frames == 0) return nullptr;
    const auto& format = buffer.format;
    // A rate that is not a finite positive number has no time base; one below 1 Hz would give a
    // time scale of 0, so the scale is at least 1.
    if (!std::isfinite(format.sampleRate) || !(format.sampleRate > 0) || format.channelCount == 0) return nullptr;
    const auto description = format.streamDescription();

    // The data must match the format: one buffer of every channel's samples when interleaved,
    // else one buffer per channel.
    const std::size_t channels = format.channelCount;
    const std::size_t expectedBuffers = format.interleaved ? 1 : channels;
    const std::size_t bytesPerBuffer = std::size_t{frames} * sizeof(float) * (format.interleaved ? channels : 1);
    if (buffer.audioBufferList.size() != expectedBuffers) return nullptr;
    for (const auto& audioBuffer : buffer.audioBufferList) {
        if (audioBuffer.data.size() != bytesPerBuffer) return nullptr;
    }

    const std::int32_t timescale = std::max<std::int32_t>(1, truncateClamped<std::int32_t>(format.sampleRate, 1));
    auto sample = std::make_shared<SampleBuffer>();
    sample->audioFormat = description;
    sample->presentationTime = time.sampleTimeValid ? MediaTime::make(time.sampleTime, timescale)
                                                    : MediaTime::fromSeconds(clock.hostTime(), 1000000000);
    sample->duration = MediaTime::make(1, timescale);
    sample->sampleCount = frames;
    sample->audioBufferList = buffer.audioBufferList;
    for (auto& audioBuffer : *sample->audioBufferList) {
        audioBuffer.numberChannels = format.interleaved ? format.channelCount : 1;
    }
    return sample;
}

}  // namespace mivodrell
