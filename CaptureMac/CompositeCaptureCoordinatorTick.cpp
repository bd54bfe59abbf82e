// CompositeCaptureCoordinator: the render timer, the encoder and the render/encode tick.

#include "CaptureMac/CompositeCaptureCoordinator.h"

#include "CaptureMac/CompositeCaptureCoordinatorParts.h"
#include "CaptureMac/CompositeFrameRenderer.h"
#include "Platform/Base/Clock.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Base/SerialQueue.h"

#include <algorithm>
#include <cmath>

namespace mivodrell {

using namespace coordinatortext;

namespace {

constexpr double kDefaultRebuildIntervalSeconds = 3.0;
constexpr std::int64_t kBacklogFloorBytes = 48'000;
constexpr double kBacklogBudgetSeconds = 0.3;

}  // namespace

void CompositeCaptureCoordinator::startRenderTimer() {
    if (renderTimer_) return;
    renderTimer_ = collaborators_.timerFactory(*queue_, renderInterval_, [weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->tick();
    });
}

void CompositeCaptureCoordinator::rebuildEncoder(int width, int height) {
    const double now = collaborators_.clock->hostTime();
    if (encoderOutputPixelSize_) {
        if (truncateClamped<std::int64_t>(encoderOutputPixelSize_->width, 0) == width &&
            truncateClamped<std::int64_t>(encoderOutputPixelSize_->height, 0) == height) {
            return;
        }
        const double interval = encoderRebuildIntervalOverride_.value_or(kDefaultRebuildIntervalSeconds);
        if (now - lastEncoderRebuildTime_ < interval) return;
    }
    std::unique_ptr<HEVCEncoder> built;
    try {
        built = std::make_unique<HEVCEncoder>(width, height, encoderConfiguration_, true, collaborators_.encoderBackend);
    } catch (...) {
        reportError(0, std::current_exception());
        return;
    }
    std::weak_ptr<CompositeCaptureCoordinator> weak = weak_from_this();
    built->onDiagnostic = [weak](const std::string& line) {
        if (const auto self = weak.lock()) self->log(line);
    };
    built->onFormatDescriptionAvailable = [weak, width, height](const std::vector<std::vector<std::uint8_t>>& sets,
                                                                std::int32_t nalUnitHeaderLength) {
        const auto self = weak.lock();
        if (!self) return;
        self->lastEmittedFormat_ = EmittedFormat{width, height, sets, nalUnitHeaderLength};
        if (self->onVideoFormatAvailable) self->onVideoFormatAvailable(width, height, sets, nalUnitHeaderLength);
    };
    const bool replacing = encoder_ != nullptr;
    if (replacing) encoder_->invalidate();
    encoder_ = std::move(built);
    encoderOutputPixelSize_ = CGSize{static_cast<double>(width), static_cast<double>(height)};
    lastEncoderRebuildTime_ = now;
    if (replacing) {
        pendingForcedKeyframe_ = true;
        log("CompositeCaptureCoordinator：HEVCEncoder 因輸出尺寸變化重建為 " + n(width) + "x" + n(height) +
            "（見「網路自適應」新功能）");
    }
}

void CompositeCaptureCoordinator::requestKeyframe(std::uint32_t) {
    queue_->async([weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->pendingForcedKeyframe_ = true;
    });
}

void CompositeCaptureCoordinator::resendCurrentFormat() {
    queue_->async([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self || !self->lastEmittedFormat_) return;
        const EmittedFormat& f = *self->lastEmittedFormat_;
        if (self->onVideoFormatAvailable) {
            self->onVideoFormatAvailable(f.width, f.height, f.parameterSets, f.nalUnitHeaderLength);
        }
        self->pendingForcedKeyframe_ = true;
    });
}

// ---- the tick ----------------------------------------------------------------------------------

bool CompositeCaptureCoordinator::backlogGateOpen() {
    if (!outboundFrameBacklogBytes) return true;
    const std::int64_t backlog = outboundFrameBacklogBytes();
    const std::int64_t limit = std::max(
        truncateClamped<std::int64_t>(static_cast<double>(latestTargetBitrate_) * kBacklogBudgetSeconds * 0.125, 0),
        kBacklogFloorBytes);
    if (backlog > limit) {
        if (!droppingForBacklog_) {
            droppingForBacklog_ = true;
            if (onBacklogTrip) onBacklogTrip();
            const double age = collaborators_.clock->mediaTime() - lastKeyframeTime_;
            log("影格通道積壓 " + n(backlog) + " bytes > 上限 " + n(limit) + "（延遲預算 0.3s）——跳幀等待排空｜最近關鍵幀 " +
                n(lastKeyframeBytes_) + " bytes、" + (lastKeyframeTime_ <= 0 ? std::string("-") : fixed(age, 1)) +
                "s 前（★S214-110 §4.3）");
        }
        backlogDroppedFrameCount_ += 1;
        return false;
    }
    if (droppingForBacklog_) {
        if (backlog > limit / 2) {
            backlogDroppedFrameCount_ += 1;
            return false;
        }
        droppingForBacklog_ = false;
        log("影格通道積壓已排空至半值以下（共跳 " + n(backlogDroppedFrameCount_) +
            " 幀），恢復送幀（不再強制關鍵幀——P 鏈未斷，見 S214 第五十八輪）");
        backlogDroppedFrameCount_ = 0;
    }
    return true;
}

