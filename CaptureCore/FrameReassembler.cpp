#include "CaptureCore/FrameReassembler.h"

#include <algorithm>
#include <utility>

#include "CaptureCore/FrameID.h"

namespace mivodrell {

bool FrameReassembler::Pending::hasSeen(std::uint16_t index) const {
    const std::size_t word = index / 64u;
    return word < seen.size() && (seen[word] >> (index % 64u) & 1u) != 0;
}

void FrameReassembler::Pending::markSeen(std::uint16_t index) {
    const std::size_t word = index / 64u;
    if (word >= seen.size()) seen.resize(word + 1, 0);
    seen[word] |= std::uint64_t{1} << (index % 64u);
}

FrameReassembler::FrameReassembler(std::int64_t maxPendingFrames_, std::int64_t maxPendingBytes_)
    : pendingLimit(std::max<std::int64_t>(maxPendingFrames_, 1)),
      pendingByteLimit(std::max<std::int64_t>(maxPendingBytes_, 1)) {}

FrameReassembler::Outcome FrameReassembler::ingest(const FramePacket& packet) {
    const std::uint32_t frameID = packet.frameID;
    const std::uint16_t index = packet.packetIndex;
    if (highestSettled && !FrameID::isNewer(frameID, *highestSettled)) return DroppedStale{frameID};

    auto position = pending.find(frameID);
    if (position != pending.end()) {
        const Pending& entry = position->second;
        if (entry.packetCount != packet.packetCount || index >= entry.packetCount) {
            return DroppedMalformed{frameID, index};
        }
        if (entry.hasSeen(index)) return DroppedDuplicate{frameID, index};
    } else {
        // Covers a packet count of 0: such a packet opens no frame.
        if (index >= packet.packetCount) return DroppedMalformed{frameID, index};
        position = pending.try_emplace(frameID).first;
        Pending& entry = position->second;
        entry.packetCount = packet.packetCount;
        entry.isKeyframe = packet.isKeyframe;
        entry.presentationTime = packet.presentationTime;
        entry.cropRect = packet.cropRect;
    }

    Pending& entry = position->second;
    entry.markSeen(index);
    if (!entry.received.empty() && index < entry.received.back().index) entry.inIndexOrder = false;
    entry.received.push_back({index, packet.payload});
    entry.payloadBytes += packet.payload.size();
    pendingBytes += static_cast<std::int64_t>(packet.payload.size());

    if (entry.receivedCount() == entry.packetCount) {
        Pending complete = std::move(entry);
        pending.erase(position);
        pendingBytes -= static_cast<std::int64_t>(complete.payloadBytes);
        settle(frameID);
        abandonOlderThan(frameID);
        enforcePendingLimit();
        EncodedFrame frame;
        frame.frameID = frameID;
        frame.isKeyframe = complete.isKeyframe;
        frame.presentationTime = complete.presentationTime;
        frame.cropRect = complete.cropRect;
        frame.payload = join(complete);
        return Completed{std::move(frame)};
    }

    const std::int64_t received = entry.receivedCount();
    const std::int64_t expected = entry.packetCount;
    enforcePendingLimit();
    if (pending.contains(frameID)) return Buffered{frameID, received, expected};
    return Abandoned{frameID, expected - received};
}

void FrameReassembler::reset() {
    pending.clear();
    pendingBytes = 0;
    highestSettled.reset();
    lostPackets = 0;
    abandonedFrames = 0;
}

SharedBytes FrameReassembler::join(Pending& entry) {
    if (entry.received.size() == 1) return std::move(entry.received.front().payload);
    if (!entry.inIndexOrder) {
        std::sort(entry.received.begin(), entry.received.end(),
                  [](const Received& a, const Received& b) { return a.index < b.index; });
    }
    std::vector<std::uint8_t> joined;
    joined.reserve(entry.payloadBytes);
    for (const Received& part : entry.received) joined.insert(joined.end(), part.payload.begin(), part.payload.end());
    return SharedBytes(std::move(joined));
}

void FrameReassembler::settle(std::uint32_t frameID) {
    highestSettled = highestSettled ? FrameID::newer(*highestSettled, frameID) : frameID;
}

void FrameReassembler::giveUp(std::unordered_map<std::uint32_t, Pending>::iterator position) {
    lostPackets += position->second.missingCount();
    abandonedFrames += 1;
    pendingBytes -= static_cast<std::int64_t>(position->second.payloadBytes);
    pending.erase(position);
}

void FrameReassembler::abandonOlderThan(std::uint32_t frameID) {
    for (auto position = pending.begin(); position != pending.end();) {
        const auto next = std::next(position);
        if (FrameID::isOlder(position->first, frameID)) giveUp(position);
        position = next;
    }
}

void FrameReassembler::enforcePendingLimit() {
    while (std::cmp_greater(pending.size(), pendingLimit) || (pendingBytes > pendingByteLimit && !pending.empty())) {
        auto oldest = pending.begin();
        for (auto position = std::next(oldest); position != pending.end(); ++position) {
            if (FrameID::isOlder(position->first, oldest->first)) oldest = position;
        }
        const std::uint32_t frameID = oldest->first;
        giveUp(oldest);
        settle(frameID);
    }
}

}  // namespace mivodrell
