#include "Platform/Capture/X11/X11ScreenGrabber.h"

#include "Platform/Base/FourCC.h"
#include "Platform/Base/WorkerPool.h"
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
#include <mutex>

namespace mivodrell {

namespace {

PlatformError x11Error(std::int32_t code, std::string text) { return {X11CaptureStatus::domain, code, std::move(text)}; }

std::optional<PlatformError> checkScreen(xcb_connection_t* c, const xcb_setup_t* setup, const xcb_screen_t* screen) {
    // Pixels must arrive as 32-bit little-endian words with blue in the low byte.
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
    X11Reply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    if (!version || version->major_version < 1 || (version->major_version == 1 && version->minor_version < 5)) {
        return x11Error(X11CaptureStatus::missingExtension, "the X server has no RandR 1.5 monitors");
    }
    return std::nullopt;
}

std::vector<X11ScreenGrabber::Monitor> monitorsOf(xcb_randr_get_monitors_reply_t* reply) {
    std::vector<X11ScreenGrabber::Monitor> out;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply); it.rem; xcb_randr_monitor_info_next(&it)) {
        const auto* m = it.data;
        out.push_back({m->name, m->x, m->y, m->width, m->height, m->primary != 0});
    }
    return out;
}

}  // namespace

X11ScreenGrabber::OpenResult X11ScreenGrabber::open(const std::string& displayName, bool sharedMemory) {
    std::unique_ptr<X11ScreenGrabber> grabber(new X11ScreenGrabber());
    int screenNumber = 0;
    xcb_connection_t* c = nullptr;
    {
        // Connecting reads the authority file through libXau, whose file-name lookup writes a
        // static buffer: two streams starting at once would write it together.
        static std::mutex connecting;
        std::lock_guard<std::mutex> lock(connecting);
        c = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
    }
    grabber->connection_ = c;
    if (!c || xcb_connection_has_error(c)) {
        return {nullptr, x11Error(X11CaptureStatus::connectionFailed,
                                  "cannot connect to the X server " + (displayName.empty() ? std::string("$DISPLAY") : displayName))};
    }
    const xcb_setup_t* setup = xcb_get_setup(c);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem) return {nullptr, x11Error(X11CaptureStatus::connectionFailed, "the X server has no such screen")};
    grabber->root_ = it.data->root;
    grabber->rootWidth_ = it.data->width_in_pixels;
    grabber->rootHeight_ = it.data->height_in_pixels;
    if (auto error = checkScreen(c, setup, it.data)) return {nullptr, error};
    if (sharedMemory) {
        if (auto error = grabber->attachSharedMemory()) return {nullptr, error};
    }
    return {std::move(grabber), std::nullopt};
}

X11ScreenGrabber::~X11ScreenGrabber() {
    if (connection_) {
        if (attached_ && !xcb_connection_has_error(connection_)) xcb_shm_detach(connection_, segment_);
        xcb_disconnect(connection_);
    }
    if (shared_) shmdt(shared_);
}

bool X11ScreenGrabber::broken() const { return !connection_ || xcb_connection_has_error(connection_) != 0; }

std::optional<PlatformError> X11ScreenGrabber::attachSharedMemory() {
    const std::size_t size = static_cast<std::size_t>(rootWidth_) * static_cast<std::size_t>(rootHeight_) * 4;
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return x11Error(X11CaptureStatus::sharedMemoryFailed, "cannot create a shared memory segment");
    void* memory = shmat(id, nullptr, 0);
    if (memory == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return x11Error(X11CaptureStatus::sharedMemoryFailed, "cannot map the shared memory segment");
    }
    shared_ = static_cast<std::uint8_t*>(memory);
    sharedSize_ = size;
    segment_ = xcb_generate_id(connection_);
    xcb_generic_error_t* error =
        xcb_request_check(connection_, xcb_shm_attach_checked(connection_, segment_, static_cast<std::uint32_t>(id), 0));
    // Once the server holds it, the segment goes away with its last user, even after a crash.
    shmctl(id, IPC_RMID, nullptr);
    if (error || xcb_connection_has_error(connection_)) {
        std::free(error);
        return x11Error(X11CaptureStatus::sharedMemoryFailed, "the X server cannot attach the shared memory segment");
    }
    attached_ = true;
    return std::nullopt;
}

