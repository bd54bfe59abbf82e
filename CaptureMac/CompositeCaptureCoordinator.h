#pragma once
// The host's live screen stream. The coordinator keeps one screen capture session per display a
// capture plan needs (each capturing its whole display), keeps the latest frame of every display
// in the compositor, and on every tick of its render timer composites the controller's crop
// rectangle across all displays into one picture, encodes it with one HEVC encoder and hands the
// EncodedFrame to its owner. Beside the picture it can capture system audio and encode it to AAC.
//
// Guarantees: at most one composite and one encode per tick; ticks are paced to the frame-rate
// cap, paused while nothing moves, skipped while the outbound backlog is too large, and thinned
// to 12 fps when compositing and encoding eat the frame budget. Frame identifiers count up by one
// per encoded frame and wrap after 4,294,967,295.
//
// Bad input: no operation throws. Every failure (a display missing from the list handed to
// `apply`, a capture stream that cannot start, update or stop, an encoder that cannot be built or
// fails a frame, an audio failure, an output size that is not a number) goes to `onError` with
// the display concerned, or 0. Frames whose picture lies outside the buffer are dropped, and so
// are up to 30 in a row whose size matches no capture rectangle (a size that is not a number
// matches none); a coordinate that is not a number never reaches the compositor. Capture-system
// waits are bounded (10 s each); encoder sizes are multiples of 16 between 16 and 8192 per edge.
//
// Threads: all state lives on the serial queue "Mivodrell.CompositeCaptureCoordinator". `apply`,
// `stopAll` and `activeDisplayIDs` run synchronously on it (never call them from a result
// closure); the properties (`setOnDiagnostic`, the two intervals) may be read and set from any
// thread, a result closure included; every other operation, every captured frame and audio
// buffer, and the render timer hop onto it holding the coordinator weakly. All result closures are called on that
// queue; an encoded frame stays on it until `onEncodedFrame` returns. Set the closures right after
// `create`, before the first `apply`.

#include "CaptureCore/CapturePlan.h"
#include "CaptureCore/EncodedFrame.h"
#include "CaptureCore/EncoderSettings.h"
#include "CaptureMac/AudioEncoder.h"
#include "CaptureMac/HEVCEncoder.h"
#include "Platform/Base/Geometry.h"
#include "Platform/Capture/ScreenCapture.h"
#include "ViewportCore/DisplayTopology.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mivodrell {

class AudioCaptureSession;
class Clock;
class CompositeFrameRenderer;
class ComputeDevice;
class PixelBuffer;
class ScreenCaptureSession;
class SerialQueue;
struct CaptureFrameGeometry;

class CompositeCaptureCoordinator : public std::enable_shared_from_this<CompositeCaptureCoordinator> {
public:
    // A repeating timer firing `handler` on `queue` every `intervalSeconds` (first call one
    // interval from now); the timer stops when the returned handle is released.
    using TimerHandle = std::shared_ptr<void>;
    using TimerFactory =
        std::function<TimerHandle(SerialQueue& queue, double intervalSeconds, std::function<void()> handler)>;

    // What the coordinator runs on; the defaults are the real ones.
    struct Collaborators {
        std::shared_ptr<CaptureBackend> captureBackend;     // none: CaptureBackend::current()
        std::shared_ptr<CaptureBackend> audioCaptureBackend;  // system audio; none: captureBackend
        std::shared_ptr<ComputeDevice> computeDevice;       // none: ComputeDevice::systemDefault()
        HEVCEncoder::Backend encoderBackend;                // the machine's HEVC encoder
        AudioConverterFactory audioConverterFactory;        // none: AudioConverter::make
        std::shared_ptr<const Clock> clock;                 // none: Clock::system()
        TimerFactory timerFactory;                          // none: SerialQueue::makeTimer
        double captureOperationTimeoutSeconds = 10;         // each capture start, update and stop
    };

    // The error `onError` carries when `apply` is given an output size that is not a number.
    struct InvalidOutputSize : std::exception {
        CGSize size;
        explicit InvalidOutputSize(CGSize s) : size(s) {}
        const char* what() const noexcept override { return "output pixel size is not a finite number"; }
    };

