#include "Platform/Base/FourCC.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Base/WorkerPool.h"
#include "Platform/Capture/CaptureBackendFactory.h"
#include "Platform/Capture/X11/X11CaptureBackend.h"
#include "support/XvfbServer.h"

#include <gtest/gtest.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace mivodrell {
namespace {

// A test client that draws solid rectangles as windows with a background colour.
class Painter {
public:
    explicit Painter(const std::string& display)
        : connection_(xcb_connect(display.c_str(), nullptr)),
          screen_(xcb_setup_roots_iterator(xcb_get_setup(connection_)).data) {}
    ~Painter() { xcb_disconnect(connection_); }

    xcb_window_t window(int x, int y, int w, int h, std::uint32_t rgb, bool map = true, const std::string& title = "") {
        const xcb_window_t id = xcb_generate_id(connection_);
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, id, screen_->root, std::int16_t(x), std::int16_t(y),
                          std::uint16_t(w), std::uint16_t(h), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                          XCB_CW_BACK_PIXEL, &rgb);
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            std::uint32_t(title.size()), title.data());
        if (map) xcb_map_window(connection_, id);
        return sync(id);
    }
    void move(xcb_window_t id, int x, int y) {
        const std::uint32_t values[] = {std::uint32_t(x), std::uint32_t(y)};
        xcb_configure_window(connection_, id, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
        sync(id);
    }
    void pointTo(int x, int y) {
        xcb_warp_pointer(connection_, XCB_NONE, screen_->root, 0, 0, 0, 0, std::int16_t(x), std::int16_t(y));
        sync(0);
    }
    // Gives the RandR monitor `name` a new area in one step: the server is grabbed while it is replaced.
    void setMonitor(const std::string& name, int x, int y, int w, int h) {
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(connection_, xcb_intern_atom(connection_, 0, std::uint16_t(name.size()), name.data()), nullptr);
        xcb_randr_monitor_info_t info{atom->atom, 0, 0, 0, std::int16_t(x), std::int16_t(y), std::uint16_t(w), std::uint16_t(h), 254, 143};
        std::free(atom);
        xcb_grab_server(connection_);
        xcb_randr_delete_monitor(connection_, screen_->root, info.name);
        xcb_randr_set_monitor(connection_, screen_->root, &info);
        xcb_ungrab_server(connection_);
        sync(0);
    }

private:
    // Returns once the server has carried out every request sent so far.
    xcb_window_t sync(xcb_window_t id) {
        std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
        return id;
    }
    xcb_connection_t* connection_;
    xcb_screen_t* screen_;
};

// Keeps the statuses of every frame and the latest complete one (so the pool never runs dry).
struct Collector final : StreamOutput, StreamDelegate {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::int64_t> statuses;
    SampleBufferRef latestComplete;
    std::optional<PlatformError> stopError;

    void didOutputSampleBuffer(const SampleBufferRef& sample, StreamOutputType) override {
        std::lock_guard<std::mutex> lock(mutex);
        const AttachmentValue* status =
            sample->firstAttachments() ? sample->firstAttachments()->find(AttachmentKey::frameStatus) : nullptr;
        statuses.push_back(status ? status->asInteger().value_or(-1) : -1);
        if (statuses.back() == FrameStatus::complete) latestComplete = sample;
        changed.notify_all();
    }
    void didStopWithError(const PlatformError& error) override {
        std::lock_guard<std::mutex> lock(mutex);
        stopError = error;
        changed.notify_all();
    }
    template <class Predicate>
    bool waitFor(Predicate predicate) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), predicate);
    }
    // The first complete frame grabbed after host time `after`.
    SampleBufferRef completeFrameAfter(MediaTime after = MediaTime::make(0, 1)) {
        std::unique_lock<std::mutex> lock(mutex);
        const bool seen = changed.wait_for(lock, std::chrono::seconds(20), [&] {
            return latestComplete && latestComplete->presentationTime.seconds() > after.seconds();
        });
        return seen ? latestComplete : nullptr;
    }
    // The time of the newest frame with an image. After a run of idle frames, any later frame
    // with an image shows a change, even one whose grab began just before the change was asked for.
    MediaTime latestCompleteTime() {
        std::lock_guard<std::mutex> lock(mutex);
        return latestComplete ? latestComplete->presentationTime : MediaTime::make(0, 1);
    }
    // Whether the last `n` frames were idle.
    bool idleFor(std::size_t n) {
        return waitFor([&] {
            return statuses.size() >= n && std::all_of(statuses.end() - std::ptrdiff_t(n), statuses.end(),
                                                       [](std::int64_t s) { return s == FrameStatus::idle; });
        });
    }
};

