#include "CaptureMac/HEVCEncoder.h"

#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <condition_variable>
#include <mutex>
#include <span>
#include <utility>

namespace mivodrell {

namespace {

constexpr double nonFiniteKeyframeIntervalSeconds = 4.0;
constexpr std::int32_t minKeyframeIntervalFrames = 240;
constexpr double keyframeFramesPerSecond = 60.0;
constexpr std::int64_t minDataRateLimitBytes = 25'000;

// A counting semaphore on a mutex and a condition variable: a timed wait wakes as soon as it
// is signalled (libstdc++'s std::counting_semaphore polls with growing sleeps in timed waits,
// which added milliseconds to every frame).
class Semaphore {
public:
    void signal() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++count_;
        }
        condition_.notify_one();
    }
    bool waitUntil(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!condition_.wait_until(lock, deadline, [&] { return count_ > 0; })) return false;
        --count_;
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable condition_;
    int count_ = 0;
};

// Shared by one `encode` call and the output callback of its frame.
struct EncodeResultBox {
    std::int32_t status = 0;
    SampleBufferRef sampleBuffer;
    Semaphore semaphore;
};

void outputCallback(std::shared_ptr<void> frameContext, std::int32_t status, SampleBufferRef sampleBuffer) {
    if (!frameContext) return;
    auto box = std::static_pointer_cast<EncodeResultBox>(std::move(frameContext));
    box->status = status;
    box->sampleBuffer = std::move(sampleBuffer);
    box->semaphore.signal();
    // The callback's reference to the box goes with `box`.
}

const char* kindName(HEVCEncoder::EncoderError::Kind kind) {
    using Kind = HEVCEncoder::EncoderError::Kind;
    switch (kind) {
        case Kind::sessionCreationFailed: return "sessionCreationFailed";
        case Kind::propertyConfigurationFailed: return "propertyConfigurationFailed";
        case Kind::encodeSubmissionFailed: return "encodeSubmissionFailed";
        case Kind::encodeFailed: return "encodeFailed";
        case Kind::encodeTimedOut: return "encodeTimedOut";
        case Kind::sessionInvalidated: return "sessionInvalidated";
    }
    return "unknown";
}

struct ParameterSets {
    std::vector<std::vector<std::uint8_t>> sets;
    std::int32_t nalUnitHeaderLength = 0;
};

std::optional<ParameterSets> extractParameterSets(const SampleBuffer& sample) {
    if (!sample.videoFormat) return std::nullopt;
    const auto& format = *sample.videoFormat;
    if (format.parameterSets.empty()) return std::nullopt;
    for (const auto& set : format.parameterSets) {
        if (set.empty()) return std::nullopt;
    }
    return ParameterSets{format.parameterSets, format.nalUnitHeaderLength};
}

bool isKeyframe(const SampleBuffer& sample) {
    const AttachmentDictionary* attachments = sample.firstAttachments();
    if (!attachments) return true;
    const AttachmentValue* notSync = attachments->find(AttachmentKey::notSync);
    if (!notSync) return true;
    const std::optional<bool> flag = notSync->asBool();
    return flag ? !*flag : true;
}

// The sample's bytes, shared with the sample buffer rather than copied again.
SharedBytes payloadOf(const SampleBufferRef& sample) {
    if (!sample->dataBuffer || sample->dataBuffer->empty()) return {};
    const auto& bytes = *sample->dataBuffer;
    return SharedBytes(sample, std::span<const std::uint8_t>(bytes.data(), bytes.size()));
}

}  // namespace

HEVCEncoder::EncoderError::EncoderError(Kind k, std::int32_t s) : kind(k), status(s) {
    message.append("HEVCEncoder.EncoderError.").append(kindName(k));
    if (k != Kind::encodeTimedOut && k != Kind::sessionInvalidated) {
        message.append("(").append(std::to_string(s)).append(")");
    }
}

HEVCEncoder::HEVCEncoder(int width, int height, Configuration configuration, bool preferHardware)
    : HEVCEncoder(width, height, configuration, preferHardware, Backend{}) {}

HEVCEncoder::HEVCEncoder(int width, int height, Configuration configuration, bool preferHardware, Backend backend)
    : width_(width), height_(height), configuration_(configuration), encodeTimeoutSeconds_(backend.encodeTimeoutSeconds) {
    CompressionSession::Parameters parameters;
    parameters.width = width;
    parameters.height = height;
    parameters.codecType = CodecType::hevc;
    parameters.specification.enableLowLatencyRateControl = true;
    // Hardware is preferred, not required.
    parameters.specification.enableHardwareAcceleratedVideoEncoder = preferHardware;
    parameters.outputCallback = &outputCallback;

    CompressionSession::CreateResult created =
        backend.createSession ? backend.createSession(parameters) : CompressionSession::create(parameters);
    if (created.status != CompressionStatus::ok || !created.session) {
        throw EncoderError::sessionCreationFailed(created.status);
    }
    session_ = std::move(created.session);

    try {
        setOrThrow(CompressionPropertyKey::realTime, true);
        setOrThrow(CompressionPropertyKey::allowFrameReordering, false);
        setOrThrow(CompressionPropertyKey::maxKeyFrameInterval, std::int64_t{configuration_.maxKeyFrameInterval});
        setOrThrow(CompressionPropertyKey::expectedFrameRate, configuration_.expectedFrameRate);
        setOrThrow(CompressionPropertyKey::profileLevel, std::string(CompressionProfileLevel::hevcMainAutoLevel));
        setOrThrow(CompressionPropertyKey::colorPrimaries, std::string(CompressionColor::itu709));
        setOrThrow(CompressionPropertyKey::transferFunction, std::string(CompressionColor::itu709));
        setOrThrow(CompressionPropertyKey::yCbCrMatrix, std::string(CompressionColor::itu709));
        setOrThrow(CompressionPropertyKey::maximizePowerEfficiency, false);
        setOrThrow(CompressionPropertyKey::averageBitRate, configuration_.initialBitrate);
    } catch (...) {
        // The half-built encoder is released: its session goes with it.
        session_->invalidate();
        throw;
    }
}

