#include "Platform/Capture/Pulse/PulseAudioCaptureBackend.h"

#include "Platform/Base/FourCC.h"
#include "Platform/Base/SerialQueue.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace mivodrell {

namespace {

PlatformError pulseError(std::int32_t code, const std::string& what, int paError) {
    return {PulseAudioCaptureStatus::domain, code, what + ": " + pa_strerror(paError)};
}

pa_simple* openRecording(const std::string& server, const std::string& device, int& error) {
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32LE;
    spec.rate = static_cast<std::uint32_t>(PulseAudioCaptureBackend::sampleRate);
    spec.channels = PulseAudioCaptureBackend::channelCount;
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = PulseAudioCaptureBackend::framesPerBuffer * PulseAudioCaptureBackend::channelCount * sizeof(float);
    return pa_simple_new(server.empty() ? nullptr : server.c_str(), "Mivodrell", PA_STREAM_RECORD,
                         device.empty() ? nullptr : device.c_str(), "System audio", &spec, nullptr, &attributes, &error);
}

AudioStreamDescription streamDescription() {
    AudioStreamDescription asbd;
    asbd.sampleRate = PulseAudioCaptureBackend::sampleRate;
    asbd.formatID = fourCC("lpcm");
    asbd.formatFlags = AudioFormatFlag::isFloat | AudioFormatFlag::isPacked | AudioFormatFlag::isNonInterleaved;
    asbd.bytesPerPacket = 4;
    asbd.framesPerPacket = 1;
    asbd.bytesPerFrame = 4;
    asbd.channelsPerFrame = PulseAudioCaptureBackend::channelCount;
    asbd.bitsPerChannel = 32;
    return asbd;
}

// One recording: the reader thread owns the handle and ends when asked or when a read fails.
struct Recording {
    std::atomic<bool> stopRequested{false};
};

struct PulseStreamCore : std::enable_shared_from_this<PulseStreamCore> {
    std::string server;
    std::string device;
    std::shared_ptr<SerialQueue> control = std::make_shared<SerialQueue>("Mivodrell.PulseAudioCaptureStream.control");
    std::weak_ptr<StreamDelegate> delegate;
    std::shared_ptr<StreamOutput> output;
    std::shared_ptr<SerialQueue> outputQueue;

    // On `control`.
    std::shared_ptr<Recording> recording;
    std::vector<CaptureCompletion> pendingStops;
    std::atomic<bool> released{false};  // the stream object is gone: never start again

    std::optional<PlatformError> start() {
        if (recording || released.load()) return std::nullopt;
        int error = 0;
        pa_simple* handle = openRecording(server, device, error);
        if (!handle) return pulseError(PulseAudioCaptureStatus::connectionFailed, "cannot record system audio", error);
        recording = std::make_shared<Recording>();
        std::thread(&PulseStreamCore::read, shared_from_this(), recording, handle, output, outputQueue).detach();
        return std::nullopt;
    }

    void stop(CaptureCompletion completion) {
        if (!recording) {
            completion(std::nullopt);
            return;
        }
        recording->stopRequested.store(true);
        pendingStops.push_back(std::move(completion));
    }

    // The reader thread.
    static void read(std::shared_ptr<PulseStreamCore> self, std::shared_ptr<Recording> run, pa_simple* handle,
                     std::shared_ptr<StreamOutput> out, std::shared_ptr<SerialQueue> queue) {
        constexpr int frames = PulseAudioCaptureBackend::framesPerBuffer;
        constexpr int channels = PulseAudioCaptureBackend::channelCount;
        const AudioStreamDescription asbd = streamDescription();
        std::vector<float> interleaved(static_cast<std::size_t>(frames * channels));
        std::int64_t delivered = 0;
        std::optional<PlatformError> failure;
        while (!run->stopRequested.load()) {
            int error = 0;
            if (pa_simple_read(handle, interleaved.data(), interleaved.size() * sizeof(float), &error) < 0) {
                failure = pulseError(PulseAudioCaptureStatus::readFailed, "system audio recording failed", error);
                break;
            }
            if (!out || !queue) continue;
            auto sample = std::make_shared<SampleBuffer>();
            sample->audioFormat = asbd;
            sample->sampleCount = frames;
            sample->presentationTime = MediaTime::make(delivered, static_cast<std::int32_t>(PulseAudioCaptureBackend::sampleRate));
            sample->duration = MediaTime::make(1, static_cast<std::int32_t>(PulseAudioCaptureBackend::sampleRate));
            std::vector<AudioBuffer> list(channels);
            for (int c = 0; c < channels; ++c) {
                auto& buffer = list[static_cast<std::size_t>(c)];
                buffer.numberChannels = 1;
                buffer.data.resize(frames * sizeof(float));
                float plane[frames];
                for (int i = 0; i < frames; ++i) plane[i] = interleaved[static_cast<std::size_t>(i * channels + c)];
                std::memcpy(buffer.data.data(), plane, sizeof(plane));
            }
            sample->audioBufferList = std::move(list);
            delivered += frames;
            queue->async([out, sample] { out->didOutputSampleBuffer(sample, StreamOutputType::audio); });
        }
        pa_simple_free(handle);
        auto control = self->control;
        control->async([self = std::move(self), run, failure] { self->recordingEnded(run, failure); });
    }

