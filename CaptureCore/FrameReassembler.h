#pragma once
// Joins frame packets back into encoded frames on a transport that loses, repeats and reorders
// messages and never retransmits.
//
// A frame is delivered at most once and frames come out in increasing wrap-aware order: once a
// frame completes, every older open frame is given up, and packets of frames not newer than the
// newest settled frame are dropped as stale. At most `maxPendingFrames` frames are kept open, and
// their payloads together hold at most `maxPendingBytes`; beyond either limit the oldest open
// frame is given up (a frame that alone exceeds the byte budget gives itself up). Packets never
// received of given-up frames are counted as lost.
//
// Storage grows only with what actually arrives: a frame's packet count comes from the network,
// so nothing is allocated from it up front. No lock: one owner uses a reassembler from one
// thread or serial queue at a time.

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <variant>
#include <vector>

#include "CaptureCore/EncodedFrame.h"
#include "CaptureCore/FramePacket.h"
#include "CaptureCore/SharedBytes.h"
#include "Platform/Base/Geometry.h"

namespace mivodrell {

class FrameReassembler {
public:
    // This packet completed its frame.
    struct Completed {
        EncodedFrame frame;
        friend bool operator==(const Completed&, const Completed&) = default;
    };
    // The packet was stored; its frame is still open.
    struct Buffered {
        std::uint32_t frameID = 0;
        std::int64_t received = 0;
        std::int64_t expected = 0;
        friend bool operator==(const Buffered&, const Buffered&) = default;
    };
    // The frame is not newer than the newest settled frame; the packet was ignored.
    struct DroppedStale {
        std::uint32_t frameID = 0;
        friend bool operator==(const DroppedStale&, const DroppedStale&) = default;
    };
    // This packet index of the frame was already received; the packet was ignored.
    struct DroppedDuplicate {
        std::uint32_t frameID = 0;
        std::uint16_t packetIndex = 0;
        friend bool operator==(const DroppedDuplicate&, const DroppedDuplicate&) = default;
    };
    // The packet contradicts its frame or is out of range; it was ignored.
    struct DroppedMalformed {
        std::uint32_t frameID = 0;
        std::uint16_t packetIndex = 0;
        friend bool operator==(const DroppedMalformed&, const DroppedMalformed&) = default;
    };
    // The packet was stored, but the pending limit then gave its own frame up.
    struct Abandoned {
        std::uint32_t frameID = 0;
        std::int64_t missing = 0;
        friend bool operator==(const Abandoned&, const Abandoned&) = default;
    };

    using Outcome = std::variant<Completed, Buffered, DroppedStale, DroppedDuplicate, DroppedMalformed, Abandoned>;

    // Far above the largest keyframe a real session sends, so that only a hostile or broken peer
    // reaches it.
    static constexpr std::int64_t defaultMaxPendingBytes = std::int64_t{64} << 20;

    // A value below 1 is taken as 1 (for both limits).
    explicit FrameReassembler(std::int64_t maxPendingFrames, std::int64_t maxPendingBytes = defaultMaxPendingBytes);

    Outcome ingest(const FramePacket& packet);
    // Back to the created state; maxPendingFrames stays.
    void reset();

    std::int64_t pendingFrameCount() const { return static_cast<std::int64_t>(pending.size()); }
    std::int64_t maxPendingFrames() const { return pendingLimit; }
    // Payload bytes held by the open frames.
    std::int64_t pendingPayloadBytes() const { return pendingBytes; }
    std::int64_t maxPendingBytes() const { return pendingByteLimit; }
    std::int64_t lostPacketCount() const { return lostPackets; }
    std::int64_t abandonedFrameCount() const { return abandonedFrames; }
    // The newest frame completed or given up for the pending limit.
    std::optional<std::uint32_t> highestSettledFrameID() const { return highestSettled; }

private:
    struct Received {
        std::uint16_t index;
        SharedBytes payload;
    };
    struct Pending {
        std::int64_t packetCount = 0;
        bool isKeyframe = false;
        double presentationTime = 0;
        CGRect cropRect;
        // The packets in arrival order; `inIndexOrder` while each came after the one before it.
        std::vector<Received> received;
        // One bit per packet index, grown to the highest index seen.
        std::vector<std::uint64_t> seen;
        std::size_t payloadBytes = 0;
        bool inIndexOrder = true;

        bool hasSeen(std::uint16_t index) const;
        void markSeen(std::uint16_t index);
        std::int64_t receivedCount() const { return static_cast<std::int64_t>(received.size()); }
        std::int64_t missingCount() const { return packetCount - receivedCount(); }
    };

    SharedBytes join(Pending& entry);
    void settle(std::uint32_t frameID);
    void giveUp(std::unordered_map<std::uint32_t, Pending>::iterator position);
    void abandonOlderThan(std::uint32_t frameID);
    void enforcePendingLimit();

    std::unordered_map<std::uint32_t, Pending> pending;
    std::optional<std::uint32_t> highestSettled;
    std::int64_t pendingLimit;
    std::int64_t pendingByteLimit;
    std::int64_t pendingBytes = 0;
    std::int64_t lostPackets = 0;
    std::int64_t abandonedFrames = 0;
};

}  // namespace mivodrell
