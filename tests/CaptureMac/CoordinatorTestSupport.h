#pragma once
// A composite capture coordinator on the virtual display server (clocked by hand), with scripted
// compression sessions, a ManualClock and a render timer that the test fires. Frames are
// delivered with `deliver`, which waits until the coordinator has taken them in.
#include "CaptureMac/CompositeCaptureCoordinator.h"
#include "CaptureMac/ScreenCaptureSession.h"
#include "Platform/Base/Clock.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Capture/Virtual/VirtualCaptureServer.h"
#include "Platform/Codec/VirtualAudioConverter.h"
#include "Platform/Codec/VirtualCompressionSession.h"
#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
namespace mivodrell::testing {
using Texts = std::vector<std::string>;
// Forwards to the virtual server and remembers every output queue, so that `flush` can wait for what
// it delivered. A test may give screen frames a content rectangle and act on a stream's stop.
class FlushableBackend final : public CaptureBackend {
public:
    explicit FlushableBackend(std::shared_ptr<VirtualCaptureServer> server) : server_(std::move(server)) {}
    std::function<CGRect()> contentRect;
    std::function<void(StreamDelegate&)> onStopCapture;  // before the server is asked
    std::atomic<int> streamsMade{0};
    void getShareableContent(bool a, bool b, ShareableContentCompletion c) override { server_->getShareableContent(a, b, std::move(c)); }
    std::shared_ptr<CaptureStream> makeStream(ContentFilter f, StreamConfiguration s, std::weak_ptr<StreamDelegate> d) override {
        ++streamsMade;
        auto inner = server_->makeStream(std::move(f), std::move(s), d);
        return inner ? std::make_shared<Stream>(inner, this, d) : nullptr;
    }
    Capabilities capabilities() const override { return server_->capabilities(); }
    // Waits for every delivery queued so far on every output queue.
    void flush() {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto queues = queues_;
        lock.unlock();
        for (const auto& weak : queues) if (auto q = weak.lock()) q->sync([] {});
    }
private:
    struct Output final : StreamOutput {
        Output(std::shared_ptr<StreamOutput> inner, FlushableBackend* owner) : inner(std::move(inner)), owner(owner) {}
        void didOutputSampleBuffer(const SampleBufferRef& sample, StreamOutputType type) override {
            const auto* info = sample->attachments && !sample->attachments->empty() ? sample->attachments->front().asDictionary() : nullptr;
            if (!owner->contentRect || type != StreamOutputType::screen || !info) return inner->didOutputSampleBuffer(sample, type);
            const CGRect r = owner->contentRect();
            AttachmentDictionary rect, edited = *info;
            for (const auto& [key, value] : {std::pair{AttachmentKey::rectX, r.origin.x}, {AttachmentKey::rectY, r.origin.y},
                                             {AttachmentKey::rectWidth, r.size.width}, {AttachmentKey::rectHeight, r.size.height}}) rect.set(std::string(key), value);
            edited.set(std::string(AttachmentKey::contentRect), rect);
            auto copy = std::make_shared<SampleBuffer>(*sample);
            copy->attachments = std::vector<AttachmentValue>{AttachmentValue(edited)};
            inner->didOutputSampleBuffer(copy, type);
        }
        std::shared_ptr<StreamOutput> inner;
        FlushableBackend* owner;
    };
    class Stream final : public CaptureStream {
    public:
        Stream(std::shared_ptr<CaptureStream> inner, FlushableBackend* owner, std::weak_ptr<StreamDelegate> delegate)
            : inner_(std::move(inner)), owner_(owner), delegate_(std::move(delegate)) {}
        std::optional<PlatformError> addOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                                               std::shared_ptr<SerialQueue> queue) override {
            { std::lock_guard<std::mutex> lock(owner_->mutex_); owner_->queues_.push_back(queue); }
            return inner_->addOutput(std::make_shared<Output>(std::move(output), owner_), type, std::move(queue));
        }
        void startCapture(CaptureCompletion c) override { inner_->startCapture(std::move(c)); }
        void updateConfiguration(StreamConfiguration s, CaptureCompletion c) override { inner_->updateConfiguration(std::move(s), std::move(c)); }
        void updateContentFilter(ContentFilter f, CaptureCompletion c) override { inner_->updateContentFilter(std::move(f), std::move(c)); }
        void stopCapture(CaptureCompletion c) override {
            if (const auto d = delegate_.lock(); d && owner_->onStopCapture) owner_->onStopCapture(*d);
            inner_->stopCapture(std::move(c));
        }
    private:
        std::shared_ptr<CaptureStream> inner_;
        FlushableBackend* owner_;
        std::weak_ptr<StreamDelegate> delegate_;
    };
    std::shared_ptr<VirtualCaptureServer> server_;
    std::mutex mutex_;
    std::vector<std::weak_ptr<SerialQueue>> queues_;
};
// The render timer, fired by the test on the coordinator's queue; a stopped timer fires nothing.
struct ManualTimer {
    SerialQueue* queue = nullptr;
    std::function<void()> handler;
    double interval = 0;
    int created = 0;
    std::weak_ptr<void> token;
    CompositeCaptureCoordinator::TimerFactory factory() {
        return [this](SerialQueue& q, double i, std::function<void()> h) {
            queue = &q, handler = std::move(h), interval = i, ++created;
            auto t = std::make_shared<int>(0);
            token = t;
            return CompositeCaptureCoordinator::TimerHandle(t);
        };
    }
    void fire() { if (!token.expired()) queue->sync(handler); }
};
// "display: error", the error's text up to a ':' ("1: startFailed"); the end of a stream is "PlatformError(code)".
inline std::string describe(std::uint32_t displayID, const std::exception_ptr& error) {
    std::string text;
    try { std::rethrow_exception(error); } catch (const PlatformError& e) { text = "PlatformError(" + std::to_string(e.code) + ")"; }
    catch (const std::exception& e) { text = e.what(); }
    return std::to_string(displayID) + ": " + text.substr(0, text.find(':'));
}
// Everything a coordinator reports, collected from its queue.
struct Recorded {
    std::mutex mutex;
    Texts logs, errors;
    std::vector<EncodedFrame> frames;
    std::vector<std::pair<int, int>> formats;
    int backlogTrips = 0;
    std::vector<std::pair<std::vector<std::uint8_t>, double>> audio;
    std::vector<std::uint8_t> audioConfig;
};
// Display content: display 1 reddish, display 2 bluish; green rises from left to right across each display.
inline void fillDisplay(const CaptureDisplay& display, std::uint64_t, PixelBuffer& bgra) {
    for (int y = 0; y < bgra.height(); ++y) {
        for (int x = 0; x < bgra.width(); ++x) {
            std::uint8_t* p = bgra.baseAddress() + static_cast<std::size_t>(y) * bgra.bytesPerRow() + static_cast<std::size_t>(x) * 4;
            p[0] = display.displayID == 1 ? 30 : 180, p[1] = static_cast<std::uint8_t>(x * 200 / bgra.width()), p[2] = display.displayID == 1 ? 180 : 30, p[3] = 255;
        }
    }
}
// BT.709 video-range luma of that content at a display-local pixel column.
inline double expectedLuma(std::uint32_t displayID, int localX, int displayWidth) {
    const double b = displayID == 1 ? 30 : 180, r = displayID == 1 ? 180 : 30;
    const double g = localX * 200 / displayWidth;
    return 16 + 219 * (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255;
}
struct CoordinatorHarness {
    std::shared_ptr<VirtualCaptureServer> server = VirtualCaptureServer::create({VirtualCaptureServer::Clocking::manual, true});
    std::shared_ptr<FlushableBackend> backend = std::make_shared<FlushableBackend>(server);
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(100.0);
    ManualTimer timer;
    VirtualCompressionSession::Script script;
    std::mutex sessionsMutex;
    std::vector<std::shared_ptr<VirtualCompressionSession>> sessions;
    std::int32_t sessionCreationStatus = 0;
    std::shared_ptr<VirtualAudioConverter::Behaviour> audio = std::make_shared<VirtualAudioConverter::Behaviour>();
    // Shared with the callbacks: a report still on the coordinator's queue may outlive the harness.
    std::shared_ptr<Recorded> recordedStore = std::make_shared<Recorded>();
    Recorded& recorded = *recordedStore;
    // Display 2 has two pixels per point, so frames carry the geometry of a Retina display.
    std::vector<CaptureDisplay> displays{{1, CGRect(0, 0, 640, 360), 1.0, true, "A"}, {2, CGRect(640, 0, 640, 360), 2.0, false, "B"}};
    std::shared_ptr<CompositeCaptureCoordinator> coordinator;
    // Builds the coordinator on scripted encoders and audio converters (without start-up delay), or
    // on `encoderBackend` and the machine's audio converter.
    explicit CoordinatorHarness(std::optional<HEVCEncoder::Backend> encoderBackend = std::nullopt) {
        for (const auto& d : displays) server->addDisplay(d);
        CompositeCaptureCoordinator::Collaborators c;
        c.captureBackend = backend, c.clock = clock, c.timerFactory = timer.factory();
        c.captureOperationTimeoutSeconds = 2;
        audio->primingFrames = 0;
        if (!encoderBackend) c.audioConverterFactory = VirtualAudioConverter::factory(audio, std::make_shared<VirtualAudioConverter::Journal>());
        if (encoderBackend) c.encoderBackend = *encoderBackend;
        else c.encoderBackend.createSession = [this](const CompressionSession::Parameters& p) {
            return VirtualCompressionSession::factory(script, sessionCreationStatus, [this](std::shared_ptr<VirtualCompressionSession> s) {
                std::lock_guard<std::mutex> lock(sessionsMutex);
                sessions.push_back(std::move(s));
            })(p);
        };
        coordinator = CompositeCaptureCoordinator::create(1.0 / 60, {60.0, 240, 8'000'000}, {16000.0, 2, 16000}, c);
        const std::shared_ptr<Recorded> r = recordedStore;
        const auto locked = [r](auto body) {
            return [r, body](auto&&... args) { std::lock_guard<std::mutex> lock(r->mutex); body(args...); };
        };
        coordinator->onEncodedFrame = locked([r](const EncodedFrame& f) { r->frames.push_back(f); });
        coordinator->onError = locked([r](std::uint32_t id, std::exception_ptr e) { r->errors.push_back(describe(id, e)); });
        coordinator->onVideoFormatAvailable = locked([r](std::int32_t w, std::int32_t h, const auto&, std::int32_t) { r->formats.emplace_back(w, h); });
        coordinator->onBacklogTrip = locked([r] { ++r->backlogTrips; });
        coordinator->onEncodedAudio = locked([r](const std::vector<std::uint8_t>& p, double t) { r->audio.emplace_back(p, t); });
        coordinator->onAudioFormatAvailable = locked([r](double, std::int32_t, const std::vector<std::uint8_t>& config) { r->audioConfig = config; });
        coordinator->setOnDiagnostic(locked([r](const std::string& line) { r->logs.push_back(line); }));
    }
    ~CoordinatorHarness() { backend->onStopCapture = nullptr; if (coordinator) coordinator->stopAll(); }  // no report outlives the harness
    DisplayTopology topology() const {
        std::vector<DisplayInfo> infos;
        for (const auto& d : displays) infos.emplace_back(d.displayID, d.frame, d.scale, d.isMain, d.name);
        return DisplayTopology(infos);
    }
    // A plan of the given displays (each planned at its left half), those of `started` new.
    static CapturePlan plan(std::vector<std::uint32_t> ids, std::vector<std::uint32_t> started = {},
                            std::vector<std::uint32_t> stopped = {}, std::vector<std::uint32_t> reconfigured = {}) {
        CapturePlan p{{}, std::move(started), std::move(stopped), std::move(reconfigured)};
        for (auto id : ids) p.sources.push_back(CaptureSource{id, CGRect(0, 0, 320, 360), CGSize{320, 360}, 1.0, true});
        return p;
    }
    void apply(const CapturePlan& p, CGRect crop = CGRect(0, 0, 1280, 360), CGSize output = {640, 176}, EncoderSettings settings = {1.0, 8'000'000, 3.0, 60.0}) {
        coordinator->apply(p, displays, topology(), crop, output, settings);
    }
    // A plan against another display list, cropping (0, 0, 640, 360).
    void applyWith(const CapturePlan& p, const std::vector<CaptureDisplay>& list, CGSize output = {640, 360}, EncoderSettings s = {}) {
        coordinator->apply(p, list, topology(), CGRect(0, 0, 640, 360), output, s);
    }
    // Both displays started.
    void start(EncoderSettings settings = {1.0, 8'000'000, 3.0, 60.0}) { apply(plan({1, 2}, {1, 2}), CGRect(0, 0, 1280, 360), {640, 176}, settings); }
    // Moves server time by one frame of new content and waits until the coordinator has taken in what it delivered.
    void deliver(double seconds = 1.0 / 60) {
        coordinator->activeDisplayIDs();  // what was asked of the coordinator is done
        server->invalidateContent();
        server->tick(seconds);
        backend->flush();
        coordinator->activeDisplayIDs();
    }
    void restartAudio() { coordinator->setAudioEnabled(false), coordinator->setAudioEnabled(true); }
    // Delivers `buffers` audio buffers (and a screen frame) and waits until they are encoded.
    void deliverAudio(int buffers) { deliver(1024.0 / 48000.0 * buffers + 1e-9); }
    // Moves the clock, then fires one tick.
    void tick(double advance = 1.0 / 60) { clock->advance(advance); timer.fire(); }
    // Runs `work` on the coordinator's queue (as a result closure would), once a plan has been applied.
    void onQueue(const std::function<void()>& work) { timer.queue->sync(work); }
    std::size_t frameCount() { std::lock_guard<std::mutex> lock(recorded.mutex); return recorded.frames.size(); }
    // What was reported, once what was asked of the coordinator is done.
    Texts errors() { coordinator->activeDisplayIDs(); std::lock_guard<std::mutex> lock(recorded.mutex); return recorded.errors; }
    std::vector<std::pair<int, int>> formats() { coordinator->activeDisplayIDs(); std::lock_guard<std::mutex> lock(recorded.mutex); return recorded.formats; }
    Texts logsContaining(const std::string& text) {
        coordinator->activeDisplayIDs();
        std::lock_guard<std::mutex> lock(recorded.mutex);
        Texts out;
        for (const auto& line : recorded.logs) if (line.find(text) != std::string::npos) out.push_back(line);
        return out;
    }
    std::size_t count(const std::string& text) { return logsContaining(text).size(); }
    std::shared_ptr<VirtualCompressionSession> lastSession() { std::lock_guard<std::mutex> lock(sessionsMutex); return sessions.back(); }
};
}  // namespace mivodrell::testing
