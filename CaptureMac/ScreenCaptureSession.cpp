#include "CaptureMac/ScreenCaptureSession.h"

#include "Platform/Base/CompletionBox.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Base/SerialQueue.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace mivodrell {

namespace {


std::string describe(const char* what, const std::optional<PlatformError>& error) {
    std::string text = what;
    if (error) text += ": " + error->description + " (" + error->domain + " " + std::to_string(error->code) + ")";
    return text;
}

const char* kindName(ScreenCaptureSession::CaptureError::Kind kind) {
    using Kind = ScreenCaptureSession::CaptureError::Kind;
    switch (kind) {
        case Kind::streamSetupFailed: return "streamSetupFailed";
        case Kind::startFailed: return "startFailed";
        case Kind::updateFailed: return "updateFailed";
        case Kind::stopFailed: return "stopFailed";
        case Kind::startTimedOut: return "startTimedOut";
        case Kind::updateTimedOut: return "updateTimedOut";
        case Kind::stopTimedOut: return "stopTimedOut";
    }
    return "unknown";
}

// Reads a rectangle from its dictionary form (X, Y, Width, Height numbers).
std::optional<CGRect> rectFromDictionary(const AttachmentDictionary& d) {
    const AttachmentValue* x = d.find(AttachmentKey::rectX);
    const AttachmentValue* y = d.find(AttachmentKey::rectY);
    const AttachmentValue* w = d.find(AttachmentKey::rectWidth);
    const AttachmentValue* h = d.find(AttachmentKey::rectHeight);
    if (!x || !y || !w || !h) return std::nullopt;
    const auto xv = x->asDouble(), yv = y->asDouble(), wv = w->asDouble(), hv = h->asDouble();
    if (!xv || !yv || !wv || !hv) return std::nullopt;
    return CGRect(*xv, *yv, *wv, *hv);
}

double doubleOrNaN(const AttachmentDictionary& d, std::string_view key) {
    const AttachmentValue* v = d.find(key);
    if (!v) return std::numeric_limits<double>::quiet_NaN();
    return v->asDouble().value_or(std::numeric_limits<double>::quiet_NaN());
}

}  // namespace

ScreenCaptureSession::CaptureError::CaptureError(Kind k, std::optional<PlatformError> error)
    : kind(k), underlying(std::move(error)), message(describe(kindName(k), underlying)) {}

ShareableContentFetcher::FetchError::FetchError(Kind k, std::optional<PlatformError> e)
    : kind(k), error(std::move(e)), message(describe(k == Kind::timedOut ? "timedOut" : "underlying", error)) {}

// Receives the stream's samples and stop report and passes them to the session, which it holds
// weakly: a released session receives nothing.
class ScreenCaptureSession::FrameOutputHandler final : public StreamOutput, public StreamDelegate {
public:
    std::function<void(const SampleBufferRef&, StreamOutputType)> onSample;
    std::function<void(const PlatformError&)> onStopped;

    void didOutputSampleBuffer(const SampleBufferRef& sample, StreamOutputType type) override {
        if (onSample) onSample(sample, type);
    }
    void didStopWithError(const PlatformError& error) override {
        if (onStopped) onStopped(error);
    }
};

std::shared_ptr<ScreenCaptureSession> ScreenCaptureSession::create(std::shared_ptr<CaptureBackend> backend) {
    std::shared_ptr<ScreenCaptureSession> session(new ScreenCaptureSession(backend ? std::move(backend) : CaptureBackend::current()));
    std::weak_ptr<ScreenCaptureSession> weak = session;
    session->outputHandler_->onSample = [weak](const SampleBufferRef& sample, StreamOutputType type) {
        if (auto self = weak.lock()) self->handleSample(sample, type);
    };
    session->outputHandler_->onStopped = [weak](const PlatformError& error) {
        auto self = weak.lock();
        if (self && self->onStop) self->onStop(error);
    };
    return session;
}

