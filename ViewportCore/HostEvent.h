#pragma once
// A message from the host to the controller: the display arrangement, stream formats, small
// pictures, pointer and active-window positions, clipboard text, link management, privacy mode,
// camera and microphone state, consent prompts, and the refusal of a local-network connection.
// Every case has at least one field.
//
// JSON: the same shape and rules as RemoteEvent; payload structures, the topology and the camera
// list nest under "_0", e.g. {"displayThumbnail":{"_0":{"displayID":1,"jpegData":"..."}}}.

#include "Platform/Base/Geometry.h"
#include "ViewportCore/AudioFormatInfo.h"
#include "ViewportCore/CameraDeviceInfo.h"
#include "ViewportCore/DisplayThumbnail.h"
#include "ViewportCore/DisplayTopology.h"
#include "ViewportCore/MenuBarSnapshot.h"
#include "ViewportCore/VideoFormatInfo.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace mivodrell {

class HostEvent {
public:
    // The displays and their arrangement ("_0", written as {"displays":[...]}).
    struct TopologyChanged {
        DisplayTopology topology;
    };
    // A numbered probe that the controller echoes in linkPingAck ("_0").
    struct LinkPing {
        std::uint32_t pingNumber = 0;
    };
    // Seconds between the controller's playback reports ("_0").
    struct SetPlaybackReportInterval {
        double seconds = 0;
    };
    // The host's crisis mode: 1 when it starts, 0 when it ends ("_0").
    struct TransportStateChanged {
        std::uint8_t state = 0;
    };
    // Where the pointer now is, after a relative move was applied.
    struct CursorMoved {
        CGPoint to;
    };
    // "_0"
    struct ActiveDisplayChanged {
        std::uint32_t displayID = 0;
    };
    // "_0"
    struct UnlockChallenge {
        std::vector<std::uint8_t> challenge;
    };
    // "_0"
    struct UnlockResult {
        bool succeeded = false;
    };
    // The format of the screen video stream ("_0").
    struct VideoFormatChanged {
        VideoFormatInfo format;
    };
    // "_0"
    struct DisplayThumbnail {
        ::mivodrell::DisplayThumbnail thumbnail;
    };
    // "_0"
    struct MenuBarSnapshot {
        ::mivodrell::MenuBarSnapshot snapshot;
    };
    // The format of the system-audio stream ("_0").
    struct AudioFormatChanged {
        AudioFormatInfo format;
    };
    // The front window of the active application: the display holding its centre and its frame.
    struct ActiveWindowFrameChanged {
        std::uint32_t displayID = 0;
        CGRect frame;
    };
    // "_0"
    struct ClipboardTextChanged {
        std::string text;
    };
    // The local-network connection is refused, with a human-readable reason.
    struct LanAccessDenied {
        std::string reason;
    };
    // "_0"
    struct PrivacyModeStateChanged {
        bool enabled = false;
    };
    // The cameras, in the order the system lists them ("_0").
    struct CameraDevicesChanged {
        std::vector<CameraDeviceInfo> devices;
    };
    // The format of the camera video stream ("_0").
    struct CameraFormatChanged {
        VideoFormatInfo format;
    };
    // Whether the camera stream is on, which camera, and why it is off against the controller's wish.
    struct CameraStateChanged {
        bool enabled = false;
        std::optional<std::string> deviceID;
        std::optional<std::string> reason;
    };
    // The format of the microphone stream ("_0").
    struct MicrophoneFormatChanged {
        AudioFormatInfo format;
    };
    struct MicrophoneStateChanged {
        bool enabled = false;
        std::optional<std::string> reason;
    };
    // A consent dialog on the host for the named device is open (true) or has closed (false).
    struct MonitoringConsentPending {
        std::string what;
        bool pending = false;
    };

    // The cases in declaration order.
    using Value = std::variant<TopologyChanged, LinkPing, SetPlaybackReportInterval, TransportStateChanged, CursorMoved,
                               ActiveDisplayChanged, UnlockChallenge, UnlockResult, VideoFormatChanged,
                               DisplayThumbnail, MenuBarSnapshot, AudioFormatChanged, ActiveWindowFrameChanged,
                               ClipboardTextChanged, LanAccessDenied, PrivacyModeStateChanged, CameraDevicesChanged,
                               CameraFormatChanged, CameraStateChanged, MicrophoneFormatChanged,
                               MicrophoneStateChanged, MonitoringConsentPending>;

