#include "StreamJob.h"

#include "LossyLink.h"
#include "MatroskaWriter.h"
#include "StatusReporter.h"

#include "CaptureCore/CaptureSourcePlanner.h"
#include "CaptureCore/CompositeOutputPlanner.h"
#include "CaptureCore/EncoderPolicy.h"
#include "CaptureCore/FramePacketizer.h"
#include "CaptureCore/FrameReceiver.h"
#include "CaptureCore/FrameTransmitter.h"
#include "CaptureMac/CompositeCaptureCoordinator.h"
#include "CaptureMac/ScreenCaptureSession.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Capture/CaptureBackendFactory.h"
#include "Platform/Capture/Virtual/VirtualCaptureServer.h"
#include "ViewportCore/DisplayTopology.h"
#include "ViewportCore/FileLogger.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <numbers>
#include <thread>

namespace mivodrell::stream {
namespace {

std::atomic<bool> interrupted{false};
extern "C" void onInterrupt(int) { interrupted = true; }

constexpr double renderInterval = 1.0 / 60.0;
constexpr double replanInterval = 1.0 / 30.0;
constexpr std::int64_t packetPayloadBytes = 1200;
constexpr std::int64_t receiverPendingFrames = 8;
constexpr int maxPrintedWarnings = 5;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The controller's viewport at `t` seconds: a rectangle of the controller's aspect inside the
// desktop `bounds`.
CGRect viewportAt(StreamOptions::Viewport mode, const CGRect& bounds, double aspect, double t) {
    const double fullWidth = std::min(bounds.width(), bounds.height() * aspect);
    const double phase = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * t / 8.0);  // 0 -> 1 -> 0 every 8 s
    double width = std::min(fullWidth, 1920.0);
    double centerX = bounds.midX();
    double centerY = bounds.midY();
    switch (mode) {
        case StreamOptions::Viewport::stillView:
            centerX = bounds.minX() + std::min(bounds.width(), 1920.0) / 2;
            break;
        case StreamOptions::Viewport::pan:
            centerX = bounds.minX() + width / 2 + phase * (bounds.width() - width);
            break;
        case StreamOptions::Viewport::zoom:
            width = width * (1.0 - 0.6 * phase);
            break;
    }
    const double height = width / aspect;
    return CGRect{centerX - width / 2, centerY - height / 2, width, height};
}

std::string describe(const std::exception_ptr& error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return "unknown error";
}

// What travels from the coordinator's queue to the controller side and the recorder. Touched
// only on the coordinator's queue, except the counters.
struct ControllerSide {
    std::unique_ptr<FrameTransmitter> transmitter;
    std::unique_ptr<LossyLink> link;
    std::unique_ptr<FrameReceiver> receiver;
    std::unique_ptr<MatroskaWriter> writer;
    std::optional<std::string> writeError;
    std::chrono::steady_clock::time_point start;
    std::optional<std::uint32_t> lastFrameID;
    bool waitingForKeyframe = false;

    std::atomic<std::int64_t> framesEncoded{0}, framesReceived{0}, bytesSent{0}, keyframesSent{0};
    std::atomic<std::int64_t> packetsSent{0}, packetsLost{0}, framesAbandoned{0}, keyframeRequests{0};
    std::atomic<std::int64_t> audioPackets{0}, errors{0}, framesSkipped{0};
    std::atomic<double> tickMilliseconds{0};

    void noteWrite(std::optional<std::string> error) {
        if (error && !writeError) writeError = std::move(error);
    }
};

StreamFigures figures(const ControllerSide& side, double elapsed, double total) {
    StreamFigures f;
    f.elapsed = elapsed;
    f.total = total;
    f.framesEncoded = side.framesEncoded;
    f.framesReceived = side.framesReceived;
    f.framesSkipped = side.framesSkipped;
    f.bytesSent = side.bytesSent;
    f.keyframes = side.keyframesSent;
    f.packetsSent = side.packetsSent;
    f.packetsLost = side.packetsLost;
    f.framesAbandoned = side.framesAbandoned;
    f.keyframeRequests = side.keyframeRequests;
    f.audioPackets = side.audioPackets;
    f.tickMilliseconds = side.tickMilliseconds;
    return f;
}

int fail(const std::string& message, int code = 1) {
    std::fprintf(stderr, "mivodrell-stream: %s\n", message.c_str());
    return code;
}

}  // namespace

