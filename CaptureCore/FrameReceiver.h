#pragma once
// The controller-side end of the video road: decodes each received frame packet message, joins
// the packets into frames, hands every completed frame to `onFrame` and asks for a keyframe
// through `onRequestKeyframe` when its policy says so.
//
// No lock: a receiver is used from one thread or serial queue at a time, and the callbacks run
// synchronously inside `receive` (`onFrame` before the policy hears of the frame).

#include <cstdint>
#include <functional>
#include <span>

#include "CaptureCore/EncodedFrame.h"
#include "CaptureCore/FramePacketCoding.h"
#include "CaptureCore/FrameReassembler.h"
#include "CaptureCore/KeyframeRequestPolicy.h"
#include "CaptureCore/SharedBytes.h"

namespace mivodrell {

class FrameReceiver {
public:
    FrameReceiver(FrameReassembler reassembler, KeyframeRequestPolicy keyframePolicy);

    // One transport message received at `now` (seconds).
    void receive(std::span<const std::uint8_t> message, double now);
    // As above; the packet's payload refers to the message's storage instead of a copy.
    void receiveShared(const SharedBytes& message, double now);

    void expireOutstandingRequest(double now) { policy.expireOutstandingRequest(now); }
    // Resets the reassembler and the policy; the callbacks and configurations stay.
    void reset();
    // Tolerant: a keyframe after 6 losses in a row or a loss 20 s after the last keyframe;
    // otherwise 2 losses and 8 s.
    void setLossTolerant(bool lossTolerant);

    std::int64_t pendingFrameCount() const { return frames.pendingFrameCount(); }
    std::int64_t lostPacketCount() const { return frames.lostPacketCount(); }
    FrameReassembler& reassembler() { return frames; }
    const FrameReassembler& reassembler() const { return frames; }
    const KeyframeRequestPolicy& keyframePolicy() const { return policy; }

    std::function<void(const EncodedFrame& frame)> onFrame;
    std::function<void(const FramePacketCoding::DecodeError& error)> onMalformedData;
    std::function<void()> onRequestKeyframe;

private:
    void handle(FramePacketCoding::DecodeResult decoded, double now);

    FrameReassembler frames;
    KeyframeRequestPolicy policy;
    std::int64_t lastAbandonedFrameCount = 0;
};

}  // namespace mivodrell
