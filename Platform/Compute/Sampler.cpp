#include "Platform/Compute/Sampler.h"

namespace mivodrell {

std::shared_ptr<SamplerState> makeSamplerState(ComputeDevice& device, const SamplerDescriptor& descriptor) {
    if (device.faults().failSampler) return nullptr;
    return std::make_shared<SamplerState>(descriptor);
}

}  // namespace mivodrell
