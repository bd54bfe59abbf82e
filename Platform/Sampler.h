#pragma once
// Texture sampling as GPU samplers do it: coordinates are normalised (0...1 across the texture),
// texel k has its centre at (k + 1/2) / size, linear filtering blends the two texels whose
// centres surround the coordinate, and clamp-to-edge addressing repeats the edge texels outward.
//
// Filtering is done in fixed point: a tap is a texel index and a 16-bit weight for the next texel.
// Positions within 1/512 texel of a quarter texel snap to it (see tap()).

#include "Platform/ComputeDevice.h"

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
    explicit SamplerState(SamplerDescriptor descriptor) : descriptor_(descriptor) {}
    const SamplerDescriptor& descriptor() const { return descriptor_; }

    // The tap for normalised coordinate `coordinate` on an axis of `size` texels (size >= 1).
    // Linear filtering is used whenever either filter is linear (the engine never mixes them).
    // A non-finite coordinate gives texel 0.
    SampleTap tap(double coordinate, int size) const;

private:
    SamplerDescriptor descriptor_;
};

// Nothing when the device fails to make one.
std::shared_ptr<SamplerState> makeSamplerState(ComputeDevice& device, const SamplerDescriptor& descriptor);

}  // namespace mivodrell
