#pragma once
// The compositor's shader library: one vertex function and six fragment functions, looked up by
// name like a GPU shader library. Every fragment function samples with the sampler at index 0.
//
// "Mivodrell_compositeVertexMain"    vertex records at buffer 0; position (x, y, 0, 1), uv (u, v)
// "Mivodrell_compositeFragmentMain"  luma (R8) at texture 0, chroma (RG8) at 1: full-range BT.709
//                                    4:2:0 to RGB, alpha 1, saturating to 8 bits
// "Mivodrell_copyFragment"           texture 0 sampled, unchanged
// "Mivodrell_motionDiffFragment"     current small frame at 0, previous at 1, previous mask at 2
// "Mivodrell_motionMixFragment"      sharp frame at 0, blurred (small) frame at 1, mask at 2
// "Mivodrell_compositeLumaFragment"  luma (R8) at texture 0: video-range Y to an R8 target
// "Mivodrell_compositeChromaFragment" chroma (RG8) at texture 1: video-range Cb to an R8 target,
//                                    Cr to a second one (the half-size planes of planar 4:2:0)
//
// All arithmetic is fixed point, so a picture is the same whatever the number of workers.

#include "Platform/Compute/ComputeDevice.h"
#include "Platform/Compute/RenderCommands.h"

#include <memory>
#include <string>
#include <vector>

namespace mivodrell {

struct CompositeShaders {
    static constexpr const char* vertexMain = "Mivodrell_compositeVertexMain";
    static constexpr const char* compositeFragment = "Mivodrell_compositeFragmentMain";
    static constexpr const char* copyFragment = "Mivodrell_copyFragment";
    static constexpr const char* motionDiffFragment = "Mivodrell_motionDiffFragment";
    static constexpr const char* motionMixFragment = "Mivodrell_motionMixFragment";
    static constexpr const char* compositeLumaFragment = "Mivodrell_compositeLumaFragment";
    static constexpr const char* compositeChromaFragment = "Mivodrell_compositeChromaFragment";

    // Motion detection: a luminance change of at least this much marks a pixel as moving; the
    // previous mask fades by the hold factor per frame; the mask is amplified before mixing.
    static constexpr double motionThreshold = 0.035;
    static constexpr double motionHoldFactor = 0.82;
    static constexpr double motionMaskGain = 1.25;

    // Every function of the library.
    static std::vector<std::shared_ptr<const ShaderFunction>> functions();

    // Test hook: when false, no function takes its 1:1 fast paths or vector kernels (the general
    // portable code gives the same bytes; tests compare the two).
    static void setFastPathsEnabled(bool enabled);
};

}  // namespace mivodrell
