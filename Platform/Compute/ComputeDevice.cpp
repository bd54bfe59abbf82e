#include "Platform/Compute/ComputeDevice.h"

#include <algorithm>
#include <chrono>

namespace mivodrell {

std::shared_ptr<ComputeDevice> ComputeDevice::systemDefault() {
    static std::shared_ptr<ComputeDevice> device = create(WorkerPool::defaultThreadCount(4));
    return device;
}

std::shared_ptr<ComputeDevice> ComputeDevice::create(int workerCount) {
    return std::shared_ptr<ComputeDevice>(new ComputeDevice(std::clamp(workerCount, 1, 64)));
}

ComputeDevice::ComputeDevice(int workerCount)
    : workerCount_(workerCount), pool_(std::make_unique<WorkerPool>(workerCount, std::chrono::microseconds{0})) {}

ComputeDevice::~ComputeDevice() = default;

void ComputeDevice::parallelFor(int count, const std::function<void(int)>& body) { pool_->run(count, body); }

ComputeDevice::Faults ComputeDevice::faults() const {
    std::lock_guard<std::mutex> lock(faultsMutex_);
    return faults_;
}

void ComputeDevice::setFaults(Faults faults) {
    std::lock_guard<std::mutex> lock(faultsMutex_);
    faults_ = std::move(faults);
}

}  // namespace mivodrell
