#include "CaptureCore/FrameTransmitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "CaptureCore/FramePacketCoding.h"
#include "CaptureCore/FramePacketizer.h"
#include "CaptureCore/FrameReassembler.h"
#include "FramePacketTestSupport.h"

namespace mivodrell {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Error = FramePacketizer::Error;

// Packet sizes around the boundaries, then the packets shuffled back together by the reassembler.
TEST(FramePacketizerTest, CutsPayloadsAroundThePacketBoundariesAndReassemblesInAnyOrder) {
    struct Case {
        std::int64_t maxPayloadBytes;
        std::size_t payloadSize;
        std::vector<std::size_t> packetSizes;
    };
    const std::vector<Case> cases = {
        {1200, 0, {0}},
        {1200, 1, {1}},
        {1200, 1199, {1199}},
        {1200, 1200, {1200}},
        {1200, 1201, {1200, 1}},
        {1200, 2399, {1200, 1199}},
        {1200, 2400, {1200, 1200}},
        {1200, 2401, {1200, 1200, 1}},
        {1200, 3000, {1200, 1200, 600}},
        {1, 3, {1, 1, 1}},
        {std::numeric_limits<std::int64_t>::max(), 5000, {5000}},
        {1200, 250'000, {}},  // 209 packets
    };
    std::mt19937 random(42);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.maxPayloadBytes << " / " << c.payloadSize);
        EncodedFrame frame = testing::makeFrame(77, c.payloadSize, c.payloadSize % 2 == 0, 3);
        frame.cropRect = CGRect(-8, 0.5, 1280, 720);
        auto packets = FramePacketizer(c.maxPayloadBytes).packetize(frame);
        std::vector<std::size_t> sizes;
        for (const FramePacket& packet : packets) {
            sizes.push_back(packet.payload.size());
            // Slices of the frame's own buffer, not copies.
            if (!packet.payload.empty()) {
                EXPECT_TRUE(packet.payload.sharesStorageWith(frame.payload));
            }
        }
        if (!c.packetSizes.empty()) {
            EXPECT_EQ(sizes, c.packetSizes);
        }

        std::shuffle(packets.begin(), packets.end(), random);
        FrameReassembler reassembler(1);
        for (std::size_t i = 0; i + 1 < packets.size(); ++i) {
            ASSERT_TRUE(std::holds_alternative<FrameReassembler::Buffered>(reassembler.ingest(packets[i])));
        }
        const auto outcome = reassembler.ingest(packets.back());
        ASSERT_TRUE(std::holds_alternative<FrameReassembler::Completed>(outcome));
        const EncodedFrame& joined = std::get<FrameReassembler::Completed>(outcome).frame;
        EXPECT_EQ(joined, frame);
        // A frame of one packet is handed on without copying.
        if (packets.size() == 1) {
            EXPECT_EQ(joined.payload.data(), frame.payload.data());
        }
    }
}

