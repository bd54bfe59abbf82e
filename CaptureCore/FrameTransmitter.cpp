#include "CaptureCore/FrameTransmitter.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "CaptureCore/FramePacketCoding.h"

namespace mivodrell {

FrameTransmitter::FrameTransmitter(FramePacketizer packetizer_, Send send_)
    : framePacketizer(packetizer_), send(std::move(send_)) {}

void FrameTransmitter::transmit(const EncodedFrame& frame) {
    constexpr std::size_t headerSize = FramePacketCoding::headerSize;
    const std::size_t total = frame.payload.size();
    // Refuses an unrepresentable frame before anything is sent.
    const std::uint16_t count = framePacketizer.packetCount(total);
    const auto m = static_cast<std::size_t>(framePacketizer.maxPayloadBytes());
    const std::size_t largestPacket = std::min(m, total);

    // The packets are written one after the other into one buffer of the largest packet's size;
    // the header is written once and only its index and length change from packet to packet.
    const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(headerSize + largestPacket);
    FramePacket header;
    header.frameID = frame.frameID;
    header.packetCount = count;
    header.isKeyframe = frame.isKeyframe;
    header.presentationTime = frame.presentationTime;
    header.cropRect = frame.cropRect;
    FramePacketCoding::writeHeader(header, static_cast<std::uint32_t>(largestPacket),
                                   std::span<std::uint8_t, headerSize>(buffer.get(), headerSize));

    const std::uint8_t* payload = frame.payload.data();
    std::size_t offset = 0;
    for (std::uint16_t index = 0; index < count; ++index) {
        const std::size_t length = std::min(m, total - offset);
        FramePacketCoding::storeBigEndian16(buffer.get() + FramePacketCoding::packetIndexOffset, index);
        FramePacketCoding::storeBigEndian32(buffer.get() + FramePacketCoding::payloadLengthOffset,
                                            static_cast<std::uint32_t>(length));
        if (length != 0) std::memcpy(buffer.get() + headerSize, payload + offset, length);
        offset += length;
        if (send) send(std::span<const std::uint8_t>(buffer.get(), headerSize + length));
        ++packetsSent;
    }
    ++framesSent;
}

}  // namespace mivodrell