constexpr std::uint32_t kRed = 0xE02010, kGreen = 0x20C040, kBlue = 0x2040D0, kBlack = 0;
const RGBAColor kBlueBackground{0x20 / 255.0, 0x40 / 255.0, 0xD0 / 255.0, 1};

// Whether a pixel holds the colour: exact for 'BGRA', through the full-range BT.709 equations for '420f'.
::testing::AssertionResult holdsColour(const PixelBuffer& buffer, int x, int y, std::uint32_t rgb) {
    const int r = int(rgb >> 16), g = int((rgb >> 8) & 0xFF), b = int(rgb & 0xFF);
    std::array<double, 3> expected{double(r), double(g), double(b)}, seen{};
    if (buffer.pixelFormat() == PixelFormat::bgra) {
        const std::uint8_t* p = buffer.baseAddress() + std::size_t(y) * buffer.bytesPerRow() + 4 * x;
        if (p[3] != 255) return ::testing::AssertionFailure() << "alpha " << int(p[3]) << " at " << x << "," << y;
        seen = {double(p[2]), double(p[1]), double(p[0])};
    } else {
        const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
        expected = {luma, 128 + (b - luma) / 1.8556, 128 + (r - luma) / 1.5748};
        const std::size_t lumaAt = std::size_t(y) * buffer.bytesPerRowOfPlane(0) + x;
        const std::size_t chromaAt = std::size_t(y / 2) * buffer.bytesPerRowOfPlane(1) + 2 * (x / 2);
        seen = {double(buffer.baseAddressOfPlane(0)[lumaAt]), double(buffer.baseAddressOfPlane(1)[chromaAt]),
                double(buffer.baseAddressOfPlane(1)[chromaAt + 1])};
    }
    for (int i = 0; i < 3; ++i) {
        if (std::abs(seen[i] - expected[i]) > 2.5) {
            return ::testing::AssertionFailure()
                   << "at " << x << "," << y << ": " << seen[0] << "," << seen[1] << "," << seen[2] << "; expected "
                   << expected[0] << "," << expected[1] << "," << expected[2];
        }
    }
    return ::testing::AssertionSuccess();
}

// A 3840 x 1080 Xvfb split into two monitors, LEFT (the primary) and RIGHT.
class X11CaptureBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        server = testing::XvfbServer::start(3840, 1080, why);
        if (!server) GTEST_SKIP() << why;
        ASSERT_TRUE(server->xrandr({"--setmonitor", "*LEFT", "1920/254x1080/143+0+0", "screen"}));
        ASSERT_TRUE(server->xrandr({"--setmonitor", "RIGHT", "1920/254x1080/143+1920+0", "none"}));
        auto connected = X11CaptureBackend::connect(server->display());
        ASSERT_TRUE(connected.backend) << connected.error->description;
        backend = connected.backend;
        painter = std::make_unique<Painter>(server->display());
        const auto content = fetchContent(true);
        ASSERT_EQ(content.displays.size(), 2u);
        left = content.displays[0];
        right = content.displays[1];
    }

    // The backend's content query; its error goes to `error`.
    ShareableContent fetchContent(bool onScreenOnly, std::optional<PlatformError>* error = nullptr) {
        auto result = std::make_shared<std::pair<std::optional<ShareableContent>, std::optional<PlatformError>>>();
        EXPECT_TRUE(waitForCaptureCompletion(10, [&](CaptureCompletion done) {
            backend->getShareableContent(
                false, onScreenOnly, [result, done](std::optional<ShareableContent> c, std::optional<PlatformError> e) {
                    *result = {std::move(c), std::move(e)};
                    done(std::nullopt);
                });
        }));
        if (error) *error = result->second;
        return result->first.value_or(ShareableContent{});
    }

    // Makes and starts a stream to `into`; the start's outcome goes to `startError`, or must be success.
    std::shared_ptr<CaptureStream> startStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                               std::optional<PlatformError>* startError = nullptr,
                                               std::shared_ptr<Collector> into = nullptr) {
        into = into ? into : collector;
        auto stream = backend->makeStream(filter, configuration, into);
        EXPECT_FALSE(stream->addOutput(into, StreamOutputType::screen, queue));
        const auto outcome =
            waitForCaptureCompletion(10, [&](CaptureCompletion done) { stream->startCapture(std::move(done)); });
        EXPECT_TRUE(outcome.has_value());
        if (startError) {
            *startError = outcome.value_or(std::nullopt);
        } else {
            EXPECT_FALSE(outcome && *outcome) << (*outcome)->description;
        }
        return stream;
    }

    static StreamConfiguration configuration(std::uint32_t format, int width, int height,
                                             std::optional<CGRect> source = std::nullopt,
                                             std::optional<RGBAColor> background = std::nullopt) {
        return {.pixelFormat = format, .width = width, .height = height, .sourceRect = source,
                .minimumFrameInterval = MediaTime::make(1, 60), .queueDepth = 5, .backgroundColor = background};
    }

    std::unique_ptr<testing::XvfbServer> server;
    std::shared_ptr<X11CaptureBackend> backend;
    std::unique_ptr<Painter> painter;
    CaptureDisplay left, right;
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("test.frames");
    std::shared_ptr<Collector> collector = std::make_shared<Collector>();
};

