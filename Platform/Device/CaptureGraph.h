#pragma once
// A capture graph: device inputs and data outputs joined by media type, changed in configuration
// transactions and started or stopped as a whole.
//
// Changes made between `beginConfiguration` and the matching `commitConfiguration` take effect
// at the commit; outside a transaction each change takes effect at once. While the graph runs,
// an input delivers exactly while an output of its media type is in the graph. Adding an input
// or output twice, one the backend refuses, or an input whose source is unavailable (its device
// held elsewhere) is refused by `canAdd…`; `add…` of a refused one is ignored. A source is told
// when its input joins the graph and when it leaves it. Every operation may be called from any
// thread: the graph's state lives on a private serial queue. `onRunningChanged` is called on the
// thread that started or stopped the graph.
//
// A data output hands each sample to its delegate on the delegate's queue. A video output that
// discards late frames keeps at most one frame waiting for the queue: a newer frame replaces it.

#include "Platform/Base/FourCC.h"
#include "Platform/Device/DeviceCapture.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace mivodrell {

class SerialQueue;

// The audio settings of an audio data output (linear PCM only).
struct AudioOutputSettings {
    std::uint32_t formatID = fourCC("lpcm");
    std::uint32_t bitDepth = 32;
    bool isFloat = true;
    bool isNonInterleaved = false;
    bool isBigEndian = false;
};

class CaptureDataOutput : public std::enable_shared_from_this<CaptureDataOutput> {
public:
    using Delegate = std::function<void(const CaptureDataOutput* output, const SampleBufferRef& sample)>;

    explicit CaptureDataOutput(MediaType type) : mediaType_(type) {}
    MediaType mediaType() const { return mediaType_; }

    // Settings; read by sources when the graph starts them.
    bool alwaysDiscardsLateVideoFrames = false;
    std::uint32_t videoPixelFormat = PixelFormat::bgra;
    AudioOutputSettings audioSettings;

    void setSampleBufferDelegate(Delegate delegate, std::shared_ptr<SerialQueue> queue);

    // Called by sources on their own thread: queues `sample` for the delegate.
    void deliver(const SampleBufferRef& sample);

    // Frames replaced before the delegate saw them.
    std::uint64_t droppedLateFrames() const;

private:
    MediaType mediaType_;
    mutable std::mutex mutex_;  // guards the delegate, its queue and the late-frame slot
    Delegate delegate_;
    std::shared_ptr<SerialQueue> queue_;
    SampleBufferRef pendingFrame_;
    std::uint64_t droppedLateFrames_ = 0;
};

class CaptureGraph : public std::enable_shared_from_this<CaptureGraph> {
public:
    static std::shared_ptr<CaptureGraph> create(std::shared_ptr<DeviceBackend> backend);
    ~CaptureGraph();

    void beginConfiguration();
    void commitConfiguration();

    bool canAddInput(const std::shared_ptr<CaptureDeviceInput>& input);
    void addInput(const std::shared_ptr<CaptureDeviceInput>& input);
    void removeInput(const std::shared_ptr<CaptureDeviceInput>& input);
    bool canAddOutput(const std::shared_ptr<CaptureDataOutput>& output);
    void addOutput(const std::shared_ptr<CaptureDataOutput>& output);
    void removeOutput(const std::shared_ptr<CaptureDataOutput>& output);

    std::vector<std::shared_ptr<CaptureDeviceInput>> inputs();
    std::vector<std::shared_ptr<CaptureDataOutput>> outputs();
    bool containsOutput(const std::shared_ptr<CaptureDataOutput>& output);

    void startRunning();
    void stopRunning();
    bool isRunning();
    // Open transactions (for tests: zero after every balanced use).
    int configurationDepth();
    std::function<void(bool running)> onRunningChanged;

    struct State;

private:
    explicit CaptureGraph(std::shared_ptr<DeviceBackend> backend);
    std::shared_ptr<DeviceBackend> backend_;
    std::shared_ptr<SerialQueue> queue_;
    std::shared_ptr<State> state_;
};

}  // namespace mivodrell
