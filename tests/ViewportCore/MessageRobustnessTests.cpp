// Hostile input: many thousands of random, truncated and mutated message texts (seeded). Every
// read either gives a message or throws DecodingError; a message that was read writes and reads
// back equal.
#include <gtest/gtest.h>
#include <exception>
#include <random>
#include "ViewportCore/DecodingError.h"
#include "ViewportCore/HostEvent.h"
#include "ViewportCore/RemoteEvent.h"
namespace mivodrell { namespace {
const char* const kFieldNames[] = {"_0",        "to",        "at",         "button",     "clickCount", "deltaX",
                                   "deltaY",    "phase",     "key",        "modifiers",  "isDown",     "rect",
                                   "sequence",  "displayID", "fpsRatio",   "isStalled",  "isOnCellular",
                                   "deviceID",  "enabled",   "reason",     "what",       "pending",    "frame",
                                   "displays",  "id",        "scale",      "isMain",     "localizedName",
                                   "jpegData",  "width",     "height",     "parameterSets", "sourceRect",
                                   "sampleRate", "channelCount", "magicCookie", "name",  "isDefault",
                                   "outputWidthPoints", "outputHeightPoints", "userRecordName", "challengeResponse",
                                   "phonePixelWidth", "phonePixelHeight", "active", "menuBarHeightPoints"};
const char* const kScalars[] = {"0",     "1",          "-1",      "2.5",        "1e400",    "-0",     "255",
                                "256",   "4294967295", "4294967296", "9223372036854775808", "1e-400", "0.1",
                                "true",  "false",      "null",    "\"\"",       "\"AAEC\"", "\"AA=\"", "\"x\"",
                                "\"\\u00e9\"", "\"\\ud800\"", "\"\\/\"",  "126",     "52",       "1E2",    "3"};
class Generator {
public:
    explicit Generator(std::uint64_t seed) : random_(seed) {}
    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }
    std::string value(int depth) {
        const std::size_t choice = below(depth > 3 ? 2 : 6);
        switch (choice) {
            case 0:
            case 1: return kScalars[below(std::size(kScalars))];
            case 2: {
                std::string text = "[";
                const std::size_t n = below(4);
                for (std::size_t i = 0; i < n; ++i) text += (i ? "," : "") + value(depth + 1);
                return text + "]";
            }
            case 3: return "[" + number() + "," + number() + "]";
            case 4: return "[[" + number() + "," + number() + "],[" + number() + "," + number() + "]]";
            default: return object(depth + 1, kFieldNames, std::size(kFieldNames));
        }
    }
    std::string number() { return kScalars[below(13)]; }
    std::string object(int depth, const char* const* names, std::size_t nameCount) {
        std::string text = "{";
        const std::size_t n = below(5);
        for (std::size_t i = 0; i < n; ++i) {
            text += i ? "," : "";
            text += "\"";
            text += names[below(nameCount)];
            text += "\":" + value(depth + 1);
        }
        return text + "}";
    }
    // A message-shaped object: mostly one known case name holding plausible fields.
    std::string message(std::span<const std::string_view> caseNames) {
        std::string text = "{";
        const std::size_t members = 1 + (below(8) == 0 ? below(3) : 0);
        for (std::size_t i = 0; i < members; ++i) {
            text += i ? "," : "";
            text += "\"";
            text += below(10) == 0 ? std::string(kFieldNames[below(std::size(kFieldNames))])
                                   : std::string(caseNames[below(caseNames.size())]);
            text += "\":" + (below(10) == 0 ? value(1) : object(1, kFieldNames, std::size(kFieldNames)));
        }
        return text + "}";
    }
    std::string mutate(std::string text) {
        const std::size_t edits = 1 + below(3);
        for (std::size_t e = 0; e < edits && !text.empty(); ++e) {
            const std::size_t at = below(text.size());
            switch (below(5)) {
                case 0: text[at] = static_cast<char>(below(256)); break;
                case 1: text.erase(at, 1 + below(4)); break;
                case 2: text.insert(at, kScalars[below(std::size(kScalars))]); break;
                case 3: text.insert(at, 1, "{}[],:\"\\-.e0"[below(13)]); break;
                default: text.resize(at); break;
            }
        }
        return text;
    }
    std::string bytes() {
        std::string text(below(64), '\0');
        for (char& c : text) c = static_cast<char>(below(256));
        return text;
    }
private:
    std::mt19937_64 random_;
};
template <class Message>
void expectValueOrDecodingError(std::string_view text, int& readCount) {
    try {
        const Message message = Message::fromJSON(text);
        ++readCount;
        // Everything read is finite, so it writes, and reads back equal.
        const std::string written = message.jsonText();
        ASSERT_EQ(Message::fromJSON(written), message) << text;
    } catch (const DecodingError&) {
    } catch (const std::exception& other) {
        FAIL() << "unexpected exception " << other.what() << " for " << text;
    }
}
template <class Message>
void runRobustness(std::uint64_t seed, const std::vector<std::string>& valid) {
    Generator generator(seed);
    int readCount = 0;
    int total = 0;
    // Every truncation of the valid texts.
    for (const std::string& text : valid) {
        for (std::size_t n = 0; n <= text.size(); ++n) {
            expectValueOrDecodingError<Message>(std::string_view(text).substr(0, n), readCount);
            ++total;
        }
    }
    for (int i = 0; i < 6000; ++i) {
        std::string text;
        switch (i % 4) {
            case 0: text = generator.message(Message::caseNames()); break;
            case 1: text = generator.mutate(valid[generator.below(valid.size())]); break;
            case 2: text = generator.mutate(generator.message(Message::caseNames())); break;
            default: text = generator.bytes(); break;
        }
        expectValueOrDecodingError<Message>(text, readCount);
        ++total;
        if (::testing::Test::HasFatalFailure()) return;
    }
    // Some inputs must read, or the generator is not reaching the fields at all.
    EXPECT_GE(readCount, 20) << "of " << total;
}
TEST(MessageRobustness, RemoteEventReadsValueOrDecodingError) {
    const std::vector<std::string> valid = {
        R"({"click":{"button":0,"at":[512,384],"clickCount":2}})",
        R"({"viewportChanged":{"rect":[[0,0],[1440,900]],"phonePixelWidth":2532,"phonePixelHeight":1170,"sequence":17}})",
        R"({"setCameraEnabled":{"_0":true,"deviceID":"cam","outputWidthPoints":320,"outputHeightPoints":240}})",
        R"({"keyStroke":{"key":36,"modifiers":3,"isDown":true}})",
        R"({"unlockRequest":{"challengeResponse":"AAEC\/w=="}})", R"({"injectText":{"_0":"H\u00e9llo \ud83d\ude00"}})",
        R"({"scroll":{"deltaX":-3.5,"deltaY":1e-3,"phase":1,"at":[640,480]}})", R"({"requestTopology":{}})",
        R"({"iCloudIdentityHandshake":{"userRecordName":null}})"};
    runRobustness<RemoteEvent>(20240601, valid);
}
TEST(MessageRobustness, HostEventReadsValueOrDecodingError) {
    const std::vector<std::string> valid = {
        R"({"topologyChanged":{"_0":{"displays":[{"id":1,"frame":[[0,0],[1920,1080]],"scale":2,"isMain":true,"localizedName":"A"}]}}})",
        R"({"videoFormatChanged":{"_0":{"displayID":0,"width":1920,"height":1080,"parameterSets":["QAEM","QgE="],"nalUnitHeaderLength":4,"sourceRect":[[0,0],[0,0]]}}})",
        R"({"menuBarSnapshot":{"_0":{"jpegData":"AQID","displayID":7,"menuBarHeightPoints":24}}})",
        R"({"cameraDevicesChanged":{"_0":[{"id":"a","name":"b","isDefault":true}]}})",
        R"({"cameraStateChanged":{"enabled":false,"reason":"x"}})", R"({"transportStateChanged":{"_0":1}})",
        R"({"activeWindowFrameChanged":{"displayID":1,"frame":[[100,50.5],[800,600]]}})"};
    runRobustness<HostEvent>(20240602, valid);
}
TEST(MessageRobustness, HugeAndDeepInputsFailCleanly) {
    // Deep nesting is refused by the JSON layer (JSONDocument.CapsNestingDepth).
    int readCount = 0;
    std::string manyMembers = "{";
    for (int i = 0; i < 100000; ++i) manyMembers += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    manyMembers += "\"requestTopology\":{}}";
    expectValueOrDecodingError<RemoteEvent>(manyMembers, readCount);
    EXPECT_EQ(readCount, 1);
    std::string manyNumbers = "{\"cursorMove\":{\"to\":[1,2";
    for (int i = 0; i < 100000; ++i) manyNumbers += ",1e999";
    manyNumbers += "]}}";
    expectValueOrDecodingError<RemoteEvent>(manyNumbers, readCount);
    EXPECT_EQ(readCount, 2);
}
}}  // namespace mivodrell
