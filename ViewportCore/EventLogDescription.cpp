#include "ViewportCore/EventLogDescription.h"

#include "Platform/Base/Narrowing.h"
#include "ViewportCore/HostEvent.h"
#include "ViewportCore/RemoteEvent.h"

#include <utf8proc.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <type_traits>

namespace mivodrell {

namespace logtext {

namespace {

bool appendNonFinite(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return true;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "inf" : "-inf";
        return true;
    }
    return false;
}

}  // namespace

void appendInteger(std::string& out, std::int64_t value) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out.append(buffer, end);
}

void appendUnsigned(std::string& out, std::uint64_t value) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out.append(buffer, end);
}

void appendBool(std::string& out, bool value) { out += value ? "true" : "false"; }

void appendInt(std::string& out, double value) {
    if (appendNonFinite(out, value)) return;
    if (const std::optional<std::int64_t> whole = checkedTruncate<std::int64_t>(value)) {
        appendInteger(out, *whole);
    } else {
        appendReal(out, value);
    }
}

void appendFixed(std::string& out, double value, int decimals) {
    if (appendNonFinite(out, value)) return;
    // As "%.1f" / "%.2f" print it, but with a '.' whatever the process locale is.
    // Up to 309 integer digits, the point, the decimals and the sign.
    char buffer[340];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals).ptr;
    out.append(buffer, end);
}

void appendReal(std::string& out, double value) {
    if (appendNonFinite(out, value)) return;
    // Shortest round-trip digits and their decimal exponent, from the scientific form.
    char sci[40];
    const auto end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    std::string_view text(sci, static_cast<std::size_t>(end - sci));
    bool negative = false;
    if (text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') digits.push_back(c);
    }
    const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
    if (negative) out.push_back('-');
    if (exponent < -4 || exponent >= 16) {
        // d.ddde+XX, at least two exponent digits.
        out.push_back(digits[0]);
        if (digits.size() > 1) {
            out.push_back('.');
            out.append(digits, 1, std::string::npos);
        }
        char exp[16];
        std::snprintf(exp, sizeof exp, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
        out += exp;
        return;
    }
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
        return;
    }
    const auto integerDigits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integerDigits) {
        out += digits;
        out.append(integerDigits - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, integerDigits);
        out.push_back('.');
        out.append(digits, integerDigits, std::string::npos);
    }
}

std::size_t characterCount(std::string_view text) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    const auto size = static_cast<utf8proc_ssize_t>(text.size());
    utf8proc_ssize_t offset = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t state = 0;
    std::size_t count = 0;
    while (offset < size) {
        utf8proc_int32_t codepoint = 0;
        const utf8proc_ssize_t n = utf8proc_iterate(bytes + offset, size - offset, &codepoint);
        if (n <= 0) {
            // An invalid byte stands alone.
            ++count;
            ++offset;
            previous = -1;
            state = 0;
            continue;
        }
        if (previous < 0 || utf8proc_grapheme_break_stateful(previous, codepoint, &state)) ++count;
        previous = codepoint;
        offset += n;
    }
    return count;
}

}  // namespace logtext

namespace {

using namespace logtext;

template <class... Pieces>
std::string join(Pieces&&... pieces) {
    std::string out;
    (out.append(pieces), ...);
    return out;
}

std::string intText(double v) {
    std::string s;
    appendInt(s, v);
    return s;
}
std::string fixedText(double v, int decimals) {
    std::string s;
    appendFixed(s, v, decimals);
    return s;
}
std::string realText(double v) {
    std::string s;
    appendReal(s, v);
    return s;
}
template <class Integer>
std::string n(Integer v) {
    std::string s;
    if constexpr (std::is_signed_v<Integer>) {
        appendInteger(s, static_cast<std::int64_t>(v));
    } else {
        appendUnsigned(s, static_cast<std::uint64_t>(v));
    }
    return s;
}
std::string boolText(bool v) { return v ? "true" : "false"; }
std::string chars(const std::string& text) { return n(characterCount(text)); }
std::string point(const CGPoint& p) { return intText(p.x) + "," + intText(p.y); }

}  // namespace

