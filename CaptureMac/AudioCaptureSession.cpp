#include "CaptureMac/AudioCaptureSession.h"

#include "Platform/Base/CompletionBox.h"
#include "Platform/Base/SerialQueue.h"

namespace mivodrell {

namespace {

const char* kindName(AudioCaptureSession::CaptureError::Kind kind) {
    using Kind = AudioCaptureSession::CaptureError::Kind;
    switch (kind) {
        case Kind::streamSetupFailed: return "streamSetupFailed";
        case Kind::startFailed: return "startFailed";
        case Kind::stopFailed: return "stopFailed";
        case Kind::startTimedOut: return "startTimedOut";
        case Kind::stopTimedOut: return "stopTimedOut";
    }
    return "unknown";
}


}  // namespace

AudioCaptureSession::CaptureError::CaptureError(Kind k, std::optional<PlatformError> error)
    : kind(k), underlying(std::move(error)), message(kindName(k)) {
    if (underlying) message += ": " + underlying->description;
}

class AudioCaptureSession::AudioOutputHandler final : public StreamOutput, public StreamDelegate {
public:
    std::function<void(const SampleBufferRef&)> onAudioSampleBuffer;
    std::function<void(const PlatformError&)> onStop;

    void didOutputSampleBuffer(const SampleBufferRef& sample, StreamOutputType type) override {
        if (type != StreamOutputType::audio || !sample || !sample->valid) return;
        if (onAudioSampleBuffer) onAudioSampleBuffer(sample);
    }
    void didStopWithError(const PlatformError& error) override {
        if (onStop) onStop(error);
    }
};

std::shared_ptr<AudioCaptureSession> AudioCaptureSession::create(std::shared_ptr<CaptureBackend> backend) {
    std::shared_ptr<AudioCaptureSession> session(new AudioCaptureSession(backend ? std::move(backend) : CaptureBackend::current()));
    std::weak_ptr<AudioCaptureSession> weak = session;
    session->outputHandler_->onAudioSampleBuffer = [weak](const SampleBufferRef& sample) {
        auto self = weak.lock();
        if (self && self->onAudioSampleBuffer) self->onAudioSampleBuffer(sample);
    };
    session->outputHandler_->onStop = [weak](const PlatformError& error) {
        auto self = weak.lock();
        if (self && self->onStop) self->onStop(error);
    };
    return session;
}

AudioCaptureSession::AudioCaptureSession(std::shared_ptr<CaptureBackend> backend)
    : backend_(std::move(backend)),
      outputHandler_(std::make_shared<AudioOutputHandler>()),
      sampleQueue_(std::make_shared<SerialQueue>(sampleQueueLabel)) {}

void AudioCaptureSession::start(const CaptureDisplay& display) {
    StreamConfiguration configuration;
    configuration.capturesAudio = true;
    configuration.width = 2;
    configuration.height = 2;
    configuration.minimumFrameInterval = MediaTime::make(1, 1);
    // On any failure below the new stream is released, which stops it; `stream_` is unchanged.
    auto stream = backend_->makeStream(ContentFilter::excluding(display, {}), configuration, outputHandler_);
    if (!stream) throw CaptureError(CaptureError::Kind::streamSetupFailed, PlatformError{"ScreenCapture", -1, "no stream"});
    if (auto error = stream->addOutput(outputHandler_, StreamOutputType::audio, sampleQueue_)) {
        throw CaptureError(CaptureError::Kind::streamSetupFailed, *error);
    }
    const auto outcome = waitForCaptureCompletion(timeout_, [&](CaptureCompletion done) { stream->startCapture(std::move(done)); });
    if (!outcome) throw CaptureError(CaptureError::Kind::startTimedOut);
    if (*outcome) throw CaptureError(CaptureError::Kind::startFailed, **outcome);
    stream_ = std::move(stream);
}

void AudioCaptureSession::stop() {
    if (!stream_) return;
    auto stream = std::move(stream_);
    stream_.reset();
    const auto outcome = waitForCaptureCompletion(timeout_, [&](CaptureCompletion done) { stream->stopCapture(std::move(done)); });
    if (!outcome) throw CaptureError(CaptureError::Kind::stopTimedOut);
    if (*outcome) throw CaptureError(CaptureError::Kind::stopFailed, **outcome);
}

}  // namespace mivodrell
