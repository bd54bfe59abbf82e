// The main job's screen pipeline run in process, to show what the main job itself cannot:
// bench/stream-goals.sh runs it next to the main job. Skipped unless MIVODRELL_BENCH_STREAM_SOURCE
// names a source: "x11:DISPLAY" (an X screen) or "virtual" (the main job's two virtual 1080p
// displays). MIVODRELL_BENCH_STREAM_SECONDS (default 20) and MIVODRELL_BENCH_STREAM_PHONE (WxH,
// default 1920x1080) match the main job's --seconds and --phone.
//
// 1. Stream: the composite coordinator built and driven as the main job drives it (the same
//    viewport script, planners, encoder policy and 30 Hz re-plan, the real 60 Hz render timer),
//    its x265 session observed. Every encoded frame is decoded (libavcodec) and compared with the
//    composited picture the encoder was given (its planes, or a plain BT.709 conversion of a 'BGRA'
//    picture): the PSNR of
//    exactly what the main job records, per 5 s window next to the coordinator's own mean tick.
//    Frames that arrive while the comparison lags are decoded but not compared.
// 2. Alone, on the same frames: a window of the composited pictures kept from the stream is
//    encoded again, with the stream's time stamps (which set each frame's share of the bit rate),
//    by a fresh HEVCEncoder with the same settings, each after a composite of the
//    same source, crop and output size (composite cost does not depend on the pixels), with
//    nothing else running: "composite + encode alone" per tick, set against the stream's tick.
// 3. x265 with the same settings on the same pictures: the pictures, quantisers, slice types and
//    settings that step 2's session handed to x265 are given to a bare x265 encoder: the time
//    inside x265_encoder_encode there and in step 2's session, from outside the call.
//
// Lines starting "stream-replica" on standard output carry the figures for the script.

#include "CaptureCore/CaptureSourcePlanner.h"
#include "CaptureCore/CompositeOutputPlanner.h"
#include "CaptureCore/EncoderPolicy.h"
#include "CaptureMac/CompositeCaptureCoordinator.h"
#include "CaptureMac/CompositeFrameRenderer.h"
#include "CaptureMac/HEVCEncoder.h"
#include "CaptureMac/ScreenCaptureSession.h"
#include "Platform/Capture/CaptureBackendFactory.h"
#include "Platform/Capture/Virtual/VirtualCaptureServer.h"
#include "Platform/Codec/X265CompressionSession.h"
#include "Platform/Compute/ComputeDevice.h"
#include "ViewportCore/DisplayTopology.h"
#include "tests/support/HEVCTestDecoder.h"

#include <benchmark/benchmark.h>
#include <x265.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <numbers>
#include <thread>

namespace mivodrell {
namespace {

using Clock = std::chrono::steady_clock;
constexpr double windowSeconds = 5.0;
constexpr int keptFrames = 90;
constexpr double keepFromSeconds = 6.0;

double msSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

// The main job's viewport script (tools/mivodrell-stream, the default "pan").
CGRect viewportAt(const CGRect& bounds, double aspect, double t) {
    const double fullWidth = std::min(bounds.width(), bounds.height() * aspect);
    const double phase = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * t / 8.0);
    const double width = std::min(fullWidth, 1920.0);
    const double centerX = bounds.minX() + width / 2 + phase * (bounds.width() - width);
    const double height = width / aspect;
    return CGRect{centerX - width / 2, bounds.midY() - height / 2, width, height};
}

// One picture as x265 was given it: planes, quantiser, slice type and settings.
struct X265Input {
    x265_param parameters{};
    int forceQP = 0;
    int sliceType = X265_TYPE_AUTO;
    int width = 0, height = 0;
    std::vector<std::uint8_t> y, u, v;
};

// Watches one x265 session: what goes in, how long x265 takes, what comes out.
struct Observer {
    std::mutex mutex;
    std::deque<std::pair<std::shared_ptr<const PixelBuffer>, MediaTime>> pending;  // submitted, not yet answered
    Clock::time_point x265Start;
    std::vector<double> x265Ms;      // per answered frame
    bool keepInputs = false;         // copy each x265 input into `inputs`
    std::vector<X265Input> inputs;
    std::function<void(std::shared_ptr<const PixelBuffer>, MediaTime, SampleBufferRef)> onAnswer;

