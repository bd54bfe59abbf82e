#include "Platform/Device/V4L2/V4L2Camera.h"

#include "Platform/Base/Narrowing.h"
#include "Platform/Device/V4L2/V4L2FrameConverter.h"
#include "Platform/Media/PixelBuffer.h"

#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace mivodrell {

namespace {

namespace fs = std::filesystem;

constexpr int kOpenFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;

PlatformError errnoError(const std::string& what, int error) {
    return PlatformError{"V4L2", error, what + ": " + std::strerror(error)};
}

// The number N of a videoN name, for ordering; -1 for other names.
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

// The video nodes of a directory, in node order.
std::vector<std::string> videoNodes(const std::string& directory) {
    std::vector<std::pair<int, std::string>> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error)) {
        if (const int n = nodeNumber(entry.path().filename().string()); n >= 0) names.emplace_back(n, entry.path().string());
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> paths;
    for (auto& name : names) paths.push_back(std::move(name.second));
    return paths;
}

// A file descriptor of the device-file layer, closed on release.
class DeviceFile {
public:
    DeviceFile(V4L2DeviceFiles& files, const std::string& path) : files_(files), fd_(files.open(path, kOpenFlags)) {}
    ~DeviceFile() {
        if (fd_ != -1) files_.close(fd_);
    }
    DeviceFile(const DeviceFile&) = delete;
    DeviceFile& operator=(const DeviceFile&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    int ioctl(unsigned long request, void* argument) const { return files_.ioctl(fd_, request, argument); }

private:
    V4L2DeviceFiles& files_;
    int fd_;
};

std::vector<std::uint32_t> pixelFormats(const DeviceFile& file) {
    std::vector<std::uint32_t> formats;
    for (std::uint32_t i = 0; i < 256; ++i) {
        v4l2_fmtdesc description{};
        description.index = i;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (file.ioctl(VIDIOC_ENUM_FMT, &description) == -1) break;
        formats.push_back(description.pixelformat);
    }
    return formats;
}

bool listsConvertibleFormat(const DeviceFile& file) {
    const auto formats = pixelFormats(file);
    return std::any_of(formats.begin(), formats.end(), V4L2FrameConverter::supports);
}

enum class NodeKind { camera, other, unopenable };

// Whether a node is a camera we can capture from; its capabilities in `caps`.
NodeKind probe(V4L2DeviceFiles& files, const std::string& path, v4l2_capability& caps) {
    const DeviceFile file(files, path);
    if (file.get() == -1) return NodeKind::unopenable;
    if (file.ioctl(VIDIOC_QUERYCAP, &caps) == -1) return NodeKind::other;
    const auto flags = (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
    const bool captures = (flags & V4L2_CAP_VIDEO_CAPTURE) && (flags & V4L2_CAP_STREAMING);
    return captures && listsConvertibleFormat(file) ? NodeKind::camera : NodeKind::other;
}

// The frame rates a format offers at a size, from its frame intervals.
std::vector<double> frameRates(const DeviceFile& file, std::uint32_t format, std::uint32_t width, std::uint32_t height) {
    std::vector<double> rates;
    for (std::uint32_t i = 0; i < 256; ++i) {
        v4l2_frmivalenum interval{};
        interval.index = i;
        interval.pixel_format = format;
        interval.width = width;
        interval.height = height;
        if (file.ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &interval) == -1) break;
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            if (interval.discrete.numerator) rates.push_back(double(interval.discrete.denominator) / interval.discrete.numerator);
            continue;
        }
        for (const auto& bound : {interval.stepwise.min, interval.stepwise.max}) {
            if (bound.numerator) rates.push_back(double(bound.denominator) / bound.numerator);
        }
        break;
    }
    return rates;
}

// What an opened camera asks for when it starts: a pixel format at a size, and a frame rate
// (0: leave the rate alone).
struct FormatPlan {
    std::uint32_t pixelFormat = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    double frameRate = 0;
};