TEST(FramePacketizerTest, RefusesWhatThePacketFormatCannotDescribe) {
    constexpr std::uint64_t fourGiB = std::uint64_t{1} << 32;
    constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
    constexpr auto uint64Max = std::numeric_limits<std::uint64_t>::max();
    constexpr auto tooMany = Error::Kind::tooManyPackets;
    constexpr auto tooLarge = Error::Kind::packetPayloadTooLarge;
    struct Case {
        std::int64_t maxPayloadBytes;
        std::uint64_t payloadBytes;
        std::optional<std::uint16_t> count;
        Error::Kind kind = tooMany;
    };
    const std::vector<Case> cases = {
        {1200, 78'642'000, 65535},
        {1200, 78'642'001, std::nullopt, tooMany},
        {1, 65535, 65535},
        {1, 65536, std::nullopt, tooMany},
        // (L + M - 1) / M would overflow here and give a tiny count.
        {int64Max, uint64Max, std::nullopt, tooLarge},
        {int64Max, 4'000'000'000, 1},
        {int64Max, fourGiB, std::nullopt, tooLarge},
        {static_cast<std::int64_t>(fourGiB) - 1, fourGiB * 3, 4},
        {static_cast<std::int64_t>(fourGiB), fourGiB + 1, std::nullopt, tooLarge},
        {2, uint64Max, std::nullopt, tooMany},
    };
    for (const Case& c : cases) {
        const FramePacketizer packetizer(c.maxPayloadBytes);
        if (c.count) {
            EXPECT_EQ(packetizer.packetCount(c.payloadBytes), *c.count) << c.maxPayloadBytes << " / " << c.payloadBytes;
            continue;
        }
        try {
            (void)packetizer.packetCount(c.payloadBytes);
            ADD_FAILURE() << "accepted " << c.payloadBytes << " bytes at " << c.maxPayloadBytes;
        } catch (const Error& error) {
            EXPECT_EQ(error, Error(c.kind, c.maxPayloadBytes, c.payloadBytes)) << error.what();
        }
    }
    for (const std::int64_t invalid : {std::int64_t{0}, std::int64_t{-1}, std::numeric_limits<std::int64_t>::min()}) {
        try {
            FramePacketizer packetizer(invalid);
            ADD_FAILURE() << "constructed with " << invalid;
        } catch (const Error& error) {
            EXPECT_EQ(error, Error(Error::Kind::invalidMaxPayloadBytes, invalid, 0)) << error.what();
        }
    }
}

struct SentPackets {
    std::vector<Bytes> messages;
    FrameTransmitter::Send sender() {
        return [this](std::span<const std::uint8_t> bytes) { messages.emplace_back(bytes.begin(), bytes.end()); };
    }
};

TEST(FrameTransmitterTest, SendsTheEncodedPacketsInOrderAndCounts) {
    SentPackets sent;
    FrameTransmitter transmitter(FramePacketizer(1200), sent.sender());
    std::vector<EncodedFrame> frames = {testing::makeFrame(1, 1), testing::makeFrame(2, 2400, true),
                                        testing::makeFrame(3, 3000), testing::makeFrame(4, 0)};
    frames[2].cropRect = CGRect(0.1, 5, -300, 200);  // lossy and negative: both writers must agree
    for (const EncodedFrame& frame : frames) transmitter.transmit(frame);

    EXPECT_EQ(transmitter.sentPacketCount(), 7);
    EXPECT_EQ(transmitter.sentFrameCount(), 4);
    // Each message is what the plain packet encoder writes for the packetizer's packets.
    std::vector<Bytes> expected;
    for (const EncodedFrame& frame : frames) {
        for (const FramePacket& packet : FramePacketizer(1200).packetize(frame)) {
            expected.push_back(FramePacketCoding::encode(packet));
        }
    }
    EXPECT_EQ(sent.messages, expected);
}

TEST(FrameTransmitterTest, RefusesAFrameBeforeSendingAnything) {
    SentPackets sent;
    FrameTransmitter transmitter(FramePacketizer(1), sent.sender());
    transmitter.transmit(testing::makeFrame(1, 3));
    EXPECT_THROW(transmitter.transmit(testing::makeFrame(2, 65536)), FrameTransmitter::Error);
    EXPECT_EQ(sent.messages.size(), 3u);
    EXPECT_EQ(transmitter.sentPacketCount(), 3);
    EXPECT_EQ(transmitter.sentFrameCount(), 1);

    // One packet of 2^32 bytes: refused from the sizes alone; the mapping is never read.
    auto bytes = testing::untouchedBytes(std::size_t{1} << 32);
    if (!bytes) GTEST_SKIP() << "no address space for a 4 GiB mapping";
    EncodedFrame huge = testing::makeFrame(3, 0);
    huge.payload = *bytes;
    FrameTransmitter wide(FramePacketizer(std::numeric_limits<std::int64_t>::max()), sent.sender());
    try {
        wide.transmit(huge);
        FAIL() << "transmitted a packet of 2^32 bytes";
    } catch (const FrameTransmitter::Error& error) {
        EXPECT_EQ(error.kind, FrameTransmitter::Error::Kind::packetPayloadTooLarge);
    }
    EXPECT_EQ(wide.sentPacketCount(), 0);
    EXPECT_EQ(sent.messages.size(), 3u);
}

}  // namespace
}  // namespace mivodrell
