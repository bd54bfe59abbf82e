#pragma once
// An in-process virtual display server behind the screen-capture interface: scripted displays
// and windows, display content from a content function, frames rendered per stream (source
// rectangle scaled into the stream's size, '420f' BT.709 full range or 'BGRA'), system audio
// buffers, and fault injection for every operation. Deterministic when clocked by hand.
//
// Content is drawn only for the frames a stream delivers, and only where they sample it: a
// sampled content function is asked for the display pixels under the delivered pixels, nothing
// else; a full-image content function draws the whole display once per content generation that
// a stream takes a frame of. A display larger than PixelBuffer::maxEdge pixels on an edge shows
// no content (the background colour).

#include "Platform/Media/PixelBuffer.h"
#include "Platform/Capture/ScreenCapture.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace mivodrell {

struct VirtualCaptureServerConfiguration {
    enum class Clocking {
        realTime,  // frames at each stream's minimum frame interval, audio every 1024 samples
        manual,    // nothing happens until `tick`
    };
    Clocking clocking = Clocking::realTime;
    // Content changes every 1/60 s of server time; false keeps it still (frames go idle).
    bool animated = true;
};

class VirtualCaptureServer : public CaptureBackend, public std::enable_shared_from_this<VirtualCaptureServer> {
public:
    using Configuration = VirtualCaptureServerConfiguration;
    using Clocking = VirtualCaptureServerConfiguration::Clocking;

    // Fills a display's full image (its size in pixels is frame x scale) for a content generation.
    using ContentFunction = std::function<void(const CaptureDisplay& display, std::uint64_t generation, PixelBuffer& bgra)>;

    // One content generation of one display, read a row of pixels at a time.
    class ContentSampler {
    public:
        virtual ~ContentSampler() = default;
        // Writes pixels (xs[i], y) of the display's image, i < count, as opaque 32-bit words (B,
        // G, R, 255 in memory). Each xs[i] lies in [0, width) and y in [0, height) of the size
        // the sampler was made for. Called on the server's control queue only.
        virtual void row(int y, const int* xs, int count, std::uint32_t* out) const = 0;
    };
    // Makes the sampler of a display's content generation, for the display's size in pixels
    // (frame x scale); nothing draws the background colour. Called on the server's control
    // queue, at most once per display and generation while the content stays the same.
    using SampledContentFunction = std::function<std::shared_ptr<const ContentSampler>(
        const CaptureDisplay& display, std::uint64_t generation, int width, int height)>;

    static std::shared_ptr<VirtualCaptureServer> create(Configuration configuration = {});
    ~VirtualCaptureServer() override;

    // Scene. All calls are safe from any thread except a stream's output queue callbacks.
    void addDisplay(const CaptureDisplay& display);
    // Unplugging a display stops its streams with an error.
    void removeDisplay(std::uint32_t displayID);
    // Windows are solid rectangles drawn over the display content in ascending `level`.
    std::uint32_t addWindow(std::uint32_t displayID, const CGRect& frame, const RGBAColor& color, int level = 0);
    void removeWindow(std::uint32_t windowID);
    void setContentFunction(ContentFunction content);
    void setContentFunction(SampledContentFunction content);
    // Marks the content as changed without the clock moving.
    void invalidateContent();

    // Manual clocking: moves server time by `seconds`, then delivers what falls due (a frame on
    // every screen stream whose minimum interval has passed, and every whole 1024-sample audio
    // buffer). Deliveries are queued on the outputs' queues; `drain` waits for them.
    void tick(double seconds);
    // Waits until every queued control operation has run (not the outputs' queues).
    void drain();

    // System audio source: buffers of 1024 samples at 48 kHz, stamped on the frames' clock (the
    // host clock, or server time when clocked by hand) from the stream's start plus the samples
    // delivered.
    void setAudioTone(double frequency, double amplitude);
    void setAudioSilence();

    // Faults.
    enum class Operation { shareableContent, startCapture, updateConfiguration, updateContentFilter, stopCapture };
    struct OperationFault {
        enum class Kind { none, fail, late, never, emptyAnswer } kind = Kind::none;
        double delaySeconds = 0;  // for late: the completion comes this much later (then succeeds)
        PlatformError error{"VirtualCaptureServer", -3801, "injected failure"};
    };
    void setFault(Operation operation, OperationFault fault);
    void setAddOutputFailure(std::optional<PlatformError> error);

    struct FrameFault {
        enum class Kind {
            none,
            status,                    // the Status entry carries `status`
            missingStatus,             // first dictionary without a Status entry
            missingAttachments,        // no attachments array
            nonDictionaryAttachments,  // an array whose first entry is not a dictionary
            emptyAttachments,          // an empty array
            noContentRect,
            malformedContentRect,      // ContentRect is not a rectangle dictionary
            nanScales,                 // no ContentScale / ScaleFactor entries
            invalidBuffer,
            noImage,
        } kind = Kind::none;
        std::int64_t status = FrameStatus::blank;
        int count = -1;  // frames affected; -1: until cleared
    };
    void setFrameFault(FrameFault fault);
    // After a configuration update, the next `frames` frames still have the old size and geometry.
    void setStaleFramesAfterUpdate(int frames);
    // Every running stream stops with `error` (its delegate is told).
    void stopAllStreams(const PlatformError& error);

    // Introspection for tests.
    std::size_t runningStreamCount();
    std::vector<StreamConfiguration> runningStreamConfigurations();
    std::vector<ContentFilter> runningStreamFilters();
    std::uint64_t framesDelivered();
    std::uint64_t framesSkipped();  // the consumer still held every buffer of the stream's pool

    // CaptureBackend.
    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ShareableContentCompletion completion) override;
    std::shared_ptr<CaptureStream> makeStream(ContentFilter filter, StreamConfiguration configuration,
                                              std::weak_ptr<StreamDelegate> delegate) override;
    Capabilities capabilities() const override { return {}; }

    // The default content: red rising from left to right, green from top to bottom, blue a
    // tint of the display with a 16-pixel bar at full blue that moves 8 pixels a generation, so
    // frames of different displays and generations differ.
    static std::shared_ptr<const ContentSampler> defaultContent(const CaptureDisplay& display, std::uint64_t generation,
                                                                int width, int height);

    struct Impl;

private:
    VirtualCaptureServer() = default;
    std::shared_ptr<Impl> impl_;
};

}  // namespace mivodrell
