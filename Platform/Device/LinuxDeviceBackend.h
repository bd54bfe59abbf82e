#pragma once
// The system's cameras and microphone: V4L2 video-capture nodes (V4L2Camera.h; the first one is
// the default camera) and the PulseAudio server's microphone (PulseMicrophone.h: never a monitor
// of an output), with an existing echo-cancel source as the voice-processing engine. There are
// no prompts: capture is authorized when the device can be opened and denied when the system
// refuses with EACCES, answered at once. Device notices come from an inotify watch on the device
// directory for cameras and from the server's source events for microphones; outputs raise
// none. Both watches run only while someone observes. Camera frames and microphone audio are
// stamped on the host clock of `Options::clock`. Discovery blocks the caller for the length of
// the queries.

#include "Platform/Base/Clock.h"
#include "Platform/Device/DeviceCapture.h"
#include "Platform/Device/V4L2/V4L2DeviceFiles.h"

#include <memory>
#include <string>

namespace mivodrell {

class LinuxDeviceBackend : public DeviceBackend, public std::enable_shared_from_this<LinuxDeviceBackend> {
public:
    struct Options {
        std::string deviceDirectory = "/dev";
        std::shared_ptr<V4L2DeviceFiles> files;  // none: the system's
        std::shared_ptr<const Clock> clock;      // none: Clock::system()
    };
    static std::shared_ptr<LinuxDeviceBackend> create(Options options);
    static std::shared_ptr<LinuxDeviceBackend> create() { return create(Options{}); }
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
