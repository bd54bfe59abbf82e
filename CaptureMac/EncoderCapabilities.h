#pragma once
// The largest frame edges this machine can encode in HEVC, as found by EncoderCapabilityProbe.

namespace mivodrell {

struct EncoderCapabilities {
    int maxHardwareEdge = 0;  // longest edge a hardware-only session could be opened for
    int maxAnyEdge = 0;       // longest edge any encoder could open a session for

    // The hardware edge (or `fallback` when that is larger) when a hardware encoder exists;
    // otherwise `fallback`.
    double recommendedMaxOutputDimension(double fallback) const {
        if (maxHardwareEdge <= 0) return fallback;
        const double edge = static_cast<double>(maxHardwareEdge);
        return fallback > edge ? fallback : edge;
    }

    friend bool operator==(const EncoderCapabilities&, const EncoderCapabilities&) = default;
};

}  // namespace mivodrell
