#include "Platform/Device/V4L2/VirtualV4L2DeviceFiles.h"

#include "Platform/Base/Narrowing.h"
#include "Platform/Device/V4L2/V4L2FrameConverter.h"

#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

namespace mivodrell {

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kMaxBuffers = 8;
constexpr off_t kOffsetStep = 1 << 20;  // the mmap offset of buffer i is i * kOffsetStep
constexpr std::uint8_t kGrey = 128;

int failWith(int error) {
    errno = error;
    return -1;
}

bool uncompressed(std::uint32_t format) {
    return format == V4L2FrameConverter::yuyv || format == V4L2FrameConverter::nv12;
}

std::uint32_t bytesPerLine(std::uint32_t format, std::uint32_t width) {
    if (format == V4L2FrameConverter::yuyv) return 2 * width;
    return format == V4L2FrameConverter::nv12 ? width : 0;
}

std::uint32_t imageSize(std::uint32_t format, std::uint32_t width, std::uint32_t height) {
    if (format == V4L2FrameConverter::nv12) return width * height + 2 * ((width + 1) / 2) * ((height + 1) / 2);
    return 2 * width * height;  // YUYV, and the most a compressed frame may take
}

// One uniform grey frame in `format`.
std::vector<std::uint8_t> greyFrame(std::uint32_t format, std::uint32_t width, std::uint32_t height) {
    if (format == V4L2FrameConverter::mjpeg || format == V4L2FrameConverter::jpeg) {
        std::vector<std::uint8_t> bgra(std::size_t{4} * width * height, kGrey);
        tjhandle encoder = tjInitCompress();
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        std::vector<std::uint8_t> out;
        if (encoder && tjCompress2(encoder, bgra.data(), static_cast<int>(width), static_cast<int>(4 * width),
                                   static_cast<int>(height), TJPF_BGRA, &jpeg, &size, TJSAMP_422, 85, 0) == 0) {
            out.assign(jpeg, jpeg + size);
        }
        tjFree(jpeg);
        if (encoder) tjDestroy(encoder);
        return out;
    }
    const std::size_t size = format == V4L2FrameConverter::nv12 ? imageSize(format, width, height) : std::size_t{width} * height * 2;
    return std::vector<std::uint8_t>(size, kGrey);
}

struct BufferSlot {
    enum class State { dequeued, queued, done };
    std::shared_ptr<std::vector<std::uint8_t>> memory;
    State state = State::dequeued;
    std::uint32_t bytesUsed = 0;
    timeval timestamp{};
    std::uint32_t sequence = 0;
    int mapped = 0;
};

struct NodeState {
    VirtualV4L2Node config;
    std::string path;
    bool present = true;
    std::size_t current = 0;
    std::uint32_t frameRate = 0;
    int owner = -1;  // the descriptor holding the stream
    std::vector<BufferSlot> buffers;
    std::deque<std::uint32_t> queued;
    std::deque<std::uint32_t> done;
    bool streaming = false;
    std::uint32_t sequence = 0;
    std::map<std::size_t, std::vector<std::uint8_t>> frames;  // made frames by format entry

    const VirtualV4L2Format& format() const { return config.formats.at(current); }
    std::uint32_t defaultRate(std::size_t entry) const {
        const auto& rates = config.formats.at(entry).frameRates;
        return rates.empty() ? 0 : rates.front();
    }
};

struct Mapping {
    std::shared_ptr<NodeState> node;
    std::uint32_t index;
    std::shared_ptr<std::vector<std::uint8_t>> memory;
};

}  // namespace

struct VirtualV4L2DeviceFiles::Impl {
    std::string directory;
    std::shared_ptr<const Clock> clock;
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<NodeState>> nodes;  // by name
    std::map<int, std::shared_ptr<NodeState>> handles;        // by descriptor
    std::map<void*, Mapping> mappings;
    std::map<std::string, std::string> links;  // by-id link -> node name

    std::shared_ptr<NodeState> node(const std::string& name) {
        const auto found = nodes.find(name);
        return found == nodes.end() ? nullptr : found->second;
    }

