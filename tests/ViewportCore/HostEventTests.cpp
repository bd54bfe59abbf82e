#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include "ViewportCore/ControlChannelCoding.h"
#include "ViewportCore/DecodingError.h"
#include "ViewportCore/EncodingError.h"
#include "ViewportCore/HostEvent.h"
#include "support/ViewportCoreTestSupport.h"
namespace mivodrell { namespace {
using namespace testsupport;
using Kind = DecodingError::Kind;
using H = HostEvent;
using Bytes = std::vector<std::uint8_t>;
DisplayTopology twoDisplays() {
    return DisplayTopology({DisplayInfo(2, CGRect(1920, 0, 1280, 800), 2, false, "Side"),
                            DisplayInfo(1, CGRect(0, 0, 1920, 1080), 1, true, "Main")});
}
VideoFormatInfo screenFormat() {
    return VideoFormatInfo{0, 1920, 1080, {{0x40, 0x01, 0x0C}, {0x42, 0x01}, {0x44, 0x01, 0xC1}}, 4, CGRect()};
}
struct Sample { HostEvent event; std::string text; };
std::vector<Sample> samples() {
    return {
        {H::topologyChanged(twoDisplays()),
         R"({"topologyChanged":{"_0":{"displays":[{"id":1,"frame":[[0,0],[1920,1080]],"scale":1,"isMain":true,"localizedName":"Main"},)"
         R"({"id":2,"frame":[[1920,0],[1280,800]],"scale":2,"isMain":false,"localizedName":"Side"}]}}})"},
        {H::topologyChanged(DisplayTopology()), R"({"topologyChanged":{"_0":{"displays":[]}}})"},
        {H::linkPing(42), R"({"linkPing":{"_0":42}})"},
        {H::setPlaybackReportInterval(1.0), R"({"setPlaybackReportInterval":{"_0":1}})"},
        {H::transportStateChanged(255), R"({"transportStateChanged":{"_0":255}})"},
        {H::cursorMoved({512.5, 384}), R"({"cursorMoved":{"to":[512.5,384]}})"},
        {H::activeDisplayChanged(69733382), R"({"activeDisplayChanged":{"_0":69733382}})"},
        {H::unlockChallenge({0xFB, 0xFF}), R"({"unlockChallenge":{"_0":"+\/8="}})"},
        {H::unlockResult(true), R"({"unlockResult":{"_0":true}})"},
        {H::videoFormatChanged(screenFormat()),
         R"({"videoFormatChanged":{"_0":{"displayID":0,"width":1920,"height":1080,"parameterSets":["QAEM","QgE=","RAHB"],)"
         R"("nalUnitHeaderLength":4,"sourceRect":[[0,0],[0,0]]}}})"},
        {H::displayThumbnail(DisplayThumbnail{1, {0xFF, 0xD8, 0xFF}}),
         R"({"displayThumbnail":{"_0":{"displayID":1,"jpegData":"\/9j\/"}}})"},
        {H::menuBarSnapshot(MenuBarSnapshot{{1, 2, 3}, 7}),
         R"({"menuBarSnapshot":{"_0":{"jpegData":"AQID","displayID":7}}})"},
        {H::menuBarSnapshot(MenuBarSnapshot{{}, 7, 24, 310.5, 2}),
         R"({"menuBarSnapshot":{"_0":{"jpegData":"","displayID":7,"menuBarHeightPoints":24,"leftClusterPointWidth":310.5,"pixelsPerPoint":2}}})"},
        {H::audioFormatChanged(AudioFormatInfo{48000, 2, {0x11, 0x90}}),
         R"({"audioFormatChanged":{"_0":{"sampleRate":48000,"channelCount":2,"magicCookie":"EZA="}}})"},
        {H::activeWindowFrameChanged(1, CGRect(100, 50.5, 800, 600)),
         R"({"activeWindowFrameChanged":{"displayID":1,"frame":[[100,50.5],[800,600]]}})"},
        {H::clipboardTextChanged("https://example.com/a?b=1"),
         R"({"clipboardTextChanged":{"_0":"https:\/\/example.com\/a?b=1"}})"},
        {H::lanAccessDenied("x"), R"({"lanAccessDenied":{"reason":"x"}})"},
        {H::privacyModeStateChanged(false), R"({"privacyModeStateChanged":{"_0":false}})"},
        {H::cameraDevicesChanged({}), R"({"cameraDevicesChanged":{"_0":[]}})"},
        {H::cameraDevicesChanged({CameraDeviceInfo{"cam-1", "FaceTime HD", true}, CameraDeviceInfo{"cam-2", "USB", false}}),
         R"({"cameraDevicesChanged":{"_0":[{"id":"cam-1","name":"FaceTime HD","isDefault":true},{"id":"cam-2","name":"USB","isDefault":false}]}})"},
        {H::cameraFormatChanged(VideoFormatInfo{0, 1280, 720, {}, 4, CGRect()}),
         R"({"cameraFormatChanged":{"_0":{"displayID":0,"width":1280,"height":720,"parameterSets":[],"nalUnitHeaderLength":4,"sourceRect":[[0,0],[0,0]]}}})"},
        {H::cameraStateChanged(false, std::nullopt, std::nullopt), R"({"cameraStateChanged":{"enabled":false}})"},
        {H::cameraStateChanged(true, "cam-1", std::nullopt), R"({"cameraStateChanged":{"enabled":true,"deviceID":"cam-1"}})"},
        {H::cameraStateChanged(false, std::nullopt, "使用者拒絕"),
         R"({"cameraStateChanged":{"enabled":false,"reason":"使用者拒絕"}})"},
        {H::microphoneFormatChanged(AudioFormatInfo{44100.5, 1, {}}),
         R"({"microphoneFormatChanged":{"_0":{"sampleRate":44100.5,"channelCount":1,"magicCookie":""}}})"},
        {H::microphoneStateChanged(true, std::nullopt), R"({"microphoneStateChanged":{"enabled":true}})"},
        {H::monitoringConsentPending("麥克風", true), R"({"monitoringConsentPending":{"what":"麥克風","pending":true}})"}};
}
TEST(HostEvent, WritesExactTextsAndReadsThemBack) {
    std::set<H::Kind> kinds;
    for (const Sample& sample : samples()) {
        SCOPED_TRACE(sample.text);
        kinds.insert(sample.event.kind());
        EXPECT_EQ(sample.event.jsonText(), sample.text);
        EXPECT_EQ(HostEvent::fromJSON(sample.text), sample.event);
        const nlohmann::json parsed = nlohmann::json::parse(sample.text);
        ASSERT_EQ(parsed.size(), 1u);
        EXPECT_EQ(parsed.begin().key(), H::caseName(sample.event.kind()));
    }
    EXPECT_EQ(kinds.size(), H::caseCount);
}
TEST(HostEvent, ReadingRules) {
    EXPECT_EQ(HostEvent::fromJSON(R"({"cameraStateChanged":{"enabled":false,"deviceID":null,"reason":null}})"),
              H::cameraStateChanged(false, std::nullopt, std::nullopt));
    // Payload structures ignore unknown members and read absent or null optionals as absent.
    EXPECT_EQ(HostEvent::fromJSON(R"({"menuBarSnapshot":{"_0":{"jpegData":"","displayID":7,"pixelsPerPoint":null,"x":1}}})"),
              H::menuBarSnapshot(MenuBarSnapshot{{}, 7}));
    EXPECT_EQ(HostEvent::fromJSON(R"({"cameraDevicesChanged":{"_0":[{"isDefault":false,"name":"n","id":"i","model":"m"}]}})"),
              H::cameraDevicesChanged({CameraDeviceInfo{"i", "n", false}}));
    EXPECT_EQ(HostEvent::fromJSON(R"({"videoFormatChanged":{"_0":{"displayID":4294967295,"width":-1,"height":2147483647,)"
                                  R"("parameterSets":[""],"nalUnitHeaderLength":-2147483648,"sourceRect":[[1,2],[3,4]]}}})"),
              H::videoFormatChanged(VideoFormatInfo{4294967295u, -1, 2147483647, {{}}, -2147483647 - 1,
                                                    CGRect(1, 2, 3, 4)}));
}
TEST(HostEvent, TopologyIsReadThroughItsConstructor) {
    // Out of order, with a "bounds" member that is ignored.
    const HostEvent event = HostEvent::fromJSON(R"({"topologyChanged":{"_0":{"bounds":[[9,9],[9,9]],"displays":[)"
        R"({"id":3,"frame":[[1920,0],[100,100]],"scale":1,"isMain":false,"localizedName":"C"},)"
        R"({"id":2,"frame":[[0,0],[1920,1080]],"scale":2,"isMain":true,"localizedName":"B"},)"
        R"({"id":1,"frame":[[0,-1080],[1920,1080]],"scale":1,"isMain":false,"localizedName":"A"}]}}})");
    const DisplayTopology sorted({DisplayInfo(1, CGRect(0, -1080, 1920, 1080), 1, false, "A"),
                                  DisplayInfo(2, CGRect(0, 0, 1920, 1080), 2, true, "B"),
                                  DisplayInfo(3, CGRect(1920, 0, 100, 100), 1, false, "C")});
    EXPECT_EQ(event, H::topologyChanged(sorted));
    EXPECT_TRUE(identical(event.as<H::TopologyChanged>()->topology.bounds(), CGRect(0, -1080, 2020, 2160)));
}
TEST(HostEvent, ReadingFailuresNameTheirKindAndPath) {
    const std::string display = R"({"id":1,"frame":[[0,0],[1,1]],"scale":1,"isMain":true,"localizedName":"A"})";
    const DecodeFailure failures[] = {
        // Nested payloads.
        {R"({"videoFormatChanged":{"_0":null}})", Kind::valueNotFound, "videoFormatChanged._0", ""},
        {R"({"videoFormatChanged":{"_0":[]}})", Kind::typeMismatch, "videoFormatChanged._0", "VideoFormatInfo"},
        {R"({"videoFormatChanged":{"_0":{"displayID":0,"width":1,"height":1,"parameterSets":[],"nalUnitHeaderLength":4}}})",
         Kind::keyNotFound, "videoFormatChanged._0", "sourceRect"},
        {R"({"cameraFormatChanged":{"_0":{"displayID":0,"width":1,"height":1,"parameterSets":["AA==","A"],"nalUnitHeaderLength":4,"sourceRect":[[0,0],[0,0]]}}})",
         Kind::dataCorrupted, "cameraFormatChanged._0.parameterSets[1]", ""},
        {R"({"cameraFormatChanged":{"_0":{"displayID":0,"width":1,"height":1,"parameterSets":"AA==","nalUnitHeaderLength":4,"sourceRect":[[0,0],[0,0]]}}})",
         Kind::typeMismatch, "cameraFormatChanged._0.parameterSets", ""},
        {R"({"videoFormatChanged":{"_0":{"displayID":0,"width":2147483648,"height":1,"parameterSets":[],"nalUnitHeaderLength":4,"sourceRect":[[0,0],[0,0]]}}})",
         Kind::dataCorrupted, "videoFormatChanged._0.width", ""},
        {R"({"videoFormatChanged":{"_0":{"displayID":0,"width":1,"height":1,"parameterSets":[],"nalUnitHeaderLength":4,"sourceRect":[[0,0],[0]]}}})",
         Kind::valueNotFound, "videoFormatChanged._0.sourceRect[1][1]", ""},
        {R"({"menuBarSnapshot":{"_0":{"jpegData":"","displayID":1,"menuBarHeightPoints":"24"}}})", Kind::typeMismatch,
         "menuBarSnapshot._0.menuBarHeightPoints", "Double"},
        {R"({"microphoneFormatChanged":{"_0":{"sampleRate":48000,"channelCount":2}}})", Kind::keyNotFound,
         "microphoneFormatChanged._0", "magicCookie"},
        // The camera list.
        {R"({"cameraDevicesChanged":{"_0":{}}})", Kind::typeMismatch, "cameraDevicesChanged._0", ""},
        {R"({"cameraDevicesChanged":{"_0":[{"id":"a","name":"b","isDefault":true},{"id":"c","name":"d"}]}})",
         Kind::keyNotFound, "cameraDevicesChanged._0[1]", "isDefault"},
        {R"({"cameraDevicesChanged":{"_0":[null]}})", Kind::valueNotFound, "cameraDevicesChanged._0[0]", ""},
        {R"({"cameraDevicesChanged":{"_0":[{"id":1,"name":"b","isDefault":true}]}})", Kind::typeMismatch,
         "cameraDevicesChanged._0[0].id", "String"},
        // The topology's display list.
        {R"({"topologyChanged":{"_0":{}}})", Kind::keyNotFound, "topologyChanged._0", "displays"},
        {R"({"topologyChanged":{"_0":{"displays":[)" + display +
             R"(,{"id":2,"frame":[[0,0],[1,1]],"scale":1,"isMain":true}]}}})",
         Kind::keyNotFound, "topologyChanged._0.displays[1]", "localizedName"},
        {R"({"topologyChanged":{"_0":{"displays":[{"id":1,"frame":[[0,0],[1,1e400]],"scale":1,"isMain":true,"localizedName":"A"}]}}})",
         Kind::dataCorrupted, "topologyChanged._0.displays[0].frame[1][1]", ""},
    };
    for (const DecodeFailure& f : failures) expectDecodeFailure<HostEvent>(f);
}
TEST(HostEvent, NonFiniteNumbersAnywhereCannotBeWritten) {
    const HostEvent unwritable[] = {
        H::setPlaybackReportInterval(kNaN), H::cursorMoved({kInf, 0}),
        H::activeWindowFrameChanged(1, CGRect(0, 0, 1, -kInf)), H::audioFormatChanged(AudioFormatInfo{kNaN, 2, {}}),
        H::microphoneFormatChanged(AudioFormatInfo{kInf, 1, {}}),
        H::menuBarSnapshot(MenuBarSnapshot{{}, 1, std::nullopt, kNaN}),
        H::videoFormatChanged(VideoFormatInfo{0, 1, 1, {}, 4, CGRect(kNaN, 0, 0, 0)}),
        H::cameraFormatChanged(VideoFormatInfo{0, 1, 1, {}, 4, CGRect::null()}),
        H::topologyChanged(DisplayTopology({DisplayInfo(1, CGRect(0, 0, 1, 1), kNaN, true, "A")}))};
    for (const HostEvent& event : unwritable) {
        std::string out;
        EXPECT_THROW(event.writeJSON(out), EncodingError);
        EXPECT_TRUE(out.empty());
    }
    const auto error = thrown<EncodingError>([] { H::menuBarSnapshot(MenuBarSnapshot{{}, 1, 1, 2, kNaN}).jsonText(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(describeCodingPath(error->codingPath), "menuBarSnapshot._0.pixelsPerPoint");
}
TEST(HostEvent, EqualityFollowsTheValueRules) {
    EXPECT_NE(H::audioFormatChanged({kNaN, 2, {1}}), H::audioFormatChanged({kNaN, 2, {1}}));
    VideoFormatInfo reordered = screenFormat();
    std::swap(reordered.parameterSets[0], reordered.parameterSets[2]);
    EXPECT_NE(H::videoFormatChanged(screenFormat()), H::videoFormatChanged(reordered));
    EXPECT_EQ(H::cameraDevicesChanged({{"id", "Caf\xC3\xA9", true}}), H::cameraDevicesChanged({{"id", "Cafe\xCC\x81", true}}));
    EXPECT_NE(H::menuBarSnapshot({{}, 1, 24}), H::menuBarSnapshot({{}, 1}));
}
TEST(HostEvent, FrameLimitCountsTheWrittenText) {
    const std::size_t limit = ControlChannelCoding::maxBodyBytes;
    const std::size_t overhead = H::clipboardTextChanged("").jsonText().size();
    std::string text(limit - overhead, 'a');
    const HostEvent largest = H::clipboardTextChanged(text);
    const auto frame = ControlChannelCoding::encode(largest);
    EXPECT_EQ(frame.size(), limit + 4);
    EXPECT_EQ(ControlChannelCoding::readLength(frame.data()), limit);
    EXPECT_EQ(ControlChannelCoding::decode<HostEvent>(std::span(frame).subspan(4)), largest);
    // A slash is written escaped, as two bytes: one more byte than the limit.
    text.back() = '/';
    const auto error = thrown<ControlChannelCoding::EncodingError>(
        [&] { ControlChannelCoding::encode(H::clipboardTextChanged(text)); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->byteCount, static_cast<std::int64_t>(limit + 1));
}
}}  // namespace mivodrell