HEVCEncoder::~HEVCEncoder() { invalidate(); }

void HEVCEncoder::setOrThrow(CompressionPropertyKey key, const CompressionPropertyValue& value) {
    const std::int32_t status = session_->setProperty(key, value);
    if (status != CompressionStatus::ok) throw EncoderError::propertyConfigurationFailed(status);
}

std::int32_t HEVCEncoder::keyframeIntervalFrames(double keyframeIntervalSeconds) {
    if (!std::isfinite(keyframeIntervalSeconds)) return minKeyframeIntervalFrames;
    const double frames = std::max(keyframeIntervalSeconds * keyframeFramesPerSecond, double{minKeyframeIntervalFrames});
    return truncateClamped<std::int32_t>(frames, minKeyframeIntervalFrames);
}

std::int64_t HEVCEncoder::dataRateLimitBytes(std::int64_t bitrate) {
    const std::int64_t bytes = truncateClamped<std::int64_t>(static_cast<double>(bitrate) * 0.125 * 1.25, 0);
    return std::max(bytes, minDataRateLimitBytes);
}

void HEVCEncoder::apply(const EncoderSettings& settings) {
    setOrThrow(CompressionPropertyKey::averageBitRate, settings.bitrate);
    const double duration =
        std::isfinite(settings.keyframeInterval) ? settings.keyframeInterval : nonFiniteKeyframeIntervalSeconds;
    setOrThrow(CompressionPropertyKey::maxKeyFrameIntervalDuration, duration);
    setOrThrow(CompressionPropertyKey::maxKeyFrameInterval,
               std::int64_t{keyframeIntervalFrames(settings.keyframeInterval)});

    const std::int64_t cap = dataRateLimitBytes(settings.bitrate);
    if (cap == lastDataRateLimitBytes_) return;
    // Stored even when refused, so that an unchanged bitrate does not retry.
    lastDataRateLimitBytes_ = cap;
    const std::int32_t status = session_->setProperty(
        CompressionPropertyKey::dataRateLimits, std::vector<CompressionNumber>{CompressionNumber{cap}, CompressionNumber{1.0}});
    if (onDiagnostic) {
        std::string line;
        line.append("★S214-118 DataRateLimits 設定：")
            .append(std::to_string(cap))
            .append(" bytes/1s")
            .append("（目標位元率 ")
            .append(std::to_string(settings.bitrate / 1000))
            .append("kbps ×1.25），status=")
            .append(std::to_string(status));
        if (status != 0) line.append("（非 0＝此編碼器不吃這個屬性，硬上限未生效）");
        onDiagnostic(line);
    }
}

void HEVCEncoder::setSpeedPriority(bool flag) {
    prioritizeSpeed = flag;
    (void)session_->setProperty(CompressionPropertyKey::prioritizeEncodingSpeedOverQuality, flag);
}

void HEVCEncoder::invalidate() {
    if (isInvalidated_) return;
    isInvalidated_ = true;
    session_->invalidate();
}

EncodedFrame HEVCEncoder::encode(std::shared_ptr<const PixelBuffer> pixelBuffer, std::uint32_t frameID,
                                 MediaTime presentationTime, bool forceKeyframe) {
    if (isInvalidated_) throw EncoderError::sessionInvalidated();

    auto box = std::make_shared<EncodeResultBox>();
    std::optional<EncodeFrameOptions> options;
    if (forceKeyframe) options = EncodeFrameOptions{true};

    // The session holds the callback's reference to the box until the frame's callback runs;
    // a refused frame takes none.
    const std::int32_t submitted = session_->encodeFrame(std::move(pixelBuffer), presentationTime, MediaTime::invalid(),
                                                         options, std::static_pointer_cast<void>(box));
    if (submitted != CompressionStatus::ok) throw EncoderError::encodeSubmissionFailed(submitted);

    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(std::clamp(encodeTimeoutSeconds_, 0.0, 86400.0)));
    // A late callback still fills and releases the box, which it keeps alive.
    if (!box->semaphore.waitUntil(deadline)) throw EncoderError::encodeTimedOut();
    if (box->status != 0) throw EncoderError::encodeFailed(box->status);

    EncodedFrame frame;
    frame.frameID = frameID;
    frame.presentationTime = presentationTime.seconds();
    frame.cropRect = CGRect::zero();
    if (!box->sampleBuffer) {
        // Dropped by the encoder: an empty payload, not a keyframe.
        frame.isKeyframe = false;
        return frame;
    }
    const SampleBufferRef sample = std::move(box->sampleBuffer);

    if (!didExtractFormatDescription_) {
        // Set first, so that only the first frame with data is examined.
        didExtractFormatDescription_ = true;
        if (auto sets = extractParameterSets(*sample); sets && onFormatDescriptionAvailable) {
            onFormatDescriptionAvailable(sets->sets, sets->nalUnitHeaderLength);
        }
    }

    frame.isKeyframe = isKeyframe(*sample);
    frame.payload = payloadOf(sample);
    return frame;
}

}  // namespace mivodrell
