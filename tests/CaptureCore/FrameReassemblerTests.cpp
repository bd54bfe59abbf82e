#include "CaptureCore/FrameReassembler.h"
#include <gtest/gtest.h>
#include "CaptureCore/FrameID.h"
#include "FramePacketTestSupport.h"
namespace mivodrell { namespace {
using R = FrameReassembler;
using Bytes = std::vector<std::uint8_t>;
using testing::makePacket;
// Scripted streams: every packet's outcome (of a completed frame only its ID), then the counters.
TEST(FrameReassemblerTest, Scripts) {
    struct P { std::uint32_t frame; std::uint16_t index, count; R::Outcome expected; };
    struct Script { const char* name; std::int64_t limit; std::vector<P> packets; std::int64_t abandoned, lost, pending; std::optional<std::uint32_t> settled; };
    const R::Completed done;
    const Script scripts[] = {
        {"in any order, each frame once", 4, {{7, 1, 2, R::Buffered{7, 1, 2}}, {7, 0, 2, done}, {7, 0, 2, R::DroppedStale{7}}}, 0, 0, 0, 7},
        {"repeats and contradictions are ignored", 4,
         {{1, 0, 3, R::Buffered{1, 1, 3}}, {1, 0, 3, R::DroppedDuplicate{1, 0}}, {1, 1, 2, R::DroppedMalformed{1, 1}},
          {1, 3, 3, R::DroppedMalformed{1, 3}}, {2, 0, 0, R::DroppedMalformed{2, 0}}, {2, 4, 3, R::DroppedMalformed{2, 4}},
          {1, 2, 3, R::Buffered{1, 2, 3}}}, 0, 0, 1, std::nullopt},
        {"a completed frame gives up the older ones", 4,
         {{1, 0, 3, R::Buffered{1, 1, 3}}, {4, 0, 2, R::Buffered{4, 1, 2}}, {2, 0, 2, R::Buffered{2, 1, 2}}, {3, 0, 1, done},
          {2, 1, 2, R::DroppedStale{2}}, {4, 1, 2, done}}, 2, 3, 0, 4},
        {"the oldest open frame makes room", 2,
         {{11, 0, 2, R::Buffered{11, 1, 2}}, {10, 0, 3, R::Buffered{10, 1, 3}}, {12, 0, 2, R::Buffered{12, 1, 2}},
          {10, 1, 3, R::DroppedStale{10}}, {9, 0, 2, R::DroppedStale{9}}, {11, 1, 2, done}}, 1, 2, 1, 11},
        {"an older frame gives itself up", 1, {{5, 0, 2, R::Buffered{5, 1, 2}}, {4, 0, 3, R::Abandoned{4, 2}}}, 1, 2, 1, 4},
        {"a limit below 1 acts as 1", 0, {{30, 0, 2, R::Buffered{30, 1, 2}}, {31, 0, 2, R::Buffered{31, 1, 2}}}, 1, 1, 1, 30},
        {"across the wrap", 1,
         {{0xFFFFFFFE, 0, 2, R::Buffered{0xFFFFFFFE, 1, 2}}, {0xFFFFFFFF, 0, 3, R::Buffered{0xFFFFFFFF, 1, 3}},
          {1, 0, 1, done}, {0, 0, 1, R::DroppedStale{0}}}, 2, 3, 0, 1},
    };
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.name);
        R reassembler(script.limit);
        for (const P& p : script.packets) {
            const R::Outcome got = reassembler.ingest(makePacket(p.frame, p.index, p.count));
            if (std::holds_alternative<R::Completed>(p.expected)) {
                EXPECT_TRUE(std::holds_alternative<R::Completed>(got) && std::get<R::Completed>(got).frame.frameID == p.frame) << p.frame;
            } else {
                EXPECT_EQ(got, p.expected) << "frame " << p.frame << " packet " << p.index << ": outcome " << got.index();
            }
        }
        EXPECT_EQ(std::tuple(reassembler.abandonedFrameCount(), reassembler.lostPacketCount(), reassembler.pendingFrameCount()),
                  std::tuple(script.abandoned, script.lost, script.pending));
        EXPECT_EQ(reassembler.highestSettledFrameID(), script.settled);
    }
    EXPECT_EQ(R(1, -5).maxPendingBytes(), 1);  // the byte limit too
}
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
            const auto outcome = reassembler.ingest(makePacket(step.frameID, step.index, step.count, Bytes(step.size, 0x5A)));
            EXPECT_EQ(outcome.index(), step.outcome) << "frame " << step.frameID << " packet " << step.index;
            EXPECT_EQ(reassembler.pendingPayloadBytes(), step.pendingBytes);
        }
        EXPECT_EQ(reassembler.abandonedFrameCount(), scenario.abandoned);
        EXPECT_EQ(reassembler.lostPacketCount(), scenario.lost);
        EXPECT_EQ(reassembler.highestSettledFrameID(), scenario.settled);
        reassembler.reset();
        EXPECT_EQ(reassembler.pendingPayloadBytes(), 0);
    }
    EXPECT_EQ(R(4).maxPendingBytes(), R::defaultMaxPendingBytes);
}
TEST(FrameIDTest, ComparesAcrossTheWrap) {
    struct Case { std::uint32_t a, b; bool newer, older; };
    const Case cases[] = {{1, 0, true, false}, {0, 0xFFFFFFFF, true, false}, {0xFFFFFFFF, 0, false, true},
                          {5, 5, false, false}, {0x7FFFFFFF, 0, true, false}, {0x80000000, 0, false, true},
                          {0, 0x80000000, false, true}, {100, 0xFFFFFF00, true, false}};
    for (const Case& c : cases) {
        EXPECT_EQ(FrameID::isNewer(c.a, c.b), c.newer) << c.a << " vs " << c.b;
        EXPECT_EQ(FrameID::isOlder(c.a, c.b), c.older) << c.a << " vs " << c.b;
    }
    EXPECT_EQ(FrameID::newer(0xFFFFFFFF, 2), 2u);
    EXPECT_EQ(FrameID::distance(3, 0xFFFFFFFE), 5);
}
}}  // namespace mivodrell
