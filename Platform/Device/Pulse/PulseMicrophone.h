#pragma once
// The microphone on a PulseAudio server.
//
// A monitor (what an output plays) is never a microphone, nor an echo-cancel source recording
// one: the microphone is the default source when it is one, else the first source that is, else
// there is none. The plain path records it as 32-bit float interleaved at the source's own rate
// and channel count, in blocks of 1024 frames. The echo-cancelling path is an echo-cancel source
// that already exists on the server (module-echo-cancel, or a PipeWire echo-cancel node; never
// loaded from here): the microphone itself when it is one, else the one wrapping the microphone,
// else the first; its engine taps non-interleaved 1024-frame blocks. Both stamp a block with
// the host time of its first frame, in samples of the block's rate: the clock's time at the
// first read less that block and the recording latency, then counted on by frames. A server
// that cannot be reached gives no microphone; one that goes away mid-recording ends delivery
// quietly. Recording runs on a thread of its own per input or engine; stopping returns at once
// (also while a suspended source delivers nothing), and nothing is delivered after it. Queries
// block the caller briefly. The source watcher reports sources other than monitors.

#include "Platform/Base/Clock.h"
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
    std::string masterDevice;  // the source a filter (an echo canceller) records, if any

    bool isEchoCancel() const;
};

struct PulseServerSnapshot {
    std::optional<PlatformError> error;  // set when the server could not be queried
    std::string defaultSource;
    std::vector<PulseSourceInfo> sources;

    const PulseSourceInfo* source(const std::string& name) const;
    bool isMicrophone(const PulseSourceInfo& source) const;
    const PulseSourceInfo* microphone() const;
    const PulseSourceInfo* echoCancelSource() const;
};

class PulseMicrophone {
public:
    static constexpr std::uint32_t framesPerBuffer = 1024;

    // One query of the default server: its default source and every source.
    static PulseServerSnapshot query();
    static std::optional<CaptureDevice> defaultMicrophone();
    // `clock` (none: Clock::system()) stamps the blocks.
    static DeviceInputResult open(const CaptureDevice& device, std::shared_ptr<const Clock> clock);
    static std::unique_ptr<VoiceProcessingEngine> makeEchoCancelEngine(std::shared_ptr<const Clock> clock);
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