    void beforeEncode(const x265_param& parameters, const x265_picture& picture) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!keepInputs) {
            x265Start = Clock::now();
            return;
        }
        X265Input in;
        in.parameters = parameters;
        in.forceQP = picture.forceqp;
        in.sliceType = picture.sliceType;
        in.width = parameters.sourceWidth;
        in.height = parameters.sourceHeight;
        const auto copy = [](const void* plane, int stride, int w, int h, std::vector<std::uint8_t>& out) {
            out.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
            for (int row = 0; row < h; ++row) {
                std::memcpy(out.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(w),
                            static_cast<const std::uint8_t*>(plane) + static_cast<std::ptrdiff_t>(row) * stride,
                            static_cast<std::size_t>(w));
            }
        };
        copy(picture.planes[0], picture.stride[0], in.width, in.height, in.y);
        copy(picture.planes[1], picture.stride[1], (in.width + 1) / 2, (in.height + 1) / 2, in.u);
        copy(picture.planes[2], picture.stride[2], (in.width + 1) / 2, (in.height + 1) / 2, in.v);
        inputs.push_back(std::move(in));
        x265Start = Clock::now();  // the copies above are not x265's time
    }
    void answered(const SampleBufferRef& sample) {
        std::pair<std::shared_ptr<const PixelBuffer>, MediaTime> input;
        {
            std::lock_guard<std::mutex> lock(mutex);
            x265Ms.push_back(msSince(x265Start));
            if (!pending.empty()) {
                input = std::move(pending.front());
                pending.pop_front();
            }
        }
        if (onAnswer) onAnswer(std::move(input.first), input.second, sample);
    }
};

class ObservedSession final : public CompressionSession {
public:
    ObservedSession(std::shared_ptr<CompressionSession> inner, std::shared_ptr<Observer> observer)
        : inner_(std::move(inner)), observer_(std::move(observer)) {}
    std::int32_t setProperty(CompressionPropertyKey key, const CompressionPropertyValue& value) override {
        return inner_->setProperty(key, value);
    }
    std::int32_t encodeFrame(std::shared_ptr<const PixelBuffer> image, MediaTime pts, MediaTime duration,
                             const std::optional<EncodeFrameOptions>& options, std::shared_ptr<void> context) override {
        {
            std::lock_guard<std::mutex> lock(observer_->mutex);
            observer_->pending.emplace_back(image, pts);
        }
        return inner_->encodeFrame(std::move(image), pts, duration, options, std::move(context));
    }
    std::int32_t prepareToEncodeFrames() override { return inner_->prepareToEncodeFrames(); }
    void invalidate() override { inner_->invalidate(); }

private:
    std::shared_ptr<CompressionSession> inner_;
    std::shared_ptr<Observer> observer_;
};

HEVCEncoder::Backend observedBackend(const std::shared_ptr<Observer>& observer) {
    HEVCEncoder::Backend backend;
    backend.createSession = [observer](const CompressionSession::Parameters& p) {
        CompressionSession::Parameters q = p;
        q.outputCallback = [observer, original = p.outputCallback](std::shared_ptr<void> context, std::int32_t status,
                                                                   SampleBufferRef sample) {
            observer->answered(sample);
            if (original) original(std::move(context), status, std::move(sample));
        };
        X265SessionOptions options;
        options.beforeEncode = [observer](const x265_param& parameters, const x265_picture& picture) {
            observer->beforeEncode(parameters, picture);
        };
        auto created = createX265CompressionSession(q, options);
        if (created.session) created.session = std::make_shared<ObservedSession>(created.session, observer);
        return created;
    };
    return backend;
}

// What the encoder was given, as plain video-range 4:2:0: planar pictures (the compositor's) as
// they are, 'BGRA' through a plain BT.709 conversion.
testing::YUVPicture reference(const PixelBuffer& input) {
    if (input.pixelFormat() != PixelFormat::yuv420PlanarVideoRange) return testing::referenceI420(input);
    testing::YUVPicture out;
    out.width = input.width();
    out.height = input.height();
    const auto plane = [&](std::size_t p, int w, int h, std::vector<std::uint8_t>& to) {
        to.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
        for (int row = 0; row < h; ++row) {
            std::memcpy(to.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(w),
                        input.baseAddressOfPlane(p) + static_cast<std::size_t>(row) * input.bytesPerRowOfPlane(p),
                        static_cast<std::size_t>(w));
        }
    };
    plane(0, out.width, out.height, out.y);
    plane(1, (out.width + 1) / 2, (out.height + 1) / 2, out.u);
    plane(2, (out.width + 1) / 2, (out.height + 1) / 2, out.v);
    return out;
}