    // The display concerned (0 for the encoder, audio and output size) and the error, one of:
    // CaptureCoordinatorError (a planned display missing from the list), ScreenCaptureSession::
    // CaptureError, PlatformError (a capture stream that stopped by itself), HEVCEncoder::
    // EncoderError, AudioCaptureSession::CaptureError, AudioEncoder::EncoderError,
    // InvalidOutputSize. Rethrow it to look inside.
    using ErrorHandler = std::function<void(std::uint32_t displayID, std::exception_ptr error)>;
    using VideoFormatHandler = std::function<void(std::int32_t width, std::int32_t height,
                                                  const std::vector<std::vector<std::uint8_t>>& parameterSets,
                                                  std::int32_t nalUnitHeaderLength)>;
    using DiagnosticHandler = std::function<void(const std::string&)>;

    static constexpr const char* queueLabel = "Mivodrell.CompositeCaptureCoordinator";
    // The largest encoder edge, in pixels.
    static constexpr int maximumEncoderEdge = 8192;

    // Nothing when the compositor cannot be made on the compute device.
    // The owner passes 1/60 s, {60, 240, 8,000,000} and {16000, 2, 16000}.
    static std::shared_ptr<CompositeCaptureCoordinator> create(double renderInterval,
                                                               HEVCEncoder::Configuration encoderConfiguration,
                                                               AudioEncoder::Configuration audioEncoderConfiguration);
    static std::shared_ptr<CompositeCaptureCoordinator> create(double renderInterval,
                                                               HEVCEncoder::Configuration encoderConfiguration,
                                                               AudioEncoder::Configuration audioEncoderConfiguration,
                                                               Collaborators collaborators);
    ~CompositeCaptureCoordinator();
    CompositeCaptureCoordinator(const CompositeCaptureCoordinator&) = delete;
    CompositeCaptureCoordinator& operator=(const CompositeCaptureCoordinator&) = delete;

    // Result closures; a closure left empty is skipped.
    std::function<void(const EncodedFrame&)> onEncodedFrame;
    // Once each time the outbound backlog gate trips.
    std::function<void()> onBacklogTrip;
    ErrorHandler onError;
    // The encoder's HEVC parameter sets, for every encoder built.
    VideoFormatHandler onVideoFormatAvailable;
    std::function<void(double sampleRate, std::int32_t channelCount, const std::vector<std::uint8_t>& configuration)>
        onAudioFormatAvailable;
    // One AAC access unit and its presentation time in seconds.
    std::function<void(const std::vector<std::uint8_t>& packet, double presentationTime)> onEncodedAudio;
    // Bytes waiting in the outbound frame channel; when set, ticks are skipped while it holds more
    // than 0.3 s of stream.
    std::function<std::int64_t()> outboundFrameBacklogBytes;

    // Diagnostic log lines, of the coordinator and of its compositor.
    void setOnDiagnostic(DiagnosticHandler handler);

    // Applies a capture plan: stops, starts and reconfigures display captures, stores the topology
    // and crop, (re)builds the encoder for the output size times the settings' scale, applies the
    // settings to it and starts the render timer. Returns when done.
    void apply(const CapturePlan& plan, const std::vector<CaptureDisplay>& displays, const DisplayTopology& topology,
               CGRect cropRect, CGSize outputPixelSize, const EncoderSettings& settings);

    // The display the controller looks at: other displays upload only every 3rd (4th) frame.
    void setFocusDisplay(std::optional<std::uint32_t> displayID);
    void setMotionBlurEnabled(bool enabled);
    // Re-applies the privacy exclusion list to every running capture and forces a keyframe.
    void refreshContentFilters();
    // The displays being captured, ascending.
    std::vector<std::uint32_t> activeDisplayIDs();

    // A keyframe at the next tick, at most one per `forcedKeyframeMinInterval`. The display is
    // not used: there is one composite stream.
    void requestKeyframe(std::uint32_t displayID);
    // Repeats the last video format through `onVideoFormatAvailable` and forces a keyframe;
    // nothing before an encoder has produced one.
    void resendCurrentFormat();

    // System audio on the first display of the last plan (or of the next plan, when none yet).
    void setAudioEnabled(bool enabled);
    // Bits per second for the running audio encoder; negative values count as 0.
    void applyAudioBitrate(std::int64_t bitsPerSecond);
    // Pixel density of full-display captures (1...2, next plan), encode frame rate (10...60, at
    // once), bitrate override in Mbit/s (0 = the policy's, at most 60, next plan) and the
    // encoder's speed-over-quality switch.
    void applyTuning(double density, double encodeFPS, double bitrateMbps, bool speedPriority);
    // Stops the timer, every capture, the encoder and audio; returns when all stopped or timed
    // out. A later `apply` starts everything again.
    void stopAll();

