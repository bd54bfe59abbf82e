#include "Platform/Capture/Pulse/PulseAudioCaptureBackend.h"

#include "Platform/Base/FourCC.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Base/SerialQueue.h"

#include <pulse/error.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace mivodrell {

namespace {

PlatformError pulseError(std::int32_t code, const std::string& what, int paError) {
    return {PulseAudioCaptureStatus::domain, code, what + ": " + pa_strerror(paError)};
}

void signalLoop(void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); }

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

// A record stream on a connection of its own, served by a threaded main loop. The asynchronous
// interface is used for its signed latency: a sink's monitor delivers samples before the sink
// plays them, and the simple interface reports that as no latency at all.
class PulseRecordStream {
public:
    // Nothing (and `error` set) when the server cannot be reached or refuses the stream.
    static std::unique_ptr<PulseRecordStream> open(const std::string& server, const std::string& device, int& error) {
        std::unique_ptr<PulseRecordStream> r(new PulseRecordStream());
        r->loop_ = pa_threaded_mainloop_new();
        r->context_ = r->loop_ ? pa_context_new(pa_threaded_mainloop_get_api(r->loop_), "Mivodrell") : nullptr;
        if (!r->context_) {
            error = PA_ERR_INTERNAL;
            return nullptr;
        }
        pa_context_set_state_callback(r->context_, [](pa_context*, void* loop) { signalLoop(loop); }, r->loop_);
        if (pa_context_connect(r->context_, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            pa_threaded_mainloop_start(r->loop_) < 0) {
            error = pa_context_errno(r->context_);
            return nullptr;
        }
        pa_threaded_mainloop_lock(r->loop_);
        error = r->waitUntilReady(false);
        if (error == PA_OK) {
            const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(PulseAudioCaptureBackend::sampleRate),
                                      PulseAudioCaptureBackend::channelCount};
            r->stream_ = pa_stream_new(r->context_, "System audio", &spec, nullptr);
            if (r->stream_) {
                pa_stream_set_state_callback(r->stream_, [](pa_stream*, void* loop) { signalLoop(loop); }, r->loop_);
                pa_stream_set_read_callback(r->stream_, [](pa_stream*, std::size_t, void* loop) { signalLoop(loop); }, r->loop_);
                pa_buffer_attr attributes{};
                constexpr auto serverDefault = static_cast<std::uint32_t>(-1);
                attributes.maxlength = attributes.tlength = attributes.prebuf = attributes.minreq = serverDefault;
                attributes.fragsize = PulseAudioCaptureBackend::framesPerBuffer * PulseAudioCaptureBackend::channelCount *
                                      sizeof(float);
                const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                                                  PA_STREAM_ADJUST_LATENCY);
                error = pa_stream_connect_record(r->stream_, device.empty() ? nullptr : device.c_str(), &attributes, flags) < 0
                            ? pa_context_errno(r->context_)
                            : r->waitUntilReady(true);
            } else {
                error = pa_context_errno(r->context_);
            }
        }
        pa_threaded_mainloop_unlock(r->loop_);
        return error == PA_OK ? std::move(r) : nullptr;
    }

    ~PulseRecordStream() {
        if (loop_) pa_threaded_mainloop_stop(loop_);
        if (stream_) pa_stream_unref(stream_);
        if (context_) {
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        if (loop_) pa_threaded_mainloop_free(loop_);
    }

    // Waits for samples and appends all there are to `pending` (interleaved), with the time since
    // the last of them was captured in `latency` (seconds; negative when it has yet to play).
    // Returns early, having read nothing, once `stop` is set and `wake` called; PA_OK or the error.
    int read(std::vector<float>& pending, double& latency, const std::atomic<bool>& stop) {
        pa_threaded_mainloop_lock(loop_);
        int error = PA_OK;
        bool got = false;
        while (!stop.load()) {
            if (pa_context_get_state(context_) != PA_CONTEXT_READY || pa_stream_get_state(stream_) != PA_STREAM_READY) {
                error = pa_context_errno(context_) != PA_OK ? pa_context_errno(context_) : PA_ERR_CONNECTIONTERMINATED;
                break;
            }
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream_, &data, &bytes) < 0) {
                error = pa_context_errno(context_);
                break;
            }
            if (bytes == 0) {
                if (got) break;
                pa_threaded_mainloop_wait(loop_);
                continue;
            }
            const auto* samples = static_cast<const float*>(data);
            const std::size_t count = bytes / sizeof(float);
            if (samples) {
                pending.insert(pending.end(), samples, samples + count);
            } else {
                pending.resize(pending.size() + count, 0.0f);  // a hole in the stream: silence
            }
            pa_stream_drop(stream_);
            got = true;
        }
        pa_usec_t usec = 0;
        int negative = 0;
        latency = got && pa_stream_get_latency(stream_, &usec, &negative) == 0
                      ? (negative ? -1.0 : 1.0) * static_cast<double>(usec) * 1e-6
                      : 0.0;
        pa_threaded_mainloop_unlock(loop_);
        return error;
    }

    // Wakes a waiting `read`.
    void wake() {
        pa_threaded_mainloop_lock(loop_);
        pa_threaded_mainloop_signal(loop_, 0);
        pa_threaded_mainloop_unlock(loop_);
    }