// Decodes every answered frame in order and compares it with its input while it keeps up.
class QualityProbe {
public:
    explicit QualityProbe(Clock::time_point start) : start_(start), thread_([this] { run(); }) {}
    ~QualityProbe() { finish(); }
    // Compares what is still queued, then stops.
    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    void add(std::shared_ptr<const PixelBuffer> input, SampleBufferRef sample) {
        if (!sample || !sample->dataBuffer) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back({std::move(input), std::move(sample), msSince(start_) / 1000});
        }
        ready_.notify_one();
    }
    struct Window {
        double psnrSum = 0;
        int compared = 0, decoded = 0, failed = 0;
    };
    std::map<int, Window> windows() {
        std::lock_guard<std::mutex> lock(mutex_);
        return windows_;
    }

private:
    struct Item {
        std::shared_ptr<const PixelBuffer> input;
        SampleBufferRef sample;
        double seconds;
    };
    void run() {
        std::unique_ptr<testing::HEVCTestDecoder> decoder;
        for (;;) {
            Item item;
            std::size_t behind = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
                if (queue_.empty()) return;
                item = std::move(queue_.front());
                queue_.pop_front();
                behind = queue_.size();
            }
            const int window = static_cast<int>(item.seconds / windowSeconds);
            double value = -1;
            bool failed = false;
            try {
                if (!decoder && item.sample->videoFormat) {
                    decoder = std::make_unique<testing::HEVCTestDecoder>(item.sample->videoFormat->parameterSets);
                }
                const auto pictures = decoder ? decoder->decode(*item.sample->dataBuffer) : std::vector<testing::DecodedPicture>{};
                failed = pictures.size() != 1;
                if (!failed && behind < 3 && item.input) value = testing::psnr(pictures[0], reference(*item.input));
            } catch (const std::exception&) {
                failed = true;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            Window& w = windows_[window];
            ++w.decoded;
            if (failed) ++w.failed;
            if (value >= 0) {
                w.psnrSum += value;
                ++w.compared;
            }
        }
    }
    Clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Item> queue_;
    std::map<int, Window> windows_;
    bool stopping_ = false;
    std::thread thread_;
};

struct Source {
    std::shared_ptr<CaptureBackend> backend;
    std::string why;  // when there is none
};

Source openSource(const std::string& name) {
    if (name == "virtual") {
        auto server = VirtualCaptureServer::create();
        for (int i = 0; i < 2; ++i) {
            server->addDisplay(CaptureDisplay{std::uint32_t(i + 1), CGRect{1920.0 * i, 0, 1920, 1080}, 1.0, i == 0,
                                              "Virtual " + std::to_string(i + 1)});
        }
        return {server, ""};
    }
    if (name.rfind("x11:", 0) != 0) return {nullptr, "MIVODRELL_BENCH_STREAM_SOURCE is x11:DISPLAY or virtual"};
    CaptureBackendRequest request;
    request.screen = CaptureBackendRequest::Screen::x11;
    request.x11Display = name.substr(4);
    CaptureBackends backends = makeCaptureBackends(request);
    if (!backends.screenIsX11) return {nullptr, "cannot open X display " + request.x11Display};
    return {backends.screen, ""};
}

double mean(const std::vector<double>& v, std::size_t from = 0) {
    if (v.size() <= from) return 0;
    double sum = 0;
    for (std::size_t i = from; i < v.size(); ++i) sum += v[i];
    return sum / static_cast<double>(v.size() - from);
}

