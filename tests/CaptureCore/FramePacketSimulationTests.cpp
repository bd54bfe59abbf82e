// End to end: frames through the transmitter, a channel that drops, repeats and reorders messages, and
// the receiver on the other end, with the host answering keyframe requests. What arrives is compared
// with the plain reassembly rules fed the same messages, and with what was sent.
#include <gtest/gtest.h>
#include <random>
#include "CaptureCore/FramePacketCoding.h"
#include "CaptureCore/FrameReceiver.h"
#include "CaptureCore/FrameTransmitter.h"
#include "FramePacketTestSupport.h"
#include "ReferenceReassembler.h"
namespace mivodrell { namespace {
using Bytes = std::vector<std::uint8_t>;
// `reorderWindow` messages are held back and released in random order (0 delivers each frame at once);
// overtaken frames are given up, so reordering across frames costs frames too (`minDeliveredShare`).
struct SimulationCase {
    std::string name; std::uint64_t seed; std::uint32_t firstFrameID; int frameCount; double dropProbability, duplicateProbability;
    std::size_t reorderWindow; bool shuffleWithinFrame; std::int64_t maxPendingFrames; bool lossTolerant; double minDeliveredShare;
};
void PrintTo(const SimulationCase& c, std::ostream* out) { *out << c.name; }
class FramePacketSimulation : public ::testing::TestWithParam<SimulationCase> {};
TEST_P(FramePacketSimulation, DeliversIntactFramesInOrderAndAsksForKeyframesSparingly) {
    const SimulationCase& c = GetParam();
    std::mt19937_64 random(c.seed);
    std::bernoulli_distribution drop(c.dropProbability), duplicate(c.duplicateProbability);
    std::uniform_int_distribution<std::size_t> payloadSize(0, 6000);
    double now = 100.0;
    FrameReceiver receiver(FrameReassembler(c.maxPendingFrames), KeyframeRequestPolicy());
    receiver.setLossTolerant(c.lossTolerant);
    testing::ReferenceReassembler reference(c.maxPendingFrames);
    std::vector<EncodedFrame> delivered, expectedByReference;
    std::int64_t requests = 0;
    bool keyframeRequested = false;
    receiver.onFrame = [&](const EncodedFrame& frame) { delivered.push_back(frame); };
    receiver.onMalformedData = [](const FramePacketCoding::DecodeError& error) {
        ADD_FAILURE() << "a sent packet did not decode: " << error.description();
    };
    receiver.onRequestKeyframe = [&] { requests += 1; keyframeRequested = true; };
    auto deliver = [&](const Bytes& message) {
        receiver.receive(message, now);
        const auto outcome = reference.ingest(std::get<FramePacket>(FramePacketCoding::decode(message)));
        if (const auto* completed = std::get_if<FrameReassembler::Completed>(&outcome)) {
            expectedByReference.push_back(completed->frame);
        }
    };
    std::vector<Bytes> inFlight, frameMessages;
    auto releaseOne = [&] {
        std::swap(inFlight[std::uniform_int_distribution<std::size_t>(0, inFlight.size() - 1)(random)], inFlight.back());
        const Bytes message = std::move(inFlight.back());
        inFlight.pop_back();
        deliver(message);
    };
    FrameTransmitter transmitter(FramePacketizer(1000), [&](std::span<const std::uint8_t> bytes) {
        const int copies = (drop(random) ? 0 : 1) + (duplicate(random) ? 1 : 0);
        for (int copy = 0; copy < copies; ++copy) frameMessages.emplace_back(bytes.begin(), bytes.end());
    });
    std::map<std::uint32_t, EncodedFrame> sent;
    for (int k = 0; k < c.frameCount; ++k) {
        const std::uint32_t frameID = c.firstFrameID + static_cast<std::uint32_t>(k);
        EncodedFrame frame = testing::makeFrame(frameID, payloadSize(random), k % 240 == 0 || keyframeRequested,
                                                static_cast<std::uint32_t>(random()));
        keyframeRequested = false;
        frame.cropRect = CGRect(k % 7, 0.25 * (k % 5), 1920 + k % 3, 1080);  // exact in single precision
        sent[frameID] = frame;
        transmitter.transmit(frame);
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
        now += 1.0 / 60;
        receiver.expireOutstandingRequest(now);
    }
    while (!inFlight.empty()) releaseOne();
    // The reference fixes which frames arrive, in which order and with which counters; each is as sent.
    EXPECT_EQ(delivered, expectedByReference);
    for (const EncodedFrame& frame : delivered) ASSERT_EQ(frame, sent.at(frame.frameID)) << frame.frameID;
    const FrameReassembler& reassembler = receiver.reassembler();
    EXPECT_EQ(reassembler.abandonedFrameCount(), reference.abandoned);
    EXPECT_EQ(reassembler.lostPacketCount(), reference.lost);
    EXPECT_EQ(receiver.lostPacketCount(), reference.lost);
    if (c.dropProbability == 0 && c.reorderWindow == 0) {
        EXPECT_EQ(std::ssize(delivered), c.frameCount);
        EXPECT_EQ(requests, 0);
    } else {  // frames still get through, and the losses were noticed
        EXPECT_GE(static_cast<double>(delivered.size()), c.minDeliveredShare * c.frameCount);
        EXPECT_GT(reassembler.abandonedFrameCount(), 0);
        EXPECT_GT(requests, 0);
    }
    EXPECT_EQ(receiver.keyframePolicy().requestCount(), requests);  // every request reached the host
}
INSTANTIATE_TEST_SUITE_P(Channels, FramePacketSimulation, ::testing::Values(
        SimulationCase{"duplicatesAndReorderingWithinFrames", 11, 0, 1500, 0.0, 0.25, 0, true, 4, false, 1.0},
        SimulationCase{"lossyChannelAcrossTheWrap", 13, 0xFFFFFFFFu - 1500u, 3000, 0.02, 0.05, 6, false, 4, false, 0.4},
        SimulationCase{"farReorderingAcrossTheWrap", 14, 0xFFFFFFFFu - 100u, 3000, 0.03, 0.05, 16, false, 8, false, 0.2},
        SimulationCase{"heavyLossAcrossTheWrapTolerant", 15, 0xFFFFFFFFu - 10u, 3000, 0.10, 0.10, 40, false, 2, true, 0.03},
        SimulationCase{"cleanChannelAcrossTheWrap", 16, 0xFFFFFFFFu - 700u, 1500, 0.0, 0.0, 0, false, 1, false, 1.0}),
    [](const ::testing::TestParamInfo<SimulationCase>& caseInfo) { return caseInfo.param.name; });
}}  // namespace mivodrell
