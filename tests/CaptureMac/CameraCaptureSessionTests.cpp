#include "CaptureMac/CameraCaptureSession.h"
#include "CaptureTestSupport.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Device/Virtual/VirtualDeviceServer.h"
#include "support/Thrown.h"
#include "support/VirtualV4L2Directory.h"
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <fcntl.h>
#include <cmath>
#include <future>
#include <limits>
#include <thread>
namespace mivodrell { namespace {
using Error = CameraCaptureSession::CaptureError;
using Kind = Error::Kind;
using Outcome = VoiceProcessingScript::Outcome;
using testing::thrown;
const std::string kSessionPath = "AVCaptureSession（無回音消除）";
const std::string kEnginePath = "AVAudioEngine 語音處理（回音消除）";
// A session on a virtual device server (cameras "front", the default, and "usb"; a microphone)
// and a manual clock; every sample and diagnostic it reports is collected.
struct Fixture {
    std::shared_ptr<VirtualDeviceServer> server = VirtualDeviceServer::create();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(100.0);
    std::shared_ptr<CameraCaptureSession> session;
    std::vector<std::string> diagnostics;  // on the test thread (the caller of startMicrophone)
    testing::Collected<SampleBufferRef> video, audio;
    std::atomic<int> deliveredOffQueue{0};
    explicit Fixture(Outcome voiceProcessing = Outcome::success, PCMFormat engineInput = {48000, 1, false}) {
        server->addCamera({"front", "FaceTime HD", 64, 48, 30});
        server->addCamera({"usb", "USB Camera", 32, 24, 15});
        server->setDefaultCamera("front");
        server->setMicrophone({});
        server->setVoiceProcessing({voiceProcessing, engineInput, {"VirtualDeviceServer", -10868, "voice processing unavailable"}});
        session = CameraCaptureSession::create(server, clock);
        auto queue = session->sampleQueue();
        const auto collect = [this, queue](testing::Collected<SampleBufferRef>& into) {
            return [this, queue, &into](const SampleBufferRef& s) {
                if (!queue->isCurrent()) ++deliveredOffQueue;
                into.add(s);
            };
        };
        session->session()->onRunningChanged = [this, queue](bool) { deliveredOffQueue += !queue->isCurrent(); };
        session->onVideoSampleBuffer = collect(video);
        session->onAudioSampleBuffer = collect(audio);
        session->onDiagnostic = [this](const std::string& line) { diagnostics.push_back(line); };
    }
    // Server time passes; returns after the running-state update and every delivery queued so far.
    void tick(double seconds) { server->tick(seconds); drain(); }
    void drain() { session->sampleQueue()->sync([] {}); }
    bool graphRunning() { drain(); return session->session()->isRunning(); }
};
std::uint8_t frameIndexOf(const SampleBufferRef& sample) { return sample->imageBuffer->baseAddress()[2]; }
TEST(CameraCaptureSession, AttachesTheCameraAndDeliversBGRAFramesOnTheSampleQueue) {
    Fixture f;
    f.session->startCamera(true, "usb");
    EXPECT_EQ(std::tuple(f.session->isCameraRunning(), f.session->currentCameraID(), f.graphRunning()), std::tuple(true, "usb", true));
    f.tick(0.0);
    f.tick(1.0 / 15);
    ASSERT_EQ(f.video.size(), 2u);
    const auto frame = f.video.at(1);
    ASSERT_TRUE(frame->imageBuffer);
    EXPECT_EQ(std::tuple(frame->imageBuffer->pixelFormat(), frame->imageBuffer->width(), frameIndexOf(frame)),
              std::tuple(PixelFormat::bgra, 32, std::uint8_t{1}));
    EXPECT_EQ(f.deliveredOffQueue, 0);
    // Attaching the same camera again replaces its input.
    const auto first = f.session->session()->inputs();
    f.session->startCamera(true, "usb");
    const auto second = f.session->session()->inputs();
    ASSERT_EQ(std::pair(first.size(), second.size()), std::pair(std::size_t{1}, std::size_t{1}));
    EXPECT_NE(first[0], second[0]);
    EXPECT_EQ(std::tuple(f.server->inputsCreated(), f.graphRunning(), f.server->runningCameraSources()), std::tuple(2u, true, 1));
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
        EXPECT_EQ(std::tie(error->kind, error->deviceID), std::tuple(Kind::deviceNotFound, "gone"));  // no fallback
        EXPECT_FALSE(f.session->isCameraRunning() || f.session->currentCameraID());
        EXPECT_FALSE(f.session->session()->containsOutput(f.session->videoOutput()));
        EXPECT_EQ(std::tuple(f.session->session()->configurationDepth(), f.graphRunning(), f.server->runningCameraSources(),
                             f.server->runningMicrophoneSources()), std::tuple(0, sessionMicrophone, 0, sessionMicrophone ? 1 : 0));
    }
}
TEST(CameraCaptureSession, EveryAttachErrorCommitsTheTransactionAndLeavesNothingAttached) {
    using Script = std::function<void(VirtualDeviceServer&)>;
    const Script denyInputs = [](VirtualDeviceServer& s) { s.setInputCreationFailure(PlatformError{"V", 13, "denied"}); };
    const Script refuseInputs = [](VirtualDeviceServer& s) { s.setRefusesInputs(true); };
    struct Case { const char* name; Script script; bool microphone; Kind kind; std::string deviceID; };
    const std::vector<Case> cases = {
        {"no default camera", [](VirtualDeviceServer& s) { s.setDefaultCamera(""); }, false, Kind::deviceNotFound, "預設鏡頭"},
        {"no microphone", [](VirtualDeviceServer& s) { s.removeMicrophone(); }, true, Kind::deviceNotFound, "預設麥克風"},
        {"camera input", denyInputs, false, Kind::inputCreationFailed, ""}, {"microphone input", denyInputs, true, Kind::inputCreationFailed, ""},
        {"camera refused", refuseInputs, false, Kind::cannotAddInput, ""}, {"microphone refused", refuseInputs, true, Kind::cannotAddInput, ""},
        {"video output refused", [](VirtualDeviceServer& s) { s.setRefusesOutputs(MediaType::video, true); }, false, Kind::cannotAddOutput, ""},
        {"audio output refused", [](VirtualDeviceServer& s) { s.setRefusesOutputs(MediaType::audio, true); }, true, Kind::cannotAddOutput, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f(Outcome::enableFails);
        c.script(*f.server);
        const auto error = thrown<Error>([&] { c.microphone ? f.session->startMicrophone(true) : f.session->startCamera(true, std::nullopt); });
        ASSERT_TRUE(error);
        EXPECT_EQ(std::tie(error->kind, error->deviceID), std::tie(c.kind, c.deviceID));
        if (c.kind == Kind::inputCreationFailed) { EXPECT_EQ(error->underlying.value_or(PlatformError{}).code, 13); }
        EXPECT_FALSE(f.session->isCameraRunning() || f.session->isMicrophoneRunning());
        EXPECT_TRUE(f.session->session()->inputs().empty() && f.session->session()->outputs().empty());
        EXPECT_EQ(std::pair(f.session->session()->configurationDepth(), f.graphRunning()), std::pair(0, false));
    }
    // Disabling with nothing attached is an empty transaction.
    Fixture f;
    EXPECT_FALSE(thrown<Error>([&] { f.session->startCamera(false, std::nullopt); }));
    EXPECT_FALSE(thrown<Error>([&] { f.session->startCamera(false, "unknown"); }));
    EXPECT_EQ(std::tuple(f.session->session()->configurationDepth(), f.graphRunning(), f.server->inputsCreated()), std::tuple(0, false, 0u));
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
// Voice processing on: the engine carries the microphone (non-interleaved) without the graph.
// When it fails, one diagnostic says why and the graph's plain input (interleaved) takes over.
TEST(CameraCaptureSession, TheMicrophoneTakesTheEnginePathOrFallsBackToTheSessionPathWithOneDiagnostic) {
    const std::string fallback = "，退回 AVCaptureSession 路徑", invalid = "麥克風：語音處理輸入格式無效（";
    const PCMFormat mono{48000, 1, false};
    const std::vector<std::tuple<Outcome, PCMFormat, std::string>> cases = {
        {Outcome::success, mono, "麥克風：AVAudioEngine 語音處理已啟用，輸入 48000Hz/1ch non-interleaved（控制中心可選「人聲隔離」）"},
        {Outcome::enableFails, mono, "麥克風：setVoiceProcessingEnabled 失敗（voice processing unavailable）" + fallback},
        {Outcome::success, {0, 1, false}, invalid + "0 Hz, 1 ch, Float32, non-interleaved）" + fallback},
        {Outcome::success, {std::nan(""), 1, false}, invalid + "nan Hz, 1 ch, Float32, non-interleaved）" + fallback},
        {Outcome::success, {48000, 0, true}, invalid + "48000 Hz, 0 ch, Float32, interleaved）" + fallback},
        {Outcome::startFails, mono, "麥克風：AVAudioEngine 啟動失敗（voice processing unavailable）" + fallback}};
    for (const auto& [outcome, input, line] : cases) {
        SCOPED_TRACE(line);
        const bool engine = line.find("已啟用") != std::string::npos;
        Fixture f(outcome, input);
        f.session->startMicrophone(true);
        EXPECT_EQ(f.diagnostics, std::vector<std::string>{line});
        EXPECT_TRUE(f.session->isMicrophoneRunning());
        // Only the running engine keeps its tap (on the input's bus 0, of 1024 frames).
        EXPECT_EQ(f.server->lastEngineTap(), engine ? std::optional(std::pair(0, 1024u)) : std::nullopt);
        EXPECT_EQ(std::tuple(f.session->hasAudioEngine(), f.server->engineRunning(), f.session->usesVoiceProcessing(),
                             f.session->hasAudioInput(), f.graphRunning()), std::tuple(engine, engine, engine, !engine, !engine));
        EXPECT_EQ(f.session->microphonePathDescription(), engine ? kEnginePath : kSessionPath);
        f.tick(2 * 1024 / 48000.0);
        ASSERT_EQ(f.audio.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            const auto sample = f.audio.at(i);
            ASSERT_TRUE(sample->audioFormat && sample->audioBufferList);
            EXPECT_EQ(std::tuple(sample->presentationTime, sample->sampleCount, sample->audioFormat->bitsPerChannel,
                                 bool(sample->audioFormat->formatFlags & AudioFormatFlag::isNonInterleaved)),
                      std::tuple(MediaTime::make(static_cast<std::int64_t>(1024 * i), 48000), 1024, 32u, engine));
        }
        EXPECT_EQ(f.deliveredOffQueue, 0);
        // Off again: no engine (nor its tap), no input, graph stopped.
        f.session->startMicrophone(false);
        EXPECT_FALSE(f.session->isMicrophoneRunning() || f.server->engineRunning() || f.server->lastEngineTap() || f.graphRunning());
        // With a camera attached, switching the microphone off leaves the graph to the camera.
        f.session->startMicrophone(true);
        f.session->startCamera(true, std::nullopt);
        EXPECT_EQ(f.session->currentCameraID(), "front");  // the default camera
        f.session->startMicrophone(false);
        EXPECT_FALSE(f.session->isMicrophoneRunning() || f.server->engineRunning());
        EXPECT_EQ(std::pair(f.session->microphonePathDescription(), f.graphRunning()), std::pair(kSessionPath, true));
        f.session->startMicrophone(true);
        f.session->stop();
        EXPECT_FALSE(f.session->isCameraRunning() || f.session->isMicrophoneRunning() || f.server->engineRunning() || f.graphRunning());
        EXPECT_EQ(f.diagnostics.size(), 3u);  // one per start, none for stopping
    }
}
PCMBuffer toneBlock(double rate, std::uint32_t frames, std::uint32_t channels = 1, bool interleaved = false) {
    PCMBuffer buffer{{rate, channels, interleaved}, frames, {}};
    buffer.audioBufferList.resize(interleaved ? 1 : channels);
    for (auto& audio : buffer.audioBufferList) audio.data.resize(std::size_t{frames} * sizeof(float) * (interleaved ? channels : 1));
    return buffer;
}
TEST(CameraCaptureSession, MakeSampleBufferWrapsUsableBlocksAndDropsTheRest) {
    const ManualClock clock(100.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    auto mismatched = toneBlock(48000, 1024, 2);
    mismatched.audioBufferList.pop_back();
    auto shortData = toneBlock(48000, 1024, 2, true);
    shortData.audioBufferList[0].data.resize(100);
    struct Case { const char* name; PCMBuffer buffer; AudioTime time; std::optional<MediaTime> presentation /* none: dropped */; };
    const std::vector<Case> cases = {
        {"sample time", toneBlock(48000, 1024), {true, 2048}, MediaTime::make(2048, 48000)},
        {"interleaved stereo", toneBlock(44100, 512, 2, true), {true, 7}, MediaTime::make(7, 44100)},
        {"non-interleaved stereo", toneBlock(44100, 512, 2), {true, 7}, MediaTime::make(7, 44100)},
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
        if (c.time.sampleTimeValid) { EXPECT_EQ(sample->duration, MediaTime::make(1, c.presentation->timescale)); }  // one sample
        ASSERT_TRUE(sample->audioFormat && sample->audioBufferList);
        EXPECT_EQ(std::tuple(sample->presentationTime, sample->sampleCount, sample->audioFormat->channelsPerFrame, sample->audioBufferList->size()),
                  std::tuple(*c.presentation, c.buffer.frameLength, c.buffer.format.channelCount, c.buffer.audioBufferList.size()));
        for (const auto& buffer : *sample->audioBufferList)  // each buffer claims only the channels it holds
            EXPECT_EQ(buffer.numberChannels, c.buffer.format.interleaved ? c.buffer.format.channelCount : 1u);
    }
}
TEST(CameraCaptureSession, TappedBlocksWithoutFramesAreDroppedAndUntimedOnesTakeTheHostClock) {
    Fixture f;
    f.session->startMicrophone(true);
    for (const auto& [block, time] : {std::pair{toneBlock(48000, 0), AudioTime{true, 0}}, {toneBlock(0.25, 4), {true, 9}}, {toneBlock(48000, 1024), {false, 0}}})
        ASSERT_TRUE(f.server->injectTapBuffer(block, time));
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
    const auto settle = [] { mainQueue()->sync([] {}); };
    f.server->setMicrophone({"headset", "Headset"});  // a microphone: the unchanged camera list
    settle();
    f.server->addCamera({"desk", "Desk Camera"});
    settle();
    f.server->removeCamera("front");
    settle();
    const CameraDevice front{"front", "FaceTime HD", true}, usb{"usb", "USB Camera", false}, desk{"desk", "Desk Camera", false};
    ASSERT_EQ(lists.size(), 3u);
    EXPECT_EQ(lists.at(0), (std::vector<CameraDevice>{front, usb}));
    EXPECT_EQ(lists.at(1), (std::vector<CameraDevice>{front, usb, desk}));
    EXPECT_EQ(lists.at(2), (std::vector<CameraDevice>{usb, desk}));
    EXPECT_EQ(offMain, 0);
    EXPECT_FALSE(f.session->isCameraRunning());  // a notice attaches nothing
    // Once the session is gone its observers are too; a running engine's tap does not keep it.
    f.session->startMicrophone(true);
    std::weak_ptr<CameraCaptureSession> weak = f.session;
    f.session.reset();
    EXPECT_TRUE(weak.expired());
    f.server->removeMicrophone();
    settle();
    EXPECT_EQ(lists.size(), 3u);
}
TEST(CameraCaptureSession, OnlyTheDefaultCameraIsMarkedAndCamerasCompareByEveryField) {
    Fixture f;
    for (const auto& [defaultID, expected] : {std::pair{"usb", std::vector{false, true}}, {"", {false, false}}, {"gone", {false, false}}}) {
        f.server->setDefaultCamera(defaultID);
        std::vector<bool> marks;
        for (const auto& camera : CameraCaptureSession::availableCameras(f.server)) marks.push_back(camera.isDefault);
        EXPECT_EQ(marks, expected) << defaultID;
    }
    const CameraDevice camera{"usb", "USB Camera", true};
    EXPECT_EQ(camera, (CameraDevice{"usb", "USB Camera", true}));
    for (const auto& other : {CameraDevice{"usb2", "USB Camera", true}, {"usb", "USB", true}, {"usb", "USB Camera", false}}) EXPECT_NE(camera, other);
}
// A V4L2 node streams to one file handle at a time: attaching the attached camera again hands it
// over, while a node another process or another of our sessions streams from is refused until
// that one lets go.
TEST(CameraCaptureSession, AV4L2CameraCanBeAttachedAgainButNotWhileAnotherHolderStreamsFromIt) {
    testing::VirtualV4L2Directory d;
    d.files->addNode(VirtualV4L2Node::webcam("video0", "usb-1"));
    const auto otherProcess = [&d]() -> std::function<void()> {
        const int fd = d.files->open(d.path + "/video0", O_RDWR);
        v4l2_requestbuffers request{1, V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP, 0, 0, {}};  // its buffers hold the stream
        EXPECT_EQ(d.files->ioctl(fd, VIDIOC_REQBUFS, &request), 0);
        return [&d, fd] { d.files->close(fd); };
    };
    const auto otherSession = [&d]() -> std::function<void()> {
        auto other = CameraCaptureSession::create(d.backend, d.clock);
        other->startCamera(true, "v4l2:usb-1");
        other->sampleQueue()->sync([] {});
        return [other]() mutable { other.reset(); };  // let go without detaching first
    };
    for (const auto& takeNode : {std::function(otherProcess), std::function(otherSession)}) {
        auto session = CameraCaptureSession::create(d.backend, d.clock);
        testing::Collected<SampleBufferRef> frames;
        session->onVideoSampleBuffer = [&](const SampleBufferRef& s) { frames.add(s); };
        const auto attachAndReceive = [&] {
            EXPECT_FALSE(thrown<Error>([&] { session->startCamera(true, "v4l2:usb-1"); }));
            session->sampleQueue()->sync([] {});  // the graph has started
            const auto count = frames.size() + 1;
            return d.files->produceFrame("video0") && frames.waitFor(count, 10);
        };
        EXPECT_TRUE(attachAndReceive());
        EXPECT_TRUE(attachAndReceive());
        session->startCamera(false, std::nullopt);
        const auto letGo = takeNode();
        EXPECT_EQ(testing::errorKind<Error>([&] { session->startCamera(true, "v4l2:usb-1"); }), Kind::cannotAddInput);
        letGo();
        EXPECT_TRUE(attachAndReceive());
        session->stop();
    }
}
TEST(CameraCaptureSession, RequestAccessAnswersDecidedStatusesAtOnceAndUndecidedOnesLater) {
    auto server = VirtualDeviceServer::create();
    using Answer = std::pair<bool, std::thread::id>;
    const auto here = std::this_thread::get_id();
    for (const auto& [status, expected] :
         {std::pair{AuthorizationStatus::authorized, true}, std::pair{AuthorizationStatus::denied, false},
          std::pair{AuthorizationStatus::restricted, false}}) {
        server->setAuthorization(MediaType::video, status);
        std::optional<Answer> answer;
        const auto answerHere = [&](bool granted) { answer = {granted, std::this_thread::get_id()}; };
        CameraCaptureSession::requestAccess(MediaType::video, answerHere, server);
        EXPECT_EQ(answer, Answer(expected, here));  // before returning, without a prompt
        EXPECT_EQ(server->pendingAccessRequests(MediaType::video), 0);
    }
    server->setAuthorization(MediaType::audio, AuthorizationStatus::notDetermined);
    std::promise<Answer> answered;
    const auto answerLater = [&](bool granted) { answered.set_value({granted, std::this_thread::get_id()}); };
    CameraCaptureSession::requestAccess(MediaType::audio, answerLater, server);
    EXPECT_EQ(server->pendingAccessRequests(MediaType::audio), 1);
    server->answerAccessRequests(MediaType::audio, true);
    const auto [granted, thread] = answered.get_future().get();
    EXPECT_TRUE(granted);
    EXPECT_NE(thread, here);
    EXPECT_EQ(server->authorizationStatus(MediaType::audio), AuthorizationStatus::authorized);
}
}}  // namespace mivodrell
