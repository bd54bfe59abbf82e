#pragma once
// Byte layout of one frame packet: a fixed 40-byte big-endian header followed by the payload.
//
//  offset  width  field
//   0       1     magic 0xF9
//   1       1     version 2
//   2       1     flags: bit 0 keyframe (written as 1 or 0; readers look at bit 0 only)
//   3       1     reserved: written 0, ignored
//   4       4     frameID
//   8       2     packetIndex
//  10       2     packetCount
//  12       8     presentationTime (bits of the double)
//  20       4     payloadLength
//  24      16     crop x, y, width, height as single-precision bits (width and height written
//                 as absolute values)
//  40       n     payload
//
// A message is exactly 40 + payloadLength bytes. Both operations are pure and thread-safe.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "CaptureCore/FramePacket.h"
#include "CaptureCore/SharedBytes.h"

namespace mivodrell {

struct FramePacketCoding {
    static constexpr std::size_t headerSize = 40;
    static constexpr std::uint8_t magic = 0xF9;
    static constexpr std::uint8_t version = 2;
    static constexpr std::size_t packetIndexOffset = 8;
    static constexpr std::size_t payloadLengthOffset = 20;
    // The largest payload one packet can describe.
    static constexpr std::uint64_t maxPayloadLength = 0xFFFF'FFFFu;

    // Why a received message is not a frame packet.
    struct DecodeError {
        enum class Kind : std::uint8_t { tooShortForHeader, badMagic, unsupportedVersion, payloadLengthMismatch };

        Kind kind = Kind::tooShortForHeader;
        // tooShortForHeader: size of the message.
        std::int64_t byteCount = 0;
        // badMagic, unsupportedVersion: the byte found.
        std::uint8_t byte = 0;
        // payloadLengthMismatch: the header's payload length and the bytes behind the header.
        std::int64_t declared = 0;
        std::int64_t actual = 0;

        static DecodeError tooShortForHeader(std::int64_t byteCount);
        static DecodeError badMagic(std::uint8_t byte);
        static DecodeError unsupportedVersion(std::uint8_t byte);
        static DecodeError payloadLengthMismatch(std::int64_t declared, std::int64_t actual);

        std::string description() const;
        friend bool operator==(const DecodeError&, const DecodeError&) = default;
    };

    // A packet whose payload cannot be described by the 32-bit length field.
    struct EncodingError : std::exception {
        std::uint64_t payloadBytes = 0;
        std::string message;

        explicit EncodingError(std::uint64_t payloadBytes);
        const char* what() const noexcept override { return message.c_str(); }
        friend bool operator==(const EncodingError& a, const EncodingError& b) {
            return a.payloadBytes == b.payloadBytes;
        }
    };

    using DecodeResult = std::variant<FramePacket, DecodeError>;

    // Header and payload in one buffer allocated at its final size. Throws EncodingError for a
    // payload of 2^32 bytes or more.
    static std::vector<std::uint8_t> encode(const FramePacket& packet);

    // Writes the 40 header bytes of `packet` with the given payload length into `out` (the
    // packet's own payload is not looked at).
    static void writeHeader(const FramePacket& packet, std::uint32_t payloadLength,
                            std::span<std::uint8_t, headerSize> out);

    // The packet in `message`, or the first check it fails. The payload is a copy of the bytes
    // behind the header.
    static DecodeResult decode(std::span<const std::uint8_t> message);
    // As above, but the payload refers to the message's storage instead of copying it.
    static DecodeResult decodeShared(const SharedBytes& message);

    // Big-endian stores used by the writers.
    static void storeBigEndian16(std::uint8_t* out, std::uint16_t value) {
        out[0] = static_cast<std::uint8_t>(value >> 8);
        out[1] = static_cast<std::uint8_t>(value);
    }
    static void storeBigEndian32(std::uint8_t* out, std::uint32_t value) {
        out[0] = static_cast<std::uint8_t>(value >> 24);
        out[1] = static_cast<std::uint8_t>(value >> 16);
        out[2] = static_cast<std::uint8_t>(value >> 8);
        out[3] = static_cast<std::uint8_t>(value);
    }
    static void storeBigEndian64(std::uint8_t* out, std::uint64_t value) {
        storeBigEndian32(out, static_cast<std::uint32_t>(value >> 32));
        storeBigEndian32(out + 4, static_cast<std::uint32_t>(value));
    }
};

}  // namespace mivodrell
