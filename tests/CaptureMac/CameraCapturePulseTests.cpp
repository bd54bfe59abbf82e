#include "CaptureMac/CameraCaptureSession.h"
#include "CaptureTestSupport.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Device/LinuxDeviceBackend.h"
#include "support/PrivatePulseServer.h"
#include <gtest/gtest.h>
#include <cstring>
namespace mivodrell { namespace {
// A camera session on the machine's devices, its private PulseAudio daemon the default server.
struct Recording {
    std::unique_ptr<testing::PrivatePulseServer> server;
    std::shared_ptr<CameraCaptureSession> session;
    std::vector<std::string> diagnostics;
    // Outlives the callback: a block queued before `stop` may still be delivered during tear-down.
    std::shared_ptr<testing::Collected<SampleBufferRef>> audio = std::make_shared<testing::Collected<SampleBufferRef>>();
    testing::Collected<std::vector<CameraDevice>> lists;
    std::string start() {
        std::string why;
        server = testing::PrivatePulseServer::start(why);
        if (!server) return why;
        session = CameraCaptureSession::create(LinuxDeviceBackend::create());
        // Device notices may already arrive on the main queue: the owner sets its closures there.
        mainQueue()->sync([this] {
            session->onAudioSampleBuffer = [audio = audio](const SampleBufferRef& s) { audio->add(s); };
            session->onDiagnostic = [this](const std::string& line) { diagnostics.push_back(line); };
            session->onDevicesChanged = [this](const std::vector<CameraDevice>& cameras) { lists.add(cameras); };
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
TEST(CameraCapturePulse, RecordsATonePlayedIntoTheDefaultSourceThroughThePlainPath) {
    Recording r;
    if (const auto why = r.start(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(r.server->playTone(1000, 0.5, 8));
    r.session->startMicrophone(true);
    EXPECT_EQ(r.diagnostics, std::vector<std::string>{"麥克風：setVoiceProcessingEnabled 失敗（no echo-cancel source "
                                                      "on the server），退回 AVCaptureSession 路徑"});
    EXPECT_TRUE(r.session->hasAudioInput());
    constexpr std::size_t kBuffers = 60;  // about 1.3 s
    r.expectContinuous(kBuffers);
    const auto first = r.audio->at(0);
    const auto& format = first->audioFormat;
    ASSERT_TRUE(format);
    EXPECT_EQ(std::tuple(format->sampleRate, format->channelsPerFrame, first->presentationTime.timescale),
              std::tuple(48000.0, 2u, 48000));
    EXPECT_EQ(format->formatFlags & AudioFormatFlag::isNonInterleaved, 0u);
    // The left channel of the last 16 interleaved buffers is the clean tone.
    std::vector<float> left;
    for (std::size_t i = kBuffers - 16; i < kBuffers; ++i) {
        const auto& bytes = r.audio->at(i)->audioBufferList->at(0).data;
        ASSERT_EQ(bytes.size(), 1024u * 2 * sizeof(float));
        for (std::size_t f = 0; f < 1024; ++f) {
            std::memcpy(&left.emplace_back(), bytes.data() + f * 2 * sizeof(float), sizeof(float));
        }
    }
    EXPECT_TRUE(testing::isCleanTone(left, 48000, 1000, 0.5));
}
TEST(CameraCapturePulse, AnExistingEchoCancelSourceIsTheEnginePath) {
    Recording r;
    if (const auto why = r.start(); !why.empty()) GTEST_SKIP() << why;
    // The canceller needs a playback sink other than the one whose monitor it records.
    ASSERT_EQ(testing::runProcess({"pactl", "load-module", "module-null-sink", "sink_name=speaker"}), 0);
    if (testing::runProcess({"pactl", "load-module", "module-echo-cancel", "source_master=null.monitor", "sink_master=speaker"}) != 0) {
        GTEST_SKIP() << "this PulseAudio has no usable module-echo-cancel";
    }
    // New sources are device notices: the (here unchanged) camera list follows.
    EXPECT_TRUE(r.lists.waitFor(1, 10));
    r.session->startMicrophone(true);
    ASSERT_EQ(r.diagnostics.size(), 1u);
    EXPECT_EQ(r.diagnostics[0].rfind("麥克風：AVAudioEngine 語音處理已啟用，輸入 ", 0), 0u) << r.diagnostics[0];
    EXPECT_NE(r.diagnostics[0].find("ch non-interleaved（控制中心可選「人聲隔離」）"), std::string::npos)
        << r.diagnostics[0];
    EXPECT_TRUE(r.session->usesVoiceProcessing());
    EXPECT_FALSE(r.session->hasAudioInput());
    r.expectContinuous(8);
    const auto sample = r.audio->at(0);
    EXPECT_EQ(sample->sampleCount, 1024);
    ASSERT_TRUE(sample->audioFormat);
    EXPECT_TRUE(sample->audioFormat->formatFlags & AudioFormatFlag::isNonInterleaved);
    EXPECT_EQ(sample->audioBufferList->size(), sample->audioFormat->channelsPerFrame);
    r.session->startMicrophone(false);
    EXPECT_FALSE(r.session->isMicrophoneRunning());
}
}}  // namespace mivodrell
