#include "Platform/Codec/VirtualCompressionSession.h"

#include <chrono>
#include <thread>

namespace mivodrell {

VirtualCompressionSession::VirtualCompressionSession(Parameters parameters, Script script)
    : parameters_(std::move(parameters)),
      script_(std::move(script)),
      queue_(std::make_unique<SerialQueue>("Mivodrell.VirtualCompressionSession")) {}

VirtualCompressionSession::~VirtualCompressionSession() { queue_.reset(); }

CompressionSession::Factory VirtualCompressionSession::factory(
    Script script, std::int32_t creationStatus, std::function<void(std::shared_ptr<VirtualCompressionSession>)> created) {
    return [script = std::move(script), creationStatus, created = std::move(created)](const Parameters& parameters) {
        if (creationStatus != CompressionStatus::ok) return CreateResult{creationStatus, nullptr};
        auto session = std::make_shared<VirtualCompressionSession>(parameters, script);
        if (created) created(session);
        return CreateResult{CompressionStatus::ok, session};
    };
}

SampleBufferRef VirtualCompressionSession::makeSample(bool keyframe, MediaTime presentationTime,
                                                      std::vector<std::uint8_t> bytes) {
    auto sample = std::make_shared<SampleBuffer>();
    sample->presentationTime = presentationTime;
    sample->videoFormat = VideoFormatDescription{
        CodecType::hevc, 0, 0, {{0x40, 0x01, 0x0C}, {0x42, 0x01, 0x01}, {0x44, 0x01, 0xC1}}, 4};
    sample->dataBuffer = std::move(bytes);
    AttachmentDictionary attachments;
    if (!keyframe) attachments.set(std::string(AttachmentKey::notSync), AttachmentValue(true));
    sample->attachments = std::vector<AttachmentValue>{AttachmentValue(std::move(attachments))};
    return sample;
}

std::int32_t VirtualCompressionSession::setProperty(CompressionPropertyKey key, const CompressionPropertyValue& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    propertyLog_.emplace_back(key, value);
    const auto it = script_.propertyStatus.find(key);
    if (invalidateCount_.load() > 0) return CompressionStatus::invalidSession;
    return it == script_.propertyStatus.end() ? CompressionStatus::ok : it->second;
}

std::int32_t VirtualCompressionSession::encodeFrame(std::shared_ptr<const PixelBuffer> imageBuffer,
                                                    MediaTime presentationTime, MediaTime duration,
                                                    const std::optional<EncodeFrameOptions>& options,
                                                    std::shared_ptr<void> frameContext) {
    SubmittedFrame frame;
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        frame = SubmittedFrame{std::move(imageBuffer), presentationTime, duration, options, submissions_.size()};
        submissions_.push_back(frame);
        if (script_.submissionStatus != CompressionStatus::ok) return script_.submissionStatus;
        responder = script_.responder;
    }
    Response response = responder ? responder(frame) : Response{CompressionStatus::ok,
                                                                makeSample(frame.index == 0 || (options && options->forceKeyFrame), presentationTime)};
    if (!response.answer) {
        std::lock_guard<std::mutex> lock(mutex_);
        unanswered_.push_back(std::move(frameContext));
        return CompressionStatus::ok;
    }
    auto callback = parameters_.outputCallback;
    queue_->async([callback, response, context = std::move(frameContext)]() mutable {
        if (response.delaySeconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(response.delaySeconds));
        if (callback) callback(std::move(context), response.status, response.sampleBuffer);
    });
    return CompressionStatus::ok;
}

std::int32_t VirtualCompressionSession::prepareToEncodeFrames() {
    ++prepareCount_;
    std::lock_guard<std::mutex> lock(mutex_);
    return script_.prepareStatus;
}

void VirtualCompressionSession::invalidate() { ++invalidateCount_; }

std::vector<std::pair<CompressionPropertyKey, CompressionPropertyValue>> VirtualCompressionSession::propertyLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return propertyLog_;
}

std::vector<VirtualCompressionSession::SubmittedFrame> VirtualCompressionSession::submissions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return submissions_;
}

void VirtualCompressionSession::setScript(Script script) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_ = std::move(script);
}

}  // namespace mivodrell
