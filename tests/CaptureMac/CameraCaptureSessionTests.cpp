#include "CaptureMac/CameraCaptureSession.h"
#include "CaptureTestSupport.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Device/Virtual/VirtualDeviceServer.h"
#include "support/Thrown.h"

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <limits>
#include <thread>

namespace mivodrell {
namespace {

using Error = CameraCaptureSession::CaptureError;
using Kind = Error::Kind;
using Outcome = VoiceProcessingScript::Outcome;
using testing::thrown;

struct Fixture {
    std::shared_ptr<VirtualDeviceServer> server = VirtualDeviceServer::create();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(100.0);
    std::shared_ptr<CameraCaptureSession> session;
    std::vector<std::string> diagnostics;  // on the test thread (the caller of startMicrophone)
    testing::Collected<SampleBufferRef> video;
    testing::Collected<SampleBufferRef> audio;
    std::atomic<int> deliveredOffQueue{0};

    explicit Fixture(Outcome voiceProcessing = Outcome::success) {
        server->addCamera({"front", "FaceTime HD", 64, 48, 30});
        server->addCamera({"usb", "USB Camera", 32, 24, 15});
        server->setDefaultCamera("front");
        server->setMicrophone({});
        server->setVoiceProcessing({voiceProcessing, {48000, 1, false}, {"VirtualDeviceServer", -10868, "voice processing unavailable"}});
        session = CameraCaptureSession::create(server, clock);
        auto queue = session->sampleQueue();
        session->onVideoSampleBuffer = [this, queue](const SampleBufferRef& s) {
            if (!queue->isCurrent()) ++deliveredOffQueue;
            video.add(s);
        };
        session->onAudioSampleBuffer = [this, queue](const SampleBufferRef& s) {
            if (!queue->isCurrent()) ++deliveredOffQueue;
            audio.add(s);
        };
        session->onDiagnostic = [this](const std::string& line) { diagnostics.push_back(line); };
    }
    // Waits for the running-state update and every delivery queued so far.
    void drain() { session->sampleQueue()->sync([] {}); }
    bool graphRunning() {
        drain();
        return session->session()->isRunning();
    }
};

std::uint8_t frameIndexOf(const SampleBufferRef& sample) { return sample->imageBuffer->baseAddress()[2]; }

TEST(CameraCaptureSession, AttachesTheCameraAndDeliversBGRAFramesOnTheSampleQueue) {
    Fixture f;
    f.session->startCamera(true, "usb");
    EXPECT_TRUE(f.session->isCameraRunning());
    EXPECT_EQ(f.session->currentCameraID(), "usb");
    EXPECT_TRUE(f.graphRunning());
    f.server->tick(0.0);
    f.drain();
    f.server->tick(1.0 / 15);
    f.drain();
    ASSERT_EQ(f.video.size(), 2u);
    const auto frame = f.video.at(1);
    ASSERT_TRUE(frame->imageBuffer);
    EXPECT_EQ(frame->imageBuffer->pixelFormat(), PixelFormat::bgra);
    EXPECT_EQ(frame->imageBuffer->width(), 32);
    EXPECT_EQ(frameIndexOf(frame), 1);
    EXPECT_EQ(f.deliveredOffQueue, 0);
}

TEST(CameraCaptureSession, AFailedSwitchLeavesNoCameraAndStopsTheGraphUnlessASessionMicrophoneIsAttached) {
    for (const bool sessionMicrophone : {false, true}) {
        SCOPED_TRACE(sessionMicrophone);
        Fixture f(Outcome::enableFails);
        if (sessionMicrophone) f.session->startMicrophone(true);
        f.session->startCamera(true, "front");
        ASSERT_TRUE(f.graphRunning());
        const auto error = thrown<Error>([&] { f.session->startCamera(true, "gone"); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind, Kind::deviceNotFound);
        EXPECT_EQ(error->deviceID, "gone");  // no fallback to the default camera
        EXPECT_FALSE(f.session->isCameraRunning());
        EXPECT_FALSE(f.session->currentCameraID());
        EXPECT_FALSE(f.session->session()->containsOutput(f.session->videoOutput()));
        EXPECT_EQ(f.session->session()->configurationDepth(), 0);
        EXPECT_EQ(f.graphRunning(), sessionMicrophone);
        EXPECT_EQ(f.server->runningCameraSources(), 0);
        EXPECT_EQ(f.server->runningMicrophoneSources(), sessionMicrophone ? 1 : 0);
    }
}

TEST(CameraCaptureSession, EveryAttachErrorCommitsTheTransactionAndLeavesNothingAttached) {
    struct Case {
        const char* name;
        std::function<void(VirtualDeviceServer&)> script;
        bool microphone;
        Kind kind;
        std::string deviceID;
    };
    const std::vector<Case> cases = {
        {"no default camera", [](VirtualDeviceServer& s) { s.setDefaultCamera(""); }, false, Kind::deviceNotFound, "預設鏡頭"},
        {"no microphone", [](VirtualDeviceServer& s) { s.removeMicrophone(); }, true, Kind::deviceNotFound, "預設麥克風"},
        {"camera input", [](VirtualDeviceServer& s) { s.setInputCreationFailure(PlatformError{"V", 13, "denied"}); }, false,
         Kind::inputCreationFailed, ""},
        {"microphone input", [](VirtualDeviceServer& s) { s.setInputCreationFailure(PlatformError{"V", 13, "denied"}); }, true,
         Kind::inputCreationFailed, ""},
        {"camera refused", [](VirtualDeviceServer& s) { s.setRefusesInputs(true); }, false, Kind::cannotAddInput, ""},
        {"microphone refused", [](VirtualDeviceServer& s) { s.setRefusesInputs(true); }, true, Kind::cannotAddInput, ""},
        {"video output refused", [](VirtualDeviceServer& s) { s.setRefusesOutputs(MediaType::video, true); }, false,
         Kind::cannotAddOutput, ""},
        {"audio output refused", [](VirtualDeviceServer& s) { s.setRefusesOutputs(MediaType::audio, true); }, true,
         Kind::cannotAddOutput, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f(Outcome::enableFails);
        c.script(*f.server);
        const auto error = thrown<Error>([&] {
            if (c.microphone) {
                f.session->startMicrophone(true);
            } else {
                f.session->startCamera(true, std::nullopt);
            }
        });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind, c.kind);
        EXPECT_EQ(error->deviceID, c.deviceID);
        if (c.kind == Kind::inputCreationFailed) {
            ASSERT_TRUE(error->underlying);
            EXPECT_EQ(error->underlying->code, 13);
        }
        EXPECT_FALSE(f.session->isCameraRunning());
        EXPECT_FALSE(f.session->isMicrophoneRunning());
        EXPECT_TRUE(f.session->session()->inputs().empty());
        EXPECT_TRUE(f.session->session()->outputs().empty());
        EXPECT_EQ(f.session->session()->configurationDepth(), 0);
        EXPECT_FALSE(f.graphRunning());
    }
}

TEST(CameraCaptureSession, DisablingWithNothingAttachedIsAnEmptyTransaction) {
    Fixture f;
    EXPECT_FALSE(thrown<Error>([&] { f.session->startCamera(false, std::nullopt); }));
    EXPECT_FALSE(thrown<Error>([&] { f.session->startCamera(false, "unknown"); }));
    EXPECT_EQ(f.session->session()->configurationDepth(), 0);
    EXPECT_FALSE(f.graphRunning());
    EXPECT_EQ(f.server->inputsCreated(), 0u);
}

TEST(CameraCaptureSession, AttachingTheSameCameraAgainReplacesItsInput) {
    Fixture f;
    f.session->startCamera(true, std::nullopt);
    const auto first = f.session->session()->inputs();
    f.session->startCamera(true, std::nullopt);
    const auto second = f.session->session()->inputs();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(first[0], second[0]);
    EXPECT_EQ(f.session->currentCameraID(), "front");
    EXPECT_EQ(f.server->inputsCreated(), 2u);
    EXPECT_TRUE(f.graphRunning());
    EXPECT_EQ(f.server->runningCameraSources(), 1);
}

TEST(CameraCaptureSession, LateFramesAreReplacedByNewerOnes) {
    Fixture f;
    f.session->startCamera(true, "front");
    f.drain();
    std::promise<void> release;
    auto released = release.get_future().share();
    f.session->sampleQueue()->async([released] { released.wait(); });
    f.server->tick(4.0 / 30);  // five frames while the queue is busy
    release.set_value();
    f.drain();
    ASSERT_EQ(f.video.size(), 1u);
    EXPECT_EQ(frameIndexOf(f.video.at(0)), 4);
    EXPECT_EQ(f.session->videoOutput()->droppedLateFrames(), 4u);
}

TEST(CameraCaptureSession, TheEnginePathCarriesTheMicrophoneWithoutTheGraph) {
    Fixture f;
    f.session->startMicrophone(true);
    EXPECT_TRUE(f.session->hasAudioEngine());
    EXPECT_FALSE(f.session->hasAudioInput());
    EXPECT_TRUE(f.session->isMicrophoneRunning());
    EXPECT_TRUE(f.session->usesVoiceProcessing());
    EXPECT_EQ(f.session->microphonePathDescription(), "AVAudioEngine 語音處理（回音消除）");
    EXPECT_FALSE(f.graphRunning());
    EXPECT_EQ(f.diagnostics,
              std::vector<std::string>{"麥克風：AVAudioEngine 語音處理已啟用，輸入 48000Hz/1ch non-interleaved（控制中心可選「人聲隔離」）"});

    f.server->tick(3 * 1024 / 48000.0);
    f.drain();
    ASSERT_EQ(f.audio.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto sample = f.audio.at(i);
        EXPECT_EQ(sample->presentationTime, MediaTime::make(static_cast<std::int64_t>(1024 * i), 48000));
        EXPECT_EQ(sample->sampleCount, 1024);
        ASSERT_TRUE(sample->audioFormat);
        EXPECT_TRUE(sample->audioFormat->formatFlags & AudioFormatFlag::isNonInterleaved);
    }
    EXPECT_EQ(f.deliveredOffQueue, 0);

    // A camera now runs the graph; switching the microphone off leaves it to the camera.
    f.session->startCamera(true, std::nullopt);
    EXPECT_TRUE(f.graphRunning());
    f.session->startMicrophone(false);
    EXPECT_FALSE(f.session->isMicrophoneRunning());
    EXPECT_FALSE(f.server->engineRunning());
    EXPECT_EQ(f.session->microphonePathDescription(), "AVCaptureSession（無回音消除）");
    EXPECT_TRUE(f.graphRunning());
    f.session->stop();
    EXPECT_FALSE(f.session->isCameraRunning());
    EXPECT_FALSE(f.graphRunning());
}

TEST(CameraCaptureSession, AVoiceProcessingFailureGivesOneDiagnosticAndTheSessionPath) {
    const std::vector<std::pair<Outcome, std::string>> cases = {
        {Outcome::enableFails, "麥克風：setVoiceProcessingEnabled 失敗（voice processing unavailable），退回 AVCaptureSession 路徑"},
        {Outcome::invalidFormat, "麥克風：語音處理輸入格式無效（0 Hz, 0 ch, Float32, non-interleaved），退回 AVCaptureSession 路徑"},
        {Outcome::startFails, "麥克風：AVAudioEngine 啟動失敗（voice processing unavailable），退回 AVCaptureSession 路徑"},
    };
    for (const auto& [outcome, line] : cases) {
        SCOPED_TRACE(line);
        Fixture f(outcome);
        f.session->startMicrophone(true);
        EXPECT_EQ(f.diagnostics, std::vector<std::string>{line});
        EXPECT_FALSE(f.session->hasAudioEngine());
        EXPECT_TRUE(f.session->hasAudioInput());
        EXPECT_EQ(f.session->microphonePathDescription(), "AVCaptureSession（無回音消除）");
        EXPECT_TRUE(f.graphRunning());
        EXPECT_FALSE(f.server->engineRunning());
        f.server->tick(2 * 1024 / 48000.0);
        f.drain();
        ASSERT_EQ(f.audio.size(), 2u);
        const auto sample = f.audio.at(1);
        ASSERT_TRUE(sample->audioFormat && sample->audioBufferList);
        EXPECT_EQ(sample->audioFormat->formatFlags & AudioFormatFlag::isNonInterleaved, 0u);
        EXPECT_EQ(sample->audioFormat->bitsPerChannel, 32u);
        EXPECT_EQ(sample->presentationTime, MediaTime::make(1024, 48000));
        // Turning it off returns to off: no engine, no input, graph stopped.
        f.session->startMicrophone(false);
        EXPECT_FALSE(f.session->isMicrophoneRunning());
        EXPECT_FALSE(f.graphRunning());
        EXPECT_EQ(f.diagnostics.size(), 1u);
    }
}

PCMBuffer toneBlock(double rate, std::uint32_t frames, std::uint32_t channels = 1, bool interleaved = false) {
    PCMBuffer buffer;
    buffer.format = {rate, channels, interleaved};
    buffer.frameLength = frames;
    const std::uint32_t buffers = interleaved ? 1 : channels;
    for (std::uint32_t b = 0; b < buffers; ++b) {
        AudioBuffer audio;
        audio.data.resize(std::size_t{frames} * sizeof(float) * (interleaved ? channels : 1));
        buffer.audioBufferList.push_back(std::move(audio));
    }
    return buffer;
}

TEST(CameraCaptureSession, MakeSampleBufferWrapsUsableBlocksAndDropsTheRest) {
    const ManualClock clock(100.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        PCMBuffer buffer;
        AudioTime time;
        std::optional<MediaTime> presentation;  // none: dropped
    };
    auto mismatched = toneBlock(48000, 1024, 2);
    mismatched.audioBufferList.pop_back();
    auto shortData = toneBlock(48000, 1024, 2, true);
    shortData.audioBufferList[0].data.resize(100);
    const std::vector<Case> cases = {
        {"sample time", toneBlock(48000, 1024), {true, 2048}, MediaTime::make(2048, 48000)},
        {"interleaved stereo", toneBlock(44100, 512, 2, true), {true, 7}, MediaTime::make(7, 44100)},
        {"fractional rate", toneBlock(22050.7, 16), {true, 5}, MediaTime::make(5, 22050)},
        {"no sample time: host clock", toneBlock(48000, 1024), {false, 0}, MediaTime::make(100000000000, 1000000000)},
        {"rate below 1 Hz", toneBlock(0.5, 4), {true, 3}, MediaTime::make(3, 1)},
        {"zero frames", toneBlock(48000, 0), {true, 0}, std::nullopt},
        {"zero rate", toneBlock(0, 16), {true, 0}, std::nullopt},
        {"negative rate", toneBlock(-48000, 16), {true, 0}, std::nullopt},
        {"NaN rate", toneBlock(nan, 16), {true, 0}, std::nullopt},
        {"infinite rate", toneBlock(inf, 16), {true, 0}, std::nullopt},
        {"no channels", toneBlock(48000, 16, 0), {true, 0}, std::nullopt},
        {"a channel buffer missing", mismatched, {true, 0}, std::nullopt},
        {"data shorter than the frames", shortData, {true, 0}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto sample = CameraCaptureSession::makeSampleBuffer(c.buffer, c.time, clock);
        ASSERT_EQ(sample != nullptr, c.presentation.has_value());
        if (!sample) continue;
        EXPECT_EQ(sample->presentationTime, *c.presentation);
        EXPECT_TRUE(std::isfinite(sample->presentationTime.seconds()));
        EXPECT_GE(sample->duration.timescale, 1);
        EXPECT_TRUE(std::isfinite(sample->duration.seconds()));
        EXPECT_EQ(sample->sampleCount, c.buffer.frameLength);
        ASSERT_TRUE(sample->audioFormat);
        EXPECT_EQ(sample->audioFormat->channelsPerFrame, c.buffer.format.channelCount);
        EXPECT_EQ(sample->audioBufferList->size(), c.buffer.audioBufferList.size());
    }
}

TEST(CameraCaptureSession, TappedBlocksWithoutFramesAreDroppedAndUntimedOnesTakeTheHostClock) {
    Fixture f;
    f.session->startMicrophone(true);
    ASSERT_TRUE(f.server->injectTapBuffer(toneBlock(48000, 0), {true, 0}));
    ASSERT_TRUE(f.server->injectTapBuffer(toneBlock(0.25, 4), {true, 9}));
    ASSERT_TRUE(f.server->injectTapBuffer(toneBlock(48000, 1024), {false, 0}));
    f.drain();
    ASSERT_EQ(f.audio.size(), 2u);
    EXPECT_EQ(f.audio.at(0)->presentationTime, MediaTime::make(9, 1));
    EXPECT_EQ(f.audio.at(1)->presentationTime, MediaTime::make(100000000000, 1000000000));
}

TEST(CameraCaptureSession, DeviceNoticesDeliverTheCurrentCameraListOnTheMainQueue) {
    Fixture f;
    testing::Collected<std::vector<CameraDevice>> lists;
    std::atomic<int> offMain{0};
    f.session->onDevicesChanged = [&](const std::vector<CameraDevice>& cameras) {
        if (!mainQueue()->isCurrent()) ++offMain;
        lists.add(cameras);
    };
    f.server->setMicrophone({"headset", "Headset"});  // a microphone: the unchanged camera list
    mainQueue()->sync([] {});
    f.server->addCamera({"desk", "Desk Camera"});
    mainQueue()->sync([] {});
    f.server->removeCamera("front");
    mainQueue()->sync([] {});
    ASSERT_EQ(lists.size(), 3u);
    EXPECT_EQ(lists.at(0), (std::vector<CameraDevice>{{"front", "FaceTime HD", true}, {"usb", "USB Camera", false}}));
    EXPECT_EQ(lists.at(1), (std::vector<CameraDevice>{{"front", "FaceTime HD", true}, {"usb", "USB Camera", false},
                                                      {"desk", "Desk Camera", false}}));
    EXPECT_EQ(lists.at(2), (std::vector<CameraDevice>{{"usb", "USB Camera", false}, {"desk", "Desk Camera", false}}));
    EXPECT_EQ(offMain, 0);
    EXPECT_FALSE(f.session->isCameraRunning());  // a notice attaches nothing

    // Once the session is gone its observers are too.
    std::weak_ptr<CameraCaptureSession> weak = f.session;
    f.session.reset();
    EXPECT_TRUE(weak.expired());
    f.server->removeMicrophone();
    mainQueue()->sync([] {});
    EXPECT_EQ(lists.size(), 3u);
}

TEST(CameraCaptureSession, ListsCamerasWithTheDefaultMarked) {
    auto server = VirtualDeviceServer::create();
    EXPECT_TRUE(CameraCaptureSession::availableCameras(server).empty());
    server->addCamera({"a", "A"});
    server->addCamera({"b", "B"});
    EXPECT_EQ(CameraCaptureSession::availableCameras(server),
              (std::vector<CameraDevice>{{"a", "A", false}, {"b", "B", false}}));
    server->setDefaultCamera("b");
    EXPECT_EQ(CameraCaptureSession::availableCameras(server),
              (std::vector<CameraDevice>{{"a", "A", false}, {"b", "B", true}}));
}

TEST(CameraCaptureSession, RequestAccessAnswersDecidedStatusesAtOnceAndUndecidedOnesLater) {
    auto server = VirtualDeviceServer::create();
    for (const auto& [status, expected] : {std::pair{AuthorizationStatus::authorized, true},
                                          std::pair{AuthorizationStatus::denied, false},
                                          std::pair{AuthorizationStatus::restricted, false}}) {
        server->setAuthorization(MediaType::video, status);
        std::optional<bool> answer;
        std::thread::id thread;
        CameraCaptureSession::requestAccess(MediaType::video, [&](bool granted) {
            answer = granted;
            thread = std::this_thread::get_id();
        }, server);
        ASSERT_TRUE(answer);  // before returning, without a prompt
        EXPECT_EQ(*answer, expected);
        EXPECT_EQ(thread, std::this_thread::get_id());
        EXPECT_EQ(server->pendingAccessRequests(MediaType::video), 0);
    }

    server->setAuthorization(MediaType::audio, AuthorizationStatus::notDetermined);
    std::promise<std::pair<bool, std::thread::id>> answered;
    CameraCaptureSession::requestAccess(MediaType::audio, [&](bool granted) {
        answered.set_value({granted, std::this_thread::get_id()});
    }, server);
    EXPECT_EQ(server->pendingAccessRequests(MediaType::audio), 1);
    server->answerAccessRequests(MediaType::audio, true);
    const auto [granted, thread] = answered.get_future().get();
    EXPECT_TRUE(granted);
    EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_EQ(server->authorizationStatus(MediaType::audio), AuthorizationStatus::authorized);
}

}  // namespace
}  // namespace mivodrell
