#include "Platform/Device/Virtual/VirtualDeviceServer.h"

#include "Platform/Base/FourCC.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Device/CaptureGraph.h"
#include "Platform/Media/PixelBuffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <numbers>

namespace mivodrell {

namespace {

// A source that the server clocks by hand.
class ClockedSource : public CaptureSource {
public:
    std::optional<PlatformError> start(std::function<void(const SampleBufferRef&)> sink) override {
        std::lock_guard<std::mutex> lock(mutex_);
        sink_ = std::move(sink);
        elapsed_ = 0;
        produced_ = 0;
        return std::nullopt;
    }
    void stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        sink_ = nullptr;
    }
    bool running() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sink_ != nullptr;
    }
    void advance(double seconds) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!sink_) return;
        elapsed_ += seconds;
        produceDue();
    }

protected:
    virtual void produceDue() = 0;
    std::mutex mutex_;
    std::function<void(const SampleBufferRef&)> sink_;
    double elapsed_ = 0;
    std::uint64_t produced_ = 0;
};

class VirtualCameraSource final : public ClockedSource {
public:
    explicit VirtualCameraSource(VirtualCamera camera) : camera_(std::move(camera)) {}

private:
    void produceDue() override {
        if (!(camera_.frameRate > 0)) return;
        while (static_cast<double>(produced_) / camera_.frameRate <= elapsed_ + 1e-9) {
            auto created = PixelBuffer::create(camera_.width, camera_.height, PixelFormat::bgra);
            if (!created.buffer) return;
            VirtualDeviceServer::fillPattern(*created.buffer, produced_);
            auto sample = std::make_shared<SampleBuffer>();
            sample->imageBuffer = created.buffer;
            sample->presentationTime = MediaTime::fromSeconds(static_cast<double>(produced_) / camera_.frameRate, 1000000000);
            sample->sampleCount = 1;
            ++produced_;
            sink_(sample);
        }
    }
    VirtualCamera camera_;
};

// The tone's sample `index` for a microphone.
float toneSample(const VirtualMicrophone& microphone, std::uint64_t index) {
    const double phase = 2.0 * std::numbers::pi * microphone.toneFrequency * static_cast<double>(index) / microphone.sampleRate;
    return static_cast<float>(0.5 * std::sin(phase));
}

std::uint64_t framesDue(double seconds, double rate) {
    return truncateClamped<std::uint64_t>(seconds * rate + 1e-6, 0);
}

class VirtualMicrophoneSource final : public ClockedSource {
public:
    explicit VirtualMicrophoneSource(VirtualMicrophone microphone) : microphone_(std::move(microphone)) {}

private:
    void produceDue() override {
        const auto n = VirtualDeviceServer::framesPerAudioBuffer;
        const PCMFormat format{microphone_.sampleRate, microphone_.channelCount, true};
        while (framesDue(elapsed_, microphone_.sampleRate) >= produced_ + n) {
            AudioBuffer buffer;
            buffer.numberChannels = microphone_.channelCount;
            buffer.data.resize(std::size_t{n} * microphone_.channelCount * sizeof(float));
            auto* out = reinterpret_cast<float*>(buffer.data.data());
            for (std::uint32_t i = 0; i < n; ++i) {
                const float v = toneSample(microphone_, produced_ + i);
                for (std::uint32_t c = 0; c < microphone_.channelCount; ++c) *out++ = v;
            }
            auto sample = std::make_shared<SampleBuffer>();
            sample->audioFormat = format.streamDescription();
            sample->audioBufferList = std::vector<AudioBuffer>{std::move(buffer)};
            sample->sampleCount = n;
            sample->presentationTime = MediaTime::make(static_cast<std::int64_t>(produced_),
                                                       roundClamped<std::int32_t>(microphone_.sampleRate, 1));
            sample->duration = MediaTime::make(1, roundClamped<std::int32_t>(microphone_.sampleRate, 1));
            produced_ += n;
            sink_(sample);
        }
    }
    VirtualMicrophone microphone_;
};

// The running part of a virtual engine, shared with the server so that `tick` can feed it.
struct EngineCore {
    std::mutex mutex;
    VoiceProcessingEngine::TapBlock tap;  // on bus `tapBus`; only bus 0, the input, carries audio
    int tapBus = 0;
    std::uint32_t tapFrames = 0;
    PCMFormat format;
    bool running = false;
    double elapsed = 0;
    std::uint64_t produced = 0;
    VirtualMicrophone microphone;

