#include "ControllerPlayback.h"

namespace mivodrell::stream {

ControllerPlayback::Decision ControllerPlayback::frameCompleted(std::uint32_t frameID, bool isKeyframe) {
    const bool gap = lastFrameID_ && frameID != static_cast<std::uint32_t>(*lastFrameID_ + 1);
    lastFrameID_ = frameID;
    if (isKeyframe) {
        waitingForKeyframe_ = false;
        askedDuringWait_ = false;
        return {true, false};
    }
    if (gap) waitingForKeyframe_ = true;
    if (!waitingForKeyframe_) return {true, false};
    const bool ask = !askedDuringWait_;
    askedDuringWait_ = true;
    return {false, ask};
}

}  // namespace mivodrell::stream
