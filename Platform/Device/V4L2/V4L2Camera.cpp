#include "Platform/Device/V4L2/V4L2Camera.h"

#include "Platform/Base/FourCC.h"
#include "Platform/Device/V4L2/V4L2FrameConverter.h"
#include "Platform/Media/PixelBuffer.h"

#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

namespace mivodrell {

namespace {

namespace fs = std::filesystem;

PlatformError errnoError(const std::string& what, int error) {
    return PlatformError{"V4L2", error, what + ": " + std::strerror(error)};
}

int xioctl(int fd, unsigned long request, void* argument) {
    int result;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result == -1 && errno == EINTR);
    return result;
}

// The number N of a /dev/videoN name, for ordering; -1 for other names.
int nodeNumber(const std::string& name) {
    if (name.rfind("video", 0) != 0 || name.size() == 5) return -1;
    int n = 0;
    for (std::size_t i = 5; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || n > 100000) return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

std::string cString(const __u8* text, std::size_t size) {
    const auto* begin = reinterpret_cast<const char*>(text);
    return std::string(begin, strnlen(begin, size));
}

// The V4L2 capture thread of one opened node.
class V4L2Source final : public CaptureSource {
public:
    V4L2Source(int fd, std::uint32_t format, int width, int height, std::size_t bytesPerLine, bool busy)
        : fd_(fd), format_(format), width_(width), height_(height), bytesPerLine_(bytesPerLine), busy_(busy) {}
    ~V4L2Source() override {
        stop();
        ::close(fd_);
    }

    bool isAvailable() const override { return !busy_; }

    std::optional<PlatformError> start(std::function<void(const SampleBufferRef&)> sink) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread_.joinable()) return std::nullopt;
        v4l2_requestbuffers request{};
        request.count = 4;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (xioctl(fd_, VIDIOC_REQBUFS, &request) == -1) return errnoError("VIDIOC_REQBUFS", errno);
        for (std::uint32_t i = 0; i < request.count; ++i) {
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            buffer.index = i;
            if (xioctl(fd_, VIDIOC_QUERYBUF, &buffer) == -1) return fail("VIDIOC_QUERYBUF");
            void* address = ::mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, buffer.m.offset);
            if (address == MAP_FAILED) return fail("mmap");
            mappings_.push_back({address, buffer.length});
            if (xioctl(fd_, VIDIOC_QBUF, &buffer) == -1) return fail("VIDIOC_QBUF");
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd_, VIDIOC_STREAMON, &type) == -1) return fail("VIDIOC_STREAMON");
        stopEvent_ = ::eventfd(0, EFD_CLOEXEC);
        if (stopEvent_ == -1) return fail("eventfd");
        sink_ = std::move(sink);
        thread_ = std::thread([this] { run(); });
        return std::nullopt;
    }

    void stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(stopEvent_, &one, sizeof one);
            thread_.join();
        }
        release();
    }

private:
    struct Mapping {
        void* address;
        std::size_t length;
    };

    PlatformError fail(const std::string& what) {
        const int error = errno;
        release();
        return errnoError(what, error);
    }

    void release() {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        xioctl(fd_, VIDIOC_STREAMOFF, &type);
        for (const auto& m : mappings_) ::munmap(m.address, m.length);
        mappings_.clear();
        v4l2_requestbuffers request{};
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        xioctl(fd_, VIDIOC_REQBUFS, &request);
        if (stopEvent_ != -1) ::close(stopEvent_);
        stopEvent_ = -1;
        sink_ = nullptr;
    }

    void run() {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stopEvent_, POLLIN, 0}};
        for (;;) {
            const int ready = ::poll(fds, 2, -1);
            if (ready == -1 && errno == EINTR) continue;
            if (ready == -1 || (fds[1].revents & POLLIN)) return;
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;  // the device went away
            if (!(fds[0].revents & POLLIN)) continue;
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            if (xioctl(fd_, VIDIOC_DQBUF, &buffer) == -1) {
                if (errno == EAGAIN) continue;
                return;
            }
            if (buffer.index < mappings_.size() && !(buffer.flags & V4L2_BUF_FLAG_ERROR)) {
                deliver(static_cast<const std::uint8_t*>(mappings_[buffer.index].address),
                        std::min<std::size_t>(buffer.bytesused, mappings_[buffer.index].length), buffer.timestamp);
            }
            if (xioctl(fd_, VIDIOC_QBUF, &buffer) == -1) return;
        }
    }

    void deliver(const std::uint8_t* data, std::size_t size, const timeval& stamp) {
        // The driver stamps frames from the monotonic clock, the host clock's base.
        const auto time = MediaTime::make(std::int64_t{stamp.tv_sec} * 1000000 + stamp.tv_usec, 1000000);
        if (auto sample = V4L2FrameConverter::makeSampleBuffer(format_, data, size, width_, height_, bytesPerLine_, time)) {
            sink_(sample);
        }
    }

    int fd_;
    std::uint32_t format_;
    int width_;
    int height_;
    std::size_t bytesPerLine_;
    bool busy_;
    std::mutex mutex_;  // start and stop
    std::vector<Mapping> mappings_;
    int stopEvent_ = -1;
    std::function<void(const SampleBufferRef&)> sink_;
    std::thread thread_;
};

