#include "CaptureMac/CameraCaptureSession.h"
#include "CaptureTestSupport.h"
#include "Platform/Base/SerialQueue.h"
#include "support/PrivatePulseServer.h"
#include "support/VirtualV4L2Directory.h"
#include <gtest/gtest.h>
#include <cstring>
#include <future>
namespace mivodrell { namespace {
using Command = std::vector<std::string>;
using Error = CameraCaptureSession::CaptureError;
// A sine source: a microphone hearing a 1000 Hz tone (mono, amplitude 0.5).
Command microphone(const std::string& name, int rate) {
    return {"pactl", "load-module", "module-sine-source", "source_name=" + name, "rate=" + std::to_string(rate), "frequency=1000"};
}
// An echo canceller on `master`; it needs a playback sink other than the one a monitor master records.
Command echoCanceller(const std::string& master, const std::string& sink, const std::string& name, const std::string& rate,
                      const std::string& channels) {
    return {"pactl", "load-module", "module-echo-cancel", "source_master=" + master, "sink_master=" + sink, "source_name=" + name,
            "sink_name=" + name + "_sink", "rate=" + rate, "channels=" + channels};
}
// A camera session on a private PulseAudio daemon (the default server) set up by `setup` and a
// virtual webcam, both on one manual clock. The session goes first, before what its closures use.
struct Recording {
    std::unique_ptr<testing::PrivatePulseServer> server;
    testing::VirtualV4L2Directory cameras;
    std::vector<std::string> diagnostics;
    // Outlive the callbacks: a block queued before `stop` may still be delivered during tear-down.
    std::shared_ptr<testing::Collected<SampleBufferRef>> audio = std::make_shared<testing::Collected<SampleBufferRef>>();
    std::shared_ptr<testing::Collected<SampleBufferRef>> video = std::make_shared<testing::Collected<SampleBufferRef>>();
    std::shared_ptr<CameraCaptureSession> session;
    std::string start(const std::vector<Command>& setup) {
        std::string why;
        server = testing::PrivatePulseServer::start(why);
        if (!server) return why;
        for (const auto& command : setup) {
            if (testing::runProcess(command) != 0) return "this PulseAudio cannot run: pactl " + command[1] + " " + command[2];
        }
        cameras.files->addNode(VirtualV4L2Node::webcam("video0", "usb-1"));
        session = CameraCaptureSession::create(cameras.backend, cameras.clock);
        // Device notices may already arrive on the main queue: the owner sets its closures there.
        mainQueue()->sync([this] {
            session->onAudioSampleBuffer = [audio = audio](const SampleBufferRef& s) { audio->add(s); };
            session->onVideoSampleBuffer = [video = video](const SampleBufferRef& s) { video->add(s); };
            session->onDiagnostic = [this](const std::string& line) { diagnostics.push_back(line); };
        });
        return {};
    }
    ~Recording() {
        if (session) session->stop();
    }
    // Waits for `count` buffers whose presentation times follow one another without gaps or overlaps.
    void expectContinuous(std::size_t count) {
        ASSERT_TRUE(audio->waitFor(count, 20)) << "got " << audio->size() << " buffers";
        for (std::size_t i = 1; i < count; ++i) {
            const auto previous = audio->at(i - 1), current = audio->at(i);
            EXPECT_EQ(current->presentationTime, MediaTime::make(previous->presentationTime.value + previous->sampleCount,
                                      previous->presentationTime.timescale))
                << i;
        }
    }
};
TEST(CameraCapturePulse, RecordsTheMicrophoneThroughThePlainPathOnTheCamerasClock) {
    Recording r;
    if (const auto why = r.start({microphone("mic", 48000)}); !why.empty()) GTEST_SKIP() << why;
    r.session->startCamera(true, std::nullopt);
    r.session->startMicrophone(true);
    EXPECT_EQ(r.diagnostics, std::vector<std::string>{"麥克風：setVoiceProcessingEnabled 失敗（no echo-cancel source "
                                                      "on the server），退回 AVCaptureSession 路徑"});
    EXPECT_TRUE(r.session->hasAudioInput());
    r.session->sampleQueue()->sync([] {});  // the graph has started
    ASSERT_TRUE(r.cameras.files->produceFrame("video0"));
    constexpr std::size_t kBuffers = 60;  // about 1.3 s
    r.expectContinuous(kBuffers);
    ASSERT_TRUE(r.video->waitFor(1, 10));
    // Both on the host clock (here the manual one, at 5000 s): the first block began its length
    // and the recording latency (a sine source's is 2 s) before the clock's time.
    const double audioStart = r.audio->at(0)->presentationTime.seconds();
    EXPECT_EQ(r.video->at(0)->presentationTime.seconds(), 5000.0);
    EXPECT_TRUE(audioStart > 4997 && audioStart <= 5000 - 1024 / 48000.0) << audioStart;
    const auto first = r.audio->at(0);
    ASSERT_TRUE(first->audioFormat);
    EXPECT_EQ(std::tuple(first->audioFormat->sampleRate, first->audioFormat->channelsPerFrame, first->presentationTime.timescale,
                         first->audioFormat->formatFlags & AudioFormatFlag::isNonInterleaved), std::tuple(48000.0, 1u, 48000, 0u));
    std::vector<float> tone;
    for (std::size_t i = kBuffers - 16; i < kBuffers; ++i) {
        const auto& bytes = r.audio->at(i)->audioBufferList->at(0).data;
        ASSERT_EQ(bytes.size(), 1024u * sizeof(float));
        tone.resize(tone.size() + 1024);
        std::memcpy(tone.data() + tone.size() - 1024, bytes.data(), bytes.size());
    }
    EXPECT_TRUE(testing::isCleanTone(tone, 48000, 1000, 0.5));
    // A suspended microphone delivers nothing; switching it off does not wait for it.
    ASSERT_EQ(testing::runProcess({"pactl", "suspend-source", "mic", "1"}), 0);
    auto off = std::async(std::launch::async, [&] { r.session->startMicrophone(false); });
    EXPECT_EQ(off.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    testing::runProcess({"pactl", "suspend-source", "mic", "0"});
}
// The microphone is never what an output plays (a monitor), nor an echo canceller on one; the
// echo-cancelling path takes the canceller on the default microphone, never its sink's monitor.
TEST(CameraCapturePulse, AMonitorIsNeverTheMicrophoneAndTheEchoCancellerIsTheOneOnTheMicrophone) {
    const Command speaker = {"pactl", "load-module", "module-null-sink", "sink_name=speaker"};
    struct Row { const char* name; std::vector<Command> setup; std::string engineInput; /* empty: no microphone */ };
    const std::vector<Row> rows = {
        {"only the monitor of the output", {}, ""},
        {"an echo canceller on that monitor", {speaker, echoCanceller("null.monitor", "speaker", "on_monitor", "32000", "1")}, ""},
        {"several microphones", {microphone("mic1", 16000), microphone("mic2", 48000), echoCanceller("mic1", "null", "ec1", "32000", "1"),
                                 echoCanceller("mic2", "null", "ec2", "48000", "2"), {"pactl", "set-default-source", "mic2"}}, "48000Hz/2ch"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Recording r;
        if (const auto why = r.start(row.setup); !why.empty()) GTEST_SKIP() << why;
        if (row.engineInput.empty()) {
            const auto error = testing::thrown<Error>([&] { r.session->startMicrophone(true); });
            ASSERT_TRUE(error);
            EXPECT_EQ(std::tie(error->kind, error->deviceID), std::tuple(Error::Kind::deviceNotFound, "預設麥克風"));
            EXPECT_FALSE(r.session->isMicrophoneRunning());
            continue;
        }
        r.session->startMicrophone(true);
        ASSERT_EQ(r.diagnostics.size(), 1u);
        EXPECT_NE(r.diagnostics[0].find("輸入 " + row.engineInput + " non-interleaved"), std::string::npos) << r.diagnostics[0];
        EXPECT_TRUE(r.session->usesVoiceProcessing() && !r.session->hasAudioInput());
        r.expectContinuous(8);
        const auto sample = r.audio->at(0);
        ASSERT_TRUE(sample->audioFormat);
        EXPECT_TRUE(sample->audioFormat->formatFlags & AudioFormatFlag::isNonInterleaved);
        EXPECT_EQ(sample->sampleCount, 1024);
        EXPECT_EQ(sample->audioBufferList->size(), 2u);
    }
}
// Inputs appearing and going are device notices; an output (its monitor) is not.
TEST(CameraCapturePulse, AnOutputRaisesNoDeviceNotice) {
    Recording r;
    if (const auto why = r.start({}); !why.empty()) GTEST_SKIP() << why;
    testing::Collected<DeviceChange::Kind> notices;
    auto observation = r.cameras.backend->observeDeviceChanges([&](const DeviceChange& change) {
        if (change.mediaType == MediaType::audio) notices.add(change.kind);
    }, mainQueue());
    for (const Command& command : {Command{"pactl", "load-module", "module-null-sink", "sink_name=headphones"}, microphone("usb", 48000),
                                   Command{"pactl", "unload-module", "module-sine-source"}}) {
        ASSERT_EQ(testing::runProcess(command), 0) << command[2];
    }
    ASSERT_TRUE(notices.waitFor(2, 10));
    EXPECT_EQ(std::pair(notices.at(0), notices.at(1)), std::pair(DeviceChange::Kind::connected, DeviceChange::Kind::disconnected));
    mainQueue()->sync([] {});
}
}}  // namespace mivodrell
