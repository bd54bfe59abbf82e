#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ViewportCore/ControlChannelCoding.h"
#include "ViewportCore/ControlChannelDecoder.h"

namespace mivodrell {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kMax = ControlChannelCoding::maxBodyBytes;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

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
    for (const auto body : frames) result.emplace_back(body.begin(), body.end());
    return result;
}

// A stand-in message: its JSON is {"ping":{"n":N}} padded with a string of `padding` bytes.
struct PingMessage {
    int n = 0;
    std::size_t padding = 0;
    bool failToWrite = false;

    void writeJSON(std::string& out) const {
        if (failToWrite) throw std::invalid_argument("non-finite number");
        out += "{\"ping\":{\"n\":" + std::to_string(n) + ",\"pad\":\"" + std::string(padding, 'x') + "\"}}";
    }
    static PingMessage fromJSON(std::string_view body) {
        const std::string_view prefix = "{\"ping\":{\"n\":";
        if (body.substr(0, prefix.size()) != prefix) throw std::invalid_argument("not a ping");
        PingMessage message;
        message.n = std::stoi(std::string(body.substr(prefix.size())));
        const auto quote = body.find("\"pad\":\"");
        message.padding = body.size() - (quote + 7) - 3;
        return message;
    }
    // Size of the JSON text for a given padding (single-digit n).
    static std::size_t jsonSize(std::size_t pad) { return 25 + pad; }
};

TEST(ControlChannelCoding, FramesBodiesUpToTheLimit) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{300}, kMax}) {
        const std::string body(size, 'a');
        const Bytes frame = ControlChannelCoding::frame(body);
        ASSERT_EQ(frame.size(), size + 4);
        EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), header(static_cast<std::uint32_t>(size)));
        EXPECT_TRUE(std::all_of(frame.begin() + 4, frame.end(), [](std::uint8_t b) { return b == 'a'; }));
    }
    try {
        ControlChannelCoding::frame(std::string(kMax + 1, 'a'));
        FAIL() << "expected messageTooLarge";
    } catch (const ControlChannelCoding::EncodingError& error) {
        EXPECT_EQ(error.byteCount, 4194305);
        EXPECT_EQ(error, ControlChannelCoding::EncodingError(4194305));
        EXPECT_STREQ(error.what(), "messageTooLarge(byteCount: 4194305)");
    }
}

TEST(ControlChannelCoding, EncodesAndDecodesMessages) {
    const Bytes frame = ControlChannelCoding::encode(PingMessage{7, 0});
    EXPECT_EQ(frame, concat({header(25), bytesOf("{\"ping\":{\"n\":7,\"pad\":\"\"}}")}));

    const std::size_t pad = kMax - PingMessage::jsonSize(0);
    EXPECT_EQ(ControlChannelCoding::encode(PingMessage{3, pad}).size(), kMax + 4);
    EXPECT_THROW(ControlChannelCoding::encode(PingMessage{3, pad + 1}), ControlChannelCoding::EncodingError);
    try {
        ControlChannelCoding::encode(PingMessage{3, pad + 1});
    } catch (const ControlChannelCoding::EncodingError& error) {
        EXPECT_EQ(error.byteCount, static_cast<std::int64_t>(kMax + 1));
    }
    // The writer's own failure passes through unchanged.
    EXPECT_THROW(ControlChannelCoding::encode(PingMessage{1, 0, true}), std::invalid_argument);

    // Decoding a body, as bytes and as text, through the type's reader.
    const std::span<const std::uint8_t> body(frame.data() + 4, frame.size() - 4);
    EXPECT_EQ(ControlChannelCoding::decode<PingMessage>(body).n, 7);
    EXPECT_EQ(ControlChannelCoding::decode<PingMessage>(std::string_view("{\"ping\":{\"n\":42,\"pad\":\"xx\"}}")).padding,
              2u);
    EXPECT_THROW(ControlChannelCoding::decode<PingMessage>(std::string_view("[]")), std::invalid_argument);
}

// What one feed should produce: the bodies, or the declared length of a refused header, and the
// pending byte count afterwards.
struct Step {
    Bytes input;
    std::vector<std::string> bodies;
    std::optional<std::int64_t> declared;
    std::size_t pending;
};