    void advance(double seconds) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running || !tap || tapBus != 0 || tapFrames == 0) return;
        elapsed += seconds;
        const auto n = tapFrames;
        while (framesDue(elapsed, format.sampleRate) >= produced + n) {
            PCMBuffer buffer;
            buffer.format = format;
            buffer.frameLength = n;
            for (std::uint32_t c = 0; c < format.channelCount; ++c) {
                AudioBuffer channel;
                channel.data.resize(std::size_t{n} * sizeof(float));
                auto* out = reinterpret_cast<float*>(channel.data.data());
                for (std::uint32_t i = 0; i < n; ++i) out[i] = toneSample(microphone, produced + i);
                buffer.audioBufferList.push_back(std::move(channel));
            }
            const AudioTime time{true, static_cast<std::int64_t>(produced)};
            produced += n;
            tap(buffer, time);
        }
    }
};

class VirtualEngine final : public VoiceProcessingEngine {
public:
    VirtualEngine(VoiceProcessingScript script, VirtualMicrophone microphone, std::shared_ptr<EngineCore> core)
        : script_(std::move(script)), core_(std::move(core)) {
        core_->microphone = std::move(microphone);
    }
    ~VirtualEngine() override { stop(); }

    std::optional<PlatformError> setVoiceProcessingEnabled(bool) override {
        if (script_.outcome == VoiceProcessingScript::Outcome::enableFails) return script_.error;
        return std::nullopt;
    }
    PCMFormat inputFormat(int) const override { return script_.format; }
    void installTap(int bus, std::uint32_t bufferSize, const PCMFormat& format, TapBlock block) override {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->tap = std::move(block);
        core_->tapBus = bus;
        core_->tapFrames = bufferSize;
        core_->format = format;
    }
    void removeTap(int bus) override {
        std::lock_guard<std::mutex> lock(core_->mutex);
        if (bus == core_->tapBus) core_->tap = nullptr;
    }
    void prepare() override {}
    std::optional<PlatformError> start() override {
        if (script_.outcome == VoiceProcessingScript::Outcome::startFails) return script_.error;
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->running = true;
        return std::nullopt;
    }
    void stop() override {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->running = false;
    }

private:
    VoiceProcessingScript script_;
    std::shared_ptr<EngineCore> core_;
};

}  // namespace

struct VirtualDeviceServer::Impl {
    std::mutex mutex;
    std::vector<VirtualCamera> cameras;
    std::string defaultCamera;
    std::optional<VirtualMicrophone> microphone;
    std::optional<PlatformError> inputCreationFailure;
    bool refusesInputs = false;
    std::map<MediaType, bool> refusesOutputs;
    VoiceProcessingScript voiceProcessing;
    std::map<MediaType, AuthorizationStatus> authorization{{MediaType::video, AuthorizationStatus::authorized},
                                                           {MediaType::audio, AuthorizationStatus::authorized}};
    std::map<MediaType, std::vector<std::function<void(bool)>>> pendingAccess;
    std::vector<std::weak_ptr<VirtualCameraSource>> cameraSources;
    std::vector<std::weak_ptr<VirtualMicrophoneSource>> microphoneSources;
    std::vector<std::weak_ptr<EngineCore>> engines;
    std::shared_ptr<EngineCore> lastEngine;
    std::uint64_t inputsCreated = 0;
    DeviceChangeBroadcaster broadcaster;
    std::shared_ptr<SerialQueue> answerQueue = std::make_shared<SerialQueue>("Mivodrell.VirtualDeviceServer");

    const VirtualCamera* camera(const std::string& id) const {
        for (const auto& c : cameras) {
            if (c.uniqueID == id) return &c;
        }
        return nullptr;
    }
};

std::shared_ptr<VirtualDeviceServer> VirtualDeviceServer::create() {
    std::shared_ptr<VirtualDeviceServer> server(new VirtualDeviceServer());
    server->impl_ = std::make_shared<Impl>();
    return server;
}

VirtualDeviceServer::~VirtualDeviceServer() = default;

void VirtualDeviceServer::addCamera(const VirtualCamera& camera) {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->cameras.push_back(camera);
    }
    impl_->broadcaster.post({DeviceChange::Kind::connected, MediaType::video, camera.uniqueID});
}

void VirtualDeviceServer::removeCamera(const std::string& uniqueID) {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        std::erase_if(impl_->cameras, [&](const VirtualCamera& c) { return c.uniqueID == uniqueID; });
    }
    impl_->broadcaster.post({DeviceChange::Kind::disconnected, MediaType::video, uniqueID});
}

