#include "Platform/Device/LinuxDeviceBackend.h"

#include "Platform/Base/SerialQueue.h"
#include "Platform/Device/Pulse/PulseMicrophone.h"
#include "Platform/Device/V4L2/V4L2Camera.h"

#include <cerrno>
#include <mutex>

namespace mivodrell {

struct LinuxDeviceBackend::Impl {
    std::string deviceDirectory;
    DeviceChangeBroadcaster broadcaster;
    std::mutex mutex;  // guards the watchers
    std::unique_ptr<V4L2NodeWatcher> nodeWatcher;
    std::unique_ptr<PulseSourceWatcher> sourceWatcher;
    std::shared_ptr<SerialQueue> answerQueue = std::make_shared<SerialQueue>("Mivodrell.LinuxDeviceBackend");
};

std::shared_ptr<LinuxDeviceBackend> LinuxDeviceBackend::create(std::string deviceDirectory) {
    std::shared_ptr<LinuxDeviceBackend> backend(new LinuxDeviceBackend());
    backend->impl_ = std::make_shared<Impl>();
    backend->impl_->deviceDirectory = std::move(deviceDirectory);
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
        for (const auto& node : V4L2Camera::discover(impl_->deviceDirectory)) list.push_back(node.device);
    } else if (auto microphone = PulseMicrophone::defaultMicrophone()) {
        list.push_back(*microphone);
    }
    return list;
}

std::optional<CaptureDevice> LinuxDeviceBackend::defaultDevice(MediaType type) {
    if (type == MediaType::audio) return PulseMicrophone::defaultMicrophone();
    const auto nodes = V4L2Camera::discover(impl_->deviceDirectory);
    if (nodes.empty()) return std::nullopt;
    return nodes.front().device;
}

std::optional<CaptureDevice> LinuxDeviceBackend::device(const std::string& uniqueID) {
    for (const auto& node : V4L2Camera::discover(impl_->deviceDirectory)) {
        if (node.device.uniqueID == uniqueID) return node.device;
    }
    if (auto microphone = PulseMicrophone::defaultMicrophone(); microphone && microphone->uniqueID == uniqueID) {
        return microphone;
    }
    return std::nullopt;
}

AuthorizationStatus LinuxDeviceBackend::authorizationStatus(MediaType type) {
    return type == MediaType::video ? V4L2Camera::authorization(impl_->deviceDirectory) : PulseMicrophone::authorization();
}

void LinuxDeviceBackend::requestAccess(MediaType type, std::function<void(bool)> completion) {
    const bool granted = authorizationStatus(type) == AuthorizationStatus::authorized;
    impl_->answerQueue->async([completion = std::move(completion), granted] { completion(granted); });
}

DeviceInputResult LinuxDeviceBackend::makeInput(const CaptureDevice& device) {
    if (device.mediaType == MediaType::audio) return PulseMicrophone::open(device);
    for (const auto& node : V4L2Camera::discover(impl_->deviceDirectory)) {
        if (node.device.uniqueID == device.uniqueID) return V4L2Camera::open(node);
    }
    return PlatformError{"V4L2", ENODEV, "camera " + device.uniqueID + " is not connected"};
}

std::unique_ptr<VoiceProcessingEngine> LinuxDeviceBackend::makeVoiceProcessingEngine() {
    return PulseMicrophone::makeEchoCancelEngine();
}

std::shared_ptr<DeviceObservation> LinuxDeviceBackend::observeDeviceChanges(std::function<void(const DeviceChange&)> handler,
                                                                            std::shared_ptr<SerialQueue> queue) {
    auto observation = impl_->broadcaster.add(std::move(handler), std::move(queue));
    std::lock_guard<std::mutex> lock(impl_->mutex);
    // The watchers post through the broadcaster, which outlives them (both belong to `impl_`).
    auto* broadcaster = &impl_->broadcaster;
    if (!impl_->nodeWatcher) {
        impl_->nodeWatcher = V4L2NodeWatcher::start(impl_->deviceDirectory, [broadcaster](DeviceChange::Kind kind, const std::string& path) {
            broadcaster->post({kind, MediaType::video, path});
        });
    }
    if (!impl_->sourceWatcher) {
        impl_->sourceWatcher = PulseSourceWatcher::start([broadcaster](DeviceChange::Kind kind) {
            broadcaster->post({kind, MediaType::audio, ""});
        });
    }
    return observation;
}

}  // namespace mivodrell
