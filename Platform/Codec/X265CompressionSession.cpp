#include "Platform/Codec/X265CompressionSession.h"

#include "Platform/Codec/LiveRateController.h"
#include "Platform/Codec/RealTimeSpeedTuner.h"

#include "Platform/Media/ColorConversion.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Base/WorkerPool.h"

#include <x265.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

namespace mivodrell {

namespace {

constexpr int maxEdge = 8192;
constexpr int minEdge = 16;        // one CTU of 16
constexpr int smallCtuBelow = 32;  // an edge below this needs CTU 16
constexpr int smallCtuLevel = 41;  // CTU 16 is not allowed from level 5 on
constexpr int minPinnedLevel = 51;
constexpr double defaultFrameRate = 60.0;
constexpr int nalTypeVPS = 32;
constexpr std::size_t compressionPropertyKeyCount =
    static_cast<std::size_t>(CompressionPropertyKey::prioritizeEncodingSpeedOverQuality) + 1;
// Presentation times are rational; their differences in seconds may miss a whole interval by
// a rounding step.
constexpr double keyframeTimeTolerance = 1e-6;
constexpr int nalTypePPS = 34;
// The frame interval the live rate follows: a running mean with this weight for the newest gap,
// each gap counted up to this many seconds.
constexpr double frameIntervalWeight = 0.1;
constexpr double maxFrameGap = 0.25;
// x265 reports a live change as still in progress until this many frames after it.
constexpr std::int64_t reconfigureFrames = 2;
constexpr int maxConversionThreads = 4;
// The preset a real-time session starts from: its sub-pixel refinement is not 0, which x265
// could not leave again, so every step below stays reachable.
constexpr const char* realTimePreset = "superfast";

// Effort settings that x265 changes between frames, best quality first.
struct EffortStep {
    int rdLevel;
    int searchMethod;
    int subpelRefine;
    std::uint32_t mergeCandidates;
    bool earlySkip;
    bool fastIntra;
    friend bool operator==(const EffortStep&, const EffortStep&) = default;
};
// (rd 1 is no step: on noisy content it is slower than rd 2 and worse.)
constexpr EffortStep effortSteps[x265RealTimeStepCount] = {
    {3, X265_HEX_SEARCH, 2, 3, false, false},
    {3, X265_HEX_SEARCH, 1, 2, true, true},
    {2, X265_HEX_SEARCH, 1, 2, true, true},
    {2, X265_DIA_SEARCH, 1, 2, true, true},
};
constexpr int fastestStep = x265RealTimeStepCount - 1;

// The first step for a pixel rate per core (pixels a second each core must encode): the upper
// bounds of steps 0 to 2, above them the fastest. The tuner corrects the guess within seconds.
// Only a session that starts at the best step gets 8 x 8 coding units; the others stop at
// 16 x 16, which cannot change without a keyframe. 8 x 8 gives about 3 dB on small text but
// took twice the time at 1080p on 8 cores, even at the fastest step, where 16 x 16 kept pace
// with x265's ultrafast preset.
constexpr double stepPixelRateLimits[] = {4e6, 8e6, 16e6};
// A session that starts at this step or a faster one goes without the deblocking filter: it
// took a fifth of the time at 1080p and changed the PSNR of desktop content at 8 Mbit/s by less
// than 0.1 dB.
constexpr int loopFilterOffFromStep = 2;

int initialStep(int width, int height, double frameRate, int cores) {
    const double perCore = static_cast<double>(width) * height * frameRate / std::max(1, cores);
    int step = 0;
    for (double limit : stepPixelRateLimits) {
        if (perCore <= limit) return step;
        ++step;
    }
    return fastestStep;
}

struct LevelLimits {
    int level;
    double maxLumaPs;
    double maxLumaSr;
    int maxMainKbps;
};

// HEVC Main-tier level limits.
constexpr LevelLimits levelTable[] = {
    {10, 36864, 552960, 128},           {20, 122880, 3686400, 1500},        {21, 245760, 7372800, 3000},
    {30, 552960, 16588800, 6000},       {31, 983040, 33177600, 10000},      {40, 2228224, 66846720, 12000},
    {41, 2228224, 133693440, 20000},    {50, 8912896, 267386880, 25000},    {51, 8912896, 534773760, 40000},
    {52, 8912896, 1069547520, 60000},   {60, 35651584, 1069547520, 60000},  {61, 35651584, 2139095040, 120000},
    {62, 35651584, 4278190080.0, 240000},
};

bool levelHolds(const LevelLimits& l, int width, int height, double frameRate) {
    const double ps = static_cast<double>(width) * height;
    const double maxDim = std::sqrt(8.0 * l.maxLumaPs);
    return ps <= l.maxLumaPs && width <= maxDim && height <= maxDim && ps * frameRate <= l.maxLumaSr;
}

struct EncoderDeleter {
    void operator()(x265_encoder* e) const {
        if (e) x265_encoder_close(e);
    }
};
struct ParamDeleter {
    void operator()(x265_param* p) const {
        if (p) x265_param_free(p);
    }
};
struct FreeDeleter {
    void operator()(std::uint8_t* p) const { std::free(p); }
};

// What the open encoder was opened with, to tell whether a property change needs a reopen.
struct RateSetup {
    int fpsNum = 0;
    int bitrateKbps = 0;  // 0: constant quality
    int vbvMaxKbps = 0;
    int vbvBufferKbits = 0;
    friend bool operator==(const RateSetup&, const RateSetup&) = default;
};

struct Settings {
    bool realTime = false;
    std::int64_t maxKeyFrameInterval = 0;
    double maxKeyFrameIntervalDuration = 0;
    double expectedFrameRate = 0;
    std::int64_t averageBitRate = 0;
    double dataRateLimitBytes = 0;
    double dataRateLimitSeconds = 0;
    bool prioritizeSpeed = false;
};

std::optional<std::int64_t> integerValue(const CompressionPropertyValue& value) {
    if (const auto* i = std::get_if<std::int64_t>(&value)) return *i;
    if (const auto* d = std::get_if<double>(&value)) return exactInteger<std::int64_t>(*d);
    return std::nullopt;
}

std::optional<double> doubleValue(const CompressionPropertyValue& value) {
    if (const auto* d = std::get_if<double>(&value)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
    return std::nullopt;
}

double numberValue(const CompressionNumber& n) {
    if (const auto* d = std::get_if<double>(&n)) return *d;
    return static_cast<double>(std::get<std::int64_t>(n));
}

class Core {
public:
    Core(const CompressionSession::Parameters& parameters, const X265SessionOptions& options)
        : width_(parameters.width),
          height_(parameters.height),
          callback_(parameters.outputCallback),
          preset_(options.preset),
          threads_(options.threadCount > 0 ? options.threadCount : availableCoreCount()),
          poolsSpec_(std::to_string(threads_)),
          clock_(options.clock ? options.clock : Clock::system()),
          onSpeedStep_(options.onSpeedStep),
          onReconfigure_(options.onReconfigure),
          beforeEncode_(options.beforeEncode) {}

    ~Core() { close(); }

    std::atomic<bool> invalidated{false};

    std::int32_t setProperty(CompressionPropertyKey key, const CompressionPropertyValue& value) {
        if (invalidated.load()) return CompressionStatus::invalidSession;
        switch (key) {
            case CompressionPropertyKey::realTime:
            case CompressionPropertyKey::maximizePowerEfficiency: {
                const bool* b = std::get_if<bool>(&value);
                if (!b) return CompressionStatus::paramErr;
                if (key == CompressionPropertyKey::realTime) settings_.realTime = *b;
                return CompressionStatus::ok;
            }
            case CompressionPropertyKey::allowFrameReordering: {
                const bool* b = std::get_if<bool>(&value);
                if (!b) return CompressionStatus::paramErr;
                // Frames always leave in input order here.
                return *b ? CompressionStatus::propertyNotSupported : CompressionStatus::ok;
            }
            case CompressionPropertyKey::maxKeyFrameInterval: {
                const auto n = integerValue(value);
                if (!n || *n < 0) return CompressionStatus::paramErr;
                settings_.maxKeyFrameInterval = *n;
                return CompressionStatus::ok;
            }
            case CompressionPropertyKey::maxKeyFrameIntervalDuration: {
                const auto d = doubleValue(value);
                if (!d || !std::isfinite(*d) || *d < 0) return CompressionStatus::paramErr;
                settings_.maxKeyFrameIntervalDuration = *d;
                return CompressionStatus::ok;
            }
            case CompressionPropertyKey::expectedFrameRate: {
                const auto d = doubleValue(value);
                if (!d || !std::isfinite(*d) || *d <= 0 || *d > 1000) return CompressionStatus::paramErr;
                settings_.expectedFrameRate = *d;
                noteRateChange();
                return CompressionStatus::ok;
            }
            case CompressionPropertyKey::profileLevel: {
                const auto* s = std::get_if<std::string>(&value);
                if (!s) return CompressionStatus::paramErr;
                return *s == CompressionProfileLevel::hevcMainAutoLevel ? CompressionStatus::ok
                                                                        : CompressionStatus::propertyNotSupported;
            }
            case CompressionPropertyKey::colorPrimaries:
            case CompressionPropertyKey::transferFunction:
            case CompressionPropertyKey::yCbCrMatrix: {
                const auto* s = std::get_if<std::string>(&value);
                if (!s) return CompressionStatus::paramErr;
                return *s == CompressionColor::itu709 ? CompressionStatus::ok : CompressionStatus::propertyNotSupported;
            }
            case CompressionPropertyKey::averageBitRate: {
                const auto n = integerValue(value);
                if (!n || *n <= 0) return CompressionStatus::paramErr;
                settings_.averageBitRate = *n;
                noteRateChange();
                return CompressionStatus::ok;
            }
            case CompressionPropertyKey::dataRateLimits: {
                const auto* list = std::get_if<std::vector<CompressionNumber>>(&value);
                if (!list) return CompressionStatus::paramErr;
                if (list->empty()) {
                    settings_.dataRateLimitBytes = 0;
                    settings_.dataRateLimitSeconds = 0;
                    noteRateChange();
                    return CompressionStatus::ok;
                }
                // One limit (bytes over seconds) is honoured; further pairs are not supported.
                if (list->size() != 2) return CompressionStatus::propertyNotSupported;
                const double bytes = numberValue((*list)[0]);
                const double seconds = numberValue((*list)[1]);
                if (!std::isfinite(bytes) || !std::isfinite(seconds) || bytes <= 0 || seconds <= 0) {
                    return CompressionStatus::paramErr;
                }
                settings_.dataRateLimitBytes = bytes;
                settings_.dataRateLimitSeconds = seconds;
                noteRateChange();
                return CompressionStatus::ok;
            }
            case CompressionPropertyKey::prioritizeEncodingSpeedOverQuality: {
                const bool* b = std::get_if<bool>(&value);
                if (!b) return CompressionStatus::paramErr;
                settings_.prioritizeSpeed = *b;
                if (!encoder_) return CompressionStatus::ok;
                return applySpeedSettings();
            }
        }
        return CompressionStatus::propertyNotSupported;
    }

    std::int32_t prepare() {
        if (invalidated.load()) return CompressionStatus::invalidSession;
        return encoder_ ? CompressionStatus::ok : open();
    }

    struct Job {
        std::shared_ptr<const PixelBuffer> image;
        MediaTime presentationTime;
        MediaTime duration;
        bool forceKeyFrame = false;
        std::shared_ptr<void> context;
    };

    void encode(Job job) {
        if (invalidated.load()) {
            deliver(std::move(job.context), CompressionStatus::invalidSession, nullptr);
            return;
        }
        const double started = clock_->mediaTime();
        bool reopened = false;
        if (!encoder_ || reopenPending_) {
            const std::int32_t status = open();
            if (status != CompressionStatus::ok) {
                deliver(std::move(job.context), status, nullptr);
                return;
            }
            reopened = true;
        }

        // Planar video-range input (the compositor's) is already what x265 takes; x265 only reads
        // the planes, during the encode call. Everything else is converted into our own planes.
        I420Planes input = planes_;
        const PixelBuffer& image = *job.image;
        if (image.pixelFormat() == PixelFormat::yuv420PlanarVideoRange) {
            if (image.width() != width_ || image.height() != height_) {
                deliver(std::move(job.context), CompressionStatus::paramErr, nullptr);
                return;
            }
            const auto plane = [&](std::size_t p) { return const_cast<std::uint8_t*>(image.baseAddressOfPlane(p)); };
            const auto stride = [&](std::size_t p) { return static_cast<std::ptrdiff_t>(image.bytesPerRowOfPlane(p)); };
            input = {plane(0), stride(0), plane(1), stride(1), plane(2), stride(2)};
        } else if (!convertPixelBufferToI420(image, width_, height_, planes_, pool_.get())) {
            deliver(std::move(job.context), CompressionStatus::paramErr, nullptr);
            return;
        }
        picture_.planes[0] = input.y;
        picture_.planes[1] = input.u;
        picture_.planes[2] = input.v;
        picture_.stride[0] = static_cast<int>(input.strideY);
        picture_.stride[1] = static_cast<int>(input.strideU);
        picture_.stride[2] = static_cast<int>(input.strideV);

        const double pts = job.presentationTime.seconds();
        bool idr = job.forceKeyFrame || reopened || !lastKeyFrameIndex_;
        if (!idr && settings_.maxKeyFrameInterval > 0 && frameIndex_ - *lastKeyFrameIndex_ >= settings_.maxKeyFrameInterval) {
            idr = true;
        }
        if (!idr && settings_.maxKeyFrameIntervalDuration > 0 && std::isfinite(pts) && std::isfinite(lastKeyFrameTime_) &&
            pts - lastKeyFrameTime_ >= settings_.maxKeyFrameIntervalDuration - keyframeTimeTolerance) {
            idr = true;
        }

        noteFrameTime(pts);
        picture_.sliceType = idr ? X265_TYPE_IDR : X265_TYPE_AUTO;
        picture_.forceqp = liveRate_ ? liveRate_->nextQP(idr) + 1 : 0;  // 0: x265's own choice
        picture_.pts = frameIndex_;
        x265_nal* nals = nullptr;
        std::uint32_t nalCount = 0;
        x265_picture output;
        x265_picture_init(param_.get(), &output);
        if (beforeEncode_) {
            std::unique_ptr<x265_param, ParamDeleter> current(x265_param_alloc());
            if (current) {
                x265_encoder_parameters(encoder_.get(), current.get());
                applyEffort(*current, heldEffort_);
                beforeEncode_(*current, picture_);
            }
        }
        const int ret = x265_encoder_encode(encoder_.get(), &nals, &nalCount, &picture_, &output);
        const std::int64_t index = frameIndex_++;
        // A change x265 could not take (an earlier one was still in progress) goes in once x265
        // is done with the earlier one: it answers "in progress" until two frames after it.
        if (speedPending_ && ret >= 0 && frameIndex_ - lastReconfigureFrame_ >= reconfigureFrames) applySpeedSettings();
        // A frame that opened the encoder says nothing about the encoding speed.
        if (ret >= 0 && !reopened) noteEncodeTime(clock_->mediaTime() - started);
        if (ret < 0) {
            // The encoder is unusable after a failure; the next frame opens a fresh one.
            reopenPending_ = true;
            deliver(std::move(job.context), CompressionStatus::encoderFailed, nullptr);
            return;
        }
        if (ret == 0 || nalCount == 0 || nals == nullptr) {
            deliver(std::move(job.context), CompressionStatus::ok, nullptr);
            return;
        }

        const bool keyframe = IS_X265_TYPE_I(output.sliceType);
        std::size_t total = 0;
        for (std::uint32_t i = 0; i < nalCount; ++i) total += nals[i].sizeBytes;
        const double bits = static_cast<double>(total) * 8;
        if (liveRate_) liveRate_->frameEncoded(bits, output.frameData.qp, keyframe);
        if (!keyframe) {
            lastFrameQP_ = output.frameData.qp;
            lastFrameBits_ = bits;
        }
        if (keyframe) {
            lastKeyFrameIndex_ = index;
            lastKeyFrameTime_ = pts;
        }

        auto sample = std::make_shared<SampleBuffer>();
        sample->presentationTime = job.presentationTime;
        sample->duration = job.duration;
        sample->videoFormat = format_;
        // x265 keeps the payloads of one access unit back to back: one copy.
        std::vector<std::uint8_t> data(total);
        std::memcpy(data.data(), nals[0].payload, total);
        sample->dataBuffer = std::move(data);
        AttachmentDictionary attachments;
        if (!keyframe) attachments.set(std::string(AttachmentKey::notSync), AttachmentValue(true));
        sample->attachments = std::vector<AttachmentValue>{AttachmentValue(std::move(attachments))};
        deliver(std::move(job.context), CompressionStatus::ok, std::move(sample));
    }

    void close() {
        encoder_.reset();
        param_.reset();
    }

    void deliver(std::shared_ptr<void> context, std::int32_t status, SampleBufferRef sample) {
        if (callback_) callback_(std::move(context), status, std::move(sample));
    }

    int threadCount() const { return threads_; }

    // Follows the measured time with the effort step; the speed preference holds the fastest.
    void noteEncodeTime(double seconds) {
        if (!tuner_ || settings_.prioritizeSpeed) return;
        const std::optional<int> step = tuner_->record(seconds);
        if (!step) return;
        applySpeedSettings();
        if (onSpeedStep_) onSpeedStep_(*step);
    }

private:
    RateSetup wantedRate(int level) const {
        RateSetup r;
        const double fps = settings_.expectedFrameRate > 0 ? settings_.expectedFrameRate : defaultFrameRate;
        r.fpsNum = std::max(1, roundClamped<int>(fps * 1000.0, 60000));
        const int levelCap = level > 0 ? HEVCLevel::maxMainTierBitrateKbps(level) : std::numeric_limits<int>::max();
        if (settings_.averageBitRate > 0) {
            const double kbps = std::round(static_cast<double>(settings_.averageBitRate) / 1000.0);
            r.bitrateKbps = std::clamp(roundClamped<int>(kbps, 1), 1, levelCap);
        }
        if (settings_.dataRateLimitBytes > 0 && settings_.dataRateLimitSeconds > 0) {
            const double bits = settings_.dataRateLimitBytes * 8.0;
            r.vbvMaxKbps = std::clamp(roundClamped<int>(bits / settings_.dataRateLimitSeconds / 1000.0, 1), 1, levelCap);
            r.vbvBufferKbits = std::clamp(roundClamped<int>(bits / 1000.0, 1), 1, levelCap);
        } else if (r.bitrateKbps > 0) {
            // An average rate alone still runs with a (loose) rate buffer: x265 writes a different
            // PPS for plain average-rate coding, and the parameter sets must not change when a
            // limit comes later.
            const int loose = level > 0 ? levelCap : static_cast<int>(std::min<std::int64_t>(
                                                          std::int64_t{r.bitrateKbps} * 2, std::numeric_limits<int>::max()));
            r.vbvMaxKbps = loose;
            r.vbvBufferKbits = loose;
        }
        return r;
    }

    // A new frame rate, or leaving or entering constant quality, needs a new encoder: x265's
    // rate control takes them only when it opens. A new average rate or limit is held from the
    // next frame on by choosing each frame's quantiser (LiveRateController): libx265 accepts a
    // live rate reconfiguration but its rate control keeps the values it opened with.
    void noteRateChange() {
        if (!encoder_) return;
        const RateSetup wanted = wantedRate(level_);
        if (wanted.fpsNum != openedRate_.fpsNum || (wanted.bitrateKbps > 0) != (openedRate_.bitrateKbps > 0)) {
            reopenPending_ = true;
            return;
        }
        if (reopenPending_) return;  // the next open takes the wanted rate anyway
        if (!liveRate_ && wanted == openedRate_) return;
        if (liveRate_) {
            liveRate_->setTarget(rateTarget(wanted));
        } else {
            liveRate_.emplace(rateTarget(wanted), lastFrameQP_, lastFrameBits_);
        }
    }

    // Each frame's share of the rate follows the rate frames really come at (the expected
    // frame rate until two frames with times were seen): a stream paced below the expected rate
    // still gets its whole average bit rate.
    LiveRateController::Target rateTarget(const RateSetup& r) const {
        const double fps = std::isfinite(frameInterval_) ? 1.0 / frameInterval_ : r.fpsNum / 1000.0;
        return {r.bitrateKbps * 1000.0, r.vbvMaxKbps * 1000.0, r.vbvBufferKbits * 1000.0, fps};
    }

    // Follows the interval between presentation times (a running mean, each gap counted up to
    // `maxFrameGap`, so a pause does not starve the frames after it).
    void noteFrameTime(double pts) {
        if (!std::isfinite(pts)) return;
        if (std::isfinite(lastFrameTime_) && pts > lastFrameTime_) {
            const double gap = std::min(pts - lastFrameTime_, maxFrameGap);
            frameInterval_ = std::isfinite(frameInterval_) ? frameInterval_ + frameIntervalWeight * (gap - frameInterval_) : gap;
            if (liveRate_) liveRate_->setTarget(rateTarget(wantedRate(level_)));
        }
        lastFrameTime_ = pts;
    }

    std::int32_t open() {
        close();
        reopenPending_ = false;
        speedPending_ = false;
        liveRate_.reset();
        const double fps = settings_.expectedFrameRate > 0 ? settings_.expectedFrameRate : defaultFrameRate;
        const bool smallCtu = std::min(width_, height_) < smallCtuBelow;
        // A real-time session with a rate holds the rate itself (see below), and x265 runs at a
        // constant quantiser that each frame overrides: that spares x265's rate control its
        // per-frame cost estimates and row-by-row buffer checks (a quarter of its CPU time at
        // 1080p, and the slowest frames). x265 refuses a fixed level at a constant quantiser
        // and takes the smallest that fits the size and frame rate, which the rate is held to.
        const bool sessionHoldsRate = settings_.realTime && settings_.averageBitRate > 0;
        if (sessionHoldsRate) {
            level_ = HEVCLevel::smallestFitting(width_, height_, fps);
        } else if (!levelChosen_) {
            // Pinned once: an automatic level would change with the rate (and silently block
            // rate changes); a fixed one keeps the parameter sets the same across reopens.
            const int fits = HEVCLevel::smallestFitting(width_, height_, fps);
            level_ = smallCtu ? smallCtuLevel : (fits == 0 ? 0 : std::max(minPinnedLevel, fits));
            levelChosen_ = true;
        }

        if (settings_.realTime && !tuner_) {
            RealTimeSpeedTuner::Configuration c;
            c.stepCount = x265RealTimeStepCount;
            c.frameInterval = 1.0 / fps;
            c.windowFrames = std::max(4, roundClamped<int>(fps / 2, 30));
            // The encoder shares the frame interval with capture and compositing: it aims at
            // well under the whole of it.
            c.slowFraction = 0.7;
            c.fastFraction = 0.45;
            tuner_.emplace(c, initialStep(width_, height_, fps, threads_));
            // Chosen once, like the level: both are in the parameter sets.
            realTimeMinCUSize_ = tuner_->step() == 0 || smallCtu ? 8 : 16;
            realTimeLoopFilter_ = tuner_->step() < loopFilterOffFromStep;
        }

        std::unique_ptr<x265_param, ParamDeleter> p(x265_param_alloc());
        if (!p) return CompressionStatus::allocationFailed;
        const char* preset = settings_.realTime ? realTimePreset : preset_.c_str();
        if (x265_param_default_preset(p.get(), preset, "zerolatency") < 0) return CompressionStatus::paramErr;
        p->logLevel = X265_LOG_NONE;
        p->sourceWidth = width_;
        p->sourceHeight = height_;
        p->internalCsp = X265_CSP_I420;
        // CTU 16 where the level allows it (up to 4.1; from level 5 on x265 marks the stream
        // non-conforming and does not open): required below 32 pixels an edge, and chosen by a
        // real-time session: twice the wavefront rows to spread over the pool, no 32 x 32
        // decisions (keyframes took about 0.6x the CPU time at 1080p), at 0.1 dB less PSNR.
        p->maxCUSize = smallCtu || (tuner_ && level_ > 0 && level_ <= smallCtuLevel) ? 16 : 32;
        if (tuner_) {
            p->minCUSize = static_cast<std::uint32_t>(realTimeMinCUSize_);
            p->bEnableLoopFilter = realTimeLoopFilter_ ? 1 : 0;
        }
        p->frameNumThreads = 1;
        p->bframes = 0;
        p->lookaheadDepth = 0;
        p->keyframeMax = -1;  // keyframes come from the session
        p->keyframeMin = 0;
        p->scenecutThreshold = 0;
        p->bOpenGOP = 0;
        p->bRepeatHeaders = 0;
        p->bAnnexB = 0;
        p->bEmitInfoSEI = 0;
        p->bEmitHRDSEI = 0;
        p->bEnableAccessUnitDelimiters = 0;
        p->decodedPictureHashSEI = 0;
        p->bEmitVUITimingInfo = 0;  // keeps the SPS independent of the frame rate
        p->bEmitVUIHRDInfo = 0;
        p->vui.bEnableVideoSignalTypePresentFlag = 1;
        p->vui.videoFormat = 5;  // unspecified
        p->vui.bEnableVideoFullRangeFlag = 0;
        p->vui.bEnableColorDescriptionPresentFlag = 1;
        p->vui.colorPrimaries = 1;           // BT.709
        p->vui.transferCharacteristics = 1;  // BT.709
        p->vui.matrixCoeffs = 1;             // BT.709
        // Screen content: psycho-visual tuning trades fidelity for perceived grain; off.
        p->psyRd = 0;
        p->psyRdoq = 0;
        // Mode decisions by rate-distortion (rd 3) rather than the preset's estimate: about
        // 2 dB on fine desktop detail at 8 Mbit/s 1080p for about a quarter more time. The
        // effort steps and the speed preference change it later.
        p->rdLevel = 3;
        p->levelIdc = sessionHoldsRate ? 0 : level_;  // 0: x265 determines it, as said above
        p->bHighTier = 0;

        const RateSetup rate = wantedRate(level_);
        p->fpsNum = static_cast<std::uint32_t>(rate.fpsNum);
        p->fpsDenom = 1000;
        if (sessionHoldsRate) {
            p->rc.rateControlMode = X265_RC_CQP;
        } else if (rate.bitrateKbps > 0) {
            p->rc.rateControlMode = X265_RC_ABR;
            p->rc.bitrate = rate.bitrateKbps;
        }
        if (rate.vbvMaxKbps > 0 && !sessionHoldsRate) {
            p->rc.vbvMaxBitrate = rate.vbvMaxKbps;
            p->rc.vbvBufferSize = std::max(rate.vbvBufferKbits, (rate.vbvMaxKbps * 1000 + rate.fpsNum - 1) / rate.fpsNum);
        }
        if (x265_param_apply_profile(p.get(), "main") < 0) return CompressionStatus::paramErr;
        presetSearchMethod_ = p->searchMethod;
        presetMergeCandidates_ = p->maxNumMergeCand;
        presetRdLevel_ = p->rdLevel;
        presetSubpelRefine_ = p->subpelRefine;
        presetEarlySkip_ = p->bEnableEarlySkip != 0;
        presetFastIntra_ = p->bEnableFastIntra != 0;
        heldEffort_ = wantedEffort();
        applyEffort(*p, heldEffort_);

        p->numaPools = poolsSpec_.c_str();  // read while opening
        std::unique_ptr<x265_encoder, EncoderDeleter> encoder(x265_encoder_open(p.get()));
        p->numaPools = nullptr;
        if (!encoder) return CompressionStatus::paramErr;

        x265_nal* nals = nullptr;
        std::uint32_t nalCount = 0;
        if (x265_encoder_headers(encoder.get(), &nals, &nalCount) < 0) return CompressionStatus::encoderFailed;
        std::vector<std::vector<std::uint8_t>> sets;
        for (std::uint32_t i = 0; i < nalCount; ++i) {
            if (nals[i].type < nalTypeVPS || nals[i].type > nalTypePPS || nals[i].sizeBytes <= 4) continue;
            sets.emplace_back(nals[i].payload + 4, nals[i].payload + nals[i].sizeBytes);
        }
        if (sets.size() != 3) return CompressionStatus::encoderFailed;

        if (!planeStorage_) {
            strideY_ = (static_cast<std::size_t>(width_) + 63) / 64 * 64;
            strideC_ = (static_cast<std::size_t>(width_ + 1) / 2 + 63) / 64 * 64;
            const std::size_t chromaRows = static_cast<std::size_t>(height_ + 1) / 2;
            const std::size_t size = strideY_ * static_cast<std::size_t>(height_) + 2 * strideC_ * chromaRows;
            planeStorage_.reset(static_cast<std::uint8_t*>(std::aligned_alloc(64, (size + 63) / 64 * 64)));
            if (!planeStorage_) return CompressionStatus::allocationFailed;
            planes_.y = planeStorage_.get();
            planes_.strideY = static_cast<std::ptrdiff_t>(strideY_);
            planes_.u = planes_.y + strideY_ * static_cast<std::size_t>(height_);
            planes_.strideU = static_cast<std::ptrdiff_t>(strideC_);
            planes_.v = planes_.u + strideC_ * chromaRows;
            planes_.strideV = static_cast<std::ptrdiff_t>(strideC_);
            // One loop a frame, right before x265 needs every core: workers that sleep at once.
            pool_ = std::make_unique<WorkerPool>(std::min(threads_, maxConversionThreads), std::chrono::microseconds{0});
        }

        x265_picture_init(p.get(), &picture_);
        picture_.planes[0] = planes_.y;
        picture_.planes[1] = planes_.u;
        picture_.planes[2] = planes_.v;
        picture_.stride[0] = static_cast<int>(strideY_);
        picture_.stride[1] = static_cast<int>(strideC_);
        picture_.stride[2] = static_cast<int>(strideC_);

        // A live change of the effort settings throws x265's average-rate control off (about
        // 40 % over a 4 Mbit/s target at 640 x 360 with libx265 3.5), so the session holds the
        // rate itself after one; a real-time session, whose effort follows the encode time, does
        // so from the first frame. Other sessions keep x265's own rate control until then or
        // until the rate changes.
        if (sessionHoldsRate) {
            liveRate_.emplace(rateTarget(rate), std::numeric_limits<double>::quiet_NaN(), 0.0);
        }

        format_ = VideoFormatDescription{CodecType::hevc, width_, height_, std::move(sets), 4};
        encoder_ = std::move(encoder);
        param_ = std::move(p);
        openedRate_ = rate;
        return CompressionStatus::ok;
    }

    // The speed preference: the fastest step; a real-time session: the tuner's step; otherwise
    // the preset's own settings.
    EffortStep wantedEffort() const {
        if (settings_.prioritizeSpeed) return effortSteps[fastestStep];
        if (tuner_) return effortSteps[tuner_->step()];
        return {presetRdLevel_, presetSearchMethod_, presetSubpelRefine_,
                static_cast<std::uint32_t>(presetMergeCandidates_), presetEarlySkip_, presetFastIntra_};
    }

    static void applyEffort(x265_param& p, const EffortStep& e) {
        p.rdLevel = e.rdLevel;
        p.searchMethod = e.searchMethod;
        // Sub-pixel refinement 0 cannot be left again; a preset without it keeps it.
        if (p.subpelRefine != 0) p.subpelRefine = std::max(1, e.subpelRefine);
        p.maxNumMergeCand = e.mergeCandidates;
        p.bEnableEarlySkip = e.earlySkip ? 1 : 0;
        p.bEnableFastIntra = e.fastIntra ? 1 : 0;
    }

    // Search settings change live, and only when they differ from what x265 holds (or was last
    // asked for): a repeated preference or an unchanged step costs nothing. x265 answers 1 while
    // an earlier change still waits for its frame; the change is then made again after that frame.
    std::int32_t applySpeedSettings() {
        const EffortStep wanted = wantedEffort();
        if (wanted == heldEffort_ && !speedPending_) return CompressionStatus::ok;
        std::unique_ptr<x265_param, ParamDeleter> p(x265_param_alloc());
        if (!p) return CompressionStatus::allocationFailed;
        x265_encoder_parameters(encoder_.get(), p.get());
        p->numaPools = nullptr;
        applyEffort(*p, wanted);
        const int ret = x265_encoder_reconfig(encoder_.get(), p.get());
        if (onReconfigure_) onReconfigure_(ret);
        speedPending_ = ret == 1;
        if (ret == 0) {
            heldEffort_ = wanted;
            lastReconfigureFrame_ = frameIndex_;
        }
        // x265's average-rate control loses its target after such a change; hold it here.
        if (ret >= 0 && !liveRate_ && openedRate_.bitrateKbps > 0) {
            liveRate_.emplace(rateTarget(wantedRate(level_)), lastFrameQP_, lastFrameBits_);
        }
        return ret < 0 ? CompressionStatus::paramErr : CompressionStatus::ok;
    }

    const int width_;
    const int height_;
    const CompressionSession::OutputCallback callback_;
    const std::string preset_;
    const int threads_;
    const std::string poolsSpec_;
    const std::shared_ptr<const Clock> clock_;
    const std::function<void(int)> onSpeedStep_;
    const std::function<void(int)> onReconfigure_;
    const std::function<void(const x265_param&, const x265_picture&)> beforeEncode_;
    std::optional<RealTimeSpeedTuner> tuner_;
    int realTimeMinCUSize_ = 8;
    bool realTimeLoopFilter_ = true;
    std::optional<LiveRateController> liveRate_;
    double lastFrameQP_ = std::numeric_limits<double>::quiet_NaN();
    double lastFrameTime_ = std::numeric_limits<double>::quiet_NaN();
    double frameInterval_ = std::numeric_limits<double>::quiet_NaN();
    double lastFrameBits_ = 0;

    Settings settings_;
    std::unique_ptr<x265_encoder, EncoderDeleter> encoder_;
    std::unique_ptr<x265_param, ParamDeleter> param_;
    RateSetup openedRate_;
    bool reopenPending_ = false;
    bool speedPending_ = false;
    EffortStep heldEffort_{};  // the effort settings x265 encodes with (or was last told)
    std::int64_t lastReconfigureFrame_ = 0;  // frameIndex_ when x265 last took a change
    bool levelChosen_ = false;
    int level_ = 0;
    int presetSearchMethod_ = 0;
    std::uint32_t presetMergeCandidates_ = 2;
    int presetRdLevel_ = 2;
    int presetSubpelRefine_ = 1;
    bool presetEarlySkip_ = false;
    bool presetFastIntra_ = false;
    VideoFormatDescription format_;

    std::unique_ptr<std::uint8_t, FreeDeleter> planeStorage_;
    std::size_t strideY_ = 0;
    std::size_t strideC_ = 0;
    I420Planes planes_;
    std::unique_ptr<WorkerPool> pool_;
    x265_picture picture_{};

    std::int64_t frameIndex_ = 0;
    std::optional<std::int64_t> lastKeyFrameIndex_;
    double lastKeyFrameTime_ = std::numeric_limits<double>::quiet_NaN();
};

class X265CompressionSession final : public CompressionSession {
public:
    X265CompressionSession(const Parameters& parameters, const X265SessionOptions& options)
        : core_(std::make_shared<Core>(parameters, options)),
          queue_(std::make_unique<SerialQueue>("Mivodrell.X265CompressionSession")) {}

    ~X265CompressionSession() override {
        invalidate();
        queue_.reset();  // runs what is queued (answered with invalidSession), then stops
    }

    // A value equal to the one last accepted for the same property changes nothing in the
    // session, so it is answered here without the hop to the session's thread: owners that apply
    // the same settings on every plan pay nothing for it.
    std::int32_t setProperty(CompressionPropertyKey key, const CompressionPropertyValue& value) override {
        const auto slot = static_cast<std::size_t>(key);
        if (slot >= lastAccepted_.size()) return onQueue([&] { return core_->setProperty(key, value); });
        if (core_->invalidated.load()) return CompressionStatus::invalidSession;
        std::optional<CompressionPropertyValue>& last = lastAccepted_[slot];
        if (last && *last == value) return CompressionStatus::ok;
        const std::int32_t status = onQueue([&] { return core_->setProperty(key, value); });
        if (status == CompressionStatus::ok) {
            last = value;
        } else {
            last.reset();
        }
        return status;
    }

    std::int32_t encodeFrame(std::shared_ptr<const PixelBuffer> imageBuffer, MediaTime presentationTime,
                             MediaTime duration, const std::optional<EncodeFrameOptions>& options,
                             std::shared_ptr<void> frameContext) override {
        if (core_->invalidated.load()) return CompressionStatus::invalidSession;
        if (!imageBuffer) return CompressionStatus::paramErr;
        const std::uint32_t format = imageBuffer->pixelFormat();
        if (format != PixelFormat::bgra && format != PixelFormat::yuv420BiPlanarFullRange &&
            format != PixelFormat::yuv420PlanarVideoRange) {
            return CompressionStatus::paramErr;
        }
        Core::Job job{std::move(imageBuffer), presentationTime, duration, options && options->forceKeyFrame,
                      std::move(frameContext)};
        std::shared_ptr<Core> core = core_;
        queue_->async([core, job = std::move(job)]() mutable { core->encode(std::move(job)); });
        return CompressionStatus::ok;
    }

    std::int32_t prepareToEncodeFrames() override {
        return onQueue([&] { return core_->prepare(); });
    }

    void invalidate() override {
        if (core_->invalidated.exchange(true)) return;
        std::shared_ptr<Core> core = core_;
        if (queue_->isCurrent()) {
            queue_->async([core] { core->close(); });
        } else {
            queue_->sync([core] { core->close(); });
        }
    }

private:
    template <class F>
    std::int32_t onQueue(F&& work) {
        if (queue_->isCurrent()) return work();
        return queue_->syncResult(std::forward<F>(work));
    }

    std::shared_ptr<Core> core_;
    std::unique_ptr<SerialQueue> queue_;
    // Set only by setProperty, which the owner calls from one thread at a time.
    std::array<std::optional<CompressionPropertyValue>, compressionPropertyKeyCount> lastAccepted_;
};

}  // namespace

int availableCoreCount() { return WorkerPool::availableCores(); }

namespace HEVCLevel {

int smallestFitting(int width, int height, double frameRate) {
    if (width <= 0 || height <= 0 || !std::isfinite(frameRate) || frameRate <= 0) return 0;
    for (const auto& l : levelTable) {
        if (levelHolds(l, width, height, frameRate)) return l.level;
    }
    return 0;
}

int maxMainTierBitrateKbps(int level) {
    for (const auto& l : levelTable) {
        if (l.level == level) return l.maxMainKbps;
    }
    return 0;
}

}  // namespace HEVCLevel

CompressionSession::CreateResult createX265CompressionSession(const CompressionSession::Parameters& parameters,
                                                              const X265SessionOptions& options) {
    if (parameters.codecType != CodecType::hevc) return {CompressionStatus::encoderNotFound, nullptr};
    // There is no hardware HEVC encoder on this machine: preferring one falls back to x265,
    // requiring one fails.
    if (parameters.specification.requireHardwareAcceleratedVideoEncoder) {
        return {CompressionStatus::encoderNotFound, nullptr};
    }
    const int w = parameters.width, h = parameters.height;
    // 4:2:0 needs even sizes; x265 needs at least one CTU (16) per edge.
    if (w < minEdge || h < minEdge || w > maxEdge || h > maxEdge || (w & 1) || (h & 1)) {
        return {CompressionStatus::paramErr, nullptr};
    }
    // CTU 16 is allowed only up to level 4.1.
    if (std::min(w, h) < smallCtuBelow) {
        const int fits = HEVCLevel::smallestFitting(w, h, 1.0);
        if (fits == 0 || fits > smallCtuLevel) return {CompressionStatus::paramErr, nullptr};
    }
    return {CompressionStatus::ok, std::make_shared<X265CompressionSession>(parameters, options)};
}

CompressionSession::CreateResult CompressionSession::create(const Parameters& parameters) {
    return createX265CompressionSession(parameters);
}

CompressionSession::Factory CompressionSession::defaultFactory() {
    return [](const Parameters& parameters) { return createX265CompressionSession(parameters); };
}

std::string_view compressionPropertyName(CompressionPropertyKey key) {
    switch (key) {
        case CompressionPropertyKey::realTime: return "RealTime";
        case CompressionPropertyKey::allowFrameReordering: return "AllowFrameReordering";
        case CompressionPropertyKey::maxKeyFrameInterval: return "MaxKeyFrameInterval";
        case CompressionPropertyKey::maxKeyFrameIntervalDuration: return "MaxKeyFrameIntervalDuration";
        case CompressionPropertyKey::expectedFrameRate: return "ExpectedFrameRate";
        case CompressionPropertyKey::profileLevel: return "ProfileLevel";
        case CompressionPropertyKey::colorPrimaries: return "ColorPrimaries";
        case CompressionPropertyKey::transferFunction: return "TransferFunction";
        case CompressionPropertyKey::yCbCrMatrix: return "YCbCrMatrix";
        case CompressionPropertyKey::maximizePowerEfficiency: return "MaximizePowerEfficiency";
        case CompressionPropertyKey::averageBitRate: return "AverageBitRate";
        case CompressionPropertyKey::dataRateLimits: return "DataRateLimits";
        case CompressionPropertyKey::prioritizeEncodingSpeedOverQuality: return "PrioritizeEncodingSpeedOverQuality";
    }
    return "Unknown";
}

}  // namespace mivodrell
