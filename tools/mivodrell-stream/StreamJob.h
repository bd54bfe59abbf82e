#pragma once
// The engine's main job, end to end, with this program in the owner's seat: it builds the
// composite capture coordinator, drives it with capture plans, crop rectangles and output sizes
// from the planners and settings from the encoder policy as a controller's viewport moves, cuts
// every encoded frame into frame packets, carries them over a lossy in-process link to a
// controller-side receiver whose keyframe requests go back to the coordinator, and records what
// the controller would play.
//
// Everything that crosses from the coordinator happens on the coordinator's queue (the frame
// from composite to receiver and recorder, the audio packets, the formats); the calling thread
// only moves the viewport, re-plans and prints the status. `run` returns the process exit code
// and prints one clear message for every failure; it never throws.

#include "StreamOptions.h"

#include <cstdio>

namespace mivodrell::stream {

// Exit codes: 0 done, 1 the environment failed (no X server, unwritable output, encoder or
// compositor missing), 2 bad options, 3 the controller received no picture to record.
int runStreamJob(const StreamOptions& options, std::FILE* status, bool statusIsTerminal);

}  // namespace mivodrell::stream
