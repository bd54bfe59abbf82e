#include "CaptureMac/CaptureCoordinator.h"

#include "CaptureMac/CaptureCoordinatorError.h"
#include "CaptureMac/ScreenCaptureSession.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Base/SerialQueue.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace mivodrell {

// One active display. Dropping it drops the capture session (whose stream stops when released)
// and the encoder (invalidated when destroyed).
struct CaptureCoordinator::ActiveSource {
    std::shared_ptr<ScreenCaptureSession> capture;
    std::unique_ptr<HEVCEncoder> encoder;
    bool pendingForcedKeyframe = false;
};

namespace {

bool contains(const std::vector<std::uint32_t>& ids, std::uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

std::shared_ptr<CaptureCoordinator> CaptureCoordinator::create(HEVCEncoder::Configuration encoderConfiguration,
                                                               Collaborators collaborators) {
    return std::shared_ptr<CaptureCoordinator>(new CaptureCoordinator(encoderConfiguration, std::move(collaborators)));
}

CaptureCoordinator::CaptureCoordinator(HEVCEncoder::Configuration encoderConfiguration, Collaborators collaborators)
    : encoderConfiguration_(encoderConfiguration),
      collaborators_(std::move(collaborators)),
      queue_(std::make_shared<SerialQueue>(queueLabel)) {}

CaptureCoordinator::~CaptureCoordinator() = default;

void CaptureCoordinator::apply(const CapturePlan& plan, const std::vector<CaptureDisplay>& displays,
                               const EncoderSettings& settings) {
    queue_->sync([&] {
        // A later display with the same identifier replaces an earlier one.
        std::map<std::uint32_t, CaptureDisplay> byID;
        for (const CaptureDisplay& display : displays) byID.insert_or_assign(display.displayID, display);

        for (const std::uint32_t id : plan.stopped) {
            const auto it = active_.find(id);
            if (it == active_.end()) continue;
            const std::shared_ptr<ActiveSource> source = std::move(it->second);
            active_.erase(it);
            stopCapture(id, *source);
        }

        for (const CaptureSource& source : plan.sources) {
            const std::uint32_t id = source.displayID;
            if (contains(plan.started, id)) {
                // Already running: left exactly as it is, settings included.
                if (!active_.contains(id)) startDisplay(id, source, byID, settings);
            } else if (contains(plan.reconfigured, id)) {
                if (const auto it = active_.find(id); it != active_.end()) {
                    const std::shared_ptr<ActiveSource> previous = std::move(it->second);
                    active_.erase(it);
                    stopCapture(id, *previous);
                }
                startDisplay(id, source, byID, settings);
            } else if (const auto it = active_.find(id); it != active_.end()) {
                ActiveSource& entry = *it->second;
                try {
                    entry.encoder->apply(settings);
                } catch (...) {
                    report(id, std::current_exception());
                }
                try {
                    entry.capture->update(source);
                } catch (...) {
                    report(id, std::current_exception());
                }
            }
        }
    });
}

void CaptureCoordinator::startDisplay(std::uint32_t displayID, const CaptureSource& source,
                                      const std::map<std::uint32_t, CaptureDisplay>& displays,
                                      const EncoderSettings& settings) {
    const auto display = displays.find(displayID);
    if (display == displays.end()) {
        report(displayID, std::make_exception_ptr(CaptureCoordinatorError::displayNotFound(displayID)));
        return;
    }

    // Fraction dropped. A size that is not finite or does not fit comes out as 0 or the extreme of
    // the range, which the encoder refuses.
    const std::int32_t width = truncateClamped<std::int32_t>(source.outputPixelSize.width, 0);
    const std::int32_t height = truncateClamped<std::int32_t>(source.outputPixelSize.height, 0);

    auto entry = std::make_shared<ActiveSource>();
    try {
        entry->encoder = std::make_unique<HEVCEncoder>(width, height, encoderConfiguration_, true,
                                                       collaborators_.encoderBackend);
    } catch (...) {
        report(displayID, std::current_exception());
        return;
    }
    try {
        entry->encoder->apply(settings);
    } catch (...) {
        report(displayID, std::current_exception());
        return;
    }

    const std::weak_ptr<CaptureCoordinator> weak = weak_from_this();
    // Reported from inside an encode on the queue, which holds the coordinator meanwhile.
    entry->encoder->onFormatDescriptionAvailable = [weak, displayID, width, height, sourceRect = source.sourceRect](
                                                       const std::vector<std::vector<std::uint8_t>>& parameterSets,
                                                       std::int32_t nalUnitHeaderLength) {
        const auto self = weak.lock();
        if (self && self->onVideoFormatAvailable) {
            self->onVideoFormatAvailable(displayID, width, height, parameterSets, nalUnitHeaderLength, sourceRect);
        }
    };

    entry->capture = collaborators_.makeCaptureSession ? collaborators_.makeCaptureSession() : ScreenCaptureSession::create();
    const std::weak_ptr<ActiveSource> origin = entry;
    const std::shared_ptr<SerialQueue> queue = queue_;
    entry->capture->onFrame = [weak, origin, queue, displayID](const std::shared_ptr<PixelBuffer>& pixelBuffer,
                                                               MediaTime presentationTime,
                                                               const std::optional<CaptureFrameGeometry>&) {
        queue->async([weak, origin, displayID, pixelBuffer, presentationTime] {
            if (const auto self = weak.lock()) self->encodeFrame(displayID, origin, pixelBuffer, presentationTime);
        });
    };
    entry->capture->onStop = [weak, origin, queue, displayID](const std::optional<PlatformError>& error) {
        queue->async([weak, origin, displayID, error] {
            if (const auto self = weak.lock()) self->streamEnded(displayID, origin, error);
        });
    };

    try {
        // No window list: the whole display less the privacy overlay windows.
        entry->capture->start(display->second, source, capturePixelFormat);
    } catch (...) {
        report(displayID, std::current_exception());
        return;
    }
    active_[displayID] = std::move(entry);
}

void CaptureCoordinator::stopCapture(std::uint32_t displayID, ActiveSource& source) {
    try {
        source.capture->stop();
    } catch (...) {
        report(displayID, std::current_exception());
    }
}

void CaptureCoordinator::encodeFrame(std::uint32_t displayID, const std::weak_ptr<ActiveSource>& origin,
                                     std::shared_ptr<PixelBuffer> pixelBuffer, MediaTime presentationTime) {
    // Only frames of the display's current session: a display stopped meanwhile, or restarted with
    // a new session (and encoder), drops the frames its old session still had on their way.
    const auto it = active_.find(displayID);
    const std::shared_ptr<ActiveSource> source = origin.lock();
    if (it == active_.end() || !source || it->second != source) return;

    const std::uint32_t frameID = nextFrameID_++;  // wraps from 4294967295 to 0
    const bool forceKeyframe = std::exchange(source->pendingForcedKeyframe, false);

    std::optional<EncodedFrame> frame;
    try {
        frame = source->encoder->encode(std::move(pixelBuffer), frameID, presentationTime, forceKeyframe);
    } catch (...) {
        report(displayID, std::current_exception());
        return;
    }
    if (onEncodedFrame) onEncodedFrame(displayID, *frame);
}

void CaptureCoordinator::streamEnded(std::uint32_t displayID, const std::weak_ptr<ActiveSource>& origin,
                                     const std::optional<PlatformError>& error) {
    // The end of a session that has since been replaced is dropped like its frames: the display
    // captures normally with its successor, which it neither removes nor reports as failed.
    const auto it = active_.find(displayID);
    const std::shared_ptr<ActiveSource> source = origin.lock();
    if (it != active_.end()) {
        if (!source || it->second != source) return;
        active_.erase(it);
    }
    if (error) report(displayID, std::make_exception_ptr(*error));
}

void CaptureCoordinator::requestKeyframe(std::uint32_t displayID) {
    queue_->async([weak = weak_from_this(), displayID] {
        const auto self = weak.lock();
        if (!self) return;
        if (const auto it = self->active_.find(displayID); it != self->active_.end()) {
            it->second->pendingForcedKeyframe = true;
        }
    });
}

void CaptureCoordinator::stop() {
    queue_->sync([&] {
        for (const auto& [id, source] : active_) {
            if (source->capture->isRunning()) stopCapture(id, *source);
        }
        active_.clear();
        nextFrameID_ = 0;
    });
}

std::vector<std::uint32_t> CaptureCoordinator::activeDisplayIDs() {
    return queue_->syncResult([&] {
        std::vector<std::uint32_t> ids;
        ids.reserve(active_.size());
        for (const auto& entry : active_) ids.push_back(entry.first);
        return ids;
    });
}

void CaptureCoordinator::setNextFrameIDForTesting(std::uint32_t frameID) {
    queue_->sync([&] { nextFrameID_ = frameID; });
}

void CaptureCoordinator::report(std::uint32_t displayID, std::exception_ptr error) {
    if (onError) onError(displayID, std::move(error));
}

}  // namespace mivodrell
