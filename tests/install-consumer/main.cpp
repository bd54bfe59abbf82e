// Builds against the installed engine: a synthetic screen frame is encoded to HEVC with x265,
// cut into frame packets and joined again, and a control-channel message split across two
// reads comes out of the decoder whole. Prints one line and exits 0 when all of it held.

#include "CaptureCore/FramePacketizer.h"
#include "CaptureCore/FrameReassembler.h"
#include "CaptureMac/HEVCEncoder.h"
#include "CaptureMac/SyntheticFrameSource.h"
#include "Platform/Media/MediaTime.h"
#include "Platform/Media/PixelBuffer.h"
#include "ViewportCore/ControlChannelCoding.h"
#include "ViewportCore/ControlChannelDecoder.h"

#include <cstdio>
#include <exception>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace {

int fail(const char* what) {
    std::fprintf(stderr, "install consumer: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    using namespace mivodrell;
    try {
        const auto picture = SyntheticFrameSource{128, 96}.makeFrame(0.0, 0.05);
        if (!picture || picture->width() != 128 || picture->height() != 96) return fail("no synthetic frame");

        HEVCEncoder encoder(128, 96, HEVCEncoder::Configuration{}, false);
        std::size_t parameterSets = 0;
        encoder.onFormatDescriptionAvailable = [&](const auto& sets, std::int32_t) { parameterSets = sets.size(); };
        const EncodedFrame frame = encoder.encode(picture, 7, MediaTime::make(0, 90000), true);
        if (!frame.isKeyframe || frame.payload.empty()) return fail("the first frame is no keyframe");
        if (parameterSets != 3) return fail("expected VPS, SPS and PPS");

        // Small packets, so the frame travels in several, delivered last to first.
        const std::vector<FramePacket> packets = FramePacketizer(64).packetize(frame);
        if (packets.size() < 2) return fail("the frame fits one packet; expected several");
        FrameReassembler reassembler(4);
        std::vector<EncodedFrame> joined;
        for (auto packet = packets.rbegin(); packet != packets.rend(); ++packet) {
            const auto outcome = reassembler.ingest(*packet);
            if (const auto* done = std::get_if<FrameReassembler::Completed>(&outcome)) joined.push_back(done->frame);
        }
        if (joined.size() != 1 || joined[0].payload.toVector() != frame.payload.toVector()) {
            return fail("the reassembled frame differs");
        }

        const std::string body = R"({"type":"ping","id":42})";
        const std::vector<std::uint8_t> bytes = ControlChannelCoding::frame(body);
        ControlChannelDecoder decoder;
        const std::span<const std::uint8_t> all(bytes);
        if (!decoder.feed(all.first(3)).empty()) return fail("a partial header gave a frame");
        const ControlChannelDecoder::Frames frames = decoder.feed(all.subspan(3));
        if (frames.size() != 1 || frames.text(0) != body) return fail("the control message did not come out whole");

        std::printf("install consumer: %zu-byte keyframe in %zu packets reassembled; control message of %zu bytes decoded\n",
                    frame.payload.size(), packets.size(), body.size());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "install consumer: %s\n", error.what());
        return 1;
    }
}