    static void signal(int fd) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
    }
    static void drain(int fd) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto read = ::read(fd, &count, sizeof count);
    }

    // The entry of the node's formats nearest to a requested format and size.
    static std::size_t nearest(const NodeState& node, std::uint32_t pixelFormat, std::uint32_t width, std::uint32_t height) {
        const auto& formats = node.config.formats;
        const bool offered = std::any_of(formats.begin(), formats.end(), [&](const auto& f) { return f.pixelFormat == pixelFormat; });
        const std::uint32_t wanted = offered ? pixelFormat : formats.front().pixelFormat;
        std::size_t best = 0;
        std::int64_t bestDistance = -1;
        for (std::size_t i = 0; i < formats.size(); ++i) {
            if (formats[i].pixelFormat != wanted) continue;
            const std::int64_t distance = std::llabs(std::int64_t{formats[i].width} - width) + std::llabs(std::int64_t{formats[i].height} - height);
            if (bestDistance < 0 || distance < bestDistance) {
                best = i;
                bestDistance = distance;
            }
        }
        return best;
    }

    static void describe(const NodeState& node, std::size_t entry, v4l2_pix_format& pix) {
        const auto& f = node.config.formats.at(entry);
        pix = v4l2_pix_format{};
        pix.width = f.width;
        pix.height = f.height;
        pix.pixelformat = f.pixelFormat;
        pix.field = V4L2_FIELD_NONE;
        pix.bytesperline = bytesPerLine(f.pixelFormat, f.width);
        pix.sizeimage = imageSize(f.pixelFormat, f.width, f.height);
        pix.colorspace = uncompressed(f.pixelFormat) ? V4L2_COLORSPACE_SRGB : V4L2_COLORSPACE_JPEG;
    }

    // Takes the stream for `fd`; EBUSY when another descriptor holds it.
    static bool claim(NodeState& node, int fd) {
        if (node.owner != -1 && node.owner != fd) return false;
        node.owner = fd;
        return true;
    }

    static void stopStreaming(NodeState& node) {
        node.streaming = false;
        node.queued.clear();
        node.done.clear();
        for (auto& b : node.buffers) b.state = BufferSlot::State::dequeued;
        if (node.owner != -1) drain(node.owner);
    }

    int control(int fd, NodeState& node, unsigned long request, void* argument);
};

VirtualV4L2Node VirtualV4L2Node::webcam(std::string name, std::string busInfo) {
    VirtualV4L2Node node;
    node.name = std::move(name);
    node.busInfo = std::move(busInfo);
    node.card = "Virtual UVC Camera " + node.name;
    node.formats = {{V4L2FrameConverter::yuyv, 640, 480, {30, 15}},
                    {V4L2FrameConverter::yuyv, 1920, 1080, {5}},
                    {V4L2FrameConverter::mjpeg, 640, 480, {30, 15}},
                    {V4L2FrameConverter::mjpeg, 1920, 1080, {30, 15}}};
    return node;
}

std::shared_ptr<VirtualV4L2DeviceFiles> VirtualV4L2DeviceFiles::create(std::string deviceDirectory,
                                                                       std::shared_ptr<const Clock> clock) {
    std::shared_ptr<VirtualV4L2DeviceFiles> files(new VirtualV4L2DeviceFiles());
    files->impl_ = std::make_shared<Impl>();
    files->impl_->directory = std::move(deviceDirectory);
    files->impl_->clock = clock ? std::move(clock) : Clock::system();
    return files;
}

VirtualV4L2DeviceFiles::~VirtualV4L2DeviceFiles() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::error_code ignored;
    for (const auto& [link, name] : impl_->links) fs::remove(impl_->directory + "/v4l/by-id/" + link, ignored);
    for (const auto& [name, node] : impl_->nodes) fs::remove(node->path, ignored);
    for (const auto& [fd, node] : impl_->handles) ::close(fd);
}

void VirtualV4L2DeviceFiles::addNode(const VirtualV4L2Node& config) {
    auto node = std::make_shared<NodeState>();
    node->config = config;
    node->path = impl_->directory + "/" + config.name;
    node->current = std::min(config.current, config.formats.empty() ? 0 : config.formats.size() - 1);
    node->frameRate = config.frameRate ? config.frameRate : (config.formats.empty() ? 0 : node->defaultRate(node->current));
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::ofstream(node->path).put('\n');
    ::chmod(node->path.c_str(), config.permitted ? 0660 : 0);
    impl_->nodes[config.name] = std::move(node);
}

