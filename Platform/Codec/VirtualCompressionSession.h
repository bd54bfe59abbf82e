#pragma once
// A scripted compression session for tests: it records every call, answers property sets and
// submissions with scripted statuses, and answers each frame on its own thread as a responder
// function decides (a sample, a drop, a failure status, a delay, or no answer at all).

#include "Platform/Codec/CompressionSession.h"
#include "Platform/Base/SerialQueue.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace mivodrell {

class VirtualCompressionSession final : public CompressionSession {
public:
    struct SubmittedFrame {
        std::shared_ptr<const PixelBuffer> imageBuffer;
        MediaTime presentationTime;
        MediaTime duration;
        std::optional<EncodeFrameOptions> options;
        std::size_t index = 0;
    };

    struct Response {
        std::int32_t status = CompressionStatus::ok;
        SampleBufferRef sampleBuffer;  // none: the frame was dropped
        double delaySeconds = 0;
        bool answer = true;  // false: the callback never comes
    };

    using Responder = std::function<Response(const SubmittedFrame&)>;

    struct Script {
        std::map<CompressionPropertyKey, std::int32_t> propertyStatus;  // unlisted keys: ok
        std::int32_t submissionStatus = CompressionStatus::ok;
        std::int32_t prepareStatus = CompressionStatus::ok;
        Responder responder;  // empty: a keyframe sample for the first frame, then non-keyframes
    };

    VirtualCompressionSession(Parameters parameters, Script script);
    ~VirtualCompressionSession() override;

    // A factory that creates sessions with `script` (or fails with `creationStatus` when it is
    // not 0) and hands each created session to `created`.
    static Factory factory(Script script, std::int32_t creationStatus = CompressionStatus::ok,
                           std::function<void(std::shared_ptr<VirtualCompressionSession>)> created = {});

    // A sample like an encoder's: length-prefixed bytes, a format description with three
    // parameter sets, a NotSync attachment on non-keyframes.
    static SampleBufferRef makeSample(bool keyframe, MediaTime presentationTime, std::vector<std::uint8_t> bytes = {0, 0, 0, 2, 0x26, 0x01});

    std::int32_t setProperty(CompressionPropertyKey key, const CompressionPropertyValue& value) override;
    std::int32_t encodeFrame(std::shared_ptr<const PixelBuffer> imageBuffer, MediaTime presentationTime,
                             MediaTime duration, const std::optional<EncodeFrameOptions>& options,
                             std::shared_ptr<void> frameContext) override;
    std::int32_t prepareToEncodeFrames() override;
    void invalidate() override;

    const Parameters& parameters() const { return parameters_; }
    std::vector<std::pair<CompressionPropertyKey, CompressionPropertyValue>> propertyLog() const;
    std::vector<SubmittedFrame> submissions() const;
    int invalidateCount() const { return invalidateCount_.load(); }
    int prepareCount() const { return prepareCount_.load(); }
    void setScript(Script script);

private:
    Parameters parameters_;
    mutable std::mutex mutex_;
    Script script_;
    std::vector<std::pair<CompressionPropertyKey, CompressionPropertyValue>> propertyLog_;
    std::vector<SubmittedFrame> submissions_;
    std::vector<std::shared_ptr<void>> unanswered_;
    std::atomic<int> invalidateCount_{0};
    std::atomic<int> prepareCount_{0};
    std::unique_ptr<SerialQueue> queue_;
};

}  // namespace mivodrell