std::optional<std::vector<X11ScreenGrabber::Monitor>> X11ScreenGrabber::monitors() {
    if (broken()) return std::nullopt;
    X11Reply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(connection_, xcb_randr_get_monitors(connection_, root_, 1), nullptr));
    if (!reply) return std::nullopt;
    return monitorsOf(reply.get());
}

const X11ScreenGrabber::Monitor* X11ScreenGrabber::find(const std::vector<Monitor>& monitors, std::uint32_t id) {
    for (const auto& m : monitors) {
        if (m.id == id) return &m;
    }
    return nullptr;
}

std::optional<PlatformError> X11ScreenGrabber::grab(int x, int y, int width, int height, std::vector<Monitor>* monitorsAtGrab) {
    if (broken()) return x11Error(X11CaptureStatus::connectionLost, "the connection to the X server broke");
    if (!attached_ || x < 0 || y < 0 || width <= 0 || height <= 0 || x + width > rootWidth_ || y + height > rootHeight_) {
        if (monitorsAtGrab) *monitorsAtGrab = monitors().value_or(std::vector<Monitor>{});
        return x11Error(X11CaptureStatus::grabFailed, "the grab lies outside the screen");
    }
    // Both requests go out together: one round trip lists the monitors and grabs.
    xcb_randr_get_monitors_cookie_t monitorsCookie{};
    if (monitorsAtGrab) monitorsCookie = xcb_randr_get_monitors(connection_, root_, 1);
    auto imageCookie = xcb_shm_get_image(connection_, root_, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                                         static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), ~0u,
                                         XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, 0);
    if (monitorsAtGrab) {
        X11Reply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(connection_, monitorsCookie, nullptr));
        if (reply) *monitorsAtGrab = monitorsOf(reply.get());
    }
    xcb_generic_error_t* imageError = nullptr;
    X11Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(connection_, imageCookie, &imageError));
    std::free(imageError);
    if (broken()) return x11Error(X11CaptureStatus::connectionLost, "the connection to the X server broke");
    if (!image) return x11Error(X11CaptureStatus::grabFailed, "the X server refused the screen grab");
    return std::nullopt;
}

void X11ScreenGrabber::forBands(int rows, const std::function<void(int, int)>& body) const {
    const int threads = pool_ ? pool_->threadCount() : 1;
    const int bands = std::max(1, std::min({threads, rows, kMaxBands}));
    const int perBand = (rows + bands - 1) / bands;
    auto run = [&](int band) {
        const int first = band * perBand;
        const int count = std::min(perBand, rows - first);
        if (count > 0) body(first, count);
    };
    if (pool_ && bands > 1) {
        pool_->run(bands, run);
    } else {
        for (int band = 0; band < bands; ++band) run(band);
    }
}

bool X11ScreenGrabber::holds(int width, int height) const {
    return shared_ && width > 0 && height > 0 &&
           static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4 <= sharedSize_;
}

// A hash per row, then the hash of those: the value does not depend on how the rows were split.
void X11ScreenGrabber::hashRows(int width, int first, int end) {
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    for (int y = first; y < end; ++y) {
        rowHashes_[static_cast<std::size_t>(y)] = XXH3_64bits(shared_ + static_cast<std::size_t>(y) * rowBytes, rowBytes);
    }
}

std::optional<std::uint64_t> X11ScreenGrabber::hash(int width, int height) {
    if (!holds(width, height)) return std::nullopt;
    rowHashes_.assign(static_cast<std::size_t>(height), 0);
    forBands(height, [&](int first, int count) { hashRows(width, first, first + count); });
    return XXH3_64bits(rowHashes_.data(), rowHashes_.size() * sizeof(std::uint64_t));
}

