#include "Platform/Device/Pulse/PulseMicrophone.h"

#include "Platform/Base/Narrowing.h"

#include <pulse/error.h>
#include <pulse/simple.h>
#include <pulse/pulseaudio.h>

#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace mivodrell {

namespace {

constexpr const char* kClientName = "Mivodrell";

PlatformError pulseError(const std::string& what, int code) {
    return PlatformError{"PulseAudio", code, what + ": " + pa_strerror(code)};
}

// A connection to the default server on a threaded main loop. Never spawns a daemon.
class Connection {
public:
    static std::unique_ptr<Connection> open(PlatformError& error) {
        std::unique_ptr<Connection> c(new Connection());
        c->loop_ = pa_threaded_mainloop_new();
        if (!c->loop_) {
            error = pulseError("pa_threaded_mainloop_new", PA_ERR_INTERNAL);
            return nullptr;
        }
        c->context_ = pa_context_new(pa_threaded_mainloop_get_api(c->loop_), kClientName);
        if (!c->context_) {
            error = pulseError("pa_context_new", PA_ERR_INTERNAL);
            return nullptr;
        }
        pa_context_set_state_callback(c->context_, [](pa_context*, void* loop) {
            pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
        }, c->loop_);
        if (pa_context_connect(c->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            error = pulseError("pa_context_connect", pa_context_errno(c->context_));
            return nullptr;
        }
        pa_threaded_mainloop_lock(c->loop_);
        if (pa_threaded_mainloop_start(c->loop_) < 0) {
            pa_threaded_mainloop_unlock(c->loop_);
            error = pulseError("pa_threaded_mainloop_start", PA_ERR_INTERNAL);
            return nullptr;
        }
        for (;;) {
            const auto state = pa_context_get_state(c->context_);
            if (state == PA_CONTEXT_READY) break;
            if (!PA_CONTEXT_IS_GOOD(state)) {
                error = pulseError("connect", pa_context_errno(c->context_));
                pa_threaded_mainloop_unlock(c->loop_);
                return nullptr;
            }
            pa_threaded_mainloop_wait(c->loop_);
        }
        pa_threaded_mainloop_unlock(c->loop_);
        return c;
    }

    ~Connection() {
        if (loop_) pa_threaded_mainloop_stop(loop_);
        if (context_) {
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        if (loop_) pa_threaded_mainloop_free(loop_);
    }

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }

    // Runs `operation` under the loop's lock and waits until it finished.
    template <class Start>
    void run(Start&& start) {
        pa_threaded_mainloop_lock(loop_);
        if (pa_operation* op = start()) {
            while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop_);
            pa_operation_unref(op);
        }
        pa_threaded_mainloop_unlock(loop_);
    }

private:
    Connection() = default;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
};

struct QueryState {
    pa_threaded_mainloop* loop;
    PulseServerSnapshot* snapshot;
};

// Records one source as float32 interleaved blocks of `frames` on a thread of its own. Each block
// comes with the host time of its first frame in samples: the first block's is the clock's time
// at its arrival less the block and the recording latency; the next ones count on from there.
// A blocking read cannot be cancelled and a suspended source delivers nothing, so `stop` does not
// wait for the reader: it returns at once, no block is delivered after it, and the reader lets go
// of the server once its read returns.
class PulseRecorder {
public:
    using Block = std::function<void(const float* interleaved, std::uint32_t frames, std::int64_t sampleTime)>;

    ~PulseRecorder() { stop(); }

    std::optional<PlatformError> start(const std::string& source, double rate, std::uint32_t channels,
                                       std::uint32_t frames, std::shared_ptr<const Clock> clock, Block block) {
        if (run_) return std::nullopt;
        const auto wholeRate = checkedTruncate<std::uint32_t>(rate);
        if (!wholeRate || *wholeRate == 0 || channels == 0 || channels > PA_CHANNELS_MAX || frames == 0 ||
            frames > 65536) {
            return pulseError("record " + source, PA_ERR_INVALID);
        }
        pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, *wholeRate, static_cast<std::uint8_t>(channels)};
        const std::uint32_t blockBytes = frames * channels * sizeof(float);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.fragsize = blockBytes;
        int error = 0;
        pa_simple* simple = pa_simple_new(nullptr, kClientName, PA_STREAM_RECORD, source.c_str(), "microphone", &spec,
                                          nullptr, &attributes, &error);
        if (!simple) return pulseError("record " + source, error);
        run_ = std::make_shared<Run>();
        const double sampleRate = *wholeRate;
        std::thread([run = run_, simple, blockBytes, frames, sampleRate, clock = std::move(clock), block = std::move(block)] {
            std::vector<float> samples(blockBytes / sizeof(float));
            std::optional<std::int64_t> sampleTime;
            int readError = 0;
            while (pa_simple_read(simple, samples.data(), blockBytes, &readError) >= 0) {
                if (!sampleTime) {
                    const pa_usec_t latency = pa_simple_get_latency(simple, &readError);
                    const double waited = latency == static_cast<pa_usec_t>(-1) ? 0 : static_cast<double>(latency) * 1e-6;
                    const double captured = clock->hostTime() - frames / sampleRate - waited;
                    sampleTime = roundClamped<std::int64_t>(captured * sampleRate, 0);
                }
                std::lock_guard<std::mutex> lock(run->mutex);
                if (run->stopped) break;
                block(samples.data(), frames, *sampleTime);
                *sampleTime += frames;
            }
            pa_simple_free(simple);
        }).detach();
        return std::nullopt;
    }

