#pragma once
// Virtual UVC webcams behind the V4L2 device-file layer (V4L2DeviceFiles.h), in-process, so that
// the V4L2 code runs where there is no camera. Each node keeps a placeholder file in a real device
// directory, so that listing, /v4l/by-id links and inotify behave as on /dev, and answers the
// calls on it as uvcvideo does:
// - QUERYCAP; ENUM_FMT, ENUM_FRAMESIZES and ENUM_FRAMEINTERVALS (all discrete); G_FMT, TRY_FMT
//   and S_FMT (an unknown format becomes the first one, a size the nearest offered); G_PARM and
//   S_PARM (the nearest offered rate; S_FMT resets the rate to the size's first).
// - S_FMT, S_PARM, REQBUFS, QBUF, DQBUF, STREAMON and STREAMOFF claim the stream for the file
//   handle; every other handle gets EBUSY until the claimant frees its buffers (REQBUFS 0) or
//   closes. S_FMT is refused with EBUSY while buffers exist, REQBUFS while they stream or are
//   mapped. At most eight MMAP buffers; DQBUF gives EAGAIN while no frame is ready.
// - A handle's file descriptor is a real eventfd, readable exactly while a frame is ready, so
//   the system's poll serves it.
// - A node that is not permitted refuses open with EACCES (whoever asks); permitting it changes
//   the placeholder's mode, which inotify reports as an attribute change. A removed node loses
//   its file and links; every call on a handle still open fails with ENODEV.
// Frames are made on request (`produceFrame`): a uniform grey picture coded in the current
// format (YUYV, NV12, a libturbojpeg JPEG for Motion-JPEG, grey bytes for any other, e.g. an
// infrared camera's), stamped with the clock's host time as a monotonic timestamp. Paths and
// descriptors that are not the nodes' pass through to the system. Thread-safe (one mutex).

#include "Platform/Base/Clock.h"
#include "Platform/Device/V4L2/V4L2DeviceFiles.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mivodrell {

struct VirtualV4L2Format {
    std::uint32_t pixelFormat = 0;  // V4L2 four-character code
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint32_t> frameRates;  // frames per second, fastest first (the default)
};

struct VirtualV4L2Node {
    std::string name = "video0";  // the file name in the device directory
    std::string card = "Virtual UVC Camera";
    std::string busInfo = "usb-0000:00:14.0-1";
    bool capturesVideo = true;  // false: a metadata node
    std::vector<VirtualV4L2Format> formats;  // in ENUM_FMT order, the sizes of one format together
    std::size_t current = 0;                 // the entry of `formats` in use
    std::uint32_t frameRate = 0;             // 0: the entry's first
    bool permitted = true;

    // A webcam as sold: YUYV at 640x480 (30 fps) and 1920x1080 (5 fps), Motion-JPEG at both
    // sizes at 30 fps; in use: YUYV 640x480.
    static VirtualV4L2Node webcam(std::string name, std::string busInfo);
};

class VirtualV4L2DeviceFiles final : public V4L2DeviceFiles {
public:
    // `clock` empty: Clock::system().
    static std::shared_ptr<VirtualV4L2DeviceFiles> create(std::string deviceDirectory,
                                                          std::shared_ptr<const Clock> clock = nullptr);
    // Removes the files and links it made.
    ~VirtualV4L2DeviceFiles() override;

    void addNode(const VirtualV4L2Node& node);
    void removeNode(const std::string& name);
    void setPermitted(const std::string& name, bool permitted);
    // <directory>/v4l/by-id/<link> pointing at the node, as udev makes it.
    void addByIdLink(const std::string& link, const std::string& name);

    // Fills the oldest queued buffer of a streaming node with the next frame. False when the node
    // does not stream or has no buffer queued.
    bool produceFrame(const std::string& name);

    struct Status {
        std::uint32_t pixelFormat = 0;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::uint32_t frameRate = 0;
        bool streaming = false;
        bool claimed = false;  // a file handle holds the stream
        int openHandles = 0;
    };
    std::optional<Status> status(const std::string& name);

    int open(const std::string& path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(std::size_t length, int protection, int flags, int fd, off_t offset) override;
    int munmap(void* address, std::size_t length) override;

    struct Impl;

private:
    VirtualV4L2DeviceFiles() = default;
    std::shared_ptr<Impl> impl_;
};

}  // namespace mivodrell
