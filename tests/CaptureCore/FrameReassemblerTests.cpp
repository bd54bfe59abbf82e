#include "CaptureCore/FrameReassembler.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "CaptureCore/FrameID.h"
#include "CaptureCore/FramePacketizer.h"
#include "FramePacketTestSupport.h"
#include "ReferenceReassembler.h"

namespace mivodrell {
namespace {

using R = FrameReassembler;
using Bytes = std::vector<std::uint8_t>;

FramePacket packet(std::uint32_t frameID, std::uint16_t index, std::uint16_t count, Bytes payload = {}) {
    FramePacket p;
    p.frameID = frameID;
    p.packetIndex = index;
    p.packetCount = count;
    p.presentationTime = frameID * 0.5;
    p.isKeyframe = (frameID % 2) == 0;
    p.cropRect = CGRect(1, 2, 3, 4);
    if (payload.empty()) payload = {static_cast<std::uint8_t>(frameID), static_cast<std::uint8_t>(index)};
    p.payload = std::move(payload);
    return p;
}

std::string describe(const R::Outcome& outcome) {
    return std::visit(
        [](const auto& o) -> std::string {
            using T = std::decay_t<decltype(o)>;
            if constexpr (std::is_same_v<T, R::Completed>) return "completed(" + std::to_string(o.frame.frameID) + ")";
            if constexpr (std::is_same_v<T, R::Buffered>)
                return "buffered(" + std::to_string(o.frameID) + ", " + std::to_string(o.received) + ", " +
                       std::to_string(o.expected) + ")";
            if constexpr (std::is_same_v<T, R::DroppedStale>) return "droppedStale(" + std::to_string(o.frameID) + ")";
            if constexpr (std::is_same_v<T, R::DroppedDuplicate>)
                return "droppedDuplicate(" + std::to_string(o.frameID) + ", " + std::to_string(o.packetIndex) + ")";
            if constexpr (std::is_same_v<T, R::DroppedMalformed>)
                return "droppedMalformed(" + std::to_string(o.frameID) + ", " + std::to_string(o.packetIndex) + ")";
            if constexpr (std::is_same_v<T, R::Abandoned>)
                return "abandoned(" + std::to_string(o.frameID) + ", " + std::to_string(o.missing) + ")";
        },
        outcome);
}

EncodedFrame frameOf(std::uint32_t frameID, Bytes payload) {
    const FramePacket p = packet(frameID, 0, 1);
    return EncodedFrame{frameID, p.isKeyframe, p.presentationTime, std::move(payload), p.cropRect};
}

struct Step {
    FramePacket packet;
    R::Outcome outcome;
};

struct Scenario {
    std::string name;
    std::int64_t maxPendingFrames;
    std::vector<Step> steps;
    std::int64_t abandoned;
    std::int64_t lost;
    std::int64_t pending;
    std::optional<std::uint32_t> settled;
};

TEST(FrameReassemblerTest, Scenarios) {
    const std::uint32_t last = 0xFFFFFFFF;
    const std::vector<Scenario> scenarios = {
        {"one packet completes at once", 4,
         {{packet(7, 0, 1, {5, 6}), R::Completed{frameOf(7, {5, 6})}}}, 0, 0, 0, 7},
        {"empty single packet",
         4,
         {{[] {
               FramePacket p = packet(8, 0, 1);
               p.payload = {};
               return p;
           }(),
           R::Completed{frameOf(8, {})}}},
         0, 0, 0, 8},
        {"order 2, 0, 1",
         4,
         {{packet(5, 2, 3, {3}), R::Buffered{5, 1, 3}},
          {packet(5, 0, 3, {1}), R::Buffered{5, 2, 3}},
          {packet(5, 1, 3, {2}), R::Completed{frameOf(5, {1, 2, 3})}}},
         0, 0, 0, 5},
        {"duplicate, then stale after completion",
         4,
         {{packet(5, 1, 2, {2}), R::Buffered{5, 1, 2}},
          {packet(5, 1, 2, {9}), R::DroppedDuplicate{5, 1}},
          {packet(5, 0, 2, {1}), R::Completed{frameOf(5, {1, 2})}},
          {packet(5, 0, 2), R::DroppedStale{5}},
          {packet(4, 0, 1), R::DroppedStale{4}}},
         0, 0, 0, 5},
        {"malformed packets open nothing",
         4,
         {{packet(5, 0, 0), R::DroppedMalformed{5, 0}},
          {packet(5, 3, 3), R::DroppedMalformed{5, 3}},
          {packet(5, 0, 3), R::Buffered{5, 1, 3}},
          {packet(5, 1, 4), R::DroppedMalformed{5, 1}},
          {packet(5, 3, 3), R::DroppedMalformed{5, 3}}},
         0, 0, 1, std::nullopt},
        {"completing 12 abandons 10",
         4,
         {{packet(10, 0, 3), R::Buffered{10, 1, 3}},
          {packet(10, 2, 3), R::Buffered{10, 2, 3}},
          {packet(12, 0, 1, {12}), R::Completed{frameOf(12, {12})}},
          {packet(10, 1, 3), R::DroppedStale{10}},
          {packet(11, 0, 1), R::DroppedStale{11}}},
         1, 1, 0, 12},
        {"pending limit evicts the oldest",
         2,
         {{packet(20, 0, 2), R::Buffered{20, 1, 2}},
          {packet(21, 0, 3), R::Buffered{21, 1, 3}},
          {packet(22, 0, 4), R::Buffered{22, 1, 4}},
          {packet(20, 1, 2), R::DroppedStale{20}}},
         1, 1, 2, 20},
        {"pending limit evicts the newcomer when it is the oldest",
         2,
         {{packet(20, 0, 2), R::Buffered{20, 1, 2}},
          {packet(21, 0, 3), R::Buffered{21, 1, 3}},
          {packet(19, 0, 5), R::Abandoned{19, 4}}},
         1, 4, 2, 19},
        {"frame IDs wrap",
         4,
         {{packet(last, 0, 2), R::Buffered{last, 1, 2}},
          {packet(0, 0, 1, {0}), R::Completed{frameOf(0, {0})}},
          {packet(last, 1, 2), R::DroppedStale{last}},
          {packet(1, 0, 1, {1}), R::Completed{frameOf(1, {1})}}},
         1, 1, 0, 1},
        {"limit below 1 acts as 1",
         0,
         {{packet(30, 0, 2), R::Buffered{30, 1, 2}}, {packet(31, 0, 2), R::Buffered{31, 1, 2}}},
         1, 1, 1, 30},
    };
    for (const Scenario& s : scenarios) {
        R reassembler(s.maxPendingFrames);
        for (std::size_t i = 0; i < s.steps.size(); ++i) {
            const R::Outcome outcome = reassembler.ingest(s.steps[i].packet);
            EXPECT_EQ(outcome, s.steps[i].outcome)
                << s.name << " step " << i << ": got " << describe(outcome) << ", expected "
                << describe(s.steps[i].outcome);
        }
        EXPECT_EQ(reassembler.abandonedFrameCount(), s.abandoned) << s.name;
        EXPECT_EQ(reassembler.lostPacketCount(), s.lost) << s.name;
        EXPECT_EQ(reassembler.pendingFrameCount(), s.pending) << s.name;
        EXPECT_EQ(reassembler.highestSettledFrameID(), s.settled) << s.name;
    }
    EXPECT_EQ(R(-5).maxPendingFrames(), 1);
}

TEST(FrameReassemblerTest, ResetForgetsEverythingButTheLimit) {
    R reassembler(2);
    reassembler.ingest(packet(10, 0, 2));
    reassembler.ingest(packet(11, 0, 1));
    ASSERT_EQ(reassembler.abandonedFrameCount(), 1);
    reassembler.reset();
    EXPECT_EQ(reassembler.pendingFrameCount(), 0);
    EXPECT_EQ(reassembler.abandonedFrameCount(), 0);
    EXPECT_EQ(reassembler.lostPacketCount(), 0);
    EXPECT_EQ(reassembler.highestSettledFrameID(), std::nullopt);
    EXPECT_EQ(reassembler.maxPendingFrames(), 2);
    EXPECT_EQ(reassembler.ingest(packet(3, 0, 1)), R::Outcome(R::Completed{frameOf(3, {3, 0})}));
}

TEST(FrameReassemblerTest, RoundTripsPacketizedFramesInAnyOrder) {
    std::mt19937 random(42);
    for (const std::size_t size : {0u, 1u, 1199u, 1200u, 1201u, 2399u, 2400u, 2401u, 250'000u}) {
        EncodedFrame frame = testing::makeFrame(static_cast<std::uint32_t>(size), size, size % 2 == 0, 9);
        frame.cropRect = CGRect(-8, 0.5, 1280, 720);
        auto packets = FramePacketizer(1200).packetize(frame);
        std::shuffle(packets.begin(), packets.end(), random);
        R reassembler(1);
        for (std::size_t i = 0; i + 1 < packets.size(); ++i) {
            ASSERT_TRUE(std::holds_alternative<R::Buffered>(reassembler.ingest(packets[i])));
        }
        const R::Outcome outcome = reassembler.ingest(packets.back());
        ASSERT_TRUE(std::holds_alternative<R::Completed>(outcome)) << size;
        EXPECT_EQ(std::get<R::Completed>(outcome).frame, frame) << size;
        if (packets.size() == 1) {
            // A frame of one packet is handed on without joining.
            EXPECT_EQ(std::get<R::Completed>(outcome).frame.payload.data(), frame.payload.data());
        }
    }
}

// Hostile streams: frames opened and overtaken at random, contradicting counts, out-of-range and
// repeated indexes, IDs crossing the wrap. Every outcome and counter must match the reference.
TEST(FrameReassemblerTest, MatchesThePlainRulesOnRandomStreams) {
    for (const std::uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        std::mt19937 random(seed);
        const std::int64_t limit = 1 + seed % 4;
        R reassembler(limit);
        testing::ReferenceReassembler reference(limit);
        std::uint32_t base = 0xFFFFFFFFu - 300u;
        std::map<std::uint32_t, std::uint16_t> counts;
        for (int step = 0; step < 20000; ++step) {
            if (random() % 8 == 0) base += 1;
            const std::uint32_t frameID = base + static_cast<std::uint32_t>(random() % 12) - 3u;
            auto& frameCount = counts.try_emplace(frameID, static_cast<std::uint16_t>(1 + random() % 6)).first->second;
            std::uint16_t count = frameCount;
            if (random() % 50 == 0) count = static_cast<std::uint16_t>(random() % 8);
            const auto index = static_cast<std::uint16_t>(random() % (count + 1u));
            Bytes payload(random() % 5);
            for (auto& byte : payload) byte = static_cast<std::uint8_t>(random());
            FramePacket p = packet(frameID, index, count, {});
            p.payload = std::move(payload);

            const R::Outcome got = reassembler.ingest(p);
            const R::Outcome expected = reference.ingest(p);
            ASSERT_EQ(got, expected) << "seed " << seed << " step " << step << ": got " << describe(got)
                                     << ", expected " << describe(expected);
            ASSERT_EQ(reassembler.abandonedFrameCount(), reference.abandoned);
            ASSERT_EQ(reassembler.lostPacketCount(), reference.lost);
            ASSERT_EQ(reassembler.highestSettledFrameID(), reference.settled);
            ASSERT_EQ(reassembler.pendingFrameCount(), std::ssize(std::vector<int>(reference.openCount())));
            ASSERT_LE(reassembler.pendingFrameCount(), limit);
        }
        EXPECT_GT(reassembler.abandonedFrameCount(), 100) << seed;
    }
}

TEST(FrameReassemblerTest, AFloodOfFrameIDsStaysWithinThePendingLimit) {
    R reassembler(8);
    std::mt19937 random(7);
    std::set<std::uint32_t> used;
    std::int64_t opened = 0;
    std::int64_t stale = 0;
    while (used.size() < 100000) {
        const auto frameID = static_cast<std::uint32_t>(random());
        if (!used.insert(frameID).second) continue;
        // Every packet claims the largest frame and one of its last indexes.
        const auto outcome = reassembler.ingest(packet(frameID, static_cast<std::uint16_t>(65534 - random() % 4), 65535));
        if (std::holds_alternative<R::DroppedStale>(outcome)) {
            stale += 1;
        } else {
            ASSERT_TRUE(std::holds_alternative<R::Buffered>(outcome) || std::holds_alternative<R::Abandoned>(outcome));
            opened += 1;
        }
        ASSERT_LE(reassembler.pendingFrameCount(), 8);
    }
    EXPECT_GT(stale, 10000);
    EXPECT_GT(opened, 10000);
    EXPECT_EQ(reassembler.abandonedFrameCount() + reassembler.pendingFrameCount(), opened);
    EXPECT_EQ(reassembler.lostPacketCount(), reassembler.abandonedFrameCount() * 65534);
}

TEST(FrameIDTest, ComparesAcrossTheWrap) {
    struct Case {
        std::uint32_t a, b;
        bool newer, older;
    };
    const Case cases[] = {
        {1, 0, true, false},         {0, 0xFFFFFFFF, true, false}, {0xFFFFFFFF, 0, false, true},
        {5, 5, false, false},        {0x7FFFFFFF, 0, true, false}, {0x80000000, 0, false, true},
        {0, 0x80000000, false, true}, {100, 0xFFFFFF00, true, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FrameID::isNewer(c.a, c.b), c.newer) << c.a << " vs " << c.b;
        EXPECT_EQ(FrameID::isOlder(c.a, c.b), c.older) << c.a << " vs " << c.b;
        EXPECT_EQ(FrameID::isNewer(c.a, c.b), testing::referenceIsNewer(c.a, c.b));
    }
    EXPECT_EQ(FrameID::newer(0xFFFFFFFF, 2), 2u);
    EXPECT_EQ(FrameID::distance(3, 0xFFFFFFFE), 5);
}

}  // namespace
}  // namespace mivodrell
