#pragma once
// The device-file calls the V4L2 code makes (open, ioctl, mmap, munmap, poll, close), behind a
// small interface so that an in-process virtual camera (VirtualV4L2DeviceFiles.h) can answer
// them in place of the kernel. The default forwards every call to the system unchanged: results
// and errno are the system's, an ioctl interrupted by a signal is retried.
//
// Directories, links and inotify are not part of it: they stay on the real file system, where a
// virtual camera keeps a placeholder file per node. Every call may come from any thread.

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

namespace mivodrell {

class V4L2DeviceFiles {
public:
    virtual ~V4L2DeviceFiles() = default;

    // Each returns what the system call returns, with errno set on failure.
    virtual int open(const std::string& path, int flags);
    virtual int close(int fd);
    virtual int ioctl(int fd, unsigned long request, void* argument);
    virtual void* mmap(std::size_t length, int protection, int flags, int fd, off_t offset);
    virtual int munmap(void* address, std::size_t length);
    virtual int poll(pollfd* fds, nfds_t count, int timeout);

    // The system's device files.
    static std::shared_ptr<V4L2DeviceFiles> system();
};

}  // namespace mivodrell
