#include "CaptureCore/FramePacketCoding.h"
#include <gtest/gtest.h>
#include "FramePacketTestSupport.h"
#include "support/Thrown.h"
namespace mivodrell { namespace {
using Bytes = std::vector<std::uint8_t>;
using DecodeError = FramePacketCoding::DecodeError;
FramePacket samplePacket(Bytes payload = {1, 2, 3}, bool isKeyframe = true) {
    return FramePacket{0x01020304, 5, 6, isKeyframe, 1.5, std::move(payload), CGRect(0, 0, 1920, 1080)};
}
std::uint32_t bigEndian32(const Bytes& b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}
TEST(FramePacketCodingTest, WritesTheHeaderByteForByte) {
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
    EXPECT_EQ(FramePacketCoding::encode(samplePacket()), expected);
    const Bytes empty = FramePacketCoding::encode(samplePacket({}, false));
    ASSERT_EQ(empty.size(), 40u);
    EXPECT_EQ(empty[2], 0x00);
    EXPECT_EQ(bigEndian32(empty, 20), 0u);
}
TEST(FramePacketCodingTest, CropRectangleTravelsAsRoundedSinglePrecision) {
    struct Case { CGRect rect; std::uint32_t x, y, width, height; };
    const double belowOverflow = 0x1.fffffefffp127;  // rounds down to the largest float
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {CGRect(0.1, -2.5, 1, 0.5), 0x3DCCCCCD, 0xC0200000, 0x3F800000, 0x3F000000},
        // Negative sizes contribute their absolute value; the origin stays as stored.
        {CGRect(10, 20, -100, -50), 0x41200000, 0x41A00000, 0x42C80000, 0x42480000},
        // Beyond the float range: infinity, as IEEE rounding gives; just inside: the largest float.
        {CGRect(1e300, -1e300, belowOverflow, std::numeric_limits<double>::infinity()), 0x7F800000, 0xFF800000,
         0x7F7FFFFF, 0x7F800000},
        {CGRect(nan, 0, -nan, 0), 0x7FC00000, 0x00000000, 0x7FC00000, 0x00000000}};
    for (const Case& c : cases) {
        FramePacket packet = samplePacket({});
        packet.cropRect = c.rect;
        const Bytes encoded = FramePacketCoding::encode(packet);
        EXPECT_EQ(bigEndian32(encoded, 24), c.x) << c.rect.origin.x;
        EXPECT_EQ(bigEndian32(encoded, 28), c.y) << c.rect.origin.y;
        EXPECT_EQ(bigEndian32(encoded, 32), c.width) << c.rect.size.width;
        EXPECT_EQ(bigEndian32(encoded, 36), c.height) << c.rect.size.height;
    }
}
TEST(FramePacketCodingTest, DecodeReportsTheFirstFailingCheck) {
    const Bytes valid = FramePacketCoding::encode(samplePacket({9, 8, 7, 6}));
    auto with = [&](std::initializer_list<std::pair<std::size_t, std::uint8_t>> changes, std::size_t size = 44) {
        Bytes bytes(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(size, 44)));
        bytes.resize(size, 0);
        for (const auto& [offset, value] : changes) bytes[offset] = value;
        return bytes;
    };
    const std::vector<std::tuple<std::string, Bytes, DecodeError>> cases = {
        {"empty", {}, DecodeError::tooShortForHeader(0)},
        {"39 bytes", with({}, 39), DecodeError::tooShortForHeader(39)},
        {"short before magic", with({{0, 0}}, 39), DecodeError::tooShortForHeader(39)},
        {"magic before version", with({{0, 0}, {1, 7}}), DecodeError::badMagic(0x00)},
        {"magic 0xF8", with({{0, 0xF8}}), DecodeError::badMagic(0xF8)},
        {"version 1", with({{1, 1}}), DecodeError::unsupportedVersion(1)},
        {"version 3", with({{1, 3}}), DecodeError::unsupportedVersion(3)},
        {"one byte more", with({}, 45), DecodeError::payloadLengthMismatch(4, 5)},
        {"one byte fewer", with({}, 43), DecodeError::payloadLengthMismatch(4, 3)},
        {"header only", with({}, 40), DecodeError::payloadLengthMismatch(4, 0)},
        {"largest declared", with({{20, 0xFF}, {21, 0xFF}, {22, 0xFF}, {23, 0xFF}}, 40),
         DecodeError::payloadLengthMismatch(4294967295, 0)},
    };
    for (const auto& [name, message, expected] : cases) {
        const auto result = FramePacketCoding::decode(message);
        ASSERT_TRUE(std::holds_alternative<DecodeError>(result)) << name;
        EXPECT_EQ(std::get<DecodeError>(result), expected) << name << ": " << std::get<DecodeError>(result).description();
    }
    EXPECT_EQ(DecodeError::payloadLengthMismatch(4, 5).description(), "payloadLengthMismatch(declared: 4, actual: 5)");
    // The reader looks at the keyframe bit only and ignores the reserved byte.
    struct Flags { std::uint8_t flags, reserved; bool isKeyframe; };
    for (const Flags c : {Flags{0xFF, 0, true}, Flags{0x02, 0, false}, Flags{0x01, 0xAB, true}, Flags{0x00, 0xFF, false}}) {
        Bytes bytes = FramePacketCoding::encode(samplePacket({}));
        bytes[2] = c.flags;
        bytes[3] = c.reserved;
        const auto result = FramePacketCoding::decode(bytes);
        ASSERT_TRUE(std::holds_alternative<FramePacket>(result));
        EXPECT_EQ(std::get<FramePacket>(result).isKeyframe, c.isKeyframe) << int{c.flags};
        EXPECT_EQ(std::get<FramePacket>(result).frameID, 0x01020304u);
    }
}
TEST(FramePacketCodingTest, DecodedPayloadIsACopyOfTheCallersBuffer) {
    Bytes message = FramePacketCoding::encode(samplePacket(testing::patternBytes(300)));
    const auto copied = FramePacketCoding::decode(message);
    ASSERT_TRUE(std::holds_alternative<FramePacket>(copied));
    const SharedBytes copiedPayload = std::get<FramePacket>(copied).payload;
    std::fill(message.begin(), message.end(), 0);  // the caller's buffer is reused
    EXPECT_EQ(copiedPayload.toVector(), testing::patternBytes(300));  // the shared decoder's slices: FrameReceiverTest
}
TEST(FramePacketCodingTest, RefusesAPayloadTheLengthFieldCannotDescribe) {
    const std::size_t size = std::size_t{1} << 32;
    FramePacket packet = samplePacket({});
    auto bytes = testing::untouchedBytes(size);
    if (!bytes) GTEST_SKIP() << "no address space for a 4 GiB mapping";
    packet.payload = *bytes;
    const auto error = testing::thrown<FramePacketCoding::EncodingError>([&] { (void)FramePacketCoding::encode(packet); });
    ASSERT_TRUE(error) << "encoded a packet whose length does not fit 32 bits";
    EXPECT_EQ(error->payloadBytes, size);
    EXPECT_NE(std::string(error->what()).find("4294967296"), std::string::npos);
}
}}  // namespace mivodrell