double currentFrameRate(const DeviceFile& file) {
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (file.ioctl(VIDIOC_G_PARM, &parameters) == -1) return 0;
    const auto& perFrame = parameters.parm.capture.timeperframe;
    return perFrame.numerator ? double(perFrame.denominator) / perFrame.numerator : 0;
}

// Keeps a convertible current format; else, at the current size, the first of YUYV, Motion-JPEG
// and NV12 that reaches the current rate, else the fastest of them (on real webcams YUYV at
// 1080p often runs at 5 fps where Motion-JPEG gives 30). Nothing when none is offered.
std::optional<FormatPlan> planFormat(const DeviceFile& file, const v4l2_pix_format& current) {
    FormatPlan plan{current.pixelformat, current.width, current.height, 0};
    if (V4L2FrameConverter::supports(current.pixelformat)) return plan;
    const double wanted = currentFrameRate(file);
    const auto offered = pixelFormats(file);
    std::optional<FormatPlan> fastest;
    double fastestRate = -1;
    for (const std::uint32_t format : {V4L2FrameConverter::yuyv, V4L2FrameConverter::mjpeg, V4L2FrameConverter::nv12}) {
        if (std::find(offered.begin(), offered.end(), format) == offered.end()) continue;
        const auto rates = frameRates(file, format, current.width, current.height);
        const double top = rates.empty() ? 0 : *std::max_element(rates.begin(), rates.end());
        plan.pixelFormat = format;
        if (wanted > 0 && top >= wanted - 1e-3) {
            plan.frameRate = wanted;
            return plan;
        }
        if (top > fastestRate) {
            fastestRate = top;
            fastest = plan;
            fastest->frameRate = top;
        }
    }
    return fastest;
}

bool usableSize(const v4l2_pix_format& pix) {
    return V4L2FrameConverter::supports(pix.pixelformat) && pix.width > 0 && pix.height > 0 && pix.width <= 16384 &&
           pix.height <= 16384;
}

}  // namespace

struct V4L2Camera::State {
    std::string directory;
    std::shared_ptr<V4L2DeviceFiles> files;
    std::shared_ptr<const Clock> clock;

    struct Identity {
        std::string busInfo;
        std::string card;
        std::string id;
    };
    std::mutex mutex;  // guards the three maps
    std::map<std::string, Identity> identities;  // by node path
    // By node path: our inputs that claim the stream, and the graph memberships of our inputs.
    std::map<std::string, int> streaming;
    std::map<std::string, int> inGraphs;

    int count(std::map<std::string, int>& counts, const std::string& path, int delta = 0) {
        std::lock_guard<std::mutex> lock(mutex);
        const int total = counts[path] += delta;
        if (total <= 0) counts.erase(path);
        return total;
    }
};

namespace {

// The capture side of one opened node. Claims the device in `start` and gives it back in `stop`.
// Unavailable while an input of the same node is in a graph: a graph hands the node from a
// removed input to its successor at the commit, whereas two graphs would fight over it.
class V4L2Source final : public CaptureSource {
public:
    V4L2Source(std::shared_ptr<V4L2Camera::State> state, std::string path, int fd, FormatPlan plan, bool busy)
        : state_(std::move(state)), path_(std::move(path)), fd_(fd), plan_(plan), busy_(busy) {}
    ~V4L2Source() override {
        stop();
        state_->files->close(fd_);
    }

    bool isAvailable() const override { return !busy_ && state_->count(state_->inGraphs, path_) == 0; }
    void setInGraph(bool inGraph) override { state_->count(state_->inGraphs, path_, inGraph ? 1 : -1); }