ScreenCaptureSession::ScreenCaptureSession(std::shared_ptr<CaptureBackend> backend)
    : backend_(std::move(backend)),
      outputHandler_(std::make_shared<FrameOutputHandler>()),
      sampleQueue_(std::make_shared<SerialQueue>(sampleQueueLabel)) {}

StreamConfiguration ScreenCaptureSession::makeConfiguration(const CaptureSource& source, std::uint32_t pixelFormat,
                                                            int frameRateCap) {
    StreamConfiguration c;
    c.pixelFormat = pixelFormat;
    // Integer part of the planned size, at least 2 (the capture service refuses smaller sizes).
    c.width = std::max<std::int64_t>(truncateClamped<std::int64_t>(source.outputPixelSize.width, 2), 2);
    c.height = std::max<std::int64_t>(truncateClamped<std::int64_t>(source.outputPixelSize.height, 2), 2);
    c.sourceRect = source.sourceRect;
    c.showsCursor = false;
    c.minimumFrameInterval = MediaTime::make(1, std::max(frameRateCap, 1));
    c.queueDepth = 5;
    return c;
}

void ScreenCaptureSession::start(const CaptureDisplay& display, const CaptureSource& source, std::uint32_t pixelFormat,
                                 const std::optional<std::vector<CaptureWindow>>& includingWindows,
                                 const std::optional<RGBAColor>& backgroundColor) {
    const ContentFilter filter = includingWindows ? ContentFilter::including(display, *includingWindows)
                                                  : ContentFilter::excluding(display, PrivacyOverlayRegistry::excludedWindows());
    // Stored before anything can fail; they keep their new values when the start fails.
    activePixelFormat_ = pixelFormat;
    currentDisplay_ = display;
    usesWindowInclusionFilter_ = includingWindows.has_value();

    StreamConfiguration configuration = makeConfiguration(source, pixelFormat, frameRateCap);
    if (backgroundColor) configuration.backgroundColor = backgroundColor;

    // The new stream is released (and so stopped) on every failure below.
    std::shared_ptr<CaptureStream> stream = backend_->makeStream(filter, configuration, outputHandler_);
    if (!stream) throw CaptureError(CaptureError::Kind::streamSetupFailed, PlatformError{"ScreenCapture", -1, "no stream"});
    if (auto error = stream->addOutput(outputHandler_, StreamOutputType::screen, sampleQueue_)) {
        throw CaptureError(CaptureError::Kind::streamSetupFailed, *error);
    }
    const auto outcome = waitForCaptureCompletion(timeout_, [&](CaptureCompletion done) { stream->startCapture(std::move(done)); });
    if (!outcome) throw CaptureError(CaptureError::Kind::startTimedOut);
    if (*outcome) throw CaptureError(CaptureError::Kind::startFailed, **outcome);
    stream_ = std::move(stream);
}

void ScreenCaptureSession::update(const CaptureSource& source) {
    if (!stream_) return;
    const StreamConfiguration configuration = makeConfiguration(source, activePixelFormat_, frameRateCap);
    auto stream = stream_;
    const auto outcome =
        waitForCaptureCompletion(timeout_, [&](CaptureCompletion done) { stream->updateConfiguration(configuration, std::move(done)); });
    if (!outcome) throw CaptureError(CaptureError::Kind::updateTimedOut);
    if (*outcome) throw CaptureError(CaptureError::Kind::updateFailed, **outcome);
}

void ScreenCaptureSession::refreshContentFilter() {
    if (!stream_ || !currentDisplay_ || usesWindowInclusionFilter_) return;
    const ContentFilter filter = ContentFilter::excluding(*currentDisplay_, PrivacyOverlayRegistry::excludedWindows());
    auto stream = stream_;
    const auto outcome = waitForCaptureCompletion(timeout_, [&](CaptureCompletion done) { stream->updateContentFilter(filter, std::move(done)); });
    if (!outcome) throw CaptureError(CaptureError::Kind::updateTimedOut);
    if (*outcome) throw CaptureError(CaptureError::Kind::updateFailed, **outcome);
}