void VirtualV4L2DeviceFiles::removeNode(const std::string& name) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto node = impl_->node(name);
    if (!node) return;
    std::error_code ignored;
    for (auto it = impl_->links.begin(); it != impl_->links.end();) {
        if (it->second != name) {
            ++it;
            continue;
        }
        fs::remove(impl_->directory + "/v4l/by-id/" + it->first, ignored);
        it = impl_->links.erase(it);
    }
    fs::remove(node->path, ignored);
    node->present = false;
    impl_->nodes.erase(name);
    for (const auto& [fd, handleNode] : impl_->handles) {
        if (handleNode == node) Impl::signal(fd);  // wakes a poll; the next call fails with ENODEV
    }
}

void VirtualV4L2DeviceFiles::setPermitted(const std::string& name, bool permitted) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (auto node = impl_->node(name)) {
        node->config.permitted = permitted;
        ::chmod(node->path.c_str(), permitted ? 0660 : 0);
    }
}

void VirtualV4L2DeviceFiles::addByIdLink(const std::string& link, const std::string& name) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::error_code ignored;
    fs::create_directories(impl_->directory + "/v4l/by-id", ignored);
    fs::create_symlink("../../" + name, impl_->directory + "/v4l/by-id/" + link, ignored);
    impl_->links[link] = name;
}

bool VirtualV4L2DeviceFiles::produceFrame(const std::string& name) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto node = impl_->node(name);
    if (!node || !node->streaming || node->queued.empty() || node->owner == -1) return false;
    auto frame = node->frames.find(node->current);
    if (frame == node->frames.end()) {
        const auto& f = node->format();
        frame = node->frames.emplace(node->current, greyFrame(f.pixelFormat, f.width, f.height)).first;
    }
    const auto index = node->queued.front();
    node->queued.pop_front();
    auto& buffer = node->buffers[index];
    const auto size = std::min(frame->second.size(), buffer.memory->size());
    std::memcpy(buffer.memory->data(), frame->second.data(), size);
    buffer.bytesUsed = static_cast<std::uint32_t>(size);
    const double now = impl_->clock->hostTime();
    const double seconds = std::floor(now);
    buffer.timestamp.tv_sec = truncateClamped<time_t>(seconds, 0);
    buffer.timestamp.tv_usec = truncateClamped<suseconds_t>((now - seconds) * 1e6, 0);
    buffer.sequence = node->sequence++;
    buffer.state = BufferSlot::State::done;
    node->done.push_back(index);
    Impl::signal(node->owner);
    return true;
}

std::optional<VirtualV4L2DeviceFiles::Status> VirtualV4L2DeviceFiles::status(const std::string& name) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto node = impl_->node(name);
    if (!node || node->config.formats.empty()) return std::nullopt;
    Status status{node->format().pixelFormat, node->format().width, node->format().height, node->frameRate, node->streaming,
                  node->owner != -1, 0};
    for (const auto& [fd, handleNode] : impl_->handles) status.openHandles += handleNode == node;
    return status;
}

int VirtualV4L2DeviceFiles::open(const std::string& path, int flags) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    std::shared_ptr<NodeState> node;
    for (const auto& [name, candidate] : impl_->nodes) {
        if (candidate->path == path) node = candidate;
    }
    if (!node) {
        lock.unlock();
        return V4L2DeviceFiles::open(path, flags);
    }
    if (!node->config.permitted) return failWith(EACCES);
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd == -1) return -1;
    impl_->handles[fd] = node;
    return fd;
}

int VirtualV4L2DeviceFiles::close(int fd) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    const auto found = impl_->handles.find(fd);
    if (found == impl_->handles.end()) {
        lock.unlock();
        return V4L2DeviceFiles::close(fd);
    }
    auto& node = *found->second;
    if (node.owner == fd) {
        Impl::stopStreaming(node);
        node.owner = -1;
        node.buffers.clear();  // mapped memory lives on in its mapping until unmapped
    }
    impl_->handles.erase(found);
    return ::close(fd);
}

int VirtualV4L2DeviceFiles::ioctl(int fd, unsigned long request, void* argument) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    const auto found = impl_->handles.find(fd);
    if (found == impl_->handles.end()) {
        lock.unlock();
        return V4L2DeviceFiles::ioctl(fd, request, argument);
    }
    auto node = found->second;
    if (!node->present) return failWith(ENODEV);
    return impl_->control(fd, *node, request, argument);
}