bool CompositeCaptureCoordinator::pacingAllows() {
    // The lowest of the three ceilings; one that is not a number takes no part.
    double cap = autoComputeFPS_;
    if (maxFrameRate_ < cap) cap = maxFrameRate_;
    if (tuningEncodeFPS_ < cap) cap = tuningEncodeFPS_;
    if (!(cap < 59.0)) return true;
    const double interval = 1.0 / std::max(cap, 1.0);
    const double now = collaborators_.clock->mediaTime();
    if (now - lastEncodeHostTime_ < interval * 0.95) return false;
    // Never more than one interval behind, so a stall is not followed by a burst.
    lastEncodeHostTime_ = std::max(lastEncodeHostTime_ + interval, now - interval);
    return true;
}

void CompositeCaptureCoordinator::probeCropReversals(double now) {
    const CGPoint c = latestCropRect_.origin;
    if (!(cropProbeLast_ == CGPoint::zero())) {
        const CGPoint d{c.x - cropProbeLast_.x, c.y - cropProbeLast_.y};
        const auto reversed = [](double delta, double previous) {
            return ((delta > 0 && previous < 0) || (delta < 0 && previous > 0)) &&
                   std::min(std::abs(delta), std::abs(previous)) > 8.0;
        };
        if (reversed(d.x, cropProbePrevDelta_.x) || reversed(d.y, cropProbePrevDelta_.y)) {
            cropProbeReversals_ += 1;
            cropProbeMax_ = std::max(cropProbeMax_, std::max(std::abs(d.x), std::abs(d.y)));
        }
        if (d.x != 0) cropProbePrevDelta_.x = d.x;
        if (d.y != 0) cropProbePrevDelta_.y = d.y;
    }
    cropProbeLast_ = c;
    if (cropProbeWindowStart_ == 0) cropProbeWindowStart_ = now;
    if (now - cropProbeWindowStart_ > 2.0) {
        if (cropProbeReversals_ > 0) {
            log("★S214-79 crop反轉：2 秒 " + n(cropProbeReversals_) + " 次（最大 " + fixed(cropProbeMax_, 1) + " pt）");
        }
        cropProbeWindowStart_ = now;
        cropProbeReversals_ = 0;
        cropProbeMax_ = 0;
    }
}

void CompositeCaptureCoordinator::probeCoverage() {
    for (const DisplayTopology::Slice& slice : latestTopology_.slices(latestCropRect_)) {
        const auto it = active_.find(slice.display.id());
        if (it == active_.end()) continue;
        const CGRect& src = it->second->sourceRect;
        const CGRect& local = slice.localRect;
        const double overrun = std::max({src.minX() - local.minX(), local.maxX() - src.maxX(),
                                         src.minY() - local.minY(), local.maxY() - src.maxY()});
        if (overrun > 0.01) {
            coverageOverrunTickCount_ += 1;
            if (overrun > coverageMaxOverrun_) {
                coverageMaxOverrun_ = overrun;
                coverageWorstSample_ = "螢幕 " + n(slice.display.id()) + " local=" + rectText(local) + " 已擷取=" + rectText(src);
            }
        }
    }
    coverageTickCount_ += 1;
    const double now = collaborators_.clock->mediaTime();
    if (now - coverageWindowStart_ > 2.0) {
        if (coverageOverrunTickCount_ > 0) {
            log("★S214-62 覆蓋：2 秒 " + n(coverageOverrunTickCount_) + "/" + n(coverageTickCount_) +
                " tick 的合成範圍超出已擷取範圍，最大超出 " + fixed(coverageMaxOverrun_, 1) + " pt（" +
                coverageWorstSample_ + "）——超出部分＝clampToEdge 拉伸");
        }
        coverageWindowStart_ = now;
        coverageTickCount_ = 0;
        coverageOverrunTickCount_ = 0;
        coverageMaxOverrun_ = 0;
        coverageWorstSample_.clear();
    }
}