struct Scenario {
    const char* what;
    std::vector<Step> steps;
};

void runScenario(const Scenario& scenario) {
    ControlChannelDecoder decoder;
    for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
        const Step& step = scenario.steps[i];
        if (step.declared) {
            try {
                decoder.feed(step.input);
                ADD_FAILURE() << scenario.what << " step " << i << ": expected declaredLengthTooLarge";
            } catch (const ControlChannelDecoder::DecodeIssue& issue) {
                EXPECT_EQ(issue.declared, *step.declared) << scenario.what << " step " << i;
                EXPECT_EQ(issue, ControlChannelDecoder::DecodeIssue(*step.declared));
            }
        } else {
            EXPECT_EQ(texts(decoder.feed(step.input)), step.bodies) << scenario.what << " step " << i;
        }
        EXPECT_EQ(decoder.pendingByteCount(), step.pending) << scenario.what << " step " << i;
    }
}

TEST(ControlChannelDecoder, Scenarios) {
    const Bytes ab = concat({header(2), bytesOf("ab")});
    const Bytes hello = concat({header(5), bytesOf("hello")});
    const Bytes third = concat({header(6), bytesOf("third!")});
    const Scenario scenarios[] = {
        {"nothing fed", {{{}, {}, {}, 0}}},
        {"limit header waits for its body", {{header(0x400000), {}, {}, 4}, {Bytes(100, 'x'), {}, {}, 104}}},
        {"one above the limit", {{{0x00, 0x40, 0x00, 0x01}, {}, 4194305, 4}}},
        {"largest header value", {{{0xFF, 0xFF, 0xFF, 0xFF}, {}, 4294967295LL, 4}}},
        {"empty frame", {{{0, 0, 0, 0}, {""}, {}, 0}}},
        {"partial header is kept", {{{0, 0, 0}, {}, {}, 3}, {{2, 'o'}, {}, {}, 5}, {{'k'}, {"ok"}, {}, 0}}},
        {"two frames and half of a third",
         {{concat({ab, hello, Bytes(third.begin(), third.begin() + 5)}), {"ab", "hello"}, {}, 5},
          {Bytes(third.begin() + 5, third.end()), {"third!"}, {}, 0}}},
        {"frame then oversized header fails whole",
         {{concat({ab, header(kMax + 1), bytesOf("zz")}), {}, kMax + 1, 6},
          {bytesOf("more"), {}, kMax + 1, 10}}},
        {"oversized header completed across calls",
         {{concat({ab, {0x7F, 0}}), {"ab"}, {}, 2}, {{0, 0, 'q'}, {}, 0x7F000000LL, 5}}},
        {"frame completed before an oversized one in the same call",
         {{concat({header(3), bytesOf("a")}), {}, {}, 5},
          {concat({bytesOf("bc"), header(kMax + 7)}), {}, kMax + 7, 4}}},
    };
    for (const Scenario& scenario : scenarios) runScenario(scenario);
}

TEST(ControlChannelDecoder, ByteAtATimeAndReset) {
    const Bytes stream = concat({header(3), bytesOf("one"), header(0), header(3), bytesOf("two")});
    ControlChannelDecoder decoder;
    std::vector<std::string> seen;
    std::vector<std::size_t> completedAt;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        for (auto& text : texts(decoder.feed(std::span(&stream[i], 1)))) {
            seen.push_back(text);
            completedAt.push_back(i);
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "", "two"}));
    EXPECT_EQ(completedAt, (std::vector<std::size_t>{6, 10, 17}));

    EXPECT_THROW(decoder.feed(concat({header(1), bytesOf("x"), header(kMax + 1)})), ControlChannelDecoder::DecodeIssue);
    EXPECT_EQ(decoder.pendingByteCount(), 4u);
    EXPECT_THROW(decoder.feed(header(1)), ControlChannelDecoder::DecodeIssue);  // stays failed
    decoder.reset();
    EXPECT_EQ(decoder.pendingByteCount(), 0u);
    EXPECT_EQ(texts(decoder.feed(concat({header(1), bytesOf("y")}))), (std::vector<std::string>{"y"}));
}

