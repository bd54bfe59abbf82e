#include "Platform/Capture/Virtual/VirtualCaptureServer.h"

#include "Platform/Base/Clock.h"
#include "Platform/Base/CompletionBox.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Media/ColorConversion.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <numbers>

namespace mivodrell {

namespace {

constexpr double kAudioSampleRate = 48000;
constexpr int kAudioFramesPerBuffer = 1024;
constexpr double kContentRate = 60;  // content generations per second when animated

struct Window {
    CaptureWindow info;
    RGBAColor color;
    int level = 0;
};

using ContentSampler = VirtualCaptureServer::ContentSampler;

// The content of one display for the generation and size it was made for.
struct CachedContent {
    std::uint64_t generation = 0;
    std::uint64_t epoch = 0;
    int width = 0;
    int height = 0;
    bool made = false;
    std::shared_ptr<const ContentSampler> sampler;  // empty: no content (the background shows)
    std::shared_ptr<PixelBuffer> image;             // the drawn image of a full-image function
};

// Samples a display image drawn whole by a full-image content function.
class ImageSampler final : public ContentSampler {
public:
    explicit ImageSampler(std::shared_ptr<const PixelBuffer> image) : image_(std::move(image)) {}
    void row(int y, const int* xs, int count, std::uint32_t* out) const override {
        const auto* line = reinterpret_cast<const std::uint32_t*>(image_->baseAddress() +
                                                                  static_cast<std::size_t>(y) * image_->bytesPerRow());
        for (int i = 0; i < count; ++i) out[i] = line[xs[i]] | 0xFF000000u;  // delivered pixels are opaque
    }

private:
    std::shared_ptr<const PixelBuffer> image_;
};

// The default content: per column the red ramp and the blue tint or bar, per row the green ramp.
class DefaultContentSampler final : public ContentSampler {
public:
    DefaultContentSampler(std::uint32_t displayID, std::uint64_t generation, int width, int height)
        : columns_(static_cast<std::size_t>(width)), height_(height) {
        const int bar = static_cast<int>((generation * 8) % static_cast<std::uint64_t>(width));
        const auto tint = static_cast<std::uint32_t>((displayID * 53) & 0xFF);
        for (int x = 0; x < width; ++x) {
            const std::uint32_t blue = x >= bar && x < bar + 16 ? 255u : tint;
            const auto red = static_cast<std::uint32_t>(width > 1 ? (x * 255) / (width - 1) : 0);
            columns_[static_cast<std::size_t>(x)] = 0xFF000000u | red << 16 | blue;
        }
    }
    void row(int y, const int* xs, int count, std::uint32_t* out) const override {
        const auto green = static_cast<std::uint32_t>(height_ > 1 ? (y * 255) / (height_ - 1) : 0) << 8;
        for (int i = 0; i < count; ++i) out[i] = columns_[static_cast<std::size_t>(xs[i])] | green;
    }

private:
    std::vector<std::uint32_t> columns_;
    int height_;
};

std::uint8_t toByte(double component) {
    return static_cast<std::uint8_t>(roundClamped<int>(std::clamp(component, 0.0, 1.0) * 255.0, 0));
}

// An opaque colour as the 32-bit word of a 'BGRA' pixel (B, G, R, 255 in memory).
std::uint32_t pixelWord(const RGBAColor& c) {
    return 0xFF000000u | std::uint32_t{toByte(c.red)} << 16 | std::uint32_t{toByte(c.green)} << 8 | toByte(c.blue);
}

}  // namespace

struct StreamState {
    std::weak_ptr<StreamDelegate> delegate;
    ContentFilter filter;
    StreamConfiguration configuration;
    StreamConfiguration staleConfiguration;
    int staleFramesLeft = 0;

    std::shared_ptr<StreamOutput> screenOutput;
    std::shared_ptr<SerialQueue> screenQueue;
    std::shared_ptr<StreamOutput> audioOutput;
    std::shared_ptr<SerialQueue> audioQueue;

    bool running = false;
    std::atomic<bool> released{false};

    bool deliveredAny = false;
    double lastFrameTime = 0;
    std::uint64_t lastGeneration = 0;
    std::uint64_t lastEpoch = 0;
    std::uint64_t lastScene = 0;
    std::uint64_t configurationVersion = 0;
    std::uint64_t lastConfigurationVersion = 0;

    std::vector<std::shared_ptr<PixelBuffer>> pool;

    double audioStartTime = 0;
    std::int64_t audioSamplesDelivered = 0;

    std::shared_ptr<QueueTimer> frameTimer;
    std::shared_ptr<QueueTimer> audioTimer;
};

struct VirtualCaptureServer::Impl : std::enable_shared_from_this<VirtualCaptureServer::Impl> {
    Configuration configuration;
    std::shared_ptr<SerialQueue> control = std::make_shared<SerialQueue>("Mivodrell.VirtualCaptureServer.control");

