#include "CaptureCore/FrameReassembler.h"
#include <gtest/gtest.h>
#include <cstdint>
#include <vector>
#include "FramePacketTestSupport.h"
namespace mivodrell { namespace {
using R = FrameReassembler;
using testing::makePacket;
std::vector<std::uint8_t> bytes(std::size_t size) { return std::vector<std::uint8_t>(size, 0x5A); }
TEST(FrameReassemblerBudget, OldestOpenFrameIsGivenUpPastTheByteBudget) {
    struct Step { std::uint32_t frameID; std::uint16_t index, count; std::size_t size, outcome /* index into R::Outcome */; std::int64_t pendingBytes; };
    struct Scenario { const char* name; std::vector<Step> steps; std::int64_t abandoned, lost; std::optional<std::uint32_t> settled; };
    constexpr std::size_t buffered = 1, stale = 2, abandoned = 5, completed = 0;
    const Scenario scenarios[] = {
        {"a frame declaring 65535 packets gives itself up",
         {{1, 0, 65535, 40, buffered, 40}, {1, 1, 65535, 40, buffered, 80}, {1, 2, 65535, 40, abandoned, 0}, {1, 3, 65535, 40, stale, 0}},
         1, 65532, 1},
        {"the older of two open frames goes first",
         {{1, 0, 3, 40, buffered, 40}, {1, 1, 3, 40, buffered, 80}, {2, 0, 3, 40, buffered, 40}, {1, 2, 3, 40, stale, 40}}, 1, 1, 1},
        {"completing a frame returns its bytes",
         {{1, 0, 3, 40, buffered, 40}, {1, 1, 3, 40, buffered, 80}, {1, 2, 3, 20, completed, 0}, {2, 0, 2, 60, buffered, 60},
          {2, 1, 2, 40, completed, 0}}, 0, 0, 2},
        {"exactly at the budget keeps the frame", {{1, 0, 2, 100, buffered, 100}}, 0, 0, std::nullopt}};
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        R reassembler(8, 100);
        for (const Step& step : scenario.steps) {
            const auto outcome = reassembler.ingest(makePacket(step.frameID, step.index, step.count, bytes(step.size)));
            EXPECT_EQ(outcome.index(), step.outcome) << "frame " << step.frameID << " packet " << step.index;
            EXPECT_EQ(reassembler.pendingPayloadBytes(), step.pendingBytes);
        }
        EXPECT_EQ(reassembler.abandonedFrameCount(), scenario.abandoned);
        EXPECT_EQ(reassembler.lostPacketCount(), scenario.lost);
        EXPECT_EQ(reassembler.highestSettledFrameID(), scenario.settled);
    }
}
// Frames of two 100-byte packets: an open frame holds one packet, two hold more than a budget of 150 bytes, so
// the budget gives frames up exactly as a limit of one open frame does, with the same outcomes and counts.
TEST(FrameReassemblerBudget, GivesUpLikeThePendingFrameLimit) {
    R byFrames(1), byBytes(64, 150);
    std::uint32_t state = 7;
    for (int i = 0; i < 5000; ++i) {
        state = state * 1664525u + 1013904223u;
        // Packets of nearby frames, out of order, some repeated.
        const FramePacket packet = makePacket(static_cast<std::uint32_t>(i / 3) + (state >> 30), static_cast<std::uint16_t>((state >> 20) % 2), 2, bytes(100));
        ASSERT_EQ(byFrames.ingest(packet).index(), byBytes.ingest(packet).index()) << "packet " << i;
        ASSERT_EQ(byFrames.lostPacketCount(), byBytes.lostPacketCount());
        ASSERT_EQ(byFrames.abandonedFrameCount(), byBytes.abandonedFrameCount());
        ASSERT_EQ(byFrames.highestSettledFrameID(), byBytes.highestSettledFrameID());
    }
    EXPECT_GT(byBytes.abandonedFrameCount(), 0);
}
TEST(FrameReassemblerBudget, HostileFramesNeverHoldMoreThanTheBudget) {
    constexpr std::int64_t budget = 1 << 20;
    R reassembler(4, budget);
    EXPECT_EQ(R(4).maxPendingBytes(), R::defaultMaxPendingBytes);
    // Four frames, each declaring 65535 packets of 1200 bytes: 300 MB if all were kept.
    for (std::uint16_t index = 0; index < 2000; ++index) {
        for (std::uint32_t frameID = 1; frameID <= 4; ++frameID) {
            reassembler.ingest(makePacket(frameID, index, 65535, bytes(1200)));
            ASSERT_LE(reassembler.pendingPayloadBytes(), budget);
        }
    }
    EXPECT_GT(reassembler.abandonedFrameCount(), 0);
    reassembler.reset();
    EXPECT_EQ(reassembler.pendingPayloadBytes(), 0);
}
}}  // namespace mivodrell