TEST(ControlChannelDecoder, FramesGiveSpansAndText) {
    ControlChannelDecoder decoder;
    const auto frames = decoder.feed(concat({header(2), bytesOf("{}"), header(0), header(4), bytesOf("null")}));
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames.text(0), "{}");
    EXPECT_TRUE(frames[1].empty());
    EXPECT_EQ(frames.text(2), "null");
    EXPECT_EQ(std::distance(frames.begin(), frames.end()), 3);
    EXPECT_TRUE(ControlChannelDecoder::Frames().empty());
}

// The framing rule written the plain way: append everything, cut frames off the front.
class ReferenceDecoder {
public:
    std::variant<std::vector<std::string>, std::int64_t> feed(const Bytes& bytes) {
        buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
        std::vector<std::string> result;
        while (buffer_.size() >= 4) {
            const std::uint32_t length = (std::uint32_t{buffer_[0]} << 24) | (std::uint32_t{buffer_[1]} << 16) |
                                         (std::uint32_t{buffer_[2]} << 8) | buffer_[3];
            if (length > kMax) return std::int64_t{length};
            if (buffer_.size() < length + 4u) break;
            result.emplace_back(buffer_.begin() + 4, buffer_.begin() + 4 + length);
            buffer_.erase(buffer_.begin(), buffer_.begin() + 4 + length);
        }
        return result;
    }
    void reset() { buffer_.clear(); }
    std::size_t pending() const { return buffer_.size(); }

private:
    Bytes buffer_;
};

TEST(ControlChannelDecoder, AgreesWithThePlainRuleOnRandomStreams) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 200; ++round) {
        Bytes stream;
        const int frameCount = std::uniform_int_distribution<int>(0, 60)(random);
        for (int f = 0; f < frameCount; ++f) {
            const int kind = std::uniform_int_distribution<int>(0, 99)(random);
            if (kind < 2) {
                const Bytes bad = header(std::uniform_int_distribution<std::uint32_t>(kMax + 1, 0xFFFFFFFFu)(random));
                stream.insert(stream.end(), bad.begin(), bad.end());
                continue;
            }
            const std::size_t size = kind < 6 ? std::uniform_int_distribution<std::size_t>(1000, 70000)(random)
                                              : std::uniform_int_distribution<std::size_t>(0, 120)(random);
            const Bytes h = header(static_cast<std::uint32_t>(size));
            stream.insert(stream.end(), h.begin(), h.end());
            for (std::size_t b = 0; b < size; ++b) stream.push_back(static_cast<std::uint8_t>(random()));
        }
        ControlChannelDecoder decoder;
        ReferenceDecoder reference;
        std::uint64_t fed = 0;
        for (std::size_t at = 0; at < stream.size();) {
            const int mode = std::uniform_int_distribution<int>(0, 9)(random);
            const std::size_t chunk = mode == 0 ? 1 : mode < 3 ? 0 : std::uniform_int_distribution<std::size_t>(1, 9000)(random);
            const Bytes piece(stream.begin() + static_cast<std::ptrdiff_t>(at),
                              stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), at + chunk)));
            at += piece.size();
            fed += piece.size();
            const auto expected = reference.feed(piece);
            if (std::holds_alternative<std::int64_t>(expected)) {
                try {
                    decoder.feed(piece);
                    ADD_FAILURE() << "round " << round << ": expected a failure";
                } catch (const ControlChannelDecoder::DecodeIssue& issue) {
                    EXPECT_EQ(issue.declared, std::get<std::int64_t>(expected)) << "round " << round;
                }
                ASSERT_EQ(decoder.pendingByteCount(), reference.pending()) << "round " << round;
                if (random() % 2 == 0) {
                    decoder.reset();
                    reference.reset();
                }
            } else {
                ASSERT_EQ(texts(decoder.feed(piece)), std::get<std::vector<std::string>>(expected)) << "round " << round;
                ASSERT_EQ(decoder.pendingByteCount(), reference.pending()) << "round " << round;
            }
        }
        EXPECT_LE(decoder.movedByteCount(), fed);
    }
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

}  // namespace
}  // namespace mivodrell