// Composites of the plan's crop from a few frames of the same source, each render after a
// fresh update, so nothing is reused.
class CompositeAlone {
public:
    CompositeAlone(std::shared_ptr<CaptureBackend> backend, const CapturePlan& plan, const std::vector<CaptureDisplay>& displays,
                   DisplayTopology topology, CGRect crop, CGSize output)
        : topology_(std::move(topology)), crop_(crop), output_(output) {
        for (const CaptureSource& source : plan.sources) {
            const auto display = std::find_if(displays.begin(), displays.end(), [&](const auto& d) { return d.displayID == source.displayID; });
            if (display == displays.end()) continue;
            auto session = ScreenCaptureSession::create(backend);
            session->onFrame = [this, source](const std::shared_ptr<PixelBuffer>& b, MediaTime, const auto&) {
                std::lock_guard<std::mutex> lock(mutex_);
                auto& list = frames_[source.displayID];
                if (list.size() < 4) list.push_back({copyOf(*b), source.sourceRect});
            };
            try {
                session->start(*display, source, PixelFormat::yuv420BiPlanarFullRange);
                sessions_.push_back(session);
            } catch (const std::exception&) {
            }
        }
        for (int i = 0; i < 100 && !complete(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (auto& s : sessions_) s->stop();
    }
    bool complete() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (frames_.size() < sessions_.size() || sessions_.empty()) return false;
        for (const auto& [id, list] : frames_) if (list.size() < 4) return false;
        return true;
    }
    // One composite; its milliseconds, or a negative value when there is no picture.
    double renderMs(int tick) {
        for (const auto& [id, list] : frames_) {
            const auto& f = list[static_cast<std::size_t>(tick) % list.size()];
            renderer_->update(id, f.buffer, f.rect, {0, 0, 1, 1});
        }
        const auto start = Clock::now();
        const auto picture = renderer_->render(topology_, crop_, output_);
        return picture ? msSince(start) : -1;
    }

private:
    struct Frame {
        std::shared_ptr<PixelBuffer> buffer;
        CGRect rect;
    };
    static std::shared_ptr<PixelBuffer> copyOf(const PixelBuffer& b) {
        auto copy = PixelBuffer::create(b.width(), b.height(), b.pixelFormat()).buffer;
        for (int plane = 0; copy && plane < static_cast<int>(b.planeCount()); ++plane) {
            std::memcpy(copy->baseAddressOfPlane(plane), b.baseAddressOfPlane(plane),
                        std::min(copy->bytesPerRowOfPlane(plane), b.bytesPerRowOfPlane(plane)) * b.heightOfPlane(plane));
        }
        return copy;
    }
    DisplayTopology topology_;
    CGRect crop_;
    CGSize output_;
    std::vector<std::shared_ptr<ScreenCaptureSession>> sessions_;
    std::mutex mutex_;
    std::map<std::uint32_t, std::vector<Frame>> frames_;
    std::unique_ptr<CompositeFrameRenderer> renderer_ = CompositeFrameRenderer::create(ComputeDevice::systemDefault());
};

// Bare x265 on the pictures, quantisers, slice types and settings a session gave it; the
// milliseconds of each x265_encoder_encode.
std::vector<double> bareX265(const std::vector<X265Input>& inputs) {
    std::vector<double> ms;
    if (inputs.empty()) return ms;
    x265_param* p = x265_param_alloc();
    *p = inputs.front().parameters;
    const std::string pools = std::to_string(availableCoreCount());
    p->numaPools = pools.c_str();
    p->csvfn = nullptr;
    x265_encoder* encoder = x265_encoder_open(p);
    p->numaPools = nullptr;
    if (!encoder) {
        x265_param_free(p);
        return ms;
    }
    x265_picture picture, output;
    x265_picture_init(p, &picture);
    x265_picture_init(p, &output);
    const x265_param* current = &inputs.front().parameters;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const X265Input& in = inputs[i];
        const x265_param& q = in.parameters;
        if (q.rdLevel != current->rdLevel || q.searchMethod != current->searchMethod || q.subpelRefine != current->subpelRefine ||
            q.maxNumMergeCand != current->maxNumMergeCand || q.bEnableEarlySkip != current->bEnableEarlySkip ||
            q.bEnableFastIntra != current->bEnableFastIntra) {
            x265_param* r = x265_param_alloc();
            x265_encoder_parameters(encoder, r);
            std::tie(r->rdLevel, r->searchMethod, r->subpelRefine, r->maxNumMergeCand, r->bEnableEarlySkip, r->bEnableFastIntra) =
                std::tuple(q.rdLevel, q.searchMethod, q.subpelRefine, q.maxNumMergeCand, q.bEnableEarlySkip, q.bEnableFastIntra);
            r->numaPools = nullptr;
            x265_encoder_reconfig(encoder, r);
            x265_param_free(r);
            current = &q;
        }
        picture.planes[0] = const_cast<std::uint8_t*>(in.y.data());
        picture.planes[1] = const_cast<std::uint8_t*>(in.u.data());
        picture.planes[2] = const_cast<std::uint8_t*>(in.v.data());
        picture.stride[0] = in.width;
        picture.stride[1] = picture.stride[2] = (in.width + 1) / 2;
        picture.forceqp = in.forceQP;
        picture.sliceType = in.sliceType;
        picture.pts = static_cast<std::int64_t>(i);
        x265_nal* nals = nullptr;
        std::uint32_t count = 0;
        const auto start = Clock::now();
        x265_encoder_encode(encoder, &nals, &count, &picture, &output);
        ms.push_back(msSince(start));
    }
    x265_encoder_close(encoder);
    x265_param_free(p);
    return ms;
}

