#include "Platform/Capture/X11/X11CaptureBackend.h"

#include "Platform/Base/FourCC.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Base/WorkerPool.h"
#include "Platform/Media/PixelBuffer.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

namespace mivodrell {

namespace {

using Monitor = X11ScreenGrabber::Monitor;

PlatformError x11Error(std::int32_t code, std::string text) {
    return {X11CaptureStatus::domain, code, std::move(text)};
}

std::string atomName(xcb_connection_t* c, xcb_get_atom_name_cookie_t cookie) {
    X11Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c, cookie, nullptr));
    if (!reply) return {};
    return std::string(xcb_get_atom_name_name(reply.get()), static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
}

std::string propertyText(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
    X11Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(c, cookie, nullptr));
    if (!reply || reply->format != 8) return {};
    return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                       static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
}

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    X11Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

std::optional<ShareableContent> readContent(X11ScreenGrabber& server, bool onScreenWindowsOnly) {
    xcb_connection_t* x = server.connection();
    const auto monitors = server.monitors();
    X11Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(x, xcb_query_tree(x, server.root()), nullptr));
    if (!monitors || !tree) return std::nullopt;

    ShareableContent content;
    std::vector<xcb_get_atom_name_cookie_t> names;
    for (const auto& m : *monitors) names.push_back(xcb_get_atom_name(x, m.id));
    for (std::size_t i = 0; i < monitors->size(); ++i) {
        const Monitor& m = (*monitors)[i];
        content.displays.push_back({m.id, CGRect(m.x, m.y, m.width, m.height), 1.0, m.primary, atomName(x, names[i])});
    }
    if (!content.displays.empty() &&
        std::none_of(content.displays.begin(), content.displays.end(), [](const auto& d) { return d.isMain; })) {
        content.displays.front().isMain = true;  // no primary monitor set: the first one is main
    }

    const xcb_atom_t netName = internAtom(x, "_NET_WM_NAME");
    const xcb_atom_t utf8 = internAtom(x, "UTF8_STRING");
    const int count = xcb_query_tree_children_length(tree.get());
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    struct Pending {
        xcb_window_t window;
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
        xcb_get_property_cookie_t netName;
        xcb_get_property_cookie_t name;
    };
    std::vector<Pending> pending;
    pending.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const xcb_window_t w = children[i];
        pending.push_back({w, xcb_get_window_attributes(x, w), xcb_get_geometry(x, w),
                           xcb_get_property(x, 0, w, netName, utf8, 0, 1024),
                           xcb_get_property(x, 0, w, XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 0, 1024)});
    }
    for (const auto& p : pending) {
        X11Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(x, p.attributes, nullptr));
        X11Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(x, p.geometry, nullptr));
        std::string title = propertyText(x, p.netName);
        std::string plainTitle = propertyText(x, p.name);
        if (!attributes || !geometry) continue;  // the window went away meanwhile
        if (attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) continue;
        const bool viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        if (onScreenWindowsOnly && !viewable) continue;
        const int border = geometry->border_width;
        CaptureWindow window;
        window.windowID = p.window;
        window.frame = CGRect(geometry->x, geometry->y, geometry->width + 2 * border, geometry->height + 2 * border);
        window.onScreen = viewable;
        window.title = title.empty() ? std::move(plainTitle) : std::move(title);
        double bestOverlap = 0;
        for (const auto& m : *monitors) {
            const double w = std::min(window.frame.maxX(), double(m.x + m.width)) - std::max(window.frame.minX(), double(m.x));
            const double h = std::min(window.frame.maxY(), double(m.y + m.height)) - std::max(window.frame.minY(), double(m.y));
            if (w > 0 && h > 0 && w * h > bestOverlap) {
                bestOverlap = w * h;
                window.displayID = m.id;
            }
        }
        content.windows.push_back(std::move(window));
    }
    return content;
}

std::optional<PlatformError> checkConfiguration(const StreamConfiguration& c) {
    if (c.pixelFormat != PixelFormat::bgra && c.pixelFormat != PixelFormat::yuv420BiPlanarFullRange) {
        return x11Error(X11CaptureStatus::invalidConfiguration, "unsupported pixel format");
    }
    if (c.width < 1 || c.height < 1 || c.width > PixelBuffer::maxEdge || c.height > PixelBuffer::maxEdge) {
        return x11Error(X11CaptureStatus::invalidConfiguration, "unsupported output size");
    }
    return std::nullopt;
}

