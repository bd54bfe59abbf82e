#include "Platform/Base/CompletionBox.h"
#include "ViewportCore/FileLogger.h"
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>
namespace mivodrell { namespace {
namespace fs = std::filesystem;
// 14:03:07.042999 on 2026-12-06, UTC.
std::timespec fixedTime() { return {1796565787, 42999000}; }
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}
// A fresh directory per test holding the log path, with the clock's zone set to UTC.
class FileLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("filelogger-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "mac.log").string();
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override {
        if (reader_ >= 0) ::close(reader_);
        if (filler_ >= 0) ::close(filler_);
        fs::remove_all(dir_);
    }
    std::string read() const {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void write(const std::string& text) const { std::ofstream(path_, std::ios::binary) << text; }
    // A FIFO at `path_` whose buffer is already full, with a reader that reads nothing until the
    // test says so: a log file that has stopped draining. Returns the filler's byte count.
    std::size_t makeStalledPipe() {
        if (::mkfifo(path_.c_str(), 0644) != 0) return 0;
        reader_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        filler_ = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (reader_ < 0 || filler_ < 0) return 0;
        return fillPipe();
    }
    // Fills every byte of room the pipe has; returns the byte count.
    std::size_t fillPipe() {
        const std::string block(4096, '#');
        std::size_t filled = 0;
        for (const std::size_t size : {block.size(), std::size_t{1}}) {
            for (ssize_t n; (n = ::write(filler_, block.data(), size)) > 0;) filled += static_cast<std::size_t>(n);
        }
        return filled;
    }
    // Reads the pipe into `seen` until the line holding `marker` is complete; false when nothing
    // comes for 10 s.
    bool readThrough(std::string& seen, const std::string& marker) {
        char buffer[65536];
        for (std::size_t at; (at = seen.find(marker)) == std::string::npos || seen.find('\n', at) == std::string::npos;) {
            pollfd ready{reader_, POLLIN, 0};
            if (::poll(&ready, 1, 10000) != 1) return false;
            const ssize_t n = ::read(reader_, buffer, sizeof buffer);
            if (n < 0 && errno == EAGAIN) continue;
            if (n <= 0) return false;
            seen.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }
    // Reads the pipe until every writer has closed it.
    std::string drainToEnd() {
        ::close(filler_);
        filler_ = -1;
        ::fcntl(reader_, F_SETFL, ::fcntl(reader_, F_GETFL) & ~O_NONBLOCK);
        std::string text;
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(reader_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }
    fs::path dir_;
    std::string path_;
    int reader_ = -1;
    int filler_ = -1;
};
// The exact line format with truncated milliseconds; invalid UTF-8 replaced, not dropped. The clock moves
// between the calls and must only ever be read on the calling thread, never later on the queue.
TEST_F(FileLoggerTest, LinesAreStampedWhenLogIsCalled) {
    std::timespec now = fixedTime();
    std::atomic<bool> readElsewhere{false};
    const std::thread::id caller = std::this_thread::get_id();
    {
        auto logger = FileLogger::create(path_, true, [&] {
            if (std::this_thread::get_id() != caller) readElsewhere = true;
            return now;
        });
        logger->log("first");
        now.tv_sec += 3661;
        now.tv_nsec = 999999999;
        logger->log("second");
        logger->log("");
        logger->log(std::string("two\nlines a\xFF" "b\xE4\xBD") + "\xE4\xBD\xA0");
        now.tv_sec += 60;
    }
    EXPECT_FALSE(readElsewhere);
    EXPECT_EQ(read(), "[14:03:07.042] first\n[15:04:08.999] second\n[15:04:08.999] \n"
                      "[15:04:08.999] two\nlines a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD\xE4\xBD\xA0\n");
}
TEST_F(FileLoggerTest, TruncateOrAppend) {
    struct Case { bool truncate; std::string expected; };
    for (const Case& c : {Case{true, "[14:03:07.042] new\n"}, Case{false, "old\n[14:03:07.042] new\n"}}) {
        write("old\n");
        {
            auto logger = FileLogger::create(path_, c.truncate, [] { return fixedTime(); });
            ASSERT_TRUE(logger);
            EXPECT_TRUE(!c.truncate || read().empty());  // emptied before the first line
            logger->log("new");
        }
        EXPECT_EQ(read(), c.expected) << "truncate=" << c.truncate;
    }
}
TEST_F(FileLoggerTest, MissingDirectoryGivesNoLogger) {
    for (const bool truncate : {true, false}) EXPECT_FALSE(FileLogger::create((dir_ / "missing" / "mac.log").string(), truncate));
}
TEST_F(FileLoggerTest, LinesFromManyThreadsAreAllPresentAndWholeAndReleaseFlushesThem) {
    constexpr int threads = 4;
    constexpr int perThread = 5000;
    {
        auto logger = FileLogger::create(path_, true);
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) {
                    logger->log("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                                std::string(40, 'x'));
                }
            });
        }
        for (auto& w : workers) w.join();
        // Released right after the last log call: everything queued must still be written.
    }
    const std::string text = read();
    // The default clock gives a time of day.
    const std::regex stamp(R"(^\[([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d{3}\] thread )");
    EXPECT_TRUE(std::regex_search(text, stamp)) << text.substr(0, 80);
    std::istringstream in(text);
    std::string line;
    std::set<std::string> seen;
    while (std::getline(in, line)) {
        ASSERT_TRUE(line.size() > 55 && line[0] == '[' && line.substr(line.size() - 40) == std::string(40, 'x')) << line;
        seen.insert(line.substr(15));
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(threads * perThread));
}
TEST_F(FileLoggerTest, FullQueueDropsLinesAndSaysHowManyWhenWritingResumes) {
    const std::size_t filler = makeStalledPipe();
    ASSERT_GT(filler, 0u);
    // Each line costs its text plus 64 bytes of the queue: exactly 16 fit in 16 KiB.
    FileLogger::Limits limits;
    limits.maxQueuedBytes = 16 * 1024;
    auto logger = FileLogger::create(path_, true, fixedTime, limits);
    ASSERT_TRUE(logger);
    for (int i = 0; i < 200; ++i) {
        std::string text = "line " + std::to_string(i) + " ";
        text.resize(960, 'x');
        logger->log(std::move(text));
    }
    // Let the pipe drain until the last queued line is through, then log one more.
    std::string seen;
    ASSERT_TRUE(readThrough(seen, "] line 15 "));
    logger->log("after");
    ASSERT_TRUE(readThrough(seen, "] after"));
    // Stalled again: lines dropped now are reported when the logger is released.
    ASSERT_GT(fillPipe(), 0u);
    for (int i = 0; i < 20; ++i) logger->log(std::string(960, 'y'));
    std::thread releaser([&] { logger.reset(); });
    const auto lines = linesOf(seen + drainToEnd());
    releaser.join();
    ASSERT_GE(lines.size(), 19u);  // 16 lines (the first behind the filler), the note, "after", ...
    EXPECT_EQ(lines[0], std::string(filler, '#') + "[14:03:07.042] line 0 " + std::string(953, 'x'));
    for (int i = 1; i < 16; ++i) {
        EXPECT_EQ(lines[static_cast<std::size_t>(i)].substr(15, 6 + std::to_string(i).size()),
                  "line " + std::to_string(i) + " ");
    }
    EXPECT_EQ(lines[16], "[14:03:07.042] 184 log lines were dropped: the log file was not taking them in time");
    EXPECT_EQ(lines[17], "[14:03:07.042] after");
    // ... the 15 or 16 lines that fitted (whether the one before freed its bytes in time), then the note.
    const auto kept = std::count_if(lines.begin() + 18, lines.end(), [](const std::string& l) { return l.ends_with("yyyy"); });
    EXPECT_GE(kept, 15);
    EXPECT_EQ(lines.back(), "[14:03:07.042] " + std::to_string(20 - kept) +
                                " log lines were dropped: the log file was not taking them in time");
}
TEST_F(FileLoggerTest, ReleaseWaitsBoundedlyForAPipeNobodyReads) {
    ASSERT_GT(makeStalledPipe(), 0u);
    FileLogger::Limits limits;
    limits.releaseWaitSeconds = 0.2;
    auto logger = FileLogger::create(path_, true, fixedTime, limits);
    ASSERT_TRUE(logger);
    for (int i = 0; i < 10; ++i) logger->log("stuck " + std::to_string(i));
    auto released = CompletionBox<double>::make();  // the seconds the release took
    std::thread releaser([&] {
        const auto start = std::chrono::steady_clock::now();
        logger.reset();
        released->complete(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    });
    const std::optional<double> waited = released->wait(30);
    if (!waited) drainToEnd();  // unblocks a release that would wait forever, so the test ends
    releaser.join();
    ASSERT_TRUE(waited) << "releasing the logger waited for a pipe nobody reads";
    EXPECT_GE(*waited, limits.releaseWaitSeconds) << "gave up before the pipe had its time";
    // The descriptor is closed: the reader sees the end of the pipe after the filler.
    const std::string rest = drainToEnd();
    EXPECT_EQ(rest.find("stuck 1"), std::string::npos);
}
// Truncated from outside after the logger opened it: the next line starts the file, with no hole (as
// when another writer appends, the logger writes at the end the file has now).
TEST_F(FileLoggerTest, AppendsAtTheEndWhateverElseTruncatesTheFile) {
    write(std::string(100, 'o') + '\n');
    {
        auto logger = FileLogger::create(path_, false, fixedTime);
        ASSERT_TRUE(logger);
        fs::resize_file(path_, 0);
        logger->log("fresh");
    }
    EXPECT_EQ(read(), "[14:03:07.042] fresh\n");
}
}}  // namespace mivodrell