TEST_F(X11CaptureBackendTest, DisplaysAreTheMonitorsAndWindowsTheTopLevelWindows) {
    EXPECT_EQ(std::tuple(left.name, left.isMain, left.frame), std::tuple("LEFT", true, CGRect(0, 0, 1920, 1080)));
    EXPECT_EQ(std::tuple(right.name, right.isMain, right.frame, right.scale),
              std::tuple("RIGHT", false, CGRect(1920, 0, 1920, 1080), 1.0));
    EXPECT_NE(left.displayID, right.displayID);
    EXPECT_FALSE(backend->capabilities().supportsWindowExclusion);

    const auto shown = painter->window(2000, 100, 300, 200, kRed, true, "Shown");
    const auto hidden = painter->window(100, 100, 50, 50, kGreen, false, "Hidden");
    const auto find = [](const ShareableContent& c, std::uint32_t id) {
        const auto it = std::ranges::find(c.windows, id, &CaptureWindow::windowID);
        return it == c.windows.end() ? std::optional<CaptureWindow>() : *it;
    };
    const auto onScreen = fetchContent(true);
    const auto w = find(onScreen, shown);
    ASSERT_TRUE(w);
    EXPECT_EQ(std::tuple(w->frame, w->displayID, w->title, w->onScreen),
              std::tuple(CGRect(2000, 100, 300, 200), right.displayID, "Shown", true));
    EXPECT_FALSE(find(onScreen, hidden));
    const auto all = find(fetchContent(false), hidden);
    ASSERT_TRUE(all);
    EXPECT_EQ(std::tuple(all->onScreen, all->displayID), std::tuple(false, left.displayID));
}

