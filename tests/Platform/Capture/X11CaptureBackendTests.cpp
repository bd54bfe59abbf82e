#include "Platform/Base/FourCC.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Capture/CaptureBackendFactory.h"
#include "Platform/Capture/X11/X11CaptureBackend.h"
#include "support/TestServers.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace mivodrell {
namespace {

using testing::XvfbServer;

// A test client that draws solid rectangles as windows with a background colour.
class Painter {
public:
    explicit Painter(const std::string& display) {
        connection_ = xcb_connect(display.c_str(), nullptr);
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    }
    ~Painter() { xcb_disconnect(connection_); }

    xcb_window_t window(int x, int y, int w, int h, std::uint32_t rgb, bool map = true, const std::string& title = "") {
        const xcb_window_t id = xcb_generate_id(connection_);
        const std::uint32_t values[] = {rgb};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, id, screen_->root, static_cast<std::int16_t>(x),
                          static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, XCB_CW_BACK_PIXEL, values);
        if (!title.empty()) {
            xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                                static_cast<std::uint32_t>(title.size()), title.data());
        }
        if (map) xcb_map_window(connection_, id);
        sync();
        return id;
    }
    void move(xcb_window_t id, int x, int y) {
        const std::uint32_t values[] = {static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)};
        xcb_configure_window(connection_, id, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
        sync();
    }
    void pointTo(int x, int y) {
        xcb_warp_pointer(connection_, XCB_NONE, screen_->root, 0, 0, 0, 0, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
        sync();
    }
    void recolor(xcb_window_t id, std::uint32_t rgb) {
        xcb_change_window_attributes(connection_, id, XCB_CW_BACK_PIXEL, &rgb);
        xcb_clear_area(connection_, 0, id, 0, 0, 0, 0);
        sync();
    }
    // Returns once the server has carried out every request sent so far.
    void sync() { std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

private:
    xcb_connection_t* connection_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
};

std::int64_t statusOf(const SampleBuffer& sample) {
    const AttachmentDictionary* info = sample.firstAttachments();
    const AttachmentValue* status = info ? info->find(AttachmentKey::frameStatus) : nullptr;
    return status ? status->asInteger().value_or(-1) : -1;
}

// Keeps the statuses of every frame and the latest complete one (so the pool never runs dry).
struct Collector final : StreamOutput, StreamDelegate {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::int64_t> statuses;
    SampleBufferRef latestComplete;
    std::optional<PlatformError> stopError;

    void didOutputSampleBuffer(const SampleBufferRef& sample, StreamOutputType) override {
        std::lock_guard<std::mutex> lock(mutex);
        statuses.push_back(statusOf(*sample));
        if (statuses.back() == FrameStatus::complete) latestComplete = sample;
        changed.notify_all();
    }
    void didStopWithError(const PlatformError& error) override {
        std::lock_guard<std::mutex> lock(mutex);
        stopError = error;
        changed.notify_all();
    }
    template <class Predicate>
    bool waitFor(Predicate predicate, double seconds = 20) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return predicate(); });
    }
    // The first complete frame grabbed after host time `after`.
    SampleBufferRef completeFrameAfter(MediaTime after) {
        SampleBufferRef found;
        waitFor([&] {
            if (latestComplete && latestComplete->presentationTime.seconds() > after.seconds()) found = latestComplete;
            return found != nullptr;
        });
        return found;
    }
};

constexpr std::uint32_t kRed = 0xE02010, kGreen = 0x20C040, kBlue = 0x2040D0;

struct Rgb {
    int r, g, b;
};
Rgb rgbOf(std::uint32_t word) { return {int((word >> 16) & 0xFF), int((word >> 8) & 0xFF), int(word & 0xFF)}; }