    // Everything below is touched only on `control`.
    std::vector<CaptureDisplay> displays;
    std::vector<Window> windows;
    std::uint32_t nextWindowID = 1000;
    ContentFunction imageContent;  // when set, used instead of `content`
    SampledContentFunction content = &VirtualCaptureServer::defaultContent;
    double manualTime = 0;
    double realStart = currentMediaTime();
    std::uint64_t contentEpoch = 0;
    std::uint64_t sceneVersion = 0;
    std::map<std::uint32_t, CachedContent> contents;
    std::map<Operation, OperationFault> faults;
    std::optional<PlatformError> addOutputFailure;
    FrameFault frameFault;
    int staleFramesAfterUpdate = 0;
    double toneFrequency = 0;
    double toneAmplitude = 0;
    std::vector<std::shared_ptr<StreamState>> streams;
    std::uint64_t delivered = 0;
    std::uint64_t skipped = 0;

    double now() const { return configuration.clocking == Clocking::manual ? manualTime : currentMediaTime() - realStart; }
    std::uint64_t generation() const {
        if (!configuration.animated) return 0;
        return static_cast<std::uint64_t>(truncateClamped<std::int64_t>(now() * kContentRate, 0));
    }

    const CaptureDisplay* display(std::uint32_t id) const {
        for (const auto& d : displays) {
            if (d.displayID == id) return &d;
        }
        return nullptr;
    }

    // Runs `operation`'s completion according to its fault: at once (on this queue), later, never.
    void complete(Operation operation, std::function<void()> onSuccess, CaptureCompletion completion) {
        const OperationFault fault = faults.count(operation) ? faults[operation] : OperationFault{};
        switch (fault.kind) {
            case OperationFault::Kind::fail:
                completion(fault.error);
                return;
            case OperationFault::Kind::never:
                return;
            case OperationFault::Kind::late: {
                std::weak_ptr<Impl> weak = weak_from_this();
                auto holder = std::make_shared<std::shared_ptr<QueueTimer>>();
                *holder = control->makeTimer(fault.delaySeconds, 0, [weak, holder, onSuccess, completion] {
                    if (weak.lock()) onSuccess();
                    completion(std::nullopt);
                    holder->reset();
                });
                return;
            }
            case OperationFault::Kind::none:
            case OperationFault::Kind::emptyAnswer:
                onSuccess();
                completion(std::nullopt);
                return;
        }
    }

    void pruneStreams() {
        streams.erase(std::remove_if(streams.begin(), streams.end(),
                                     [](const auto& s) {
                                         if (!s->released.load()) return false;
                                         s->frameTimer.reset();
                                         s->audioTimer.reset();
                                         return true;
                                     }),
                      streams.end());
    }

    void startTimers(const std::shared_ptr<StreamState>& s) {
        if (configuration.clocking != Clocking::realTime) return;
        std::weak_ptr<Impl> weakSelf = weak_from_this();
        std::weak_ptr<StreamState> weakStream = s;
        const double interval = std::max(s->configuration.minimumFrameInterval.seconds(), 0.001);
        s->frameTimer = control->makeTimer(0, std::isfinite(interval) ? interval : 1.0, [weakSelf, weakStream] {
            auto self = weakSelf.lock();
            auto stream = weakStream.lock();
            if (self && stream) self->produceFrame(stream);
        });
        if (s->configuration.capturesAudio) {
            s->audioTimer = control->makeTimer(0, kAudioFramesPerBuffer / kAudioSampleRate, [weakSelf, weakStream] {
                auto self = weakSelf.lock();
                auto stream = weakStream.lock();
                if (self && stream) self->produceAudio(stream);
            });
        }
    }

    void stopStream(const std::shared_ptr<StreamState>& s) {
        s->running = false;
        s->frameTimer.reset();
        s->audioTimer.reset();
    }

    void stopWithError(const std::shared_ptr<StreamState>& s, const PlatformError& error) {
        if (!s->running) return;
        stopStream(s);
        if (auto delegate = s->delegate.lock()) delegate->didStopWithError(error);
    }

    // The display's content at the current generation, made on first use.
    std::shared_ptr<const ContentSampler> displayContent(const CaptureDisplay& d) {
        auto& cached = contents[d.displayID];
        const std::uint64_t gen = generation();
        const int w = std::max(1, roundClamped<int>(d.frame.width() * d.scale, 1));
        const int h = std::max(1, roundClamped<int>(d.frame.height() * d.scale, 1));
        if (cached.made && cached.generation == gen && cached.epoch == contentEpoch && cached.width == w && cached.height == h) {
            return cached.sampler;
        }
        cached.made = true;
        cached.generation = gen;
        cached.epoch = contentEpoch;
        cached.width = w;
        cached.height = h;
        cached.sampler.reset();
        if (w > PixelBuffer::maxEdge || h > PixelBuffer::maxEdge) {
            cached.image.reset();
        } else if (imageContent) {
            if (!cached.image || cached.image->width() != w || cached.image->height() != h) {
                cached.image = PixelBuffer::create(w, h, PixelFormat::bgra).buffer;
            }
            if (cached.image) {
                imageContent(d, gen, *cached.image);
                cached.sampler = std::make_shared<ImageSampler>(cached.image);
            }
        } else {
            cached.image.reset();
            cached.sampler = content(d, gen, w, h);
        }
        return cached.sampler;
    }