void CompositeCaptureCoordinator::tick() {
    if (!hasLatestFrameParameters_ || !encoder_ || !encoderOutputPixelSize_ || active_.empty()) return;
    if (!backlogGateOpen()) return;
    if (!pacingAllows()) return;
    const CGRect cropRect = latestCropRect_;
    probeCropReversals(collaborators_.clock->mediaTime());
    probeCoverage();

    // Static content: nothing is encoded while no frame arrived and the crop stood still for 1 s.
    const double now = collaborators_.clock->mediaTime();
    if (!(latestCropRect_ == lastEncodedCropRect_)) lastContentActivityTime_ = now;
    if (!pendingForcedKeyframe_ && now - lastContentActivityTime_ > 1.0) {
        if (!staticSkipActive_) {
            staticSkipActive_ = true;
            log("★S214-97 靜止停編：內容與視角無變化 >1s，暫停編碼（零 shimmer 凍幀）");
        }
        return;
    }
    if (staticSkipActive_) {
        staticSkipActive_ = false;
        log("★S214-97 恢復編碼");
    }
    lastEncodedCropRect_ = latestCropRect_;

    const double t0 = collaborators_.clock->mediaTime();
    // Planar video range is what the encoder takes; it then has nothing to convert.
    const std::shared_ptr<PixelBuffer> pixelBuffer = renderer_->render(
        latestTopology_, latestCropRect_, *encoderOutputPixelSize_, PixelFormat::yuv420PlanarVideoRange);
    if (!pixelBuffer) return;

    const std::uint32_t frameID = nextFrameID_;
    nextFrameID_ += 1;  // wraps

    bool force = false;
    const double keyNow = collaborators_.clock->mediaTime();
    if (pendingForcedKeyframe_ && keyNow - lastForcedKeyframeAt_ >= forcedKeyframeMinInterval_) {
        force = true;
        pendingForcedKeyframe_ = false;
        lastForcedKeyframeAt_ = keyNow;
    }

    try {
        EncodedFrame frame = encoder_->encode(pixelBuffer, frameID,
                                              MediaTime::fromSeconds(collaborators_.clock->hostTime(), 1'000'000'000),
                                              force);
        if (frame.isKeyframe) {
            const double at = collaborators_.clock->mediaTime();
            const double since = lastKeyframeTime_ <= 0 ? -1.0 : at - lastKeyframeTime_;
            log("★S214-120 關鍵幀送出：" + n(frame.payload.size()) + " bytes（距上顆 " + fixed(since, 1) +
                "s，強制=" + boolText(force) + "）");
            lastKeyframeBytes_ = clampedNarrow<std::int64_t>(frame.payload.size());
            lastKeyframeTime_ = at;
        }
        frame.cropRect = cropRect;
        if (onEncodedFrame) onEncodedFrame(frame);
    } catch (...) {
        reportError(0, std::current_exception());
    }
    costProbe(t0, collaborators_.clock->mediaTime());
}

void CompositeCaptureCoordinator::costProbe(double t0, double now) {
    const double cost = (now - t0) * 1000.0;
    costProbeSumMs_ += cost;
    costProbeMaxMs_ = std::max(costProbeMaxMs_, cost);
    costProbeTickCount_ += 1;
    if (costProbeWindowStart_ == 0) costProbeWindowStart_ = now;
    if (now - costProbeWindowStart_ <= 5.0) return;
    const double average = costProbeSumMs_ / std::max(costProbeTickCount_, 1);
    std::vector<std::string> captures;
    for (const auto& [id, frames] : costProbeCaptureFrames_) captures.push_back("螢幕" + n(id) + ":" + n(frames / 5) + "fps");
    std::sort(captures.begin(), captures.end());
    std::string summary;
    for (const std::string& text : captures) summary += (summary.empty() ? "" : " ") + text;
    log("★S214-81 成本：合成+編碼 平均 " + fixed(average, 1) + "ms 最大 " + fixed(costProbeMaxMs_, 1) + "ms（" +
        n(costProbeTickCount_) + " tick/5s）｜擷取 " + summary);
    if (costProbeTickCount_ >= 10) judgeComputeTier(average);
    costProbeWindowStart_ = now;
    costProbeSumMs_ = 0;
    costProbeMaxMs_ = 0;
    costProbeTickCount_ = 0;
    costProbeCaptureFrames_.clear();
}

void CompositeCaptureCoordinator::judgeComputeTier(double averageMs) {
    const double budget = tuningEncodeFPS_ > 60 ? 16.666666666666668 : 1000.0 / std::max(tuningEncodeFPS_, 1.0);
    if (autoComputeFPS_ > 12.5) {
        if (averageMs > budget * 0.84) {
            autoComputeFPS_ = 12.0;
            nonFocusUpdateDivisor_ = 4;
            autoComputeGoodWindows_ = 0;
            log("★S214-107 運算分級：降級 天花板→12fps（平均 " + fixed(averageMs, 1) + "ms > 預算 " + fixed(budget, 1) +
                "ms 的 84%），非重點 1/4");
        }
        return;
    }
    if (averageMs < budget * 0.5) {
        autoComputeGoodWindows_ += 1;
        if (autoComputeGoodWindows_ >= 2) {
            autoComputeFPS_ = 60.0;
            nonFocusUpdateDivisor_ = 3;
            autoComputeGoodWindows_ = 0;
            log("★S214-107 運算分級：恢復 12→天花板（平均 " + fixed(averageMs, 1) + "ms < 預算 50% 連續兩視窗），非重點 1/3");
        }
    } else {
        autoComputeGoodWindows_ = 0;
    }
}

}  // namespace mivodrell
