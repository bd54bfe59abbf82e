#pragma once
// One connection to an X server, checked for what screen capture needs (MIT-SHM, RandR 1.5
// monitors, a root window of 24-bit colour in 32-bit little-endian pixels), optionally with a
// shared-memory segment the size of the root window. It lists the monitors, grabs rectangles of
// the root window into the segment and turns the last grab into a frame: scaled into a pixel
// buffer preserving the aspect ratio, anchored top-left (libyuv), the rest filled with a colour,
// as opaque 'BGRA' or as '420f' through the engine's full-range BT.709 converter.
//
// A broken connection or a refused request gives an error, never a crash; a dead server makes
// every later call fail fast. Not thread-safe: one owner thread uses it. The pixel work (hash,
// scaling, conversion) is one pass over the rows, split into row bands over a worker pool when
// one is given.

#include "Platform/Base/PlatformError.h"

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct xcb_connection_t;

namespace mivodrell {

class PixelBuffer;
class WorkerPool;

namespace X11CaptureStatus {
inline constexpr const char* domain = "X11Capture";
inline constexpr std::int32_t connectionFailed = -3901;
inline constexpr std::int32_t missingExtension = -3902;
inline constexpr std::int32_t displayNotFound = -3903;
inline constexpr std::int32_t displayRemoved = -3904;
inline constexpr std::int32_t connectionLost = -3905;
inline constexpr std::int32_t grabFailed = -3906;
inline constexpr std::int32_t invalidConfiguration = -3907;
inline constexpr std::int32_t unsupportedOutput = -3908;
inline constexpr std::int32_t sharedMemoryFailed = -3909;
}  // namespace X11CaptureStatus

// Owns an xcb reply (freed with std::free).
struct X11ReplyDeleter {
    void operator()(void* reply) const { std::free(reply); }
};
template <class T>
using X11Reply = std::unique_ptr<T, X11ReplyDeleter>;

class X11ScreenGrabber {
public:
    struct Monitor {
        std::uint32_t id = 0;  // the name atom
        int x = 0, y = 0, width = 0, height = 0;
        bool primary = false;
    };

    struct OpenResult {
        std::unique_ptr<X11ScreenGrabber> grabber;  // empty when `error` is set
        std::optional<PlatformError> error;
    };
    // Connects to `displayName` (empty: $DISPLAY). Blocks while the server answers.
    static OpenResult open(const std::string& displayName, bool sharedMemory);
    ~X11ScreenGrabber();
    X11ScreenGrabber(const X11ScreenGrabber&) = delete;
    X11ScreenGrabber& operator=(const X11ScreenGrabber&) = delete;

    xcb_connection_t* connection() const { return connection_; }
    std::uint32_t root() const { return root_; }
    int rootWidth() const { return rootWidth_; }
    int rootHeight() const { return rootHeight_; }
    bool broken() const;

    // Splits the pixel work over `pool` (shared; null: the owner thread alone).
    void setWorkerPool(std::shared_ptr<WorkerPool> pool) { pool_ = std::move(pool); }

    // The server's monitors; nothing when it did not answer.
    std::optional<std::vector<Monitor>> monitors();
    static const Monitor* find(const std::vector<Monitor>& monitors, std::uint32_t id);

    // Grabs the root-window rectangle into the segment; with `monitorsAtGrab`, also lists the
    // monitors in the same round trip (their answer replaces its contents).
    std::optional<PlatformError> grab(int x, int y, int width, int height, std::vector<Monitor>* monitorsAtGrab = nullptr);
    // The last grab: rows of width x 4 bytes, B, G, R and an undefined fourth byte. Writable, so
    // that callers can paint over it before rendering.
    std::uint8_t* pixels() const { return shared_; }

    // A 64-bit hash of the last grab of `width` x `height` pixels: the same pixels give the same
    // value, whichever of these calls took it. Nothing without a segment or for a size beyond it.
    std::optional<std::uint64_t> hash(int width, int height);
    // Renders the last grab into `out`: scaled into its top-left `contentWidth` x `contentHeight`
    // pixels, the rest `background` (0xAARRGGBB), as opaque 'BGRA' or as '420f'. With `hashing`,
    // the grab's hash is taken in the same pass, each band of rows hashed and rendered while it
    // is in the cache (otherwise the result is 0). Nothing without a segment, for a size beyond
    // it, when `out` has another pixel format or when scratch memory cannot be had.
    std::optional<std::uint64_t> render(int width, int height, PixelBuffer& out, int contentWidth, int contentHeight,
                                        std::uint32_t background, bool hashing);

private:
    X11ScreenGrabber() = default;
    std::optional<PlatformError> attachSharedMemory();
    static constexpr int kMaxBands = 64;
    // Calls body(first, count) for consecutive bands of `rows` rows, one per pool thread.
    void forBands(int rows, const std::function<void(int, int)>& body) const;
    bool holds(int width, int height) const;
    void hashRows(int width, int first, int end);

    xcb_connection_t* connection_ = nullptr;
    std::uint32_t root_ = 0;
    int rootWidth_ = 0;
    int rootHeight_ = 0;
    std::uint32_t segment_ = 0;
    bool attached_ = false;
    std::uint8_t* shared_ = nullptr;
    std::size_t sharedSize_ = 0;
    std::shared_ptr<PixelBuffer> scratch_;  // 'BGRA' frame a '420f' frame is converted from
    std::vector<std::uint64_t> rowHashes_;
    std::shared_ptr<WorkerPool> pool_;
};

}  // namespace mivodrell