void VirtualDeviceServer::setDefaultCamera(const std::string& uniqueID) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->defaultCamera = uniqueID;
}

void VirtualDeviceServer::setMicrophone(const VirtualMicrophone& microphone) {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->microphone = microphone;
    }
    impl_->broadcaster.post({DeviceChange::Kind::connected, MediaType::audio, microphone.uniqueID});
}

void VirtualDeviceServer::removeMicrophone() {
    std::string id;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (!impl_->microphone) return;
        id = impl_->microphone->uniqueID;
        impl_->microphone.reset();
    }
    impl_->broadcaster.post({DeviceChange::Kind::disconnected, MediaType::audio, id});
}

void VirtualDeviceServer::setInputCreationFailure(std::optional<PlatformError> error) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->inputCreationFailure = std::move(error);
}

void VirtualDeviceServer::setRefusesInputs(bool refuses) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->refusesInputs = refuses;
}

void VirtualDeviceServer::setRefusesOutputs(MediaType type, bool refuses) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->refusesOutputs[type] = refuses;
}

void VirtualDeviceServer::setVoiceProcessing(const VoiceProcessingScript& script) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->voiceProcessing = script;
}

void VirtualDeviceServer::setAuthorization(MediaType type, AuthorizationStatus status) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->authorization[type] = status;
}

void VirtualDeviceServer::answerAccessRequests(MediaType type, bool granted) {
    std::vector<std::function<void(bool)>> completions;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        completions.swap(impl_->pendingAccess[type]);
        impl_->authorization[type] = granted ? AuthorizationStatus::authorized : AuthorizationStatus::denied;
    }
    for (auto& completion : completions) {
        impl_->answerQueue->async([completion, granted] { completion(granted); });
    }
}

int VirtualDeviceServer::pendingAccessRequests(MediaType type) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return static_cast<int>(impl_->pendingAccess[type].size());
}

void VirtualDeviceServer::tick(double seconds) {
    std::vector<std::shared_ptr<ClockedSource>> sources;
    std::vector<std::shared_ptr<EngineCore>> engines;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        for (auto& weak : impl_->cameraSources) {
            if (auto s = weak.lock()) sources.push_back(s);
        }
        for (auto& weak : impl_->microphoneSources) {
            if (auto s = weak.lock()) sources.push_back(s);
        }
        for (auto& weak : impl_->engines) {
            if (auto e = weak.lock()) engines.push_back(e);
        }
    }
    for (auto& source : sources) source->advance(seconds);
    for (auto& engine : engines) engine->advance(seconds);
}

bool VirtualDeviceServer::injectTapBuffer(const PCMBuffer& buffer, const AudioTime& time) {
    std::vector<std::shared_ptr<EngineCore>> engines;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        for (auto& weak : impl_->engines) {
            if (auto e = weak.lock()) engines.push_back(e);
        }
    }
    for (auto& engine : engines) {
        std::lock_guard<std::mutex> lock(engine->mutex);
        if (engine->running && engine->tap && engine->tapBus == 0) {
            engine->tap(buffer, time);
            return true;
        }
    }
    return false;
}

int VirtualDeviceServer::runningCameraSources() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    int n = 0;
    for (auto& weak : impl_->cameraSources) {
        if (auto s = weak.lock(); s && s->running()) ++n;
    }
    return n;
}

int VirtualDeviceServer::runningMicrophoneSources() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    int n = 0;
    for (auto& weak : impl_->microphoneSources) {
        if (auto s = weak.lock(); s && s->running()) ++n;
    }
    return n;
}

bool VirtualDeviceServer::engineRunning() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (auto& weak : impl_->engines) {
        auto e = weak.lock();
        if (!e) continue;
        std::lock_guard<std::mutex> inner(e->mutex);
        if (e->running) return true;
    }
    return false;
}

std::optional<std::pair<int, std::uint32_t>> VirtualDeviceServer::lastEngineTap() {
    std::shared_ptr<EngineCore> engine;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        engine = impl_->lastEngine;
    }
    if (!engine) return std::nullopt;
    std::lock_guard<std::mutex> lock(engine->mutex);
    if (!engine->tap) return std::nullopt;
    return std::pair(engine->tapBus, engine->tapFrames);
}

std::uint64_t VirtualDeviceServer::inputsCreated() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->inputsCreated;
}