    void recordingEnded(const std::shared_ptr<Recording>& run, const std::optional<PlatformError>& failure) {
        if (recording != run) return;
        recording.reset();
        auto stops = std::move(pendingStops);
        pendingStops.clear();
        if (run->stopRequested.load()) {
            for (auto& done : stops) done(std::nullopt);
            return;
        }
        if (failure) {
            if (auto d = delegate.lock()) d->didStopWithError(*failure);
        }
    }
};

class PulseAudioStream final : public CaptureStream {
public:
    explicit PulseAudioStream(std::shared_ptr<PulseStreamCore> core) : core_(std::move(core)) {}

    ~PulseAudioStream() override {
        // A released stream stops itself: the reader ends after its current read.
        core_->released.store(true);
        core_->control->async([core = core_] {
            if (core->recording) core->recording->stopRequested.store(true);
        });
    }

    std::optional<PlatformError> addOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                                           std::shared_ptr<SerialQueue> queue) override {
        if (!output || !queue) return PlatformError{PulseAudioCaptureStatus::domain, PulseAudioCaptureStatus::invalidOutput, "no output or queue"};
        if (type != StreamOutputType::audio) {
            return PlatformError{PulseAudioCaptureStatus::domain, PulseAudioCaptureStatus::invalidOutput,
                                 "the system audio backend captures no screen"};
        }
        auto core = core_;
        core->control->sync([&] {
            core->output = std::move(output);
            core->outputQueue = std::move(queue);
        });
        return std::nullopt;
    }

    void startCapture(CaptureCompletion completion) override {
        core_->control->async([core = core_, completion = std::move(completion)] { completion(core->start()); });
    }

    // Nothing in a configuration or filter applies to system audio.
    void updateConfiguration(StreamConfiguration, CaptureCompletion completion) override {
        core_->control->async([completion = std::move(completion)] { completion(std::nullopt); });
    }
    void updateContentFilter(ContentFilter, CaptureCompletion completion) override {
        core_->control->async([completion = std::move(completion)] { completion(std::nullopt); });
    }

    void stopCapture(CaptureCompletion completion) override {
        core_->control->async([core = core_, completion = std::move(completion)]() mutable { core->stop(std::move(completion)); });
    }

private:
    std::shared_ptr<PulseStreamCore> core_;
};

}  // namespace

std::shared_ptr<PulseAudioCaptureBackend> PulseAudioCaptureBackend::create(std::string server, std::string device) {
    std::shared_ptr<PulseAudioCaptureBackend> backend(new PulseAudioCaptureBackend());
    backend->queries_ = std::make_shared<SerialQueue>("Mivodrell.PulseAudioCaptureBackend.queries");
    backend->server_ = std::move(server);
    backend->device_ = std::move(device);
    return backend;
}

bool PulseAudioCaptureBackend::serverAvailable(const std::string& server) {
    int error = 0;
    pa_simple* handle = openRecording(server, "@DEFAULT_MONITOR@", error);
    if (!handle) return false;
    pa_simple_free(handle);
    return true;
}

void PulseAudioCaptureBackend::getShareableContent(bool, bool, ShareableContentCompletion completion) {
    queries_->async([completion = std::move(completion)] { completion(ShareableContent{}, std::nullopt); });
}

std::shared_ptr<CaptureStream> PulseAudioCaptureBackend::makeStream(ContentFilter, StreamConfiguration,
                                                                    std::weak_ptr<StreamDelegate> delegate) {
    auto core = std::make_shared<PulseStreamCore>();
    core->server = server_;
    core->device = device_;
    core->delegate = std::move(delegate);
    return std::make_shared<PulseAudioStream>(core);
}

}  // namespace mivodrell