    std::optional<PlatformError> start(std::function<void(const SampleBufferRef&)> sink) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread_.joinable()) return std::nullopt;
        if (!streaming_) state_->count(state_->streaming, path_, 1);
        streaming_ = true;
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        format.fmt.pix.pixelformat = plan_.pixelFormat;
        format.fmt.pix.width = plan_.width;
        format.fmt.pix.height = plan_.height;
        format.fmt.pix.field = V4L2_FIELD_ANY;
        if (ioctl(VIDIOC_S_FMT, &format) == -1) return errnoError("VIDIOC_S_FMT", errno);
        if (!usableSize(format.fmt.pix)) return fail("VIDIOC_S_FMT", EINVAL);
        pix_ = format.fmt.pix;
        if (plan_.frameRate > 0) {
            v4l2_streamparm parameters{};
            parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            parameters.parm.capture.timeperframe = {1000, roundClamped<std::uint32_t>(plan_.frameRate * 1000, 0)};
            ioctl(VIDIOC_S_PARM, &parameters);  // a driver that keeps its own rate still streams
        }
        v4l2_requestbuffers request{};
        request.count = 4;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (ioctl(VIDIOC_REQBUFS, &request) == -1) return fail("VIDIOC_REQBUFS", errno);
        for (std::uint32_t i = 0; i < request.count; ++i) {
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            buffer.index = i;
            if (ioctl(VIDIOC_QUERYBUF, &buffer) == -1) return fail("VIDIOC_QUERYBUF", errno);
            void* address = state_->files->mmap(buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, buffer.m.offset);
            if (address == MAP_FAILED) return fail("mmap", errno);
            mappings_.push_back({address, buffer.length});
            if (ioctl(VIDIOC_QBUF, &buffer) == -1) return fail("VIDIOC_QBUF", errno);
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (ioctl(VIDIOC_STREAMON, &type) == -1) return fail("VIDIOC_STREAMON", errno);
        stopEvent_ = ::eventfd(0, EFD_CLOEXEC);
        if (stopEvent_ == -1) return fail("eventfd", errno);
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

    int ioctl(unsigned long request, void* argument) { return state_->files->ioctl(fd_, request, argument); }

    PlatformError fail(const std::string& what, int error) {
        release();
        return errnoError(what, error);
    }

    // Stops streaming, unmaps and frees the buffers: the device is free for another input.
    void release() {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        ioctl(VIDIOC_STREAMOFF, &type);
        for (const auto& m : mappings_) state_->files->munmap(m.address, m.length);
        mappings_.clear();
        v4l2_requestbuffers request{};
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        ioctl(VIDIOC_REQBUFS, &request);
        if (stopEvent_ != -1) ::close(stopEvent_);
        stopEvent_ = -1;
        sink_ = nullptr;
        if (std::exchange(streaming_, false)) state_->count(state_->streaming, path_, -1);
    }

    void run() {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stopEvent_, POLLIN, 0}};
        for (;;) {
            const int ready = state_->files->poll(fds, 2, -1);
            if (ready == -1 && errno == EINTR) continue;
            if (ready == -1 || (fds[1].revents & POLLIN)) return;
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;  // the device went away
            if (!(fds[0].revents & POLLIN)) continue;
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            if (ioctl(VIDIOC_DQBUF, &buffer) == -1) {
                if (errno == EAGAIN) continue;
                return;
            }
            if (buffer.index < mappings_.size() && !(buffer.flags & V4L2_BUF_FLAG_ERROR)) {
                deliver(static_cast<const std::uint8_t*>(mappings_[buffer.index].address),
                        std::min<std::size_t>(buffer.bytesused, mappings_[buffer.index].length), buffer);
            }
            if (ioctl(VIDIOC_QBUF, &buffer) == -1) return;
        }
    }

    void deliver(const std::uint8_t* data, std::size_t size, const v4l2_buffer& buffer) {
        // A monotonic driver stamp is on the host clock's base; any other is replaced by the
        // clock's time of arrival.
        const bool monotonic = (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        const auto time = monotonic ? MediaTime::make(std::int64_t{buffer.timestamp.tv_sec} * 1000000 + buffer.timestamp.tv_usec, 1000000)
                                    : MediaTime::fromSeconds(state_->clock->hostTime(), 1000000);
        if (auto sample = V4L2FrameConverter::makeSampleBuffer(pix_.pixelformat, data, size, static_cast<int>(pix_.width),
                                                               static_cast<int>(pix_.height), pix_.bytesperline, time)) {
            sink_(sample);
        }
    }

    std::shared_ptr<V4L2Camera::State> state_;
    std::string path_;
    int fd_;
    FormatPlan plan_;
    bool busy_;
    std::mutex mutex_;  // start and stop
    bool streaming_ = false;  // claimed by `start`, until `release`
    v4l2_pix_format pix_{};
    std::vector<Mapping> mappings_;
    int stopEvent_ = -1;
    std::function<void(const SampleBufferRef&)> sink_;
    std::thread thread_;
};