int runStreamJob(const StreamOptions& options, std::FILE* statusOut, bool statusIsTerminal) {
    namespace fs = std::filesystem;
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);

    // The recording first: an unwritable output fails before anything starts.
    std::error_code ignored;
    if (const fs::path parent = fs::path(options.output).parent_path(); !parent.empty()) {
        fs::create_directories(parent, ignored);
    }
    auto side = std::make_shared<ControllerSide>();
    {
        auto created = MatroskaWriter::create(options.output, options.audio);
        if (auto* error = std::get_if<std::string>(&created)) return fail(*error);
        side->writer = std::move(std::get<std::unique_ptr<MatroskaWriter>>(created));
    }
    std::shared_ptr<FileLogger> logger;
    if (!options.logFile.empty()) {
        logger = FileLogger::create(options.logFile, true);
        if (!logger) return fail("cannot write the log " + options.logFile);
    }

    // Capture backends.
    std::shared_ptr<CaptureBackend> screenBackend, audioBackend;
    if (options.source == StreamOptions::Source::virtualServer) {
        auto server = VirtualCaptureServer::create();
        for (int i = 0; i < options.displays; ++i) {
            server->addDisplay(CaptureDisplay{std::uint32_t(i + 1), CGRect{1920.0 * i, 0, 1920, 1080}, 1.0, i == 0,
                                              "Virtual " + std::to_string(i + 1)});
        }
        server->setAudioTone(440, 0.25);
        screenBackend = audioBackend = server;
    } else {
        CaptureBackendRequest request;
        request.screen = CaptureBackendRequest::Screen::x11;
        request.x11Display = options.display;
        request.systemAudio = options.audio ? CaptureBackendRequest::SystemAudio::pulseAudio
                                            : CaptureBackendRequest::SystemAudio::virtualServer;
        CaptureBackends backends = makeCaptureBackends(request);
        const std::string name = options.display.empty() ? (std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "") : options.display;
        if (!backends.screenIsX11) {
            // The factory falls back to the virtual display; asked for X11, this tool stops instead.
            std::string why = backends.notes.empty() ? std::string("no answer") : backends.notes.front();
            if (const auto open = why.find('('), close = why.rfind(')'); open != std::string::npos && close > open) {
                why = why.substr(open + 1, close - open - 1);
            }
            return fail("cannot open X display " + (name.empty() ? std::string("(DISPLAY is not set)") : name) + ": " + why);
        }
        for (const auto& note : backends.notes) std::fprintf(stderr, "mivodrell-stream: %s\n", note.c_str());
        screenBackend = backends.screen;
        audioBackend = backends.audio;
    }
    std::vector<CaptureDisplay> displays;
    try {
        displays = ShareableContentFetcher::currentDisplays(10, screenBackend);
    } catch (const std::exception& e) {
        return fail(std::string("cannot list the displays: ") + e.what());
    }
    if (displays.empty()) return fail("the capture source lists no displays");
    std::vector<DisplayInfo> infos;
    for (const auto& d : displays) infos.emplace_back(d.displayID, d.frame, d.scale, d.isMain, d.name);
    const DisplayTopology topology(infos);

    // The coordinator, as the owner builds it.
    CompositeCaptureCoordinator::Collaborators collaborators;
    collaborators.captureBackend = screenBackend;
    collaborators.audioCaptureBackend = audioBackend;
    auto coordinator = CompositeCaptureCoordinator::create(
        renderInterval, HEVCEncoder::Configuration{60.0, 240, 8'000'000}, AudioEncoder::Configuration{16000, 2, 16000},
        collaborators);
    if (!coordinator) return fail("the compositor cannot run on this machine");

    // Controller side: transmitter -> lossy link -> receiver -> recorder.
    side->start = std::chrono::steady_clock::now();
    side->receiver = std::make_unique<FrameReceiver>(FrameReassembler(receiverPendingFrames), KeyframeRequestPolicy());
    side->link = std::make_unique<LossyLink>(
        LossyLink::Configuration{options.lossPercent / 100.0, options.lossPercent > 0 ? 0.01 : 0,
                                 options.lossPercent > 0 ? 0.02 : 0, options.seed},
        [raw = side.get()](std::span<const std::uint8_t> datagram) {
            raw->receiver->receive(datagram, secondsSince(raw->start));
        });
    side->transmitter = std::make_unique<FrameTransmitter>(
        FramePacketizer(packetPayloadBytes), [raw = side.get()](std::span<const std::uint8_t> packet) {
            ++raw->packetsSent;
            raw->link->send(packet);
        });
    std::weak_ptr<CompositeCaptureCoordinator> weakCoordinator = coordinator;
    side->receiver->onFrame = [raw = side.get(), weakCoordinator](const EncodedFrame& frame) {
        ++raw->framesReceived;
        // Frame identifiers count up by one per encoded frame: a gap is a lost frame, and every
        // frame after it refers to a picture the controller never got. Like a player, the
        // recorder waits for the next keyframe instead of showing broken pictures. A frame lost
        // with all its packets never reaches the reassembler, so its receiver cannot report it:
        // the controller side asks for the keyframe itself when such a gap opens.
        const bool gap = raw->lastFrameID && frame.frameID != std::uint32_t(*raw->lastFrameID + 1);
        raw->lastFrameID = frame.frameID;
        if (gap && !raw->waitingForKeyframe && !frame.isKeyframe) {
            raw->waitingForKeyframe = true;
            ++raw->keyframeRequests;
            if (auto owner = weakCoordinator.lock()) owner->requestKeyframe(0);
        }
        if (frame.isKeyframe) raw->waitingForKeyframe = false;
        if (raw->waitingForKeyframe) {
            ++raw->framesSkipped;
            return;
        }
        raw->noteWrite(raw->writer->writeVideo(frame.payload.span(), frame.isKeyframe, frame.presentationTime));
    };
    side->receiver->onRequestKeyframe = [raw = side.get(), weakCoordinator] {
        ++raw->keyframeRequests;
        if (auto owner = weakCoordinator.lock()) owner->requestKeyframe(0);
    };

    // Coordinator results, all on its queue.
    coordinator->onEncodedFrame = [side](const EncodedFrame& frame) {
        ++side->framesEncoded;
        side->bytesSent += std::int64_t(frame.payload.size());
        if (frame.isKeyframe) ++side->keyframesSent;
        try {
            side->transmitter->transmit(frame);
        } catch (const std::exception&) {
            ++side->errors;
        }
        side->link->flush();
        side->packetsLost = side->receiver->lostPacketCount();
        side->framesAbandoned = side->receiver->reassembler().abandonedFrameCount();
    };
    coordinator->onVideoFormatAvailable = [side](std::int32_t width, std::int32_t height,
                                                 const std::vector<std::vector<std::uint8_t>>& parameterSets,
                                                 std::int32_t nalUnitHeaderLength) {
        side->writer->setVideoFormat({width, height, parameterSets, nalUnitHeaderLength});
    };
    coordinator->onAudioFormatAvailable = [side](double sampleRate, std::int32_t channels,
                                                 const std::vector<std::uint8_t>& configuration) {
        side->writer->setAudioFormat({roundClamped<int>(sampleRate, 0), channels, configuration});
    };
    coordinator->onEncodedAudio = [side](const std::vector<std::uint8_t>& packet, double presentationTime) {
        ++side->audioPackets;
        side->noteWrite(side->writer->writeAudio(packet, presentationTime));
    };
    auto warnings = std::make_shared<std::atomic<int>>(0);
    coordinator->onError = [side, logger, warnings](std::uint32_t displayID, std::exception_ptr error) {
        ++side->errors;
        const std::string text = "display " + std::to_string(displayID) + ": " + describe(error);
        if (logger) logger->log(text);
        if (++*warnings <= maxPrintedWarnings) std::fprintf(stderr, "\nmivodrell-stream: warning: %s\n", text.c_str());
    };
    coordinator->setOnDiagnostic([side, logger](const std::string& line) {
        if (logger) logger->log(line);
        // The coordinator's cost probe reports the mean composite + encode time every 5 s.
        if (line.find("合成+編碼") != std::string::npos) {
            if (const auto at = line.find("平均 "); at != std::string::npos) {
                side->tickMilliseconds = std::strtod(line.c_str() + at + std::string("平均 ").size(), nullptr);
            }
        }
    });

    // The owner's loop: re-plan as the viewport moves, grade the link once a second.
    CaptureSourcePlanner::Configuration plannerConfiguration;
    plannerConfiguration.captureMarginRatio = 0.24;
    plannerConfiguration.minReconfigureInterval = 0.4;
    CaptureSourcePlanner planner(plannerConfiguration);
    const EncoderPolicy policy(EncoderPolicy::Configuration::preset(1));
    LinkQuality quality = LinkQuality::good;
    const CGSize phone{double(options.phoneWidth), double(options.phoneHeight)};
    const double aspect = phone.width / phone.height;
    if (options.audio) coordinator->setAudioEnabled(true);

    StatusReporter reporter(statusOut, statusIsTerminal);
    const auto start = std::chrono::steady_clock::now();
    double nextStatus = 1.0;
    StreamFigures lastSecond = figures(*side, 0, options.seconds);
    std::optional<std::int64_t> appliedAudioBitrate;
    for (int step = 0;; ++step) {
        const double now = secondsSince(start);
        if (now >= options.seconds || interrupted) break;
        const CGRect viewport = viewportAt(options.viewport, topology.bounds(), aspect, now);
        const CapturePlan plan = planner.plan(viewport, topology, phone, now);
        const CompositeOutputPlan output =
            CompositeOutputPlanner::plan(viewport, phone, quality <= LinkQuality::fair, CompositeOutputPlanner::Configuration{});
        const EncoderSettings settings = policy.settings(quality, 1.0, 1.0, std::nullopt);
        coordinator->apply(plan, displays, topology, output.cropRect, output.outputPixelSize, settings);
        if (const auto focus = topology.displayContaining(CGPoint{viewport.midX(), viewport.midY()})) {
            coordinator->setFocusDisplay(focus->id());
        }
        if (const std::int64_t audioBitrate = policy.audioBitrate(quality); options.audio && appliedAudioBitrate != audioBitrate) {
            coordinator->applyAudioBitrate(audioBitrate);
            appliedAudioBitrate = audioBitrate;
        }
        if (now >= nextStatus) {
            const StreamFigures current = figures(*side, now, options.seconds);
            reporter.report(current);
            const std::int64_t encoded = current.framesEncoded - lastSecond.framesEncoded;
            if (encoded > 0) {
                const double played = double(current.framesReceived - lastSecond.framesReceived) / double(encoded);
                quality = LinkQuality::classifyPlaybackFPSRatio(played, quality);
            }
            lastSecond = current;
            nextStatus += 1.0;
        }
        const double wake = (step + 1) * replanInterval;
        std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, wake - secondsSince(start))));
    }
    coordinator->stopAll();
    const double elapsed = secondsSince(start);
    side->link->flush();
    const std::optional<std::string> finishError = side->writeError ? side->writeError : side->writer->finish();
    StreamFigures final = figures(*side, elapsed, options.seconds);
    final.framesRecorded = side->writer->counts().videoFrames;
    final.audioPacketsRecorded = side->writer->counts().audioPackets;
    reporter.summarize(final, finishError ? std::string("none") : options.output);

    if (finishError) {
        const bool nothingToPlay = *finishError == "no video was received";
        return fail(nothingToPlay ? "the controller received no complete keyframe, so there is nothing to play; nothing recorded"
                                  : *finishError,
                    nothingToPlay ? 3 : 1);
    }
    if (interrupted) std::fprintf(stderr, "mivodrell-stream: interrupted; the recording holds what was streamed\n");
    return 0;
}

}  // namespace mivodrell::stream
