#pragma once
// Appends time-stamped diagnostic lines to one text file from a private serial queue, so a caller
// never waits for the disk. Line format: "[HH:mm:ss.SSS] message\n" in local time, stamped when
// `log` was called. Releasing the logger writes every line already queued, then closes the file.

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace mivodrell {

class SerialQueue;

class FileLogger {
public:
    // Wall-clock source for the time stamps (CLOCK_REALTIME unless a test injects one).
    using WallClock = std::function<std::timespec()>;

    static constexpr const char* queueLabel = "Mivodrell.FileLogger";

    // Opens (creating it when needed) the file at `path`. With `truncateOnLaunch` the file is
    // emptied; otherwise lines are appended after its contents. Nothing when the file cannot be
    // created or opened (for example when its directory does not exist).
    static std::shared_ptr<FileLogger> create(const std::string& path, bool truncateOnLaunch,
                                              WallClock wallClock = {});

    ~FileLogger();
    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

    // Returns at once; the line is formatted and written on the logger's queue. Invalid UTF-8 in
    // the message is replaced by U+FFFD.
    void log(std::string message);

    // The line for `message` at `time` (local time of day, milliseconds truncated).
    static std::string formatLine(const std::timespec& time, std::string_view message);

    struct Sink;

private:
    FileLogger() = default;

    WallClock wallClock_;
    std::shared_ptr<Sink> sink_;
    std::unique_ptr<SerialQueue> queue_;
};

}  // namespace mivodrell
