#pragma once
// The screen-capture service the capture sessions are written against: displays and windows, a
// shareable-content query, content filters, stream configurations and streams whose frames and
// audio arrive on a caller-chosen serial queue. Every asynchronous operation answers through a
// completion on a backend thread, never inline. A stream that is released stops itself.

#include "Platform/Base/Geometry.h"
#include "Platform/Media/MediaTime.h"
#include "Platform/Base/PlatformError.h"
#include "Platform/Media/SampleBuffer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mivodrell {

class SerialQueue;

struct CaptureDisplay {
    std::uint32_t displayID = 0;
    CGRect frame;          // global points
    double scale = 1.0;    // pixels per point
    bool isMain = false;
    std::string name;

    double width() const { return frame.width(); }
    double height() const { return frame.height(); }
};

struct CaptureWindow {
    std::uint32_t windowID = 0;
    std::uint32_t displayID = 0;
    CGRect frame;  // global points
    bool onScreen = true;
    std::string title;
};

struct ShareableContent {
    std::vector<CaptureDisplay> displays;
    std::vector<CaptureWindow> windows;
};

struct ContentFilter {
    enum class Mode { excludingWindows, includingWindows };
    CaptureDisplay display;
    Mode mode = Mode::excludingWindows;
    std::vector<CaptureWindow> windows;

    static ContentFilter excluding(CaptureDisplay display, std::vector<CaptureWindow> windows) {
        return {std::move(display), Mode::excludingWindows, std::move(windows)};
    }
    static ContentFilter including(CaptureDisplay display, std::vector<CaptureWindow> windows) {
        return {std::move(display), Mode::includingWindows, std::move(windows)};
    }
};

struct RGBAColor {
    double red = 0, green = 0, blue = 0, alpha = 1;
    friend bool operator==(const RGBAColor&, const RGBAColor&) = default;
};

// Stream settings. Defaults are the service's own where the caller leaves a value unset.
struct StreamConfiguration {
    std::uint32_t pixelFormat = 0x42475241;  // 'BGRA'
    std::int64_t width = 1920;
    std::int64_t height = 1080;
    std::optional<CGRect> sourceRect;  // display points; absent: the whole display
    bool showsCursor = true;
    MediaTime minimumFrameInterval = MediaTime::make(0, 1);  // 0: as fast as frames come
    int queueDepth = 3;
    std::optional<RGBAColor> backgroundColor;
    bool capturesAudio = false;
    double sampleRate = 48000;
    int channelCount = 2;
};

enum class StreamOutputType { screen, audio };

// Frame status values of the first attachment dictionary's "Status" entry.
namespace FrameStatus {
inline constexpr std::int64_t complete = 0;
inline constexpr std::int64_t idle = 1;
inline constexpr std::int64_t blank = 2;
inline constexpr std::int64_t suspended = 3;
inline constexpr std::int64_t started = 4;
inline constexpr std::int64_t stopped = 5;
}  // namespace FrameStatus

class StreamOutput {
public:
    virtual ~StreamOutput() = default;
    virtual void didOutputSampleBuffer(const SampleBufferRef& sampleBuffer, StreamOutputType type) = 0;
};

class StreamDelegate {
public:
    virtual ~StreamDelegate() = default;
    virtual void didStopWithError(const PlatformError& error) = 0;
};

using CaptureCompletion = std::function<void(std::optional<PlatformError>)>;

// Runs one asynchronous capture operation and waits up to `timeoutSeconds` for its completion:
// nothing when it did not answer in time, otherwise the error it reported (or none). A late
// completion is harmless.
std::optional<std::optional<PlatformError>> waitForCaptureCompletion(
    double timeoutSeconds, const std::function<void(CaptureCompletion)>& operation);

class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    // Registers an output; its samples of `type` arrive on `queue`. An error when it cannot be added.
    virtual std::optional<PlatformError> addOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                                                   std::shared_ptr<SerialQueue> queue) = 0;
    virtual void startCapture(CaptureCompletion completion) = 0;
    virtual void updateConfiguration(StreamConfiguration configuration, CaptureCompletion completion) = 0;
    virtual void updateContentFilter(ContentFilter filter, CaptureCompletion completion) = 0;
    virtual void stopCapture(CaptureCompletion completion) = 0;
};

using ShareableContentCompletion =
    std::function<void(std::optional<ShareableContent>, std::optional<PlatformError>)>;

class CaptureBackend {
public:
    virtual ~CaptureBackend() = default;
    virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                     ShareableContentCompletion completion) = 0;
    virtual std::shared_ptr<CaptureStream> makeStream(ContentFilter filter, StreamConfiguration configuration,
                                                      std::weak_ptr<StreamDelegate> delegate) = 0;

    struct Capabilities {
        bool supportsWindowExclusion = true;
    };
    virtual Capabilities capabilities() const = 0;

    // The backend capture sessions use unless given another. Defaults to a process-wide virtual
    // display server with one 1920 x 1080 display.
    static std::shared_ptr<CaptureBackend> current();
    static void setCurrent(std::shared_ptr<CaptureBackend> backend);
};

}  // namespace mivodrell