double frameInterval(const StreamConfiguration& c) {
    const double seconds = c.minimumFrameInterval.seconds();
    return std::isfinite(seconds) && seconds > 0 ? seconds : 1.0 / 60;
}

std::uint32_t backgroundWord(const StreamConfiguration& c) {
    const RGBAColor color = c.backgroundColor.value_or(RGBAColor{0, 0, 0, 1});
    auto byte = [](double v) {
        return static_cast<std::uint32_t>(roundClamped<int>(std::clamp(std::isfinite(v) ? v : 0.0, 0.0, 1.0) * 255.0, 0));
    };
    return 0xFF000000u | (byte(color.red) << 16) | (byte(color.green) << 8) | byte(color.blue);
}

// The stream's state. Everything except `released` lives on `queue`, the capture thread.
struct StreamCore : std::enable_shared_from_this<StreamCore> {
    std::string displayName;
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("Mivodrell.X11CaptureStream");
    std::weak_ptr<StreamDelegate> delegate;
    ContentFilter filter;
    StreamConfiguration configuration;
    std::shared_ptr<StreamOutput> output;
    std::shared_ptr<SerialQueue> outputQueue;
    std::atomic<bool> released{false};  // the stream object is gone: never start again
    std::shared_ptr<WorkerPool> workers;

    std::unique_ptr<X11ScreenGrabber> grabber;
    bool running = false;
    std::shared_ptr<QueueTimer> timer;
    Monitor monitor;
    std::vector<Monitor> monitorsAtGrab;
    std::vector<std::shared_ptr<PixelBuffer>> pool;
    std::uint64_t settingsVersion = 0;
    std::uint64_t lastSettingsVersion = 0;
    std::uint64_t lastHash = 0;
    bool deliveredAny = false;
    bool lastFrameIdle = false;

    void release() {
        timer.reset();
        running = false;
        grabber.reset();
    }

    std::optional<PlatformError> start() {
        if (running || released.load()) return std::nullopt;
        if (auto bad = checkConfiguration(configuration)) return bad;
        if (!grabber || grabber->broken()) {
            auto opened = X11ScreenGrabber::open(displayName, true);
            if (!opened.grabber) return opened.error;
            grabber = std::move(opened.grabber);
            grabber->setWorkerPool(workers);
        }
        const auto monitors = grabber->monitors();
        if (!monitors) return x11Error(X11CaptureStatus::connectionLost, "the X server did not list its monitors");
        const Monitor* m = X11ScreenGrabber::find(*monitors, filter.display.displayID);
        if (!m) return x11Error(X11CaptureStatus::displayNotFound, "no such display");
        monitor = *m;
        if (released.load()) {
            release();  // the stream was let go while the server was being asked
            return std::nullopt;
        }
        running = true;
        deliveredAny = false;
        lastFrameIdle = false;
        startTimer();
        return std::nullopt;
    }

    void startTimer() {
        std::weak_ptr<StreamCore> weak = weak_from_this();
        timer = queue->makeTimer(0, frameInterval(configuration), [weak] {
            if (auto self = weak.lock()) self->captureFrame();
        });
    }

    void stopWithError(const PlatformError& error) {
        if (!running) return;
        release();
        if (auto d = delegate.lock()) d->didStopWithError(error);
    }

    std::shared_ptr<PixelBuffer> takePoolBuffer(int width, int height, std::uint32_t format) {
        const std::size_t depth = static_cast<std::size_t>(std::max(1, configuration.queueDepth));
        for (auto& b : pool) {
            if (b.use_count() == 1 && b->width() == width && b->height() == height && b->pixelFormat() == format) return b;
        }
        pool.erase(std::remove_if(pool.begin(), pool.end(),
                                  [&](const auto& b) {
                                      return b.use_count() == 1 &&
                                             (b->width() != width || b->height() != height || b->pixelFormat() != format);
                                  }),
                   pool.end());
        if (pool.size() >= depth) return nullptr;
        auto created = PixelBuffer::create(width, height, format).buffer;
        if (created) pool.push_back(created);
        return created;
    }

