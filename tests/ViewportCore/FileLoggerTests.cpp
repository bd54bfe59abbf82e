#include "ViewportCore/FileLogger.h"
#include <gtest/gtest.h>
#include <unistd.h>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>
namespace mivodrell { namespace {
namespace fs = std::filesystem;
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
    void TearDown() override { fs::remove_all(dir_); }
    std::string read() const {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void write(const std::string& text) const { std::ofstream(path_, std::ios::binary) << text; }
    // 14:03:07.042999 on 2026-12-06, UTC.
    static std::timespec fixedTime() { return {1796565787, 42999000}; }
    fs::path dir_;
    std::string path_;
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
TEST_F(FileLoggerTest, RealClockStampsParseAsTimeOfDay) {
    {
        auto logger = FileLogger::create(path_, true);
        logger->log("x");
    }
    EXPECT_TRUE(std::regex_match(read(), std::regex(R"(\[([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d{3}\] x\n)"))) << read();
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
    std::istringstream in(read());
    std::string line;
    std::set<std::string> seen;
    while (std::getline(in, line)) {
        ASSERT_EQ(line.size(), 15u + line.substr(15).size());
        ASSERT_EQ(line.substr(line.size() - 40), std::string(40, 'x')) << line;
        seen.insert(line.substr(15));
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(threads * perThread));
}
}}  // namespace mivodrell