private:
    PulseRecordStream() = default;

    // Under the loop's lock.
    int waitUntilReady(bool stream) {
        for (;;) {
            if (stream) {
                const pa_stream_state_t state = pa_stream_get_state(stream_);
                if (state == PA_STREAM_READY) return PA_OK;
                if (!PA_STREAM_IS_GOOD(state)) return pa_context_errno(context_);
            } else {
                const pa_context_state_t state = pa_context_get_state(context_);
                if (state == PA_CONTEXT_READY) return PA_OK;
                if (!PA_CONTEXT_IS_GOOD(state)) return pa_context_errno(context_);
            }
            pa_threaded_mainloop_wait(loop_);
        }
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
};

// One recording, shared by its reader thread (which ends when asked or when a read fails) and
// the control queue (which asks); the stream closes when both have let go.
struct Recording {
    std::atomic<bool> stopRequested{false};
    std::unique_ptr<PulseRecordStream> stream;

    void requestStop() {
        stopRequested.store(true);
        stream->wake();
    }
};

// The host time of each buffer's first sample, in samples at the capture rate: a count of the
// samples from a start that follows what the server's timing says. A reader woken late sees a
// time too late, never too early, so over each window of buffers the least difference between
// what was seen and the stamp is the stamps' error; they move by it (back by at most half a
// buffer per buffer, so they never go back in time), and at once by a jump of more than 50 ms
// (samples the server dropped).
class HostTimeStamps {
public:
    // `captured` is the host time at which the buffer's first sample was captured, as seen now.
    std::int64_t next(double captured, std::int64_t frames) {
        const std::int64_t seen = roundClamped<std::int64_t>(captured * PulseAudioCaptureBackend::sampleRate, 0);
        if (!start_) start_ = seen;
        const std::int64_t error = seen - (*start_ + shift_ + delivered_);
        if (error > maxJump) {
            shift_ += error;
            windowCount_ = 0;
        } else {
            windowMin_ = windowCount_ == 0 ? error : std::min(windowMin_, error);
            if (++windowCount_ == window) {
                if (std::abs(windowMin_) > tolerance) shift_ += windowMin_;
                windowCount_ = 0;
            }
        }
        const std::int64_t step = std::max(shift_, -frames / 2);
        *start_ += step;
        shift_ -= step;
        const std::int64_t stamp = *start_ + delivered_;
        delivered_ += frames;
        return stamp;
    }

private:
    static constexpr auto rate = static_cast<std::int64_t>(PulseAudioCaptureBackend::sampleRate);
    static constexpr std::int64_t maxJump = rate / 20;
    static constexpr std::int64_t tolerance = rate / 500;
    static constexpr int window = 6;
    std::optional<std::int64_t> start_;
    std::int64_t shift_ = 0;  // still to apply
    std::int64_t delivered_ = 0;
    std::int64_t windowMin_ = 0;
    int windowCount_ = 0;
};

