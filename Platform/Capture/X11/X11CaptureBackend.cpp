#include "Platform/Capture/X11/X11CaptureBackend.h"

#include "Platform/Base/FourCC.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Media/ColorConversion.h"
#include "Platform/Media/PixelBuffer.h"

#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace mivodrell {

namespace {

PlatformError x11Error(std::int32_t code, std::string text) {
    return {X11CaptureStatus::domain, code, std::move(text)};
}

template <class T>
struct Freed {
    T* value = nullptr;
    explicit Freed(T* v) : value(v) {}
    ~Freed() { std::free(value); }
    Freed(const Freed&) = delete;
    Freed& operator=(const Freed&) = delete;
    T* operator->() const { return value; }
    explicit operator bool() const { return value != nullptr; }
};

// One open connection with the facts about its screen the capture needs.
struct Connection {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    int rootWidth = 0;
    int rootHeight = 0;

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { close(); }
    void close() {
        if (connection) xcb_disconnect(connection);
        connection = nullptr;
    }
    bool broken() const { return !connection || xcb_connection_has_error(connection) != 0; }
};

std::optional<PlatformError> openConnection(const std::string& displayName, Connection& out) {
    out.close();
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
    if (!c || xcb_connection_has_error(c)) {
        if (c) xcb_disconnect(c);
        return x11Error(X11CaptureStatus::connectionFailed,
                        "cannot connect to the X server " + (displayName.empty() ? std::string("$DISPLAY") : displayName));
    }
    out.connection = c;
    const xcb_setup_t* setup = xcb_get_setup(c);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem) return x11Error(X11CaptureStatus::connectionFailed, "the X server has no such screen");
    const xcb_screen_t* screen = it.data;
    out.root = screen->root;
    out.rootWidth = screen->width_in_pixels;
    out.rootHeight = screen->height_in_pixels;

    // Pixels must arrive as 32-bit little-endian words with blue in the low byte ('BGRA').
    bool bgrx = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    int bitsPerPixel = 0;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
        if (f.data->depth == screen->root_depth) bitsPerPixel = f.data->bits_per_pixel;
    }
    bgrx = bgrx && bitsPerPixel == 32;
    bool visualFound = false;
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem && !visualFound; xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
            if (v.data->visual_id != screen->root_visual) continue;
            visualFound = true;
            bgrx = bgrx && v.data->red_mask == 0xFF0000u && v.data->green_mask == 0xFF00u && v.data->blue_mask == 0xFFu;
        }
    }
    if (!bgrx || !visualFound) {
        return x11Error(X11CaptureStatus::unsupportedOutput, "the root window is not 24-bit colour in 32-bit pixels");
    }

    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c, &xcb_shm_id);
    if (!shm || !shm->present) return x11Error(X11CaptureStatus::missingExtension, "the X server has no MIT-SHM");
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
    if (!randr || !randr->present) return x11Error(X11CaptureStatus::missingExtension, "the X server has no RandR");
    Freed<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    if (!version || version->major_version < 1 || (version->major_version == 1 && version->minor_version < 5)) {
        return x11Error(X11CaptureStatus::missingExtension, "the X server has no RandR 1.5 monitors");
    }
    return std::nullopt;
}

struct Monitor {
    std::uint32_t id = 0;  // name atom
    int x = 0, y = 0, width = 0, height = 0;
    bool primary = false;
};

std::vector<Monitor> monitorsOf(xcb_randr_get_monitors_reply_t* reply) {
    std::vector<Monitor> out;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply); it.rem; xcb_randr_monitor_info_next(&it)) {
        const auto* m = it.data;
        out.push_back({m->name, m->x, m->y, m->width, m->height, m->primary != 0});
    }
    return out;
}

const Monitor* findMonitor(const std::vector<Monitor>& monitors, std::uint32_t id) {
    for (const auto& m : monitors) {
        if (m.id == id) return &m;
    }
    return nullptr;
}

std::optional<std::vector<Monitor>> queryMonitors(const Connection& c) {
    Freed<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(c.connection, xcb_randr_get_monitors(c.connection, c.root, 1), nullptr));
    if (!reply) return std::nullopt;
    return monitorsOf(reply.value);
}

std::string atomName(xcb_connection_t* c, xcb_get_atom_name_cookie_t cookie) {
    Freed<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c, cookie, nullptr));
    if (!reply) return {};
    return std::string(xcb_get_atom_name_name(reply.value), static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.value)));
}

std::string propertyText(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
    Freed<xcb_get_property_reply_t> reply(xcb_get_property_reply(c, cookie, nullptr));
    if (!reply || reply->format != 8) return {};
    return std::string(static_cast<const char*>(xcb_get_property_value(reply.value)),
                       static_cast<std::size_t>(xcb_get_property_value_length(reply.value)));
}

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    Freed<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

