#include "CaptureCore/FramePacketCoding.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "Platform/Base/Narrowing.h"

namespace mivodrell {

namespace {

std::uint16_t loadBigEndian16(const std::uint8_t* in) {
    return static_cast<std::uint16_t>((in[0] << 8) | in[1]);
}

std::uint32_t loadBigEndian32(const std::uint8_t* in) {
    return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) |
           std::uint32_t{in[3]};
}

std::uint64_t loadBigEndian64(const std::uint8_t* in) {
    return (std::uint64_t{loadBigEndian32(in)} << 32) | loadBigEndian32(in + 4);
}

// Rounds to the nearest single-precision value, with the IEEE overflow to infinity spelled out
// (converting an out-of-range double to float is undefined in C++).
float toSinglePrecision(double value) {
    // Halfway between the largest finite float and 2^128: from here on, rounding gives infinity.
    constexpr double overflowThreshold = 0x1.ffffffp127;
    if (std::isnan(value)) return std::numeric_limits<float>::quiet_NaN();
    if (value >= overflowThreshold) return std::numeric_limits<float>::infinity();
    if (value <= -overflowThreshold) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

void storeSingle(std::uint8_t* out, double value) {
    FramePacketCoding::storeBigEndian32(out, std::bit_cast<std::uint32_t>(toSinglePrecision(value)));
}

double loadSingle(const std::uint8_t* in) {
    return static_cast<double>(std::bit_cast<float>(loadBigEndian32(in)));
}

// Checks and reads the header; `fillPayload(offset, count)` makes the payload of a valid message.
template <class Fill>
FramePacketCoding::DecodeResult decodeMessage(std::span<const std::uint8_t> message, Fill fillPayload) {
    using DecodeError = FramePacketCoding::DecodeError;
    const std::size_t n = message.size();
    if (n < FramePacketCoding::headerSize) {
        return DecodeError::tooShortForHeader(clampedNarrow<std::int64_t>(n));
    }
    const std::uint8_t* bytes = message.data();
    if (bytes[0] != FramePacketCoding::magic) return DecodeError::badMagic(bytes[0]);
    if (bytes[1] != FramePacketCoding::version) return DecodeError::unsupportedVersion(bytes[1]);

    FramePacket packet;
    packet.isKeyframe = (bytes[2] & 0x01) != 0;
    packet.frameID = loadBigEndian32(bytes + 4);
    packet.packetIndex = loadBigEndian16(bytes + 8);
    packet.packetCount = loadBigEndian16(bytes + 10);
    packet.presentationTime = std::bit_cast<double>(loadBigEndian64(bytes + 12));
    const std::uint32_t declaredLength = loadBigEndian32(bytes + 20);
    packet.cropRect = CGRect(loadSingle(bytes + 24), loadSingle(bytes + 28), loadSingle(bytes + 32),
                             loadSingle(bytes + 36));

    const std::size_t actual = n - FramePacketCoding::headerSize;
    if (actual != declaredLength) {
        return DecodeError::payloadLengthMismatch(std::int64_t{declaredLength}, clampedNarrow<std::int64_t>(actual));
    }
    packet.payload = fillPayload(FramePacketCoding::headerSize, actual);
    return packet;
}

}  // namespace

FramePacketCoding::DecodeError FramePacketCoding::DecodeError::tooShortForHeader(std::int64_t byteCount) {
    DecodeError error;
    error.kind = Kind::tooShortForHeader;
    error.byteCount = byteCount;
    return error;
}

FramePacketCoding::DecodeError FramePacketCoding::DecodeError::badMagic(std::uint8_t byte) {
    DecodeError error;
    error.kind = Kind::badMagic;
    error.byte = byte;
    return error;
}

FramePacketCoding::DecodeError FramePacketCoding::DecodeError::unsupportedVersion(std::uint8_t byte) {
    DecodeError error;
    error.kind = Kind::unsupportedVersion;
    error.byte = byte;
    return error;
}

FramePacketCoding::DecodeError FramePacketCoding::DecodeError::payloadLengthMismatch(std::int64_t declared,
                                                                                     std::int64_t actual) {
    DecodeError error;
    error.kind = Kind::payloadLengthMismatch;
    error.declared = declared;
    error.actual = actual;
    return error;
}

std::string FramePacketCoding::DecodeError::description() const {
    switch (kind) {
        case Kind::tooShortForHeader:
            return "tooShortForHeader(byteCount: " + std::to_string(byteCount) + ")";
        case Kind::badMagic:
            return "badMagic(" + std::to_string(byte) + ")";
        case Kind::unsupportedVersion:
            return "unsupportedVersion(" + std::to_string(byte) + ")";
        case Kind::payloadLengthMismatch:
            return "payloadLengthMismatch(declared: " + std::to_string(declared) +
                   ", actual: " + std::to_string(actual) + ")";
    }
    return "unknown";
}

FramePacketCoding::EncodingError::EncodingError(std::uint64_t payloadBytes_)
    : payloadBytes(payloadBytes_),
      message("frame packet payload of " + std::to_string(payloadBytes_) +
              " bytes does not fit the 32-bit length field") {}

void FramePacketCoding::writeHeader(const FramePacket& packet, std::uint32_t payloadLength,
                                    std::span<std::uint8_t, headerSize> out) {
    std::uint8_t* p = out.data();
    p[0] = magic;
    p[1] = version;
    p[2] = packet.isKeyframe ? 1 : 0;
    p[3] = 0;
    storeBigEndian32(p + 4, packet.frameID);
    storeBigEndian16(p + 8, packet.packetIndex);
    storeBigEndian16(p + 10, packet.packetCount);
    storeBigEndian64(p + 12, std::bit_cast<std::uint64_t>(packet.presentationTime));
    storeBigEndian32(p + 20, payloadLength);
    storeSingle(p + 24, packet.cropRect.origin.x);
    storeSingle(p + 28, packet.cropRect.origin.y);
    storeSingle(p + 32, std::fabs(packet.cropRect.size.width));
    storeSingle(p + 36, std::fabs(packet.cropRect.size.height));
}

std::vector<std::uint8_t> FramePacketCoding::encode(const FramePacket& packet) {
    const std::size_t n = packet.payload.size();
    const auto payloadLength = checkedNarrow<std::uint32_t>(n);
    if (!payloadLength) throw EncodingError(n);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(headerSize + n);
    bytes.resize(headerSize);
    writeHeader(packet, *payloadLength, std::span<std::uint8_t, headerSize>(bytes.data(), headerSize));
    bytes.insert(bytes.end(), packet.payload.begin(), packet.payload.end());
    return bytes;
}

FramePacketCoding::DecodeResult FramePacketCoding::decode(std::span<const std::uint8_t> message) {
    return decodeMessage(message, [&](std::size_t offset, std::size_t count) {
        return SharedBytes::copy(message.subspan(offset, count));
    });
}

FramePacketCoding::DecodeResult FramePacketCoding::decodeShared(const SharedBytes& message) {
    return decodeMessage(message.span(),
                         [&](std::size_t offset, std::size_t count) { return message.slice(offset, count); });
}

}  // namespace mivodrell
