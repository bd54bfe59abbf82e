#include "ViewportCore/RemoteEvent.h"

#include "ViewportCore/InputValueJSON.h"
#include "ViewportCore/WireCoding.h"

namespace mivodrell {

namespace {

using E = RemoteEvent;

// The key table of RemoteEvent: the case names in declaration order, each with its field names
// in field order ("_0" for an unnamed value).
constexpr auto remoteEventKeys = std::tuple{
    wireCase<E::CursorMove>("cursorMove", wireField("to", &E::CursorMove::to)),
    wireCase<E::MouseMoveRelative>("mouseMoveRelative", wireField("deltaX", &E::MouseMoveRelative::deltaX),
                                   wireField("deltaY", &E::MouseMoveRelative::deltaY)),
    wireCase<E::MouseDown>("mouseDown", wireField("button", &E::MouseDown::button), wireField("at", &E::MouseDown::at)),
    wireCase<E::MouseUp>("mouseUp", wireField("button", &E::MouseUp::button), wireField("at", &E::MouseUp::at)),
    wireCase<E::Click>("click", wireField("button", &E::Click::button), wireField("at", &E::Click::at),
                       wireField("clickCount", &E::Click::clickCount)),
    wireCase<E::Scroll>("scroll", wireField("deltaX", &E::Scroll::deltaX), wireField("deltaY", &E::Scroll::deltaY),
                        wireField("phase", &E::Scroll::phase), wireField("at", &E::Scroll::at)),
    wireCase<E::InjectText>("injectText", wireField("_0", &E::InjectText::text)),
    wireCase<E::KeyStroke>("keyStroke", wireField("key", &E::KeyStroke::key),
                           wireField("modifiers", &E::KeyStroke::modifiers), wireField("isDown", &E::KeyStroke::isDown)),
    wireCase<E::ModifierState>("modifierState", wireField("_0", &E::ModifierState::modifiers)),
    wireCase<E::RequestTopology>("requestTopology"),
    wireCase<E::UnlockRequest>("unlockRequest", wireField("challengeResponse", &E::UnlockRequest::challengeResponse)),
    wireCase<E::RequestKeyframe>("requestKeyframe", wireField("displayID", &E::RequestKeyframe::displayID)),
    wireCase<E::ViewportChanged>("viewportChanged", wireField("rect", &E::ViewportChanged::rect),
                                 wireField("phonePixelWidth", &E::ViewportChanged::phonePixelWidth),
                                 wireField("phonePixelHeight", &E::ViewportChanged::phonePixelHeight),
                                 wireField("sequence", &E::ViewportChanged::sequence)),
    wireCase<E::SetAudioEnabled>("setAudioEnabled", wireField("_0", &E::SetAudioEnabled::enabled)),
    wireCase<E::SetQualityTolerance>("setQualityTolerance", wireField("_0", &E::SetQualityTolerance::level)),
    wireCase<E::SetFrameRateLimit>("setFrameRateLimit", wireField("_0", &E::SetFrameRateLimit::framesPerSecond)),
    wireCase<E::TextInputSession>("textInputSession", wireField("active", &E::TextInputSession::active)),
    wireCase<E::ReportPlaybackHealth>("reportPlaybackHealth", wireField("fpsRatio", &E::ReportPlaybackHealth::fpsRatio),
                                      wireField("isStalled", &E::ReportPlaybackHealth::isStalled),
                                      wireField("isOnCellular", &E::ReportPlaybackHealth::isOnCellular)),
    wireCase<E::LinkPingAck>("linkPingAck", wireField("_0", &E::LinkPingAck::pingNumber)),
    wireCase<E::SetMacClipboardText>("setMacClipboardText", wireField("_0", &E::SetMacClipboardText::text)),
    wireCase<E::RequestMacClipboardText>("requestMacClipboardText"),
    wireCase<E::SwitchToPreviousWindow>("switchToPreviousWindow"),
    wireCase<E::ICloudIdentityHandshake>("iCloudIdentityHandshake",
                                         wireField("userRecordName", &E::ICloudIdentityHandshake::userRecordName)),
    wireCase<E::SetMacPrivacyMode>("setMacPrivacyMode", wireField("_0", &E::SetMacPrivacyMode::enabled)),
    wireCase<E::SetCameraEnabled>("setCameraEnabled", wireField("_0", &E::SetCameraEnabled::enabled),
                                  wireField("deviceID", &E::SetCameraEnabled::deviceID),
                                  wireField("outputWidthPoints", &E::SetCameraEnabled::outputWidthPoints),
                                  wireField("outputHeightPoints", &E::SetCameraEnabled::outputHeightPoints)),
    wireCase<E::SetMicrophoneEnabled>("setMicrophoneEnabled", wireField("_0", &E::SetMicrophoneEnabled::enabled)),
    wireCase<E::SetCameraCropOffset>("setCameraCropOffset", wireField("_0", &E::SetCameraCropOffset::offset)),
};

constexpr std::string_view kTypeName = "RemoteEvent";

}  // namespace

std::string_view RemoteEvent::caseName(Kind kind) {
    return wireCaseNames<remoteEventKeys>()[static_cast<std::size_t>(kind)];
}

std::span<const std::string_view> RemoteEvent::caseNames() { return wireCaseNames<remoteEventKeys>(); }

void RemoteEvent::writeJSON(std::string& out) const {
    appendJSON(out, [&](JSONWriter& writer) { encodeWireMessage<RemoteEvent, remoteEventKeys>(writer, *this); });
}

std::string RemoteEvent::jsonText() const {
    std::string text;
    text.reserve(128);
    writeJSON(text);
    return text;
}

RemoteEvent RemoteEvent::fromJSON(std::string_view body) {
    return decodeJSONText(body, [](const JSONNode& root, const CodingPathLink& at) {
        return decodeWireMessage<RemoteEvent, remoteEventKeys>(root, at, kTypeName);
    });
}

bool operator==(const RemoteEvent& a, const RemoteEvent& b) {
    return wireMessagesEqual<RemoteEvent, remoteEventKeys>(a, b);
}

}  // namespace mivodrell