    // The grab rectangle in root pixels: the source rectangle (display points, whole pixels)
    // clipped to the monitor and the root window.
    void grabRect(int& x, int& y, int& w, int& h) const {
        const CGRect display(0, 0, monitor.width, monitor.height);
        CGRect source = configuration.sourceRect ? configuration.sourceRect->standardized() : display;
        if (!std::isfinite(source.minX()) || !std::isfinite(source.minY()) || !std::isfinite(source.width()) ||
            !std::isfinite(source.height())) {
            source = display;
        }
        int x0 = std::clamp(roundClamped<int>(source.minX(), 0), 0, monitor.width);
        int y0 = std::clamp(roundClamped<int>(source.minY(), 0), 0, monitor.height);
        int x1 = std::clamp(roundClamped<int>(source.maxX(), 0), 0, monitor.width);
        int y1 = std::clamp(roundClamped<int>(source.maxY(), 0), 0, monitor.height);
        if (x1 <= x0 || y1 <= y0) x0 = 0, y0 = 0, x1 = monitor.width, y1 = monitor.height;
        x = std::clamp(monitor.x + x0, 0, grabber->rootWidth());
        y = std::clamp(monitor.y + y0, 0, grabber->rootHeight());
        w = std::clamp(monitor.x + x1, 0, grabber->rootWidth()) - x;
        h = std::clamp(monitor.y + y1, 0, grabber->rootHeight()) - y;
    }

    // X cannot leave windows out, but it can leave out everything except some windows.
    void paintOutsideIncludedWindows(int gx, int gy, int gw, int gh, std::uint32_t background) {
        struct Span {
            int x0, x1, y0, y1;
        };
        std::vector<Span> spans;
        for (const auto& w : filter.windows) {
            const int x0 = std::clamp(roundClamped<int>(w.frame.minX(), 0) - gx, 0, gw);
            const int x1 = std::clamp(roundClamped<int>(w.frame.maxX(), 0) - gx, 0, gw);
            const int y0 = std::clamp(roundClamped<int>(w.frame.minY(), 0) - gy, 0, gh);
            const int y1 = std::clamp(roundClamped<int>(w.frame.maxY(), 0) - gy, 0, gh);
            if (x1 > x0 && y1 > y0) spans.push_back({x0, x1, y0, y1});
        }
        std::vector<char> covered(static_cast<std::size_t>(gw));
        for (int y = 0; y < gh; ++y) {
            std::fill(covered.begin(), covered.end(), 0);
            for (const auto& s : spans) {
                if (y >= s.y0 && y < s.y1) std::fill(covered.begin() + s.x0, covered.begin() + s.x1, 1);
            }
            auto* row = reinterpret_cast<std::uint32_t*>(grabber->pixels() + static_cast<std::size_t>(y) * static_cast<std::size_t>(gw) * 4);
            for (int x = 0; x < gw; ++x) {
                if (!covered[static_cast<std::size_t>(x)]) row[x] = background;
            }
        }
    }