std::string RemoteEvent::debugKind() const {
    return std::visit(
        [](const auto& e) -> std::string {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, CursorMove>) {
                return join("cursorMove(", point(e.to), ")");
            } else if constexpr (std::is_same_v<T, MouseMoveRelative>) {
                return join("mouseMoveRelative(", fixedText(e.deltaX, 1), ",", fixedText(e.deltaY, 1), ")");
            } else if constexpr (std::is_same_v<T, MouseDown>) {
                return join("mouseDown(", mivodrell::caseName(e.button), ",", point(e.at), ")");
            } else if constexpr (std::is_same_v<T, MouseUp>) {
                return join("mouseUp(", mivodrell::caseName(e.button), ",", point(e.at), ")");
            } else if constexpr (std::is_same_v<T, Click>) {
                return join("click(", mivodrell::caseName(e.button), ",", point(e.at), ",x", n(e.clickCount), ")");
            } else if constexpr (std::is_same_v<T, Scroll>) {
                return join("scroll(", intText(e.deltaX), ",", intText(e.deltaY), ",", mivodrell::caseName(e.phase), ")");
            } else if constexpr (std::is_same_v<T, InjectText>) {
                return join("injectText(len=", chars(e.text), ")");
            } else if constexpr (std::is_same_v<T, KeyStroke>) {
                return join("keyStroke(", mivodrell::caseName(e.key), ",", e.isDown ? "down" : "up", ")");
            } else if constexpr (std::is_same_v<T, ModifierState>) {
                return join("modifierState(KeyModifiers(rawValue: ", n(e.modifiers.rawValue), "))");
            } else if constexpr (std::is_same_v<T, RequestTopology>) {
                return "requestTopology";
            } else if constexpr (std::is_same_v<T, UnlockRequest>) {
                return "unlockRequest";
            } else if constexpr (std::is_same_v<T, RequestKeyframe>) {
                return join("requestKeyframe(", n(e.displayID), ")");
            } else if constexpr (std::is_same_v<T, ViewportChanged>) {
                return join("viewportChanged(", intText(e.rect.width()), "x", intText(e.rect.height()), ",phone=",
                            n(e.phonePixelWidth), "x", n(e.phonePixelHeight), ",seq=", n(e.sequence), ")");
            } else if constexpr (std::is_same_v<T, SetAudioEnabled>) {
                return join("setAudioEnabled(", boolText(e.enabled), ")");
            } else if constexpr (std::is_same_v<T, SetQualityTolerance>) {
                return join("setQualityTolerance(", n(e.level), ")");
            } else if constexpr (std::is_same_v<T, SetFrameRateLimit>) {
                return join("setFrameRateLimit(", n(e.framesPerSecond), ")");
            } else if constexpr (std::is_same_v<T, TextInputSession>) {
                return join("textInputSession(", boolText(e.active), ")");
            } else if constexpr (std::is_same_v<T, ReportPlaybackHealth>) {
                return join("reportPlaybackHealth(fps比例=", fixedText(e.fpsRatio, 2), ",stalled=", boolText(e.isStalled),
                            ",cellular=", boolText(e.isOnCellular), ")");
            } else if constexpr (std::is_same_v<T, LinkPingAck>) {
                return join("linkPingAck(", n(e.pingNumber), ")");
            } else if constexpr (std::is_same_v<T, SetMacClipboardText>) {
                return join("setMacClipboardText(len=", chars(e.text), ")");
            } else if constexpr (std::is_same_v<T, RequestMacClipboardText>) {
                return "requestMacClipboardText";
            } else if constexpr (std::is_same_v<T, SwitchToPreviousWindow>) {
                return "switchToPreviousWindow";
            } else if constexpr (std::is_same_v<T, ICloudIdentityHandshake>) {
                return join("iCloudIdentityHandshake(", e.userRecordName ? "有值" : "nil", ")");
            } else if constexpr (std::is_same_v<T, SetMacPrivacyMode>) {
                return join("setMacPrivacyMode(", boolText(e.enabled), ")");
            } else if constexpr (std::is_same_v<T, SetCameraEnabled>) {
                return join("setCameraEnabled(", boolText(e.enabled), ",device=", e.deviceID ? *e.deviceID : "預設",
                            ",size=", n(e.outputWidthPoints), "x", n(e.outputHeightPoints), ")");
            } else if constexpr (std::is_same_v<T, SetMicrophoneEnabled>) {
                return join("setMicrophoneEnabled(", boolText(e.enabled), ")");
            } else {
                static_assert(std::is_same_v<T, SetCameraCropOffset>);
                return join("setCameraCropOffset(", realText(e.offset), ")");
            }
        },
        value_);
}

