#pragma once
// The microphone on a PulseAudio server.
//
// The plain path records the server's default source as 32-bit float interleaved at the
// source's own rate and channel count, in blocks of 1024 frames stamped with their position in
// the recording. The echo-cancelling path is an echo-cancel source that already exists on the
// server (module-echo-cancel, or a PipeWire echo-cancel node); it is never loaded from here. Its
// engine taps non-interleaved 1024-frame blocks with a sample time. A server that cannot be
// reached gives no microphone; one that goes away mid-recording ends delivery quietly.
// Recording runs on a thread of its own per input or engine; queries block the caller briefly.

#include "Platform/Device/DeviceCapture.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mivodrell {

struct PulseSourceInfo {
    std::string name;
    std::string description;
    std::string driver;
    double sampleRate = 0;
    std::uint32_t channelCount = 0;
    bool isMonitor = false;

    bool isEchoCancel() const;
};

struct PulseServerSnapshot {
    std::optional<PlatformError> error;  // set when the server could not be queried
    std::string defaultSource;
    std::vector<PulseSourceInfo> sources;

    const PulseSourceInfo* source(const std::string& name) const;
    const PulseSourceInfo* echoCancelSource() const;
};

class PulseMicrophone {
public:
    static constexpr std::uint32_t framesPerBuffer = 1024;

    // One query of the default server: its default source and every source.
    static PulseServerSnapshot query();
    static std::optional<CaptureDevice> defaultMicrophone();
    static DeviceInputResult open(const CaptureDevice& device);
    static std::unique_ptr<VoiceProcessingEngine> makeEchoCancelEngine();
    // Denied when the server refuses us access; authorized otherwise.
    static AuthorizationStatus authorization();
};

// Reports sources being added to or removed from the server, on its own thread, until released.
class PulseSourceWatcher {
public:
    static std::unique_ptr<PulseSourceWatcher> start(std::function<void(DeviceChange::Kind)> onChange);
    virtual ~PulseSourceWatcher() = default;
};

}  // namespace mivodrell
