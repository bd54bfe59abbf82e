#include "CaptureMac/CameraCaptureSession.h"
#include "CaptureTestSupport.h"
#include "PrivatePulseServer.h"
#include "Platform/Device/LinuxDeviceBackend.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <numbers>

namespace mivodrell {
namespace {

// A 48 kHz stereo WAV file of a 1 kHz tone.
std::string writeTone(const std::string& directory, double seconds) {
    const std::string path = directory + "/tone.wav";
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return {};
    const auto frames = static_cast<std::size_t>(seconds * 48000);
    std::vector<float> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        samples[2 * i] = samples[2 * i + 1] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / 48000));
    }
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(frames));
    sf_close(file);
    return path;
}

// Power of `samples` at `frequency` (Goertzel).
double powerAt(const std::vector<float>& samples, double frequency, double rate) {
    const double w = 2 * std::numbers::pi * frequency / rate;
    const double c = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (const float x : samples) {
        const double s0 = x + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - c * s1 * s2;
}

struct Recording {
    std::shared_ptr<CameraCaptureSession> session;
    std::vector<std::string> diagnostics;
    testing::Collected<SampleBufferRef> audio;
    testing::Collected<std::vector<CameraDevice>> lists;

    Recording() {
        session = CameraCaptureSession::create(LinuxDeviceBackend::create());
        session->onAudioSampleBuffer = [this](const SampleBufferRef& s) { audio.add(s); };
        session->onDiagnostic = [this](const std::string& line) { diagnostics.push_back(line); };
        session->onDevicesChanged = [this](const std::vector<CameraDevice>& cameras) { lists.add(cameras); };
    }
    ~Recording() { session->stop(); }

    // Presentation times follow one another without gaps or overlaps.
    void expectContinuous(std::size_t count) {
        const auto first = audio.at(0);
        for (std::size_t i = 1; i < count; ++i) {
            const auto previous = audio.at(i - 1);
            const auto current = audio.at(i);
            ASSERT_EQ(current->presentationTime.timescale, first->presentationTime.timescale);
            EXPECT_EQ(current->presentationTime.value, previous->presentationTime.value + previous->sampleCount) << i;
        }
    }
};

TEST(CameraCapturePulse, RecordsATonePlayedIntoTheDefaultSourceThroughThePlainPath) {
    testing::PrivatePulseServer server;
    if (!server.ready()) GTEST_SKIP() << "PulseAudio cannot run here: " << server.reason();
    const auto tone = writeTone(server.directory(), 8);
    ASSERT_FALSE(tone.empty());
    ASSERT_TRUE(server.start({"paplay", "-d", "null", tone}));

    Recording r;
    r.session->startMicrophone(true);
    EXPECT_EQ(r.diagnostics, std::vector<std::string>{"麥克風：setVoiceProcessingEnabled 失敗（no echo-cancel source on the server），退回 AVCaptureSession 路徑"});
    EXPECT_TRUE(r.session->hasAudioInput());
    EXPECT_EQ(r.session->microphonePathDescription(), "AVCaptureSession（無回音消除）");

    constexpr std::size_t kBuffers = 60;  // about 1.3 s
    ASSERT_TRUE(r.audio.waitFor(kBuffers, 20)) << "got " << r.audio.size() << " buffers";
    r.expectContinuous(kBuffers);
    const auto sample = r.audio.at(0);
    ASSERT_TRUE(sample->audioFormat && sample->audioBufferList);
    EXPECT_EQ(sample->audioFormat->sampleRate, 48000);
    EXPECT_EQ(sample->audioFormat->channelsPerFrame, 2u);
    EXPECT_EQ(sample->audioFormat->formatFlags & AudioFormatFlag::isNonInterleaved, 0u);
    EXPECT_EQ(sample->presentationTime.timescale, 48000);

    // The left channel of the last 16 buffers: the tone is at 1 kHz, not elsewhere.
    std::vector<float> left;
    for (std::size_t i = kBuffers - 16; i < kBuffers; ++i) {
        const auto buffer = r.audio.at(i);
        const auto& bytes = buffer->audioBufferList->at(0).data;
        ASSERT_EQ(bytes.size(), 1024u * 2 * sizeof(float));
        for (std::size_t f = 0; f < 1024; ++f) {
            float v;
            std::memcpy(&v, bytes.data() + f * 2 * sizeof(float), sizeof v);
            left.push_back(v);
        }
    }
    double best = 0, bestFrequency = 0, total = 0;
    for (double frequency = 200; frequency <= 6000; frequency += 100) {
        const double p = powerAt(left, frequency, 48000);
        total += p;
        if (p > best) {
            best = p;
            bestFrequency = frequency;
        }
    }
    EXPECT_EQ(bestFrequency, 1000);
    EXPECT_GT(best, 0.9 * total);
    double energy = 0;
    for (const float v : left) energy += double{v} * v;
    EXPECT_NEAR(std::sqrt(energy / static_cast<double>(left.size())), 0.5 / std::sqrt(2.0), 0.05);
}

TEST(CameraCapturePulse, AnExistingEchoCancelSourceIsTheEnginePath) {
    testing::PrivatePulseServer server;
    if (!server.ready()) GTEST_SKIP() << "PulseAudio cannot run here: " << server.reason();
    Recording r;
    // The canceller needs a playback sink other than the one whose monitor it records.
    ASSERT_EQ(server.run({"pactl", "load-module", "module-null-sink", "sink_name=speaker"}), 0);
    if (server.run({"pactl", "load-module", "module-echo-cancel", "source_master=null.monitor", "sink_master=speaker"}) != 0) {
        GTEST_SKIP() << "this PulseAudio has no usable module-echo-cancel";
    }
    // New sources are device notices: the (here unchanged) camera list follows.
    EXPECT_TRUE(r.lists.waitFor(1, 10));

    r.session->startMicrophone(true);
    ASSERT_EQ(r.diagnostics.size(), 1u);
    EXPECT_EQ(r.diagnostics[0].rfind("麥克風：AVAudioEngine 語音處理已啟用，輸入 ", 0), 0u) << r.diagnostics[0];
    EXPECT_NE(r.diagnostics[0].find("ch non-interleaved（控制中心可選「人聲隔離」）"), std::string::npos) << r.diagnostics[0];
    EXPECT_TRUE(r.session->usesVoiceProcessing());
    EXPECT_FALSE(r.session->hasAudioInput());
    EXPECT_EQ(r.session->microphonePathDescription(), "AVAudioEngine 語音處理（回音消除）");

    ASSERT_TRUE(r.audio.waitFor(8, 20)) << "got " << r.audio.size() << " buffers";
    r.expectContinuous(8);
    const auto sample = r.audio.at(0);
    EXPECT_EQ(sample->sampleCount, 1024);
    ASSERT_TRUE(sample->audioFormat);
    EXPECT_TRUE(sample->audioFormat->formatFlags & AudioFormatFlag::isNonInterleaved);
    EXPECT_EQ(sample->audioBufferList->size(), sample->audioFormat->channelsPerFrame);
    r.session->startMicrophone(false);
    EXPECT_FALSE(r.session->isMicrophoneRunning());
}

}  // namespace
}  // namespace mivodrell
