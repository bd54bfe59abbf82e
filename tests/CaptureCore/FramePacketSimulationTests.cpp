// End to end: frames through the transmitter, a channel that drops, repeats and reorders
// messages, and the receiver on the other end, with the host answering keyframe requests.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "CaptureCore/FramePacketCoding.h"
#include "CaptureCore/FrameReceiver.h"
#include "CaptureCore/FrameTransmitter.h"
#include "FramePacketTestSupport.h"
#include "ReferenceReassembler.h"

namespace mivodrell {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct SimulationCase {
    std::string name;
    std::uint64_t seed;
    std::uint32_t firstFrameID;
    int frameCount;
    double dropProbability;
    double duplicateProbability;
    // Messages held back and released in random order; 0 delivers each frame's packets at once
    // (shuffled among themselves when shuffleWithinFrame is set).
    std::size_t reorderWindow;
    bool shuffleWithinFrame;
    std::int64_t maxPendingFrames;
    bool lossTolerant;
    // Frames overtaken by a newer completed frame are given up, so reordering across frames
    // costs frames too; this is the least share that must get through.
    double minDeliveredShare;
};

void PrintTo(const SimulationCase& c, std::ostream* out) { *out << c.name; }

class FramePacketSimulation : public ::testing::TestWithParam<SimulationCase> {};

TEST_P(FramePacketSimulation, DeliversIntactFramesInOrderAndAsksForKeyframesSparingly) {
    const SimulationCase& c = GetParam();
    std::mt19937_64 random(c.seed);
    std::bernoulli_distribution drop(c.dropProbability);
    std::bernoulli_distribution duplicate(c.duplicateProbability);
    std::uniform_int_distribution<std::size_t> payloadSize(0, 6000);
    const double frameInterval = 1.0 / 60.0;
    double now = 100.0;

    // Receiving side.
    FrameReceiver receiver(FrameReassembler(c.maxPendingFrames), KeyframeRequestPolicy());
    receiver.setLossTolerant(c.lossTolerant);
    testing::ReferenceReassembler reference(c.maxPendingFrames);
    std::vector<EncodedFrame> delivered;
    std::vector<EncodedFrame> expectedByReference;
    std::vector<double> requestTimes;
    bool keyframeRequested = false;
    receiver.onFrame = [&](const EncodedFrame& frame) { delivered.push_back(frame); };
    receiver.onMalformedData = [](const FramePacketCoding::DecodeError& error) {
        ADD_FAILURE() << "a sent packet did not decode: " << error.description();
    };
    receiver.onRequestKeyframe = [&] {
        requestTimes.push_back(now);
        keyframeRequested = true;
    };
    auto deliver = [&](const Bytes& message) {
        receiver.receive(message, now);
        const auto decoded = FramePacketCoding::decode(message);
        const auto outcome = reference.ingest(std::get<FramePacket>(decoded));
        if (const auto* completed = std::get_if<FrameReassembler::Completed>(&outcome)) {
            expectedByReference.push_back(completed->frame);
        }
    };

    // The channel.
    std::vector<Bytes> inFlight;
    std::vector<Bytes> frameMessages;
    std::map<std::uint32_t, std::set<std::uint16_t>> arrivingIndexes;
    std::uint32_t currentFrameID = 0;
    std::uint16_t nextIndex = 0;
    auto releaseOne = [&] {
        std::uniform_int_distribution<std::size_t> pick(0, inFlight.size() - 1);
        const std::size_t chosen = pick(random);
        std::swap(inFlight[chosen], inFlight.back());
        const Bytes message = std::move(inFlight.back());
        inFlight.pop_back();
        deliver(message);
    };

    // Sending side.
    FrameTransmitter transmitter(FramePacketizer(1000), [&](std::span<const std::uint8_t> bytes) {
        const std::uint16_t index = nextIndex++;
        int copies = drop(random) ? 0 : 1;
        if (duplicate(random)) copies += 1;
        if (copies > 0) arrivingIndexes[currentFrameID].insert(index);
        for (int copy = 0; copy < copies; ++copy) frameMessages.emplace_back(bytes.begin(), bytes.end());
    });
    std::map<std::uint32_t, EncodedFrame> sent;
    std::map<std::uint32_t, std::uint16_t> packetCounts;

    for (int k = 0; k < c.frameCount; ++k) {
        const std::uint32_t frameID = c.firstFrameID + static_cast<std::uint32_t>(k);
        EncodedFrame frame = testing::makeFrame(frameID, payloadSize(random), k % 240 == 0 || keyframeRequested,
                                                static_cast<std::uint32_t>(random()));
        keyframeRequested = false;
        frame.cropRect = CGRect(k % 7, 0.25 * (k % 5), 1920 + k % 3, 1080);  // exact in single precision
        sent[frameID] = frame;
        currentFrameID = frameID;
        nextIndex = 0;
        transmitter.transmit(frame);
        packetCounts[frameID] = nextIndex;

        if (c.shuffleWithinFrame) std::shuffle(frameMessages.begin(), frameMessages.end(), random);
        for (Bytes& message : frameMessages) {
            if (c.reorderWindow == 0) {
                deliver(message);
                continue;
            }
            inFlight.push_back(std::move(message));
            while (inFlight.size() > c.reorderWindow) releaseOne();
        }
        frameMessages.clear();
        now += frameInterval;
        receiver.expireOutstandingRequest(now);
    }
    while (!inFlight.empty()) releaseOne();

    // Frames delivered at most once, in increasing wrap-aware order, exactly as sent, and only
    // frames whose every packet got through.
    std::set<std::uint32_t> deliveredIDs;
    for (std::size_t i = 0; i < delivered.size(); ++i) {
        const EncodedFrame& frame = delivered[i];
        ASSERT_TRUE(deliveredIDs.insert(frame.frameID).second) << "delivered twice: " << frame.frameID;
        if (i > 0) {
            ASSERT_TRUE(testing::referenceIsNewer(frame.frameID, delivered[i - 1].frameID));
        }
        ASSERT_TRUE(sent.contains(frame.frameID));
        ASSERT_EQ(frame, sent.at(frame.frameID)) << frame.frameID;
        ASSERT_EQ(arrivingIndexes[frame.frameID].size(), packetCounts.at(frame.frameID)) << frame.frameID;
    }

    // Counters agree with the plain rules and with what the channel dropped.
    const FrameReassembler& reassembler = receiver.reassembler();
    EXPECT_EQ(delivered, expectedByReference);
    EXPECT_EQ(reassembler.abandonedFrameCount(), reference.abandoned);
    EXPECT_EQ(reassembler.lostPacketCount(), reference.lost);
    EXPECT_EQ(receiver.lostPacketCount(), reference.lost);
    if (c.dropProbability == 0 && c.reorderWindow == 0) {
        EXPECT_EQ(std::ssize(delivered), c.frameCount);
        EXPECT_EQ(reassembler.lostPacketCount(), 0);
        EXPECT_TRUE(requestTimes.empty());
    } else {
        // Frames still get through, and the losses were noticed.
        EXPECT_GE(static_cast<double>(delivered.size()), c.minDeliveredShare * c.frameCount);
        EXPECT_GT(reassembler.abandonedFrameCount(), 0);
        EXPECT_FALSE(requestTimes.empty());
    }
    // Every request reached the host. The request timing itself is the policy's own suite.
    EXPECT_EQ(receiver.keyframePolicy().requestCount(), std::ssize(requestTimes));
}

INSTANTIATE_TEST_SUITE_P(
    Channels, FramePacketSimulation,
    ::testing::Values(
        SimulationCase{"duplicatesAndReorderingWithinFrames", 11, 0, 1500, 0.0, 0.25, 0, true, 4, false, 1.0},
        SimulationCase{"lossyChannelAcrossTheWrap", 13, 0xFFFFFFFFu - 1500u, 3000, 0.02, 0.05, 6, false, 4, false,
                       0.4},
        SimulationCase{"farReorderingAcrossTheWrap", 14, 0xFFFFFFFFu - 100u, 3000, 0.03, 0.05, 16, false, 8, false,
                       0.2},
        SimulationCase{"heavyLossAcrossTheWrapTolerant", 15, 0xFFFFFFFFu - 10u, 3000, 0.10, 0.10, 40, false, 2, true,
                       0.03},
        SimulationCase{"cleanChannelAcrossTheWrap", 16, 0xFFFFFFFFu - 700u, 1500, 0.0, 0.0, 0, false, 1, false, 1.0}),
    [](const ::testing::TestParamInfo<SimulationCase>& caseInfo) { return caseInfo.param.name; });

}  // namespace
}  // namespace mivodrell
