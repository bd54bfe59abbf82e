#pragma once
// A message from the controller to the host: pointer, button, scroll, text and key input;
// requests; stream settings; playback reports; privacy mode; the local-network identity
// handshake. One message is the JSON body of one control frame.
//
// JSON: {"<case>":{<fields by name>}}, e.g. {"click":{"button":0,"at":[512,384],"clickCount":2}};
// a field written "_0" is the case's unnamed value. Reading is strict (WireCoding.h) and fails
// with DecodingError; writing fails with EncodingError on a non-finite number.

#include "Platform/Base/Geometry.h"
#include "ViewportCore/KeyModifiers.h"
#include "ViewportCore/MouseButton.h"
#include "ViewportCore/ScrollPhase.h"
#include "ViewportCore/VirtualKey.h"

#include <array>
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

class RemoteEvent {
public:
    // Move the pointer to the point (a drag while a button is held).
    struct CursorMove {
        CGPoint to;
    };
    // Move the pointer by the offset.
    struct MouseMoveRelative {
        CGFloat deltaX = 0;
        CGFloat deltaY = 0;
    };
    struct MouseDown {
        MouseButton button = MouseButton::left;
        CGPoint at;
    };
    struct MouseUp {
        MouseButton button = MouseButton::left;
        CGPoint at;
    };
    // Press and release with this click count (2 for a double click).
    struct Click {
        MouseButton button = MouseButton::left;
        CGPoint at;
        std::int64_t clickCount = 1;
    };
    struct Scroll {
        CGFloat deltaX = 0;
        CGFloat deltaY = 0;
        ScrollPhase phase = ScrollPhase::began;
        CGPoint at;
    };
    // Type the text ("_0").
    struct InjectText {
        std::string text;
    };
    // Press (isDown) or release the key with exactly these modifiers held.
    struct KeyStroke {
        VirtualKey key = VirtualKey::a;
        KeyModifiers modifiers;
        bool isDown = false;
    };
    // Make the held modifier keys exactly this set ("_0").
    struct ModifierState {
        KeyModifiers modifiers;
    };
    // Send the display topology back.
    struct RequestTopology {};
    // The answer to an unlock challenge.
    struct UnlockRequest {
        std::vector<std::uint8_t> challengeResponse;
    };
    struct RequestKeyframe {
        std::uint32_t displayID = 0;
    };
    // The desktop area the controller shows, its screen size in pixels and a sequence number by
    // which stale updates are dropped.
    struct ViewportChanged {
        CGRect rect;
        std::int64_t phonePixelWidth = 0;
        std::int64_t phonePixelHeight = 0;
        std::uint32_t sequence = 0;
    };
    // "_0"
    struct SetAudioEnabled {
        bool enabled = false;
    };
    // The quality preference level ("_0").
    struct SetQualityTolerance {
        std::int64_t level = 0;
    };
    // The highest frame rate wanted, 0 for no limit ("_0").
    struct SetFrameRateLimit {
        std::int64_t framesPerSecond = 0;
    };
    struct TextInputSession {
        bool active = false;
    };
    struct ReportPlaybackHealth {
        double fpsRatio = 0;
        bool isStalled = false;
        bool isOnCellular = false;
    };
    // Echoes the number of the host's pending link ping ("_0").
    struct LinkPingAck {
        std::uint32_t pingNumber = 0;
    };
    // "_0"
    struct SetMacClipboardText {
        std::string text;
    };
    struct RequestMacClipboardText {};
    struct SwitchToPreviousWindow {};
    struct ICloudIdentityHandshake {
        std::optional<std::string> userRecordName;
    };
    // "_0"
    struct SetMacPrivacyMode {
        bool enabled = false;
    };
    // Start ("_0" true) or stop a camera: which device (absent: the default one) and the output
    // size in points.
    struct SetCameraEnabled {
        bool enabled = false;
        std::optional<std::string> deviceID;
        std::int64_t outputWidthPoints = 0;
        std::int64_t outputHeightPoints = 0;
    };
    // "_0"
    struct SetMicrophoneEnabled {
        bool enabled = false;
    };
    // Position of the crop window within the camera picture ("_0").
    struct SetCameraCropOffset {
        double offset = 0;
    };

    // The cases in declaration order.
    using Value = std::variant<CursorMove, MouseMoveRelative, MouseDown, MouseUp, Click, Scroll, InjectText, KeyStroke,
                               ModifierState, RequestTopology, UnlockRequest, RequestKeyframe, ViewportChanged,
                               SetAudioEnabled, SetQualityTolerance, SetFrameRateLimit, TextInputSession,
                               ReportPlaybackHealth, LinkPingAck, SetMacClipboardText, RequestMacClipboardText,
                               SwitchToPreviousWindow, ICloudIdentityHandshake, SetMacPrivacyMode, SetCameraEnabled,
                               SetMicrophoneEnabled, SetCameraCropOffset>;

