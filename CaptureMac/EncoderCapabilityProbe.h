#pragma once
// Finds the largest frame edge that can be encoded in HEVC, with a hardware encoder and with any
// encoder, by opening real test sessions.

#include "CaptureMac/EncoderCapabilities.h"
#include "Platform/Codec/CompressionSession.h"

#include <utility>
#include <vector>

namespace mivodrell {

class EncoderCapabilityProbe {
public:
    EncoderCapabilityProbe() = delete;

    using Size = std::pair<int, int>;  // width, height

    static const std::vector<Size>& defaultCandidateSizes();

    // Each edge only grows: a size that fails after a larger one succeeded lowers nothing.
    static EncoderCapabilities probe(const std::vector<Size>& candidateSizes);
    static EncoderCapabilities probe(const std::vector<Size>& candidateSizes, const CompressionSession::Factory& factory);

private:
    static bool canOpen(int width, int height, bool hardwareOnly, const CompressionSession::Factory& factory);
};

}  // namespace mivodrell
