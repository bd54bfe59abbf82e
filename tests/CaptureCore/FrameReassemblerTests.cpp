#include "CaptureCore/FrameReassembler.h"
#include <gtest/gtest.h>
#include <map>
#include <random>
#include "CaptureCore/FrameID.h"
#include "FramePacketTestSupport.h"
namespace mivodrell { namespace {
using R = FrameReassembler;
using Bytes = std::vector<std::uint8_t>;
using testing::makePacket;
// Reads a frame ID difference the long way: (a - b) mod 2^32 mapped into [-2^31, 2^31).
bool referenceIsNewer(std::uint32_t a, std::uint32_t b) {
    std::int64_t difference = (std::int64_t{a} - std::int64_t{b}) & 0xFFFF'FFFFll;
    if (difference >= (std::int64_t{1} << 31)) difference -= std::int64_t{1} << 32;
    return difference > 0;
}
// A plain restatement of the reassembly rules with ordered containers, for comparing the
// reassembler against. Meant for frame IDs less than 2^31 apart.
class ReferenceReassembler {
public:
    explicit ReferenceReassembler(std::int64_t limit) : limit(std::max<std::int64_t>(limit, 1)) {}
    FrameReassembler::Outcome ingest(const FramePacket& p) {
        const std::uint32_t f = p.frameID;
        const std::uint16_t i = p.packetIndex;
        if (settled && !referenceIsNewer(f, *settled)) return FrameReassembler::DroppedStale{f};
        auto found = open.find(f);
        if (found != open.end() && found->second.count != p.packetCount) return FrameReassembler::DroppedMalformed{f, i};
        Open entry = found != open.end() ? found->second
                                         : Open{p.packetCount, p.isKeyframe, p.presentationTime, p.cropRect, {}};
        if (i >= entry.count) return FrameReassembler::DroppedMalformed{f, i};
        if (entry.parts.contains(i)) return FrameReassembler::DroppedDuplicate{f, i};
        entry.parts[i] = p.payload.toVector();
        open[f] = entry;
        if (std::ssize(entry.parts) == entry.count) {
            Bytes payload;
            for (const auto& [index, part] : entry.parts) payload.insert(payload.end(), part.begin(), part.end());
            open.erase(f);
            settle(f);
            for (auto it = open.begin(); it != open.end();) {
                if (!referenceIsNewer(f, it->first)) { ++it; continue; }
                count(it->second);
                it = open.erase(it);
            }
            limitOpen();
            return FrameReassembler::Completed{EncodedFrame{f, entry.isKeyframe, entry.presentationTime, std::move(payload), entry.crop}};
        }
        limitOpen();
        if (open.contains(f)) return FrameReassembler::Buffered{f, std::ssize(entry.parts), entry.count};
        return FrameReassembler::Abandoned{f, entry.count - std::ssize(entry.parts)};
    }
    std::int64_t abandoned = 0, lost = 0;
    std::optional<std::uint32_t> settled;
    std::size_t openCount() const { return open.size(); }
private:
    struct Open { std::int64_t count; bool isKeyframe; double presentationTime; CGRect crop; std::map<std::uint16_t, Bytes> parts; };
    void count(const Open& entry) { lost += entry.count - std::ssize(entry.parts), abandoned += 1; }
    void settle(std::uint32_t f) { if (!settled || referenceIsNewer(f, *settled)) settled = f; }
    void limitOpen() {
        while (std::ssize(open) > limit) {
            auto oldest = open.begin();
            for (auto it = open.begin(); it != open.end(); ++it) if (referenceIsNewer(oldest->first, it->first)) oldest = it;
            const std::uint32_t f = oldest->first;
            count(oldest->second);
            open.erase(oldest);
            settle(f);
        }
    }
    std::int64_t limit;
    std::map<std::uint32_t, Open> open;
};
std::string describe(const R::Outcome& outcome) {
    static const char* const names[] = {"completed", "buffered", "stale", "duplicate", "malformed", "abandoned"};
    const std::uint32_t frameID = std::visit([](const auto& o) {
        if constexpr (requires { o.frame; }) return o.frame.frameID; else return o.frameID;
    }, outcome);
    return std::string(names[outcome.index()]) + "(" + std::to_string(frameID) + ")";
}
// A limit below 1 acts as 1, for frames and bytes (the random comparison below starts at 1).
TEST(FrameReassemblerTest, LimitBelowOneActsAsOne) {
    R reassembler(0);
    EXPECT_EQ(reassembler.ingest(makePacket(30, 0, 2)), R::Outcome(R::Buffered{30, 1, 2}));
    EXPECT_EQ(reassembler.ingest(makePacket(31, 0, 2)), R::Outcome(R::Buffered{31, 1, 2})) << "30 given up";
    EXPECT_EQ(std::tuple(reassembler.abandonedFrameCount(), reassembler.lostPacketCount(), reassembler.pendingFrameCount()), std::tuple(1, 1, 1));
    EXPECT_EQ(reassembler.highestSettledFrameID(), 30u);
    EXPECT_EQ(R(1, -5).maxPendingBytes(), 1);
}
// Hostile streams: frames opened and overtaken at random, contradicting counts, out-of-range and repeated
// indexes, IDs crossing the wrap. Every outcome and counter must match the reference.
TEST(FrameReassemblerTest, MatchesThePlainRulesOnRandomStreams) {
    for (const std::uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        std::mt19937 random(seed);
        const std::int64_t limit = 1 + seed % 4;
        R reassembler(limit);
        ReferenceReassembler reference(limit);
        std::uint32_t base = 0xFFFFFFFFu - 300u;
        std::map<std::uint32_t, std::uint16_t> counts;
        for (int step = 0; step < 20000; ++step) {
            if (random() % 8 == 0) base += 1;
            const std::uint32_t frameID = base + static_cast<std::uint32_t>(random() % 12) - 3u;
            std::uint16_t count = counts.try_emplace(frameID, static_cast<std::uint16_t>(1 + random() % 6)).first->second;
            if (random() % 50 == 0) count = static_cast<std::uint16_t>(random() % 8);
            const auto index = static_cast<std::uint16_t>(random() % (count + 1u));
            Bytes payload(random() % 5);
            for (auto& byte : payload) byte = static_cast<std::uint8_t>(random());
            const FramePacket p = makePacket(frameID, index, count, payload);
            const R::Outcome got = reassembler.ingest(p), expected = reference.ingest(p);
            ASSERT_EQ(got, expected) << "seed " << seed << " step " << step << ": got " << describe(got) << ", expected "
                                     << describe(expected);
            ASSERT_EQ(reassembler.abandonedFrameCount(), reference.abandoned);
            ASSERT_EQ(reassembler.lostPacketCount(), reference.lost);
            ASSERT_EQ(reassembler.highestSettledFrameID(), reference.settled);
            ASSERT_EQ(reassembler.pendingFrameCount(), static_cast<std::int64_t>(reference.openCount()));
            ASSERT_LE(reassembler.pendingFrameCount(), limit);
        }
        EXPECT_GT(reassembler.abandonedFrameCount(), 100) << seed;
    }
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
