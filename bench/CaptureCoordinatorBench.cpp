// Per-frame cost of the single-display capture coordinator with two 1920 x 1080 displays, next to
// HEVCEncoder::encode alone on the same frames, in the same run and the same loop.
//
// The frames are captured once from the virtual display server ('420f', the synthetic content with
// 2 % noise) and copied, so that the server's rendering stays out of both measurements. Each
// iteration hands one frame of each display to the coordinator as its capture sessions would
// (through the session's frame callback) and waits until both are encoded: the hop onto the
// coordinator's queue, the lookups, the counter, the encode and the callback. It also encodes the
// same two frames with two encoders of its own on the benchmark thread, before or after in turn.
// The counters give the mean time per frame of each, the coordinator's overhead in percent, and
// the median of the rounds' overheads (the figure to read on a busy machine: the thread hops are
// the coordinator's only extra cost, and they are what a loaded machine delays most).

#include "CaptureMac/CaptureCoordinator.h"
#include "CaptureMac/HEVCEncoder.h"
#include "CaptureMac/ScreenCaptureSession.h"
#include "CaptureMac/SyntheticDisplayContent.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Capture/Virtual/VirtualCaptureServer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

namespace mivodrell {
namespace {

constexpr int frameCount = 8;
constexpr int width = 1920;
constexpr int height = 1080;
const EncoderSettings settings{1.0, 8'000'000, 2.0, 60.0};

std::shared_ptr<PixelBuffer> copyOf(const PixelBuffer& source) {
    auto copy = PixelBuffer::create(source.width(), source.height(), source.pixelFormat()).buffer;
    for (std::size_t plane = 0; plane < source.planeCount(); ++plane) {
        const std::size_t rowBytes = std::min(source.bytesPerRowOfPlane(plane), copy->bytesPerRowOfPlane(plane));
        for (int row = 0; row < source.heightOfPlane(plane); ++row) {
            std::memcpy(copy->baseAddressOfPlane(plane) + static_cast<std::size_t>(row) * copy->bytesPerRowOfPlane(plane),
                        source.baseAddressOfPlane(plane) + static_cast<std::size_t>(row) * source.bytesPerRowOfPlane(plane),
                        rowBytes);
        }
    }
    return copy;
}

// Counts down the frames of one iteration.
struct Latch {
    std::mutex mutex;
    std::condition_variable done;
    int remaining = 0;

