#include "CaptureCore/FramePacketCoding.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "FramePacketTestSupport.h"

namespace mivodrell {
namespace {

using Bytes = std::vector<std::uint8_t>;
using DecodeError = FramePacketCoding::DecodeError;

FramePacket makePacket(Bytes payload = {1, 2, 3}) {
    FramePacket packet;
    packet.frameID = 0x01020304;
    packet.packetIndex = 5;
    packet.packetCount = 6;
    packet.isKeyframe = true;
    packet.presentationTime = 1.5;
    packet.payload = std::move(payload);
    packet.cropRect = CGRect(0, 0, 1920, 1080);
    return packet;
}

Bytes slice(const Bytes& bytes, std::size_t offset, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

std::uint32_t bigEndian32(const Bytes& bytes, std::size_t offset) {
    return (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
           (std::uint32_t{bytes[offset + 2]} << 8) | bytes[offset + 3];
}

TEST(FramePacketCodingTest, WritesTheHeaderByteForByte) {
    const Bytes encoded = FramePacketCoding::encode(makePacket());
    const Bytes expected = {
        0xF9, 0x02, 0x01, 0x00,                          // magic, version, flags, reserved
        0x01, 0x02, 0x03, 0x04,                          // frameID
        0x00, 0x05, 0x00, 0x06,                          // packetIndex, packetCount
        0x3F, 0xF8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // presentationTime 1.5
        0x00, 0x00, 0x00, 0x03,                          // payloadLength
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // crop x, y
        0x44, 0xF0, 0x00, 0x00, 0x44, 0x87, 0x00, 0x00,  // crop 1920, 1080
        0x01, 0x02, 0x03,                                // payload
    };
    EXPECT_EQ(encoded, expected);
    EXPECT_EQ(FramePacketCoding::headerSize, 40u);

    FramePacket notKey = makePacket({});
    notKey.isKeyframe = false;
    const Bytes empty = FramePacketCoding::encode(notKey);
    ASSERT_EQ(empty.size(), 40u);
    EXPECT_EQ(empty[2], 0x00);
    EXPECT_EQ(bigEndian32(empty, 20), 0u);
}

TEST(FramePacketCodingTest, CropRectangleTravelsAsRoundedSinglePrecision) {
    struct Case {
        CGRect rect;
        std::uint32_t x, y, width, height;
    };
    const double belowOverflow = 0x1.fffffefffp127;  // rounds down to the largest float
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {CGRect(0, 0, 1920, 1080), 0x00000000, 0x00000000, 0x44F00000, 0x44870000},
        {CGRect(0.1, -2.5, 1, 0.5), 0x3DCCCCCD, 0xC0200000, 0x3F800000, 0x3F000000},
        // Negative sizes contribute their absolute value; the origin stays as stored.
        {CGRect(10, 20, -100, -50), 0x41200000, 0x41A00000, 0x42C80000, 0x42480000},
        // Beyond the float range: infinity, as IEEE rounding gives; just inside: the largest float.
        {CGRect(1e300, -1e300, belowOverflow, std::numeric_limits<double>::infinity()), 0x7F800000, 0xFF800000,
         0x7F7FFFFF, 0x7F800000},
        {CGRect(nan, 0, -nan, 0), 0x7FC00000, 0x00000000, 0x7FC00000, 0x00000000},
    };
    for (const Case& c : cases) {
        FramePacket packet = makePacket({});
        packet.cropRect = c.rect;
        const Bytes encoded = FramePacketCoding::encode(packet);
        EXPECT_EQ(bigEndian32(encoded, 24), c.x) << c.rect.origin.x;
        EXPECT_EQ(bigEndian32(encoded, 28), c.y) << c.rect.origin.y;
        EXPECT_EQ(bigEndian32(encoded, 32), c.width) << c.rect.size.width;
        EXPECT_EQ(bigEndian32(encoded, 36), c.height) << c.rect.size.height;
    }
}

TEST(FramePacketCodingTest, RoundTripsEveryField) {
    FramePacket packet = makePacket(testing::patternBytes(1200));
    packet.frameID = 0xFFFFFFFF;
    packet.packetIndex = 65534;
    packet.packetCount = 65535;
    packet.presentationTime = -0x1.123456789abcdp-3;  // every mantissa bit matters
    packet.cropRect = CGRect(-0.5, 1024.25, 3840, 0);
    const auto decoded = FramePacketCoding::decode(FramePacketCoding::encode(packet));
    ASSERT_TRUE(std::holds_alternative<FramePacket>(decoded));
    EXPECT_EQ(std::get<FramePacket>(decoded), packet);

    // 0.1 is not a float: it comes back as the nearest one.
    packet.cropRect = CGRect(0.1, 0, 10, 10);
    const auto rounded = FramePacketCoding::decode(FramePacketCoding::encode(packet));
    ASSERT_TRUE(std::holds_alternative<FramePacket>(rounded));
    EXPECT_EQ(std::get<FramePacket>(rounded).cropRect.origin.x, static_cast<double>(0.1f));
    EXPECT_NE(std::get<FramePacket>(rounded), packet);
}

TEST(FramePacketCodingTest, DecodeReportsTheFirstFailingCheck) {
    const Bytes valid = FramePacketCoding::encode(makePacket({9, 8, 7, 6}));
    auto with = [&](std::size_t offset, std::uint8_t value) {
        Bytes bytes = valid;
        bytes[offset] = value;
        return bytes;
    };
    Bytes tooShortWrongMagic = slice(valid, 0, 39);
    tooShortWrongMagic[0] = 0;
    Bytes wrongMagicAndVersion = with(0, 0x00);
    wrongMagicAndVersion[1] = 7;
    Bytes oneMore = valid;
    oneMore.push_back(0);
    Bytes hugeDeclared = slice(valid, 0, 40);
    hugeDeclared[20] = hugeDeclared[21] = hugeDeclared[22] = hugeDeclared[23] = 0xFF;

    struct Case {
        std::string name;
        Bytes message;
        DecodeError expected;
    };
    const std::vector<Case> cases = {
        {"empty", {}, DecodeError::tooShortForHeader(0)},
        {"39 bytes", slice(valid, 0, 39), DecodeError::tooShortForHeader(39)},
        {"short before magic", tooShortWrongMagic, DecodeError::tooShortForHeader(39)},
        {"magic before version", wrongMagicAndVersion, DecodeError::badMagic(0x00)},
        {"magic 0xF8", with(0, 0xF8), DecodeError::badMagic(0xF8)},
        {"version 1", with(1, 1), DecodeError::unsupportedVersion(1)},
        {"version 3", with(1, 3), DecodeError::unsupportedVersion(3)},
        {"one byte more", oneMore, DecodeError::payloadLengthMismatch(4, 5)},
        {"one byte fewer", slice(valid, 0, 43), DecodeError::payloadLengthMismatch(4, 3)},
        {"header only", slice(valid, 0, 40), DecodeError::payloadLengthMismatch(4, 0)},
        {"largest declared", hugeDeclared, DecodeError::payloadLengthMismatch(4294967295, 0)},
    };
    for (const Case& c : cases) {
        const auto result = FramePacketCoding::decode(c.message);
        ASSERT_TRUE(std::holds_alternative<DecodeError>(result)) << c.name;
        EXPECT_EQ(std::get<DecodeError>(result), c.expected)
            << c.name << ": " << std::get<DecodeError>(result).description();
    }
    EXPECT_EQ(DecodeError::payloadLengthMismatch(4, 5).description(), "payloadLengthMismatch(declared: 4, actual: 5)");
    EXPECT_NE(DecodeError::badMagic(1), DecodeError::unsupportedVersion(1));
}

TEST(FramePacketCodingTest, ReaderLooksAtTheKeyframeBitOnlyAndIgnoresReserved) {
    const Bytes valid = FramePacketCoding::encode(makePacket({}));
    struct Case {
        std::uint8_t flags, reserved;
        bool isKeyframe;
    };
    for (const Case c : {Case{0xFF, 0, true}, Case{0x02, 0, false}, Case{0x01, 0xAB, true}, Case{0x00, 0xFF, false}}) {
        Bytes bytes = valid;
        bytes[2] = c.flags;
        bytes[3] = c.reserved;
        const auto result = FramePacketCoding::decode(bytes);
        ASSERT_TRUE(std::holds_alternative<FramePacket>(result));
        const FramePacket& packet = std::get<FramePacket>(result);
        EXPECT_EQ(packet.isKeyframe, c.isKeyframe) << int{c.flags};
        EXPECT_TRUE(packet.payload.empty());
        EXPECT_EQ(packet.frameID, 0x01020304u);
    }
}

TEST(FramePacketCodingTest, DecodedPayloadIsACopyOrASliceOfTheSharedMessage) {
    Bytes message = FramePacketCoding::encode(makePacket(testing::patternBytes(300)));
    const auto copied = FramePacketCoding::decode(message);
    ASSERT_TRUE(std::holds_alternative<FramePacket>(copied));
    const SharedBytes copiedPayload = std::get<FramePacket>(copied).payload;
    std::fill(message.begin(), message.end(), 0);  // the caller's buffer is reused
    EXPECT_EQ(copiedPayload.toVector(), testing::patternBytes(300));

    const SharedBytes shared(FramePacketCoding::encode(makePacket(testing::patternBytes(300))));
    const auto sliced = FramePacketCoding::decodeShared(shared);
    ASSERT_TRUE(std::holds_alternative<FramePacket>(sliced));
    const SharedBytes& payload = std::get<FramePacket>(sliced).payload;
    EXPECT_TRUE(payload.sharesStorageWith(shared));
    EXPECT_EQ(payload.data(), shared.data() + 40);
    EXPECT_EQ(payload.toVector(), testing::patternBytes(300));
}

// A payload of 2^32 bytes: address space only, never touched, because encoding refuses it first.
TEST(FramePacketCodingTest, RefusesAPayloadTheLengthFieldCannotDescribe) {
    const std::size_t size = (std::size_t{1} << 32);
    void* address = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (address == MAP_FAILED) GTEST_SKIP() << "no address space for a 4 GiB mapping";
    const std::shared_ptr<const void> owner(address, [size](const void* p) { munmap(const_cast<void*>(p), size); });
    FramePacket packet = makePacket({});
    packet.payload = SharedBytes(owner, {static_cast<const std::uint8_t*>(address), size});
    try {
        (void)FramePacketCoding::encode(packet);
        FAIL() << "encoded a packet whose length does not fit 32 bits";
    } catch (const FramePacketCoding::EncodingError& error) {
        EXPECT_EQ(error.payloadBytes, size);
        EXPECT_NE(std::string(error.what()).find("4294967296"), std::string::npos);
    }
    packet.payload = packet.payload.slice(1, size - 1);  // 2^32 - 1 bytes would fit: not encoded here
    EXPECT_EQ(packet.payload.size(), FramePacketCoding::maxPayloadLength);
}

}  // namespace
}  // namespace mivodrell