    void captureFrame() {
        if (!running || !output || !grabber) return;
        if (released.load()) {
            release();
            return;
        }
        const int outW = clampedNarrow<int>(configuration.width);
        const int outH = clampedNarrow<int>(configuration.height);
        // A changed frame needs a buffer of the pool: while the consumer holds every one, the
        // frame would be skipped, so nothing is grabbed.
        std::shared_ptr<PixelBuffer> buffer = takePoolBuffer(outW, outH, configuration.pixelFormat);
        if (!buffer) return;

        int gx = 0, gy = 0, gw = 0, gh = 0;
        grabRect(gx, gy, gw, gh);
        const MediaTime presentationTime = hostClockNow();
        monitorsAtGrab.clear();
        const auto grabError = grabber->grab(gx, gy, gw, gh, &monitorsAtGrab);
        if (grabber->broken()) {
            stopWithError(x11Error(X11CaptureStatus::connectionLost, "the connection to the X server broke"));
            return;
        }
        const Monitor* current = X11ScreenGrabber::find(monitorsAtGrab, filter.display.displayID);
        if (!current) {
            stopWithError(x11Error(X11CaptureStatus::displayRemoved, "the display was disconnected"));
            return;
        }
        if (current->x != monitor.x || current->y != monitor.y || current->width != monitor.width ||
            current->height != monitor.height) {
            monitor = *current;  // moved or resized: the next frame grabs the new area
            ++settingsVersion;
            return;
        }
        if (grabError) {
            stopWithError(*grabError);
            return;
        }

        const std::uint32_t background = backgroundWord(configuration);
        if (filter.mode == ContentFilter::Mode::includingWindows) paintOutsideIncludedWindows(gx, gy, gw, gh, background);
        // The source fills the output as far as its aspect ratio allows, anchored top-left.
        const double k = std::min(static_cast<double>(outW) / gw, static_cast<double>(outH) / gh);
        const int contentW = std::clamp(roundClamped<int>(gw * k, outW), 0, outW);
        const int contentH = std::clamp(roundClamped<int>(gh * k, outH), 0, outH);

        // The first frame after a start or a change of settings is always complete. While the
        // content keeps changing, the frame is made in the same pass as the hash; after an idle
        // frame only the hash is taken, and the frame made when it changed.
        const bool settled = deliveredAny && settingsVersion == lastSettingsVersion;
        std::optional<std::uint64_t> hash;
        bool rendered = false;
        if (settled && lastFrameIdle) {
            hash = grabber->hash(gw, gh);
        } else {
            hash = grabber->render(gw, gh, *buffer, contentW, contentH, background, true);
            rendered = true;
        }
        if (!hash) return;
        const bool idle = settled && *hash == lastHash;
        lastFrameIdle = idle;
        if (!idle && !rendered && !grabber->render(gw, gh, *buffer, contentW, contentH, background, false)) return;

        AttachmentDictionary info;
        auto sample = std::make_shared<SampleBuffer>();
        sample->presentationTime = presentationTime;
        if (idle) {
            info.set(std::string(AttachmentKey::frameStatus), FrameStatus::idle);
        } else {
            sample->imageBuffer = buffer;
            info.set(std::string(AttachmentKey::frameStatus), FrameStatus::complete);
            AttachmentDictionary rect;
            rect.set(std::string(AttachmentKey::rectX), 0.0);
            rect.set(std::string(AttachmentKey::rectY), 0.0);
            rect.set(std::string(AttachmentKey::rectWidth), static_cast<double>(contentW));
            rect.set(std::string(AttachmentKey::rectHeight), static_cast<double>(contentH));
            info.set(std::string(AttachmentKey::contentRect), rect);
            info.set(std::string(AttachmentKey::contentScale), k);
            info.set(std::string(AttachmentKey::scaleFactor), 1.0);
            deliveredAny = true;
            lastHash = *hash;
            lastSettingsVersion = settingsVersion;
        }
        sample->attachments = std::vector<AttachmentValue>{AttachmentValue(info)};
        outputQueue->async([out = output, sample] { out->didOutputSampleBuffer(sample, StreamOutputType::screen); });
    }
};

class X11Stream final : public CaptureStream {
public:
    explicit X11Stream(std::shared_ptr<StreamCore> core) : core_(std::move(core)) {}

    ~X11Stream() override {
        // A released stream stops itself. The last reference may end on the capture thread, which
        // then finishes on its own; nothing here waits for the server.
        core_->released.store(true);
        core_->queue->async([core = core_] { core->release(); });
    }