// Drawn rectangles appear at their place for a full display, a cropped and scaled source and a
// letterboxed one, in both pixel formats; the attachments describe the content area.
TEST_F(X11CaptureBackendTest, FramesHoldTheDrawnRectanglesAtTheirPlace) {
    struct Case {
        const char* name;
        std::optional<CGRect> source;
        int width, height;
        double scale;
        int contentHeight;
    };
    const Case cases[] = {
        {"full display", std::nullopt, 1920, 1080, 1.0, 1080},
        {"cropped and halved", CGRect(100, 50, 800, 600), 400, 300, 0.5, 300},
        {"letterboxed", CGRect(100, 50, 800, 400), 600, 600, 0.75, 300},
    };
    struct Rect {
        int x, y, w, h;
        std::uint32_t colour;
    };
    const Rect rects[] = {{200, 100, 300, 200, kRed}, {600, 300, 150, 120, kGreen}};
    for (const auto& r : rects) painter->window(int(right.frame.minX()) + r.x, r.y, r.w, r.h, r.colour);

    for (const auto format : {PixelFormat::yuv420BiPlanarFullRange, PixelFormat::bgra}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (format == PixelFormat::bgra ? " BGRA" : " 420f"));
            collector = std::make_shared<Collector>();
            const MediaTime before = hostClockNow();
            auto stream = startStream(ContentFilter::excluding(right, {}),
                                      configuration(format, c.width, c.height, c.source, kBlueBackground));
            const auto frame = collector->completeFrameAfter(before);
            ASSERT_TRUE(frame);
            const PixelBuffer& image = *frame->imageBuffer;
            ASSERT_EQ(std::tuple(image.width(), image.height(), image.pixelFormat()),
                      std::tuple(c.width, c.height, format));

            const AttachmentDictionary& info = *frame->firstAttachments();
            const AttachmentDictionary* rect = info.find(AttachmentKey::contentRect)->asDictionary();
            ASSERT_TRUE(rect);
            EXPECT_EQ(std::tuple(rect->find(AttachmentKey::rectX)->asDouble(), rect->find(AttachmentKey::rectY)->asDouble(),
                                 rect->find(AttachmentKey::rectWidth)->asDouble(),
                                 rect->find(AttachmentKey::rectHeight)->asDouble()),
                      std::tuple(std::optional(0.0), std::optional(0.0), std::optional(double(c.width)),
                                 std::optional(double(c.contentHeight))));
            EXPECT_EQ(std::pair(info.find(AttachmentKey::contentScale)->asDouble(),
                                info.find(AttachmentKey::scaleFactor)->asDouble()),
                      std::pair(std::optional(c.scale), std::optional(1.0)));

            // Inside each rectangle by its corner and at its centre; black just outside its corner.
            const CGRect source = c.source.value_or(CGRect(0, 0, 1920, 1080));
            for (const auto& r : rects) {
                const double x0 = (r.x - source.minX()) * c.scale, y0 = (r.y - source.minY()) * c.scale;
                EXPECT_TRUE(holdsColour(image, int(std::ceil(x0)) + 2, int(std::ceil(y0)) + 2, r.colour));
                EXPECT_TRUE(holdsColour(image, int(std::floor(x0)) - 3, int(std::floor(y0)) - 3, kBlack));
                EXPECT_TRUE(holdsColour(image, int((r.x + r.w / 2 - source.minX()) * c.scale),
                                        int((r.y + r.h / 2 - source.minY()) * c.scale), r.colour));
            }
            if (c.contentHeight < c.height) {
                EXPECT_TRUE(holdsColour(image, c.width / 2, (c.contentHeight + c.height) / 2, kBlue));
            }
            EXPECT_FALSE(waitForCaptureCompletion(10, [&](CaptureCompletion done) {
                             stream->stopCapture(std::move(done));
                         }).value_or(PlatformError{}));
        }
    }
}

TEST_F(X11CaptureBackendTest, AMovedRectangleShowsAtItsNewPlaceAndUnchangedFramesAreIdle) {
    const auto window = painter->window(1920 + 200, 100, 300, 200, kRed);
    // Unscaled, so that frames are made in the same pass as the hash while content changes and
    // hashed alone after an idle frame: both must agree.
    auto stream = startStream(ContentFilter::excluding(right, {}), configuration(PixelFormat::yuv420BiPlanarFullRange,
                                                                                 1920, 1080, CGRect(0, 0, 1920, 1080)));
    ASSERT_TRUE(collector->completeFrameAfter());
    ASSERT_TRUE(collector->idleFor(3));  // nothing changes: idle frames, no image

    const MediaTime beforeMove = collector->latestCompleteTime();
    painter->move(window, 1920 + 1000, 600);
    const auto moved = collector->completeFrameAfter(beforeMove);
    ASSERT_TRUE(moved);
    EXPECT_TRUE(holdsColour(*moved->imageBuffer, 1000 + 150, 600 + 100, kRed));
    EXPECT_TRUE(holdsColour(*moved->imageBuffer, 200 + 150, 100 + 100, kBlack));
    ASSERT_TRUE(collector->idleFor(2));  // and still again
}

