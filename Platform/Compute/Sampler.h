#pragma once
// Texture sampling as GPU samplers do it: coordinates are normalised (0...1 across the texture),
// texel k has its centre at (k + 1/2) / size, linear filtering blends the two texels whose
// centres surround the coordinate, and clamp-to-edge addressing repeats the edge texels outward.
//
// Filtering is done in fixed point: a tap is a texel index and a 16-bit weight for the next texel.
// Positions within 1/512 texel of a quarter texel snap to it (see tap()).

#include "Platform/Compute/ComputeDevice.h"
#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <cmath>

#include <cstdint>
#include <memory>
#include <vector>

namespace mivodrell {

enum class SamplerMinMagFilter { nearest, linear };
enum class SamplerAddressMode { clampToEdge };

struct SamplerDescriptor {
    SamplerMinMagFilter minFilter = SamplerMinMagFilter::nearest;
    SamplerMinMagFilter magFilter = SamplerMinMagFilter::nearest;
    SamplerAddressMode sAddressMode = SamplerAddressMode::clampToEdge;
    SamplerAddressMode tAddressMode = SamplerAddressMode::clampToEdge;
};

// One axis of a filtered lookup: value = t[index] * (1 - w) + t[index + 1] * w, with
// w = weight / 65536. A weight above 0 guarantees index + 1 < size.
struct SampleTap {
    std::int32_t index = 0;
    std::uint32_t weight = 0;

    friend bool operator==(const SampleTap&, const SampleTap&) = default;
};

inline constexpr int kSampleWeightBits = 16;
inline constexpr std::uint32_t kSampleWeightOne = 1u << kSampleWeightBits;

class SamplerState {
public:
    explicit SamplerState(SamplerDescriptor descriptor)
        : descriptor_(descriptor),
          linear_(descriptor.minFilter == SamplerMinMagFilter::linear ||
                  descriptor.magFilter == SamplerMinMagFilter::linear) {}
    const SamplerDescriptor& descriptor() const { return descriptor_; }

    // The tap for normalised coordinate `coordinate` on an axis of `size` texels (size >= 1).
    // Linear filtering is used whenever either filter is linear (the engine never mixes them).
    // A non-finite coordinate gives texel 0.
    SampleTap tap(double coordinate, int size) const {
        if (size <= 1 || !std::isfinite(coordinate)) return {0, 0};
        const double extent = static_cast<double>(size);
        if (!linear_) {
            // The texel whose area holds the coordinate (s >= 0: truncation is the floor).
            return {truncateClamped<std::int32_t>(std::clamp(coordinate * extent, 0.0, extent - 1.0), 0), 0};
        }
        // Texel centres sit at integers of s. Beyond the outer centres clamp-to-edge gives the edge
        // texel, so s is clamped there first, which also keeps the integer conversion in range.
        const double s = std::clamp(coordinate * extent - 0.5, 0.0, extent - 1.0);
        std::int32_t index = truncateClamped<std::int32_t>(s, 0);
        const double fraction = s - static_cast<double>(index);
        std::uint32_t weight =
            truncateClamped<std::uint32_t>(fraction * static_cast<double>(kSampleWeightOne) + 0.5, 0);
        // Float32 texture coordinates cannot name an exact texel position in a large texture; a
        // position within 1/512 texel of a quarter texel is taken as that quarter, so that exact 1:1
        // and 2:1 mappings sample exactly.
        constexpr std::uint32_t quarter = kSampleWeightOne / 4;
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

private:
    SamplerDescriptor descriptor_;
    bool linear_ = false;
};

// Nothing when the device fails to make one.
std::shared_ptr<SamplerState> makeSamplerState(ComputeDevice& device, const SamplerDescriptor& descriptor);

}  // namespace mivodrell
