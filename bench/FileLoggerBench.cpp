// FileLogger: what a caller pays per `log` call while four threads log at once, and how many
// lines per second reach the file.

#include "ViewportCore/FileLogger.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace {

using namespace mivodrell;

std::string benchLogPath() {
    return (std::filesystem::temp_directory_path() / ("bench-filelogger-" + std::to_string(::getpid()) + ".log"))
        .string();
}

std::shared_ptr<FileLogger> gLogger;

void BM_FileLoggerLogCallerCost(benchmark::State& state) {
    if (state.thread_index() == 0) gLogger = FileLogger::create(benchLogPath(), true);
    const std::string message = "[CaptureStreaming] 收到第 120 顆 frame，編碼 8.1 ms，位元率 6000000";
    for (auto _ : state) {
        gLogger->log(message);
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        // Releasing the logger drains the queue, after the timed loop.
        gLogger.reset();
        std::filesystem::remove(benchLogPath());
    }
}
BENCHMARK(BM_FileLoggerLogCallerCost)->Threads(4)->UseRealTime()->Iterations(50000);

// Lines written per second: log a batch, then release the logger (which waits until every line
// is on disk).
void BM_FileLoggerLinesWritten(benchmark::State& state) {
    const std::string message = "[CaptureStreaming] 收到第 120 顆 frame，編碼 8.1 ms，位元率 6000000";
    constexpr int lines = 20000;
    for (auto _ : state) {
        auto logger = FileLogger::create(benchLogPath(), true);
        for (int i = 0; i < lines; ++i) logger->log(message);
        logger.reset();
    }
    std::filesystem::remove(benchLogPath());
    state.SetItemsProcessed(state.iterations() * lines);
}
BENCHMARK(BM_FileLoggerLinesWritten)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
