#pragma once
// Sends encoded frames as frame packets: cuts each frame with its packetizer, encodes every
// packet and hands the bytes to `send`, in packet order, before `transmit` returns.
//
// No queue or lock of its own: one transmitter is used from one serial queue at a time.

#include <cstdint>
#include <functional>
#include <span>

#include "CaptureCore/EncodedFrame.h"
#include "CaptureCore/FramePacketizer.h"

namespace mivodrell {

class FrameTransmitter {
public:
    using Error = FramePacketizer::Error;
    // Receives one encoded packet. The bytes are valid only during the call: a callback that
    // keeps them must copy them.
    using Send = std::function<void(std::span<const std::uint8_t> packet)>;

    FrameTransmitter(FramePacketizer packetizer, Send send);
    FrameTransmitter(const FrameTransmitter&) = delete;
    FrameTransmitter& operator=(const FrameTransmitter&) = delete;

    // Sends every packet of `frame`, then counts the frame. A frame the packet format cannot
    // describe is refused with Error before anything is sent; the counters stay as they were.
    void transmit(const EncodedFrame& frame);

    const FramePacketizer& packetizer() const { return framePacketizer; }
    std::int64_t sentPacketCount() const { return packetsSent; }
    std::int64_t sentFrameCount() const { return framesSent; }

private:
    FramePacketizer framePacketizer;
    Send send;
    std::int64_t packetsSent = 0;
    std::int64_t framesSent = 0;
};

}  // namespace mivodrell