bool capturesVideo(int fd, v4l2_capability& caps) {
    if (xioctl(fd, VIDIOC_QUERYCAP, &caps) == -1) return false;
    const auto flags = (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
    return (flags & V4L2_CAP_VIDEO_CAPTURE) && (flags & V4L2_CAP_STREAMING);
}

class InotifyWatcher final : public V4L2NodeWatcher {
public:
    InotifyWatcher(int inotifyFd, int stopFd, std::string directory,
                   std::function<void(DeviceChange::Kind, const std::string&)> onChange)
        : inotify_(inotifyFd), stop_(stopFd) {
        thread_ = std::thread([this, directory = std::move(directory), onChange = std::move(onChange)] {
            pollfd fds[2] = {{inotify_, POLLIN, 0}, {stop_, POLLIN, 0}};
            alignas(inotify_event) char events[4096];
            for (;;) {
                const int ready = ::poll(fds, 2, -1);
                if (ready == -1 && errno == EINTR) continue;
                if (ready == -1 || (fds[1].revents & POLLIN)) return;
                const auto length = ::read(inotify_, events, sizeof events);
                if (length <= 0) continue;
                for (std::size_t offset = 0; offset + sizeof(inotify_event) <= static_cast<std::size_t>(length);) {
                    const auto* event = reinterpret_cast<const inotify_event*>(events + offset);
                    const std::string name = event->len ? std::string(event->name, strnlen(event->name, event->len)) : "";
                    if (nodeNumber(name) >= 0) {
                        const auto kind = (event->mask & (IN_CREATE | IN_MOVED_TO)) ? DeviceChange::Kind::connected
                                                                                   : DeviceChange::Kind::disconnected;
                        onChange(kind, directory + "/" + name);
                    }
                    offset += sizeof(inotify_event) + event->len;
                }
            }
        });
    }
    ~InotifyWatcher() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(stop_, &one, sizeof one);
        thread_.join();
        ::close(inotify_);
        ::close(stop_);
    }

private:
    int inotify_;
    int stop_;
    std::thread thread_;
};

}  // namespace

std::vector<V4L2Node> V4L2Camera::discover(const std::string& deviceDirectory, const std::string& byIdDirectory) {
    std::vector<std::pair<int, std::string>> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(deviceDirectory, error)) {
        const auto name = entry.path().filename().string();
        if (const int n = nodeNumber(name); n >= 0) names.emplace_back(n, entry.path().string());
    }
    std::sort(names.begin(), names.end());

    // by-id links, resolved to the nodes they point at.
    std::vector<std::pair<std::string, std::string>> byId;
    for (const auto& entry : fs::directory_iterator(byIdDirectory, error)) {
        std::error_code resolveError;
        const auto target = fs::canonical(entry.path(), resolveError);
        if (!resolveError) byId.emplace_back(target.string(), entry.path().filename().string());
    }
    std::sort(byId.begin(), byId.end());

    std::vector<V4L2Node> nodes;
    for (const auto& [number, path] : names) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd == -1) continue;
        v4l2_capability caps{};
        const bool usable = capturesVideo(fd, caps);
        ::close(fd);
        if (!usable) continue;
        std::error_code resolveError;
        const auto canonical = fs::canonical(path, resolveError).string();
        std::string id = "v4l2:" + cString(caps.bus_info, sizeof caps.bus_info);
        for (const auto& [target, link] : byId) {
            if (target == canonical) {
                id = link;
                break;
            }
        }
        nodes.push_back({path, CaptureDevice{id, cString(caps.card, sizeof caps.card), MediaType::video}});
    }
    return nodes;
}

