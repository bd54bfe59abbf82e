// CompositeCaptureCoordinator: system audio, audio bitrate, tuning and shutdown.

#include "CaptureMac/CompositeCaptureCoordinator.h"

#include "CaptureMac/AudioCaptureSession.h"
#include "CaptureMac/CompositeCaptureCoordinatorParts.h"
#include "CaptureMac/CompositeFrameRenderer.h"
#include "Platform/Base/Clock.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Base/SerialQueue.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace mivodrell {

using namespace coordinatortext;

// ---- system audio ------------------------------------------------------------------------------

void CompositeCaptureCoordinator::setAudioEnabled(bool enabled) {
    queue_->async([weak = weak_from_this(), enabled] {
        const auto self = weak.lock();
        if (!self || self->audioEnabled_ == enabled) return;
        self->audioEnabled_ = enabled;
        if (enabled) {
            self->startSystemAudio();
        } else {
            self->audioStartDeferred_ = false;
            self->stopSystemAudio();
        }
    });
}

void CompositeCaptureCoordinator::startSystemAudio() {
    if (audioCapture_) return;
    if (latestDisplays_.empty()) {
        // No display known yet: the first plan that brings one starts the capture.
        audioStartDeferred_ = true;
        return;
    }
    const CaptureDisplay display = latestDisplays_.front();
    auto session = AudioCaptureSession::create(collaborators_.audioCaptureBackend);
    if (collaborators_.captureOperationTimeoutSeconds != AudioCaptureSession::operationTimeoutSeconds) {
        session->setOperationTimeoutForTesting(collaborators_.captureOperationTimeoutSeconds);
    }
    std::weak_ptr<CompositeCaptureCoordinator> weak = weak_from_this();
    session->onAudioSampleBuffer = [weak](const SampleBufferRef& sampleBuffer) {
        const auto self = weak.lock();
        if (!self) return;
        self->queue_->async([weak, sampleBuffer] {
            if (const auto coordinator = weak.lock()) coordinator->audioSampleBuffer(sampleBuffer);
        });
    };
    std::weak_ptr<AudioCaptureSession> weakSession = session;
    session->onStop = [weak, weakSession](const std::optional<PlatformError>& error) {
        const auto self = weak.lock();
        if (!self) return;
        self->queue_->async([weak, weakSession, error] {
            if (const auto coordinator = weak.lock()) coordinator->audioStreamEnded(weakSession, error);
        });
    };
    try {
        session->start(display);
    } catch (...) {
        reportError(0, std::current_exception());
        return;
    }
    audioCapture_ = std::move(session);
    log("音訊擷取 SCStream 已啟動（display=" + n(display.displayID) + "），等待第一顆 sample buffer");
}

void CompositeCaptureCoordinator::audioSampleBuffer(const SampleBufferRef& sampleBuffer) {
    if (!audioEnabled_ || !audioCapture_ || !sampleBuffer) return;
    audioSampleBufferCount_ += 1;
    if (audioSampleBufferCount_ == 1 || audioSampleBufferCount_ % 60 == 0) {
        log("收到第 " + n(audioSampleBufferCount_) + " 顆音訊 sample buffer");
    }
    if (!audioEncoder_) {
        audioEncoder_ = std::make_unique<AudioEncoder>(audioEncoderConfiguration_, collaborators_.audioConverterFactory);
        std::weak_ptr<CompositeCaptureCoordinator> weak = weak_from_this();
        audioEncoder_->onFormatDescriptionAvailable = [weak](double sampleRate, std::int32_t channelCount,
                                                             const std::vector<std::uint8_t>& configuration) {
            const auto self = weak.lock();
            if (self && self->onAudioFormatAvailable) self->onAudioFormatAvailable(sampleRate, channelCount, configuration);
        };
        audioEncoder_->onDiagnostic = [weak](const std::string& line) {
            if (const auto self = weak.lock()) self->log("[AudioEncoder] " + line);
        };
    }
    std::vector<AudioEncoder::Packet> packets;
    try {
        packets = audioEncoder_->encode(*sampleBuffer);
    } catch (...) {
        reportError(0, std::current_exception());
        return;
    }
    if (packets.empty()) return;
    const double t = sampleBuffer->presentationTime.seconds();
    for (const AudioEncoder::Packet& packet : packets) {
        if (onEncodedAudio) onEncodedAudio(packet, t);
    }
}