    void stop() {
        const auto run = std::exchange(run_, nullptr);
        if (!run) return;
        std::lock_guard<std::mutex> lock(run->mutex);
        run->stopped = true;
    }

private:
    // Shared with the reader, which delivers under `mutex` only while not stopped.
    struct Run {
        std::mutex mutex;
        bool stopped = false;
    };
    std::shared_ptr<Run> run_;
};

class PulseInputSource final : public CaptureSource {
public:
    PulseInputSource(PulseSourceInfo info, std::shared_ptr<const Clock> clock) : info_(std::move(info)), clock_(std::move(clock)) {}

    std::optional<PlatformError> start(std::function<void(const SampleBufferRef&)> sink) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const PCMFormat format{info_.sampleRate, info_.channelCount, true};
        const auto description = format.streamDescription();
        const auto timescale = roundClamped<std::int32_t>(info_.sampleRate, 1);
        const auto channels = info_.channelCount;
        return recorder_.start(info_.name, info_.sampleRate, channels, PulseMicrophone::framesPerBuffer, clock_,
                               [sink = std::move(sink), description, timescale, channels](
                                   const float* samples, std::uint32_t frames, std::int64_t sampleTime) {
                                   AudioBuffer buffer;
                                   buffer.numberChannels = channels;
                                   const auto bytes = std::size_t{frames} * channels * sizeof(float);
                                   buffer.data.resize(bytes);
                                   std::memcpy(buffer.data.data(), samples, bytes);
                                   auto sample = std::make_shared<SampleBuffer>();
                                   sample->audioFormat = description;
                                   sample->audioBufferList = std::vector<AudioBuffer>{std::move(buffer)};
                                   sample->sampleCount = frames;
                                   sample->presentationTime = MediaTime::make(sampleTime, timescale);
                                   sample->duration = MediaTime::make(1, timescale);
                                   sink(sample);
                               });
    }
    void stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        recorder_.stop();
    }

private:
    PulseSourceInfo info_;
    std::shared_ptr<const Clock> clock_;
    std::mutex mutex_;
    PulseRecorder recorder_;
};

class EchoCancelEngine final : public VoiceProcessingEngine {
public:
    explicit EchoCancelEngine(std::shared_ptr<const Clock> clock) : clock_(std::move(clock)) {}
    ~EchoCancelEngine() override { stop(); }