class InotifyWatcher final : public V4L2NodeWatcher {
public:
    using OnChange = std::function<void(DeviceChange::Kind, const std::string&)>;

    InotifyWatcher(std::shared_ptr<V4L2Camera::State> state, int inotifyFd, int stopFd, OnChange onChange)
        : state_(std::move(state)), inotify_(inotifyFd), stop_(stopFd), onChange_(std::move(onChange)) {
        for (const auto& path : videoNodes(state_->directory)) classify(path);
        thread_ = std::thread([this] { run(); });
    }
    ~InotifyWatcher() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(stop_, &one, sizeof one);
        thread_.join();
        ::close(inotify_);
        ::close(stop_);
    }

private:
    // Files the node as a camera or as waiting for its permissions; a camera newly filed is
    // reported, one that stopped being usable reported gone.
    void classify(const std::string& path, bool report = false) {
        v4l2_capability caps{};
        const auto kind = probe(*state_->files, path, caps);
        const bool wasCamera = cameras_.erase(path) > 0;
        waiting_.erase(path);
        if (kind == NodeKind::camera) cameras_.insert(path);
        if (kind == NodeKind::unopenable) waiting_.insert(path);
        if (report && wasCamera != (kind == NodeKind::camera)) {
            onChange_(wasCamera ? DeviceChange::Kind::disconnected : DeviceChange::Kind::connected, path);
        }
    }

    void handle(const inotify_event& event, const std::string& path) {
        if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
            waiting_.erase(path);
            if (cameras_.erase(path)) onChange_(DeviceChange::Kind::disconnected, path);
        } else if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
            classify(path, true);
        } else if ((event.mask & IN_ATTRIB) && (waiting_.count(path) || cameras_.count(path))) {
            classify(path, true);
        }
    }

    void run() {
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
                if (nodeNumber(name) >= 0) handle(*event, state_->directory + "/" + name);
                offset += sizeof(inotify_event) + event->len;
            }
        }
    }

    std::shared_ptr<V4L2Camera::State> state_;
    int inotify_;
    int stop_;
    OnChange onChange_;
    std::set<std::string> cameras_;  // the watcher thread's own
    std::set<std::string> waiting_;
    std::thread thread_;
};

}  // namespace

V4L2Camera::V4L2Camera(std::string deviceDirectory, std::shared_ptr<V4L2DeviceFiles> files,
                       std::shared_ptr<const Clock> clock)
    : state_(std::make_shared<State>()) {
    state_->directory = std::move(deviceDirectory);
    state_->files = files ? std::move(files) : V4L2DeviceFiles::system();
    state_->clock = clock ? std::move(clock) : Clock::system();
}