// Reads the colour at a pixel: exact for 'BGRA', through the full-range BT.709 equations for '420f'.
::testing::AssertionResult holdsColour(const PixelBuffer& buffer, int x, int y, Rgb expected) {
    if (buffer.pixelFormat() == PixelFormat::bgra) {
        const std::uint8_t* p = buffer.baseAddress() + static_cast<std::size_t>(y) * buffer.bytesPerRow() + 4 * x;
        if (std::abs(p[2] - expected.r) <= 2 && std::abs(p[1] - expected.g) <= 2 && std::abs(p[0] - expected.b) <= 2 &&
            p[3] == 255) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "BGRA at " << x << "," << y << " is " << int(p[2]) << "," << int(p[1]) << ","
                                             << int(p[0]) << "," << int(p[3]) << "; expected " << expected.r << ","
                                             << expected.g << "," << expected.b;
    }
    const double luma = 0.2126 * expected.r + 0.7152 * expected.g + 0.0722 * expected.b;
    const double cb = 128 + (expected.b - luma) / 1.8556;
    const double cr = 128 + (expected.r - luma) / 1.5748;
    const int Y = buffer.baseAddressOfPlane(0)[static_cast<std::size_t>(y) * buffer.bytesPerRowOfPlane(0) + x];
    const std::uint8_t* c = buffer.baseAddressOfPlane(1) + static_cast<std::size_t>(y / 2) * buffer.bytesPerRowOfPlane(1) + 2 * (x / 2);
    if (std::abs(Y - luma) <= 2.5 && std::abs(c[0] - cb) <= 2.5 && std::abs(c[1] - cr) <= 2.5) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "Y,Cb,Cr at " << x << "," << y << " is " << Y << "," << int(c[0]) << "," << int(c[1])
                                         << "; expected " << luma << "," << cb << "," << cr;
}

class X11CaptureBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        server = XvfbServer::start(3840, 1080, why);
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

    ShareableContent fetchContent(bool onScreenOnly) {
        std::mutex m;
        std::condition_variable cv;
        std::optional<ShareableContent> result;
        bool done = false;
        backend->getShareableContent(false, onScreenOnly, [&](std::optional<ShareableContent> c, std::optional<PlatformError>) {
            std::lock_guard<std::mutex> lock(m);
            result = std::move(c);
            done = true;
            cv.notify_all();
        });
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, std::chrono::seconds(10), [&] { return done; });
        return result.value_or(ShareableContent{});
    }

    // Makes and starts a stream; the start's outcome goes to `startError`.
    std::shared_ptr<CaptureStream> startStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                               std::optional<PlatformError>* startError = nullptr) {
        auto stream = backend->makeStream(filter, configuration, collector);
        EXPECT_FALSE(stream->addOutput(collector, StreamOutputType::screen, queue));
        const auto outcome = waitForCaptureCompletion(10, [&](CaptureCompletion done) { stream->startCapture(std::move(done)); });
        EXPECT_TRUE(outcome.has_value());
        if (startError) {
            *startError = outcome ? *outcome : std::nullopt;
        } else {
            EXPECT_FALSE(outcome && *outcome) << (*outcome)->description;
        }
        return stream;
    }

    static StreamConfiguration configuration(std::uint32_t format, int width, int height,
                                             std::optional<CGRect> source = std::nullopt) {
        StreamConfiguration c;
        c.pixelFormat = format;
        c.width = width;
        c.height = height;
        c.sourceRect = source;
        c.minimumFrameInterval = MediaTime::make(1, 60);
        c.queueDepth = 5;
        return c;
    }

    std::unique_ptr<XvfbServer> server;
    std::shared_ptr<X11CaptureBackend> backend;
    std::unique_ptr<Painter> painter;
    CaptureDisplay left, right;
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("test.frames");
    std::shared_ptr<Collector> collector = std::make_shared<Collector>();
};