void BM_StreamReplica(benchmark::State& state) {
    const char* sourceName = std::getenv("MIVODRELL_BENCH_STREAM_SOURCE");
    if (!sourceName) {
        state.SkipWithError("set MIVODRELL_BENCH_STREAM_SOURCE=x11:DISPLAY or virtual");
        return;
    }
    const double seconds = std::max(10.0, std::atof(std::getenv("MIVODRELL_BENCH_STREAM_SECONDS") ? std::getenv("MIVODRELL_BENCH_STREAM_SECONDS") : "20"));
    int phoneW = 1920, phoneH = 1080;
    if (const char* phone = std::getenv("MIVODRELL_BENCH_STREAM_PHONE")) std::sscanf(phone, "%dx%d", &phoneW, &phoneH);
    for (auto _ : state) {
        Source source = openSource(sourceName);
        if (!source.backend) {
            state.SkipWithError(source.why.c_str());
            return;
        }
        std::vector<CaptureDisplay> displays;
        try {
            displays = ShareableContentFetcher::currentDisplays(10, source.backend);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return;
        }
        std::vector<DisplayInfo> infos;
        for (const auto& d : displays) infos.emplace_back(d.displayID, d.frame, d.scale, d.isMain, d.name);
        const DisplayTopology topology(infos);

        // 1. The stream.
        const auto start = Clock::now();
        auto observer = std::make_shared<Observer>();
        auto probe = std::make_unique<QualityProbe>(start);
        std::mutex keptMutex;
        std::vector<std::shared_ptr<const PixelBuffer>> kept;
        std::vector<double> keptTimes;  // their presentation times: the encode alone spaces frames as the stream did
        observer->onAnswer = [&](std::shared_ptr<const PixelBuffer> input, MediaTime pts, SampleBufferRef sample) {
            if (msSince(start) / 1000 >= keepFromSeconds && input) {
                std::lock_guard<std::mutex> lock(keptMutex);
                if (kept.size() < keptFrames) {
                    kept.push_back(input);
                    keptTimes.push_back(pts.seconds());
                }
            }
            probe->add(std::move(input), std::move(sample));
        };
        CompositeCaptureCoordinator::Collaborators collaborators;
        collaborators.captureBackend = source.backend;
        collaborators.encoderBackend = observedBackend(observer);
        auto coordinator = CompositeCaptureCoordinator::create(1.0 / 60, {60.0, 240, 8'000'000}, {16000, 2, 16000}, collaborators);
        if (!coordinator) {
            state.SkipWithError("no compositor");
            return;
        }
        std::mutex tickMutex;
        std::map<int, std::pair<double, int>> ticks;  // window -> mean tick, ticks
        coordinator->setOnDiagnostic([&](const std::string& line) {
            const auto at = line.find("平均 ");
            if (line.find("合成+編碼") == std::string::npos || at == std::string::npos) return;
            const double avg = std::strtod(line.c_str() + at + std::string("平均 ").size(), nullptr);
            const auto count = line.find("（");
            const int n = count == std::string::npos ? 0 : std::atoi(line.c_str() + count + std::string("（").size());
            std::lock_guard<std::mutex> lock(tickMutex);
            ticks[static_cast<int>(msSince(start) / 1000 / windowSeconds - 0.5)] = {avg, n};
        });
        CaptureSourcePlanner::Configuration plannerConfiguration;
        plannerConfiguration.captureMarginRatio = 0.24;
        plannerConfiguration.minReconfigureInterval = 0.4;
        CaptureSourcePlanner planner(plannerConfiguration);
        const EncoderPolicy policy(EncoderPolicy::Configuration::preset(1));
        const EncoderSettings settings = policy.settings(LinkQuality::good, 1.0, 1.0, std::nullopt);
        const CGSize phone{double(phoneW), double(phoneH)};
        CapturePlan firstPlan;
        CompositeOutputPlan firstOutput;
        for (int step = 0;; ++step) {
            const double now = msSince(start) / 1000;
            if (now >= seconds) break;
            const CGRect viewport = viewportAt(topology.bounds(), phone.width / phone.height, now);
            const CapturePlan plan = planner.plan(viewport, topology, phone, now);
            const CompositeOutputPlan output = CompositeOutputPlanner::plan(viewport, phone, false, {});
            if (step == 0) std::tie(firstPlan, firstOutput) = std::tuple(plan, output);
            coordinator->apply(plan, displays, topology, output.cropRect, output.outputPixelSize, settings);
            if (const auto focus = topology.displayContaining(CGPoint{viewport.midX(), viewport.midY()})) {
                coordinator->setFocusDisplay(focus->id());
            }
            std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>((step + 1) / 30.0)));
        }
        coordinator->stopAll();
        probe->finish();
        const auto windows = probe->windows();
        const std::vector<double> streamX265 = observer->x265Ms;

        // 2. Composite and encode alone, on the kept pictures; then the same encode once more
        //    with what the session gives x265 kept (copies that are not timed) for step 3.
        const int w = kept.empty() ? 0 : kept.front()->width(), h = kept.empty() ? 0 : kept.front()->height();
        const auto encodeAll = [&](const std::shared_ptr<Observer>& watcher, CompositeAlone* composite,
                                   std::vector<double>& renderTimes, std::vector<double>& encodeTimes) {
            auto encoder = std::make_unique<HEVCEncoder>(w, h, HEVCEncoder::Configuration{60.0, 240, 8'000'000}, true,
                                                         observedBackend(watcher));
            encoder->apply(settings);
            encoder->setSpeedPriority(false);
            for (std::size_t i = 0; i < kept.size(); ++i) {
                if (composite) renderTimes.push_back(composite->renderMs(static_cast<int>(i)));
                const auto t0 = Clock::now();
                const double t = std::isfinite(keptTimes[i]) ? keptTimes[i] - keptTimes.front() : static_cast<double>(i) / 30.0;
                encoder->encode(kept[i], static_cast<std::uint32_t>(i), MediaTime::fromSeconds(100.0 + t, 90000), false);
                encodeTimes.push_back(msSince(t0));
            }
            return encoder;
        };
        std::vector<double> renderMs, encodeMs, unused;
        auto alone = std::make_shared<Observer>();
        alone->keepInputs = true;
        std::unique_ptr<HEVCEncoder> keeping;
        if (!kept.empty()) {
            CompositeAlone composite(source.backend, firstPlan, displays, topology, firstOutput.cropRect, firstOutput.outputPixelSize);
            encodeAll(std::make_shared<Observer>(), &composite, renderMs, encodeMs);
            keeping = encodeAll(alone, nullptr, unused, unused);
        }
        // 3. Bare x265 on what the session gave it (the session stays open: its settings are read).
        const std::vector<double> bareMs = bareX265(alone->inputs);
        keeping.reset();

        state.counters["stream_x265_ms"] = mean(streamX265, 30);
        const double renderMean = mean(renderMs, 1), encodeMean = mean(encodeMs, 1);
        state.counters["alone_composite_ms"] = renderMean;
        state.counters["alone_encode_ms"] = encodeMean;
        state.counters["alone_tick_ms"] = renderMean + encodeMean;
        state.counters["alone_x265_ms"] = mean(alone->x265Ms, 1);
        state.counters["bare_x265_ms"] = mean(bareMs, 1);
        // Per 5 s window: start second, the coordinator's mean tick and tick count, the mean
        // PSNR, frames compared, decoded and failing to decode.
        std::printf("stream-replica source %s output %dx%d kept %zu\n", sourceName, w, h, kept.size());
        std::lock_guard<std::mutex> lock(tickMutex);
        for (const auto& [window, q] : windows) {
            const auto tick = ticks.find(window);
            std::printf("stream-replica window %d tick_ms %.1f ticks %d psnr_dB %.2f compared %d decoded %d failed %d\n",
                        static_cast<int>(window * windowSeconds), tick == ticks.end() ? 0.0 : tick->second.first,
                        tick == ticks.end() ? 0 : tick->second.second, q.compared ? q.psnrSum / q.compared : 0.0, q.compared,
                        q.decoded, q.failed);
        }
        std::printf("stream-replica alone composite_ms %.2f encode_ms %.2f tick_ms %.2f x265_in_session_ms %.2f bare_x265_ms %.2f stream_x265_ms %.2f\n",
                    renderMean, encodeMean, renderMean + encodeMean, mean(alone->x265Ms, 1), mean(bareMs, 1), mean(streamX265, 30));
        std::fflush(stdout);
    }
}

BENCHMARK(BM_StreamReplica)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace mivodrell
