#pragma once
// One frame packet: a slice of an encoded frame's payload with the frame's metadata.

#include <cstdint>

#include "CaptureCore/SharedBytes.h"
#include "Platform/Base/Geometry.h"

namespace mivodrell {

struct FramePacket {
    std::uint32_t frameID = 0;
    // Position of this packet within its frame, from 0.
    std::uint16_t packetIndex = 0;
    // Packets of the frame (1 to 65,535 for packets the packetizer makes).
    std::uint16_t packetCount = 0;
    bool isKeyframe = false;
    double presentationTime = 0;
    // This packet's slice of the frame payload.
    SharedBytes payload;
    CGRect cropRect;

    // Every field compared; the payload byte by byte, the rectangle field by field.
    friend bool operator==(const FramePacket& a, const FramePacket& b) {
        return a.frameID == b.frameID && a.packetIndex == b.packetIndex && a.packetCount == b.packetCount &&
               a.isKeyframe == b.isKeyframe && a.presentationTime == b.presentationTime &&
               identical(a.cropRect, b.cropRect) && a.payload == b.payload;
    }
};

}  // namespace mivodrell