TEST_F(X11CaptureBackendTest, DisplaysAreTheMonitorsAndWindowsTheTopLevelWindows) {
    EXPECT_EQ(left.name, "LEFT");
    EXPECT_EQ(right.name, "RIGHT");
    EXPECT_TRUE(left.isMain);
    EXPECT_FALSE(right.isMain);
    EXPECT_EQ(left.frame, CGRect(0, 0, 1920, 1080));
    EXPECT_EQ(right.frame, CGRect(1920, 0, 1920, 1080));
    EXPECT_EQ(right.scale, 1.0);
    EXPECT_NE(left.displayID, right.displayID);
    EXPECT_FALSE(backend->capabilities().supportsWindowExclusion);

    const auto shown = painter->window(2000, 100, 300, 200, kRed, true, "Shown");
    const auto hidden = painter->window(100, 100, 50, 50, kGreen, false, "Hidden");
    auto find = [](const ShareableContent& c, std::uint32_t id) -> const CaptureWindow* {
        for (const auto& w : c.windows) {
            if (w.windowID == id) return &w;
        }
        return nullptr;
    };
    const auto onScreen = fetchContent(true);
    const CaptureWindow* w = find(onScreen, shown);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->frame, CGRect(2000, 100, 300, 200));
    EXPECT_EQ(w->displayID, right.displayID);
    EXPECT_EQ(w->title, "Shown");
    EXPECT_TRUE(w->onScreen);
    EXPECT_FALSE(find(onScreen, hidden));
    const auto all = fetchContent(false);
    ASSERT_TRUE(find(all, hidden));
    EXPECT_FALSE(find(all, hidden)->onScreen);
    EXPECT_EQ(find(all, hidden)->displayID, left.displayID);
}

// Drawn rectangles appear at their place for a full display, a cropped and scaled source and a
// letterboxed one, in both pixel formats; the attachments describe the content area.
TEST_F(X11CaptureBackendTest, FramesHoldTheDrawnRectanglesAtTheirPlace) {
    struct Case {
        const char* name;
        std::optional<CGRect> source;
        int width, height;
        double scale;
        int contentWidth, contentHeight;
    };
    const Case cases[] = {
        {"full display", std::nullopt, 1920, 1080, 1.0, 1920, 1080},
        {"cropped and halved", CGRect(100, 50, 800, 600), 400, 300, 0.5, 400, 300},
        {"letterboxed", CGRect(100, 50, 800, 400), 600, 600, 0.75, 600, 300},
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
            auto cfg = configuration(format, c.width, c.height, c.source);
            cfg.backgroundColor = RGBAColor{0x20 / 255.0, 0x40 / 255.0, 0xD0 / 255.0, 1};
            auto stream = startStream(ContentFilter::excluding(right, {}), cfg);
            const auto frame = collector->completeFrameAfter(before);
            ASSERT_TRUE(frame);
            const PixelBuffer& image = *frame->imageBuffer;
            ASSERT_EQ(image.width(), c.width);
            ASSERT_EQ(image.height(), c.height);
            ASSERT_EQ(image.pixelFormat(), format);

            const AttachmentDictionary& info = *frame->firstAttachments();
            const AttachmentDictionary* rect = info.find(AttachmentKey::contentRect)->asDictionary();
            ASSERT_TRUE(rect);
            EXPECT_EQ(rect->find(AttachmentKey::rectX)->asDouble(), 0.0);
            EXPECT_EQ(rect->find(AttachmentKey::rectWidth)->asDouble(), double(c.contentWidth));
            EXPECT_EQ(rect->find(AttachmentKey::rectHeight)->asDouble(), double(c.contentHeight));
            EXPECT_EQ(info.find(AttachmentKey::contentScale)->asDouble(), c.scale);
            EXPECT_EQ(info.find(AttachmentKey::scaleFactor)->asDouble(), 1.0);

            const CGRect source = c.source.value_or(CGRect(0, 0, 1920, 1080));
            for (const auto& r : rects) {
                const double left0 = (r.x - source.minX()) * c.scale, top0 = (r.y - source.minY()) * c.scale;
                const int inX = int(std::ceil(left0)) + 2, inY = int(std::ceil(top0)) + 2;
                const int outX = int(std::floor(left0)) - 3, outY = int(std::floor(top0)) - 3;
                EXPECT_TRUE(holdsColour(image, inX, inY, rgbOf(r.colour)));
                EXPECT_TRUE(holdsColour(image, outX, outY, {0, 0, 0}));
                const int centreX = int((r.x + r.w / 2 - source.minX()) * c.scale);
                const int centreY = int((r.y + r.h / 2 - source.minY()) * c.scale);
                EXPECT_TRUE(holdsColour(image, centreX, centreY, rgbOf(r.colour)));
            }
            if (c.contentHeight < c.height) {
                EXPECT_TRUE(holdsColour(image, c.width / 2, (c.contentHeight + c.height) / 2, rgbOf(kBlue)));
            }
            EXPECT_FALSE(waitForCaptureCompletion(10, [&](CaptureCompletion done) { stream->stopCapture(std::move(done)); })
                             .value_or(PlatformError{}));
        }
    }
}

