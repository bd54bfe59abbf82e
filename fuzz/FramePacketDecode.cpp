// Hostile bytes through the frame packet reader: every message is decoded, and what decodes is
// joined by a small reassembler, so that no header field can make decoding or reassembly crash,
// hang or hold more than the pending limit allows.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <variant>

#include "CaptureCore/FramePacketCoding.h"
#include "CaptureCore/FrameReceiver.h"

using namespace mivodrell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const auto decoded = FramePacketCoding::decode(input);
    if (const auto* packet = std::get_if<FramePacket>(&decoded)) {
        if (packet->payload.size() + FramePacketCoding::headerSize != size) std::abort();
    }

    // The input as a stream of messages, each preceded by a one-byte length.
    FrameReceiver receiver(FrameReassembler(3), KeyframeRequestPolicy());
    std::size_t offset = 0;
    double now = 0;
    while (offset < size) {
        const std::size_t length = std::min<std::size_t>(input[offset], size - offset - 1);
        receiver.receive(input.subspan(offset + 1, length), now);
        offset += 1 + length;
        now += 0.01;
        if (receiver.pendingFrameCount() > 3) std::abort();
    }
    return 0;
}
