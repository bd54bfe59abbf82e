#pragma once
// The engine's main job, end to end, with this program in the owner's seat: it builds the
// composite capture coordinator, drives it with capture plans, crop rectangles and output sizes
// from the planners and settings from the encoder policy as a controller's viewport moves, cuts
// every encoded frame into frame packets, carries them over a lossy in-process link to a
// controller-side receiver whose keyframe requests go back to the coordinator, and records what
// the controller would play. It follows the display topology: the displays are read again once
// a second and whenever a display's stream fails, and a changed list is planned anew.
//
// Everything that crosses from the coordinator happens on the coordinator's queue (the frame
// from composite to receiver and recorder, the audio packets, the formats); the calling thread
// only moves the viewport, re-plans, follows the displays and prints the status. SIGINT,
// SIGTERM, SIGHUP and a closed status output end the stream at the next step (1/30 s, or after
// the encode in progress) and finish the recording. Everything that can be checked is checked
// before streaming starts. `run` returns the process exit code and prints one clear message for
// every failure; it never throws.

#include "StreamOptions.h"

#include <cstdio>

namespace mivodrell::stream {

namespace ExitCode {
inline constexpr int complete = 0;     // streamed the whole time; the recording is final
inline constexpr int cannotStart = 1;  // the environment failed before streaming (nothing recorded)
inline constexpr int badOptions = 2;   // an option is malformed or asks what cannot be done
inline constexpr int nothingToPlay = 3;  // the controller received no keyframe: nothing recorded
inline constexpr int failedMidway = 4;   // the X server, the displays or the disk failed while
                                         // streaming; what was recorded is kept when playable
inline constexpr int interrupted = 130;  // a signal or closed output ended it; the recording is final
}  // namespace ExitCode

int runStreamJob(const StreamOptions& options, std::FILE* status, bool statusIsTerminal);

}  // namespace mivodrell::stream
