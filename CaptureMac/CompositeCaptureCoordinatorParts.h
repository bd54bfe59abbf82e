#pragma once
// Pieces the source files of CompositeCaptureCoordinator share: the per-display capture state and
// the number renderings of its log lines (fixed decimals with a '.' whatever the process locale,
// integer parts of doubles through the checked conversions).

#include "CaptureMac/CompositeCaptureCoordinator.h"
#include "CaptureMac/ScreenCaptureSession.h"
#include "ViewportCore/EventLogDescription.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

namespace mivodrell {

// One display being captured.
struct CompositeCaptureCoordinator::ActiveCaptureSource {
    std::shared_ptr<ScreenCaptureSession> capture;
    CGRect sourceRect;                   // what the stream captures now, display-local points
    CGFloat nativeDensity = 2.0;         // pixels per point at full density
    CGRect previousSourceRect;           // what it captured before the last switch
    double sourceRectSwitchHostTime = 0;
    int framesTaggedOldSinceSwitch = 0;  // frames taken as the old rectangle's, or skipped
    double ignoreFramesBeforeHostTime = 0;
    int consecutiveSizeSkips = 0;        // frames in a row matching neither rectangle
    CGSize lastAppliedOutputPixelSize;
    std::optional<CGRect> lastContentRectRaw;
    int geometryLogCount = 0;
    double geometryLogWindowStart = 0;
};

namespace coordinatortext {

// "%.1f" / "%.2f".
inline std::string fixed(double value, int decimals) {
    std::string s;
    logtext::appendFixed(s, value, decimals);
    return s;
}
// The integer part of a double ("nan", "inf" when it has none).
inline std::string whole(double value) {
    std::string s;
    logtext::appendInt(s, value);
    return s;
}
// Shortest form that reads back as the same value, "1.0" for whole numbers.
inline std::string real(double value) {
    std::string s;
    logtext::appendReal(s, value);
    return s;
}
template <class Integer>
std::string n(Integer value) {
    static_assert(std::is_integral_v<Integer>);
    std::string s;
    if constexpr (std::is_signed_v<Integer>) {
        logtext::appendInteger(s, static_cast<std::int64_t>(value));
    } else {
        logtext::appendUnsigned(s, static_cast<std::uint64_t>(value));
    }
    return s;
}
inline std::string boolText(bool value) { return value ? "true" : "false"; }
template <class... Pieces>
std::string join(const Pieces&... pieces) {
    std::string out;
    (out.append(pieces), ...);
    return out;
}
// "(x,y,wxh)" with one decimal.
inline std::string rectText(const CGRect& r) {
    return join("(", fixed(r.minX(), 1), ",", fixed(r.minY(), 1), ",", fixed(r.width(), 1), "x", fixed(r.height(), 1), ")");
}

}  // namespace coordinatortext
}  // namespace mivodrell