    // Minimum seconds between encoder rebuilds (none: 3 s), and between forced keyframes (2 s).
    std::optional<double> encoderRebuildIntervalOverride();
    void setEncoderRebuildIntervalOverride(std::optional<double> seconds);
    double forcedKeyframeMinInterval();
    void setForcedKeyframeMinInterval(double seconds);

    // The state the coordinator acts on, read on its queue (for inspection and tests).
    struct DisplayState {
        CGRect sourceRect;
        CGRect previousSourceRect;
        CGSize lastAppliedOutputPixelSize;
        double nativeDensity = 0;
        int framesTaggedOldSinceSwitch = 0;
        int consecutiveSizeSkips = 0;
        bool hasRendererSource = false;
    };
    struct Inspection {
        std::map<std::uint32_t, DisplayState> active;
        std::optional<CGSize> encoderOutputPixelSize;
        std::map<std::uint32_t, int> acceptedFramesInCostWindow;
        std::uint32_t nextFrameID = 0;
        bool pendingForcedKeyframe = false;
        double renderInterval = 0;
        bool renderTimerRunning = false;
        double maxFrameRate = 0;
        std::int64_t latestTargetBitrate = 0;
        double autoComputeFPS = 0;
        std::uint64_t nonFocusUpdateDivisor = 0;
        double detailDensity = 0;
        double tuningEncodeFPS = 0;
        double tuningBitrateMbps = 0;
        bool tuningSpeedPriority = false;
        bool staticSkipActive = false;
        bool droppingForBacklog = false;
        int backlogDroppedFrameCount = 0;
        bool audioEnabled = false;
        bool audioCapturing = false;
        bool hasAudioEncoder = false;
        std::optional<std::uint32_t> audioEncoderBitrate;
        bool hasLatestFrameParameters = false;
    };
    Inspection inspect();
    // Sets the next frame identifier (tests of the wrap).
    void setNextFrameIDForTesting(std::uint32_t frameID);

    // The rectangle a captured frame shows, decided from its geometry. `accept` false: the frame
    // is dropped. Pure; the counters of `state` are updated as the intake does.
    struct RectMatchState {
        CGRect sourceRect;
        CGRect previousSourceRect;
        double ignoreFramesBeforeHostTime = 0;
        int framesTaggedOldSinceSwitch = 0;
        int consecutiveSizeSkips = 0;
    };
    struct RectMatch {
        bool accept = false;
        CGRect rect;
        // The frame size in points, when the 31st mismatching frame is let through (to log).
        std::optional<CGSize> releasedAfterSkips;
    };
    static RectMatch matchFrameRect(RectMatchState& state, const std::optional<CaptureFrameGeometry>& geometry,
                                    double presentationTime);
    // Where the picture lies in a buffer of the given size, 0...1, clamped; nothing when the frame
    // is to be dropped (the picture covers 10 % or less, or lies outside the buffer).
    static std::optional<CGRect> contentUV(const std::optional<CaptureFrameGeometry>& geometry, int bufferWidth,
                                           int bufferHeight);
    // The capture of a whole display at `density` (1...2 pixels per point, 1 for a display of
    // under 1.5 planned pixels per point or wider or taller than 8192 pixels at that density);
    // `source` unchanged when the display is unknown or has no area.
    static CaptureSource fullDisplaySource(const CaptureSource& source, const std::optional<CaptureDisplay>& display,
                                           double density);
    // The encoder size for an output size and scale: multiples of 16, 16...8192 per edge; nothing
    // when the size is not finite.
    static std::optional<std::pair<int, int>> encoderSize(CGSize outputPixelSize, double scale);

private:
    struct ActiveCaptureSource;
    struct EmittedFormat {
        std::int32_t width = 0;
        std::int32_t height = 0;
        std::vector<std::vector<std::uint8_t>> parameterSets;
        std::int32_t nalUnitHeaderLength = 0;
    };

    CompositeCaptureCoordinator(double renderInterval, HEVCEncoder::Configuration encoderConfiguration,
                                AudioEncoder::Configuration audioEncoderConfiguration, Collaborators collaborators);

    // Everything below runs on `queue_`.
    void log(const std::string& line) const;
    void reportError(std::uint32_t displayID, std::exception_ptr error) const;
    void stopSession(std::uint32_t displayID, ScreenCaptureSession& session);
    void startDisplay(std::uint32_t displayID, const CaptureSource& source,
                      const std::map<std::uint32_t, CaptureDisplay>& displays);
    void recordSwitch(ActiveCaptureSource& entry, const CaptureSource& source);
    void applySource(const CaptureSource& source, const CapturePlan& plan,
                     const std::map<std::uint32_t, CaptureDisplay>& displays);
    void frameIntake(std::uint32_t displayID, const std::shared_ptr<PixelBuffer>& pixelBuffer, double presentationTime,
                     const std::optional<CaptureFrameGeometry>& geometry, const CaptureSource& source);
    void logGeometry(std::uint32_t displayID, ActiveCaptureSource& entry, const CaptureFrameGeometry& geometry,
                     const PixelBuffer& pixelBuffer);
    void displayStreamStopped(std::uint32_t displayID, const std::weak_ptr<ScreenCaptureSession>& session,
                              const std::optional<PlatformError>& error);