TEST_F(X11CaptureBackendTest, AMovedRectangleShowsAtItsNewPlaceAndUnchangedFramesAreIdle) {
    const auto window = painter->window(1920 + 200, 100, 300, 200, kRed);
    // Unscaled, so that frames are made in the same pass as the hash while content changes and
    // hashed alone after an idle frame: both must agree.
    auto stream = startStream(ContentFilter::excluding(right, {}),
                              configuration(PixelFormat::yuv420BiPlanarFullRange, 1920, 1080, CGRect(0, 0, 1920, 1080)));
    ASSERT_TRUE(collector->completeFrameAfter(MediaTime::make(0, 1)));
    // Nothing changes: the following frames are idle and carry no image.
    std::size_t first = 0;
    ASSERT_TRUE(collector->waitFor([&] {
        first = collector->statuses.size();
        return first >= 4 && collector->statuses[first - 1] == FrameStatus::idle &&
               collector->statuses[first - 2] == FrameStatus::idle && collector->statuses[first - 3] == FrameStatus::idle;
    }));

    const MediaTime beforeMove = hostClockNow();
    painter->move(window, 1920 + 1000, 600);
    const auto moved = collector->completeFrameAfter(beforeMove);
    ASSERT_TRUE(moved);
    EXPECT_TRUE(holdsColour(*moved->imageBuffer, 1000 + 150, 600 + 100, rgbOf(kRed)));
    EXPECT_TRUE(holdsColour(*moved->imageBuffer, 200 + 150, 100 + 100, {0, 0, 0}));

    const MediaTime beforeRecolour = hostClockNow();
    painter->recolor(window, kGreen);
    const auto recoloured = collector->completeFrameAfter(beforeRecolour);
    ASSERT_TRUE(recoloured);
    EXPECT_TRUE(holdsColour(*recoloured->imageBuffer, 1000 + 150, 600 + 100, rgbOf(kGreen)));
    // And the screen is still again.
    ASSERT_TRUE(collector->waitFor([&] {
        const auto n = collector->statuses.size();
        return collector->statuses[n - 1] == FrameStatus::idle && collector->statuses[n - 2] == FrameStatus::idle;
    }));
}

// X cannot see beneath a window: an excluded window is captured as seen. An inclusion filter
// paints everything outside the included windows with the background colour.
TEST_F(X11CaptureBackendTest, ExcludedWindowsAreCapturedWithoutThePointerAndInclusionPaintsTheRest) {
    const auto red = painter->window(1920 + 100, 100, 200, 200, kRed);
    painter->window(1920 + 500, 100, 200, 200, kGreen);
    const auto content = fetchContent(true);
    std::vector<CaptureWindow> redOnly;
    for (const auto& w : content.windows) {
        if (w.windowID == red) redOnly.push_back(w);
    }
    ASSERT_EQ(redOnly.size(), 1u);

    // The pointer rests on the red window; the server's grab never shows it.
    painter->pointTo(1920 + 200, 200);
    auto excluding = startStream(ContentFilter::excluding(right, redOnly), configuration(PixelFormat::bgra, 1920, 1080));
    auto frame = collector->completeFrameAfter(MediaTime::make(0, 1));
    ASSERT_TRUE(frame);
    for (int dy = -8; dy <= 8; dy += 2) {
        for (int dx = -8; dx <= 8; dx += 2) EXPECT_TRUE(holdsColour(*frame->imageBuffer, 200 + dx, 200 + dy, rgbOf(kRed)));
    }
    excluding.reset();

    collector = std::make_shared<Collector>();
    auto cfg = configuration(PixelFormat::bgra, 1920, 1080);
    cfg.backgroundColor = RGBAColor{0x20 / 255.0, 0x40 / 255.0, 0xD0 / 255.0, 1};
    auto including = startStream(ContentFilter::including(right, redOnly), cfg);
    frame = collector->completeFrameAfter(MediaTime::make(0, 1));
    ASSERT_TRUE(frame);
    EXPECT_TRUE(holdsColour(*frame->imageBuffer, 200, 200, rgbOf(kRed)));
    EXPECT_TRUE(holdsColour(*frame->imageBuffer, 600, 200, rgbOf(kBlue)));
    EXPECT_TRUE(holdsColour(*frame->imageBuffer, 1000, 800, rgbOf(kBlue)));
}