int VirtualV4L2DeviceFiles::Impl::control(int fd, NodeState& node, unsigned long request, void* argument) {
    constexpr std::uint32_t capture = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto& caps = *static_cast<v4l2_capability*>(argument);
            caps = v4l2_capability{};
            std::snprintf(reinterpret_cast<char*>(caps.driver), sizeof caps.driver, "uvcvideo");
            std::snprintf(reinterpret_cast<char*>(caps.card), sizeof caps.card, "%s", node.config.card.c_str());
            std::snprintf(reinterpret_cast<char*>(caps.bus_info), sizeof caps.bus_info, "%s", node.config.busInfo.c_str());
            caps.device_caps = (node.config.capturesVideo ? V4L2_CAP_VIDEO_CAPTURE : V4L2_CAP_META_CAPTURE) |
                               V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
            caps.capabilities = caps.device_caps | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_DEVICE_CAPS;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto& description = *static_cast<v4l2_fmtdesc*>(argument);
            std::vector<std::uint32_t> distinct;
            for (const auto& f : node.config.formats) {
                if (std::find(distinct.begin(), distinct.end(), f.pixelFormat) == distinct.end()) distinct.push_back(f.pixelFormat);
            }
            if (description.type != capture || !node.config.capturesVideo || description.index >= distinct.size()) return failWith(EINVAL);
            description.pixelformat = distinct[description.index];
            description.flags = uncompressed(description.pixelformat) ? 0 : V4L2_FMT_FLAG_COMPRESSED;
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto& size = *static_cast<v4l2_frmsizeenum*>(argument);
            std::uint32_t seen = 0;
            for (const auto& f : node.config.formats) {
                if (f.pixelFormat != size.pixel_format || seen++ != size.index) continue;
                size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
                size.discrete = {f.width, f.height};
                return 0;
            }
            return failWith(EINVAL);
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto& interval = *static_cast<v4l2_frmivalenum*>(argument);
            for (const auto& f : node.config.formats) {
                if (f.pixelFormat != interval.pixel_format || f.width != interval.width || f.height != interval.height) continue;
                if (interval.index >= f.frameRates.size()) break;
                interval.type = V4L2_FRMIVAL_TYPE_DISCRETE;
                interval.discrete = {1, f.frameRates[interval.index]};
                return 0;
            }
            return failWith(EINVAL);
        }
        case VIDIOC_G_FMT:
        case VIDIOC_TRY_FMT:
        case VIDIOC_S_FMT: {
            auto& format = *static_cast<v4l2_format*>(argument);
            if (format.type != capture || node.config.formats.empty()) return failWith(EINVAL);
            if (request == VIDIOC_G_FMT) {
                describe(node, node.current, format.fmt.pix);
                return 0;
            }
            const auto entry = nearest(node, format.fmt.pix.pixelformat, format.fmt.pix.width, format.fmt.pix.height);
            if (request == VIDIOC_S_FMT) {
                if (!claim(node, fd) || !node.buffers.empty()) return failWith(EBUSY);
                node.current = entry;
                node.frameRate = node.defaultRate(entry);
            }
            describe(node, entry, format.fmt.pix);
            return 0;
        }
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM: {
            auto& parameters = *static_cast<v4l2_streamparm*>(argument);
            if (parameters.type != capture || node.config.formats.empty()) return failWith(EINVAL);
            if (request == VIDIOC_S_PARM) {
                if (!claim(node, fd)) return failWith(EBUSY);
                const auto& perFrame = parameters.parm.capture.timeperframe;
                const double wanted = perFrame.numerator ? double(perFrame.denominator) / perFrame.numerator : 0;
                for (const auto rate : node.format().frameRates) {
                    if (std::fabs(rate - wanted) < std::fabs(node.frameRate - wanted)) node.frameRate = rate;
                }
            }
            parameters.parm.capture = v4l2_captureparm{};
            parameters.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
            parameters.parm.capture.timeperframe = {1, node.frameRate};
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto& wanted = *static_cast<v4l2_requestbuffers*>(argument);
            if (wanted.type != capture || wanted.memory != V4L2_MEMORY_MMAP) return failWith(EINVAL);
            if (!claim(node, fd) || node.streaming) return failWith(EBUSY);
            if (std::any_of(node.buffers.begin(), node.buffers.end(), [](const auto& b) { return b.mapped > 0; })) return failWith(EBUSY);
            node.buffers.clear();
            node.queued.clear();
            node.done.clear();
            if (wanted.count == 0) {
                node.owner = -1;
                return 0;
            }
            wanted.count = std::min(wanted.count, kMaxBuffers);
            const auto& f = node.format();
            for (std::uint32_t i = 0; i < wanted.count; ++i) {
                node.buffers.push_back({std::make_shared<std::vector<std::uint8_t>>(imageSize(f.pixelFormat, f.width, f.height))});
            }
            return 0;
        }
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF:
        case VIDIOC_DQBUF: {
            auto& buffer = *static_cast<v4l2_buffer*>(argument);
            if (buffer.type != capture || buffer.memory != V4L2_MEMORY_MMAP) return failWith(EINVAL);
            if (request != VIDIOC_QUERYBUF && !claim(node, fd)) return failWith(EBUSY);
            if (request == VIDIOC_DQBUF) {
                if (!node.streaming) return failWith(EINVAL);
                if (node.done.empty()) return failWith(EAGAIN);
                buffer.index = node.done.front();
                node.done.pop_front();
                if (node.done.empty()) drain(fd);
            }
            if (buffer.index >= node.buffers.size()) return failWith(EINVAL);
            auto& slot = node.buffers[buffer.index];
            if (request == VIDIOC_QBUF) {
                if (slot.state != BufferSlot::State::dequeued) return failWith(EINVAL);
                slot.state = BufferSlot::State::queued;
                node.queued.push_back(buffer.index);
            } else if (request == VIDIOC_DQBUF) {
                slot.state = BufferSlot::State::dequeued;
                buffer.bytesused = slot.bytesUsed;
                buffer.timestamp = slot.timestamp;
                buffer.sequence = slot.sequence;
                buffer.field = V4L2_FIELD_NONE;
            }
            buffer.length = static_cast<std::uint32_t>(slot.memory->size());
            buffer.m.offset = static_cast<std::uint32_t>(buffer.index * kOffsetStep);
            buffer.flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | (slot.mapped ? V4L2_BUF_FLAG_MAPPED : 0) |
                           (slot.state == BufferSlot::State::queued ? V4L2_BUF_FLAG_QUEUED : 0);
            return 0;
        }
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF: {
            if (*static_cast<int*>(argument) != static_cast<int>(capture)) return failWith(EINVAL);
            if (!claim(node, fd)) return failWith(EBUSY);
            if (request == VIDIOC_STREAMOFF) {
                stopStreaming(node);
                return 0;
            }
            if (node.buffers.empty()) return failWith(EINVAL);
            node.streaming = true;
            return 0;
        }
        default:
            return failWith(ENOTTY);
    }
}