std::optional<ShareableContent> readContent(const Connection& c, bool onScreenWindowsOnly) {
    xcb_connection_t* x = c.connection;
    auto monitorsCookie = xcb_randr_get_monitors(x, c.root, 1);
    auto treeCookie = xcb_query_tree(x, c.root);
    Freed<xcb_randr_get_monitors_reply_t> monitorsReply(xcb_randr_get_monitors_reply(x, monitorsCookie, nullptr));
    Freed<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(x, treeCookie, nullptr));
    if (!monitorsReply || !tree) return std::nullopt;
    const std::vector<Monitor> monitors = monitorsOf(monitorsReply.value);

    ShareableContent content;
    std::vector<xcb_get_atom_name_cookie_t> names;
    for (const auto& m : monitors) names.push_back(xcb_get_atom_name(x, m.id));
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        const Monitor& m = monitors[i];
        content.displays.push_back({m.id, CGRect(m.x, m.y, m.width, m.height), 1.0, m.primary, atomName(x, names[i])});
    }
    if (!content.displays.empty() &&
        std::none_of(content.displays.begin(), content.displays.end(), [](const auto& d) { return d.isMain; })) {
        content.displays.front().isMain = true;  // no primary monitor set: the first one is main
    }

    const xcb_atom_t netName = internAtom(x, "_NET_WM_NAME");
    const xcb_atom_t utf8 = internAtom(x, "UTF8_STRING");
    const int count = xcb_query_tree_children_length(tree.value);
    const xcb_window_t* children = xcb_query_tree_children(tree.value);
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
        Freed<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(x, p.attributes, nullptr));
        Freed<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(x, p.geometry, nullptr));
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
        for (const auto& m : monitors) {
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

// The stream's state. Everything except the atomics lives on `queue`, the capture thread.
struct StreamCore : std::enable_shared_from_this<StreamCore> {
    std::string displayName;
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("Mivodrell.X11CaptureStream");
    std::weak_ptr<StreamDelegate> delegate;
    ContentFilter filter;
    StreamConfiguration configuration;
    std::shared_ptr<StreamOutput> output;
    std::shared_ptr<SerialQueue> outputQueue;

    Connection connection;
    xcb_shm_seg_t segment = 0;
    std::uint8_t* shared = nullptr;
    std::size_t sharedSize = 0;
    bool attached = false;

    bool running = false;
    std::atomic<bool> released{false};  // the stream object is gone: never start again
    std::shared_ptr<QueueTimer> timer;
    Monitor monitor;
    std::vector<std::shared_ptr<PixelBuffer>> pool;
    std::shared_ptr<PixelBuffer> scratch;
    std::uint64_t settingsVersion = 0;
    std::uint64_t lastSettingsVersion = 0;
    std::uint64_t lastHash = 0;
    bool deliveredAny = false;

    ~StreamCore() { release(); }

    void release() {
        timer.reset();
        running = false;
        if (attached && !connection.broken()) xcb_shm_detach(connection.connection, segment);
        attached = false;
        connection.close();
        if (shared) shmdt(shared);
        shared = nullptr;
        sharedSize = 0;
    }

    std::optional<PlatformError> attachSharedMemory() {
        const std::size_t size = static_cast<std::size_t>(connection.rootWidth) * static_cast<std::size_t>(connection.rootHeight) * 4;
        const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
        if (id < 0) return x11Error(X11CaptureStatus::sharedMemoryFailed, "cannot create a shared memory segment");
        void* memory = shmat(id, nullptr, 0);
        if (memory == reinterpret_cast<void*>(-1)) {
            shmctl(id, IPC_RMID, nullptr);
            return x11Error(X11CaptureStatus::sharedMemoryFailed, "cannot map the shared memory segment");
        }
        shared = static_cast<std::uint8_t*>(memory);
        sharedSize = size;
        segment = xcb_generate_id(connection.connection);
        xcb_generic_error_t* error =
            xcb_request_check(connection.connection, xcb_shm_attach_checked(connection.connection, segment, static_cast<std::uint32_t>(id), 0));
        // Once the server holds it, the segment goes away with the last user, even after a crash.
        shmctl(id, IPC_RMID, nullptr);
        if (error) {
            std::free(error);
            return x11Error(X11CaptureStatus::sharedMemoryFailed, "the X server cannot attach the shared memory segment");
        }
        attached = true;
        return std::nullopt;
    }

    std::optional<PlatformError> start() {
        if (running || released.load()) return std::nullopt;
        if (auto bad = checkConfiguration(configuration)) return bad;
        if (connection.broken()) {
            release();
            if (auto error = openConnection(displayName, connection)) {
                release();
                return error;
            }
            if (auto error = attachSharedMemory()) {
                release();
                return error;
            }
        }
        const auto monitors = queryMonitors(connection);
        if (!monitors) return x11Error(X11CaptureStatus::connectionLost, "the X server did not list its monitors");
        const Monitor* m = findMonitor(*monitors, filter.display.displayID);
        if (!m) return x11Error(X11CaptureStatus::displayNotFound, "no such display");
        monitor = *m;
        if (released.load()) {
            release();  // the stream was let go while the server was being asked
            return std::nullopt;
        }
        running = true;
        deliveredAny = false;
        startTimer();
        return std::nullopt;
    }

    void startTimer() {
        std::weak_ptr<StreamCore> weak = weak_from_this();
        timer = queue->makeTimer(0, frameInterval(configuration), [weak] {
            if (auto self = weak.lock()) self->captureFrame();
        });
    }

    void stop() {
        release();
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
        x = std::clamp(monitor.x + x0, 0, connection.rootWidth);
        y = std::clamp(monitor.y + y0, 0, connection.rootHeight);
        w = std::clamp(monitor.x + x1, 0, connection.rootWidth) - x;
        h = std::clamp(monitor.y + y1, 0, connection.rootHeight) - y;
    }

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
            auto* row = reinterpret_cast<std::uint32_t*>(shared + static_cast<std::size_t>(y) * static_cast<std::size_t>(gw) * 4);
            for (int x = 0; x < gw; ++x) {
                if (!covered[static_cast<std::size_t>(x)]) row[x] = background;
            }
        }
    }

    // Scales the grab into `out` (top-left, aspect kept), fills the rest and converts.
    bool render(int gw, int gh, PixelBuffer& out, int contentW, int contentH, std::uint32_t background) {
        const int outW = out.width();
        const int outH = out.height();
        const auto srcStride = gw * 4;
        const bool exact = contentW == gw && contentH == gh;
        const bool filled = contentW == outW && contentH == outH;

        auto fillMargins = [&](std::uint8_t* base, int stride) {
            if (contentW < outW) libyuv::ARGBRect(base, stride, contentW, 0, outW - contentW, contentH, background);
            if (contentH < outH) libyuv::ARGBRect(base, stride, 0, contentH, outW, outH - contentH, background);
        };
        auto scaleInto = [&](std::uint8_t* base, int stride) {
            if (exact) {
                libyuv::ARGBCopy(shared, srcStride, base, stride, gw, gh);
            } else if (contentW > 0 && contentH > 0) {
                libyuv::ARGBScale(shared, srcStride, gw, gh, base, stride, contentW, contentH, libyuv::kFilterBox);
            }
        };

        if (out.pixelFormat() == PixelFormat::bgra) {
            const int stride = static_cast<int>(out.bytesPerRow());
            scaleInto(out.baseAddress(), stride);
            // X leaves the fourth byte undefined: the delivered pixels are opaque.
            for (int y = 0; y < contentH; ++y) {
                auto* row = reinterpret_cast<std::uint32_t*>(out.baseAddress() + static_cast<std::size_t>(y) * out.bytesPerRow());
                for (int x = 0; x < contentW; ++x) row[x] |= 0xFF000000u;
            }
            fillMargins(out.baseAddress(), stride);
            return true;
        }

        const std::uint8_t* source = shared;
        std::ptrdiff_t sourceStride = srcStride;
        if (!(exact && filled)) {
            if (!scratch || scratch->width() != outW || scratch->height() != outH) {
                scratch = PixelBuffer::create(outW, outH, PixelFormat::bgra).buffer;
                if (!scratch) return false;
            }
            const int stride = static_cast<int>(scratch->bytesPerRow());
            scaleInto(scratch->baseAddress(), stride);
            fillMargins(scratch->baseAddress(), stride);
            source = scratch->baseAddress();
            sourceStride = stride;
        }
        convertBGRAToNV12FullBT709(source, sourceStride, outW, outH, out.baseAddressOfPlane(0),
                                   static_cast<std::ptrdiff_t>(out.bytesPerRowOfPlane(0)), out.baseAddressOfPlane(1),
                                   static_cast<std::ptrdiff_t>(out.bytesPerRowOfPlane(1)), 0, (outH + 1) / 2);
        return true;
    }

    void captureFrame() {
        if (!running || !output) return;
        if (released.load()) {
            release();
            return;
        }
        if (connection.broken()) {
            stopWithError(x11Error(X11CaptureStatus::connectionLost, "the connection to the X server broke"));
            return;
        }
        xcb_connection_t* x = connection.connection;
        int gx = 0, gy = 0, gw = 0, gh = 0;
        grabRect(gx, gy, gw, gh);
        if (gw <= 0 || gh <= 0 || static_cast<std::size_t>(gw) * static_cast<std::size_t>(gh) * 4 > sharedSize) {
            stopWithError(x11Error(X11CaptureStatus::grabFailed, "the display lies outside the screen"));
            return;
        }

        const MediaTime presentationTime = hostClockNow();
        // Both requests go out together: one round trip checks the monitor and grabs.
        auto monitorsCookie = xcb_randr_get_monitors(x, connection.root, 1);
        auto imageCookie = xcb_shm_get_image(x, connection.root, static_cast<std::int16_t>(gx), static_cast<std::int16_t>(gy),
                                             static_cast<std::uint16_t>(gw), static_cast<std::uint16_t>(gh), ~0u,
                                             XCB_IMAGE_FORMAT_Z_PIXMAP, segment, 0);
        Freed<xcb_randr_get_monitors_reply_t> monitorsReply(xcb_randr_get_monitors_reply(x, monitorsCookie, nullptr));
        xcb_generic_error_t* imageError = nullptr;
        Freed<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(x, imageCookie, &imageError));
        std::free(imageError);
        if (connection.broken() || !monitorsReply) {
            stopWithError(x11Error(X11CaptureStatus::connectionLost, "the connection to the X server broke"));
            return;
        }
        const auto monitors = monitorsOf(monitorsReply.value);
        const Monitor* current = findMonitor(monitors, filter.display.displayID);
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
        if (!image) {
            stopWithError(x11Error(X11CaptureStatus::grabFailed, "the X server refused the screen grab"));
            return;
        }

        const std::uint64_t hash = XXH3_64bits(shared, static_cast<std::size_t>(gw) * static_cast<std::size_t>(gh) * 4);
        AttachmentDictionary info;
        auto sample = std::make_shared<SampleBuffer>();
        sample->presentationTime = presentationTime;
        if (deliveredAny && hash == lastHash && settingsVersion == lastSettingsVersion) {
            info.set(std::string(AttachmentKey::frameStatus), FrameStatus::idle);
        } else {
            const int outW = clampedNarrow<int>(configuration.width);
            const int outH = clampedNarrow<int>(configuration.height);
            auto buffer = takePoolBuffer(outW, outH, configuration.pixelFormat);
            if (!buffer) return;  // the consumer holds every buffer: skip this frame
            const std::uint32_t background = backgroundWord(configuration);
            if (filter.mode == ContentFilter::Mode::includingWindows) paintOutsideIncludedWindows(gx, gy, gw, gh, background);
            const double k = std::min(static_cast<double>(outW) / gw, static_cast<double>(outH) / gh);
            const int contentW = std::clamp(roundClamped<int>(gw * k, outW), 0, outW);
            const int contentH = std::clamp(roundClamped<int>(gh * k, outH), 0, outH);
            if (!render(gw, gh, *buffer, contentW, contentH, background)) return;
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
            lastHash = hash;
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
                const auto monitors = queryMonitors(core->connection);
                const Monitor* m = monitors ? findMonitor(*monitors, filter.display.displayID) : nullptr;
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
            core->stop();
            completion(std::nullopt);
        });
    }

