#pragma once
// Appends time-stamped diagnostic lines to one text file from a private serial queue, so a caller
// never waits for the disk. Line format: "[HH:mm:ss.SSS] message\n" in local time, stamped when
// `log` was called. The file is opened for appending (O_APPEND), so several writers on one file
// and outside truncation leave whole lines and no holes.
// The queue is bounded: lines that would take it past `Limits::maxQueuedBytes` are dropped, and
// the next line written is preceded by one that says how many were. Releasing the logger writes
// the lines already queued, but waits at most `Limits::releaseWaitSeconds` for a file that has
// stopped draining (a pipe nobody reads); what is left then is dropped and the file is closed.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace mivodrell {

class SerialQueue;

// How far a FileLogger lets a lagging file hold it up.
struct FileLoggerLimits {
    // Bytes of queued messages (plus a small per-line overhead) kept while the file lags.
    std::size_t maxQueuedBytes = 8 * 1024 * 1024;
    // How long releasing the logger waits for a file that does not take more bytes.
    double releaseWaitSeconds = 2.0;
};

class FileLogger {
public:
    // Wall-clock source for the time stamps (CLOCK_REALTIME unless a test injects one).
    using WallClock = std::function<std::timespec()>;

    static constexpr const char* queueLabel = "Mivodrell.FileLogger";

    using Limits = FileLoggerLimits;

    // Opens (creating it when needed) the file at `path`. With `truncateOnLaunch` the file is
    // emptied; otherwise lines are appended after its contents. Nothing when the file cannot be
    // created or opened (for example when its directory does not exist).
    static std::shared_ptr<FileLogger> create(const std::string& path, bool truncateOnLaunch,
                                              WallClock wallClock = {}, Limits limits = {});

    ~FileLogger();
    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

    // Returns at once; the line is formatted and written on the logger's queue. Invalid UTF-8 in
    // the message is replaced by U+FFFD.
    void log(std::string message);

    // The line for `message` at `time` (local time of day, milliseconds truncated).
    static std::string formatLine(const std::timespec& time, std::string_view message);

    // The line that stands for `count` lines dropped because the queue was full.
    static std::string droppedLinesNote(const std::timespec& time, std::uint64_t count);

    struct Sink;

private:
    FileLogger() = default;

    void enqueue(std::string message, const std::timespec& time);

    WallClock wallClock_;
    Limits limits_;
    std::shared_ptr<Sink> sink_;
    std::unique_ptr<SerialQueue> queue_;
};

}  // namespace mivodrell