    std::shared_ptr<PixelBuffer> takePoolBuffer(StreamState& s, int width, int height, std::uint32_t format) {
        const std::size_t depth = static_cast<std::size_t>(std::max(1, s.configuration.queueDepth));
        for (auto& b : s.pool) {
            if (b.use_count() == 1 && b->width() == width && b->height() == height && b->pixelFormat() == format) {
                return b;
            }
        }
        // Drop free buffers of another size; keep those the consumer still holds counted.
        s.pool.erase(std::remove_if(s.pool.begin(), s.pool.end(),
                                    [&](const auto& b) {
                                        return b.use_count() == 1 &&
                                               (b->width() != width || b->height() != height || b->pixelFormat() != format);
                                    }),
                     s.pool.end());
        if (s.pool.size() >= depth) return nullptr;
        auto created = PixelBuffer::create(width, height, format).buffer;
        if (created) s.pool.push_back(created);
        return created;
    }

    void render(const StreamState& s, const StreamConfiguration& cfg, const CaptureDisplay& d, PixelBuffer& out,
                CGRect& contentRectPixels, double& contentPixelsPerPoint);

    void produceFrame(const std::shared_ptr<StreamState>& s);
    void applyFrameFault(SampleBuffer& sample, const AttachmentDictionary& info) const;
    void produceAudio(const std::shared_ptr<StreamState>& s);
};

void VirtualCaptureServer::Impl::render(const StreamState& s, const StreamConfiguration& cfg, const CaptureDisplay& d,
                                         PixelBuffer& out, CGRect& contentRectPixels, double& contentPixelsPerPoint) {
    const int outW = out.width();
    const int outH = out.height();
    const CGRect displayLocal{0, 0, d.frame.width(), d.frame.height()};
    CGRect source = cfg.sourceRect ? cfg.sourceRect->standardized() : displayLocal;
    if (source.isEmpty() || !(source.width() > 0) || !(source.height() > 0)) source = displayLocal;

    // The source rectangle fills the output as far as its aspect ratio allows, anchored top-left.
    const double k = std::min(outW / source.width(), outH / source.height());
    const int contentW = std::clamp(roundClamped<int>(source.width() * k, outW), 0, outW);
    const int contentH = std::clamp(roundClamped<int>(source.height() * k, outH), 0, outH);
    contentRectPixels = CGRect(0, 0, contentW, contentH);
    contentPixelsPerPoint = k;

    const bool including = s.filter.mode == ContentFilter::Mode::includingWindows;
    const std::uint32_t background = pixelWord((cfg.backgroundColor.value_or(RGBAColor{0, 0, 0, 1})));
    const std::shared_ptr<const ContentSampler> sampler = including ? nullptr : displayContent(d);
    const CachedContent& size = contents[d.displayID];

    // Display pixel of every output column and row of the content (nearest sample).
    const double scale = d.scale;
    std::vector<int> columns(static_cast<std::size_t>(contentW));
    std::vector<int> rows(static_cast<std::size_t>(contentH));
    const int srcMaxX = including ? std::numeric_limits<int>::max() : size.width - 1;
    const int srcMaxY = including ? std::numeric_limits<int>::max() : size.height - 1;
    for (int x = 0; x < contentW; ++x) {
        const double sx = (source.minX() + (x + 0.5) / k) * scale;
        columns[static_cast<std::size_t>(x)] = std::clamp(truncateClamped<int>(std::floor(sx), 0), 0, srcMaxX);
    }
    for (int y = 0; y < contentH; ++y) {
        const double sy = (source.minY() + (y + 0.5) / k) * scale;
        rows[static_cast<std::size_t>(y)] = std::clamp(truncateClamped<int>(std::floor(sy), 0), 0, srcMaxY);
    }

    // Windows drawn into this stream, bottom to top, as display-pixel rectangles.
    struct Overlay {
        int x0, x1, y0, y1;
        std::uint32_t color;
    };
    std::vector<const Window*> visible;
    for (const auto& w : windows) {
        if (w.info.displayID != d.displayID || !w.info.onScreen) continue;
        const bool listed = std::any_of(s.filter.windows.begin(), s.filter.windows.end(),
                                        [&](const CaptureWindow& f) { return f.windowID == w.info.windowID; });
        if (including ? !listed : listed) continue;
        visible.push_back(&w);
    }
    std::stable_sort(visible.begin(), visible.end(), [](const Window* a, const Window* b) { return a->level < b->level; });
    std::vector<Overlay> overlays;
    for (const Window* w : visible) {
        const CGRect local = w->info.frame.offsetBy(-d.frame.minX(), -d.frame.minY());
        overlays.push_back({roundClamped<int>(local.minX() * scale, 0), roundClamped<int>(local.maxX() * scale, 0),
                            roundClamped<int>(local.minY() * scale, 0), roundClamped<int>(local.maxY() * scale, 0),
                            pixelWord((w->color))});
    }

    // Output row y: the sampled content, the windows over it, the background beside and below.
    auto buildRow = [&](int y, std::uint32_t* dst) {
        if (y >= contentH) {
            std::fill(dst, dst + outW, background);
            return;
        }
        const int sy = rows[static_cast<std::size_t>(y)];
        if (sampler) {
            sampler->row(sy, columns.data(), contentW, dst);
        } else {
            std::fill(dst, dst + contentW, background);
        }
        std::fill(dst + contentW, dst + outW, background);
        for (const auto& o : overlays) {
            if (sy < o.y0 || sy >= o.y1) continue;
            for (int x = 0; x < contentW; ++x) {
                const int sx = columns[static_cast<std::size_t>(x)];
                if (sx >= o.x0 && sx < o.x1) dst[x] = o.color;
            }
        }
    };

    if (out.pixelFormat() == PixelFormat::bgra) {
        for (int y = 0; y < outH; ++y) {
            buildRow(y, reinterpret_cast<std::uint32_t*>(out.baseAddress() + static_cast<std::size_t>(y) * out.bytesPerRow()));
        }
        return;
    }
    // '420f': two rows at a time, converted while they are in the cache.
    std::vector<std::uint32_t> pair(2 * static_cast<std::size_t>(outW));
    const auto lumaStride = static_cast<std::ptrdiff_t>(out.bytesPerRowOfPlane(0));
    const auto chromaStride = static_cast<std::ptrdiff_t>(out.bytesPerRowOfPlane(1));
    for (int y = 0; y < outH; y += 2) {
        const int pairRows = std::min(2, outH - y);
        buildRow(y, pair.data());
        if (pairRows == 2) buildRow(y + 1, pair.data() + outW);
        convertBGRAToNV12FullBT709(reinterpret_cast<const std::uint8_t*>(pair.data()), static_cast<std::ptrdiff_t>(outW) * 4,
                                   outW, pairRows, out.baseAddressOfPlane(0) + y * lumaStride, lumaStride,
                                   out.baseAddressOfPlane(1) + (y / 2) * chromaStride, chromaStride, 0, 1);
    }
}

void VirtualCaptureServer::Impl::produceFrame(const std::shared_ptr<StreamState>& s) {
    if (!s->running || s->released.load() || !s->screenOutput) return;
    const double t = now();
    const StreamConfiguration& cfg = s->staleFramesLeft > 0 ? s->staleConfiguration : s->configuration;
    const double interval = cfg.minimumFrameInterval.seconds();
    if (s->deliveredAny && std::isfinite(interval) && t - s->lastFrameTime < interval - 1e-9) return;
    const CaptureDisplay* d = display(s->filter.display.displayID);
    if (!d) return;

    auto sample = std::make_shared<SampleBuffer>();
    sample->presentationTime = configuration.clocking == Clocking::manual ? MediaTime::fromSeconds(t, 1000000000)
                                                                          : hostClockNow();
    const std::uint64_t gen = generation();
    const bool idle = s->deliveredAny && gen == s->lastGeneration && contentEpoch == s->lastEpoch &&
                      sceneVersion == s->lastScene && s->configurationVersion == s->lastConfigurationVersion;
    AttachmentDictionary info;
    if (idle) {
        info.set(std::string(AttachmentKey::frameStatus), FrameStatus::idle);
    } else {
        const std::int64_t w = std::max<std::int64_t>(1, cfg.width);
        const std::int64_t h = std::max<std::int64_t>(1, cfg.height);
        auto buffer = takePoolBuffer(*s, clampedNarrow<int>(w), clampedNarrow<int>(h), cfg.pixelFormat);
        if (!buffer) {
            ++skipped;
            return;
        }
        CGRect contentPixels;
        double pixelsPerPoint = 1;
        render(*s, cfg, *d, *buffer, contentPixels, pixelsPerPoint);
        sample->imageBuffer = buffer;
        const double sf = d->scale;
        info.set(std::string(AttachmentKey::frameStatus), FrameStatus::complete);
        AttachmentDictionary rect;
        rect.set(std::string(AttachmentKey::rectX), contentPixels.minX() / sf);
        rect.set(std::string(AttachmentKey::rectY), contentPixels.minY() / sf);
        rect.set(std::string(AttachmentKey::rectWidth), contentPixels.width() / sf);
        rect.set(std::string(AttachmentKey::rectHeight), contentPixels.height() / sf);
        info.set(std::string(AttachmentKey::contentRect), rect);
        info.set(std::string(AttachmentKey::contentScale), pixelsPerPoint / sf);
        info.set(std::string(AttachmentKey::scaleFactor), sf);
    }
    if (frameFault.kind != FrameFault::Kind::none && frameFault.count != 0) {
        if (frameFault.count > 0) --frameFault.count;
        applyFrameFault(*sample, info);
    } else {
        sample->attachments = std::vector<AttachmentValue>{AttachmentValue(info)};
    }

    if (s->staleFramesLeft > 0) --s->staleFramesLeft;
    s->deliveredAny = true;
    s->lastFrameTime = t;
    s->lastGeneration = gen;
    s->lastEpoch = contentEpoch;
    s->lastScene = sceneVersion;
    s->lastConfigurationVersion = s->configurationVersion;
    ++delivered;
    s->screenQueue->async([output = s->screenOutput, sample] { output->didOutputSampleBuffer(sample, StreamOutputType::screen); });
}

void VirtualCaptureServer::Impl::applyFrameFault(SampleBuffer& sample, const AttachmentDictionary& info) const {
    using Kind = FrameFault::Kind;
    AttachmentDictionary copy;
    for (const auto& [k, v] : info.entries()) {
        const bool isStatus = k == AttachmentKey::frameStatus;
        const bool isRect = k == AttachmentKey::contentRect;
        const bool isScale = k == AttachmentKey::contentScale || k == AttachmentKey::scaleFactor;
        if (isStatus && frameFault.kind == Kind::missingStatus) continue;
        if (isRect && (frameFault.kind == Kind::noContentRect || frameFault.kind == Kind::malformedContentRect)) continue;
        if (isScale && frameFault.kind == Kind::nanScales) continue;
        copy.set(k, v);
    }
    if (frameFault.kind == Kind::status) copy.set(std::string(AttachmentKey::frameStatus), frameFault.status);
    if (frameFault.kind == Kind::malformedContentRect) copy.set(std::string(AttachmentKey::contentRect), "not a rectangle");
    sample.attachments = std::vector<AttachmentValue>{AttachmentValue(copy)};
    switch (frameFault.kind) {
        case Kind::missingAttachments: sample.attachments.reset(); break;
        case Kind::nonDictionaryAttachments: sample.attachments = std::vector<AttachmentValue>{AttachmentValue(std::int64_t{0})}; break;
        case Kind::emptyAttachments: sample.attachments = std::vector<AttachmentValue>{}; break;
        case Kind::invalidBuffer: sample.valid = false; break;
        case Kind::noImage: sample.imageBuffer.reset(); break;
        default: break;
    }
}

void VirtualCaptureServer::Impl::produceAudio(const std::shared_ptr<StreamState>& s) {
    if (!s->running || s->released.load() || !s->audioOutput || !s->configuration.capturesAudio) return;
    const auto due = truncateClamped<std::int64_t>((now() - s->audioStartTime) * kAudioSampleRate, 0);
    while (due - s->audioSamplesDelivered >= kAudioFramesPerBuffer) {
        auto sample = std::make_shared<SampleBuffer>();
        AudioStreamDescription asbd;
        asbd.sampleRate = kAudioSampleRate;
        asbd.formatID = fourCC("lpcm");
        asbd.formatFlags = AudioFormatFlag::isFloat | AudioFormatFlag::isPacked | AudioFormatFlag::isNonInterleaved;
        asbd.bytesPerPacket = 4;
        asbd.framesPerPacket = 1;
        asbd.bytesPerFrame = 4;
        asbd.channelsPerFrame = 2;
        asbd.bitsPerChannel = 32;
        sample->audioFormat = asbd;
        sample->sampleCount = kAudioFramesPerBuffer;
        // On the clock the frames are stamped on (host time, or server time when clocked by hand),
        // counting samples from the start.
        const double startTime = (configuration.clocking == Clocking::manual ? 0.0 : realStart) + s->audioStartTime;
        sample->presentationTime =
            MediaTime::make(roundClamped<std::int64_t>(startTime * kAudioSampleRate, 0) + s->audioSamplesDelivered,
                            static_cast<std::int32_t>(kAudioSampleRate));
        sample->duration = MediaTime::make(1, static_cast<std::int32_t>(kAudioSampleRate));
        std::vector<AudioBuffer> list(2);
        for (auto& buffer : list) {
            buffer.numberChannels = 1;
            buffer.data.resize(kAudioFramesPerBuffer * sizeof(float));
            auto* samples = reinterpret_cast<float*>(buffer.data.data());
            for (int i = 0; i < kAudioFramesPerBuffer; ++i) {
                const double n = static_cast<double>(s->audioSamplesDelivered + i);
                samples[i] = toneAmplitude == 0
                                 ? 0.0f
                                 : static_cast<float>(toneAmplitude *
                                                      std::sin(2 * std::numbers::pi * toneFrequency * n / kAudioSampleRate));
            }
        }
        sample->audioBufferList = std::move(list);
        s->audioSamplesDelivered += kAudioFramesPerBuffer;
        s->audioQueue->async([output = s->audioOutput, sample] { output->didOutputSampleBuffer(sample, StreamOutputType::audio); });
    }
}

namespace {

class VirtualStream final : public CaptureStream {
public:
    VirtualStream(std::weak_ptr<VirtualCaptureServer::Impl> impl, std::shared_ptr<StreamState> state)
        : impl_(std::move(impl)), state_(std::move(state)) {}

