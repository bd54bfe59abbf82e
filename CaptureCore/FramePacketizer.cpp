#include "CaptureCore/FramePacketizer.h"

#include <algorithm>

#include "CaptureCore/FramePacketCoding.h"
#include "Platform/Base/Narrowing.h"

namespace mivodrell {

namespace {

std::string describe(FramePacketizer::Error::Kind kind, std::int64_t maxPayloadBytes, std::uint64_t payloadBytes) {
    using Kind = FramePacketizer::Error::Kind;
    switch (kind) {
        case Kind::invalidMaxPayloadBytes:
            return "maxPayloadBytes must be at least 1, got " + std::to_string(maxPayloadBytes);
        case Kind::tooManyPackets:
            return "a payload of " + std::to_string(payloadBytes) + " bytes needs more than 65535 packets of " +
                   std::to_string(maxPayloadBytes) + " bytes";
        case Kind::packetPayloadTooLarge:
            return "a payload of " + std::to_string(payloadBytes) + " bytes cut at " +
                   std::to_string(maxPayloadBytes) + " bytes gives packets longer than 4294967295 bytes";
    }
    return "frame packetizer error";
}

}  // namespace

FramePacketizer::Error::Error(Kind kind_, std::int64_t maxPayloadBytes_, std::uint64_t payloadBytes_)
    : kind(kind_),
      maxPayloadBytes(maxPayloadBytes_),
      payloadBytes(payloadBytes_),
      message(describe(kind_, maxPayloadBytes_, payloadBytes_)) {}

FramePacketizer::FramePacketizer(std::int64_t maxPayloadBytes_) : maxPayload(maxPayloadBytes_) {
    if (maxPayloadBytes_ < 1) throw Error(Error::Kind::invalidMaxPayloadBytes, maxPayloadBytes_, 0);
}

std::uint16_t FramePacketizer::packetCount(std::uint64_t payloadBytes) const {
    if (payloadBytes == 0) return 1;
    const auto m = static_cast<std::uint64_t>(maxPayload);
    // ceil(L / M) without the overflow of (L + M - 1) / M.
    const std::uint64_t count = payloadBytes / m + (payloadBytes % m != 0 ? 1 : 0);
    if (count > maxPacketCount) throw Error(Error::Kind::tooManyPackets, maxPayload, payloadBytes);
    if (std::min(payloadBytes, m) > FramePacketCoding::maxPayloadLength) {
        throw Error(Error::Kind::packetPayloadTooLarge, maxPayload, payloadBytes);
    }
    return static_cast<std::uint16_t>(count);
}

std::vector<FramePacket> FramePacketizer::packetize(const EncodedFrame& frame) const {
    const std::size_t total = frame.payload.size();
    const std::uint16_t count = packetCount(total);

    FramePacket packet;
    packet.frameID = frame.frameID;
    packet.packetCount = count;
    packet.isKeyframe = frame.isKeyframe;
    packet.presentationTime = frame.presentationTime;
    packet.cropRect = frame.cropRect;

    std::vector<FramePacket> packets;
    packets.reserve(count);
    if (count == 1) {
        packet.payload = frame.payload;
        packets.push_back(std::move(packet));
        return packets;
    }
    const auto m = static_cast<std::size_t>(maxPayload);
    std::size_t offset = 0;
    for (std::uint16_t index = 0; index < count; ++index) {
        const std::size_t length = std::min(m, total - offset);
        packet.packetIndex = index;
        packet.payload = frame.payload.slice(offset, length);
        packets.push_back(packet);
        offset += length;
    }
    return packets;
}

}  // namespace mivodrell
