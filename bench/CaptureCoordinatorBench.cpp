// Per-frame cost of the single-display capture coordinator with two 1920 x 1080 displays, next to
// HEVCEncoder::encode alone on the same frames, in the same run.
//
// The frames are captured once from the virtual display server ('420f', the synthetic content with
// 2 % noise) and copied, so that the server's rendering stays out of every measurement. A round
// hands one frame of each display to the coordinator as its capture sessions would (through the
// session's frame callback) and waits until both are encoded: the hop onto the coordinator's
// queue, the lookups, the counter, the encode and the callback. It also encodes the same two
// frames with two encoders of its own on the benchmark thread, before or after in turn.
//
// BM_CaptureCoordinatorTwo1080pDisplays does this with x265 on both sides: the direct figure,
// which needs a quiet machine, since a few percent is within the noise of a busy one.
// BM_CaptureCoordinatorOwnCostTwo1080pDisplays isolates what the coordinator adds with scripted
// encoder sessions on both sides, over many rounds, and sets it against the x265 encode time.

#include "CaptureMac/CaptureCoordinator.h"
#include "CaptureMac/HEVCEncoder.h"
#include "CaptureMac/ScreenCaptureSession.h"
#include "CaptureMac/SyntheticDisplayContent.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Capture/Virtual/VirtualCaptureServer.h"
#include "Platform/Codec/VirtualCompressionSession.h"

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
using Clock = std::chrono::steady_clock;

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

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Two 1080p displays on the virtual server, a coordinator capturing both, eight frames of each
// display copied out of its sessions, and the coordinator restarted so that the frames can be
// handed to its sessions' frame callbacks. Two encoders of its own for the same frames beside it.
struct Rig {
    std::shared_ptr<VirtualCaptureServer> server =
        VirtualCaptureServer::create({VirtualCaptureServer::Clocking::manual, true});
    std::vector<CaptureDisplay> displays{{1, CGRect(0, 0, width, height), 1.0, true, "Left"},
                                         {2, CGRect(width, 0, width, height), 1.0, false, "Right"}};
    std::vector<std::shared_ptr<ScreenCaptureSession>> sessions;
    std::shared_ptr<CaptureCoordinator> coordinator;
    std::array<std::vector<std::shared_ptr<PixelBuffer>>, 2> frames;
    std::array<std::unique_ptr<HEVCEncoder>, 2> encoders;
    Latch latch;
    bool failed = false;