    ~VirtualStream() override {
        // A released stream stops itself.
        state_->released.store(true);
        if (auto impl = impl_.lock()) {
            auto weak = impl_;
            impl->control->async([weak] {
                if (auto i = weak.lock()) i->pruneStreams();
            });
        }
    }

    std::optional<PlatformError> addOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                                           std::shared_ptr<SerialQueue> queue) override {
        auto impl = impl_.lock();
        if (!impl) return PlatformError{"VirtualCaptureServer", -3802, "the capture server is gone"};
        if (!output || !queue) return PlatformError{"VirtualCaptureServer", -3802, "no output or queue"};
        return impl->control->syncResult([&]() -> std::optional<PlatformError> {
            if (impl->addOutputFailure) return impl->addOutputFailure;
            if (type == StreamOutputType::screen) {
                state_->screenOutput = output;
                state_->screenQueue = queue;
            } else {
                state_->audioOutput = output;
                state_->audioQueue = queue;
            }
            return std::nullopt;
        });
    }

    void startCapture(CaptureCompletion completion) override {
        run([](VirtualCaptureServer::Impl& impl, const std::shared_ptr<StreamState>& s, CaptureCompletion done) {
            impl.complete(
                VirtualCaptureServer::Operation::startCapture,
                [&impl, s] {
                    if (s->released.load() || s->running) return;
                    s->running = true;
                    s->deliveredAny = false;  // the first frame of a run is complete
                    // Audio goes on from the last buffer's time stamp.
                    s->audioStartTime = impl.now() - static_cast<double>(s->audioSamplesDelivered) / kAudioSampleRate;
                    if (std::find(impl.streams.begin(), impl.streams.end(), s) == impl.streams.end()) impl.streams.push_back(s);
                    impl.startTimers(s);
                },
                std::move(done));
        }, std::move(completion));
    }

