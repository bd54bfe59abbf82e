#include "Platform/Sampler.h"

#include "Platform/Narrowing.h"

#include <algorithm>
#include <cmath>

namespace mivodrell {

SampleTap SamplerState::tap(double coordinate, int size) const {
    if (size <= 1 || !std::isfinite(coordinate)) return {0, 0};
    const double extent = static_cast<double>(size);
    const bool linear = descriptor_.minFilter == SamplerMinMagFilter::linear ||
                        descriptor_.magFilter == SamplerMinMagFilter::linear;
    if (!linear) {
        // The texel whose area holds the coordinate.
        const double s = std::clamp(coordinate * extent, 0.0, extent - 1.0);
        return {truncateClamped<std::int32_t>(std::floor(s), 0), 0};
    }
    // Texel centres sit at integers of s. Beyond the outer centres clamp-to-edge gives the edge
    // texel, so s is clamped there first, which also keeps the integer conversion in range.
    const double s = std::clamp(coordinate * extent - 0.5, 0.0, extent - 1.0);
    const double base = std::floor(s);
    std::int32_t index = truncateClamped<std::int32_t>(base, 0);
    std::uint32_t weight = roundClamped<std::uint32_t>((s - base) * static_cast<double>(kSampleWeightOne), 0);
    // Float32 texture coordinates cannot name an exact texel position in a large texture; a
    // position within 1/512 texel of a quarter texel is taken as that quarter, so that exact 1:1
    // and 2:1 mappings sample exactly.
    const std::uint32_t quarter = kSampleWeightOne / 4;
    const std::uint32_t nearestQuarter = (weight + quarter / 2) / quarter * quarter;
    const std::uint32_t distance = weight > nearestQuarter ? weight - nearestQuarter : nearestQuarter - weight;
    if (distance <= kSampleWeightOne / 512) weight = nearestQuarter;
    if (weight >= kSampleWeightOne) {
        ++index;
        weight = 0;
    }
    if (index >= size - 1) return {size - 1, 0};
    return {index, weight};
}

std::shared_ptr<SamplerState> makeSamplerState(ComputeDevice& device, const SamplerDescriptor& descriptor) {
    if (device.faults().failSampler) return nullptr;
    return std::make_shared<SamplerState>(descriptor);
}

}  // namespace mivodrell
