// CompositeCaptureCoordinator: construction, plans, display captures and frame intake.

#include "CaptureMac/CompositeCaptureCoordinator.h"

#include "CaptureMac/AudioCaptureSession.h"
#include "CaptureMac/CaptureCoordinatorError.h"
#include "CaptureMac/CompositeCaptureCoordinatorParts.h"
#include "CaptureMac/CompositeFrameRenderer.h"
#include "Platform/Base/Clock.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Compute/ComputeDevice.h"
#include "Platform/Media/PixelBuffer.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace mivodrell {

using namespace coordinatortext;

namespace {

constexpr std::uint32_t kPixelFormat420f = 0x34323066;
constexpr double kRectTolerancePoints = 16.0;
constexpr double kSwitchWindowSeconds = 0.08;
constexpr int kMismatchSkipLimit = 30;

bool sizeMatches(CGSize frame, const CGRect& rect) {
    return std::abs(frame.width - rect.width()) <= kRectTolerancePoints &&
           std::abs(frame.height - rect.height()) <= kRectTolerancePoints;
}

bool contains(const std::vector<std::uint32_t>& ids, std::uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Runs `work` on the queue and returns its result: at once when already there (a result closure
// may set a property), else waiting for it.
template <class F>
auto onQueue(SerialQueue& queue, F&& work) {
    return queue.isCurrent() ? work() : queue.syncResult(work);
}

}  // namespace

// ---- construction ------------------------------------------------------------------------------

std::shared_ptr<CompositeCaptureCoordinator> CompositeCaptureCoordinator::create(
    double renderInterval, HEVCEncoder::Configuration encoderConfiguration,
    AudioEncoder::Configuration audioEncoderConfiguration) {
    return create(renderInterval, encoderConfiguration, audioEncoderConfiguration, Collaborators{});
}

std::shared_ptr<CompositeCaptureCoordinator> CompositeCaptureCoordinator::create(
    double renderInterval, HEVCEncoder::Configuration encoderConfiguration,
    AudioEncoder::Configuration audioEncoderConfiguration, Collaborators collaborators) {
    std::shared_ptr<CompositeCaptureCoordinator> coordinator(new CompositeCaptureCoordinator(
        renderInterval, encoderConfiguration, audioEncoderConfiguration, std::move(collaborators)));
    if (!coordinator->renderer_) return nullptr;
    return coordinator;
}

CompositeCaptureCoordinator::CompositeCaptureCoordinator(double renderInterval,
                                                         HEVCEncoder::Configuration encoderConfiguration,
                                                         AudioEncoder::Configuration audioEncoderConfiguration,
                                                         Collaborators collaborators)
    : collaborators_(std::move(collaborators)),
      queue_(std::make_shared<SerialQueue>(queueLabel)),
      renderInterval_(renderInterval),
      encoderConfiguration_(encoderConfiguration),
      audioEncoderConfiguration_(audioEncoderConfiguration) {
    if (!collaborators_.captureBackend) collaborators_.captureBackend = CaptureBackend::current();
    if (!collaborators_.audioCaptureBackend) collaborators_.audioCaptureBackend = collaborators_.captureBackend;
    if (!collaborators_.computeDevice) collaborators_.computeDevice = ComputeDevice::systemDefault();
    if (!collaborators_.audioConverterFactory) collaborators_.audioConverterFactory = AudioConverter::make;
    if (!collaborators_.clock) collaborators_.clock = Clock::system();
    if (!collaborators_.timerFactory) {
        collaborators_.timerFactory = [](SerialQueue& queue, double interval, std::function<void()> handler) {
            return TimerHandle(queue.makeTimer(interval, interval, std::move(handler)));
        };
    }
    renderer_ = CompositeFrameRenderer::create(collaborators_.computeDevice);
}

CompositeCaptureCoordinator::~CompositeCaptureCoordinator() = default;

void CompositeCaptureCoordinator::setOnDiagnostic(DiagnosticHandler handler) {
    onQueue(*queue_, [&] {
        onDiagnostic_ = handler;
        renderer_->onDiagnostic = std::move(handler);
    });
}

void CompositeCaptureCoordinator::log(const std::string& line) const {
    if (onDiagnostic_) onDiagnostic_(line);
}

void CompositeCaptureCoordinator::reportError(std::uint32_t displayID, std::exception_ptr error) const {
    if (onError) onError(displayID, std::move(error));
}

// ---- pure decisions ----------------------------------------------------------------------------

CaptureSource CompositeCaptureCoordinator::fullDisplaySource(const CaptureSource& source,
                                                             const std::optional<CaptureDisplay>& display,
                                                             double density) {
    if (!display) return source;
    const double w = display->width();
    const double h = display->height();
    if (!(w > 0) || !(h > 0)) return source;
    double p = std::min(density >= 1.0 ? density : 1.0, source.pixelsPerPoint >= 1.5 ? 2.0 : 1.0);
    if (p * w > maximumEncoderEdge || p * h > maximumEncoderEdge) p = 1.0;
    CaptureSource result = source;
    result.sourceRect = CGRect(0, 0, w, h);
    result.pixelsPerPoint = p;
    result.outputPixelSize = CGSize{p * w, p * h};
    return result;
}

std::optional<std::pair<int, int>> CompositeCaptureCoordinator::encoderSize(CGSize outputPixelSize, double scale) {
    if (!std::isfinite(outputPixelSize.width) || !std::isfinite(outputPixelSize.height)) return std::nullopt;
    const double s = std::isfinite(scale) ? std::clamp(scale, 0.1, 1.0) : 1.0;
    // Each edge is limited in doubles before it becomes an integer: a multiple of 16, 16...8192.
    const auto edge = [s](double points) {
        const double blocks = std::clamp(std::round(points * s / 16.0), 1.0, maximumEncoderEdge / 16.0);
        return roundClamped<int>(blocks, 1) * 16;
    };
    return std::pair{edge(outputPixelSize.width), edge(outputPixelSize.height)};
}

CompositeCaptureCoordinator::RectMatch CompositeCaptureCoordinator::matchFrameRect(
    RectMatchState& state, const std::optional<CaptureFrameGeometry>& g, double presentationTime) {
    // Sizes of the standardized rectangle. One that is not a number passes this test and then
    // matches neither rectangle: it counts as a mismatch.
    if (!g || !std::isfinite(g->contentScale) || g->contentScale <= 0.05 || g->contentRect.width() <= 0 ||
        g->contentRect.height() <= 0) {
        return {true, state.sourceRect, std::nullopt};
    }
    const CGSize frame{g->contentRect.width() / g->contentScale, g->contentRect.height() / g->contentScale};
    const bool matchesCurrent = sizeMatches(frame, state.sourceRect);
    const bool matchesPrevious = sizeMatches(frame, state.previousSourceRect);
    const bool small = sizeMatches(state.sourceRect.size, state.previousSourceRect);
    if (matchesCurrent) {
        state.consecutiveSizeSkips = 0;
        if (small && std::isfinite(presentationTime) && presentationTime < state.ignoreFramesBeforeHostTime) {
            // Presented before a switch between rectangles of about the same size.
            state.framesTaggedOldSinceSwitch += 1;
            return {false, {}, std::nullopt};
        }
        return {true, state.sourceRect, std::nullopt};
    }
    if (matchesPrevious && !small) {
        state.consecutiveSizeSkips = 0;
        state.framesTaggedOldSinceSwitch += 1;
        return {true, state.previousSourceRect, std::nullopt};
    }
    state.consecutiveSizeSkips += 1;
    if (state.consecutiveSizeSkips <= kMismatchSkipLimit) {
        state.framesTaggedOldSinceSwitch += 1;
        return {false, {}, std::nullopt};
    }
    if (state.consecutiveSizeSkips == kMismatchSkipLimit + 1) return {true, state.sourceRect, frame};
    return {true, state.sourceRect, std::nullopt};
}

std::optional<CGRect> CompositeCaptureCoordinator::contentUV(const std::optional<CaptureFrameGeometry>& g,
                                                             int bufferWidth, int bufferHeight) {
    if (!g || bufferWidth < 1 || bufferHeight < 1) return CGRect(0, 0, 1, 1);
    const double scale = std::isfinite(g->scaleFactor) && g->scaleFactor > 0 ? g->scaleFactor : 1.0;
    const CGRect& r = g->contentRect;
    const double x = r.minX() * scale / bufferWidth;
    const double y = r.minY() * scale / bufferHeight;
    const double w = r.width() * scale / bufferWidth;
    const double h = r.height() * scale / bufferHeight;
    if (w <= 0.1 || h <= 0.1 || x < -0.001 || y < -0.001 || x + w > 1.001 || y + h > 1.001) return std::nullopt;
    // A coordinate that is not a number passes the tests above; the clamp takes it as the buffer's
    // edge (an origin of 0, the whole width or height), so the compositor never samples at NaN.
    return CGRect(std::fmax(x, 0.0), std::fmax(y, 0.0), x > 0 ? std::fmin(w, 1 - x) : std::fmin(w, 1.0),
                  y > 0 ? std::fmin(h, 1 - y) : std::fmin(h, 1.0));
}

// ---- plans -------------------------------------------------------------------------------------

void CompositeCaptureCoordinator::apply(const CapturePlan& plan, const std::vector<CaptureDisplay>& displays,
                                        const DisplayTopology& topology, CGRect cropRect, CGSize outputPixelSize,
                                        const EncoderSettings& settings) {
    queue_->sync([&] {
        const std::int64_t bitrate = tuningBitrateMbps_ > 0
                                         ? truncateClamped<std::int64_t>(tuningBitrateMbps_ * 1'000'000, 0)
                                         : settings.bitrate;
        if (!(settings.maxFrameRate == maxFrameRate_)) {
            maxFrameRate_ = settings.maxFrameRate;
            log("幀率上限改為 " + whole(maxFrameRate_) + " fps（畫質耐受度／品質分級）");
        }
        latestTargetBitrate_ = bitrate;

        std::map<std::uint32_t, CaptureDisplay> byID;
        for (const CaptureDisplay& display : displays) byID.insert_or_assign(display.displayID, display);

        for (std::uint32_t id : plan.stopped) {
            const auto it = active_.find(id);
            if (it == active_.end()) continue;
            const std::shared_ptr<ActiveCaptureSource> entry = it->second;
            active_.erase(it);
            if (entry->capture->isRunning()) stopSession(id, *entry->capture);
            renderer_->remove(id);
        }

        for (const CaptureSource& source : plan.sources) applySource(source, plan, byID);

        latestTopology_ = topology;
        latestCropRect_ = cropRect;
        hasLatestFrameParameters_ = true;
        latestDisplays_ = displays;

        if (const auto size = encoderSize(outputPixelSize, settings.scale)) {
            rebuildEncoder(size->first, size->second);
        } else {
            reportError(0, std::make_exception_ptr(InvalidOutputSize(outputPixelSize)));
        }

        if (encoder_) {
            EncoderSettings applied = settings;
            applied.bitrate = bitrate;
            try {
                encoder_->apply(applied);
            } catch (...) {
                reportError(0, std::current_exception());
            }
            encoder_->setSpeedPriority(tuningSpeedPriority_);
        }
        startRenderTimer();

        if (audioStartDeferred_ && audioEnabled_ && !latestDisplays_.empty()) {
            audioStartDeferred_ = false;
            startSystemAudio();
        }
    });
}

void CompositeCaptureCoordinator::applySource(const CaptureSource& source, const CapturePlan& plan,
                                              const std::map<std::uint32_t, CaptureDisplay>& displays) {
    const std::uint32_t id = source.displayID;
    std::optional<CaptureDisplay> display;
    if (const auto d = displays.find(id); d != displays.end()) display = d->second;
    const CaptureSource eff = fullDisplaySource(source, display, detailDensity_);
    const CaptureSource nat = fullDisplaySource(source, display, 2.0);

    const auto found = active_.find(id);
    const std::shared_ptr<ActiveCaptureSource> entry = found == active_.end() ? nullptr : found->second;
    if (entry) entry->nativeDensity = nat.pixelsPerPoint;

    if (contains(plan.started, id)) {
        if (!entry) startDisplay(id, eff, displays);
        return;
    }
    if (contains(plan.reconfigured, id)) {
        if (!entry) {
            startDisplay(id, eff, displays);
            return;
        }
        if (identical(entry->sourceRect, eff.sourceRect) && entry->lastAppliedOutputPixelSize == eff.outputPixelSize) return;
        try {
            entry->capture->update(eff);
        } catch (const std::exception& e) {
            reportError(id, std::current_exception());
            log("螢幕 " + n(id) + " 就地 reconfigure 失敗（" + e.what() + "），退回整個重建（S214 第五十九輪的後備路徑）");
            active_.erase(id);
            stopSession(id, *entry->capture);
            startDisplay(id, eff, displays);
            return;
        }
        if (entry->framesTaggedOldSinceSwitch > 0) {
            log("★S214-74 在途：螢幕 " + n(id) + " 上次換範圍後 " + n(entry->framesTaggedOldSinceSwitch) +
                " 幀依附件判為舊代／跳過");
            entry->framesTaggedOldSinceSwitch = 0;
        }
        recordSwitch(*entry, eff);
        return;
    }
    if (!entry) return;
    const bool rectChanged = !identical(entry->sourceRect, eff.sourceRect);
    const bool sizeChanged = !(entry->lastAppliedOutputPixelSize == eff.outputPixelSize);
    if (!rectChanged && !sizeChanged) return;
    try {
        entry->capture->update(eff);
    } catch (...) {
        reportError(id, std::current_exception());
        return;
    }
    entry->lastAppliedOutputPixelSize = eff.outputPixelSize;
    recordSwitch(*entry, eff);
}

void CompositeCaptureCoordinator::recordSwitch(ActiveCaptureSource& entry, const CaptureSource& source) {
    entry.previousSourceRect = entry.sourceRect;
    entry.sourceRect = source.sourceRect;
    entry.lastAppliedOutputPixelSize = source.outputPixelSize;
    entry.sourceRectSwitchHostTime = collaborators_.clock->hostTime();
    entry.ignoreFramesBeforeHostTime = entry.sourceRectSwitchHostTime + kSwitchWindowSeconds;
}

void CompositeCaptureCoordinator::stopSession(std::uint32_t displayID, ScreenCaptureSession& session) {
    try {
        session.stop();
    } catch (...) {
        reportError(displayID, std::current_exception());
    }
}

void CompositeCaptureCoordinator::startDisplay(std::uint32_t displayID, const CaptureSource& source,
                                               const std::map<std::uint32_t, CaptureDisplay>& displays) {
    const auto display = displays.find(displayID);
    if (display == displays.end()) {
        reportError(displayID, std::make_exception_ptr(CaptureCoordinatorError::displayNotFound(displayID)));
        return;
    }
    auto session = ScreenCaptureSession::create(collaborators_.captureBackend);
    if (collaborators_.captureOperationTimeoutSeconds != ScreenCaptureSession::operationTimeoutSeconds) {
        session->setOperationTimeoutForTesting(collaborators_.captureOperationTimeoutSeconds);
    }
    std::weak_ptr<CompositeCaptureCoordinator> weak = weak_from_this();
    session->onFrame = [weak, displayID, source](const std::shared_ptr<PixelBuffer>& buffer, MediaTime time,
                                                 const std::optional<CaptureFrameGeometry>& geometry) {
        const auto self = weak.lock();
        if (!self) return;
        self->queue_->async([weak, displayID, source, buffer, t = time.seconds(), geometry] {
            if (const auto coordinator = weak.lock()) coordinator->frameIntake(displayID, buffer, t, geometry, source);
        });
    };
    std::weak_ptr<ScreenCaptureSession> weakSession = session;
    session->onStop = [weak, displayID, weakSession](const std::optional<PlatformError>& error) {
        const auto self = weak.lock();
        if (!self) return;
        self->queue_->async([weak, displayID, weakSession, error] {
            if (const auto coordinator = weak.lock()) coordinator->displayStreamStopped(displayID, weakSession, error);
        });
    };
    try {
        session->start(display->second, source, kPixelFormat420f);
    } catch (...) {
        reportError(displayID, std::current_exception());
        return;
    }
    auto entry = std::make_shared<ActiveCaptureSource>();
    entry->capture = std::move(session);
    entry->sourceRect = source.sourceRect;
    entry->previousSourceRect = source.sourceRect;
    entry->lastAppliedOutputPixelSize = source.outputPixelSize;
    active_[displayID] = std::move(entry);
}

void CompositeCaptureCoordinator::displayStreamStopped(std::uint32_t displayID,
                                                       const std::weak_ptr<ScreenCaptureSession>& session,
                                                       const std::optional<PlatformError>& error) {
    // A report of a session that has since been replaced concerns the old stream only.
    const auto it = active_.find(displayID);
    if (it != active_.end() && it->second->capture == session.lock()) {
        active_.erase(it);
        renderer_->remove(displayID);
    }
    if (error) reportError(displayID, std::make_exception_ptr(*error));
}

// ---- frame intake ------------------------------------------------------------------------------

void CompositeCaptureCoordinator::logGeometry(std::uint32_t displayID, ActiveCaptureSource& entry,
                                              const CaptureFrameGeometry& g, const PixelBuffer& buffer) {
    if (entry.lastContentRectRaw && *entry.lastContentRectRaw == g.contentRect) return;
    entry.lastContentRectRaw = g.contentRect;
    const double now = collaborators_.clock->mediaTime();
    if (now - entry.geometryLogWindowStart > 2.0) {
        entry.geometryLogWindowStart = now;
        entry.geometryLogCount = 0;
    } else if (entry.geometryLogCount > 9) {
        return;
    }
    entry.geometryLogCount += 1;
    log("★S214-62 幾何：螢幕 " + n(displayID) + " SCK contentRect=" + rectText(g.contentRect) +
        " contentScale=" + fixed(g.contentScale, 2) + " scaleFactor=" + fixed(g.scaleFactor, 2) + " buffer=" +
        n(buffer.width()) + "x" + n(buffer.height()) + "｜假定 sourceRect=" + rectText(entry.sourceRect));
}

void CompositeCaptureCoordinator::frameIntake(std::uint32_t displayID, const std::shared_ptr<PixelBuffer>& buffer,
                                              double presentationTime,
                                              const std::optional<CaptureFrameGeometry>& geometry,
                                              const CaptureSource& source) {
    if (!buffer) return;
    const auto it = active_.find(displayID);
    ActiveCaptureSource* entry = it == active_.end() ? nullptr : it->second.get();
    if (entry && geometry) logGeometry(displayID, *entry, *geometry, *buffer);

    CGRect rect = source.sourceRect;
    if (entry) {
        RectMatchState state{entry->sourceRect, entry->previousSourceRect, entry->ignoreFramesBeforeHostTime,
                             entry->framesTaggedOldSinceSwitch, entry->consecutiveSizeSkips};
        const RectMatch match = matchFrameRect(state, geometry, presentationTime);
        entry->framesTaggedOldSinceSwitch = state.framesTaggedOldSinceSwitch;
        entry->consecutiveSizeSkips = state.consecutiveSizeSkips;
        if (match.releasedAfterSkips) {
            const CGSize f = *match.releasedAfterSkips;
            log("★S214-74 附件連續 30 幀不合，放行（螢幕 " + n(displayID) + " 附件推得 " + whole(f.width) + "x" +
                whole(f.height) + "pt 期待新 " + whole(entry->sourceRect.width()) + "x" +
                whole(entry->sourceRect.height()) + " 舊 " + whole(entry->previousSourceRect.width()) + "x" +
                whole(entry->previousSourceRect.height()) + "）");
        }
        if (!match.accept) return;
        rect = match.rect;
    }

    const auto uv = contentUV(geometry, buffer->width(), buffer->height());
    if (!uv) return;

    if (focusDisplayID_ && *focusDisplayID_ != displayID) {
        const std::uint64_t count = ++freshnessFrameCounter_[displayID];
        if (count % std::max<std::uint64_t>(nonFocusUpdateDivisor_, 1) != 0) return;
    }

    costProbeCaptureFrames_[displayID] += 1;
    lastContentActivityTime_ = collaborators_.clock->mediaTime();
    renderer_->update(displayID, buffer, rect, *uv);
}

// ---- switches ----------------------------------------------------------------------------------

void CompositeCaptureCoordinator::setFocusDisplay(std::optional<std::uint32_t> displayID) {
    queue_->async([weak = weak_from_this(), displayID] {
        const auto self = weak.lock();
        if (!self || self->focusDisplayID_ == displayID) return;
        self->focusDisplayID_ = displayID;
        self->log("★S214-106 注意力切換：重點螢幕 → " + (displayID ? n(*displayID) : std::string("無")) +
                  "（非重點更新間隔 1/" + n(self->nonFocusUpdateDivisor_) + "）");
    });
}

void CompositeCaptureCoordinator::setMotionBlurEnabled(bool enabled) {
    queue_->async([weak = weak_from_this(), enabled] {
        const auto self = weak.lock();
        if (!self || self->renderer_->motionBlurEnabled() == enabled) return;
        self->renderer_->setMotionBlurEnabled(enabled);
        self->log(std::string("★S214-116 動態模糊") + (enabled ? "開啟" : "關閉") + "（靜態區維持清晰，變動區 1/8 降採樣）");
    });
}

void CompositeCaptureCoordinator::refreshContentFilters() {
    queue_->async([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self) return;
        for (const auto& [id, entry] : self->active_) {
            ScreenCaptureSession& session = *entry->capture;
            if (!session.isRunning() || !session.currentDisplay() || session.usesWindowInclusionFilter()) continue;
            try {
                session.refreshContentFilter();
            } catch (...) {
                self->reportError(id, std::current_exception());
            }
        }
        self->pendingForcedKeyframe_ = true;
        self->log("refreshContentFilters：已對 " + n(self->active_.size()) + " 條 stream 重套排除清單（排除 " +
                  n(PrivacyOverlayRegistry::excludedWindows().size()) + " 個視窗）");
    });
}

std::vector<std::uint32_t> CompositeCaptureCoordinator::activeDisplayIDs() {
    return queue_->syncResult([&] {
        std::vector<std::uint32_t> ids;
        for (const auto& entry : active_) ids.push_back(entry.first);
        return ids;  // a map's keys come ascending
    });
}

// ---- properties and inspection -----------------------------------------------------------------

std::optional<double> CompositeCaptureCoordinator::encoderRebuildIntervalOverride() {
    return onQueue(*queue_, [&] { return encoderRebuildIntervalOverride_; });
}

void CompositeCaptureCoordinator::setEncoderRebuildIntervalOverride(std::optional<double> seconds) {
    onQueue(*queue_, [&] { encoderRebuildIntervalOverride_ = seconds; });
}

double CompositeCaptureCoordinator::forcedKeyframeMinInterval() {
    return onQueue(*queue_, [&] { return forcedKeyframeMinInterval_; });
}

void CompositeCaptureCoordinator::setForcedKeyframeMinInterval(double seconds) {
    onQueue(*queue_, [&] { forcedKeyframeMinInterval_ = seconds; });
}

void CompositeCaptureCoordinator::setNextFrameIDForTesting(std::uint32_t frameID) {
    queue_->sync([&] { nextFrameID_ = frameID; });
}

CompositeCaptureCoordinator::Inspection CompositeCaptureCoordinator::inspect() {
    return queue_->syncResult([&] {
        Inspection s;
        for (const auto& [id, e] : active_) {
            s.active[id] = DisplayState{e->sourceRect,
                                        e->previousSourceRect,
                                        e->lastAppliedOutputPixelSize,
                                        e->nativeDensity,
                                        e->framesTaggedOldSinceSwitch,
                                        e->consecutiveSizeSkips,
                                        renderer_->hasSource(id)};
        }
        s.encoderOutputPixelSize = encoderOutputPixelSize_;
        s.acceptedFramesInCostWindow = costProbeCaptureFrames_;
        s.nextFrameID = nextFrameID_;
        s.pendingForcedKeyframe = pendingForcedKeyframe_;
        s.renderInterval = renderInterval_;
        s.renderTimerRunning = renderTimer_ != nullptr;
        s.maxFrameRate = maxFrameRate_;
        s.latestTargetBitrate = latestTargetBitrate_;
        s.autoComputeFPS = autoComputeFPS_;
        s.nonFocusUpdateDivisor = nonFocusUpdateDivisor_;
        s.detailDensity = detailDensity_;
        s.tuningEncodeFPS = tuningEncodeFPS_;
        s.tuningBitrateMbps = tuningBitrateMbps_;
        s.tuningSpeedPriority = tuningSpeedPriority_;
        s.staticSkipActive = staticSkipActive_;
        s.droppingForBacklog = droppingForBacklog_;
        s.backlogDroppedFrameCount = backlogDroppedFrameCount_;
        s.audioEnabled = audioEnabled_;
        s.audioCapturing = audioCapture_ != nullptr;
        s.hasAudioEncoder = audioEncoder_ != nullptr;
        if (audioEncoder_) s.audioEncoderBitrate = audioEncoder_->currentBitrate();
        s.hasLatestFrameParameters = hasLatestFrameParameters_;
        return s;
    });
}

}  // namespace mivodrell
