#include "Platform/Device/Pulse/PulseMicrophone.h"

#include "Platform/Base/Narrowing.h"

#include <pulse/error.h>
#include <pulse/simple.h>
#include <pulse/pulseaudio.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

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

// Records one source as float32 interleaved blocks on a thread of its own.
class PulseRecorder {
public:
    using Block = std::function<void(const float* interleaved, std::uint32_t frames, std::uint64_t position)>;

    ~PulseRecorder() { stop(); }

    std::optional<PlatformError> start(const std::string& source, double rate, std::uint32_t channels, Block block) {
        if (thread_.joinable()) return std::nullopt;
        const auto wholeRate = checkedTruncate<std::uint32_t>(rate);
        if (!wholeRate || *wholeRate == 0 || channels == 0 || channels > PA_CHANNELS_MAX) {
            return pulseError("record " + source, PA_ERR_INVALID);
        }
        pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, *wholeRate, static_cast<std::uint8_t>(channels)};
        const std::uint32_t blockBytes = PulseMicrophone::framesPerBuffer * channels * sizeof(float);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.fragsize = blockBytes;
        int error = 0;
        simple_ = pa_simple_new(nullptr, kClientName, PA_STREAM_RECORD, source.c_str(), "microphone", &spec, nullptr,
                                &attributes, &error);
        if (!simple_) return pulseError("record " + source, error);
        stopping_ = false;
        thread_ = std::thread([this, blockBytes, block = std::move(block)] {
            std::vector<float> samples(blockBytes / sizeof(float));
            std::uint64_t position = 0;
            while (!stopping_) {
                int readError = 0;
                if (pa_simple_read(simple_, samples.data(), blockBytes, &readError) < 0) return;
                block(samples.data(), PulseMicrophone::framesPerBuffer, position);
                position += PulseMicrophone::framesPerBuffer;
            }
        });
        return std::nullopt;
    }

    void stop() {
        if (thread_.joinable()) {
            stopping_ = true;
            thread_.join();
        }
        if (simple_) pa_simple_free(simple_);
        simple_ = nullptr;
    }

private:
    pa_simple* simple_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

class PulseInputSource final : public CaptureSource {
public:
    explicit PulseInputSource(PulseSourceInfo info) : info_(std::move(info)) {}

    std::optional<PlatformError> start(std::function<void(const SampleBufferRef&)> sink) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const PCMFormat format{info_.sampleRate, info_.channelCount, true};
        const auto description = format.streamDescription();
        const auto timescale = roundClamped<std::int32_t>(info_.sampleRate, 1);
        const auto channels = info_.channelCount;
        return recorder_.start(info_.name, info_.sampleRate, channels,
                               [sink = std::move(sink), description, timescale, channels](
                                   const float* samples, std::uint32_t frames, std::uint64_t position) {
                                   AudioBuffer buffer;
                                   buffer.numberChannels = channels;
                                   const auto bytes = std::size_t{frames} * channels * sizeof(float);
                                   buffer.data.resize(bytes);
                                   std::memcpy(buffer.data.data(), samples, bytes);
                                   auto sample = std::make_shared<SampleBuffer>();
                                   sample->audioFormat = description;
                                   sample->audioBufferList = std::vector<AudioBuffer>{std::move(buffer)};
                                   sample->sampleCount = frames;
                                   sample->presentationTime = MediaTime::make(static_cast<std::int64_t>(position), timescale);
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
    std::mutex mutex_;
    PulseRecorder recorder_;
};

class EchoCancelEngine final : public VoiceProcessingEngine {
public:
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
    void installTap(int, std::uint32_t, const PCMFormat& format, TapBlock block) override {
        std::lock_guard<std::mutex> lock(tapMutex_);
        tap_ = std::move(block);
        tapFormat_ = format;
    }
    void removeTap(int) override {
        std::lock_guard<std::mutex> lock(tapMutex_);
        tap_ = nullptr;
    }
    void prepare() override {}
    std::optional<PlatformError> start() override {
        if (!source_) return PlatformError{"PulseAudio", PA_ERR_BADSTATE, "voice processing is not enabled"};
        const auto channels = source_->channelCount;
        return recorder_.start(source_->name, source_->sampleRate, channels,
                               [this, channels](const float* samples, std::uint32_t frames, std::uint64_t position) {
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
                                   tap_(buffer, AudioTime{true, static_cast<std::int64_t>(position)});
                               });
    }
    void stop() override { recorder_.stop(); }

private:
    std::optional<PulseSourceInfo> source_;
    std::mutex tapMutex_;
    TapBlock tap_;
    PCMFormat tapFormat_;
    PulseRecorder recorder_;
};

class SubscriptionWatcher final : public PulseSourceWatcher {
public:
    SubscriptionWatcher(std::unique_ptr<Connection> connection, std::function<void(DeviceChange::Kind)> onChange)
        : connection_(std::move(connection)), onChange_(std::move(onChange)) {
        pa_threaded_mainloop_lock(connection_->loop());
        pa_context_set_subscribe_callback(connection_->context(), [](pa_context*, pa_subscription_event_type_t type,
                                                                      std::uint32_t, void* self) {
            const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
            const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
            if (facility != PA_SUBSCRIPTION_EVENT_SOURCE) return;
            auto* watcher = static_cast<SubscriptionWatcher*>(self);
            if (kind == PA_SUBSCRIPTION_EVENT_NEW) watcher->onChange_(DeviceChange::Kind::connected);
            if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) watcher->onChange_(DeviceChange::Kind::disconnected);
        }, this);
        if (pa_operation* op = pa_context_subscribe(connection_->context(), PA_SUBSCRIPTION_MASK_SOURCE, nullptr, nullptr)) {
            pa_operation_unref(op);
        }
        pa_threaded_mainloop_unlock(connection_->loop());
    }
    ~SubscriptionWatcher() override {
        pa_threaded_mainloop_lock(connection_->loop());
        pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
        pa_threaded_mainloop_unlock(connection_->loop());
        connection_.reset();
    }

private:
    std::unique_ptr<Connection> connection_;
    std::function<void(DeviceChange::Kind)> onChange_;
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

const PulseSourceInfo* PulseServerSnapshot::echoCancelSource() const {
    for (const auto& s : sources) {
        if (s.isEchoCancel()) return &s;
    }
    return nullptr;
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
                s->snapshot->sources.push_back(std::move(source));
            }
            pa_threaded_mainloop_signal(s->loop, 0);
        }, &state);
    });
    return snapshot;
}

std::optional<CaptureDevice> PulseMicrophone::defaultMicrophone() {
    const auto snapshot = query();
    const auto* source = snapshot.source(snapshot.defaultSource);
    if (snapshot.error || !source) return std::nullopt;
    return CaptureDevice{source->name, source->description, MediaType::audio};
}

DeviceInputResult PulseMicrophone::open(const CaptureDevice& device) {
    const auto snapshot = query();
    if (snapshot.error) return *snapshot.error;
    const auto* source = snapshot.source(device.uniqueID);
    if (!source) return pulseError("source " + device.uniqueID, PA_ERR_NOENTITY);
    return std::make_shared<CaptureDeviceInput>(device, std::make_shared<PulseInputSource>(*source));
}

std::unique_ptr<VoiceProcessingEngine> PulseMicrophone::makeEchoCancelEngine() {
    return std::make_unique<EchoCancelEngine>();
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