    void startRenderTimer();
    void rebuildEncoder(int width, int height);
    void tick();
    bool backlogGateOpen();
    bool pacingAllows();
    void probeCropReversals(double now);
    void probeCoverage();
    void costProbe(double t0, double now);
    void judgeComputeTier(double averageMs);

    void startSystemAudio();
    void stopSystemAudio();
    void audioSampleBuffer(const SampleBufferRef& sampleBuffer);
    void audioStreamEnded(const std::weak_ptr<AudioCaptureSession>& session, const std::optional<PlatformError>& error);

    Collaborators collaborators_;
    DiagnosticHandler onDiagnostic_;
    std::unique_ptr<CompositeFrameRenderer> renderer_;
    std::shared_ptr<SerialQueue> queue_;

    std::optional<std::uint32_t> focusDisplayID_;
    std::uint64_t nonFocusUpdateDivisor_ = 3;
    std::map<std::uint32_t, std::uint64_t> freshnessFrameCounter_;
    double autoComputeFPS_ = 60.0;
    int autoComputeGoodWindows_ = 0;
    std::int64_t lastKeyframeBytes_ = 0;
    double lastKeyframeTime_ = 0;
    double lastForcedKeyframeAt_ = 0;
    double renderInterval_;
    HEVCEncoder::Configuration encoderConfiguration_;
    AudioEncoder::Configuration audioEncoderConfiguration_;

    std::map<std::uint32_t, std::shared_ptr<ActiveCaptureSource>> active_;
    std::unique_ptr<HEVCEncoder> encoder_;
    std::optional<CGSize> encoderOutputPixelSize_;
    std::uint32_t nextFrameID_ = 0;
    bool pendingForcedKeyframe_ = false;
    std::optional<EmittedFormat> lastEmittedFormat_;
    TimerHandle renderTimer_;
    double lastEncoderRebuildTime_ = 0;
    std::optional<double> encoderRebuildIntervalOverride_;
    double forcedKeyframeMinInterval_ = 2.0;

    std::shared_ptr<AudioCaptureSession> audioCapture_;
    std::unique_ptr<AudioEncoder> audioEncoder_;
    bool audioEnabled_ = false;
    // Audio was switched on before any display was known: the first plan with displays starts it.
    bool audioStartDeferred_ = false;
    std::uint64_t audioSampleBufferCount_ = 0;

    std::vector<CaptureDisplay> latestDisplays_;
    DisplayTopology latestTopology_;
    CGRect latestCropRect_ = CGRect::zero();
    double coverageWindowStart_ = 0;
    int coverageTickCount_ = 0;
    int coverageOverrunTickCount_ = 0;
    CGFloat coverageMaxOverrun_ = 0;
    std::string coverageWorstSample_;
    bool hasLatestFrameParameters_ = false;
    double maxFrameRate_ = 30.0;
    double lastEncodeHostTime_ = 0;
    CGPoint cropProbeLast_ = CGPoint::zero();
    CGPoint cropProbePrevDelta_ = CGPoint::zero();
    int cropProbeReversals_ = 0;
    CGFloat cropProbeMax_ = 0;
    double cropProbeWindowStart_ = 0;
    double costProbeSumMs_ = 0;
    double costProbeMaxMs_ = 0;
    int costProbeTickCount_ = 0;
    double costProbeWindowStart_ = 0;
    std::map<std::uint32_t, int> costProbeCaptureFrames_;
    CGFloat detailDensity_ = 1.0;
    double tuningBitrateMbps_ = 0;
    bool tuningSpeedPriority_ = false;
    double lastContentActivityTime_ = 0;
    CGRect lastEncodedCropRect_ = CGRect::zero();
    bool staticSkipActive_ = false;
    double tuningEncodeFPS_ = 60.0;
    std::int64_t latestTargetBitrate_ = 8'000'000;
    bool droppingForBacklog_ = false;
    int backlogDroppedFrameCount_ = 0;
};

}  // namespace mivodrell
