#include "ViewportCore/FileLogger.h"

#include "Platform/Base/SerialQueue.h"

#include "Platform/Base/Narrowing.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utf8proc.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

namespace mivodrell {

// The open file. Work items hold it strongly, so lines queued before the logger is released
// are still written; the file closes when the last of them is done. The descriptor does not
// block: a writer that finds no room waits in poll, which releasing the logger can wake.
struct FileLogger::Sink {
    int fd = -1;
    int wakeFd = -1;  // an eventfd, signalled once when the logger is released
    std::atomic<std::size_t> queuedBytes{0};
    std::atomic<std::uint64_t> droppedLines{0};
    std::atomic<std::int64_t> giveUpAtNanos{0};  // steady-clock time, valid once `releasing`
    std::atomic<bool> releasing{false};
    bool gaveUp = false;  // touched on the queue only

    ~Sink() {
        if (fd >= 0) ::close(fd);
        if (wakeFd >= 0) ::close(wakeFd);
    }

    // One write request per line; retried on EINTR, partial writes and a full pipe. Any other
    // error drops the rest of the line (a full disk or a removed file must not end the program).
    // Once the release deadline has passed, nothing more is written.
    void write(const std::string& line) {
        const char* data = line.data();
        std::size_t left = line.size();
        while (left > 0 && !gaveUp) {
            const ssize_t n = ::write(fd, data, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    if (!waitForRoom()) gaveUp = true;
                    continue;
                }
                return;
            }
            if (n == 0) return;
            data += n;
            left -= static_cast<std::size_t>(n);
        }
    }

    // Waits until the file takes bytes again: without limit while the logger lives, until the
    // release deadline after. False when the deadline passed first.
    bool waitForRoom() const {
        for (;;) {
            int timeoutMillis = -1;
            const bool released = releasing.load(std::memory_order_acquire);
            if (released) {
                const std::int64_t left = giveUpAtNanos.load(std::memory_order_relaxed) - steadyNanos();
                if (left <= 0) return false;
                timeoutMillis = static_cast<int>(std::min<std::int64_t>(left / 1000000 + 1, 60000));
            }
            pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
            const int ready = ::poll(fds, released || wakeFd < 0 ? 1 : 2, timeoutMillis);
            if (ready < 0 && errno != EINTR) return false;
            if (ready > 0 && fds[0].revents != 0) return true;  // room, or an error the write reports
        }
    }

    static std::int64_t steadyNanos() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
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

// What a queued line costs beyond its text: the closure, the time stamp and the line's frame.
constexpr std::size_t kLineOverhead = 64;

}  // namespace

std::string FileLogger::droppedLinesNote(const std::timespec& time, std::uint64_t count) {
    return formatLine(time, std::to_string(count) + (count == 1 ? " log line was" : " log lines were") +
                                " dropped: the log file was not taking them in time");
}

std::shared_ptr<FileLogger> FileLogger::create(const std::string& path, bool truncateOnLaunch, WallClock wallClock,
                                               Limits limits) {
    // O_APPEND: every write lands at the end of the file as it is then, whoever else writes to
    // it or truncates it.
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
    if (truncateOnLaunch) flags |= O_TRUNC;
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) return nullptr;
    auto sink = std::make_shared<Sink>();
    sink->fd = fd;
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status | O_NONBLOCK) < 0) return nullptr;
    sink->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    std::shared_ptr<FileLogger> logger(new FileLogger());
    logger->wallClock_ = wallClock ? std::move(wallClock) : WallClock(realtimeNow);
    logger->limits_ = limits;
    logger->sink_ = std::move(sink);
    logger->queue_ = std::make_unique<SerialQueue>(queueLabel);
    return logger;
}

FileLogger::~FileLogger() {
    if (const std::uint64_t dropped = sink_->droppedLines.exchange(0)) {
        queue_->async([sink = sink_, time = wallClock_(), dropped] { sink->write(droppedLinesNote(time, dropped)); });
    }
    // Destroying the queue runs every item already queued, so the last lines reach the file; a
    // writer waiting for room gives up at the deadline, and the items after it write nothing.
    const double wait = std::clamp(limits_.releaseWaitSeconds, 0.0, 3600.0);
    sink_->giveUpAtNanos.store(Sink::steadyNanos() + truncateClamped<std::int64_t>(wait * 1e9, 0),
                               std::memory_order_relaxed);
    sink_->releasing.store(true, std::memory_order_release);
    if (sink_->wakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(sink_->wakeFd, &one, sizeof one);
    }
    queue_.reset();
}

void FileLogger::log(std::string message) {
    const std::timespec time = wallClock_();
    const std::size_t cost = message.size() + kLineOverhead;
    std::size_t queued = sink_->queuedBytes.load(std::memory_order_relaxed);
    do {
        if (cost > limits_.maxQueuedBytes || queued > limits_.maxQueuedBytes - cost) {
            sink_->droppedLines.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    } while (!sink_->queuedBytes.compare_exchange_weak(queued, queued + cost, std::memory_order_relaxed));
    const std::uint64_t droppedBefore = sink_->droppedLines.exchange(0, std::memory_order_relaxed);
    queue_->async([sink = sink_, time, message = std::move(message), cost, droppedBefore] {
        if (droppedBefore > 0) sink->write(droppedLinesNote(time, droppedBefore));
        sink->write(formatLine(time, message));
        sink->queuedBytes.fetch_sub(cost, std::memory_order_relaxed);
    });
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
