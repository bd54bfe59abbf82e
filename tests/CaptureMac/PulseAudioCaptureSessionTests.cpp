#include "CaptureMac/AudioCaptureSession.h"
#include "CaptureTestSupport.h"
#include "Platform/Capture/CaptureBackendFactory.h"
#include "Platform/Capture/Pulse/PulseAudioCaptureBackend.h"
#include "support/TestServers.h"
#include "support/Thrown.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <numbers>

namespace mivodrell {
namespace {

struct Block {
    MediaTime time;
    std::int64_t count = 0;
    AudioStreamDescription format;
    std::size_t buffers = 0;
    std::vector<float> left, right;
};

std::vector<float> floatsOf(const AudioBuffer& buffer) {
    std::vector<float> out(buffer.data.size() / sizeof(float));
    std::memcpy(out.data(), buffer.data.data(), out.size() * sizeof(float));
    return out;
}

// Writes `seconds` of a stereo sine tone as a 48 kHz float WAV file.
void writeTone(const std::string& path, double frequency, double amplitude, double seconds) {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_TRUE(file);
    const auto frames = static_cast<std::size_t>(seconds * 48000);
    std::vector<float> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * double(i) / 48000));
        samples[2 * i] = samples[2 * i + 1] = v;
    }
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(frames));
    sf_close(file);
}

class PulseAudioCaptureSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        server = testing::PulseServer::start(why);
        if (!server) GTEST_SKIP() << why;
        session = AudioCaptureSession::create(PulseAudioCaptureBackend::create(server->address()));
        session->onAudioSampleBuffer = [this](const SampleBufferRef& s) {
            Block b{s->presentationTime, s->sampleCount, s->audioFormat.value_or(AudioStreamDescription{}), 0, {}, {}};
            if (s->audioBufferList) {
                b.buffers = s->audioBufferList->size();
                if (b.buffers == 2) {
                    b.left = floatsOf((*s->audioBufferList)[0]);
                    b.right = floatsOf((*s->audioBufferList)[1]);
                }
            }
            blocks.add(std::move(b));
        };
        session->onStop = [this](const std::optional<PlatformError>& e) { stops.add(e.value_or(PlatformError{})); };
    }
    void TearDown() override {
        if (player > 0) testing::stopProcess(player);
    }

    const CaptureDisplay display{1, CGRect(0, 0, 1920, 1080), 1.0, true, "D"};
    std::unique_ptr<testing::PulseServer> server;
    std::shared_ptr<AudioCaptureSession> session;
    testing::Collected<Block> blocks;
    testing::Collected<PlatformError> stops;
    pid_t player = -1;
};

// A 1 kHz tone played into the default sink comes back from its monitor: non-interleaved
// float stereo at 48 kHz, time stamps counting samples without a gap, the tone's frequency and
// no discontinuity in it.
TEST_F(PulseAudioCaptureSessionTest, CapturesAToneFromTheDefaultSinkMonitor) {
    const std::string tone = "/tmp/mivodrell-tone-" + std::to_string(getpid()) + ".wav";
    writeTone(tone, 1000, 0.5, 3);
    session->start(display);
    player = server->play(tone);

    // Blocks until 0.5 s of the tone have been captured after its onset.
    auto toneStart = [&]() -> std::optional<std::size_t> {
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const Block b = blocks.at(i);
            for (float v : b.left) {
                if (std::fabs(v) > 0.25f) return i;
            }
        }
        return std::nullopt;
    };
    std::optional<std::size_t> onset;
    for (std::size_t wanted = 8; !onset || blocks.size() < *onset + 28; wanted = blocks.size() + 4) {
        ASSERT_TRUE(blocks.waitFor(wanted, 10)) << "no audio after " << blocks.size() << " blocks";
        if (!onset) onset = toneStart();
        ASSERT_TRUE(onset || blocks.size() < 500) << "ten seconds without the tone";
    }
    session->stop();
    std::remove(tone.c_str());

    std::int64_t expected = 0;
    std::vector<float> left, right;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const Block b = blocks.at(i);
        ASSERT_EQ(b.buffers, 2u);
        EXPECT_EQ(b.time.value, expected);
        EXPECT_EQ(b.time.timescale, 48000);
        EXPECT_EQ(b.format.sampleRate, 48000);
        EXPECT_EQ(b.format.channelsPerFrame, 2u);
        EXPECT_EQ(b.format.bitsPerChannel, 32u);
        EXPECT_TRUE(b.format.formatFlags & AudioFormatFlag::isFloat);
        EXPECT_TRUE(b.format.formatFlags & AudioFormatFlag::isNonInterleaved);
        ASSERT_EQ(b.left.size(), std::size_t(b.count));
        expected += b.count;
        if (i >= *onset + 2) {
            left.insert(left.end(), b.left.begin(), b.left.end());
            right.insert(right.end(), b.right.begin(), b.right.end());
        }
    }
    ASSERT_GE(left.size(), 24000u);
    // Frequency from the zero crossings of 0.5 s: 1000 full periods.
    const std::size_t n = 24000;
    int crossings = 0;
    double maxStep = 0, peak = 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((left[i - 1] < 0) != (left[i] < 0)) ++crossings;
        maxStep = std::max(maxStep, double(std::fabs(left[i] - left[i - 1])));
        peak = std::max(peak, double(std::fabs(left[i])));
        EXPECT_NEAR(left[i], right[i], 1e-3);
    }
    EXPECT_NEAR(crossings / 2.0, 500.0, 2.0);
    EXPECT_NEAR(peak, 0.5, 0.02);
    // A dropped or repeated stretch would jump; a clean 1 kHz sine moves at most 2 pi f / fs * A.
    EXPECT_LT(maxStep, 2 * std::numbers::pi * 1000 / 48000 * 0.5 * 1.05);
}

TEST_F(PulseAudioCaptureSessionTest, KillingTheDaemonStopsTheStreamWithAnError) {
    session->start(display);
    ASSERT_TRUE(blocks.waitFor(2, 10));
    server->stop();
    ASSERT_TRUE(stops.waitFor(1, 10));
    EXPECT_EQ(stops.at(0).domain, PulseAudioCaptureStatus::domain);
    EXPECT_EQ(stops.at(0).code, PulseAudioCaptureStatus::readFailed);
}

TEST_F(PulseAudioCaptureSessionTest, NoServerFailsTheStartAndTheFactoryFallsBack) {
    auto lonely = AudioCaptureSession::create(PulseAudioCaptureBackend::create("unix:/nonexistent/pulse/native"));
    const auto error = testing::thrown<AudioCaptureSession::CaptureError>([&] { lonely->start(display); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, AudioCaptureSession::CaptureError::Kind::startFailed);
    ASSERT_TRUE(error->underlying);
    EXPECT_EQ(error->underlying->code, PulseAudioCaptureStatus::connectionFailed);

    CaptureBackendRequest request;
    request.systemAudio = CaptureBackendRequest::SystemAudio::pulseAudio;
    request.pulseServer = server->address();
    auto chosen = makeCaptureBackends(request);
    EXPECT_TRUE(chosen.audioIsPulseAudio);
    EXPECT_TRUE(std::dynamic_pointer_cast<PulseAudioCaptureBackend>(chosen.audio));
    request.pulseServer = "unix:/nonexistent/pulse/native";
    chosen = makeCaptureBackends(request);
    EXPECT_FALSE(chosen.audioIsPulseAudio);
    EXPECT_EQ(chosen.audio, CaptureBackend::current());
    EXPECT_EQ(chosen.notes.size(), 1u);
}

}  // namespace
}  // namespace mivodrell