struct PulseStreamCore : std::enable_shared_from_this<PulseStreamCore> {
    std::string server;
    std::string device;
    std::shared_ptr<const Clock> clock;
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
        auto stream = PulseRecordStream::open(server, device, error);
        if (!stream) return pulseError(PulseAudioCaptureStatus::connectionFailed, "cannot record system audio", error);
        recording = std::make_shared<Recording>();
        recording->stream = std::move(stream);
        std::thread(&PulseStreamCore::read, shared_from_this(), recording, output, outputQueue).detach();
        return std::nullopt;
    }

    void stop(CaptureCompletion completion) {
        if (!recording) {
            completion(std::nullopt);
            return;
        }
        recording->requestStop();
        pendingStops.push_back(std::move(completion));
    }

    // The reader thread.
    static void read(std::shared_ptr<PulseStreamCore> self, std::shared_ptr<Recording> run,
                     std::shared_ptr<StreamOutput> out, std::shared_ptr<SerialQueue> queue) {
        constexpr int frames = PulseAudioCaptureBackend::framesPerBuffer;
        constexpr int channels = PulseAudioCaptureBackend::channelCount;
        constexpr auto rate = static_cast<std::int32_t>(PulseAudioCaptureBackend::sampleRate);
        const AudioStreamDescription asbd = streamDescription();
        std::vector<float> pending;
        HostTimeStamps stamps;
        std::optional<PlatformError> failure;
        while (!run->stopRequested.load()) {
            double latency = 0;
            if (const int error = run->stream->read(pending, latency, run->stopRequested); error != PA_OK) {
                failure = pulseError(PulseAudioCaptureStatus::readFailed, "system audio recording failed", error);
                break;
            }
            // The last sample read was captured `latency` ago; the pending ones lie before it.
            const double lastCaptured = self->clock->hostTime() - latency;
            std::size_t used = 0;
            for (; pending.size() - used >= std::size_t{frames * channels}; used += std::size_t{frames * channels}) {
                const double framesAfter = double(pending.size() - used) / channels;
                const std::int64_t stamp = stamps.next(lastCaptured - framesAfter / rate, frames);
                if (!out || !queue) continue;
                auto sample = std::make_shared<SampleBuffer>();
                sample->audioFormat = asbd;
                sample->sampleCount = frames;
                sample->presentationTime = MediaTime::make(stamp, rate);
                sample->duration = MediaTime::make(1, rate);
                std::vector<AudioBuffer> list(channels);
                for (int c = 0; c < channels; ++c) {
                    auto& buffer = list[static_cast<std::size_t>(c)];
                    buffer.numberChannels = 1;
                    buffer.data.resize(frames * sizeof(float));
                    auto* plane = reinterpret_cast<float*>(buffer.data.data());
                    for (int i = 0; i < frames; ++i) plane[i] = pending[used + static_cast<std::size_t>(i * channels + c)];
                }
                sample->audioBufferList = std::move(list);
                queue->async([out, sample] { out->didOutputSampleBuffer(sample, StreamOutputType::audio); });
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
        }
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
            if (core->recording) core->recording->requestStop();
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

std::shared_ptr<PulseAudioCaptureBackend> PulseAudioCaptureBackend::create(std::string server, std::string device,
                                                                          std::shared_ptr<const Clock> clock) {
    std::shared_ptr<PulseAudioCaptureBackend> backend(new PulseAudioCaptureBackend());
    backend->clock_ = clock ? std::move(clock) : Clock::system();
    backend->queries_ = std::make_shared<SerialQueue>("Mivodrell.PulseAudioCaptureBackend.queries");
    backend->server_ = std::move(server);
    backend->device_ = std::move(device);
    return backend;
}

bool PulseAudioCaptureBackend::serverAvailable(const std::string& server) {
    int error = 0;
    return PulseRecordStream::open(server, "@DEFAULT_MONITOR@", error) != nullptr;
}

void PulseAudioCaptureBackend::getShareableContent(bool, bool, ShareableContentCompletion completion) {
    queries_->async([completion = std::move(completion)] { completion(ShareableContent{}, std::nullopt); });
}

std::shared_ptr<CaptureStream> PulseAudioCaptureBackend::makeStream(ContentFilter, StreamConfiguration,
                                                                    std::weak_ptr<StreamDelegate> delegate) {
    auto core = std::make_shared<PulseStreamCore>();
    core->server = server_;
    core->device = device_;
    core->clock = clock_;
    core->delegate = std::move(delegate);
    return std::make_shared<PulseAudioStream>(core);
}

}  // namespace mivodrell