DeviceInputResult V4L2Camera::open(const V4L2Node& node) {
    const int fd = ::open(node.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) return errnoError("open " + node.path, errno);
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, VIDIOC_G_FMT, &format) == -1) {
        const int error = errno;
        ::close(fd);
        return errnoError("VIDIOC_G_FMT", error);
    }
    // Claim a format: the current one when it can be converted, else YUYV, Motion-JPEG or NV12 at
    // the same size. A node another process is streaming from refuses with EBUSY.
    std::vector<std::uint32_t> candidates;
    if (V4L2FrameConverter::supports(format.fmt.pix.pixelformat)) candidates.push_back(format.fmt.pix.pixelformat);
    for (const std::uint32_t wanted : {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_NV12}) {
        if (std::find(candidates.begin(), candidates.end(), wanted) == candidates.end()) candidates.push_back(wanted);
    }
    bool busy = false;
    bool settled = false;
    int lastError = EINVAL;
    for (const std::uint32_t wanted : candidates) {
        v4l2_format request = format;
        request.fmt.pix.pixelformat = wanted;
        request.fmt.pix.bytesperline = 0;
        if (xioctl(fd, VIDIOC_S_FMT, &request) == -1) {
            lastError = errno;
            if (lastError == EBUSY) break;
            continue;
        }
        if (V4L2FrameConverter::supports(request.fmt.pix.pixelformat)) {
            format = request;
            settled = true;
            break;
        }
    }
    if (!settled) {
        if (lastError != EBUSY || !V4L2FrameConverter::supports(format.fmt.pix.pixelformat)) {
            ::close(fd);
            return errnoError("VIDIOC_S_FMT", lastError);
        }
        busy = true;  // opened, but a graph cannot take it while the other process streams
    }
    const auto& pix = format.fmt.pix;
    if (pix.width == 0 || pix.height == 0 || pix.width > 16384 || pix.height > 16384) {
        ::close(fd);
        return errnoError("VIDIOC_G_FMT", EINVAL);
    }
    auto source = std::make_shared<V4L2Source>(fd, pix.pixelformat, static_cast<int>(pix.width),
                                               static_cast<int>(pix.height), pix.bytesperline, busy);
    return std::make_shared<CaptureDeviceInput>(node.device, std::move(source));
}

AuthorizationStatus V4L2Camera::authorization(const std::string& deviceDirectory) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(deviceDirectory, error)) {
        if (nodeNumber(entry.path().filename().string()) < 0) continue;
        const int fd = ::open(entry.path().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd != -1) {
            ::close(fd);
            return AuthorizationStatus::authorized;
        }
        if (errno == EACCES || errno == EPERM) return AuthorizationStatus::denied;
    }
    return AuthorizationStatus::authorized;
}

std::unique_ptr<V4L2NodeWatcher> V4L2NodeWatcher::start(const std::string& deviceDirectory,
                                                        std::function<void(DeviceChange::Kind, const std::string&)> onChange) {
    const int inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd == -1) return nullptr;
    if (::inotify_add_watch(inotifyFd, deviceDirectory.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM) == -1) {
        ::close(inotifyFd);
        return nullptr;
    }
    const int stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (stopFd == -1) {
        ::close(inotifyFd);
        return nullptr;
    }
    return std::make_unique<InotifyWatcher>(inotifyFd, stopFd, deviceDirectory, std::move(onChange));
}

}  // namespace mivodrell
