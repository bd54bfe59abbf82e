// The video road's hot paths: cutting and sending a frame, and joining packets again.
//
// FrameTransmitter.transmit is measured in bytes/s against one memcpy of the same 250 KB in the
// same run; FrameReassembler.ingest in packets/s for packets in order and shuffled.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "CaptureCore/FramePacketCoding.h"
#include "CaptureCore/FramePacketizer.h"
#include "CaptureCore/FrameReassembler.h"
#include "CaptureCore/FrameReceiver.h"
#include "CaptureCore/FrameTransmitter.h"

namespace {

using namespace mivodrell;

constexpr std::size_t frameBytes = 250'000;
constexpr std::int64_t packetBytes = 1200;

std::vector<std::uint8_t> randomBytes(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::mt19937 random(5);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
}

EncodedFrame benchmarkFrame() {
    EncodedFrame frame;
    frame.frameID = 1;
    frame.isKeyframe = true;
    frame.presentationTime = 12.5;
    frame.payload = randomBytes(frameBytes);
    frame.cropRect = CGRect(0, 0, 2560, 1440);
    return frame;
}

void BM_FramePacketMemcpyBaseline250KB(benchmark::State& state) {
    const std::vector<std::uint8_t> source = randomBytes(frameBytes);
    std::vector<std::uint8_t> destination(frameBytes);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), frameBytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(frameBytes));
}
BENCHMARK(BM_FramePacketMemcpyBaseline250KB);

void BM_FrameTransmitterTransmit250KB(benchmark::State& state) {
    const EncodedFrame frame = benchmarkFrame();
    std::size_t sentBytes = 0;
    FrameTransmitter transmitter(FramePacketizer(packetBytes),
                                 [&sentBytes](std::span<const std::uint8_t> packet) { sentBytes += packet.size(); });
    for (auto _ : state) {
        transmitter.transmit(frame);
        benchmark::DoNotOptimize(sentBytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(frameBytes));
    state.counters["packets/frame"] =
        static_cast<double>(transmitter.sentPacketCount()) / static_cast<double>(transmitter.sentFrameCount());
}
BENCHMARK(BM_FrameTransmitterTransmit250KB);

void ingestFrames(benchmark::State& state, bool shuffled) {
    std::vector<FramePacket> packets = FramePacketizer(packetBytes).packetize(benchmarkFrame());
    if (shuffled) std::shuffle(packets.begin(), packets.end(), std::mt19937(9));
    FrameReassembler reassembler(4);
    std::uint32_t frameID = 0;
    std::int64_t completed = 0;
    for (auto _ : state) {
        frameID += 1;
        for (FramePacket& packet : packets) {
            packet.frameID = frameID;
            const FrameReassembler::Outcome outcome = reassembler.ingest(packet);
            completed += std::holds_alternative<FrameReassembler::Completed>(outcome) ? 1 : 0;
            benchmark::DoNotOptimize(outcome);
        }
    }
    if (completed != static_cast<std::int64_t>(state.iterations())) state.SkipWithError("a frame did not complete");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * std::ssize(packets));
}

void BM_FrameReassemblerIngestInOrder(benchmark::State& state) { ingestFrames(state, false); }
BENCHMARK(BM_FrameReassemblerIngestInOrder);

void BM_FrameReassemblerIngestShuffled(benchmark::State& state) { ingestFrames(state, true); }
BENCHMARK(BM_FrameReassemblerIngestShuffled);

// Decoding included: each encoded message of a 250 KB frame through FrameReceiver.receive.
void BM_FrameReceiverReceiveInOrder(benchmark::State& state) {
    std::vector<std::vector<std::uint8_t>> messages;
    for (const FramePacket& packet : FramePacketizer(packetBytes).packetize(benchmarkFrame())) {
        messages.push_back(FramePacketCoding::encode(packet));
    }
    FrameReceiver receiver(FrameReassembler(4), KeyframeRequestPolicy());
    std::int64_t frames = 0;
    receiver.onFrame = [&frames](const EncodedFrame&) { frames += 1; };
    std::uint32_t frameID = 0;
    for (auto _ : state) {
        frameID += 1;
        for (auto& message : messages) {
            FramePacketCoding::storeBigEndian32(message.data() + 4, frameID);
            receiver.receive(message, 0.0);
        }
    }
    if (frames != static_cast<std::int64_t>(state.iterations())) state.SkipWithError("a frame did not complete");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * std::ssize(messages));
}
BENCHMARK(BM_FrameReceiverReceiveInOrder);

}  // namespace
