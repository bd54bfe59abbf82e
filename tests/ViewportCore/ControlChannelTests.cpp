#include <gtest/gtest.h>
#include <algorithm>
#include "ViewportCore/ControlChannelCoding.h"
#include "ViewportCore/ControlChannelDecoder.h"
#include "support/ViewportCoreTestSupport.h"
namespace mivodrell { namespace {
using testsupport::thrown;
using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kMax = ControlChannelCoding::maxBodyBytes;
Bytes header(std::uint32_t length) {
    return {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
            static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}
Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes result;
    for (const Bytes& part : parts) result.insert(result.end(), part.begin(), part.end());
    return result;
}
std::vector<std::string> texts(const ControlChannelDecoder::Frames& frames) {
    std::vector<std::string> result;
    for (std::size_t i = 0; i < frames.size(); ++i) result.emplace_back(frames.text(i));
    return result;
}
TEST(ControlChannelCoding, FramesBodiesUpToTheLimit) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, kMax}) {
        const Bytes frame = ControlChannelCoding::frame(std::string(size, 'a'));
        ASSERT_EQ(frame.size(), size + 4);
        EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), header(static_cast<std::uint32_t>(size)));
        EXPECT_TRUE(std::all_of(frame.begin() + 4, frame.end(), [](std::uint8_t b) { return b == 'a'; }));
    }
    const auto error = thrown<ControlChannelCoding::EncodingError>(
        [] { ControlChannelCoding::frame(std::string(kMax + 1, 'a')); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->byteCount, 4194305);
    EXPECT_STREQ(error->what(), "messageTooLarge(byteCount: 4194305)");
}
// What one feed should produce: the bodies, or the declared length of a refused header, and the
// pending byte count afterwards.
struct Step {
    Bytes input;
    std::vector<std::string> bodies;
    std::optional<std::int64_t> declared;
    std::size_t pending;
    bool resetFirst = false;
};
// The limit itself, and a reset after a refused header; every other framing case is held to the
// plain rule on random streams by the decoder's fuzz target.
TEST(ControlChannelDecoder, Scenarios) {
    const std::pair<const char*, std::vector<Step>> scenarios[] = {
        {"limit header waits for its body", {{header(0x400000), {}, {}, 4}, {Bytes(100, 'x'), {}, {}, 104}}},
        {"one above the limit", {{{0x00, 0x40, 0x00, 0x01}, {}, 4194305, 4}}},
        {"largest header value", {{{0xFF, 0xFF, 0xFF, 0xFF}, {}, 4294967295LL, 4}}},
        {"reset after a refused header", {{concat({header(1), {'a'}, header(0x400001)}), {}, 4194305, 4},
                                          {concat({header(2), {'h', 'i'}, header(0)}), {"hi", ""}, {}, 0, true}}},
    };
    for (const auto& [what, steps] : scenarios) {
        ControlChannelDecoder decoder;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE(::testing::Message() << what << " step " << i);
            const Step& step = steps[i];
            if (step.resetFirst) decoder.reset();
            std::vector<std::string> bodies;
            const auto issue = thrown<ControlChannelDecoder::DecodeIssue>([&] { bodies = texts(decoder.feed(step.input)); });
            EXPECT_EQ(issue ? std::optional(issue->declared) : std::nullopt, step.declared);
            EXPECT_EQ(bodies, step.bodies);
            EXPECT_EQ(decoder.pendingByteCount(), step.pending);
        }
    }
}
// A chunk long enough to be copied while its headers are walked, holding frames longer than a copy
// step (so the walk runs ahead of the copy), behind the rest of a frame whose header and first bytes
// came in two chunks before.
TEST(ControlChannelDecoder, LargeChunksAreCutByteForByte) {
    Bytes stream;
    std::vector<std::string> bodies;
    std::uint8_t next = 0;
    for (const std::uint32_t size : {10u, 300u, 5u, 2000u, 64u, 65u, 1500u, 0u, 700u, 100u}) {
        std::string body(size, '\0');
        for (char& c : body) c = static_cast<char>(next += 37);
        bodies.push_back(body);
        stream = concat({stream, header(size), Bytes(body.begin(), body.end())});
    }
    bodies.pop_back();  // the last frame stops 40 bytes short
    stream.resize(stream.size() - 40);
    ControlChannelDecoder decoder;
    EXPECT_TRUE(decoder.feed(std::span(stream).first(2)).empty());
    EXPECT_TRUE(decoder.feed(std::span(stream).subspan(2, 5)).empty());
    EXPECT_EQ(texts(decoder.feed(std::span(stream).subspan(7))), bodies);
    EXPECT_EQ(decoder.pendingByteCount(), 64u);
}
TEST(ControlChannelDecoder, ManySmallFramesCostLinearTime) {
    // 4 MiB of empty frames in one chunk: 1,048,576 frames. Moving the rest of the buffer after
    // each frame would move about 2^41 bytes; cutting frames out of the chunk moves none.
    const Bytes zeros(4u << 20, 0);
    ControlChannelDecoder decoder;
    const auto frames = decoder.feed(zeros);
    EXPECT_EQ(frames.size(), 1u << 20);
    EXPECT_TRUE(std::all_of(frames.begin(), frames.end(), [](auto body) { return body.empty(); }));
    EXPECT_EQ(decoder.pendingByteCount(), 0u);
    EXPECT_EQ(decoder.movedByteCount(), 0u);
    // Starting mid-header and ending mid-frame: only the incomplete frames are held.
    ControlChannelDecoder offset;
    EXPECT_TRUE(offset.feed(Bytes{0, 0}).empty());
    EXPECT_EQ(offset.feed(Bytes(zeros.begin(), zeros.end() - 1)).size(), 1u << 20);
    EXPECT_EQ(offset.pendingByteCount(), 1u);
    EXPECT_EQ(offset.movedByteCount(), 2u + 2u + 1u);  // the split header, twice in halves, and the tail
    // The largest frame arriving 1 KiB at a time is held once, not re-copied per piece.
    const Bytes big = concat({header(kMax), Bytes(kMax, 'b')});
    ControlChannelDecoder slow;
    std::size_t bodies = 0;
    for (std::size_t at = 0; at < big.size(); at += 1024) {
        const auto got = slow.feed(std::span(big).subspan(at, std::min<std::size_t>(1024, big.size() - at)));
        for (const auto body : got) {
            EXPECT_EQ(body.size(), kMax);
            ++bodies;
        }
    }
    EXPECT_EQ(bodies, 1u);
    EXPECT_LE(slow.movedByteCount(), big.size());
    EXPECT_EQ(slow.pendingByteCount(), 0u);
}
}}  // namespace mivodrell
