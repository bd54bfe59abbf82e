#pragma once
// The HEVC compression session backed by libx265.
//
// Tuning: `zerolatency` (no lookahead, no B-frames, one frame thread: every submitted picture
// comes back as its own access unit before the next is taken; more frame threads would hand back
// an earlier picture), Main profile, 8-bit 4:2:0 in video range with BT.709 primaries, transfer
// and matrix in the VUI. Output NAL units carry 4-byte big-endian lengths; the VPS, SPS and PPS travel only in the
// format description. Keyframes are closed IDRs, forced by the session when the frame count or
// the time since the last keyframe reaches its limit (both can change at any time). 'BGRA' and
// '420f' pictures are converted; 'y420' (planar, video range) goes to x265 as it is.
//
// Without the real-time property the options' preset is used as it is. A real-time session has
// to encode a frame within the interval of the expected frame rate on the machine it runs on:
// it opens with CTU 16 where the level it declares allows it (up to 4.1) and CTU 32 above, 16 x 16
// coding units at the least (8 x 8 where the machine has time to spare for the picture size and
// rate), without the deblocking filter when it starts at one of the two fastest steps, and no
// psycho-visual tuning, uses every core it may run on for x265's worker pool,
// and picks among four effort steps (decision depth, motion search, sub-pixel refinement, merge
// candidates, early skips: all of them settings x265 changes between frames). It starts at a step chosen from the pixel rate per core and then follows the
// measured time of each frame (RealTimeSpeedTuner): the best step that keeps up. The
// speed-over-quality preference holds the fastest step.
//
// The encoder opens at the first frame (or at prepareToEncodeFrames) with the properties set by
// then. A later average bit rate or data-rate limit takes effect at the next frame without a
// keyframe: libx265 3.5 accepts a live change of the average rate, the rate buffer or the
// constant-quality factor and returns 0, but its rate control goes on with the values it was
// opened with (the output is byte for byte the same; a test keeps this checked), so from then on
// the session chooses each frame's quantiser itself (LiveRateController), sharing the rate out
// over the frames as they really come (a stream paced below its expected frame rate still gets
// its whole bit rate). It does the same after
// a live change of the effort settings, which throws x265's average-rate control off, and so a
// real-time session with a bit rate does it from the first frame, with x265 at a constant
// quantiser that each frame overrides (x265's own rate control would only cost time). Only a
// new expected frame rate, or switching between constant quality and a bit rate, reopens the
// encoder at the next frame, which then is a keyframe. The rate limit is kept within the level:
// for such a real-time session the smallest that fits the size and frame rate (x265 refuses a
// fixed level at a constant quantiser and picks that one), for the others a level pinned at the
// first open, so their parameter sets stay the same across reopens.

#include "Platform/Codec/CompressionSession.h"

#include "Platform/Base/Clock.h"

#include <functional>
#include <memory>
#include <string>

struct x265_param;
struct x265_picture;

namespace mivodrell {

struct X265SessionOptions {
    // The preset of a session without the real-time property.
    std::string preset = "superfast";
    // Threads for x265's worker pool; 0 picks the cores this process may run on. The colour
    // conversion uses at most 4 of them.
    int threadCount = 0;
    // Times each frame's conversion and encoding for the real-time tuning.
    std::shared_ptr<const Clock> clock = Clock::system();
    // Called on the session's thread whenever the real-time effort step changes (0 best).
    std::function<void(int step)> onSpeedStep;
    // Called on the session's thread after each live change of x265's settings, with x265's
    // answer (0 taken, 1 an earlier change still waiting for its frame, negative refused).
    std::function<void(int answer)> onReconfigure;
    // For benchmarks and tests: called on the session's thread just before each
    // x265_encoder_encode with the settings x265 encodes that picture with and the picture (its
    // planes, forced quantiser and slice type), so that x265 can be run alone the same way.
    std::function<void(const x265_param& parameters, const x265_picture& picture)> beforeEncode;
};

// The real-time effort steps, best first.
inline constexpr int x265RealTimeStepCount = 4;

// The cores this process may run on (its affinity mask, which a cpuset also narrows), at least 1.
int availableCoreCount();

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