    std::optional<PlatformError> addOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                                           std::shared_ptr<SerialQueue> queue) override {
        if (!output || !queue) return x11Error(X11CaptureStatus::invalidConfiguration, "no output or queue");
        if (type != StreamOutputType::screen) {
            return x11Error(X11CaptureStatus::invalidConfiguration, "system audio is not captured from the X server");
        }
        auto core = core_;
        core->queue->sync([&] {
            core->output = std::move(output);
            core->outputQueue = std::move(queue);
        });
        return std::nullopt;
    }

    void startCapture(CaptureCompletion completion) override {
        core_->queue->async([core = core_, completion = std::move(completion)] { completion(core->start()); });
    }

    void updateConfiguration(StreamConfiguration configuration, CaptureCompletion completion) override {
        core_->queue->async([core = core_, configuration, completion = std::move(completion)] {
            if (auto bad = checkConfiguration(configuration)) {
                completion(bad);
                return;
            }
            const bool retime = frameInterval(core->configuration) != frameInterval(configuration);
            core->configuration = configuration;
            ++core->settingsVersion;
            if (retime && core->running) core->startTimer();
            completion(std::nullopt);
        });
    }

    void updateContentFilter(ContentFilter filter, CaptureCompletion completion) override {
        core_->queue->async([core = core_, filter = std::move(filter), completion = std::move(completion)] {
            if (core->running && filter.display.displayID != core->filter.display.displayID) {
                const auto monitors = core->grabber ? core->grabber->monitors() : std::nullopt;
                const Monitor* m = monitors ? X11ScreenGrabber::find(*monitors, filter.display.displayID) : nullptr;
                if (!m) {
                    completion(x11Error(X11CaptureStatus::displayNotFound, "no such display"));
                    return;
                }
                core->monitor = *m;
            }
            core->filter = filter;
            ++core->settingsVersion;
            completion(std::nullopt);
        });
    }

    void stopCapture(CaptureCompletion completion) override {
        core_->queue->async([core = core_, completion = std::move(completion)] {
            core->release();
            completion(std::nullopt);
        });
    }

private:
    std::shared_ptr<StreamCore> core_;
};

// Threads for the streams' pixel work. A 1080p grab is hashed and converted in under 2 ms of
// one thread; on a loaded 8-core machine a second thread took 15 % more CPU and saved no time,
// and the cores are the encoder's: one thread per 8 cores this process may use, 1 to 4. A frame
// is one pass, so the workers sleep as soon as it is done.
std::shared_ptr<WorkerPool> makePixelWorkers() {
    return std::make_shared<WorkerPool>(std::clamp(WorkerPool::availableCores() / 8, 1, 4), std::chrono::microseconds{0});
}

}  // namespace

struct X11CaptureBackend::Impl {
    std::string displayName;
    std::shared_ptr<SerialQueue> queries = std::make_shared<SerialQueue>("Mivodrell.X11CaptureBackend.queries");
    std::unique_ptr<X11ScreenGrabber> server;  // used only on `queries`, without shared memory
    // Shared by the streams for their pixel work.
    std::shared_ptr<WorkerPool> workers = makePixelWorkers();
};

X11CaptureBackend::ConnectResult X11CaptureBackend::connect(const std::string& displayName) {
    auto impl = std::make_shared<Impl>();
    impl->displayName = displayName;
    auto opened = X11ScreenGrabber::open(displayName, false);
    if (!opened.grabber) return {nullptr, opened.error};
    impl->server = std::move(opened.grabber);
    std::shared_ptr<X11CaptureBackend> backend(new X11CaptureBackend());
    backend->impl_ = std::move(impl);
    return {backend, std::nullopt};
}

X11CaptureBackend::~X11CaptureBackend() = default;

const std::string& X11CaptureBackend::displayName() const { return impl_->displayName; }

void X11CaptureBackend::getShareableContent(bool /*excludingDesktopWindows*/, bool onScreenWindowsOnly,
                                            ShareableContentCompletion completion) {
    impl_->queries->async([impl = impl_, onScreenWindowsOnly, completion = std::move(completion)] {
        if (impl->server->broken()) {
            // One reconnection attempt per query after the server went away.
            auto opened = X11ScreenGrabber::open(impl->displayName, false);
            if (!opened.grabber) {
                completion(std::nullopt, opened.error);
                return;
            }
            impl->server = std::move(opened.grabber);
        }
        auto content = readContent(*impl->server, onScreenWindowsOnly);
        if (!content) {
            completion(std::nullopt, x11Error(X11CaptureStatus::connectionLost, "the X server did not answer the query"));
            return;
        }
        completion(std::move(content), std::nullopt);
    });
}

std::shared_ptr<CaptureStream> X11CaptureBackend::makeStream(ContentFilter filter, StreamConfiguration configuration,
                                                             std::weak_ptr<StreamDelegate> delegate) {
    auto core = std::make_shared<StreamCore>();
    core->displayName = impl_->displayName;
    core->workers = impl_->workers;
    core->filter = std::move(filter);
    core->configuration = configuration;
    core->delegate = std::move(delegate);
    return std::make_shared<X11Stream>(core);
}

}  // namespace mivodrell
