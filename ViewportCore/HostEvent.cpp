#include "ViewportCore/HostEvent.h"

#include "ViewportCore/DisplayTopologyJSON.h"
#include "ViewportCore/WireCoding.h"

namespace mivodrell {

namespace {

using E = HostEvent;

// The key table of HostEvent: the case names in declaration order, each with its field names in
// field order ("_0" for an unnamed value).
constexpr auto hostEventKeys = std::tuple{
    wireCase<E::TopologyChanged>("topologyChanged", wireField("_0", &E::TopologyChanged::topology)),
    wireCase<E::LinkPing>("linkPing", wireField("_0", &E::LinkPing::pingNumber)),
    wireCase<E::SetPlaybackReportInterval>("setPlaybackReportInterval",
                                           wireField("_0", &E::SetPlaybackReportInterval::seconds)),
    wireCase<E::TransportStateChanged>("transportStateChanged", wireField("_0", &E::TransportStateChanged::state)),
    wireCase<E::CursorMoved>("cursorMoved", wireField("to", &E::CursorMoved::to)),
    wireCase<E::ActiveDisplayChanged>("activeDisplayChanged", wireField("_0", &E::ActiveDisplayChanged::displayID)),
    wireCase<E::UnlockChallenge>("unlockChallenge", wireField("_0", &E::UnlockChallenge::challenge)),
    wireCase<E::UnlockResult>("unlockResult", wireField("_0", &E::UnlockResult::succeeded)),
    wireCase<E::VideoFormatChanged>("videoFormatChanged", wireField("_0", &E::VideoFormatChanged::format)),
    wireCase<E::DisplayThumbnail>("displayThumbnail", wireField("_0", &E::DisplayThumbnail::thumbnail)),
    wireCase<E::MenuBarSnapshot>("menuBarSnapshot", wireField("_0", &E::MenuBarSnapshot::snapshot)),
    wireCase<E::AudioFormatChanged>("audioFormatChanged", wireField("_0", &E::AudioFormatChanged::format)),
    wireCase<E::ActiveWindowFrameChanged>("activeWindowFrameChanged",
                                          wireField("displayID", &E::ActiveWindowFrameChanged::displayID),
                                          wireField("frame", &E::ActiveWindowFrameChanged::frame)),
    wireCase<E::ClipboardTextChanged>("clipboardTextChanged", wireField("_0", &E::ClipboardTextChanged::text)),
    wireCase<E::LanAccessDenied>("lanAccessDenied", wireField("reason", &E::LanAccessDenied::reason)),
    wireCase<E::PrivacyModeStateChanged>("privacyModeStateChanged",
                                         wireField("_0", &E::PrivacyModeStateChanged::enabled)),
    wireCase<E::CameraDevicesChanged>("cameraDevicesChanged", wireField("_0", &E::CameraDevicesChanged::devices)),
    wireCase<E::CameraFormatChanged>("cameraFormatChanged", wireField("_0", &E::CameraFormatChanged::format)),
    wireCase<E::CameraStateChanged>("cameraStateChanged", wireField("enabled", &E::CameraStateChanged::enabled),
                                    wireField("deviceID", &E::CameraStateChanged::deviceID),
                                    wireField("reason", &E::CameraStateChanged::reason)),
    wireCase<E::MicrophoneFormatChanged>("microphoneFormatChanged",
                                         wireField("_0", &E::MicrophoneFormatChanged::format)),
    wireCase<E::MicrophoneStateChanged>("microphoneStateChanged",
                                        wireField("enabled", &E::MicrophoneStateChanged::enabled),
                                        wireField("reason", &E::MicrophoneStateChanged::reason)),
    wireCase<E::MonitoringConsentPending>("monitoringConsentPending",
                                          wireField("what", &E::MonitoringConsentPending::what),
                                          wireField("pending", &E::MonitoringConsentPending::pending)),
};

constexpr std::string_view kTypeName = "HostEvent";

}  // namespace

std::string_view HostEvent::caseName(Kind kind) {
    return wireCaseNames<hostEventKeys>()[static_cast<std::size_t>(kind)];
}

std::span<const std::string_view> HostEvent::caseNames() { return wireCaseNames<hostEventKeys>(); }

void HostEvent::writeJSON(std::string& out) const {
    appendJSON(out, [&](JSONWriter& writer) { encodeWireMessage<HostEvent, hostEventKeys>(writer, *this); });
}

std::string HostEvent::jsonText() const {
    std::string text;
    text.reserve(128);
    writeJSON(text);
    return text;
}

HostEvent HostEvent::fromJSON(std::string_view body) {
    return decodeJSONText(body, [](const JSONNode& root, const CodingPathLink& at) {
        return decodeWireMessage<HostEvent, hostEventKeys>(root, at, kTypeName);
    });
}

bool operator==(const HostEvent& a, const HostEvent& b) { return wireMessagesEqual<HostEvent, hostEventKeys>(a, b); }

}  // namespace mivodrell
