#include "CaptureCore/FrameReceiver.h"
#include <gtest/gtest.h>
#include "CaptureCore/FramePacketCoding.h"
#include "CaptureCore/FramePacketizer.h"
#include "FramePacketTestSupport.h"
namespace mivodrell { namespace {
using Bytes = std::vector<std::uint8_t>;
using Calls = std::vector<std::string>;
Bytes message(std::uint32_t frameID, std::uint16_t index, std::uint16_t count, bool isKeyframe = false) {
    FramePacket packet = testing::makePacket(frameID, index, count);
    packet.isKeyframe = isKeyframe;
    return FramePacketCoding::encode(packet);
}
// A receiver with every callback recorded in order.
struct Recorded {
    FrameReceiver receiver;
    Calls calls;
    std::vector<EncodedFrame> frames;
    explicit Recorded(std::int64_t pending, bool tolerant = false)
        : receiver(FrameReassembler(pending), KeyframeRequestPolicy()) {
        receiver.setLossTolerant(tolerant);
        receiver.onFrame = [this](const EncodedFrame& f) { frames.push_back(f); calls.push_back("frame " + std::to_string(f.frameID)); };
        receiver.onMalformedData = [this](const auto& error) { calls.push_back("malformed " + error.description()); };
        receiver.onRequestKeyframe = [this] { calls.push_back("keyframe"); };
    }
};
TEST(FrameReceiverTest, MalformedMessagesReachOnlyTheirCallback) {
    Recorded r(4);
    Bytes bad = message(1, 0, 2);
    bad[1] = 3;
    r.receiver.receive(message(1, 0, 2), 0.0);
    r.receiver.receive(bad, 0.1);
    r.receiver.receive(Bytes(12, 0xF9), 0.2);
    EXPECT_EQ(r.calls, (Calls{"malformed unsupportedVersion(3)", "malformed tooShortForHeader(byteCount: 12)"}));
    EXPECT_EQ(r.receiver.pendingFrameCount(), 1);
    // Without callbacks nothing is called and nothing breaks.
    FrameReceiver silent(FrameReassembler(1), KeyframeRequestPolicy());
    silent.receive(bad, 0);
    for (std::uint32_t frame = 1; frame <= 3; ++frame) silent.receive(message(frame, 0, 2), 0);
    EXPECT_EQ(silent.keyframePolicy().requestCount(), 1);
    EXPECT_TRUE(silent.keyframePolicy().hasOutstandingRequest());
}
TEST(FrameReceiverTest, FrameFirstThenTheLossesItCaused) {
    Recorded r(4);
    r.receiver.receive(message(10, 0, 2), 1.0);
    r.receiver.receive(message(11, 1, 3), 1.0);
    r.receiver.receive(message(12, 0, 1, true), 1.1);  // completes 12, overtaking 10 and 11
    EXPECT_EQ(r.calls, (Calls{"frame 12", "keyframe"}));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_TRUE(r.frames[0].isKeyframe);
    EXPECT_EQ(r.frames[0].payload.toVector(), (Bytes{12, 0}));
    EXPECT_EQ(r.receiver.lostPacketCount(), 3);
    EXPECT_EQ(r.receiver.pendingFrameCount(), 0);
    EXPECT_EQ(r.receiver.keyframePolicy().consecutiveLosses(), 2);
    EXPECT_EQ(r.receiver.keyframePolicy().requestCount(), 1);
    EXPECT_EQ(r.receiver.keyframePolicy().lastKeyframeAt(), 1.1);  // the keyframe was recorded before the losses
    r.receiver.expireOutstandingRequest(100);
    EXPECT_FALSE(r.receiver.keyframePolicy().hasOutstandingRequest());
}
TEST(FrameReceiverTest, LossTolerantModeWaitsForSixLossesInARow) {
    for (const bool tolerant : {false, true}) {
        Recorded r(1, tolerant);
        int firstRequest = -1;
        // Each new open frame pushes the previous one out of the single pending slot.
        for (int frame = 1; frame <= 7 && firstRequest < 0; ++frame) {
            r.receiver.receive(message(static_cast<std::uint32_t>(frame), 0, 2), frame * 0.1);
            if (!r.calls.empty()) firstRequest = frame - 1;  // losses so far
        }
        EXPECT_EQ(firstRequest, tolerant ? 6 : 2) << tolerant;
        EXPECT_EQ(r.receiver.keyframePolicy().configuration().staleKeyframeThreshold, tolerant ? 20.0 : 8.0);
    }
}
TEST(FrameReceiverTest, ResetAndAReassemblerResetFromElsewhere) {
    Recorded r(1, true);
    FrameReceiver& receiver = r.receiver;
    for (std::uint32_t frame = 1; frame <= 4; ++frame) receiver.receive(message(frame, 0, 2), 0);
    ASSERT_EQ(receiver.keyframePolicy().consecutiveLosses(), 3);
    // A lower abandoned count is taken as it is, without recording anything.
    receiver.reassembler().reset();
    receiver.receive(message(5, 0, 2), 0);
    EXPECT_EQ(receiver.keyframePolicy().consecutiveLosses(), 3);
    receiver.receive(message(6, 0, 2), 0);  // evicts 5: the reassembler's count goes 0 -> 1
    EXPECT_EQ(receiver.keyframePolicy().consecutiveLosses(), 4);
    receiver.receive(message(7, 0, 2), 0);
    receiver.receive(message(8, 0, 2), 0);  // the reassembler has now given up 3 frames
    receiver.reset();
    EXPECT_EQ(receiver.pendingFrameCount(), 0);
    EXPECT_EQ(receiver.lostPacketCount(), 0);
    EXPECT_EQ(receiver.reassembler().maxPendingFrames(), 1);
    EXPECT_EQ(receiver.keyframePolicy().consecutiveLosses(), 0);
    EXPECT_EQ(receiver.keyframePolicy().configuration().consecutiveLossThreshold, 6);  // still loss tolerant
    // The reset count starts over: a frame given up outside `receive` counts with the next message's.
    receiver.reassembler().ingest(testing::makePacket(1, 0, 2));
    receiver.reassembler().ingest(testing::makePacket(2, 0, 2));
    receiver.receive(message(3, 0, 2), 0);
    EXPECT_EQ(receiver.keyframePolicy().consecutiveLosses(), 2);
    receiver.receive(message(4, 0, 1), 0);  // frame IDs may start over
    EXPECT_EQ(r.calls.back(), "frame 4");
    // Callbacks may reset the receiver.
    FrameReceiver resetting(FrameReassembler(4), KeyframeRequestPolicy());
    int frames = 0;
    resetting.onFrame = [&](const EncodedFrame&) { frames += 1; resetting.reset(); };
    resetting.receive(message(10, 0, 2), 0);
    resetting.receive(message(11, 0, 1), 0);
    EXPECT_EQ(frames, 1);
    EXPECT_EQ(resetting.pendingFrameCount(), 0);
    resetting.receive(message(3, 0, 1), 0);
    EXPECT_EQ(frames, 2);
}
TEST(FrameReceiverTest, SharedMessagesAreJoinedWithoutCopyingSinglePackets) {
    Recorded r(4);
    const EncodedFrame sent = testing::makeFrame(9, 5000, true);
    const SharedBytes single(FramePacketCoding::encode(FramePacketizer(8000).packetize(sent).front()));
    r.receiver.receiveShared(single, 0);
    for (const FramePacket& packet : FramePacketizer(1200).packetize(testing::makeFrame(10, 5000, false, 2))) {
        r.receiver.receiveShared(SharedBytes(FramePacketCoding::encode(packet)), 0);
    }
    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_EQ(r.frames[0], sent);
    EXPECT_EQ(r.frames[0].payload.data(), single.data() + FramePacketCoding::headerSize);
    EXPECT_EQ(r.frames[1], testing::makeFrame(10, 5000, false, 2));
}
}}  // namespace mivodrell