    void updateConfiguration(StreamConfiguration configuration, CaptureCompletion completion) override {
        run([configuration](VirtualCaptureServer::Impl& impl, const std::shared_ptr<StreamState>& s, CaptureCompletion done) {
            impl.complete(
                VirtualCaptureServer::Operation::updateConfiguration,
                [&impl, s, configuration] {
                    if (impl.staleFramesAfterUpdate > 0) {
                        s->staleConfiguration = s->configuration;
                        s->staleFramesLeft = impl.staleFramesAfterUpdate;
                    }
                    const bool retime = !(s->configuration.minimumFrameInterval == configuration.minimumFrameInterval);
                    s->configuration = configuration;
                    ++s->configurationVersion;
                    if (retime && s->running) impl.startTimers(s);
                },
                std::move(done));
        }, std::move(completion));
    }

    void updateContentFilter(ContentFilter filter, CaptureCompletion completion) override {
        run([filter](VirtualCaptureServer::Impl& impl, const std::shared_ptr<StreamState>& s, CaptureCompletion done) {
            impl.complete(
                VirtualCaptureServer::Operation::updateContentFilter,
                [s, filter] {
                    s->filter = filter;
                    ++s->configurationVersion;
                },
                std::move(done));
        }, std::move(completion));
    }

    void stopCapture(CaptureCompletion completion) override {
        run([](VirtualCaptureServer::Impl& impl, const std::shared_ptr<StreamState>& s, CaptureCompletion done) {
            impl.complete(
                VirtualCaptureServer::Operation::stopCapture, [&impl, s] { impl.stopStream(s); }, std::move(done));
        }, std::move(completion));
    }

private:
    template <class F>
    void run(F body, CaptureCompletion completion) {
        auto impl = impl_.lock();
        if (!impl) return;  // the server is gone: nothing will ever answer
        auto weak = impl_;
        auto state = state_;
        impl->control->async([weak, state, body = std::move(body), completion = std::move(completion)]() mutable {
            if (auto i = weak.lock()) body(*i, state, std::move(completion));
        });
    }

