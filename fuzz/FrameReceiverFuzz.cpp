// libFuzzer target: a frame receiver fed a sequence of frame packet messages decoded from the
// input (frames near the 32-bit wrap, repeats, reordering, contradicting packet counts, packets
// beyond their count, frames that declare up to 65,535 packets, damaged messages), checked
// after every message against a plain model of what it must count and deliver: frames
// completed, frames given up, packets lost, frames and payload bytes held open, messages refused.
//
// Input: records of five bytes, one message each:
//   0: bits 0-3 frame offset from a base that moves forward, bits 4-5 damage (3 damages the
//      message; byte 1 then picks how), bit 6 keyframe, bit 7 moves the base forward by 4
//   1: packet index   2: packet count (bit 7 set: 65,535 - low bits; else low 4 bits)
//   3: payload bytes  4: seconds since the previous message, in hundredths

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <vector>

#include "CaptureCore/FramePacketCoding.h"
#include "CaptureCore/FrameReceiver.h"

using namespace mivodrell;

namespace {

constexpr std::int64_t kMaxPendingFrames = 3;
constexpr std::int64_t kMaxPendingBytes = 1024;

void require(bool condition) {
    if (!condition) std::abort();
}

// The reassembly rules on frame sequence numbers that do not wrap, with ordered containers.
class Model {
public:
    struct Delivered {
        std::int64_t sequence;
        bool isKeyframe;
        std::vector<std::uint8_t> payload;
    };

    std::vector<Delivered> delivered;
    std::int64_t abandoned = 0;
    std::int64_t lost = 0;
    std::int64_t bytes = 0;

    void ingest(std::int64_t sequence, std::uint16_t index, std::uint16_t count, bool isKeyframe,
                const std::vector<std::uint8_t>& payload) {
        if (settled && sequence <= *settled) return;
        auto found = open.find(sequence);
        if (found == open.end()) {
            if (index >= count) return;
            found = open.emplace(sequence, Open{count, isKeyframe, {}}).first;
        } else if (found->second.count != count || index >= count || found->second.parts.contains(index)) {
            return;
        }
        found->second.parts[index] = payload;
        bytes += static_cast<std::int64_t>(payload.size());
        if (std::ssize(found->second.parts) == count) {
            std::vector<std::uint8_t> joined;
            for (const auto& [i, part] : found->second.parts) joined.insert(joined.end(), part.begin(), part.end());
            delivered.push_back({sequence, found->second.isKeyframe, std::move(joined)});
            bytes -= static_cast<std::int64_t>(delivered.back().payload.size());
            open.erase(found);
            settle(sequence);
            while (!open.empty() && open.begin()->first < sequence) giveUpOldest();
        }
        while (std::ssize(open) > kMaxPendingFrames || (bytes > kMaxPendingBytes && !open.empty())) {
            settle(open.begin()->first);
            giveUpOldest();
        }
    }
    std::int64_t openCount() const { return std::ssize(open); }

private:
    struct Open {
        std::int64_t count;
        bool isKeyframe;
        std::map<std::uint16_t, std::vector<std::uint8_t>> parts;
    };
    void settle(std::int64_t sequence) {
        if (!settled || sequence > *settled) settled = sequence;
    }
    void giveUpOldest() {
        const Open& oldest = open.begin()->second;
        lost += oldest.count - std::ssize(oldest.parts);
        for (const auto& [i, part] : oldest.parts) bytes -= static_cast<std::int64_t>(part.size());
        abandoned += 1;
        open.erase(open.begin());
    }

    std::map<std::int64_t, Open> open;
    std::optional<std::int64_t> settled;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FrameReceiver receiver(FrameReassembler(kMaxPendingFrames, kMaxPendingBytes), KeyframeRequestPolicy());
    std::vector<EncodedFrame> frames;
    std::int64_t malformed = 0;
    std::int64_t keyframeRequests = 0;
    receiver.onFrame = [&](const EncodedFrame& frame) { frames.push_back(frame); };
    receiver.onMalformedData = [&](const FramePacketCoding::DecodeError&) { ++malformed; };
    receiver.onRequestKeyframe = [&] { ++keyframeRequests; };

    Model model;
    std::int64_t expectedMalformed = 0;
    // Starts just below the wrap of the 32-bit frame ID, so that wrap-aware order is exercised.
    constexpr std::int64_t kFirstSequence = 0xFFFF'FFF0;
    std::int64_t base = kFirstSequence;
    double now = 0;
    for (std::size_t at = 0; at + 5 <= size; at += 5) {
        const std::uint8_t* record = data + at;
        if (record[0] & 0x80) base += 4;
        const std::int64_t sequence = base + (record[0] & 0x0F);
        const bool damaged = ((record[0] >> 4) & 3) == 3;
        const bool isKeyframe = (record[0] & 0x40) != 0;
        const std::uint16_t index = record[1];
        const std::uint16_t count = (record[2] & 0x80) ? static_cast<std::uint16_t>(0xFFFF - (record[2] & 0x7F))
                                                       : static_cast<std::uint16_t>(record[2] & 0x0F);
        std::vector<std::uint8_t> payload(record[3]);
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(at + i * 7);
        now += record[4] / 100.0;

        FramePacket packet;
        packet.frameID = static_cast<std::uint32_t>(sequence);
        packet.packetIndex = index;
        packet.packetCount = count;
        packet.isKeyframe = isKeyframe;
        packet.presentationTime = static_cast<double>(sequence - kFirstSequence) / 60.0;
        packet.payload = std::vector<std::uint8_t>(payload);
        packet.cropRect = CGRect(0, 0, 64, 32);
        std::vector<std::uint8_t> message = FramePacketCoding::encode(packet);
        if (damaged) {
            switch (record[1] % 4) {
                case 0: message.resize(record[3] % FramePacketCoding::headerSize); break;
                case 1: message[0] ^= 0x01; break;
                case 2: message[1] = static_cast<std::uint8_t>(FramePacketCoding::version + 1); break;
                default: message.push_back(0); break;
            }
            ++expectedMalformed;
        } else {
            model.ingest(sequence, index, count, isKeyframe, payload);
        }
        receiver.receive(message, now);

        const FrameReassembler& reassembler = receiver.reassembler();
        require(malformed == expectedMalformed);
        require(frames.size() == model.delivered.size());
        require(reassembler.abandonedFrameCount() == model.abandoned);
        require(reassembler.lostPacketCount() == model.lost);
        require(reassembler.pendingFrameCount() == model.openCount());
        require(reassembler.pendingPayloadBytes() == model.bytes);
        require(reassembler.pendingPayloadBytes() <= kMaxPendingBytes);
        require(keyframeRequests == receiver.keyframePolicy().requestCount());
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const Model::Delivered& expected = model.delivered[i];
        require(frames[i].frameID == static_cast<std::uint32_t>(expected.sequence));
        require(frames[i].isKeyframe == expected.isKeyframe);
        require(frames[i].payload.toVector() == expected.payload);
    }
    return 0;
}
