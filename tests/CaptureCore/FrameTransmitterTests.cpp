#include "CaptureCore/FrameTransmitter.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <random>
#include "CaptureCore/FramePacketCoding.h"
#include "CaptureCore/FramePacketizer.h"
#include "CaptureCore/FrameReassembler.h"
#include "FramePacketTestSupport.h"
#include "support/Thrown.h"
namespace mivodrell { namespace {
using Bytes = std::vector<std::uint8_t>;
using Error = FramePacketizer::Error;
using testing::thrown;
constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
// Packet sizes around the boundaries, then the packets shuffled back together by the reassembler.
TEST(FramePacketizerTest, CutsPayloadsAroundThePacketBoundariesAndReassemblesInAnyOrder) {
    const std::vector<std::tuple<std::int64_t, std::size_t, std::vector<std::size_t>>> cases = {
        {1200, 0, {0}}, {1200, 1, {1}}, {1200, 1199, {1199}}, {1200, 1200, {1200}}, {1200, 1201, {1200, 1}},
        {1200, 2399, {1200, 1199}}, {1200, 2400, {1200, 1200}}, {1200, 2401, {1200, 1200, 1}},
        {1200, 3000, {1200, 1200, 600}}, {1, 3, {1, 1, 1}}, {int64Max, 5000, {5000}},
        {1200, 250'000, {}},  // 209 packets
    };
    std::mt19937 random(42);
    for (const auto& [maxPayloadBytes, payloadSize, packetSizes] : cases) {
        SCOPED_TRACE(::testing::Message() << maxPayloadBytes << " / " << payloadSize);
        EncodedFrame frame = testing::makeFrame(77, payloadSize, payloadSize % 2 == 0, 3);
        frame.cropRect = CGRect(-8, 0.5, 1280, 720);
        auto packets = FramePacketizer(maxPayloadBytes).packetize(frame);
        std::vector<std::size_t> sizes;
        for (const FramePacket& packet : packets) {
            sizes.push_back(packet.payload.size());
            EXPECT_TRUE(packet.payload.empty() || packet.payload.sharesStorageWith(frame.payload));  // slices, not copies
        }
        if (!packetSizes.empty()) { EXPECT_EQ(sizes, packetSizes); }
        std::shuffle(packets.begin(), packets.end(), random);
        FrameReassembler reassembler(1);
        for (std::size_t i = 0; i + 1 < packets.size(); ++i) {
            ASSERT_TRUE(std::holds_alternative<FrameReassembler::Buffered>(reassembler.ingest(packets[i])));
        }
        const auto outcome = reassembler.ingest(packets.back());
        ASSERT_TRUE(std::holds_alternative<FrameReassembler::Completed>(outcome));
        const EncodedFrame& joined = std::get<FrameReassembler::Completed>(outcome).frame;
        EXPECT_EQ(joined, frame);
        if (packets.size() == 1) { EXPECT_EQ(joined.payload.data(), frame.payload.data()); }  // not copied
    }
}
TEST(FramePacketizerTest, RefusesWhatThePacketFormatCannotDescribe) {
    constexpr std::uint64_t fourGiB = std::uint64_t{1} << 32;
    constexpr auto uint64Max = std::numeric_limits<std::uint64_t>::max();
    constexpr auto tooMany = Error::Kind::tooManyPackets, tooLarge = Error::Kind::packetPayloadTooLarge;
    struct Case { std::int64_t maxPayloadBytes; std::uint64_t payloadBytes; std::optional<std::uint16_t> count; Error::Kind kind = tooMany; };
    const std::vector<Case> cases = {
        {1200, 78'642'000, 65535}, {1200, 78'642'001, std::nullopt, tooMany}, {1, 65535, 65535},
        {1, 65536, std::nullopt, tooMany},
        {int64Max, uint64Max, std::nullopt, tooLarge},  // (L + M - 1) / M would overflow to a tiny count
        {int64Max, 4'000'000'000, 1}, {int64Max, fourGiB, std::nullopt, tooLarge},
        {static_cast<std::int64_t>(fourGiB) - 1, fourGiB * 3, 4},
        {static_cast<std::int64_t>(fourGiB), fourGiB + 1, std::nullopt, tooLarge}, {2, uint64Max, std::nullopt, tooMany},
    };
    for (const Case& c : cases) {
        const FramePacketizer packetizer(c.maxPayloadBytes);
        SCOPED_TRACE(::testing::Message() << c.maxPayloadBytes << " / " << c.payloadBytes);
        if (c.count) { EXPECT_EQ(packetizer.packetCount(c.payloadBytes), *c.count); }
        else { EXPECT_EQ(thrown<Error>([&] { (void)packetizer.packetCount(c.payloadBytes); }), Error(c.kind, c.maxPayloadBytes, c.payloadBytes)); }
    }
    for (const std::int64_t invalid : {std::int64_t{0}, std::int64_t{-1}, std::numeric_limits<std::int64_t>::min()})
        EXPECT_EQ(thrown<Error>([&] { FramePacketizer packetizer(invalid); }), Error(Error::Kind::invalidMaxPayloadBytes, invalid, 0));
}
TEST(FrameTransmitterTest, SendsTheEncodedPacketsInOrderAndRefusesBeforeSending) {
    std::vector<Bytes> sent;
    const auto send = [&](std::span<const std::uint8_t> bytes) { sent.emplace_back(bytes.begin(), bytes.end()); };
    FrameTransmitter transmitter(FramePacketizer(1200), send);
    std::vector<EncodedFrame> frames = {testing::makeFrame(1, 1), testing::makeFrame(2, 2400, true),
                                        testing::makeFrame(3, 3000), testing::makeFrame(4, 0)};
    frames[2].cropRect = CGRect(0.1, 5, -300, 200);  // lossy and negative: both writers must agree
    for (const EncodedFrame& frame : frames) transmitter.transmit(frame);
    EXPECT_EQ(transmitter.sentPacketCount(), 7);
    EXPECT_EQ(transmitter.sentFrameCount(), 4);
    std::vector<Bytes> expected;  // what the plain packet encoder writes for the packetizer's packets
    for (const EncodedFrame& frame : frames) {
        for (const FramePacket& packet : FramePacketizer(1200).packetize(frame)) expected.push_back(FramePacketCoding::encode(packet));
    }
    EXPECT_EQ(sent, expected);
    sent.clear();
    FrameTransmitter small(FramePacketizer(1), send);
    small.transmit(testing::makeFrame(1, 3));
    EXPECT_THROW(small.transmit(testing::makeFrame(2, 65536)), FrameTransmitter::Error);
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_EQ(small.sentPacketCount(), 3);
    EXPECT_EQ(small.sentFrameCount(), 1);
    // One packet of 2^32 bytes: refused from the sizes alone; the mapping is never read.
    auto bytes = testing::untouchedBytes(std::size_t{1} << 32);
    if (!bytes) GTEST_SKIP() << "no address space for a 4 GiB mapping";
    EncodedFrame huge = testing::makeFrame(3, 0);
    huge.payload = *bytes;
    FrameTransmitter wide(FramePacketizer(int64Max), send);
    const auto error = thrown<FrameTransmitter::Error>([&] { wide.transmit(huge); });
    ASSERT_TRUE(error) << "transmitted a packet of 2^32 bytes";
    EXPECT_EQ(error->kind, FrameTransmitter::Error::Kind::packetPayloadTooLarge);
    EXPECT_EQ(wide.sentPacketCount(), 0);
    EXPECT_EQ(sent.size(), 3u);
}
}}  // namespace mivodrell