void ScreenCaptureSession::stop() {
    if (!stream_) return;
    // The stream leaves the session before the platform call, whatever the outcome.
    auto stream = std::move(stream_);
    stream_.reset();
    const auto outcome = waitForCaptureCompletion(timeout_, [&](CaptureCompletion done) { stream->stopCapture(std::move(done)); });
    if (!outcome) throw CaptureError(CaptureError::Kind::stopTimedOut);
    if (*outcome) throw CaptureError(CaptureError::Kind::stopFailed, **outcome);
}

void ScreenCaptureSession::handleSample(const SampleBufferRef& sample, StreamOutputType type) {
    // Checks in order; a sample failing any of them is dropped without a word.
    if (type != StreamOutputType::screen) return;
    if (!sample || !sample->valid) return;
    if (!sample->attachments || sample->attachments->empty()) return;
    for (const auto& entry : *sample->attachments) {
        if (!entry.asDictionary()) return;  // must be an array of dictionaries
    }
    const AttachmentDictionary& info = *sample->attachments->front().asDictionary();
    const AttachmentValue* status = info.find(AttachmentKey::frameStatus);
    if (!status) return;
    const auto statusValue = status->asInteger();
    if (!statusValue || *statusValue != 0) return;
    if (!sample->imageBuffer) return;
    const MediaTime presentationTime = sample->presentationTime;

    std::optional<CaptureFrameGeometry> geometry;
    if (const AttachmentValue* rectValue = info.find(AttachmentKey::contentRect)) {
        if (const AttachmentDictionary* rectDict = rectValue->asDictionary()) {
            if (auto rect = rectFromDictionary(*rectDict)) {
                geometry = CaptureFrameGeometry{*rect, doubleOrNaN(info, AttachmentKey::contentScale),
                                                doubleOrNaN(info, AttachmentKey::scaleFactor)};
            }
        }
    }
    if (onFrame) onFrame(sample->imageBuffer, presentationTime, geometry);
}

namespace {

template <class T>
T fetch(double timeoutSeconds, bool onScreenOnly, const std::shared_ptr<CaptureBackend>& given,
        T ShareableContent::*member) {
    using FetchError = ShareableContentFetcher::FetchError;
    struct Result {
        std::optional<ShareableContent> content;
        std::optional<PlatformError> failure;
    };
    auto backend = given ? given : CaptureBackend::current();
    auto box = CompletionBox<Result>::make();
    backend->getShareableContent(false, onScreenOnly, [box](std::optional<ShareableContent> content,
                                                            std::optional<PlatformError> failure) {
        box->complete({std::move(content), std::move(failure)});
    });
    const auto result = box->wait(timeoutSeconds);
    if (!result) throw FetchError(FetchError::Kind::timedOut);
    if (result->failure) throw FetchError(FetchError::Kind::underlying, result->failure);
    if (!result->content) return {};
    return (*result->content).*member;
}

}  // namespace

std::vector<CaptureDisplay> ShareableContentFetcher::currentDisplays(double timeoutSeconds,
                                                                     std::shared_ptr<CaptureBackend> backend) {
    return fetch(timeoutSeconds, true, backend, &ShareableContent::displays);
}

std::vector<CaptureWindow> ShareableContentFetcher::currentWindows(double timeoutSeconds, bool onScreenOnly,
                                                                   std::shared_ptr<CaptureBackend> backend) {
    return fetch(timeoutSeconds, onScreenOnly, backend, &ShareableContent::windows);
}

std::mutex& PrivacyOverlayRegistry::lock() {
    static std::mutex m;
    return m;
}

std::vector<CaptureWindow>& PrivacyOverlayRegistry::storage() {
    static std::vector<CaptureWindow> windows;
    return windows;
}

std::vector<CaptureWindow> PrivacyOverlayRegistry::excludedWindows() {
    std::lock_guard<std::mutex> guard(lock());
    return storage();
}

void PrivacyOverlayRegistry::setExcludedWindows(std::vector<CaptureWindow> windows) {
    std::lock_guard<std::mutex> guard(lock());
    storage() = std::move(windows);
}

}  // namespace mivodrell
