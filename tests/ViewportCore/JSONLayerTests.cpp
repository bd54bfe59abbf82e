#include <gtest/gtest.h>
extern "C" {
#include <libavutil/base64.h>
}
#include <bit>
#include <charconv>
#include <cmath>
#include <random>
#include "ViewportCore/Base64.h"
#include "ViewportCore/DecodingError.h"
#include "ViewportCore/EncodingError.h"
#include "ViewportCore/JSONDocument.h"
#include "ViewportCore/JSONNumber.h"
#include "ViewportCore/JSONWriter.h"
namespace mivodrell { namespace {
using Bytes = std::vector<std::uint8_t>;
// ---- Reading --------------------------------------------------------------------------------
// Reading structure (member order, repeated names, escapes, number texts) is tested through the
// messages that use it.
TEST(JSONDocument, RefusesAnythingButOneValidValue) {
    const std::string invalid[] = {
        "", "   ", "{", "[1,]", "{\"a\":1,}", "{\"a\" 1}", "[1 2]", "{} {}", "{} x",
        // Numbers outside the grammar.
        "NaN", "[Infinity]", "[-]", "[01]", "[1.]", "[.5]", "[1e]", "[+1]", "[0x10]",
        // Strings: quotes, escapes, unpaired surrogates, raw control characters and NUL bytes.
        "'a'", "[\"\\x\"]", "[\"\\ud800\"]", "[\"\\udc00\\ud800\"]", "[\"\\udc00\"]", "[\"a\\udfffb\"]",
        "{\"\\udc00\":1}", "[\"a\nb\"]", std::string("[1]\0", 4), std::string("[\"a\0\"]", 6),
        // Bad UTF-8: stray byte, overlong "/", encoded surrogate, above U+10FFFF, a byte order mark.
        "[\"\xFF\"]", "[\"\xC0\xAF\"]", "[\"\xED\xA0\x80\"]", "[\"\xF4\x90\x80\x80\"]", "\xEF\xBB\xBF{}",
        // Truncated multi-byte sequences at the very end (the validator looks ahead), also beyond
        // the inline buffer.
        "\"\xF0", "\"\xE2", "[\"\xF4\x8F", "{\"\xF0\x9F\x98", std::string(400, ' ') + "\"\xF0",
        std::string(400, ' ') + "\"\xF1"};
    for (const std::string& text : invalid) {
        SCOPED_TRACE(text);
        try {
            const JSONDocument document(text);
            ADD_FAILURE() << "parsed";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind, DecodingError::Kind::dataCorrupted);
            EXPECT_TRUE(error.codingPath.empty());
            EXPECT_EQ(error.debugDescription.rfind("The given data was not valid JSON", 0), 0u);
        }
    }
}
// The reader's stack holds the open arrays and objects and the digits of each number: the deepest
// document allowed, with a long number inside, takes it from its first block into blocks of the pool
// and of the heap. Deeper documents fail cleanly instead of exhausting the stack.
TEST(JSONDocument, CapsNestingDepth) {
    const std::string digits(5000, '7');
    const JSONDocument nested(std::string(JSONDocument::maxDepth - 1, '[') + "{\"n\":" + digits + "}" +
                              std::string(JSONDocument::maxDepth - 1, ']'));
    const JSONNode* node = &nested.root();
    for (std::size_t depth = 1; depth < JSONDocument::maxDepth; ++depth) {
        ASSERT_EQ(node->kind(), JSONNode::Kind::array);
        node = &*node->children().begin();
    }
    ASSERT_EQ(node->kind(), JSONNode::Kind::object);
    EXPECT_EQ(node->member("n")->text(), digits);
    const std::size_t tooDeep = JSONDocument::maxDepth + 1;
    EXPECT_THROW(JSONDocument(std::string(tooDeep, '[') + std::string(tooDeep, ']')), DecodingError);
    EXPECT_THROW(JSONDocument(std::string(4 << 20, '[')), DecodingError);
    std::string objects;
    for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
    EXPECT_THROW(JSONDocument{objects}, DecodingError);
    // A fresh document after a failed one starts from a clean stack.
    const JSONDocument small("{\"a\":[1,{\"b\":-2.5}],\"c\":{}}");
    EXPECT_EQ(small.root().member("a")->children().begin()->text(), "1");
    EXPECT_EQ(small.root().member("c")->kind(), JSONNode::Kind::object);
}
TEST(JSONDocument, NumbersTooLargeForTheParserReachTheirFields) {
    // Numbers that the underlying parser refuses outright keep their text.
    const std::string huge = "1" + std::string(400, '0');
    const JSONDocument document("{\"a\":1e400,\"s\":\"1e999 \\\" 2e999\",\"b\":[-" + huge + ",2.5e-99999,7],\"c\":1E+309}");
    const JSONNode& root = document.root();
    EXPECT_EQ(root.member("a")->text(), "1e400");
    EXPECT_EQ(root.member("s")->text(), "1e999 \" 2e999");
    std::vector<std::string> numbers;
    for (const JSONNode& element : root.member("b")->children()) numbers.emplace_back(element.text());
    EXPECT_EQ(numbers, (std::vector<std::string>{"-" + huge, "2.5e-99999", "7"}));
    EXPECT_EQ(root.member("c")->text(), "1E+309");
    // The same numbers in invalid text still fail as invalid text.
    for (const char* text : {"{\"a\":1e400,}", "[1e400 1]", "[01e400]", "[-01e400]", "[1e400"}) {
        EXPECT_THROW(JSONDocument{text}, DecodingError) << text;
    }
}
TEST(JSONNumber, WholeNumbers) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> asInt64;
        std::optional<std::uint32_t> asUInt32;
        std::optional<std::uint8_t> asUInt8;
    };
    const Case cases[] = {
        {"0", 0, 0, 0}, {"-0", 0, 0, 0}, {"-0.0e5", 0, 0, 0}, {"2.0", 2, 2, 2},
        {"2.5", std::nullopt, std::nullopt, std::nullopt}, {"20e-1", 2, 2, 2}, {"1e2", 100, 100, 100},
        {"255", 255, 255, 255}, {"256", 256, 256, std::nullopt}, {"-1", -1, std::nullopt, std::nullopt},
        {"4294967295", 4294967295, 4294967295u, std::nullopt}, {"4294967296", 4294967296, std::nullopt, std::nullopt},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max(), std::nullopt, std::nullopt},
        {"9223372036854775808", std::nullopt, std::nullopt, std::nullopt},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min(), std::nullopt, std::nullopt},
        {"-9223372036854775809", std::nullopt, std::nullopt, std::nullopt},
        {"18446744073709551616", std::nullopt, std::nullopt, std::nullopt},
        {"92233720368547758.07e2", std::numeric_limits<std::int64_t>::max(), std::nullopt, std::nullopt},
        {"0.000000000000000000001e21", 1, 1, 1}, {"1e400", std::nullopt, std::nullopt, std::nullopt},
        {"1e-400", std::nullopt, std::nullopt, std::nullopt}, {"0e99999999999999999999", 0, 0, 0},
        {"100000000000000000000e-20", 1, 1, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(JSONNumber::integer<std::int64_t>(c.text), c.asInt64);
        EXPECT_EQ(JSONNumber::integer<std::uint32_t>(c.text), c.asUInt32);
        EXPECT_EQ(JSONNumber::integer<std::uint8_t>(c.text), c.asUInt8);
    }
    EXPECT_EQ(JSONNumber::integer<std::int32_t>("-2147483648"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(JSONNumber::integer<std::int32_t>("2147483648"), std::nullopt);
}
TEST(JSONNumber, DoublesAreCorrectlyRoundedAndFinite) {
    // Correct rounding of ordinary values (0.1, the largest double) is JSONWriter.ShortestRoundTripNumbers.
    EXPECT_EQ(JSONNumber::finiteDouble("1.7976931348623159e308"), std::nullopt);
    EXPECT_EQ(JSONNumber::finiteDouble("-1e400"), std::nullopt);
    EXPECT_EQ(JSONNumber::finiteDouble("1" + std::string(400, '0')), std::nullopt);
    EXPECT_EQ(JSONNumber::finiteDouble("4.9e-324"), std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(JSONNumber::finiteDouble("0.00000" + std::string(400, '0') + "1"), 0.0);
    for (const char* negativeZero : {"-1e-400", "-0"}) {
        const std::optional<double> zero = JSONNumber::finiteDouble(negativeZero);
        EXPECT_TRUE(zero && *zero == 0.0 && std::signbit(*zero)) << negativeZero;
    }
}
// ---- Writing --------------------------------------------------------------------------------
std::string written(auto&& write) {
    std::string out;
    JSONWriter writer(out);
    write(writer);
    writer.finish();
    return out;
}
// Empty containers are written by the messages' samples.
TEST(JSONWriter, LongestIntegersAndNull) {
    const std::string out = written([](JSONWriter& w) {
        w.beginArray();
        w.integer(std::numeric_limits<std::int64_t>::min());
        w.unsignedInteger(std::numeric_limits<std::uint64_t>::max());
        w.null();
        w.endArray();
    });
    EXPECT_EQ(out, "[-9223372036854775808,18446744073709551615,null]");
}
// Whole values below 2^53 are written as integers; all others as the standard library's shortest
// form. Every text reads back to the same bits.
TEST(JSONWriter, ShortestRoundTripNumbers) {
    std::vector<double> values = {384, 0.1, 1e20, -0.0, 0, 512.5, 1e-7, 0.0001, 1e15, 100000, 1e16, -2.5e-300,
                                  0.00012, 9007199254740992.0, 0.9833333333333333, 123456.789,
                                  std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min()};
    std::mt19937_64 random(11);
    for (int i = 0; i < 50000; ++i) {
        const double value = i % 2 ? std::ldexp(static_cast<double>(random() % 1000000), static_cast<int>(random() % 40) - 20)
                                   : std::bit_cast<double>(random());
        if (std::isfinite(value)) values.push_back(value);
    }
    for (const double value : values) {
        const std::string text = written([&](JSONWriter& w) { w.number(value); });
        const std::optional<double> back = JSONNumber::finiteDouble(text);
        ASSERT_TRUE(back) << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(*back), std::bit_cast<std::uint64_t>(value)) << text;
        if (std::fabs(value) < 9007199254740992.0 && value == std::trunc(value) && !(value == 0 && std::signbit(value))) {
            ASSERT_EQ(text, std::to_string(static_cast<long long>(value)));
            continue;
        }
        char shortest[40];
        const std::string reference(shortest, std::to_chars(shortest, shortest + sizeof shortest, value).ptr);
        // Above 2^53 in fixed notation the library writes every digit of the exact value
        // ("157201773620375486464") where we write the shortest digits and zeros
        // ("157201773620375500000"): the same length, the same double.
        if (reference.find_first_of(".e") == std::string::npos) {
            ASSERT_EQ(text.size(), reference.size()) << reference;
        } else {
            ASSERT_EQ(text, reference);
        }
    }
    for (const double exact : {9007199254740992.0, 14641993860184652.0}) {
        EXPECT_EQ(written([&](JSONWriter& w) { w.number(exact); }), std::to_string(static_cast<long long>(exact)));
    }
}
TEST(JSONWriter, EscapesStrings) {
    EXPECT_EQ(written([](JSONWriter& w) { w.string("a\"b\\c/d\b\f\n\r\t\x01\x1F\x7F é"); }),
              "\"a\\\"b\\\\c\\/d\\b\\f\\n\\r\\t\\u0001\\u001f\x7F é\"");
    // Long strings pass the staging buffer.
    const std::string longText(5000, '/');
    const std::string out = written([&](JSONWriter& w) { w.string(longText); });
    EXPECT_EQ(out.size(), 10002u);
    const JSONDocument back("[" + out + "]");
    EXPECT_EQ(back.root().children().begin()->text(), longText);
    std::string bad;
    JSONWriter writer(bad);
    EXPECT_THROW(writer.string("\xC3"), EncodingError);
    EXPECT_THROW(writer.string("\xF8\x88\x80\x80\x80"), EncodingError);
}
TEST(JSONWriter, StringsOfEveryShortLengthReadBack) {
    std::mt19937 random(5);
    const std::string alphabet = "abc/\\\"\n\x01 \xC3\xA9xyz0123456789";
    for (std::size_t length = 0; length < 300; ++length) {
        std::string text;
        while (text.size() < length) {
            const char c = alphabet[random() % alphabet.size()];
            if (c == '\xC3') {
                text += "\xC3\xA9";
            } else if (c != '\xA9') {
                text += c;
            }
        }
        const std::string out = written([&](JSONWriter& w) {
            w.beginArray();
            w.string(text);
            w.string(text);
            w.endArray();
        });
        const JSONDocument back(out);
        ASSERT_EQ(back.root().count(), 2u);
        for (const JSONNode& element : back.root().children()) ASSERT_EQ(element.text(), text) << out;
    }
}
// ---- Base64 ---------------------------------------------------------------------------------
TEST(Base64, AgreesWithAnIndependentCodec) {
    std::mt19937 random(3);
    for (int n = 0; n < 300; ++n) {
        Bytes bytes(static_cast<std::size_t>(n));
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
        const std::string ours = Base64::encode(bytes);
        std::string reference(AV_BASE64_SIZE(bytes.size()), '\0');
        ASSERT_NE(av_base64_encode(reference.data(), static_cast<int>(reference.size()), bytes.data(),
                                   static_cast<int>(bytes.size())),
                  nullptr);
        reference.resize(std::strlen(reference.c_str()));
        ASSERT_EQ(ours, reference);
        ASSERT_EQ(Base64::decode(ours), bytes);
    }
}
TEST(Base64, RefusesAnythingButStrictPaddedText) {
    for (const char* text : {"A", "AA", "AAA", "AAAAA", "A===", "=AAA", "AA=A", "AA==AA==", "AB==", "AAB=", "Zg",
                             "Zm8", "Zm 9v", "Zm9v\n", "Zm9-", "Zm9_"}) {
        EXPECT_EQ(Base64::decode(text), std::nullopt) << text;
    }
    EXPECT_EQ(Base64::decode(std::string_view("Zg=\0", 4)), std::nullopt);
}
}}  // namespace mivodrell
