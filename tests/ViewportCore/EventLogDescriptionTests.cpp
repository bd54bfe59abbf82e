#include "ViewportCore/EventLogDescription.h"
#include "ViewportCore/HostEvent.h"
#include "ViewportCore/RemoteEvent.h"
#include "support/ViewportCoreTestSupport.h"
#include <gtest/gtest.h>
namespace mivodrell { namespace {
using testsupport::kInf;
using testsupport::kNaN;
// Each event's line, and every case of the message type covered.
template <class Message>
void expectDebugKinds(const std::vector<std::pair<Message, std::string>>& cases) {
    std::set<typename Message::Kind> covered;
    for (const auto& [event, expected] : cases) {
        EXPECT_EQ(event.debugKind(), expected);
        covered.insert(event.kind());
    }
    EXPECT_EQ(covered.size(), Message::caseCount);
}
// "👩‍👩‍👧" is five code points and one user-perceived character; "é" decomposed is two.
const std::string family = "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
const std::string decomposedE = "e\xCC\x81";
TEST(EventLogDescription, EveryRemoteEventCase) {
    expectDebugKinds<RemoteEvent>({
        {RemoteEvent::cursorMove({10.9, -0.5}), "cursorMove(10,0)"},
        {RemoteEvent::mouseMoveRelative(2, -3), "mouseMoveRelative(2.0,-3.0)"},
        {RemoteEvent::mouseMoveRelative(0.04, 1.96), "mouseMoveRelative(0.0,2.0)"},
        {RemoteEvent::mouseDown(MouseButton::right, {5, 6}), "mouseDown(right,5,6)"},
        {RemoteEvent::mouseUp(MouseButton::middle, {-7.8, 8}), "mouseUp(middle,-7,8)"},
        {RemoteEvent::click(MouseButton::left, {100.7, 200.2}, 2), "click(left,100,200,x2)"},
        {RemoteEvent::scroll(-3.5, 12, ScrollPhase::momentum, {1, 1}), "scroll(-3,12,momentum)"},
        {RemoteEvent::injectText(family), "injectText(len=1)"},
        {RemoteEvent::injectText("caf" + decomposedE + " 你好"), "injectText(len=7)"},
        {RemoteEvent::keyStroke(VirtualKey::returnKey, KeyModifiers(1), false), "keyStroke(returnKey,up)"},
        {RemoteEvent::keyStroke(VirtualKey::n1, KeyModifiers(0), true), "keyStroke(n1,down)"},
        {RemoteEvent::modifierState(KeyModifiers(3)), "modifierState(KeyModifiers(rawValue: 3))"},
        {RemoteEvent::RequestTopology{}, "requestTopology"}, {RemoteEvent::UnlockRequest{{1, 2, 3}}, "unlockRequest"},
        {RemoteEvent::RequestKeyframe{4294967295u}, "requestKeyframe(4294967295)"},
        {RemoteEvent::ViewportChanged{CGRect(10, 20, -1280.6, 720.2), 2532, 1170, 42},
         "viewportChanged(1280x720,phone=2532x1170,seq=42)"},
        {RemoteEvent::SetAudioEnabled{true}, "setAudioEnabled(true)"},
        {RemoteEvent::SetQualityTolerance{-2}, "setQualityTolerance(-2)"},
        {RemoteEvent::SetFrameRateLimit{30}, "setFrameRateLimit(30)"},
        {RemoteEvent::TextInputSession{false}, "textInputSession(false)"},
        {RemoteEvent::ReportPlaybackHealth{0.875, true, false},
         "reportPlaybackHealth(fps比例=0.88,stalled=true,cellular=false)"},
        {RemoteEvent::LinkPingAck{7}, "linkPingAck(7)"},
        {RemoteEvent::SetMacClipboardText{"héllo"}, "setMacClipboardText(len=5)"},
        {RemoteEvent::RequestMacClipboardText{}, "requestMacClipboardText"},
        {RemoteEvent::SwitchToPreviousWindow{}, "switchToPreviousWindow"},
        {RemoteEvent::ICloudIdentityHandshake{std::string("_abc")}, "iCloudIdentityHandshake(有值)"},
        {RemoteEvent::ICloudIdentityHandshake{std::nullopt}, "iCloudIdentityHandshake(nil)"},
        {RemoteEvent::SetMacPrivacyMode{true}, "setMacPrivacyMode(true)"},
        {RemoteEvent::setCameraEnabled(true, std::nullopt, 480, 640), "setCameraEnabled(true,device=預設,size=480x640)"},
        {RemoteEvent::setCameraEnabled(false, "cam-1", 0, 0), "setCameraEnabled(false,device=cam-1,size=0x0)"},
        {RemoteEvent::SetMicrophoneEnabled{false}, "setMicrophoneEnabled(false)"},
        {RemoteEvent::setCameraCropOffset(0.25), "setCameraCropOffset(0.25)"},
        {RemoteEvent::setCameraCropOffset(1), "setCameraCropOffset(1.0)"},
        // Values without a 64-bit integer part still give a line.
        {RemoteEvent::cursorMove({kNaN, kInf}), "cursorMove(nan,inf)"},
        {RemoteEvent::scroll(-kInf, 1e300, ScrollPhase::began, {0, 0}), "scroll(-inf,1e+300,began)"},
        {RemoteEvent::mouseMoveRelative(kNaN, -kInf), "mouseMoveRelative(nan,-inf)"},
        {RemoteEvent::ViewportChanged{CGRect(0, 0, 9.3e18, kNaN), 1, 1, 0}, "viewportChanged(9.3e+18xnan,phone=1x1,seq=0)"},
        {RemoteEvent::setCameraCropOffset(kNaN), "setCameraCropOffset(nan)"},
    });
}
TEST(EventLogDescription, EveryHostEventCase) {
    const DisplayTopology two({DisplayInfo(1, CGRect(0, 0, 100, 100), 2, true, "A"),
                               DisplayInfo(2, CGRect(100, 0, 100, 100), 1, false, "B")});
    const VideoFormatInfo video{0, 1920, 1080, {{1}, {2}, {3}}, 4, CGRect(10.5, -20.5, 300.9, 200.1)};
    const AudioFormatInfo audio{48000, 2, {0x11, 0x90}};
    expectDebugKinds<HostEvent>({
        {HostEvent::topologyChanged(two), "topologyChanged(2 顆)"},
        {HostEvent::linkPing(17), "linkPing(17)"},
        {HostEvent::setPlaybackReportInterval(2), "setPlaybackReportInterval(2.0)"},
        {HostEvent::setPlaybackReportInterval(0.1), "setPlaybackReportInterval(0.1)"},
        {HostEvent::transportStateChanged(1), "transportStateChanged(1)"},
        {HostEvent::cursorMoved({-0.9, 1e19}), "cursorMoved(0,1e+19)"},
        {HostEvent::activeDisplayChanged(69733378), "activeDisplayChanged(69733378)"},
        {HostEvent::unlockChallenge({9, 9}), "unlockChallenge"},
        {HostEvent::unlockResult(false), "unlockResult(false)"},
        {HostEvent::videoFormatChanged(video), "videoFormatChanged(螢幕0,1920x1080,參數集3組,sourceRect=10,-20,300x200)"},
        {HostEvent::displayThumbnail({3, std::vector<std::uint8_t>(1234, 0)}), "displayThumbnail(螢幕3,1234 bytes)"},
        {HostEvent::menuBarSnapshot({std::vector<std::uint8_t>(99, 0), 4}), "menuBarSnapshot(螢幕4,99 bytes)"},
        {HostEvent::audioFormatChanged(audio), "audioFormatChanged(48000.0Hz,2ch,cookie=2bytes)"},
        {HostEvent::activeWindowFrameChanged(5, CGRect(100, 50, -400, 300)), "activeWindowFrameChanged(螢幕5,100,50,400x300)"},
        {HostEvent::clipboardTextChanged(family + family), "clipboardTextChanged(len=2)"},
        {HostEvent::lanAccessDenied("不同的 iCloud 帳號"), "lanAccessDenied(不同的 iCloud 帳號)"},
        {HostEvent::privacyModeStateChanged(true), "privacyModeStateChanged(true)"},
        {HostEvent::cameraDevicesChanged({{"a", "A", true}, {"b", "B", false}}), "cameraDevicesChanged(2顆)"},
        {HostEvent::cameraFormatChanged(video), "cameraFormatChanged(1920x1080,參數集3組)"},
        {HostEvent::cameraStateChanged(true, std::nullopt, std::nullopt), "cameraStateChanged(true,device=-,reason=-)"},
        {HostEvent::cameraStateChanged(false, "cam", "denied"), "cameraStateChanged(false,device=cam,reason=denied)"},
        {HostEvent::microphoneFormatChanged(audio), "microphoneFormatChanged(48000.0Hz,2ch)"},
        {HostEvent::microphoneStateChanged(true, std::nullopt), "microphoneStateChanged(true,reason=-)"},
        {HostEvent::monitoringConsentPending("camera", true), "monitoringConsentPending(camera,pending=true)"},
    });
}
TEST(EventLogDescription, RealIsTheShortestRoundTripForm) {
    const std::pair<double, const char*> cases[] = {
        {48000, "48000.0"}, {0.25, "0.25"},   {-0.0, "-0.0"},        {0.1, "0.1"},
        {1e-4, "0.0001"},   {1e-5, "1e-05"},  {1e16, "1e+16"},       {1234567890123456.0, "1234567890123456.0"},
        {2.5e-300, "2.5e-300"}, {-1.5, "-1.5"}, {5e-324, "5e-324"}, {1.7976931348623157e308, "1.7976931348623157e+308"},
    };
    for (const auto& [value, text] : cases) {
        std::string out;
        logtext::appendReal(out, value);
        EXPECT_EQ(out, text);
    }
}
TEST(EventLogDescription, CharacterCountsGraphemeClusters) {
    // Emoji sequences and decomposed accents are counted in the injectText lines above.
    // A flag is two regional indicators; an invalid byte counts alone.
    EXPECT_EQ(std::tuple(logtext::characterCount(""), logtext::characterCount("\r\n"),
                         logtext::characterCount("\xF0\x9F\x87\xB9\xF0\x9F\x87\xBC"), logtext::characterCount("a\xFF" "b")),
              std::tuple(0u, 1u, 1u, 3u));
}
}}  // namespace mivodrell
