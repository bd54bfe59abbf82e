#pragma once
// The system's cameras and microphone: V4L2 video-capture nodes (the first one is the default
// camera) and the PulseAudio server's default source, with an existing echo-cancel source as the
// voice-processing engine. There are no prompts: capture is authorized when the device can be
// opened and denied when the system refuses with EACCES, answered at once. Device notices come
// from an inotify watch on /dev for video nodes and from the server's source events; both run
// only while someone observes. Discovery blocks the caller for the length of the queries.

#include "Platform/Device/DeviceCapture.h"

#include <memory>
#include <string>

namespace mivodrell {

class LinuxDeviceBackend : public DeviceBackend, public std::enable_shared_from_this<LinuxDeviceBackend> {
public:
    static std::shared_ptr<LinuxDeviceBackend> create(std::string deviceDirectory = "/dev");
    ~LinuxDeviceBackend() override;

    std::vector<CaptureDevice> devices(MediaType type) override;
    std::optional<CaptureDevice> defaultDevice(MediaType type) override;
    std::optional<CaptureDevice> device(const std::string& uniqueID) override;
    AuthorizationStatus authorizationStatus(MediaType type) override;
    void requestAccess(MediaType type, std::function<void(bool)> completion) override;
    DeviceInputResult makeInput(const CaptureDevice& device) override;
    std::unique_ptr<VoiceProcessingEngine> makeVoiceProcessingEngine() override;
    std::shared_ptr<DeviceObservation> observeDeviceChanges(std::function<void(const DeviceChange&)> handler,
                                                             std::shared_ptr<SerialQueue> queue) override;

    struct Impl;

private:
    LinuxDeviceBackend() = default;
    std::shared_ptr<Impl> impl_;
};

}  // namespace mivodrell