void VirtualDeviceServer::fillPattern(PixelBuffer& bgra, std::uint64_t frameIndex) {
    const auto n = static_cast<std::uint8_t>(frameIndex & 0xFF);
    for (int y = 0; y < bgra.height(); ++y) {
        std::uint8_t* row = bgra.baseAddress() + static_cast<std::size_t>(y) * bgra.bytesPerRow();
        for (int x = 0; x < bgra.width(); ++x) {
            row[4 * x + 0] = static_cast<std::uint8_t>((x + n) & 0xFF);
            row[4 * x + 1] = static_cast<std::uint8_t>(y & 0xFF);
            row[4 * x + 2] = n;
            row[4 * x + 3] = 255;
        }
    }
}

std::vector<CaptureDevice> VirtualDeviceServer::devices(MediaType type) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<CaptureDevice> list;
    if (type == MediaType::video) {
        for (const auto& c : impl_->cameras) list.push_back({c.uniqueID, c.name, MediaType::video});
    } else if (impl_->microphone) {
        list.push_back({impl_->microphone->uniqueID, impl_->microphone->name, MediaType::audio});
    }
    return list;
}

std::optional<CaptureDevice> VirtualDeviceServer::defaultDevice(MediaType type) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (type == MediaType::audio) {
        if (!impl_->microphone) return std::nullopt;
        return CaptureDevice{impl_->microphone->uniqueID, impl_->microphone->name, MediaType::audio};
    }
    const auto* camera = impl_->camera(impl_->defaultCamera);
    if (!camera) return std::nullopt;
    return CaptureDevice{camera->uniqueID, camera->name, MediaType::video};
}

std::optional<CaptureDevice> VirtualDeviceServer::device(const std::string& uniqueID) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (const auto* camera = impl_->camera(uniqueID)) return CaptureDevice{camera->uniqueID, camera->name, MediaType::video};
    if (impl_->microphone && impl_->microphone->uniqueID == uniqueID) {
        return CaptureDevice{impl_->microphone->uniqueID, impl_->microphone->name, MediaType::audio};
    }
    return std::nullopt;
}

AuthorizationStatus VirtualDeviceServer::authorizationStatus(MediaType type) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->authorization[type];
}

void VirtualDeviceServer::requestAccess(MediaType type, std::function<void(bool)> completion) {
    bool granted = false;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        const auto status = impl_->authorization[type];
        if (status == AuthorizationStatus::notDetermined) {
            impl_->pendingAccess[type].push_back(std::move(completion));
            return;
        }
        granted = status == AuthorizationStatus::authorized;
    }
    impl_->answerQueue->async([completion = std::move(completion), granted] { completion(granted); });
}

DeviceInputResult VirtualDeviceServer::makeInput(const CaptureDevice& device) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->inputCreationFailure) return *impl_->inputCreationFailure;
    if (device.mediaType == MediaType::video) {
        const auto* camera = impl_->camera(device.uniqueID);
        if (!camera) return PlatformError{"VirtualDeviceServer", -11814, "device not connected"};
        auto source = std::make_shared<VirtualCameraSource>(*camera);
        impl_->cameraSources.push_back(source);
        ++impl_->inputsCreated;
        return std::make_shared<CaptureDeviceInput>(device, source);
    }
    if (!impl_->microphone || impl_->microphone->uniqueID != device.uniqueID) {
        return PlatformError{"VirtualDeviceServer", -11814, "device not connected"};
    }
    auto source = std::make_shared<VirtualMicrophoneSource>(*impl_->microphone);
    impl_->microphoneSources.push_back(source);
    ++impl_->inputsCreated;
    return std::make_shared<CaptureDeviceInput>(device, source);
}

bool VirtualDeviceServer::canAddInput(const CaptureDeviceInput&) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return !impl_->refusesInputs;
}

bool VirtualDeviceServer::canAddOutput(const CaptureDataOutput& output) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return !impl_->refusesOutputs[output.mediaType()];
}

std::unique_ptr<VoiceProcessingEngine> VirtualDeviceServer::makeVoiceProcessingEngine() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto core = std::make_shared<EngineCore>();
    std::erase_if(impl_->engines, [](const auto& weak) { return weak.expired(); });
    impl_->engines.push_back(core);
    impl_->lastEngine = core;
    return std::make_unique<VirtualEngine>(impl_->voiceProcessing, impl_->microphone.value_or(VirtualMicrophone{}), core);
}

std::shared_ptr<DeviceObservation> VirtualDeviceServer::observeDeviceChanges(std::function<void(const DeviceChange&)> handler,
                                                                             std::shared_ptr<SerialQueue> queue) {
    return impl_->broadcaster.add(std::move(handler), std::move(queue));
}

}  // namespace mivodrell
