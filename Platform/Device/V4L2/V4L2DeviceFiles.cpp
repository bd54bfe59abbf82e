#include "Platform/Device/V4L2/V4L2DeviceFiles.h"

#include <sys/ioctl.h>
#include <sys/mman.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace mivodrell {

int V4L2DeviceFiles::open(const std::string& path, int flags) { return ::open(path.c_str(), flags); }

int V4L2DeviceFiles::close(int fd) { return ::close(fd); }

int V4L2DeviceFiles::ioctl(int fd, unsigned long request, void* argument) {
    int result;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result == -1 && errno == EINTR);
    return result;
}

void* V4L2DeviceFiles::mmap(std::size_t length, int protection, int flags, int fd, off_t offset) {
    return ::mmap(nullptr, length, protection, flags, fd, offset);
}

int V4L2DeviceFiles::munmap(void* address, std::size_t length) { return ::munmap(address, length); }

int V4L2DeviceFiles::poll(pollfd* fds, nfds_t count, int timeout) { return ::poll(fds, count, timeout); }

std::shared_ptr<V4L2DeviceFiles> V4L2DeviceFiles::system() {
    static const auto files = std::make_shared<V4L2DeviceFiles>();
    return files;
}

}  // namespace mivodrell