    std::weak_ptr<VirtualCaptureServer::Impl> impl_;
    std::shared_ptr<StreamState> state_;
};

}  // namespace

std::shared_ptr<VirtualCaptureServer> VirtualCaptureServer::create(Configuration configuration) {
    std::shared_ptr<VirtualCaptureServer> server(new VirtualCaptureServer());
    server->impl_ = std::make_shared<Impl>();
    server->impl_->configuration = configuration;
    return server;
}

VirtualCaptureServer::~VirtualCaptureServer() {
    // Stop every timer on the control queue before the queue goes away.
    if (impl_) {
        auto impl = impl_;
        impl->control->sync([impl] {
            for (auto& s : impl->streams) impl->stopStream(s);
            impl->streams.clear();
        });
    }
}

void VirtualCaptureServer::addDisplay(const CaptureDisplay& display) {
    impl_->control->sync([&] {
        impl_->displays.push_back(display);
        ++impl_->sceneVersion;
    });
}

void VirtualCaptureServer::removeDisplay(std::uint32_t displayID) {
    impl_->control->sync([&] {
        auto& ds = impl_->displays;
        ds.erase(std::remove_if(ds.begin(), ds.end(), [&](const auto& d) { return d.displayID == displayID; }), ds.end());
        impl_->contents.erase(displayID);
        ++impl_->sceneVersion;
        for (auto& s : impl_->streams) {
            if (s->filter.display.displayID == displayID) {
                impl_->stopWithError(s, {"VirtualCaptureServer", -3815, "the display was disconnected"});
            }
        }
    });
}