    std::optional<PlatformError> setVoiceProcessingEnabled(bool enabled) override {
        if (!enabled) {
            source_.reset();
            return std::nullopt;
        }
        const auto snapshot = PulseMicrophone::query();
        if (snapshot.error) return snapshot.error;
        const auto* source = snapshot.echoCancelSource();
        if (!source) return PlatformError{"PulseAudio", PA_ERR_NOENTITY, "no echo-cancel source on the server"};
        source_ = *source;
        return std::nullopt;
    }
    PCMFormat inputFormat(int) const override {
        if (!source_) return PCMFormat{};
        return PCMFormat{source_->sampleRate, source_->channelCount, false};
    }
    // The input node has one bus, 0; a tap elsewhere is ignored.
    void installTap(int bus, std::uint32_t bufferSize, const PCMFormat& format, TapBlock block) override {
        if (bus != 0) return;
        std::lock_guard<std::mutex> lock(tapMutex_);
        tap_ = std::move(block);
        tapFormat_ = format;
        tapFrames_ = bufferSize;
    }
    void removeTap(int bus) override {
        if (bus != 0) return;
        std::lock_guard<std::mutex> lock(tapMutex_);
        tap_ = nullptr;
    }
    void prepare() override {}
    std::optional<PlatformError> start() override {
        if (!source_) return PlatformError{"PulseAudio", PA_ERR_BADSTATE, "voice processing is not enabled"};
        const auto channels = source_->channelCount;
        std::uint32_t blockFrames = PulseMicrophone::framesPerBuffer;
        {
            std::lock_guard<std::mutex> lock(tapMutex_);
            if (tap_) blockFrames = tapFrames_;
        }
        return recorder_.start(source_->name, source_->sampleRate, channels, blockFrames, clock_,
                               [this, channels](const float* samples, std::uint32_t frames, std::int64_t sampleTime) {
                                   std::lock_guard<std::mutex> lock(tapMutex_);
                                   if (!tap_) return;
                                   PCMBuffer buffer;
                                   buffer.format = tapFormat_;
                                   buffer.frameLength = frames;
                                   buffer.audioBufferList.resize(channels);
                                   for (std::uint32_t c = 0; c < channels; ++c) {
                                       buffer.audioBufferList[c].data.resize(std::size_t{frames} * sizeof(float));
                                       auto* out = reinterpret_cast<float*>(buffer.audioBufferList[c].data.data());
                                       for (std::uint32_t i = 0; i < frames; ++i) out[i] = samples[std::size_t{i} * channels + c];
                                   }
                                   tap_(buffer, AudioTime{true, sampleTime});
                               });
    }
    void stop() override { recorder_.stop(); }

private:
    std::shared_ptr<const Clock> clock_;
    std::optional<PulseSourceInfo> source_;
    std::mutex tapMutex_;
    TapBlock tap_;
    PCMFormat tapFormat_;
    std::uint32_t tapFrames_ = PulseMicrophone::framesPerBuffer;
    PulseRecorder recorder_;
};

// Sources appearing and going away, monitors left out: a new source is looked up before it is
// reported, and a removed one reported only when it was. Runs on the connection's loop thread.
class SubscriptionWatcher final : public PulseSourceWatcher {
public:
    SubscriptionWatcher(std::unique_ptr<Connection> connection, std::function<void(DeviceChange::Kind)> onChange)
        : connection_(std::move(connection)), onChange_(std::move(onChange)) {
        pa_threaded_mainloop_lock(connection_->loop());
        pa_context_set_subscribe_callback(connection_->context(), [](pa_context* context, pa_subscription_event_type_t type,
                                                                      std::uint32_t index, void* self) {
            if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SOURCE) return;
            auto* watcher = static_cast<SubscriptionWatcher*>(self);
            const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
            if (kind == PA_SUBSCRIPTION_EVENT_NEW) {
                if (pa_operation* op = pa_context_get_source_info_by_index(context, index, &SubscriptionWatcher::added, self)) {
                    pa_operation_unref(op);
                }
            } else if (kind == PA_SUBSCRIPTION_EVENT_REMOVE && watcher->known_.erase(index)) {
                watcher->onChange_(DeviceChange::Kind::disconnected);
            }
        }, this);
        pa_threaded_mainloop_unlock(connection_->loop());
        // Subscribed before the constructor returns, so that no later change is missed.
        connection_->run([this] { return pa_context_get_source_info_list(connection_->context(), &SubscriptionWatcher::listed, this); });
        connection_->run([this] {
            return pa_context_subscribe(connection_->context(), PA_SUBSCRIPTION_MASK_SOURCE, [](pa_context*, int, void* loop) {
                pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
            }, connection_->loop());
        });
    }
    ~SubscriptionWatcher() override {
        pa_threaded_mainloop_lock(connection_->loop());
        pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
        pa_threaded_mainloop_unlock(connection_->loop());
        connection_.reset();
    }

private:
    static void listed(pa_context*, const pa_source_info* info, int, void* self) {
        auto* watcher = static_cast<SubscriptionWatcher*>(self);
        if (info && info->monitor_of_sink == PA_INVALID_INDEX) watcher->known_.insert(info->index);
        pa_threaded_mainloop_signal(watcher->connection_->loop(), 0);
    }
    static void added(pa_context*, const pa_source_info* info, int, void* self) {
        auto* watcher = static_cast<SubscriptionWatcher*>(self);
        if (info && info->monitor_of_sink == PA_INVALID_INDEX && watcher->known_.insert(info->index).second) {
            watcher->onChange_(DeviceChange::Kind::connected);
        }
    }

    std::unique_ptr<Connection> connection_;
    std::function<void(DeviceChange::Kind)> onChange_;
    std::set<std::uint32_t> known_;  // sources other than monitors, on the loop thread
};

}  // namespace

