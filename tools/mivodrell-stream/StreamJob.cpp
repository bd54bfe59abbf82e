#include "StreamJob.h"

#include "AudioPacketTimes.h"
#include "ControllerPlayback.h"
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
#include "Platform/Base/PlatformError.h"
#include "Platform/Capture/CaptureBackendFactory.h"
#include "Platform/Capture/Virtual/VirtualCaptureServer.h"
#include "Platform/Capture/X11/X11ScreenGrabber.h"
#include "Platform/Codec/X265CompressionSession.h"
#include "ViewportCore/DisplayTopology.h"
#include "ViewportCore/FileLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <thread>
#include <variant>

namespace mivodrell::stream {
namespace {

std::atomic<int> stopSignal{0};
extern "C" void onStopSignal(int signal) { stopSignal = signal; }

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    // A closed status output and a file-size limit show as failing writes, which end the run.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

const char* signalName(int signal) {
    switch (signal) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "a signal";
    }
}

constexpr double renderInterval = 1.0 / 60.0;
constexpr double replanInterval = 1.0 / 30.0;
constexpr double displayCheckInterval = 1.0;
constexpr double displayTroubleCheckInterval = 0.25;
constexpr double displayQueryTimeout = 2.0;
constexpr double encoderFrameRate = 60.0;
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

std::string describe(const PlatformError& error) {
    return error.description + " (" + error.domain + " " + std::to_string(error.code) + ")";
}

std::string describe(const std::exception_ptr& error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (const PlatformError& e) {
        return describe(e);
    } catch (...) {
    }
    return "unknown error";
}

bool isLostServer(const std::exception_ptr& error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const PlatformError& e) {
        return e.code == X11CaptureStatus::connectionLost;
    } catch (...) {
    }
    return false;
}

int fail(const std::string& message, int code) {
    std::fprintf(stderr, "mivodrell-stream: %s\n", message.c_str());
    return code;
}

// A file the job writes: an existing entry must be a regular file (the output is replaced by a
// rename, so a link there is refused rather than followed); missing folders are made.
std::optional<std::string> checkTarget(const std::string& option, const std::string& path, bool followLink) {
    struct stat info {};
    if ((followLink ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) == 0) {
        if (S_ISDIR(info.st_mode)) return option + " " + path + " is a folder";
        if (!S_ISREG(info.st_mode)) return option + " " + path + " exists and is not a regular file; it is left alone";
    } else if (errno != ENOENT) {
        return "cannot use " + path + ": " + std::strerror(errno);
    }
    std::error_code error;
    if (const auto parent = std::filesystem::path(path).parent_path(); !parent.empty()) {
        std::filesystem::create_directories(parent, error);
        if (error) return "cannot make the folder " + parent.string() + " for " + path + ": " + error.message();
    }
    return std::nullopt;
}

std::variant<std::shared_ptr<FileLogger>, std::string> openLog(const std::string& path) {
    if (auto bad = checkTarget("--log", path, true)) return *bad;
    // Opened without blocking first, for the reason when it cannot be written.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) return "cannot write the log " + path + ": " + std::strerror(errno);
    close(fd);
    auto logger = FileLogger::create(path, true);
    if (!logger) return "cannot write the log " + path;
    return logger;
}

// Every picture size the job may ask of the encoder (each link grade's output scale) must be one
// the HEVC encoder takes and that an HEVC level holds.
std::optional<std::string> checkPictureSizes(const StreamOptions& options, const EncoderPolicy& policy) {
    const CGSize phone{double(options.phoneWidth), double(options.phoneHeight)};
    for (const LinkQuality quality : {LinkQuality::excellent, LinkQuality::good, LinkQuality::fair, LinkQuality::poor}) {
        const CGSize output = CompositeOutputPlanner::plan(CGRect{0, 0, phone.width, phone.height}, phone,
                                                           quality <= LinkQuality::fair, CompositeOutputPlanner::Configuration{})
                                  .outputPixelSize;
        const double scale = policy.settings(quality, 1.0, 1.0, std::nullopt).scale;
        const auto size = CompositeCaptureCoordinator::encoderSize(output, scale);
        if (!size) continue;
        CompressionSession::Parameters parameters;
        parameters.width = size->first;
        parameters.height = size->second;
        if (CompressionSession::create(parameters).status != CompressionStatus::ok ||
            HEVCLevel::smallestFitting(size->first, size->second, encoderFrameRate) == 0) {
            return "--phone " + std::to_string(options.phoneWidth) + "x" + std::to_string(options.phoneHeight) +
                   " makes " + std::to_string(size->first) + "x" + std::to_string(size->second) +
                   " pictures, which the HEVC encoder cannot take (see --help)";
        }
    }
    return std::nullopt;
}