void CompositeCaptureCoordinator::audioStreamEnded(const std::weak_ptr<AudioCaptureSession>& session,
                                                   const std::optional<PlatformError>& error) {
    // Only the running stream's end concerns the state; a replaced stream's is reported alone.
    if (audioCapture_ && audioCapture_ == session.lock()) {
        audioCapture_.reset();
        if (audioEncoder_) {
            audioEncoder_->invalidate();
            audioEncoder_.reset();
        }
    }
    if (error) reportError(0, std::make_exception_ptr(*error));
}

void CompositeCaptureCoordinator::stopSystemAudio() {
    if (audioCapture_) {
        try {
            audioCapture_->stop();
        } catch (...) {
            reportError(0, std::current_exception());
        }
        audioCapture_.reset();
    }
    if (audioEncoder_) {
        audioEncoder_->invalidate();
        audioEncoder_.reset();
    }
}

void CompositeCaptureCoordinator::applyAudioBitrate(std::int64_t bitsPerSecond) {
    queue_->async([weak = weak_from_this(), bitsPerSecond] {
        const auto self = weak.lock();
        if (self && self->audioEncoder_) self->audioEncoder_->setBitrate(clampedNarrow<std::uint32_t>(bitsPerSecond));
    });
}

// ---- tuning ------------------------------------------------------------------------------------

void CompositeCaptureCoordinator::applyTuning(double density, double encodeFPS, double bitrateMbps, bool speedPriority) {
    queue_->async([weak = weak_from_this(), density, encodeFPS, bitrateMbps, speedPriority] {
        const auto self = weak.lock();
        if (!self) return;
        self->detailDensity_ = std::min(density >= 1.0 ? density : 1.0, 2.0);
        self->tuningBitrateMbps_ = std::min(bitrateMbps >= 0 ? bitrateMbps : 0.0, 60.0);
        if (speedPriority != self->tuningSpeedPriority_) {
            self->tuningSpeedPriority_ = speedPriority;
            if (self->encoder_) self->encoder_->setSpeedPriority(speedPriority);
        }
        // A rate that is not a number keeps the full ceiling.
        self->tuningEncodeFPS_ = std::isnan(encodeFPS) ? 60.0 : std::clamp(encodeFPS, 10.0, 60.0);
        if (std::abs(1.0 / self->tuningEncodeFPS_ - self->renderInterval_) > 0.0001) {
            self->renderInterval_ = 1.0 / self->tuningEncodeFPS_;
            self->renderTimer_.reset();
            self->startRenderTimer();
        }
        self->log("★S214-88 調參生效：density=" + real(self->detailDensity_) +
                  " encodeFPS=" + whole(1.0 / self->renderInterval_) + " bitrateMbps=" +
                  (self->tuningBitrateMbps_ == 0 ? std::string("自動") : whole(self->tuningBitrateMbps_)) +
                  " speedPriority=" + boolText(self->tuningSpeedPriority_));
    });
}

// ---- shutdown ----------------------------------------------------------------------------------

void CompositeCaptureCoordinator::stopAll() {
    queue_->sync([&] {
        renderTimer_.reset();
        for (const auto& [id, entry] : active_) {
            if (entry->capture->isRunning()) stopSession(id, *entry->capture);
        }
        active_.clear();
        if (encoder_) encoder_->invalidate();
        encoder_.reset();
        encoderOutputPixelSize_.reset();
        lastEncoderRebuildTime_ = 0;
        nextFrameID_ = 0;
        hasLatestFrameParameters_ = false;
        latestTopology_ = DisplayTopology();
        latestCropRect_ = CGRect::zero();
        stopSystemAudio();
        audioEnabled_ = false;
        audioStartDeferred_ = false;
        latestDisplays_.clear();
    });
}

}  // namespace mivodrell