private:
    std::shared_ptr<StreamCore> core_;
};

}  // namespace

struct X11CaptureBackend::Impl {
    std::string displayName;
    std::shared_ptr<SerialQueue> queries = std::make_shared<SerialQueue>("Mivodrell.X11CaptureBackend.queries");
    Connection connection;  // used only on `queries`
};

X11CaptureBackend::ConnectResult X11CaptureBackend::connect(const std::string& displayName) {
    auto impl = std::make_shared<Impl>();
    impl->displayName = displayName;
    if (auto error = openConnection(displayName, impl->connection)) return {nullptr, error};
    std::shared_ptr<X11CaptureBackend> backend(new X11CaptureBackend());
    backend->impl_ = std::move(impl);
    return {backend, std::nullopt};
}

X11CaptureBackend::~X11CaptureBackend() = default;

const std::string& X11CaptureBackend::displayName() const { return impl_->displayName; }

void X11CaptureBackend::getShareableContent(bool /*excludingDesktopWindows*/, bool onScreenWindowsOnly,
                                            ShareableContentCompletion completion) {
    impl_->queries->async([impl = impl_, onScreenWindowsOnly, completion = std::move(completion)] {
        if (impl->connection.broken()) {
            // One reconnection attempt per query after the server went away.
            if (auto error = openConnection(impl->displayName, impl->connection)) {
                completion(std::nullopt, error);
                return;
            }
        }
        auto content = readContent(impl->connection, onScreenWindowsOnly);
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
    core->filter = std::move(filter);
    core->configuration = configuration;
    core->delegate = std::move(delegate);
    return std::make_shared<X11Stream>(core);
}

}  // namespace mivodrell
