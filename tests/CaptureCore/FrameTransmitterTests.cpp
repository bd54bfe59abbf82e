#include "CaptureCore/FrameTransmitter.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "CaptureCore/FramePacketCoding.h"
#include "CaptureCore/FramePacketizer.h"
#include "FramePacketTestSupport.h"

namespace mivodrell {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Error = FramePacketizer::Error;

std::vector<std::size_t> payloadSizes(const std::vector<FramePacket>& packets) {
    std::vector<std::size_t> sizes;
    for (const FramePacket& packet : packets) sizes.push_back(packet.payload.size());
    return sizes;
}

TEST(FramePacketizerTest, CutsPayloadsAroundThePacketBoundaries) {
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
    };
    for (const Case& c : cases) {
        const EncodedFrame frame = testing::makeFrame(77, c.payloadSize, true, 3);
        const auto packets = FramePacketizer(c.maxPayloadBytes).packetize(frame);
        ASSERT_EQ(payloadSizes(packets), c.packetSizes) << c.maxPayloadBytes << " / " << c.payloadSize;
        Bytes joined;
        for (std::size_t i = 0; i < packets.size(); ++i) {
            const FramePacket& packet = packets[i];
            EXPECT_EQ(packet.packetIndex, i);
            EXPECT_EQ(packet.packetCount, packets.size());
            EXPECT_EQ(packet.frameID, 77u);
            EXPECT_TRUE(packet.isKeyframe);
            EXPECT_EQ(packet.presentationTime, frame.presentationTime);
            EXPECT_TRUE(identical(packet.cropRect, frame.cropRect));
            // Slices of the frame's own buffer, not copies.
            if (!packet.payload.empty()) {
                EXPECT_TRUE(packet.payload.sharesStorageWith(frame.payload));
            }
            joined.insert(joined.end(), packet.payload.begin(), packet.payload.end());
        }
        EXPECT_EQ(joined, frame.payload.toVector());
        if (packets.size() == 1) {
            EXPECT_EQ(packets[0].payload.data(), frame.payload.data());
        }
    }
}

TEST(FramePacketizerTest, OneBytePacketsUpToTheLargestCount) {
    const auto packets = FramePacketizer(1).packetize(testing::makeFrame(1, 65535));
    ASSERT_EQ(packets.size(), 65535u);
    EXPECT_EQ(packets.back().packetIndex, 65534);
    EXPECT_EQ(packets.back().packetCount, 65535);
}

TEST(FramePacketizerTest, RefusesWhatThePacketFormatCannotDescribe) {
    constexpr std::uint64_t fourGiB = std::uint64_t{1} << 32;
    constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
    constexpr auto uint64Max = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        std::int64_t maxPayloadBytes;
        std::uint64_t payloadBytes;
        std::optional<std::uint16_t> count;
        Error::Kind kind = Error::Kind::tooManyPackets;
    };
    const std::vector<Case> cases = {
        {1200, 78'642'000, 65535},
        {1200, 78'642'001, std::nullopt, Error::Kind::tooManyPackets},
        {1, 65536, std::nullopt, Error::Kind::tooManyPackets},
        // (L + M - 1) / M would overflow here and give a tiny count.
        {int64Max, uint64Max, std::nullopt, Error::Kind::packetPayloadTooLarge},
        {int64Max, 4'000'000'000, 1},
        {int64Max, fourGiB, std::nullopt, Error::Kind::packetPayloadTooLarge},
        {static_cast<std::int64_t>(fourGiB) - 1, fourGiB * 3, 4},
        {static_cast<std::int64_t>(fourGiB), fourGiB + 1, std::nullopt, Error::Kind::packetPayloadTooLarge},
        {2, uint64Max, std::nullopt, Error::Kind::tooManyPackets},
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
            EXPECT_EQ(error.kind, Error::Kind::invalidMaxPayloadBytes);
            EXPECT_EQ(error.maxPayloadBytes, invalid);
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
    ASSERT_EQ(sent.messages.size(), 7u);
    EXPECT_EQ(sent.messages.back().size(), 40u);
    EXPECT_EQ(sent.messages[5].size(), 640u);
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
    const std::size_t size = std::size_t{1} << 32;
    void* address = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (address == MAP_FAILED) GTEST_SKIP() << "no address space for a 4 GiB mapping";
    const std::shared_ptr<const void> owner(address, [size](const void* p) { munmap(const_cast<void*>(p), size); });
    EncodedFrame huge = testing::makeFrame(3, 0);
    huge.payload = SharedBytes(owner, {static_cast<const std::uint8_t*>(address), size});
    FrameTransmitter wide(FramePacketizer(std::numeric_limits<std::int64_t>::max()), sent.sender());
    try {
        wide.transmit(huge);
        FAIL() << "transmitted a packet of 2^32 bytes";
    } catch (const FrameTransmitter::Error& error) {
        EXPECT_EQ(error.kind, FrameTransmitter::Error::Kind::packetPayloadTooLarge);
    }
    EXPECT_EQ(wide.sentPacketCount(), 0);
    EXPECT_EQ(wide.sentFrameCount(), 0);
    EXPECT_EQ(sent.messages.size(), 3u);
}

}  // namespace
}  // namespace mivodrell
