#pragma once
// Helpers shared by the frame packet tests.

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "CaptureCore/EncodedFrame.h"
#include "CaptureCore/FramePacket.h"
#include "CaptureCore/SharedBytes.h"

namespace mivodrell::testing {

// Deterministic, position-dependent bytes, so that a misplaced slice shows.
inline std::vector<std::uint8_t> patternBytes(std::size_t size, std::uint32_t seed = 1) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t state = seed * 2654435761u + 12345u;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

inline EncodedFrame makeFrame(std::uint32_t frameID, std::size_t payloadSize, bool isKeyframe = false,
                              std::uint32_t seed = 1) {
    EncodedFrame frame;
    frame.frameID = frameID;
    frame.isKeyframe = isKeyframe;
    frame.presentationTime = 1000.25 + frameID / 60.0;
    frame.payload = patternBytes(payloadSize, seed);
    frame.cropRect = CGRect(16, 32, 1920, 1080);
    return frame;
}

// Reads a frame ID difference the long way: (a - b) mod 2^32 mapped into [-2^31, 2^31).
inline bool referenceIsNewer(std::uint32_t a, std::uint32_t b) {
    std::int64_t difference = (std::int64_t{a} - std::int64_t{b}) & 0xFFFF'FFFFll;
    if (difference >= (std::int64_t{1} << 31)) difference -= std::int64_t{1} << 32;
    return difference > 0;
}

}  // namespace mivodrell::testing