    enum class Kind : std::uint8_t {
        cursorMove,
        mouseMoveRelative,
        mouseDown,
        mouseUp,
        click,
        scroll,
        injectText,
        keyStroke,
        modifierState,
        requestTopology,
        unlockRequest,
        requestKeyframe,
        viewportChanged,
        setAudioEnabled,
        setQualityTolerance,
        setFrameRateLimit,
        textInputSession,
        reportPlaybackHealth,
        linkPingAck,
        setMacClipboardText,
        requestMacClipboardText,
        switchToPreviousWindow,
        iCloudIdentityHandshake,
        setMacPrivacyMode,
        setCameraEnabled,
        setMicrophoneEnabled,
        setCameraCropOffset,
    };
    static constexpr std::size_t caseCount = std::variant_size_v<Value>;

    template <class Case>
        requires std::is_constructible_v<Value, Case&&> && (!std::is_same_v<std::remove_cvref_t<Case>, RemoteEvent>)
    RemoteEvent(Case&& value) : value_(std::forward<Case>(value)) {}

    static RemoteEvent cursorMove(CGPoint to) { return CursorMove{to}; }
    static RemoteEvent mouseMoveRelative(CGFloat deltaX, CGFloat deltaY) { return MouseMoveRelative{deltaX, deltaY}; }
    static RemoteEvent mouseDown(MouseButton button, CGPoint at) { return MouseDown{button, at}; }
    static RemoteEvent mouseUp(MouseButton button, CGPoint at) { return MouseUp{button, at}; }
    static RemoteEvent click(MouseButton button, CGPoint at, std::int64_t clickCount) {
        return Click{button, at, clickCount};
    }
    static RemoteEvent scroll(CGFloat deltaX, CGFloat deltaY, ScrollPhase phase, CGPoint at) {
        return Scroll{deltaX, deltaY, phase, at};
    }
    static RemoteEvent injectText(std::string text) { return InjectText{std::move(text)}; }
    static RemoteEvent keyStroke(VirtualKey key, KeyModifiers modifiers, bool isDown) {
        return KeyStroke{key, modifiers, isDown};
    }
    static RemoteEvent modifierState(KeyModifiers modifiers) { return ModifierState{modifiers}; }
    static RemoteEvent requestTopology() { return RequestTopology{}; }
    static RemoteEvent unlockRequest(std::vector<std::uint8_t> challengeResponse) {
        return UnlockRequest{std::move(challengeResponse)};
    }
    static RemoteEvent requestKeyframe(std::uint32_t displayID) { return RequestKeyframe{displayID}; }
    static RemoteEvent viewportChanged(CGRect rect, std::int64_t phonePixelWidth, std::int64_t phonePixelHeight,
                                       std::uint32_t sequence) {
        return ViewportChanged{rect, phonePixelWidth, phonePixelHeight, sequence};
    }
    static RemoteEvent setAudioEnabled(bool enabled) { return SetAudioEnabled{enabled}; }
    static RemoteEvent setQualityTolerance(std::int64_t level) { return SetQualityTolerance{level}; }
    static RemoteEvent setFrameRateLimit(std::int64_t framesPerSecond) { return SetFrameRateLimit{framesPerSecond}; }
    static RemoteEvent textInputSession(bool active) { return TextInputSession{active}; }
    static RemoteEvent reportPlaybackHealth(double fpsRatio, bool isStalled, bool isOnCellular) {
        return ReportPlaybackHealth{fpsRatio, isStalled, isOnCellular};
    }
    static RemoteEvent linkPingAck(std::uint32_t pingNumber) { return LinkPingAck{pingNumber}; }
    static RemoteEvent setMacClipboardText(std::string text) { return SetMacClipboardText{std::move(text)}; }
    static RemoteEvent requestMacClipboardText() { return RequestMacClipboardText{}; }
    static RemoteEvent switchToPreviousWindow() { return SwitchToPreviousWindow{}; }
    static RemoteEvent iCloudIdentityHandshake(std::optional<std::string> userRecordName) {
        return ICloudIdentityHandshake{std::move(userRecordName)};
    }
    static RemoteEvent setMacPrivacyMode(bool enabled) { return SetMacPrivacyMode{enabled}; }
    static RemoteEvent setCameraEnabled(bool enabled, std::optional<std::string> deviceID,
                                        std::int64_t outputWidthPoints, std::int64_t outputHeightPoints) {
        return SetCameraEnabled{enabled, std::move(deviceID), outputWidthPoints, outputHeightPoints};
    }
    static RemoteEvent setMicrophoneEnabled(bool enabled) { return SetMicrophoneEnabled{enabled}; }
    static RemoteEvent setCameraCropOffset(double offset) { return SetCameraCropOffset{offset}; }

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

    // The JSON name of a case ("cursorMove", ...), and the names of all cases in declaration order.
    static std::string_view caseName(Kind kind);
    static std::span<const std::string_view> caseNames();

    // Appends the compact JSON text to `out`. Throws EncodingError on a NaN or infinite number,
    // leaving `out` as it was.
    void writeJSON(std::string& out) const;
    std::string jsonText() const;
    // Reads one message (a frame body). Throws DecodingError.
    static RemoteEvent fromJSON(std::string_view body);

    // Same case and every field equal by the value-comparison rules (so a message holding a NaN
    // is unequal to itself).
    friend bool operator==(const RemoteEvent& a, const RemoteEvent& b);

private:
    Value value_;
};

}  // namespace mivodrell