// On a still screen, the first frame after a new configuration or a monitor resized at its origin is complete and shows
// the new area; the frames after it are idle again.
TEST_F(X11CaptureBackendTest, AStillScreenGivesACompleteFrameAfterEveryChangeOfSettingsOrMonitor) {
    auto stream = startStream(ContentFilter::excluding(right, {}), configuration(PixelFormat::bgra, 960, 540));
    ASSERT_TRUE(collector->completeFrameAfter() && collector->idleFor(2));
    const auto update = [&] {
        EXPECT_FALSE(waitForCaptureCompletion(10, [&](CaptureCompletion done) {
                         stream->updateConfiguration(configuration(PixelFormat::bgra, 640, 360), std::move(done));
                     }).value_or(PlatformError{}));
    };
    const auto resize = [&] { painter->setMonitor("RIGHT", 1920, 0, 960, 1080); };
    for (const auto& [change, contentWidth] : {std::pair<std::function<void()>, double>{update, 640}, {resize, 320}}) {
        const MediaTime before = collector->latestCompleteTime();
        change();
        const auto frame = collector->completeFrameAfter(before);
        ASSERT_TRUE(frame);
        const AttachmentValue* rect = frame->firstAttachments()->find(AttachmentKey::contentRect);
        EXPECT_EQ(std::tuple(frame->imageBuffer->width(), rect->asDictionary()->find(AttachmentKey::rectWidth)->asDouble()),
                  std::tuple(640, std::optional(contentWidth)));
        EXPECT_TRUE(collector->idleFor(2));
    }
}

// Pixel work split over a pool gives the frames and the hash one thread gives, scaled, letterboxed or not.
TEST_F(X11CaptureBackendTest, PooledPixelWorkMatchesOneThread) {
    painter->window(1920 + 200, 100, 300, 200, kRed);
    auto opened = X11ScreenGrabber::open(server->display(), true);
    ASSERT_TRUE(opened.grabber);
    X11ScreenGrabber& grabber = *opened.grabber;
    ASSERT_FALSE(grabber.grab(1920, 0, 1920, 1080));
    const auto hash = grabber.hash(1920, 1080);
    for (const auto& [w, h, contentHeight] : {std::tuple{1920, 1080, 1080}, {1280, 720, 720}, {768, 768, 432}}) {
        for (const std::uint32_t format : {PixelFormat::yuv420BiPlanarFullRange, PixelFormat::bgra}) {
            std::shared_ptr<PixelBuffer> outs[2];
            for (int threads : {1, 7}) {
                grabber.setWorkerPool(threads > 1 ? std::make_shared<WorkerPool>(threads, std::chrono::microseconds{0}) : nullptr);
                auto& out = outs[threads > 1] = PixelBuffer::create(w, h, format).buffer;
                std::memset(out->baseAddress(), threads, out->dataSize());  // what is not written shows
                EXPECT_EQ(grabber.render(1920, 1080, *out, w, contentHeight, 0xFF2040D0u, true), hash) << w << " " << threads;
            }
            EXPECT_EQ(std::memcmp(outs[0]->baseAddress(), outs[1]->baseAddress(), outs[0]->dataSize()), 0) << w << "x" << h << " " << format;
        }
    }
}

// X cannot see beneath a window: an excluded window is captured as seen. An inclusion filter
// paints everything outside the included windows with the background colour.
TEST_F(X11CaptureBackendTest, ExcludedWindowsAreCapturedWithoutThePointerAndInclusionPaintsTheRest) {
    const auto red = painter->window(1920 + 100, 100, 200, 200, kRed);
    painter->window(1920 + 500, 100, 200, 200, kGreen);
    std::vector<CaptureWindow> redOnly;
    std::ranges::copy_if(fetchContent(true).windows, std::back_inserter(redOnly),
                         [red](const CaptureWindow& w) { return w.windowID == red; });
    ASSERT_EQ(redOnly.size(), 1u);

    // The pointer rests on the red window; the server's grab never shows it.
    painter->pointTo(1920 + 200, 200);
    auto excluding =
        startStream(ContentFilter::excluding(right, redOnly), configuration(PixelFormat::bgra, 1920, 1080));
    auto frame = collector->completeFrameAfter();
    ASSERT_TRUE(frame);
    for (int d = -8; d <= 8; d += 2) {
        for (int e = -8; e <= 8; e += 2) EXPECT_TRUE(holdsColour(*frame->imageBuffer, 200 + d, 200 + e, kRed));
    }
    excluding.reset();

    collector = std::make_shared<Collector>();
    auto including = startStream(ContentFilter::including(right, redOnly),
                                 configuration(PixelFormat::bgra, 1920, 1080, {}, kBlueBackground));
    frame = collector->completeFrameAfter();
    ASSERT_TRUE(frame);
    EXPECT_TRUE(holdsColour(*frame->imageBuffer, 200, 200, kRed));
    EXPECT_TRUE(holdsColour(*frame->imageBuffer, 600, 200, kBlue));
    EXPECT_TRUE(holdsColour(*frame->imageBuffer, 1000, 800, kBlue));
}

