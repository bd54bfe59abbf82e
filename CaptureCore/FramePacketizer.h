#pragma once
// Cuts an encoded frame into frame packets of at most `maxPayloadBytes` payload bytes each.
// The packets refer to slices of the frame's payload; nothing is copied.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "CaptureCore/EncodedFrame.h"
#include "CaptureCore/FramePacket.h"

namespace mivodrell {

class FramePacketizer {
public:
    // A frame has at most this many packets (the count is a 16-bit field).
    static constexpr std::uint64_t maxPacketCount = 65535;

    struct Error : std::exception {
        enum class Kind : std::uint8_t {
            // Construction with maxPayloadBytes below 1.
            invalidMaxPayloadBytes,
            // The payload would need more than 65,535 packets.
            tooManyPackets,
            // A packet would carry 2^32 bytes or more, more than its length field can describe.
            packetPayloadTooLarge,
        };

        Kind kind;
        std::int64_t maxPayloadBytes = 0;
        std::uint64_t payloadBytes = 0;
        std::string message;

        Error(Kind kind, std::int64_t maxPayloadBytes, std::uint64_t payloadBytes);
        const char* what() const noexcept override { return message.c_str(); }
        friend bool operator==(const Error& a, const Error& b) {
            return a.kind == b.kind && a.maxPayloadBytes == b.maxPayloadBytes && a.payloadBytes == b.payloadBytes;
        }
    };

    // Throws Error(invalidMaxPayloadBytes) when maxPayloadBytes is below 1.
    explicit FramePacketizer(std::int64_t maxPayloadBytes);

    std::int64_t maxPayloadBytes() const { return maxPayload; }

    // Packets needed for a payload of `payloadBytes` bytes (1 for an empty payload). Throws Error
    // when the frame cannot be described by the packet format.
    std::uint16_t packetCount(std::uint64_t payloadBytes) const;

    // The frame's packets in packetIndex order, never empty. A single packet carries the frame's
    // payload itself; otherwise every packet carries a slice of it, each full but the last.
    // Throws Error (see packetCount).
    std::vector<FramePacket> packetize(const EncodedFrame& frame) const;

private:
    std::int64_t maxPayload;
};

}  // namespace mivodrell