    explicit Rig(const HEVCEncoder::Backend& encoderBackend) {
        for (const auto& d : displays) server->addDisplay(d);
        server->setContentFunction(syntheticDisplayContent(0.02));
        CaptureCoordinator::Collaborators collaborators;
        collaborators.makeCaptureSession = [this] {
            sessions.push_back(ScreenCaptureSession::create(server));
            return sessions.back();
        };
        collaborators.encoderBackend = encoderBackend;
        const HEVCEncoder::Configuration configuration{60.0, 240, 8'000'000};
        coordinator = CaptureCoordinator::create(configuration, collaborators);
        CapturePlan plan;
        for (std::uint32_t id : {1u, 2u}) {
            plan.sources.push_back({id, CGRect(0, 0, width, height), CGSize{width, height}, 1.0, true});
            plan.started.push_back(id);
        }

        // The frames: captured by the coordinator's own sessions, copied before they reach it.
        coordinator->apply(plan, displays, settings);
        if (sessions.size() != 2) {
            failed = true;
            return;
        }
        for (std::size_t d = 0; d < 2; ++d) {
            sessions[d]->onFrame = [this, d](const std::shared_ptr<PixelBuffer>& buffer, MediaTime,
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
        coordinator->onEncodedFrame = [this](std::uint32_t, const EncodedFrame& frame) {
            benchmark::DoNotOptimize(frame.payload.size());
            latch.countDown();
        };
        coordinator->onError = [this](std::uint32_t, std::exception_ptr) {
            failed = true;
            latch.countDown();
        };
        coordinator->apply(plan, displays, settings);
        for (auto& encoder : encoders) {
            encoder = std::make_unique<HEVCEncoder>(width, height, configuration, true, encoderBackend);
            encoder->apply(settings);
        }
    }
    ~Rig() {
        if (coordinator) coordinator->stop();
    }

    // One frame of each display through the coordinator, until both are encoded; seconds.
    double viaCoordinator(std::int64_t index) {
        const auto i = static_cast<std::size_t>(index % frameCount);
        const auto start = Clock::now();
        latch.arm(2);
        for (std::size_t d = 0; d < 2; ++d) sessions[d]->onFrame(frames[d][i], MediaTime::make(index, 60), std::nullopt);
        latch.wait();
        return std::chrono::duration<double>(Clock::now() - start).count();
    }
    // The same two frames with the rig's own encoders on this thread; seconds.
    double encoderAlone(std::int64_t index) {
        const auto i = static_cast<std::size_t>(index % frameCount);
        const auto start = Clock::now();
        for (std::size_t d = 0; d < 2; ++d) {
            const EncodedFrame frame =
                encoders[d]->encode(frames[d][i], static_cast<std::uint32_t>(index), MediaTime::make(index, 60), false);
            benchmark::DoNotOptimize(frame.payload.size());
        }
        return std::chrono::duration<double>(Clock::now() - start).count();
    }
    // Both, before or after in turn so that neither always finds the frames in the cache.
    std::pair<double, double> round(std::int64_t index) {
        if (index % 2 == 0) {
            const double via = viaCoordinator(index);
            return {via, encoderAlone(index)};
        }
        const double alone = encoderAlone(index);
        return {viaCoordinator(index), alone};
    }
};

// The coordinator with x265 against x265 through HEVCEncoder::encode alone.
void BM_CaptureCoordinatorTwo1080pDisplays(benchmark::State& state) {
    Rig rig(HEVCEncoder::Backend{});
    if (rig.failed) {
        state.SkipWithError("the coordinator did not start both displays");
        return;
    }
    double coordinatorSeconds = 0, encoderSeconds = 0;
    std::vector<double> ratios;
    std::int64_t index = 0;
    for (; index < 3; ++index) rig.round(index);
    for (auto _ : state) {
        const auto [via, alone] = rig.round(index++);
        coordinatorSeconds += via;
        encoderSeconds += alone;
        ratios.push_back(via / alone);
    }
    if (rig.failed) state.SkipWithError("an encode failed");
    const double frames = 2.0 * static_cast<double>(state.iterations());
    state.counters["coordinator_ms/frame"] = coordinatorSeconds * 1e3 / frames;
    state.counters["encode_ms/frame"] = encoderSeconds * 1e3 / frames;
    state.counters["overhead_%"] = encoderSeconds > 0 ? (coordinatorSeconds / encoderSeconds - 1.0) * 100.0 : 0.0;
    state.counters["median_overhead_%"] = (median(ratios) - 1.0) * 100.0;
}
BENCHMARK(BM_CaptureCoordinatorTwo1080pDisplays)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

// The coordinator's own cost, without the encoder's: the same rig with scripted encoder sessions
// that answer at once, so both halves differ only by what the coordinator adds (the hops onto and
// off its queue, the lookups, the counter, the callback). That difference per frame, set against a
// real x265 encode of the same 1080p frames measured afterwards in the same run, is the overhead.
// Many rounds make its median hold up on a busy machine.
void BM_CaptureCoordinatorOwnCostTwo1080pDisplays(benchmark::State& state) {
    double encodeSecondsPerFrame = 0;
    {
        Rig real(HEVCEncoder::Backend{});
        std::vector<double> perFrame;
        for (std::int64_t index = 0; index < 3 + 16; ++index) {
            const double seconds = real.encoderAlone(index) / 2;
            if (index >= 3) perFrame.push_back(seconds);
        }
        encodeSecondsPerFrame = median(perFrame);
    }
    Rig rig(HEVCEncoder::Backend{VirtualCompressionSession::factory({}), 5.0});
    if (rig.failed) {
        state.SkipWithError("the coordinator did not start both displays");
        return;
    }
    std::vector<double> differences;
    std::int64_t index = 0;
    for (; index < 16; ++index) rig.round(index);
    for (auto _ : state) {
        const auto [via, alone] = rig.round(index++);
        differences.push_back((via - alone) / 2);
    }
    if (rig.failed) state.SkipWithError("an encode failed");
    const double own = median(differences);
    state.counters["coordinator_us/frame"] = own * 1e6;
    state.counters["x265_encode_ms/frame"] = encodeSecondsPerFrame * 1e3;
    state.counters["overhead_%"] = encodeSecondsPerFrame > 0 ? own / encodeSecondsPerFrame * 100.0 : 0.0;
}
BENCHMARK(BM_CaptureCoordinatorOwnCostTwo1080pDisplays)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace mivodrell