TEST_F(X11CaptureBackendTest, RemovingTheMonitorStopsItsStreamWithAnError) {
    auto stream = startStream(ContentFilter::excluding(right, {}), configuration(PixelFormat::bgra, 640, 360));
    ASSERT_TRUE(collector->completeFrameAfter(MediaTime::make(0, 1)));
    ASSERT_TRUE(server->xrandr({"--delmonitor", "RIGHT"}));
    ASSERT_TRUE(collector->waitFor([&] { return collector->stopError.has_value(); }));
    EXPECT_EQ(collector->stopError->domain, X11CaptureStatus::domain);
    EXPECT_EQ(collector->stopError->code, X11CaptureStatus::displayRemoved);
}

TEST_F(X11CaptureBackendTest, ALostServerStopsTheStreamWithAnError) {
    auto stream = startStream(ContentFilter::excluding(left, {}), configuration(PixelFormat::yuv420BiPlanarFullRange, 640, 360));
    ASSERT_TRUE(collector->completeFrameAfter(MediaTime::make(0, 1)));
    server->stop();
    ASSERT_TRUE(collector->waitFor([&] { return collector->stopError.has_value(); }));
    EXPECT_EQ(collector->stopError->code, X11CaptureStatus::connectionLost);
    // Queries report the lost server instead of hanging.
    std::optional<PlatformError> queryError;
    auto box = waitForCaptureCompletion(10, [&](CaptureCompletion done) {
        backend->getShareableContent(false, true, [&, done](std::optional<ShareableContent>, std::optional<PlatformError> e) {
            queryError = e;
            done(std::nullopt);
        });
    });
    ASSERT_TRUE(box);
    ASSERT_TRUE(queryError);
    EXPECT_EQ(queryError->domain, X11CaptureStatus::domain);
    EXPECT_TRUE(queryError->code == X11CaptureStatus::connectionLost || queryError->code == X11CaptureStatus::connectionFailed)
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
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, c.code);
    }
    auto stream = backend->makeStream(ContentFilter::excluding(left, {}), configuration(PixelFormat::bgra, 64, 64), collector);
    EXPECT_TRUE(stream->addOutput(collector, StreamOutputType::audio, queue));

    const auto missing = X11CaptureBackend::connect(":4711");
    EXPECT_FALSE(missing.backend);
    ASSERT_TRUE(missing.error);
    EXPECT_EQ(missing.error->code, X11CaptureStatus::connectionFailed);
}

TEST_F(X11CaptureBackendTest, TheFactoryPicksX11WhenAskedAndAvailable) {
    CaptureBackendRequest request;
    request.screen = CaptureBackendRequest::Screen::x11;
    request.x11Display = server->display();
    auto chosen = makeCaptureBackends(request);
    EXPECT_TRUE(chosen.screenIsX11);
    EXPECT_TRUE(std::dynamic_pointer_cast<X11CaptureBackend>(chosen.screen));
    EXPECT_TRUE(chosen.notes.empty());

    request.x11Display = ":4711";
    chosen = makeCaptureBackends(request);
    EXPECT_FALSE(chosen.screenIsX11);
    EXPECT_EQ(chosen.screen, CaptureBackend::current());
    EXPECT_EQ(chosen.notes.size(), 1u);

    chosen = makeCaptureBackends({});
    EXPECT_EQ(chosen.screen, CaptureBackend::current());
    EXPECT_EQ(chosen.audio, CaptureBackend::current());
    EXPECT_TRUE(chosen.notes.empty());
}

}  // namespace
}  // namespace mivodrell