void* VirtualV4L2DeviceFiles::mmap(std::size_t length, int protection, int flags, int fd, off_t offset) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    const auto found = impl_->handles.find(fd);
    if (found == impl_->handles.end()) {
        lock.unlock();
        return V4L2DeviceFiles::mmap(length, protection, flags, fd, offset);
    }
    auto node = found->second;
    const auto index = offset / kOffsetStep;
    if (!node->present || offset % kOffsetStep != 0 || index < 0 || static_cast<std::size_t>(index) >= node->buffers.size() ||
        length > node->buffers[static_cast<std::size_t>(index)].memory->size()) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    auto& slot = node->buffers[static_cast<std::size_t>(index)];
    ++slot.mapped;
    impl_->mappings[slot.memory->data()] = {node, static_cast<std::uint32_t>(index), slot.memory};
    return slot.memory->data();
}

int VirtualV4L2DeviceFiles::munmap(void* address, std::size_t length) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    const auto found = impl_->mappings.find(address);
    if (found == impl_->mappings.end()) {
        lock.unlock();
        return V4L2DeviceFiles::munmap(address, length);
    }
    auto& [node, index, memory] = found->second;
    if (index < node->buffers.size() && node->buffers[index].memory == memory) --node->buffers[index].mapped;
    impl_->mappings.erase(found);
    return 0;
}

}  // namespace mivodrell