std::vector<V4L2Node> V4L2Camera::discover() {
    const auto paths = videoNodes(state_->directory);

    // by-id links, resolved to the nodes they point at.
    std::map<std::string, std::string> byId;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(state_->directory + "/v4l/by-id", error)) {
        std::error_code resolveError;
        const auto target = fs::canonical(entry.path(), resolveError);
        if (!resolveError) byId.emplace(target.string(), entry.path().filename().string());
    }

    std::vector<V4L2Node> nodes;
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::erase_if(state_->identities,
                  [&](const auto& entry) { return std::find(paths.begin(), paths.end(), entry.first) == paths.end(); });
    for (const auto& path : paths) {
        v4l2_capability caps{};
        if (probe(*state_->files, path, caps) != NodeKind::camera) continue;
        const auto busInfo = cString(caps.bus_info, sizeof caps.bus_info);
        const auto card = cString(caps.card, sizeof caps.card);
        auto known = state_->identities.find(path);
        if (known == state_->identities.end() || known->second.busInfo != busInfo || known->second.card != card) {
            std::error_code resolveError;
            const auto link = byId.find(fs::canonical(path, resolveError).string());
            std::string id = link != byId.end() ? link->second : "v4l2:" + busInfo;
            const bool taken = std::any_of(state_->identities.begin(), state_->identities.end(),
                                           [&](const auto& entry) { return entry.first != path && entry.second.id == id; });
            if (taken) id.append("/").append(fs::path(path).filename().string());
            known = state_->identities.insert_or_assign(path, State::Identity{busInfo, card, id}).first;
        }
        nodes.push_back({path, CaptureDevice{known->second.id, card, MediaType::video}});
    }
    return nodes;
}

DeviceInputResult V4L2Camera::open(const V4L2Node& node) {
    DeviceFile file(*state_->files, node.path);
    if (file.get() == -1) return errnoError("open " + node.path, errno);
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (file.ioctl(VIDIOC_G_FMT, &format) == -1) return errnoError("VIDIOC_G_FMT", errno);
    const auto plan = planFormat(file, format.fmt.pix);
    if (!plan) return errnoError("no convertible format", EINVAL);
    v4l2_format trial = format;
    trial.fmt.pix.pixelformat = plan->pixelFormat;
    trial.fmt.pix.bytesperline = 0;
    if (file.ioctl(VIDIOC_TRY_FMT, &trial) == -1 && errno != ENOTTY) return errnoError("VIDIOC_TRY_FMT", errno);
    if (!usableSize(trial.fmt.pix)) return errnoError("VIDIOC_TRY_FMT", EINVAL);
    // Freeing no buffers is refused with EBUSY while another file handle streams. Inputs of our
    // own hand the node over when they stop (or, in another graph, make this one unavailable),
    // so they are not asked.
    bool busy = false;
    if (state_->count(state_->streaming, node.path) == 0) {
        v4l2_requestbuffers request{};
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        busy = file.ioctl(VIDIOC_REQBUFS, &request) == -1 && errno == EBUSY;
    }
    auto source = std::make_shared<V4L2Source>(state_, node.path, file.release(), *plan, busy);
    return std::make_shared<CaptureDeviceInput>(node.device, std::move(source));
}

AuthorizationStatus V4L2Camera::authorization() {
    for (const auto& path : videoNodes(state_->directory)) {
        const DeviceFile file(*state_->files, path);
        if (file.get() != -1) return AuthorizationStatus::authorized;
        if (errno == EACCES || errno == EPERM) return AuthorizationStatus::denied;
    }
    return AuthorizationStatus::authorized;
}

std::unique_ptr<V4L2NodeWatcher> V4L2Camera::watch(std::function<void(DeviceChange::Kind, const std::string&)> onChange) {
    const int inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd == -1) return nullptr;
    const auto mask = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB;
    if (::inotify_add_watch(inotifyFd, state_->directory.c_str(), mask) == -1) {
        ::close(inotifyFd);
        return nullptr;
    }
    const int stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (stopFd == -1) {
        ::close(inotifyFd);
        return nullptr;
    }
    return std::make_unique<InotifyWatcher>(state_, inotifyFd, stopFd, std::move(onChange));
}

}  // namespace mivodrell