bool PulseSourceInfo::isEchoCancel() const {
    if (isMonitor) return false;
    for (const auto* text : {&name, &driver}) {
        if (text->find("echo-cancel") != std::string::npos || text->find("echo_cancel") != std::string::npos) return true;
    }
    return false;
}

const PulseSourceInfo* PulseServerSnapshot::source(const std::string& sourceName) const {
    for (const auto& s : sources) {
        if (s.name == sourceName) return &s;
    }
    return nullptr;
}

bool PulseServerSnapshot::isMicrophone(const PulseSourceInfo& s) const {
    if (s.isMonitor) return false;
    const auto* master = s.masterDevice.empty() ? nullptr : source(s.masterDevice);
    return !(master && master->isMonitor);
}

const PulseSourceInfo* PulseServerSnapshot::microphone() const {
    if (const auto* chosen = source(defaultSource); chosen && isMicrophone(*chosen)) return chosen;
    for (const auto& s : sources) {
        if (isMicrophone(s)) return &s;
    }
    return nullptr;
}

const PulseSourceInfo* PulseServerSnapshot::echoCancelSource() const {
    const auto* mic = microphone();
    if (mic && mic->isEchoCancel()) return mic;
    const PulseSourceInfo* first = nullptr;
    for (const auto& s : sources) {
        if (!s.isEchoCancel() || !isMicrophone(s)) continue;
        if (mic && s.masterDevice == mic->name) return &s;
        if (!first) first = &s;
    }
    return first;
}

PulseServerSnapshot PulseMicrophone::query() {
    PulseServerSnapshot snapshot;
    PlatformError error;
    auto connection = Connection::open(error);
    if (!connection) {
        snapshot.error = error;
        return snapshot;
    }
    QueryState state{connection->loop(), &snapshot};
    connection->run([&] {
        return pa_context_get_server_info(connection->context(), [](pa_context*, const pa_server_info* info, void* user) {
            auto* s = static_cast<QueryState*>(user);
            if (info && info->default_source_name) s->snapshot->defaultSource = info->default_source_name;
            pa_threaded_mainloop_signal(s->loop, 0);
        }, &state);
    });
    connection->run([&] {
        return pa_context_get_source_info_list(connection->context(), [](pa_context*, const pa_source_info* info, int, void* user) {
            auto* s = static_cast<QueryState*>(user);
            if (info) {
                PulseSourceInfo source;
                source.name = info->name ? info->name : "";
                source.description = info->description ? info->description : source.name;
                source.driver = info->driver ? info->driver : "";
                source.sampleRate = info->sample_spec.rate;
                source.channelCount = info->sample_spec.channels;
                source.isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
                if (const char* master = pa_proplist_gets(info->proplist, "device.master_device")) source.masterDevice = master;
                s->snapshot->sources.push_back(std::move(source));
            }
            pa_threaded_mainloop_signal(s->loop, 0);
        }, &state);
    });
    return snapshot;
}

std::optional<CaptureDevice> PulseMicrophone::defaultMicrophone() {
    const auto snapshot = query();
    const auto* source = snapshot.microphone();
    if (snapshot.error || !source) return std::nullopt;
    return CaptureDevice{source->name, source->description, MediaType::audio};
}

DeviceInputResult PulseMicrophone::open(const CaptureDevice& device, std::shared_ptr<const Clock> clock) {
    const auto snapshot = query();
    if (snapshot.error) return *snapshot.error;
    const auto* source = snapshot.source(device.uniqueID);
    if (!source) return pulseError("source " + device.uniqueID, PA_ERR_NOENTITY);
    return std::make_shared<CaptureDeviceInput>(device, std::make_shared<PulseInputSource>(*source, clock ? std::move(clock) : Clock::system()));
}

std::unique_ptr<VoiceProcessingEngine> PulseMicrophone::makeEchoCancelEngine(std::shared_ptr<const Clock> clock) {
    return std::make_unique<EchoCancelEngine>(clock ? std::move(clock) : Clock::system());
}

AuthorizationStatus PulseMicrophone::authorization() {
    PlatformError error;
    auto connection = Connection::open(error);
    if (!connection && error.code == PA_ERR_ACCESS) return AuthorizationStatus::denied;
    return AuthorizationStatus::authorized;
}

std::unique_ptr<PulseSourceWatcher> PulseSourceWatcher::start(std::function<void(DeviceChange::Kind)> onChange) {
    PlatformError error;
    auto connection = Connection::open(error);
    if (!connection) return nullptr;
    return std::make_unique<SubscriptionWatcher>(std::move(connection), std::move(onChange));
}

}  // namespace mivodrell