std::uint32_t VirtualCaptureServer::addWindow(std::uint32_t displayID, const CGRect& frame, const RGBAColor& color, int level) {
    return impl_->control->syncResult([&] {
        Window w;
        w.info.windowID = impl_->nextWindowID++;
        w.info.displayID = displayID;
        w.info.frame = frame;
        w.info.onScreen = true;
        w.color = color;
        w.level = level;
        impl_->windows.push_back(w);
        ++impl_->sceneVersion;
        return w.info.windowID;
    });
}

void VirtualCaptureServer::removeWindow(std::uint32_t windowID) {
    impl_->control->sync([&] {
        auto& ws = impl_->windows;
        ws.erase(std::remove_if(ws.begin(), ws.end(), [&](const auto& w) { return w.info.windowID == windowID; }), ws.end());
        ++impl_->sceneVersion;
    });
}

void VirtualCaptureServer::setContentFunction(ContentFunction content) {
    impl_->control->sync([&] {
        impl_->imageContent = std::move(content);
        impl_->content = &VirtualCaptureServer::defaultContent;
        impl_->contents.clear();
        ++impl_->contentEpoch;
    });
}

void VirtualCaptureServer::setContentFunction(SampledContentFunction content) {
    impl_->control->sync([&] {
        impl_->imageContent = nullptr;
        impl_->content = content ? std::move(content) : SampledContentFunction(&VirtualCaptureServer::defaultContent);
        impl_->contents.clear();
        ++impl_->contentEpoch;
    });
}

void VirtualCaptureServer::invalidateContent() {
    impl_->control->sync([&] { ++impl_->contentEpoch; });
}

void VirtualCaptureServer::tick(double seconds) {
    impl_->control->sync([&] {
        if (std::isfinite(seconds) && seconds > 0) impl_->manualTime += seconds;
        impl_->pruneStreams();
        const auto streams = impl_->streams;
        for (const auto& s : streams) {
            impl_->produceFrame(s);
            impl_->produceAudio(s);
        }
    });
}

void VirtualCaptureServer::drain() { impl_->control->sync([] {}); }

void VirtualCaptureServer::setAudioTone(double frequency, double amplitude) {
    impl_->control->sync([&] {
        impl_->toneFrequency = frequency;
        impl_->toneAmplitude = amplitude;
    });
}

void VirtualCaptureServer::setAudioSilence() { setAudioTone(0, 0); }

void VirtualCaptureServer::setFault(Operation operation, OperationFault fault) {
    impl_->control->sync([&] { impl_->faults[operation] = fault; });
}

void VirtualCaptureServer::setAddOutputFailure(std::optional<PlatformError> error) {
    impl_->control->sync([&] { impl_->addOutputFailure = std::move(error); });
}

void VirtualCaptureServer::setFrameFault(FrameFault fault) {
    impl_->control->sync([&] { impl_->frameFault = fault; });
}

void VirtualCaptureServer::setStaleFramesAfterUpdate(int frames) {
    impl_->control->sync([&] { impl_->staleFramesAfterUpdate = std::max(0, frames); });
}

void VirtualCaptureServer::stopAllStreams(const PlatformError& error) {
    impl_->control->sync([&] {
        for (auto& s : impl_->streams) impl_->stopWithError(s, error);
    });
}

