#pragma once
// The HEVC compression session backed by libx265.
//
// Tuning: the `superfast` preset with `zerolatency` (no lookahead, no B-frames, one frame thread:
// every submitted picture comes back as its own access unit before the next is taken), Main
// profile, 8-bit 4:2:0 in video range with BT.709 primaries, transfer and matrix in the VUI.
// Output NAL units carry 4-byte big-endian lengths; the VPS, SPS and PPS travel only in the
// format description. Keyframes are closed IDRs, forced by the session when the frame count or
// the time since the last keyframe reaches its limit (both can change at any time).
//
// The encoder opens at the first frame (or at prepareToEncodeFrames) with the properties set by
// then. Rate properties set later (average bit rate, data-rate limit, expected frame rate) take
// effect by reopening the encoder at the next frame, which then is a keyframe: x265's own live
// rate reconfiguration accepts the change and returns 0 but does not change the output rate
// (checked with libx265 3.5). The level is pinned at the first open, and the rate limit is kept
// within it, so the parameter sets stay the same across reopens.

#include "Platform/Codec/CompressionSession.h"

#include <string>

namespace mivodrell {

struct X265SessionOptions {
    std::string preset = "superfast";
    // Threads for x265's worker pool and for the colour conversion; 0 picks min(cores, 4).
    int threadCount = 0;
};

CompressionSession::CreateResult createX265CompressionSession(const CompressionSession::Parameters& parameters,
                                                              const X265SessionOptions& options = {});

// HEVC levels as x265 numbers them (level x 10: 41 = level 4.1).
namespace HEVCLevel {
// The smallest Main-tier level whose picture size, picture dimensions and luma sample rate hold
// a picture of width x height at `frameRate`; 0 when none does.
int smallestFitting(int width, int height, double frameRate);
// Largest Main-tier bit rate of a level in kbit/s (0 for an unknown level).
int maxMainTierBitrateKbps(int level);
}  // namespace HEVCLevel

}  // namespace mivodrell
