#include "CaptureCore/FrameReceiver.h"

#include <utility>

namespace mivodrell {

FrameReceiver::FrameReceiver(FrameReassembler reassembler_, KeyframeRequestPolicy keyframePolicy_)
    : frames(std::move(reassembler_)), policy(keyframePolicy_) {}

void FrameReceiver::receive(std::span<const std::uint8_t> message, double now) {
    handle(FramePacketCoding::decode(message), now);
}

void FrameReceiver::receiveShared(const SharedBytes& message, double now) {
    handle(FramePacketCoding::decodeShared(message), now);
}

void FrameReceiver::handle(FramePacketCoding::DecodeResult decoded, double now) {
    if (const auto* error = std::get_if<FramePacketCoding::DecodeError>(&decoded)) {
        if (onMalformedData) onMalformedData(*error);
        return;
    }
    FrameReassembler::Outcome outcome = frames.ingest(std::get<FramePacket>(decoded));
    if (auto* completed = std::get_if<FrameReassembler::Completed>(&outcome)) {
        if (onFrame) onFrame(completed->frame);
        policy.record(LossEvent::frameCompleted(completed->frame.frameID, completed->frame.isKeyframe), now);
    }

    const std::int64_t abandoned = frames.abandonedFrameCount();
    const std::int64_t newlyAbandoned = abandoned - lastAbandonedFrameCount;
    lastAbandonedFrameCount = abandoned;
    for (std::int64_t n = 0; n < newlyAbandoned; ++n) {
        // The reassembler does not say which frames it gave up; the policy needs only the count.
        if (policy.record(LossEvent::frameAbandoned(0, false, 0), now) && onRequestKeyframe) onRequestKeyframe();
    }
}

void FrameReceiver::reset() {
    frames.reset();
    policy.reset();
    lastAbandonedFrameCount = 0;
}

void FrameReceiver::setLossTolerant(bool lossTolerant) {
    if (lossTolerant) {
        policy.setLossThresholds(6, 20.0);
    } else {
        policy.setLossThresholds(2, 8.0);
    }
}

}  // namespace mivodrell
