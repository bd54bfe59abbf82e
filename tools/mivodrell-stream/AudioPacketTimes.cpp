#include "AudioPacketTimes.h"

#include "Platform/Base/SerialQueue.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace mivodrell::stream {
namespace {

class ObservedOutput final : public StreamOutput {
public:
    ObservedOutput(std::shared_ptr<StreamOutput> inner, std::weak_ptr<AudioPacketTimes> times)
        : inner_(std::move(inner)), times_(std::move(times)) {}
    void didOutputSampleBuffer(const SampleBufferRef& buffer, StreamOutputType type) override {
        if (const auto times = times_.lock(); times && buffer && type == StreamOutputType::audio && buffer->valid) {
            times->bufferSeen(buffer->presentationTime.seconds(), buffer->audioFormat ? buffer->audioFormat->sampleRate : 0,
                              buffer->sampleCount);
        }
        inner_->didOutputSampleBuffer(buffer, type);
    }

private:
    std::shared_ptr<StreamOutput> inner_;
    std::weak_ptr<AudioPacketTimes> times_;
};

class ObservedStream final : public CaptureStream {
public:
    ObservedStream(std::shared_ptr<CaptureStream> inner, std::weak_ptr<AudioPacketTimes> times)
        : inner_(std::move(inner)), times_(std::move(times)) {}
    std::optional<PlatformError> addOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                                           std::shared_ptr<SerialQueue> queue) override {
        if (output) output = std::make_shared<ObservedOutput>(std::move(output), times_);
        return inner_->addOutput(std::move(output), type, std::move(queue));
    }
    void startCapture(CaptureCompletion completion) override { inner_->startCapture(std::move(completion)); }
    void updateConfiguration(StreamConfiguration configuration, CaptureCompletion completion) override {
        inner_->updateConfiguration(std::move(configuration), std::move(completion));
    }
    void updateContentFilter(ContentFilter filter, CaptureCompletion completion) override {
        inner_->updateContentFilter(std::move(filter), std::move(completion));
    }
    void stopCapture(CaptureCompletion completion) override { inner_->stopCapture(std::move(completion)); }

private:
    std::shared_ptr<CaptureStream> inner_;
    std::weak_ptr<AudioPacketTimes> times_;
};

class ObservedBackend final : public CaptureBackend {
public:
    ObservedBackend(std::shared_ptr<CaptureBackend> inner, std::weak_ptr<AudioPacketTimes> times)
        : inner_(std::move(inner)), times_(std::move(times)) {}
    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ShareableContentCompletion completion) override {
        inner_->getShareableContent(excludingDesktopWindows, onScreenWindowsOnly, std::move(completion));
    }
    std::shared_ptr<CaptureStream> makeStream(ContentFilter filter, StreamConfiguration configuration,
                                              std::weak_ptr<StreamDelegate> delegate) override {
        auto stream = inner_->makeStream(std::move(filter), std::move(configuration), std::move(delegate));
        return stream ? std::make_shared<ObservedStream>(std::move(stream), times_) : nullptr;
    }
    Capabilities capabilities() const override { return inner_->capabilities(); }

private:
    std::shared_ptr<CaptureBackend> inner_;
    std::weak_ptr<AudioPacketTimes> times_;
};

}  // namespace

std::shared_ptr<CaptureBackend> AudioPacketTimes::observe(std::shared_ptr<CaptureBackend> backend) {
    return std::make_shared<ObservedBackend>(std::move(backend), weak_from_this());
}

AudioPacketTimes::AudioPacketTimes() : queue_(std::make_shared<SerialQueue>("Mivodrell.AudioPacketTimes")) {}

void AudioPacketTimes::bufferSeen(double presentationTime, double sampleRate, std::int64_t frames) {
    queue_->async([weak = weak_from_this(), presentationTime, sampleRate, frames] {
        const auto self = weak.lock();
        if (!self || !std::isfinite(presentationTime) || !(sampleRate > 0) || frames <= 0) return;
        self->buffers_.push_back({self->framesSeen_, frames, presentationTime, sampleRate});
        self->framesSeen_ += frames;
        if (self->buffers_.size() > maxBuffers) self->buffers_.pop_front();
    });
}

double AudioPacketTimes::packetTime(double handedTime) {
    const double outputFrame = double(packets_++) * framesPerPacket - primingFrames;
    if (!(outputRate_ > 0)) return handedTime;
    double time = handedTime;
    queue_->sync([&] {
        if (buffers_.empty()) return;
        // The packet's first sample, counted in captured frames; buffers wholly before it are done.
        const double at = outputFrame / outputRate_ * buffers_.front().rate;
        while (buffers_.size() > 1 && double(buffers_[1].position) <= at) buffers_.pop_front();
        const Buffer& holding = buffers_.front();
        time = std::min(handedTime, holding.time + (at - double(holding.position)) / holding.rate);
    });
    return time;
}

}  // namespace mivodrell::stream
