#pragma once
// Scripted cameras and a scripted microphone behind the device-capture interface, clocked by
// hand so that tests are deterministic: cameras deliver BGRA frames of a known pattern at their
// frame rate, the microphone a sine tone in 32-bit float interleaved blocks, the echo-cancelling
// engine non-interleaved blocks of its tap's size (a tap on a bus other than 0, the input, gets
// nothing). Every outcome the session reacts to can be scripted: input creation failures,
// refused inputs and outputs, each way the voice-processing engine can fail, authorization
// states (an undecided one answered later on another thread) and device connect/disconnect
// notices. Scene calls are safe from any thread.

#include "Platform/Device/DeviceCapture.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace mivodrell {

class PixelBuffer;

struct VirtualCamera {
    std::string uniqueID;
    std::string name;
    int width = 64;
    int height = 48;
    double frameRate = 30;
};

struct VirtualMicrophone {
    std::string uniqueID = "virtual-microphone";
    std::string name = "Virtual Microphone";
    double sampleRate = 48000;
    std::uint32_t channelCount = 1;
    double toneFrequency = 1000;
};

// How the next voice-processing engine behaves.
struct VoiceProcessingScript {
    enum class Outcome { success, enableFails, startFails };
    Outcome outcome = Outcome::success;
    PCMFormat format{48000, 1, false};  // the input format, usable or not
    PlatformError error{"VirtualDeviceServer", -10868, "voice processing unavailable"};
};

class VirtualDeviceServer : public DeviceBackend, public std::enable_shared_from_this<VirtualDeviceServer> {
public:
    static constexpr std::uint32_t framesPerAudioBuffer = 1024;

    static std::shared_ptr<VirtualDeviceServer> create();
    ~VirtualDeviceServer() override;

    // Devices. Adding or removing one posts a connect or disconnect notice.
    void addCamera(const VirtualCamera& camera);
    void removeCamera(const std::string& uniqueID);
    // The default camera; none when the identifier is empty or names no camera.
    void setDefaultCamera(const std::string& uniqueID);
    void setMicrophone(const VirtualMicrophone& microphone);
    void removeMicrophone();

    // Faults and refusals.
    void setInputCreationFailure(std::optional<PlatformError> error);
    void setRefusesInputs(bool refuses);
    void setRefusesOutputs(MediaType type, bool refuses);
    void setVoiceProcessing(const VoiceProcessingScript& script);

    // Authorization: a notDetermined status keeps `requestAccess` completions waiting until
    // `answerAccessRequests`, which answers them on the server's own thread.
    void setAuthorization(MediaType type, AuthorizationStatus status);
    void answerAccessRequests(MediaType type, bool granted);
    int pendingAccessRequests(MediaType type);

    // Moves time by `seconds`: each running camera delivers the frames that fall due, the
    // microphone every whole 1024-frame block, the running engine every whole tap block.
    void tick(double seconds);
    // Hands `buffer` to the running engine's tap as if it had been captured (on this thread).
    // False when no engine is running with a tap.
    bool injectTapBuffer(const PCMBuffer& buffer, const AudioTime& time);

    // Introspection.
    int runningCameraSources();
    int runningMicrophoneSources();
    bool engineRunning();
    // The bus and buffer size of the tap installed on the engine made last, if one is installed
    // (the engine may already be released).
    std::optional<std::pair<int, std::uint32_t>> lastEngineTap();
    std::uint64_t inputsCreated();

    // The frame pattern: pixel (x, y) of frame n is B = (x + n) mod 256, G = y mod 256,
    // R = n mod 256, A = 255.
    static void fillPattern(PixelBuffer& bgra, std::uint64_t frameIndex);

    // DeviceBackend.
    std::vector<CaptureDevice> devices(MediaType type) override;
    std::optional<CaptureDevice> defaultDevice(MediaType type) override;
    std::optional<CaptureDevice> device(const std::string& uniqueID) override;
    AuthorizationStatus authorizationStatus(MediaType type) override;
    void requestAccess(MediaType type, std::function<void(bool)> completion) override;
    DeviceInputResult makeInput(const CaptureDevice& device) override;
    bool canAddInput(const CaptureDeviceInput& input) override;
    bool canAddOutput(const CaptureDataOutput& output) override;
    std::unique_ptr<VoiceProcessingEngine> makeVoiceProcessingEngine() override;
    std::shared_ptr<DeviceObservation> observeDeviceChanges(std::function<void(const DeviceChange&)> handler,
                                                             std::shared_ptr<SerialQueue> queue) override;

    struct Impl;

private:
    VirtualDeviceServer() = default;
    std::shared_ptr<Impl> impl_;
};

}  // namespace mivodrell