std::size_t VirtualCaptureServer::runningStreamCount() {
    return impl_->control->syncResult([&] {
        impl_->pruneStreams();
        return static_cast<std::size_t>(std::count_if(impl_->streams.begin(), impl_->streams.end(),
                                                      [](const auto& s) { return s->running; }));
    });
}

std::vector<StreamConfiguration> VirtualCaptureServer::runningStreamConfigurations() {
    return impl_->control->syncResult([&] {
        impl_->pruneStreams();
        std::vector<StreamConfiguration> out;
        for (const auto& s : impl_->streams) {
            if (s->running) out.push_back(s->configuration);
        }
        return out;
    });
}

std::vector<ContentFilter> VirtualCaptureServer::runningStreamFilters() {
    return impl_->control->syncResult([&] {
        impl_->pruneStreams();
        std::vector<ContentFilter> out;
        for (const auto& s : impl_->streams) {
            if (s->running) out.push_back(s->filter);
        }
        return out;
    });
}

std::uint64_t VirtualCaptureServer::framesDelivered() {
    return impl_->control->syncResult([&] { return impl_->delivered; });
}

std::uint64_t VirtualCaptureServer::framesSkipped() {
    return impl_->control->syncResult([&] { return impl_->skipped; });
}

void VirtualCaptureServer::getShareableContent(bool /*excludingDesktopWindows*/, bool onScreenWindowsOnly,
                                               ShareableContentCompletion completion) {
    std::weak_ptr<Impl> weak = impl_;
    impl_->control->async([weak, onScreenWindowsOnly, completion = std::move(completion)] {
        auto impl = weak.lock();
        if (!impl) return;
        const OperationFault fault =
            impl->faults.count(Operation::shareableContent) ? impl->faults[Operation::shareableContent] : OperationFault{};
        ShareableContent content;
        content.displays = impl->displays;
        for (const auto& w : impl->windows) {
            if (!onScreenWindowsOnly || w.info.onScreen) content.windows.push_back(w.info);
        }
        switch (fault.kind) {
            case OperationFault::Kind::fail: completion(std::nullopt, fault.error); return;
            case OperationFault::Kind::never: return;
            case OperationFault::Kind::emptyAnswer: completion(std::nullopt, std::nullopt); return;
            case OperationFault::Kind::late: {
                auto holder = std::make_shared<std::shared_ptr<QueueTimer>>();
                *holder = impl->control->makeTimer(fault.delaySeconds, 0, [holder, content, completion] {
                    completion(content, std::nullopt);
                    holder->reset();
                });
                return;
            }
            case OperationFault::Kind::none: completion(content, std::nullopt); return;
        }
    });
}

std::shared_ptr<CaptureStream> VirtualCaptureServer::makeStream(ContentFilter filter, StreamConfiguration configuration,
                                                                std::weak_ptr<StreamDelegate> delegate) {
    auto state = std::make_shared<StreamState>();
    state->filter = std::move(filter);
    state->configuration = configuration;
    state->delegate = std::move(delegate);
    return std::make_shared<VirtualStream>(impl_, state);
}

std::shared_ptr<const VirtualCaptureServer::ContentSampler> VirtualCaptureServer::defaultContent(
    const CaptureDisplay& display, std::uint64_t generation, int width, int height) {
    if (width < 1 || height < 1) return nullptr;
    return std::make_shared<DefaultContentSampler>(display.displayID, generation, width, height);
}

std::optional<std::optional<PlatformError>> waitForCaptureCompletion(
    double timeoutSeconds, const std::function<void(CaptureCompletion)>& operation) {
    using Outcome = std::optional<PlatformError>;
    auto box = CompletionBox<Outcome>::make();
    operation([box](Outcome error) { box->complete(std::move(error)); });
    return box->wait(timeoutSeconds);
}

namespace {
std::shared_ptr<CaptureBackend>& currentBackendSlot() {
    static std::shared_ptr<CaptureBackend> slot;
    return slot;
}
std::mutex& currentBackendMutex() {
    static std::mutex m;
    return m;
}
}  // namespace

std::shared_ptr<CaptureBackend> CaptureBackend::current() {
    std::lock_guard<std::mutex> lock(currentBackendMutex());
    auto& slot = currentBackendSlot();
    if (!slot) {
        auto server = VirtualCaptureServer::create();
        server->addDisplay({1, CGRect(0, 0, 1920, 1080), 1.0, true, "Virtual Display 1"});
        slot = server;
    }
    return slot;
}

void CaptureBackend::setCurrent(std::shared_ptr<CaptureBackend> backend) {
    std::lock_guard<std::mutex> lock(currentBackendMutex());
    currentBackendSlot() = std::move(backend);
}

}  // namespace mivodrell
