#include "CaptureMac/EncoderCapabilityProbe.h"

#include <algorithm>

namespace mivodrell {

const std::vector<EncoderCapabilityProbe::Size>& EncoderCapabilityProbe::defaultCandidateSizes() {
    static const std::vector<Size> sizes = {
        {1920, 1080}, {2560, 1440}, {3072, 1920}, {3840, 2160}, {4096, 4096},
        {5120, 2880}, {6016, 3384}, {7680, 4320}, {8192, 8192},
    };
    return sizes;
}

EncoderCapabilities EncoderCapabilityProbe::probe(const std::vector<Size>& candidateSizes) {
    return probe(candidateSizes, CompressionSession::defaultFactory());
}

EncoderCapabilities EncoderCapabilityProbe::probe(const std::vector<Size>& candidateSizes,
                                                  const CompressionSession::Factory& factory) {
    EncoderCapabilities capabilities;
    for (const auto& [width, height] : candidateSizes) {
        const int edge = std::max(width, height);
        if (canOpen(width, height, true, factory)) capabilities.maxHardwareEdge = std::max(capabilities.maxHardwareEdge, edge);
        if (canOpen(width, height, false, factory)) capabilities.maxAnyEdge = std::max(capabilities.maxAnyEdge, edge);
    }
    return capabilities;
}

bool EncoderCapabilityProbe::canOpen(int width, int height, bool hardwareOnly, const CompressionSession::Factory& factory) {
    CompressionSession::Parameters parameters;
    parameters.width = width;
    parameters.height = height;
    parameters.codecType = CodecType::hevc;
    if (hardwareOnly) {
        parameters.specification.enableHardwareAcceleratedVideoEncoder = true;
        parameters.specification.requireHardwareAcceleratedVideoEncoder = true;
    }
    const CompressionSession::CreateResult created = factory ? factory(parameters) : CompressionSession::create(parameters);
    if (created.status != CompressionStatus::ok || !created.session) return false;
    (void)created.session->setProperty(CompressionPropertyKey::realTime, true);
    const std::int32_t prepared = created.session->prepareToEncodeFrames();
    created.session->invalidate();
    return prepared == CompressionStatus::ok;
}

}  // namespace mivodrell