struct Sources {
    std::shared_ptr<CaptureBackend> screen;
    std::shared_ptr<CaptureBackend> audio;
    std::string name;  // of the X server, for messages
};

std::variant<Sources, std::string> openSources(const StreamOptions& options) {
    Sources sources;
    if (options.source == StreamOptions::Source::virtualServer) {
        auto server = VirtualCaptureServer::create();
        for (int i = 0; i < options.displays; ++i) {
            server->addDisplay(CaptureDisplay{std::uint32_t(i + 1), CGRect{1920.0 * i, 0, 1920, 1080}, 1.0, i == 0,
                                              "Virtual " + std::to_string(i + 1)});
        }
        server->setAudioTone(440, 0.25);
        sources.screen = sources.audio = server;
        return sources;
    }
    CaptureBackendRequest request;
    request.screen = CaptureBackendRequest::Screen::x11;
    request.x11Display = options.display;
    request.systemAudio = options.audio ? CaptureBackendRequest::SystemAudio::pulseAudio
                                        : CaptureBackendRequest::SystemAudio::virtualServer;
    CaptureBackends backends = makeCaptureBackends(request);
    const char* environment = std::getenv("DISPLAY");
    sources.name = options.display.empty() ? (environment ? environment : "") : options.display;
    if (!backends.screenIsX11) {
        // The factory falls back to the virtual display; asked for X11, this tool stops instead.
        std::string why = backends.notes.empty() ? std::string("no answer") : backends.notes.front();
        if (const auto open = why.find('('), close = why.rfind(')'); open != std::string::npos && close > open) {
            why = why.substr(open + 1, close - open - 1);
        }
        return "cannot open X display " + (sources.name.empty() ? std::string("(DISPLAY is not set)") : sources.name) +
               ": " + why;
    }
    // A recording of real capture never carries made-up sound.
    if (options.audio && !backends.audioIsPulseAudio) {
        return std::string("--audio: no PulseAudio server answers, so the system audio cannot be recorded "
                           "(start one, or leave out --audio)");
    }
    sources.screen = backends.screen;
    sources.audio = backends.audio;
    return sources;
}

DisplayTopology topologyOf(const std::vector<CaptureDisplay>& displays) {
    std::vector<DisplayInfo> infos;
    for (const auto& d : displays) infos.emplace_back(d.displayID, d.frame, d.scale, d.isMain, d.name);
    return DisplayTopology(infos);
}

std::string listed(const std::vector<CaptureDisplay>& displays) {
    std::string text;
    for (const auto& d : displays) {
        if (!text.empty()) text += ", ";
        text += fmt::format("{} {}x{}+{}+{}", d.name, roundClamped<int>(d.frame.width(), 0), roundClamped<int>(d.frame.height(), 0),
                            roundClamped<int>(d.frame.minX(), 0), roundClamped<int>(d.frame.minY(), 0));
    }
    return text.empty() ? "none" : text;
}

// What travels from the coordinator's queue to the controller side and the recorder. Touched
// only on the coordinator's queue, except the atomics; the calling thread reads the rest after
// `stopAll`.
struct ControllerSide {
    std::unique_ptr<FrameTransmitter> transmitter;
    std::unique_ptr<LossyLink> link;
    std::unique_ptr<FrameReceiver> receiver;
    std::unique_ptr<MatroskaWriter> writer;
    std::shared_ptr<FileLogger> logger;
    bool originLogged = false;
    ControllerPlayback playback;
    std::optional<std::string> writeError;
    std::chrono::steady_clock::time_point start;

    std::atomic<std::int64_t> framesEncoded{0}, framesReceived{0}, bytesSent{0}, keyframesSent{0};
    std::atomic<std::int64_t> packetsSent{0}, packetsLost{0}, framesAbandoned{0}, keyframeRequests{0};
    std::atomic<std::int64_t> audioPackets{0}, errors{0}, framesSkipped{0};
    std::atomic<double> tickMilliseconds{0};
    std::atomic<bool> writeFailed{false};
    std::atomic<bool> displayTrouble{false};
    std::atomic<bool> serverLost{false};

