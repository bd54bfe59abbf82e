#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include "ViewportCore/ControlChannelCoding.h"
#include "ViewportCore/DecodingError.h"
#include "ViewportCore/EncodingError.h"
#include "ViewportCore/RemoteEvent.h"
#include "support/ViewportCoreTestSupport.h"
namespace mivodrell { namespace {
using namespace testsupport;
using Kind = DecodingError::Kind;
using E = RemoteEvent;
struct Sample {
    RemoteEvent event;
    std::string text;  // exactly as written
};
// One sample (or more) of every case, with the exact text the writer gives.
std::vector<Sample> samples() {
    return {
        {E::cursorMove({812.5, -3}), R"({"cursorMove":{"to":[812.5,-3]}})"},
        {E::mouseMoveRelative(-0.25, 1e-7), R"({"mouseMoveRelative":{"deltaX":-0.25,"deltaY":1e-07}})"},
        {E::mouseDown(MouseButton::right, {10, 20}), R"({"mouseDown":{"button":1,"at":[10,20]}})"},
        {E::mouseUp(MouseButton::middle, {0.1, 0.2}), R"({"mouseUp":{"button":2,"at":[0.1,0.2]}})"},
        {E::click(MouseButton::left, {512, 384}, 2), R"({"click":{"button":0,"at":[512,384],"clickCount":2}})"},
        {E::click(MouseButton::left, {1, 1}, std::numeric_limits<std::int64_t>::min()),
         R"({"click":{"button":0,"at":[1,1],"clickCount":-9223372036854775808}})"},
        {E::scroll(0, -12.75, ScrollPhase::momentum, {1e20, 3}),
         R"({"scroll":{"deltaX":0,"deltaY":-12.75,"phase":2,"at":[1e+20,3]}})"},
        {E::injectText("Hello"), R"({"injectText":{"_0":"Hello"}})"},
        {E::injectText("a/b \"q\" \\ \n\t\x01 é 中文 😀"),
         "{\"injectText\":{\"_0\":\"a\\/b \\\"q\\\" \\\\ \\n\\t\\u0001 é 中文 😀\"}}"},
        {E::keyStroke(VirtualKey::returnKey, KeyModifiers{KeyModifiers::command, KeyModifiers::shift}, true),
         R"({"keyStroke":{"key":36,"modifiers":3,"isDown":true}})"},
        {E::keyStroke(VirtualKey::kana, KeyModifiers(0xFFFFFFFFu), false),
         R"({"keyStroke":{"key":104,"modifiers":4294967295,"isDown":false}})"},
        {E::modifierState(KeyModifiers::capsLock), R"({"modifierState":{"_0":32}})"},
        {E::requestTopology(), R"({"requestTopology":{}})"},
        {E::unlockRequest({0x00, 0x01, 0xFF}), R"({"unlockRequest":{"challengeResponse":"AAH\/"}})"},
        {E::unlockRequest({}), R"({"unlockRequest":{"challengeResponse":""}})"},
        {E::requestKeyframe(4294967295u), R"({"requestKeyframe":{"displayID":4294967295}})"},
        {E::viewportChanged(CGRect(0, 0, 1440, 900), 2532, 1170, 17),
         R"({"viewportChanged":{"rect":[[0,0],[1440,900]],"phonePixelWidth":2532,"phonePixelHeight":1170,"sequence":17}})"},
        {E::setAudioEnabled(true), R"({"setAudioEnabled":{"_0":true}})"},
        {E::setQualityTolerance(-5), R"({"setQualityTolerance":{"_0":-5}})"},
        {E::setFrameRateLimit(60), R"({"setFrameRateLimit":{"_0":60}})"},
        {E::textInputSession(false), R"({"textInputSession":{"active":false}})"},
        {E::reportPlaybackHealth(0.9833333333333333, true, false),
         R"({"reportPlaybackHealth":{"fpsRatio":0.9833333333333333,"isStalled":true,"isOnCellular":false}})"},
        {E::linkPingAck(42), R"({"linkPingAck":{"_0":42}})"},
        {E::setMacClipboardText(""), R"({"setMacClipboardText":{"_0":""}})"},
        {E::requestMacClipboardText(), R"({"requestMacClipboardText":{}})"},
        {E::switchToPreviousWindow(), R"({"switchToPreviousWindow":{}})"},
        {E::iCloudIdentityHandshake(std::nullopt), R"({"iCloudIdentityHandshake":{}})"},
        {E::iCloudIdentityHandshake("_abc123"), R"({"iCloudIdentityHandshake":{"userRecordName":"_abc123"}})"},
        {E::setMacPrivacyMode(true), R"({"setMacPrivacyMode":{"_0":true}})"},
        {E::setCameraEnabled(true, std::nullopt, 320, 240),
         R"({"setCameraEnabled":{"_0":true,"outputWidthPoints":320,"outputHeightPoints":240}})"},
        {E::setCameraEnabled(false, "cam-1", 0, 0),
         R"({"setCameraEnabled":{"_0":false,"deviceID":"cam-1","outputWidthPoints":0,"outputHeightPoints":0}})"},
        {E::setMicrophoneEnabled(false), R"({"setMicrophoneEnabled":{"_0":false}})"},
        {E::setCameraCropOffset(0.5), R"({"setCameraCropOffset":{"_0":0.5}})"}};
}
TEST(RemoteEvent, WritesExactTextsAndReadsThemBack) {
    std::set<E::Kind> kinds;
    for (const Sample& sample : samples()) {
        SCOPED_TRACE(sample.text);
        kinds.insert(sample.event.kind());
        EXPECT_EQ(sample.event.jsonText(), sample.text);
        EXPECT_EQ(RemoteEvent::fromJSON(sample.text), sample.event);
        // The written text is JSON that an independent parser reads with the same shape.
        const nlohmann::json parsed = nlohmann::json::parse(sample.text);
        ASSERT_EQ(parsed.size(), 1u);
        EXPECT_EQ(parsed.begin().key(), E::caseName(sample.event.kind()));
        EXPECT_TRUE(parsed.begin().value().is_object());
    }
    EXPECT_EQ(kinds.size(), E::caseCount);
}
TEST(RemoteEvent, ReadsAnyMemberOrderAndIgnoresUnknownMembers) {
    const RemoteEvent expected = E::click(MouseButton::left, {1, 2}, 2);
    EXPECT_EQ(RemoteEvent::fromJSON(R"({"click":{"clickCount":2,"at":[1,2],"button":0}})"), expected);
    EXPECT_EQ(RemoteEvent::fromJSON(R"( { "other" : 5 , "click" : { "x":null, "button":0,"at":[1,2,3],"clickCount":2e0} } )"),
              expected);
    EXPECT_EQ(RemoteEvent::fromJSON(R"({"requestTopology":{"extra":1}})"), E::requestTopology());
    EXPECT_EQ(RemoteEvent::fromJSON(R"({"scroll":{"deltaX":1,"deltaY":2,"phase":0,"at":[3,4]},"Scroll":7})"),
              E::scroll(1, 2, ScrollPhase::began, {3, 4}));
    // A member name given twice: the last one is read.
    EXPECT_EQ(RemoteEvent::fromJSON(R"({"linkPingAck":{"_0":1},"linkPingAck":{"_0":2}})"), E::linkPingAck(2));
    EXPECT_EQ(RemoteEvent::fromJSON(R"({"linkPingAck":{"_0":1,"_0":3}})"), E::linkPingAck(3));
    // Absent and null optionals.
    EXPECT_EQ(RemoteEvent::fromJSON(R"({"iCloudIdentityHandshake":{"userRecordName":null}})"),
              E::iCloudIdentityHandshake(std::nullopt));
    EXPECT_EQ(RemoteEvent::fromJSON(R"({"setCameraEnabled":{"_0":true,"deviceID":null,"outputWidthPoints":1,"outputHeightPoints":2}})"),
              E::setCameraEnabled(true, std::nullopt, 1, 2));
    // Escapes and the escaped slash read back.
    EXPECT_EQ(RemoteEvent::fromJSON(R"({"injectText":{"_0":"a\/b\u00e9\ud83d\ude00"}})"), E::injectText("a/bé😀"));
}
TEST(RemoteEvent, ReadsNumbersByTheFieldsType) {
    struct Case { const char* text; RemoteEvent expected; };
    const Case cases[] = {
        {R"({"click":{"button":0,"at":[0,0],"clickCount":-0}})", E::click(MouseButton::left, {0, 0}, 0)},
        {R"({"click":{"button":0,"at":[0,0],"clickCount":9223372036854775807}})",
         E::click(MouseButton::left, {0, 0}, std::numeric_limits<std::int64_t>::max())},
        {R"({"viewportChanged":{"rect":[[0,0],[1,1]],"phonePixelWidth":0,"phonePixelHeight":0,"sequence":4294967295}})",
         E::viewportChanged(CGRect(0, 0, 1, 1), 0, 0, 4294967295u)},
        {R"({"requestKeyframe":{"displayID":42949672.95e2}})", E::requestKeyframe(4294967295u)},
        {R"({"mouseDown":{"button":2.0,"at":[1E2,-0.0]}})", E::mouseDown(MouseButton::middle, {100, 0})},
        {R"({"modifierState":{"_0":4294967295}})", E::modifierState(KeyModifiers(0xFFFFFFFFu))},
        {R"({"keyStroke":{"key":126,"modifiers":0,"isDown":true}})",
         E::keyStroke(VirtualKey::up, KeyModifiers(), true)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(RemoteEvent::fromJSON(c.text), c.expected);
    }
    // Doubles are correctly rounded (the value nearest to the decimal text).
    const RemoteEvent precise = RemoteEvent::fromJSON(R"({"setCameraCropOffset":{"_0":0.1000000000000000055511151231257827}})");
    EXPECT_EQ(precise, E::setCameraCropOffset(0.1));
    const RemoteEvent halfway = RemoteEvent::fromJSON(R"({"setCameraCropOffset":{"_0":9007199254740993}})");
    EXPECT_EQ(halfway, E::setCameraCropOffset(9007199254740992.0));
}
TEST(RemoteEvent, ReadingFailuresNameTheirKindAndPath) {
    const DecodeFailure failures[] = {
        // Not JSON (the parser's refusals are tested with the JSON layer).
        {"", Kind::dataCorrupted, "", ""},
        // Top level (a wrong number of keys has its own test).
        {"null", Kind::valueNotFound, "", ""}, {"[]", Kind::typeMismatch, "", ""},
        // The case value.
        {R"({"requestTopology":null})", Kind::valueNotFound, "requestTopology", ""},
        {R"({"requestTopology":[]})", Kind::typeMismatch, "requestTopology", ""},
        // Missing and null fields.
        {R"({"setCameraEnabled":{"_0":true,"outputHeightPoints":240}})", Kind::keyNotFound, "setCameraEnabled",
         "outputWidthPoints"},
        {R"({"cursorMove":{"to":null}})", Kind::valueNotFound, "cursorMove.to", ""},
        {R"({"keyStroke":{"key":0,"modifiers":null,"isDown":true}})", Kind::valueNotFound, "keyStroke.modifiers", ""},
        // Wrong kinds.
        {R"({"click":{"button":"0","at":[1,2],"clickCount":2}})", Kind::typeMismatch, "click.button", "UInt8"},
        {R"({"setAudioEnabled":{"_0":1}})", Kind::typeMismatch, "setAudioEnabled._0", "Bool"},
        {R"({"setQualityTolerance":{"_0":true}})", Kind::typeMismatch, "setQualityTolerance._0", "Int"},
        {R"({"injectText":{"_0":5}})", Kind::typeMismatch, "injectText._0", "String"},
        {R"({"unlockRequest":{"challengeResponse":[1,2]}})", Kind::typeMismatch, "unlockRequest.challengeResponse",
         "Data"},
        {R"({"reportPlaybackHealth":{"fpsRatio":"1","isStalled":false,"isOnCellular":false}})", Kind::typeMismatch,
         "reportPlaybackHealth.fpsRatio", "Double"},
        {R"({"iCloudIdentityHandshake":{"userRecordName":7}})", Kind::typeMismatch,
         "iCloudIdentityHandshake.userRecordName", "String"},
        // Integers: fractional, out of range, beyond double range.
        {R"({"click":{"button":0,"at":[1,2],"clickCount":2.5}})", Kind::dataCorrupted, "click.clickCount", ""},
        {R"({"click":{"button":0,"at":[1,2],"clickCount":9223372036854775808}})", Kind::dataCorrupted,
         "click.clickCount", ""},
        {R"({"click":{"button":0,"at":[1,2],"clickCount":1e400}})", Kind::dataCorrupted, "click.clickCount", ""},
        {R"({"viewportChanged":{"rect":[[0,0],[1,1]],"phonePixelWidth":1,"phonePixelHeight":1,"sequence":4294967296}})",
         Kind::dataCorrupted, "viewportChanged.sequence", ""},
        // Raw values that name no case.
        {R"({"click":{"button":3,"at":[1,2],"clickCount":2}})", Kind::dataCorrupted, "click.button", ""},
        {R"({"keyStroke":{"key":65536,"modifiers":0,"isDown":true}})", Kind::dataCorrupted, "keyStroke.key", ""},
        // Doubles beyond the finite range, inside points and rectangles.
        {R"({"cursorMove":{"to":[1,-1.8e308]}})", Kind::dataCorrupted, "cursorMove.to[1]", ""},
        {R"({"viewportChanged":{"rect":[[0,0],[1,1e99999999999]],"phonePixelWidth":1,"phonePixelHeight":1,"sequence":1}})",
         Kind::dataCorrupted, "viewportChanged.rect[1][1]", ""},
        // Short and malformed points and rectangles.
        {R"({"cursorMove":{"to":[1]}})", Kind::valueNotFound, "cursorMove.to[1]", "CGFloat"},
        {R"({"cursorMove":{"to":[1,true]}})", Kind::typeMismatch, "cursorMove.to[1]", "CGFloat"},
        {R"({"cursorMove":{"to":[1,null]}})", Kind::valueNotFound, "cursorMove.to[1]", ""},
        {R"({"cursorMove":{"to":{"x":1,"y":2}}})", Kind::typeMismatch, "cursorMove.to", "CGPoint"},
        {R"({"viewportChanged":{"rect":[[0,0]],"phonePixelWidth":1,"phonePixelHeight":1,"sequence":1}})",
         Kind::valueNotFound, "viewportChanged.rect[1]", ""},
        {R"({"viewportChanged":{"rect":[0,0,1,1],"phonePixelWidth":1,"phonePixelHeight":1,"sequence":1}})",
         Kind::typeMismatch, "viewportChanged.rect[0]", "CGPoint"},
        // Base64 (its refusals are tested with the codec).
        {R"({"unlockRequest":{"challengeResponse":"AAE*"}})", Kind::dataCorrupted, "unlockRequest.challengeResponse", ""},
        // The first failure in field order is the one reported.
        {R"({"click":{"button":9,"at":[1],"clickCount":0.5}})", Kind::dataCorrupted, "click.button", ""}};
    for (const DecodeFailure& f : failures) expectDecodeFailure<RemoteEvent>(f);
}
TEST(RemoteEvent, WrongKeyCountHasTheFixedDescription) {
    for (const char* body : {"{}", R"({"a":1})", R"({"linkPingAck":{"_0":1},"unlockRequest":{}})"}) {
        const auto error = thrown<DecodingError>([&] { RemoteEvent::fromJSON(body); });
        ASSERT_TRUE(error) << body;
        EXPECT_EQ(error->kind, Kind::typeMismatch);
        EXPECT_EQ(error->type, "RemoteEvent");
        EXPECT_TRUE(error->codingPath.empty());
        EXPECT_EQ(error->debugDescription, "Invalid number of keys found, expected one.");
    }
}
TEST(RemoteEvent, NonFiniteNumbersAndInvalidTextCannotBeWritten) {
    const RemoteEvent unwritable[] = {
        E::mouseMoveRelative(kNaN, 0), E::mouseMoveRelative(0, kInf), E::cursorMove({-kInf, 0}),
        E::scroll(1, 1, ScrollPhase::ended, {0, kNaN}), E::viewportChanged(CGRect(0, 0, kNaN, 1), 1, 1, 1),
        E::viewportChanged(CGRect::null(), 1, 1, 1), E::reportPlaybackHealth(kInf, false, false),
        E::setCameraCropOffset(kNaN), E::injectText("bad \xFF byte"),
        E::setMacClipboardText("\xED\xA0\x80"),  // a surrogate
    };
    for (const RemoteEvent& event : unwritable) {
        std::string out = "prefix";
        EXPECT_THROW(event.writeJSON(out), EncodingError);
        EXPECT_EQ(out, "prefix");  // nothing written
        EXPECT_THROW(ControlChannelCoding::encode(event), EncodingError);
    }
    const auto error = thrown<EncodingError>([] { E::viewportChanged(CGRect(0, 0, 1, kNaN), 1, 1, 1).jsonText(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(describeCodingPath(error->codingPath), "viewportChanged.rect[1][1]");
    EXPECT_EQ(error->debugDescription, "Unable to encode Double.nan directly in JSON.");
}
TEST(RemoteEvent, EqualityFollowsTheValueRules) {
    // IEEE doubles, standardized rectangles.
    EXPECT_EQ(E::click(MouseButton::left, {0, -0.0}, 2), E::click(MouseButton::left, {0, 0}, 2));
    EXPECT_NE(E::setCameraCropOffset(kNaN), E::setCameraCropOffset(kNaN));
    EXPECT_EQ(E::viewportChanged(CGRect(10, 10, -10, -10), 1, 2, 3), E::viewportChanged(CGRect(0, 0, 10, 10), 1, 2, 3));
    // Canonically equivalent text, also in optionals; absent is not empty.
    EXPECT_EQ(E::setMacClipboardText("caf\xC3\xA9"), E::setMacClipboardText("cafe\xCC\x81"));
    EXPECT_EQ(E::injectText("\xEA\xB0\x80"), E::injectText("\xE1\x84\x80\xE1\x85\xA1"));  // Hangul 가
    EXPECT_EQ(E::iCloudIdentityHandshake("\xC3\x85"), E::iCloudIdentityHandshake("A\xCC\x8A"));
    EXPECT_NE(E::setCameraEnabled(true, std::nullopt, 1, 1), E::setCameraEnabled(true, "", 1, 1));
    // Byte order, unnamed modifier bits, cases with the same fields.
    EXPECT_NE(E::unlockRequest({1, 2}), E::unlockRequest({2, 1}));
    EXPECT_NE(E::modifierState(KeyModifiers(0x40)), E::modifierState(KeyModifiers()));
    EXPECT_NE(E::requestTopology(), E::requestMacClipboardText());
    EXPECT_NE(E::mouseDown(MouseButton::left, {1, 1}), E::mouseUp(MouseButton::left, {1, 1}));
}
}}  // namespace mivodrell