// A removed monitor stops its stream; a lost server stops the rest, and queries report it.
TEST_F(X11CaptureBackendTest, ARemovedMonitorOrALostServerStopsTheStreamWithAnError) {
    auto onLeft = std::make_shared<Collector>();
    auto rightStream = startStream(ContentFilter::excluding(right, {}), configuration(PixelFormat::bgra, 640, 360));
    auto leftStream = startStream(ContentFilter::excluding(left, {}),
                                  configuration(PixelFormat::yuv420BiPlanarFullRange, 640, 360), nullptr, onLeft);
    ASSERT_TRUE(collector->completeFrameAfter() && onLeft->completeFrameAfter());
    ASSERT_TRUE(server->xrandr({"--delmonitor", "RIGHT"}));
    ASSERT_TRUE(collector->waitFor([&] { return collector->stopError.has_value(); }));
    EXPECT_EQ(fetchContent(true).displays.size(), 1u);
    EXPECT_EQ(std::pair(collector->stopError->domain, collector->stopError->code),
              std::pair(std::string(X11CaptureStatus::domain), X11CaptureStatus::displayRemoved));

    server->stop();
    ASSERT_TRUE(onLeft->waitFor([&] { return onLeft->stopError.has_value(); }));
    EXPECT_EQ(onLeft->stopError->code, X11CaptureStatus::connectionLost);
    std::optional<PlatformError> queryError;
    fetchContent(true, &queryError);
    ASSERT_TRUE(queryError);
    EXPECT_EQ(queryError->domain, X11CaptureStatus::domain);
    EXPECT_TRUE(queryError->code == X11CaptureStatus::connectionLost ||
                queryError->code == X11CaptureStatus::connectionFailed)
        << queryError->code;
}

TEST_F(X11CaptureBackendTest, BadRequestsFailClearly) {
    struct Case {
        const char* name;
        std::uint32_t displayID;
        std::uint32_t format;
        int width;
        std::int32_t code;
    };
    const Case cases[] = {
        {"unknown display", 12345, PixelFormat::bgra, 640, X11CaptureStatus::displayNotFound},
        {"unsupported pixel format", 0, fourCC("y420"), 640, X11CaptureStatus::invalidConfiguration},
        {"zero width", 0, PixelFormat::bgra, 0, X11CaptureStatus::invalidConfiguration},
        {"oversized", 0, PixelFormat::bgra, 100000, X11CaptureStatus::invalidConfiguration},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureDisplay display = left;
        if (c.displayID) display.displayID = c.displayID;
        std::optional<PlatformError> error;
        auto stream = startStream(ContentFilter::excluding(display, {}), configuration(c.format, c.width, 360), &error);
        EXPECT_EQ(error.value_or(PlatformError{}).code, c.code);
    }
    auto stream =
        backend->makeStream(ContentFilter::excluding(left, {}), configuration(PixelFormat::bgra, 64, 64), collector);
    EXPECT_TRUE(stream->addOutput(collector, StreamOutputType::audio, queue));
    const auto missing = X11CaptureBackend::connect(":4711");
    EXPECT_FALSE(missing.backend);
    EXPECT_EQ(missing.error.value_or(PlatformError{}).code, X11CaptureStatus::connectionFailed);
}

TEST_F(X11CaptureBackendTest, TheFactoryPicksX11WhenAskedAndAvailable) {
    CaptureBackendRequest request;
    request.screen = CaptureBackendRequest::Screen::x11;
    request.x11Display = server->display();
    auto chosen = makeCaptureBackends(request);
    EXPECT_TRUE(chosen.screenIsX11 && std::dynamic_pointer_cast<X11CaptureBackend>(chosen.screen));
    EXPECT_TRUE(chosen.notes.empty());
    request.x11Display = ":4711";
    chosen = makeCaptureBackends(request);
    EXPECT_FALSE(chosen.screenIsX11);
    EXPECT_EQ(chosen.screen, CaptureBackend::current());
    EXPECT_EQ(chosen.notes.size(), 1u);
    chosen = makeCaptureBackends({});
    EXPECT_EQ(std::pair(chosen.screen, chosen.audio), std::pair(CaptureBackend::current(), CaptureBackend::current()));
    EXPECT_TRUE(chosen.notes.empty());
}

}  // namespace
}  // namespace mivodrell
