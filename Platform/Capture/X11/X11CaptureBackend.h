#pragma once
// The capture interface on a real X server, through xcb with MIT-SHM and RandR 1.5.
//
// Displays are the server's RandR monitors: the display ID is the monitor's name atom, the frame
// its geometry on the root window, the scale 1.0, and the primary monitor is the main display.
// Windows are the root window's children (input-only ones left out); a window is on screen when
// it is viewable, and belongs to the monitor it overlaps most (display 0 when none).
//
// Each stream has its own connection, its own shared-memory segment and one capture thread that
// grabs the source rectangle every minimum frame interval (1/60 s when the interval is 0 or not
// a number). The grab is scaled into the configured size preserving its aspect ratio, anchored
// top-left (libyuv), the rest filled with the background colour (black when unset), and
// delivered as 'BGRA' or converted to '420f' with the engine's full-range BT.709 converter, in
// one pass with its hash, split over the backend's worker pool (a thread per 8 usable cores,
// 1 to 4). The attachments carry Status, ContentRect, ContentScale and ScaleFactor so
// that the source size and the content area can be recovered exactly. A frame whose grabbed
// pixels and settings did not change since the last delivered frame has Status idle and no
// image; the first frame after a start, an update or a change of the monitor is always complete.
// While the consumer holds every buffer of the stream's pool (queueDepth buffers), nothing is
// grabbed: the frame is skipped.
//
// What X cannot do: without a compositor nothing beneath a window can be seen, so windows a
// filter excludes are captured as they appear (capabilities().supportsWindowExclusion is false).
// A filter including windows paints everything outside those windows' frames with the
// background colour. The cursor is never in the picture.
//
// Errors: an unknown display, an unsupported pixel format or a size outside 1...16384 fails the
// start or the update. A stream stops with an error (its delegate is told, on the stream's
// capture thread) when its monitor disappears, the connection breaks or a grab fails. Every
// operation completes on the stream's capture thread; a server that stops answering leaves the
// completion pending, and the caller's time limit applies. Releasing a stream stops it without
// waiting for the server.

#include "Platform/Base/PlatformError.h"
#include "Platform/Capture/ScreenCapture.h"
#include "Platform/Capture/X11/X11ScreenGrabber.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace mivodrell {

class X11CaptureBackend final : public CaptureBackend {
public:
    struct ConnectResult {
        std::shared_ptr<X11CaptureBackend> backend;  // empty when `error` is set
        std::optional<PlatformError> error;
    };
    // Connects to the X server `displayName` (":1"; empty: $DISPLAY) and checks that it offers
    // MIT-SHM, RandR 1.5 and a 32-bit-per-pixel root window. Blocks while the server answers.
    static ConnectResult connect(const std::string& displayName = "");

    ~X11CaptureBackend() override;
    const std::string& displayName() const;

    // CaptureBackend. Shareable content is answered on the backend's own query thread.
    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ShareableContentCompletion completion) override;
    std::shared_ptr<CaptureStream> makeStream(ContentFilter filter, StreamConfiguration configuration,
                                              std::weak_ptr<StreamDelegate> delegate) override;
    Capabilities capabilities() const override { return {false}; }

    struct Impl;

private:
    X11CaptureBackend() = default;
    std::shared_ptr<Impl> impl_;
};

}  // namespace mivodrell
