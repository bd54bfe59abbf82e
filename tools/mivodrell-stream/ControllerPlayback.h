#pragma once
// What the controller plays of the frames its receiver completes, and when it asks the host for
// a keyframe on its own.
//
// Frame identifiers count up by one per encoded frame (wrapping), so a gap between two completed
// frames is a lost frame, and every frame after it refers to a picture the controller never got.
// Like a player, the controller then shows nothing until the next keyframe. A frame lost with
// all its packets never reaches the reassembler, so the receiver cannot report it: the
// controller side asks for a keyframe itself when such a wait begins, once per wait, however
// many more gaps open before the keyframe comes. It starts waiting, so a stream whose first
// keyframe was lost is asked for one too.
//
// Pure bookkeeping: no clock, no I/O. No lock: one owner calls it from one thread or queue.

#include <cstdint>
#include <optional>

namespace mivodrell::stream {

class ControllerPlayback {
public:
    struct Decision {
        bool play = false;             // show (record) the frame
        bool requestKeyframe = false;  // ask the host for a keyframe now
    };

    Decision frameCompleted(std::uint32_t frameID, bool isKeyframe);

private:
    std::optional<std::uint32_t> lastFrameID_;
    bool waitingForKeyframe_ = true;
    bool askedDuringWait_ = false;
};

}  // namespace mivodrell::stream