    void arm(int count) {
        std::lock_guard<std::mutex> lock(mutex);
        remaining = count;
    }
    void countDown() {
        std::lock_guard<std::mutex> lock(mutex);
        if (--remaining == 0) done.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [&] { return remaining <= 0; });
    }
};

void BM_CaptureCoordinatorTwo1080pDisplays(benchmark::State& state) {
    auto server = VirtualCaptureServer::create({VirtualCaptureServer::Clocking::manual, true});
    const std::vector<CaptureDisplay> displays{{1, CGRect(0, 0, width, height), 1.0, true, "Left"},
                                               {2, CGRect(width, 0, width, height), 1.0, false, "Right"}};
    for (const auto& d : displays) server->addDisplay(d);
    server->setContentFunction(syntheticDisplayContent(0.02));

    std::vector<std::shared_ptr<ScreenCaptureSession>> sessions;
    CaptureCoordinator::Collaborators collaborators;
    collaborators.makeCaptureSession = [&] {
        sessions.push_back(ScreenCaptureSession::create(server));
        return sessions.back();
    };
    const HEVCEncoder::Configuration configuration{60.0, 240, 8'000'000};
    auto coordinator = CaptureCoordinator::create(configuration, collaborators);
    CapturePlan plan;
    for (std::uint32_t id : {1u, 2u}) {
        plan.sources.push_back({id, CGRect(0, 0, width, height), CGSize{width, height}, 1.0, true});
        plan.started.push_back(id);
    }

    // The frames: captured by the coordinator's own sessions, copied before they reach it.
    std::array<std::vector<std::shared_ptr<PixelBuffer>>, 2> frames;
    Latch latch;
    coordinator->apply(plan, displays, settings);
    if (sessions.size() != 2) {
        state.SkipWithError("the coordinator did not start both displays");
        return;
    }
    for (std::size_t d = 0; d < 2; ++d) {
        sessions[d]->onFrame = [&, d](const std::shared_ptr<PixelBuffer>& buffer, MediaTime,
                                      const std::optional<CaptureFrameGeometry>&) {
            frames[d].push_back(copyOf(*buffer));
            latch.countDown();
        };
    }
    for (int i = 0; i < frameCount; ++i) {
        latch.arm(2);
        server->invalidateContent();
        server->tick(1.0 / 60);
        latch.wait();
    }
    coordinator->stop();

    // Restarted: the sessions' frame callbacks are the coordinator's again. Nothing ticks the
    // server from here on; the frames come from the benchmark.
    sessions.clear();
    coordinator->onEncodedFrame = [&](std::uint32_t, const EncodedFrame& frame) {
        benchmark::DoNotOptimize(frame.payload.size());
        latch.countDown();
    };
    bool failed = false;
    coordinator->onError = [&](std::uint32_t, std::exception_ptr) {
        failed = true;
        latch.countDown();
    };
    coordinator->apply(plan, displays, settings);
    std::array<std::unique_ptr<HEVCEncoder>, 2> encoders;
    for (auto& encoder : encoders) {
        encoder = std::make_unique<HEVCEncoder>(width, height, configuration, true);
        encoder->apply(settings);
    }

    using Clock = std::chrono::steady_clock;
    double coordinatorSeconds = 0;
    double encoderSeconds = 0;
    std::int64_t index = 0;
    std::vector<double> roundRatios;
    // The two halves alternate in order, so that neither always finds the frames in the cache.
    auto oneRound = [&](bool timed) {
        const auto i = static_cast<std::size_t>(index % frameCount);
        const MediaTime time = MediaTime::make(index, 60);
        double viaSeconds = 0, aloneSeconds = 0;
        auto viaCoordinator = [&] {
            const auto start = Clock::now();
            latch.arm(2);
            for (std::size_t d = 0; d < 2; ++d) sessions[d]->onFrame(frames[d][i], time, std::nullopt);
            latch.wait();
            viaSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        };
        auto encoderAlone = [&] {
            const auto start = Clock::now();
            for (std::size_t d = 0; d < 2; ++d) {
                const EncodedFrame frame =
                    encoders[d]->encode(frames[d][i], static_cast<std::uint32_t>(index), time, false);
                benchmark::DoNotOptimize(frame.payload.size());
            }
            aloneSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        };
        if (index % 2 == 0) {
            viaCoordinator();
            encoderAlone();
        } else {
            encoderAlone();
            viaCoordinator();
        }
        if (timed) {
            coordinatorSeconds += viaSeconds;
            encoderSeconds += aloneSeconds;
            roundRatios.push_back(viaSeconds / aloneSeconds);
        }
        ++index;
    };
    for (int i = 0; i < 3; ++i) oneRound(false);
    for (auto _ : state) oneRound(true);
    coordinator->stop();
    if (failed) state.SkipWithError("an encode failed");

    const double frames2 = 2.0 * static_cast<double>(state.iterations());
    state.counters["coordinator_ms/frame"] = coordinatorSeconds * 1e3 / frames2;
    state.counters["encode_ms/frame"] = encoderSeconds * 1e3 / frames2;
    state.counters["overhead_%"] = encoderSeconds > 0 ? (coordinatorSeconds / encoderSeconds - 1.0) * 100.0 : 0.0;
    // The two halves of one round run back to back, so the median of the rounds' ratios holds up
    // best when other work on the machine comes and goes.
    if (!roundRatios.empty()) {
        std::nth_element(roundRatios.begin(), roundRatios.begin() + static_cast<std::ptrdiff_t>(roundRatios.size() / 2),
                         roundRatios.end());
        state.counters["median_overhead_%"] = (roundRatios[roundRatios.size() / 2] - 1.0) * 100.0;
    }
}
BENCHMARK(BM_CaptureCoordinatorTwo1080pDisplays)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

}  // namespace
}  // namespace mivodrell
