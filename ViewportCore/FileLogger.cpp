#include "ViewportCore/FileLogger.h"

#include "Platform/Base/SerialQueue.h"

#include <fcntl.h>
#include <unistd.h>
#include <utf8proc.h>

#include <cerrno>
#include <cstdio>

namespace mivodrell {

// The open file. Work items hold it strongly, so lines queued before the logger is released
// are still written; the file closes when the last of them is done.
struct FileLogger::Sink {
    int fd = -1;
    ~Sink() {
        if (fd >= 0) ::close(fd);
    }

    // One write request per line; retried on EINTR and partial writes. Any other error drops the
    // rest of the line (a full disk or a removed file must not end the program).
    void write(const std::string& line) const {
        const char* data = line.data();
        std::size_t left = line.size();
        while (left > 0) {
            const ssize_t n = ::write(fd, data, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (n == 0) return;
            data += n;
            left -= static_cast<std::size_t>(n);
        }
    }
};

namespace {

std::timespec realtimeNow() {
    std::timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

// Copies `text`, replacing every invalid UTF-8 sequence by U+FFFD.
void appendValidUTF8(std::string& out, std::string_view text) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    utf8proc_ssize_t offset = 0;
    const auto size = static_cast<utf8proc_ssize_t>(text.size());
    while (offset < size) {
        // ASCII fast path.
        if (bytes[offset] < 0x80) {
            out.push_back(static_cast<char>(bytes[offset]));
            ++offset;
            continue;
        }
        utf8proc_int32_t codepoint = 0;
        const utf8proc_ssize_t n = utf8proc_iterate(bytes + offset, size - offset, &codepoint);
        if (n > 0) {
            out.append(text.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(n)));
            offset += n;
        } else {
            out.append("\xEF\xBF\xBD");
            ++offset;
        }
    }
}

}  // namespace

std::shared_ptr<FileLogger> FileLogger::create(const std::string& path, bool truncateOnLaunch, WallClock wallClock) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (truncateOnLaunch) flags |= O_TRUNC;
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) return nullptr;
    auto sink = std::make_shared<Sink>();
    sink->fd = fd;
    if (!truncateOnLaunch && ::lseek(fd, 0, SEEK_END) < 0) return nullptr;

    std::shared_ptr<FileLogger> logger(new FileLogger());
    logger->wallClock_ = wallClock ? std::move(wallClock) : WallClock(realtimeNow);
    logger->sink_ = std::move(sink);
    logger->queue_ = std::make_unique<SerialQueue>(queueLabel);
    return logger;
}

FileLogger::~FileLogger() {
    // Destroying the queue runs every item already queued, so the last lines reach the file.
    queue_.reset();
}

void FileLogger::log(std::string message) {
    const std::timespec time = wallClock_();
    queue_->async([sink = sink_, time, message = std::move(message)] { sink->write(formatLine(time, message)); });
}

std::string FileLogger::formatLine(const std::timespec& time, std::string_view message) {
    std::tm local{};
    const std::time_t seconds = time.tv_sec;
    localtime_r(&seconds, &local);
    long millis = time.tv_nsec / 1000000;  // truncated, not rounded
    if (millis < 0) millis = 0;
    if (millis > 999) millis = 999;
    char stamp[24];
    std::snprintf(stamp, sizeof stamp, "[%02d:%02d:%02d.%03ld] ", local.tm_hour, local.tm_min, local.tm_sec, millis);
    std::string line;
    line.reserve(16 + message.size());
    line.append(stamp);
    appendValidUTF8(line, message);
    line.push_back('\n');
    return line;
}

}  // namespace mivodrell