    void noteWrite(std::optional<std::string> error) {
        if (!originLogged && writer->origin() && logger) {
            logger->log(fmt::format("recording: time 0 is host time {:.6f} s", *writer->origin()));
            originLogged = true;
        }
        if (!error || writeError) return;
        writeError = std::move(error);
        writeFailed = true;
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

void connect(const std::shared_ptr<ControllerSide>& side, const std::shared_ptr<CompositeCaptureCoordinator>& coordinator,
             const std::shared_ptr<AudioPacketTimes>& audioTimes, const StreamOptions& options,
             const std::shared_ptr<FileLogger>& logger, bool statusIsTerminal) {
    // Controller side: transmitter -> lossy link -> receiver -> recorder.
    side->start = std::chrono::steady_clock::now();
    side->logger = logger;
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
        const ControllerPlayback::Decision decision = raw->playback.frameCompleted(frame.frameID, frame.isKeyframe);
        if (decision.requestKeyframe) {
            ++raw->keyframeRequests;
            if (auto owner = weakCoordinator.lock()) owner->requestKeyframe(0);
        }
        if (!decision.play) {
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
    coordinator->onAudioFormatAvailable = [side, audioTimes](double sampleRate, std::int32_t channels,
                                                             const std::vector<std::uint8_t>& configuration) {
        audioTimes->setOutputRate(sampleRate);
        side->writer->setAudioFormat({roundClamped<int>(sampleRate, 0), channels, configuration});
    };
    coordinator->onEncodedAudio = [side, audioTimes](const std::vector<std::uint8_t>& packet, double presentationTime) {
        ++side->audioPackets;
        side->noteWrite(side->writer->writeAudio(packet, audioTimes->packetTime(presentationTime)));
    };
    auto warnings = std::make_shared<std::atomic<int>>(0);
    coordinator->onError = [side, logger, warnings, statusIsTerminal](std::uint32_t displayID, std::exception_ptr error) {
        ++side->errors;
        // A display's stream failed: the owner reads the displays again.
        if (displayID != 0) side->displayTrouble = true;
        if (isLostServer(error)) side->serverLost = true;
        const std::string text = (displayID != 0 ? "display " + std::to_string(displayID) : std::string("audio or encoder")) +
                                 ": " + describe(error);
        if (logger) logger->log(text);
        if (++*warnings <= maxPrintedWarnings) {
            std::fprintf(stderr, "%smivodrell-stream: warning: %s\n", statusIsTerminal ? "\n" : "", text.c_str());
        }
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
}

}  // namespace

int runStreamJob(const StreamOptions& options, std::FILE* statusOut, bool statusIsTerminal) {
    installSignalHandlers();
    const EncoderPolicy policy(EncoderPolicy::Configuration::preset(1));

    // Everything that can be checked is checked before anything starts.
    if (auto refused = checkPictureSizes(options, policy)) return fail(*refused, ExitCode::badOptions);
    if (auto bad = checkTarget("--output", options.output, false)) return fail(*bad, ExitCode::cannotStart);
    auto side = std::make_shared<ControllerSide>();
    {
        auto created = MatroskaWriter::create(options.output, options.audio);
        if (auto* error = std::get_if<std::string>(&created)) return fail(*error, ExitCode::cannotStart);
        side->writer = std::move(std::get<std::unique_ptr<MatroskaWriter>>(created));
    }
    std::shared_ptr<FileLogger> logger;
    if (!options.logFile.empty()) {
        auto opened = openLog(options.logFile);
        if (auto* error = std::get_if<std::string>(&opened)) return fail(*error, ExitCode::cannotStart);
        logger = std::get<std::shared_ptr<FileLogger>>(opened);
    }
    auto opened = openSources(options);
    if (auto* error = std::get_if<std::string>(&opened)) return fail(*error, ExitCode::cannotStart);
    const Sources sources = std::get<Sources>(opened);
    std::vector<CaptureDisplay> displays;
    try {
        displays = ShareableContentFetcher::currentDisplays(10, sources.screen);
    } catch (const std::exception& e) {
        return fail(std::string("cannot list the displays: ") + e.what(), ExitCode::cannotStart);
    }
    if (displays.empty()) return fail("the capture source lists no displays", ExitCode::cannotStart);
    DisplayTopology topology = topologyOf(displays);

    // The coordinator, as the owner builds it.
    CompositeCaptureCoordinator::Collaborators collaborators;
    collaborators.captureBackend = sources.screen;
    const auto audioTimes = std::make_shared<AudioPacketTimes>();
    collaborators.audioCaptureBackend = audioTimes->observe(sources.audio);
    auto coordinator = CompositeCaptureCoordinator::create(
        renderInterval, HEVCEncoder::Configuration{encoderFrameRate, 240, 8'000'000},
        AudioEncoder::Configuration{16000, 2, 16000}, collaborators);
    if (!coordinator) return fail("the compositor cannot run on this machine", ExitCode::cannotStart);
    connect(side, coordinator, audioTimes, options, logger, statusIsTerminal);

    // The owner's loop: re-plan as the viewport moves, grade the link once a second, follow the
    // displays.
    CaptureSourcePlanner::Configuration plannerConfiguration;
    plannerConfiguration.captureMarginRatio = 0.24;
    plannerConfiguration.minReconfigureInterval = 0.4;
    CaptureSourcePlanner planner(plannerConfiguration);
    LinkQuality quality = LinkQuality::good;
    const CGSize phone{double(options.phoneWidth), double(options.phoneHeight)};
    const double aspect = phone.width / phone.height;
    if (options.audio) coordinator->setAudioEnabled(true);

    StatusReporter reporter(statusOut, statusIsTerminal);
    const auto start = std::chrono::steady_clock::now();
    double nextStatus = 1.0;
    double lastDisplayCheck = 0;
    StreamFigures lastSecond = figures(*side, 0, options.seconds);
    std::optional<std::int64_t> appliedAudioBitrate;
    std::optional<std::string> failure;
    bool outputClosed = false;
    for (int step = 0;; ++step) {
        const double now = secondsSince(start);
        if (now >= options.seconds || stopSignal != 0 || side->writeFailed) break;
        const bool trouble = side->displayTrouble && now - lastDisplayCheck >= displayTroubleCheckInterval;
        if (trouble || now - lastDisplayCheck >= displayCheckInterval) {
            side->displayTrouble = false;
            lastDisplayCheck = now;
            std::vector<CaptureDisplay> current;
            try {
                current = ShareableContentFetcher::currentDisplays(displayQueryTimeout, sources.screen);
            } catch (const std::exception& e) {
                failure = "lost the X server " + sources.name + ": " + e.what();
                break;
            }
            if (current.empty()) {
                failure = side->serverLost ? "lost the X server " + sources.name : std::string("no display is left to capture");
                break;
            }
            if (DisplayTopology changed = topologyOf(current); !(changed == topology)) {
                std::fprintf(stderr, "%smivodrell-stream: the displays changed: %s\n", statusIsTerminal ? "\n" : "",
                             listed(current).c_str());
                displays = std::move(current);
                topology = std::move(changed);
            } else if (trouble) {
                // Same displays, but a stream ended: plan every display afresh so it starts again.
                planner.reset();
            }
        }
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
            if (!reporter.report(current)) {
                outputClosed = true;
                break;
            }
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
    // The coordinator's queue has drained: the controller side is this thread's now.
    const double elapsed = secondsSince(start);
    side->link->flush();
    if (side->writeError) failure = side->writeError;
    const std::optional<std::string> finishError = side->writer->finish();
    StreamFigures final = figures(*side, elapsed, options.seconds);
    final.framesRecorded = side->writer->counts().videoFrames;
    final.audioPacketsRecorded = side->writer->counts().audioPackets;
    reporter.summarize(final, side->writer->kept() ? options.output : std::string("none"));

    const std::string after = fmt::format(" after {:.1f} s", elapsed);
    const std::string kept = side->writer->kept() ? options.output + " holds what was recorded before"
                                                  : std::string("nothing was recorded");
    if (!failure && finishError && !side->writer->kept() && *finishError == "no video was received") {
        return fail("the controller received no complete keyframe, so there is nothing to play; nothing recorded",
                    ExitCode::nothingToPlay);
    }
    if (failure || finishError) {
        return fail(failure.value_or(*finishError) + "; stopped" + after + "; " + kept, ExitCode::failedMidway);
    }
    if (stopSignal != 0 || outputClosed) {
        const std::string why = outputClosed ? std::string("the status output was closed") : signalName(stopSignal);
        std::fprintf(stderr, "mivodrell-stream: stopped by %s%s; %s holds what was streamed\n", why.c_str(),
                     after.c_str(), options.output.c_str());
        return ExitCode::interrupted;
    }
    return ExitCode::complete;
}

}  // namespace mivodrell::stream