std::optional<std::uint64_t> X11ScreenGrabber::render(int width, int height, PixelBuffer& out, int contentWidth,
                                                      int contentHeight, std::uint32_t background, bool hashing) {
    const bool nv12 = out.pixelFormat() == PixelFormat::yuv420BiPlanarFullRange;
    if (!holds(width, height) || (!nv12 && out.pixelFormat() != PixelFormat::bgra)) return std::nullopt;
    const int outW = out.width();
    const int outH = out.height();
    const int cw = std::clamp(contentWidth, 0, outW);
    const int ch = cw > 0 ? std::clamp(contentHeight, 0, outH) : 0;
    const bool exact = cw == width && ch == height;
    // '420f' is converted from 'BGRA' rows: the grab's own when it fills the frame unscaled,
    // otherwise those of a scratch frame.
    const bool direct = nv12 && exact && cw == outW && ch == outH;
    if (nv12 && !direct && (!scratch_ || scratch_->width() != outW || scratch_->height() != outH)) {
        scratch_ = PixelBuffer::create(outW, outH, PixelFormat::bgra).buffer;
        if (!scratch_) return std::nullopt;
    }
    PixelBuffer* bgra = nv12 ? scratch_.get() : &out;
    std::uint8_t* base = direct ? nullptr : bgra->baseAddress();
    const int stride = direct ? 0 : static_cast<int>(bgra->bytesPerRow());
    const std::size_t sourceRowBytes = static_cast<std::size_t>(width) * 4;
    if (hashing) rowHashes_.assign(static_cast<std::size_t>(height), 0);

    // Output row o draws on the grab from row sourceRow(o) on; a slice of output rows hashes the
    // grab's rows from its own first row's to the next slice's, so that every row is hashed once.
    auto sourceRow = [&](int o) {
        return o >= ch ? height : static_cast<int>(static_cast<std::int64_t>(o) * height / ch);
    };
    constexpr int sliceRows = 16;  // even: whole row pairs for '420f'
    forBands((outH + 1) / 2, [&](int firstPair, int pairs) {
        const int end = std::min(outH, 2 * (firstPair + pairs));
        for (int s0 = 2 * firstPair; s0 < end; s0 += sliceRows) {
            const int s1 = std::min(end, s0 + sliceRows);
            if (hashing) hashRows(width, s0 == 0 ? 0 : sourceRow(s0), s1 == outH ? height : sourceRow(s1));
            if (!direct) {
                const int c1 = std::min(s1, ch);
                if (s0 < c1 && exact) {
                    // X leaves the fourth byte undefined: delivered pixels are opaque.
                    for (int y = s0; y < c1; ++y) {
                        const auto* src = reinterpret_cast<const std::uint32_t*>(shared_ + static_cast<std::size_t>(y) * sourceRowBytes);
                        auto* dst = reinterpret_cast<std::uint32_t*>(base + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride));
                        for (int x = 0; x < cw; ++x) dst[x] = src[x] | 0xFF000000u;
                    }
                } else if (s0 < c1) {
                    libyuv::ARGBScaleClip(shared_, static_cast<int>(sourceRowBytes), width, height, base, stride, cw, ch, 0, s0,
                                          cw, c1 - s0, libyuv::kFilterBox);
                    if (!nv12) {
                        for (int y = s0; y < c1; ++y) {
                            auto* row = reinterpret_cast<std::uint32_t*>(base + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride));
                            for (int x = 0; x < cw; ++x) row[x] |= 0xFF000000u;
                        }
                    }
                }
                if (s0 < c1 && cw < outW) libyuv::ARGBRect(base, stride, cw, s0, outW - cw, c1 - s0, background);
                const int m0 = std::max(s0, ch);
                if (m0 < s1) libyuv::ARGBRect(base, stride, 0, m0, outW, s1 - m0, background);
            }
            if (nv12) {
                const std::uint8_t* source = direct ? shared_ : base;
                const auto sourceStride = direct ? static_cast<std::ptrdiff_t>(sourceRowBytes) : static_cast<std::ptrdiff_t>(stride);
                convertBGRAToNV12FullBT709(source, sourceStride, outW, outH, out.baseAddressOfPlane(0),
                                           static_cast<std::ptrdiff_t>(out.bytesPerRowOfPlane(0)), out.baseAddressOfPlane(1),
                                           static_cast<std::ptrdiff_t>(out.bytesPerRowOfPlane(1)), s0 / 2, (s1 - s0 + 1) / 2);
            }
        }
    });
    if (!hashing) return 0;
    return XXH3_64bits(rowHashes_.data(), rowHashes_.size() * sizeof(std::uint64_t));
}

}  // namespace mivodrell
