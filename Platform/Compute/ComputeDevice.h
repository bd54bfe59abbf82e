#pragma once
// The engine's stand-in for a GPU: a small pool of worker threads, created once, that runs the
// rows of a render pass in parallel. The thread that submits work takes part in it, so a device
// of one worker runs everything on the caller's thread.
//
// Work is split into numbered items; any worker may run any item. Callers that write disjoint
// memory per item therefore get the same result whatever the number of workers. A frame's passes
// come as one job (or a few back to back), so workers sleep as soon as they run out of items
// instead of spinning: the cores belong to the encoder's threads until the next frame.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "Platform/Base/WorkerPool.h"

namespace mivodrell {

class ComputeDevice {
public:
    // Failures a test can provoke in the objects made from this device.
    struct Faults {
        bool failCommandQueue = false;           // makeCommandQueue yields nothing
        bool failCommandBuffer = false;          // makeCommandBuffer yields nothing
        int failEncoderAtIndex = -1;             // the encoder with this index in a command buffer (0-based) fails
        bool failTextureCache = false;           // TextureCache::create yields nothing
        bool failTextureAllocation = false;      // makeTexture yields nothing
        bool failSampler = false;                // makeSamplerState yields nothing
        bool failLibrary = false;                // makeLibrary yields nothing
        std::set<std::string> missingFunctions;  // Library::makeFunction yields nothing for these
        bool failPipelines = false;              // makeRenderPipelineState yields nothing
        // Wrapping a pixel buffer as a texture fails with this status (0: succeeds but yields no texture).
        bool failTextureWrap = false;
        std::int32_t textureWrapStatus = 0;
        // Only wrapping of this plane fails (-1: every plane).
        int failTextureWrapPlane = -1;
    };

    // The shared device: min(hardware threads, 4) workers.
    static std::shared_ptr<ComputeDevice> systemDefault();
    // A device of its own with `workerCount` workers (at least 1, at most 64).
    static std::shared_ptr<ComputeDevice> create(int workerCount);

    ~ComputeDevice();
    ComputeDevice(const ComputeDevice&) = delete;
    ComputeDevice& operator=(const ComputeDevice&) = delete;

    int workerCount() const { return workerCount_; }

    // Runs body(i) for every i in [0, count) across the workers and the calling thread, and returns
    // when all have finished. Several threads may call this at once; each waits for its own items.
    // `body` must not throw.
    void parallelFor(int count, const std::function<void(int)>& body);

    Faults faults() const;
    void setFaults(Faults faults);

private:
    explicit ComputeDevice(int workerCount);

    int workerCount_ = 1;
    std::unique_ptr<WorkerPool> pool_;
    mutable std::mutex faultsMutex_;
    Faults faults_;
};

}  // namespace mivodrell