    enum class Kind : std::uint8_t {
        topologyChanged,
        linkPing,
        setPlaybackReportInterval,
        transportStateChanged,
        cursorMoved,
        activeDisplayChanged,
        unlockChallenge,
        unlockResult,
        videoFormatChanged,
        displayThumbnail,
        menuBarSnapshot,
        audioFormatChanged,
        activeWindowFrameChanged,
        clipboardTextChanged,
        lanAccessDenied,
        privacyModeStateChanged,
        cameraDevicesChanged,
        cameraFormatChanged,
        cameraStateChanged,
        microphoneFormatChanged,
        microphoneStateChanged,
        monitoringConsentPending,
    };
    static constexpr std::size_t caseCount = std::variant_size_v<Value>;

    template <class Case>
        requires std::is_constructible_v<Value, Case&&> && (!std::is_same_v<std::remove_cvref_t<Case>, HostEvent>)
    HostEvent(Case&& value) : value_(std::forward<Case>(value)) {}

    static HostEvent topologyChanged(DisplayTopology topology) { return TopologyChanged{std::move(topology)}; }
    static HostEvent linkPing(std::uint32_t pingNumber) { return LinkPing{pingNumber}; }
    static HostEvent setPlaybackReportInterval(double seconds) { return SetPlaybackReportInterval{seconds}; }
    static HostEvent transportStateChanged(std::uint8_t state) { return TransportStateChanged{state}; }
    static HostEvent cursorMoved(CGPoint to) { return CursorMoved{to}; }
    static HostEvent activeDisplayChanged(std::uint32_t displayID) { return ActiveDisplayChanged{displayID}; }
    static HostEvent unlockChallenge(std::vector<std::uint8_t> challenge) {
        return UnlockChallenge{std::move(challenge)};
    }
    static HostEvent unlockResult(bool succeeded) { return UnlockResult{succeeded}; }
    static HostEvent videoFormatChanged(VideoFormatInfo format) { return VideoFormatChanged{std::move(format)}; }
    static HostEvent displayThumbnail(::mivodrell::DisplayThumbnail thumbnail) {
        return DisplayThumbnail{std::move(thumbnail)};
    }
    static HostEvent menuBarSnapshot(::mivodrell::MenuBarSnapshot snapshot) {
        return MenuBarSnapshot{std::move(snapshot)};
    }
    static HostEvent audioFormatChanged(AudioFormatInfo format) { return AudioFormatChanged{std::move(format)}; }
    static HostEvent activeWindowFrameChanged(std::uint32_t displayID, CGRect frame) {
        return ActiveWindowFrameChanged{displayID, frame};
    }
    static HostEvent clipboardTextChanged(std::string text) { return ClipboardTextChanged{std::move(text)}; }
    static HostEvent lanAccessDenied(std::string reason) { return LanAccessDenied{std::move(reason)}; }
    static HostEvent privacyModeStateChanged(bool enabled) { return PrivacyModeStateChanged{enabled}; }
    static HostEvent cameraDevicesChanged(std::vector<CameraDeviceInfo> devices) {
        return CameraDevicesChanged{std::move(devices)};
    }
    static HostEvent cameraFormatChanged(VideoFormatInfo format) { return CameraFormatChanged{std::move(format)}; }
    static HostEvent cameraStateChanged(bool enabled, std::optional<std::string> deviceID,
                                        std::optional<std::string> reason) {
        return CameraStateChanged{enabled, std::move(deviceID), std::move(reason)};
    }
    static HostEvent microphoneFormatChanged(AudioFormatInfo format) {
        return MicrophoneFormatChanged{std::move(format)};
    }
    static HostEvent microphoneStateChanged(bool enabled, std::optional<std::string> reason) {
        return MicrophoneStateChanged{enabled, std::move(reason)};
    }
    static HostEvent monitoringConsentPending(std::string what, bool pending) {
        return MonitoringConsentPending{std::move(what), pending};
    }

    // One-line description for the logs: the case name and a summary of the payload (sizes and
    // counts instead of contents).
    std::string debugKind() const;

    Kind kind() const { return static_cast<Kind>(value_.index()); }
    const Value& value() const { return value_; }
    // The case's fields, or null when the message is another case.
    template <class Case>
    const Case* as() const {
        return std::get_if<Case>(&value_);
    }

    // The JSON name of a case ("topologyChanged", ...), and the names of all cases in order.
    static std::string_view caseName(Kind kind);
    static std::span<const std::string_view> caseNames();

    // Appends the compact JSON text to `out`. Throws EncodingError on a NaN or infinite number
    // anywhere in the message (payloads and topology included), leaving `out` as it was.
    void writeJSON(std::string& out) const;
    std::string jsonText() const;
    // Reads one message (a frame body). Throws DecodingError.
    static HostEvent fromJSON(std::string_view body);

    // Same case and every field equal by the value-comparison rules.
    friend bool operator==(const HostEvent& a, const HostEvent& b);

private:
    Value value_;
};

}  // namespace mivodrell
