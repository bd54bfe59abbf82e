// libFuzzer target: a control-channel byte stream fed to the decoder in chunks of sizes drawn
// from the input, checked against a plain cut of the whole stream. Every body comes out once, in
// order and byte for byte; an oversized header fails the call whose bytes complete it (with the
// frames completed earlier in that call) and every call after it; the decoder keeps exactly the
// bytes it has not handed out.
//
// Input: two bytes that seed the chunk sizes, then the stream.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "ViewportCore/ControlChannelCoding.h"
#include "ViewportCore/ControlChannelDecoder.h"

using namespace mivodrell;

namespace {

struct Body {
    std::size_t offset;
    std::size_t length;
    std::size_t end() const { return offset + length; }
};

// The stream cut in one pass, with no state carried between chunks.
struct ReferenceCut {
    std::vector<Body> bodies;
    std::size_t consumed = 0;         // end of the last complete frame before any bad header
    std::optional<std::size_t> bad;   // offset of the first oversized header, when complete
    std::uint32_t badLength = 0;

    explicit ReferenceCut(std::span<const std::uint8_t> stream) {
        std::size_t offset = 0;
        while (stream.size() - offset >= ControlChannelCoding::headerBytes) {
            const std::uint32_t length = ControlChannelCoding::readLength(stream.data() + offset);
            if (length > ControlChannelCoding::maxBodyBytes) {
                bad = offset;
                badLength = length;
                break;
            }
            if (stream.size() - offset - ControlChannelCoding::headerBytes < length) break;
            bodies.push_back({offset + ControlChannelCoding::headerBytes, length});
            offset += ControlChannelCoding::headerBytes + length;
        }
        consumed = offset;
    }
};

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::uint32_t state = (std::uint32_t{data[0]} << 8 | data[1]) * 2654435761u + 1;
    const std::span<const std::uint8_t> stream(data + 2, size - 2);
    const ReferenceCut cut(stream);

    ControlChannelDecoder decoder;
    std::size_t position = 0;
    std::size_t returned = 0;
    bool failed = false;
    bool done = false;
    while (!done) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        std::size_t chunk = state % 16 == 1 ? 0 : state % 4 == 0 ? 1 + (state >> 8) % 4096 : 1 + (state >> 8) % 16;
        chunk = std::min(chunk, stream.size() - position);
        done = position + chunk == stream.size();
        try {
            const ControlChannelDecoder::Frames frames = decoder.feed(stream.subspan(position, chunk));
            require(!failed);
            for (const std::span<const std::uint8_t> body : frames) {
                require(returned < cut.bodies.size());
                const Body& expected = cut.bodies[returned++];
                require(body.size() == expected.length);
                require(body.empty() || std::memcmp(body.data(), stream.data() + expected.offset, body.size()) == 0);
                require(expected.end() <= position + chunk);
            }
        } catch (const ControlChannelDecoder::DecodeIssue& issue) {
            require(cut.bad.has_value() && issue.declared == cut.badLength);
            require(position + chunk >= *cut.bad + ControlChannelCoding::headerBytes);
            if (!failed) {
                // Frames that ended before this call came out; those it completed are lost with it.
                std::size_t before = 0;
                while (before < cut.bodies.size() && cut.bodies[before].end() <= position) ++before;
                require(returned == before);
            }
            failed = true;
        }
        position += chunk;
    }

    require(failed == (cut.bad && stream.size() >= *cut.bad + ControlChannelCoding::headerBytes));
    if (failed) {
        require(decoder.pendingByteCount() == stream.size() - *cut.bad);
    } else {
        require(returned == cut.bodies.size());
        require(decoder.pendingByteCount() == stream.size() - cut.consumed);
    }
    require(decoder.movedByteCount() <= stream.size());
    decoder.reset();
    require(decoder.pendingByteCount() == 0);
    return 0;
}