std::string HostEvent::debugKind() const {
    return std::visit(
        [](const auto& e) -> std::string {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, TopologyChanged>) {
                return join("topologyChanged(", n(e.topology.displays().size()), " 顆)");
            } else if constexpr (std::is_same_v<T, LinkPing>) {
                return join("linkPing(", n(e.pingNumber), ")");
            } else if constexpr (std::is_same_v<T, SetPlaybackReportInterval>) {
                return join("setPlaybackReportInterval(", realText(e.seconds), ")");
            } else if constexpr (std::is_same_v<T, TransportStateChanged>) {
                return join("transportStateChanged(", n(e.state), ")");
            } else if constexpr (std::is_same_v<T, CursorMoved>) {
                return join("cursorMoved(", point(e.to), ")");
            } else if constexpr (std::is_same_v<T, ActiveDisplayChanged>) {
                return join("activeDisplayChanged(", n(e.displayID), ")");
            } else if constexpr (std::is_same_v<T, UnlockChallenge>) {
                return "unlockChallenge";
            } else if constexpr (std::is_same_v<T, UnlockResult>) {
                return join("unlockResult(", boolText(e.succeeded), ")");
            } else if constexpr (std::is_same_v<T, VideoFormatChanged>) {
                const auto& f = e.format;
                return join("videoFormatChanged(螢幕", n(f.displayID), ",", n(f.width), "x", n(f.height), ",參數集",
                            n(f.parameterSets.size()), "組,sourceRect=", intText(f.sourceRect.origin.x), ",",
                            intText(f.sourceRect.origin.y), ",", intText(f.sourceRect.width()), "x",
                            intText(f.sourceRect.height()), ")");
            } else if constexpr (std::is_same_v<T, DisplayThumbnail>) {
                return join("displayThumbnail(螢幕", n(e.thumbnail.displayID), ",", n(e.thumbnail.jpegData.size()), " bytes)");
            } else if constexpr (std::is_same_v<T, MenuBarSnapshot>) {
                return join("menuBarSnapshot(螢幕", n(e.snapshot.displayID), ",", n(e.snapshot.jpegData.size()), " bytes)");
            } else if constexpr (std::is_same_v<T, AudioFormatChanged>) {
                return join("audioFormatChanged(", realText(e.format.sampleRate), "Hz,", n(e.format.channelCount),
                            "ch,cookie=", n(e.format.magicCookie.size()), "bytes)");
            } else if constexpr (std::is_same_v<T, ActiveWindowFrameChanged>) {
                return join("activeWindowFrameChanged(螢幕", n(e.displayID), ",", intText(e.frame.origin.x), ",",
                            intText(e.frame.origin.y), ",", intText(e.frame.width()), "x", intText(e.frame.height()), ")");
            } else if constexpr (std::is_same_v<T, ClipboardTextChanged>) {
                return join("clipboardTextChanged(len=", chars(e.text), ")");
            } else if constexpr (std::is_same_v<T, LanAccessDenied>) {
                return join("lanAccessDenied(", e.reason, ")");
            } else if constexpr (std::is_same_v<T, PrivacyModeStateChanged>) {
                return join("privacyModeStateChanged(", boolText(e.enabled), ")");
            } else if constexpr (std::is_same_v<T, CameraDevicesChanged>) {
                return join("cameraDevicesChanged(", n(e.devices.size()), "顆)");
            } else if constexpr (std::is_same_v<T, CameraFormatChanged>) {
                return join("cameraFormatChanged(", n(e.format.width), "x", n(e.format.height), ",參數集",
                            n(e.format.parameterSets.size()), "組)");
            } else if constexpr (std::is_same_v<T, CameraStateChanged>) {
                return join("cameraStateChanged(", boolText(e.enabled), ",device=", e.deviceID ? *e.deviceID : "-",
                            ",reason=", e.reason ? *e.reason : "-", ")");
            } else if constexpr (std::is_same_v<T, MicrophoneFormatChanged>) {
                return join("microphoneFormatChanged(", realText(e.format.sampleRate), "Hz,", n(e.format.channelCount), "ch)");
            } else if constexpr (std::is_same_v<T, MicrophoneStateChanged>) {
                return join("microphoneStateChanged(", boolText(e.enabled), ",reason=", e.reason ? *e.reason : "-", ")");
            } else {
                static_assert(std::is_same_v<T, MonitoringConsentPending>);
                return join("monitoringConsentPending(", e.what, ",pending=", boolText(e.pending), ")");
            }
        },
        value_);
}

}  // namespace mivodrell
