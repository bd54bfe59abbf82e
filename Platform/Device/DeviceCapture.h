#pragma once
// The camera and microphone service the camera capture session is written against: device
// discovery (cameras and the default microphone), authorization, device inputs that feed a
// capture graph (CaptureGraph.h), an echo-cancelling microphone engine with a tap of PCM blocks,
// and connect/disconnect notices delivered on a caller-chosen queue (the main queue by default).
//
// A backend answers discovery and authorization synchronously from the calling thread, except
// `requestAccess` for an undecided status, whose answer comes later on a backend thread. Inputs
// and engines are released to stop them; a source that loses its device simply stops
// delivering. Every failure travels as a PlatformError with the system's errno or status.

#include "Platform/Base/PlatformError.h"
#include "Platform/Media/SampleBuffer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace mivodrell {

class SerialQueue;

enum class MediaType { video, audio };

enum class AuthorizationStatus { notDetermined, restricted, denied, authorized };

struct CaptureDevice {
    std::string uniqueID;
    std::string localizedName;
    MediaType mediaType = MediaType::video;

    friend bool operator==(const CaptureDevice&, const CaptureDevice&) = default;
};

struct DeviceChange {
    enum class Kind { connected, disconnected };
    Kind kind = Kind::connected;
    MediaType mediaType = MediaType::video;
    // The device when the backend can tell (a V4L2 notice names the node's path), else empty.
    std::string uniqueID;
};

// The format of PCM blocks handed to an engine tap: 32-bit float samples.
struct PCMFormat {
    double sampleRate = 0;
    std::uint32_t channelCount = 0;
    bool interleaved = false;

    // The linear-PCM stream description of this format ('lpcm', float, packed, 32 bits).
    AudioStreamDescription streamDescription() const;
    // "<rate> Hz, <n> ch, Float32, interleaved|non-interleaved".
    std::string description() const;
};

// One block of PCM: `frameLength` frames in `audioBufferList` (one buffer holding every channel
// when interleaved, else one buffer per channel).
struct PCMBuffer {
    PCMFormat format;
    std::uint32_t frameLength = 0;
    std::vector<AudioBuffer> audioBufferList;
};

// The time of a tapped block: its first frame's position in the engine's sample timeline.
struct AudioTime {
    bool sampleTimeValid = false;
    std::int64_t sampleTime = 0;
};

// What feeds a device input's samples to the graph. `start` begins delivery to `sink` (on the
// source's own thread); `stop` ends it and returns once no further call to `sink` can happen.
class CaptureSource {
public:
    virtual ~CaptureSource() = default;
    virtual std::optional<PlatformError> start(std::function<void(const SampleBufferRef&)> sink) = 0;
    virtual void stop() = 0;
    // False when the device is held elsewhere (by another process, or by an input in another
    // graph), so that a graph cannot take the input.
    virtual bool isAvailable() const { return true; }
    // A graph calls this with true when the input joins it and with false when it leaves (or the
    // graph goes), in pairs.
    virtual void setInGraph(bool inGraph) { (void)inGraph; }
};

// An opened device, ready to be added to a graph.
class CaptureDeviceInput {
public:
    CaptureDeviceInput(CaptureDevice device, std::shared_ptr<CaptureSource> source)
        : device_(std::move(device)), source_(std::move(source)) {}
    const CaptureDevice& device() const { return device_; }
    MediaType mediaType() const { return device_.mediaType; }
    CaptureSource& source() const { return *source_; }

private:
    CaptureDevice device_;
    std::shared_ptr<CaptureSource> source_;
};

using DeviceInputResult = std::variant<std::shared_ptr<CaptureDeviceInput>, PlatformError>;

// The echo-cancelling microphone path: voice processing is switched on, the input format read,
// a tap installed, then the engine is started. Tap blocks arrive on the engine's own thread.
class VoiceProcessingEngine {
public:
    using TapBlock = std::function<void(const PCMBuffer&, const AudioTime&)>;
    virtual ~VoiceProcessingEngine() = default;
    virtual std::optional<PlatformError> setVoiceProcessingEnabled(bool enabled) = 0;
    virtual PCMFormat inputFormat(int bus) const = 0;
    virtual void installTap(int bus, std::uint32_t bufferSize, const PCMFormat& format, TapBlock block) = 0;
    virtual void removeTap(int bus) = 0;
    virtual void prepare() = 0;
    virtual std::optional<PlatformError> start() = 0;
    virtual void stop() = 0;
};

class CaptureDataOutput;

// Keeps a device-change observer registered; releasing it removes the observer.
class DeviceObservation {
public:
    virtual ~DeviceObservation() = default;
};

class DeviceBackend {
public:
    virtual ~DeviceBackend() = default;

    // Devices of a media type, in the backend's order, and the default one.
    virtual std::vector<CaptureDevice> devices(MediaType type) = 0;
    virtual std::optional<CaptureDevice> defaultDevice(MediaType type) = 0;
    virtual std::optional<CaptureDevice> device(const std::string& uniqueID) = 0;

    virtual AuthorizationStatus authorizationStatus(MediaType type) = 0;
    // Asks the user; the answer comes later on a backend thread.
    virtual void requestAccess(MediaType type, std::function<void(bool granted)> completion) = 0;

    // Opens a device for capture.
    virtual DeviceInputResult makeInput(const CaptureDevice& device) = 0;
    // A graph's own refusals beyond the generic ones (an input already added, a busy device).
    virtual bool canAddInput(const CaptureDeviceInput&) { return true; }
    virtual bool canAddOutput(const CaptureDataOutput&) { return true; }

    virtual std::unique_ptr<VoiceProcessingEngine> makeVoiceProcessingEngine() = 0;

    // Every device connected or disconnected, delivered on `queue` while the observation is kept.
    virtual std::shared_ptr<DeviceObservation> observeDeviceChanges(std::function<void(const DeviceChange&)> handler,
                                                                     std::shared_ptr<SerialQueue> queue) = 0;

    // The backend camera sessions use unless given another: the system's cameras (V4L2) and
    // microphone (PulseAudio).
    static std::shared_ptr<DeviceBackend> current();
    static void setCurrent(std::shared_ptr<DeviceBackend> backend);
};

// The queue device notices go to unless an observer names another: one process-wide serial queue.
std::shared_ptr<SerialQueue> mainQueue();

// Fans device changes out to observers, each on its own queue. Backends own one.
class DeviceChangeBroadcaster {
public:
    DeviceChangeBroadcaster();
    std::shared_ptr<DeviceObservation> add(std::function<void(const DeviceChange&)> handler,
                                           std::shared_ptr<SerialQueue> queue);
    // Posts `change` to every observer still registered. Safe from any thread.
    void post(const DeviceChange& change);
    bool hasObservers() const;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace mivodrell
