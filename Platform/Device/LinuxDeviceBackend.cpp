#include "Platform/Device/LinuxDeviceBackend.h"

#include "Platform/Base/SerialQueue.h"
#include "Platform/Device/Pulse/PulseMicrophone.h"
#include "Platform/Device/V4L2/V4L2Camera.h"

#include <cerrno>
#include <mutex>

namespace mivodrell {

struct LinuxDeviceBackend::Impl {
    explicit Impl(const Options& options)
        : clock(options.clock ? options.clock : Clock::system()), cameras(options.deviceDirectory, options.files, clock) {}
    std::shared_ptr<const Clock> clock;
    V4L2Camera cameras;
    DeviceChangeBroadcaster broadcaster;
    std::mutex mutex;  // guards the watchers
    std::unique_ptr<V4L2NodeWatcher> nodeWatcher;
    std::unique_ptr<PulseSourceWatcher> sourceWatcher;
    std::shared_ptr<SerialQueue> answerQueue = std::make_shared<SerialQueue>("Mivodrell.LinuxDeviceBackend");
};

std::shared_ptr<LinuxDeviceBackend> LinuxDeviceBackend::create(Options options) {
    std::shared_ptr<LinuxDeviceBackend> backend(new LinuxDeviceBackend());
    backend->impl_ = std::make_shared<Impl>(options);
    return backend;
}

LinuxDeviceBackend::~LinuxDeviceBackend() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->nodeWatcher.reset();
    impl_->sourceWatcher.reset();
}

std::vector<CaptureDevice> LinuxDeviceBackend::devices(MediaType type) {
    std::vector<CaptureDevice> list;
    if (type == MediaType::video) {
        for (const auto& node : impl_->cameras.discover()) list.push_back(node.device);
    } else if (auto microphone = PulseMicrophone::defaultMicrophone()) {
        list.push_back(*microphone);
    }
    return list;
}

std::optional<CaptureDevice> LinuxDeviceBackend::defaultDevice(MediaType type) {
    if (type == MediaType::audio) return PulseMicrophone::defaultMicrophone();
    const auto nodes = impl_->cameras.discover();
    if (nodes.empty()) return std::nullopt;
    return nodes.front().device;
}

std::optional<CaptureDevice> LinuxDeviceBackend::device(const std::string& uniqueID) {
    for (const auto& node : impl_->cameras.discover()) {
        if (node.device.uniqueID == uniqueID) return node.device;
    }
    if (auto microphone = PulseMicrophone::defaultMicrophone(); microphone && microphone->uniqueID == uniqueID) {
        return microphone;
    }
    return std::nullopt;
}

AuthorizationStatus LinuxDeviceBackend::authorizationStatus(MediaType type) {
    return type == MediaType::video ? impl_->cameras.authorization() : PulseMicrophone::authorization();
}

void LinuxDeviceBackend::requestAccess(MediaType type, std::function<void(bool)> completion) {
    const bool granted = authorizationStatus(type) == AuthorizationStatus::authorized;
    impl_->answerQueue->async([completion = std::move(completion), granted] { completion(granted); });
}

DeviceInputResult LinuxDeviceBackend::makeInput(const CaptureDevice& device) {
    if (device.mediaType == MediaType::audio) return PulseMicrophone::open(device, impl_->clock);
    for (const auto& node : impl_->cameras.discover()) {
        if (node.device.uniqueID == device.uniqueID) return impl_->cameras.open(node);
    }
    return PlatformError{"V4L2", ENODEV, "camera " + device.uniqueID + " is not connected"};
}

std::unique_ptr<VoiceProcessingEngine> LinuxDeviceBackend::makeVoiceProcessingEngine() {
    return PulseMicrophone::makeEchoCancelEngine(impl_->clock);
}

std::shared_ptr<DeviceObservation> LinuxDeviceBackend::observeDeviceChanges(std::function<void(const DeviceChange&)> handler,
                                                                            std::shared_ptr<SerialQueue> queue) {
    auto observation = impl_->broadcaster.add(std::move(handler), std::move(queue));
    // The watchers post through the broadcaster, which outlives them (both belong to `impl_`).
    // Starting one connects to a server or opens a directory, so it happens outside the lock; of
    // two callers that race, the first to install its watcher keeps it.
    auto* broadcaster = &impl_->broadcaster;
    bool needNodes = false, needSources = false;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        needNodes = !impl_->nodeWatcher;
        needSources = !impl_->sourceWatcher;
    }
    auto nodes = needNodes ? impl_->cameras.watch([broadcaster](DeviceChange::Kind kind, const std::string& path) {
        broadcaster->post({kind, MediaType::video, path});
    })
                           : nullptr;
    auto sources = needSources ? PulseSourceWatcher::start([broadcaster](DeviceChange::Kind kind) {
        broadcaster->post({kind, MediaType::audio, ""});
    })
                               : nullptr;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->nodeWatcher) impl_->nodeWatcher = std::move(nodes);
    if (!impl_->sourceWatcher) impl_->sourceWatcher = std::move(sources);
    return observation;
}

}  // namespace mivodrell
