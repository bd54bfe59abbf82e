#include "CaptureMac/AudioCaptureSession.h"
#include "CaptureTestSupport.h"
#include "Platform/Capture/CaptureBackendFactory.h"
#include "Platform/Capture/Pulse/PulseAudioCaptureBackend.h"
#include "support/PrivatePulseServer.h"
#include "support/Thrown.h"
#include <gtest/gtest.h>
#include <cmath>
#include <cstring>
namespace mivodrell { namespace {
class PulseAudioCaptureSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        server = testing::PrivatePulseServer::start(why);
        if (!server) GTEST_SKIP() << why;
        session = AudioCaptureSession::create(PulseAudioCaptureBackend::create(server->address(), "@DEFAULT_MONITOR@", clock));
        // The collectors live as long as the callbacks: a block queued before `stop` may still
        // be delivered while the test is being torn down.
        session->onAudioSampleBuffer = [blocks = blocks](const SampleBufferRef& s) { blocks->add(s); };
        session->onStop = [stops = stops](const std::optional<PlatformError>& e) { stops->add(e.value_or(PlatformError{})); };
    }
    const CaptureDisplay display{1, CGRect(0, 0, 1920, 1080), 1.0, true, "D"};
    struct ShiftedClock final : Clock {  // the host clock 1000 s on: stamps come from the clock given
        double mediaTime() const override { return currentMediaTime() + 1000; }
        double hostTime() const override { return currentHostTime() + 1000; }
    };
    std::shared_ptr<Clock> clock = std::make_shared<ShiftedClock>();
    std::unique_ptr<testing::PrivatePulseServer> server;
    std::shared_ptr<AudioCaptureSession> session;
    std::shared_ptr<testing::Collected<SampleBufferRef>> blocks = std::make_shared<testing::Collected<SampleBufferRef>>();
    std::shared_ptr<testing::Collected<PlatformError>> stops = std::make_shared<testing::Collected<PlatformError>>();
};
std::vector<float> floatsOf(const AudioBuffer& buffer) {
    std::vector<float> out(buffer.data.size() / sizeof(float));
    std::memcpy(out.data(), buffer.data.data(), out.size() * sizeof(float));
    return out;
}
// A 1 kHz tone played into the default sink comes back from its monitor: non-interleaved float
// stereo at 48 kHz, stamped on the host clock (going forward, and no later than the block was
// read nor earlier than the server's latency allows), the clean tone in both channels.
TEST_F(PulseAudioCaptureSessionTest, CapturesAToneFromTheDefaultSinkMonitor) {
    const double before = clock->hostTime();
    session->start(display);
    ASSERT_TRUE(server->playTone(1000, 0.5, 3));
    // Blocks until 0.5 s of the tone have been captured after its onset.
    std::optional<std::size_t> onset;
    for (std::size_t wanted = 8; !onset || blocks->size() < *onset + 28; wanted = blocks->size() + 4) {
        ASSERT_TRUE(blocks->waitFor(wanted, 10)) << "no audio after " << blocks->size() << " blocks";
        for (std::size_t i = onset ? blocks->size() : 0; i < blocks->size() && !onset; ++i) {
            const auto b = blocks->at(i);
            for (float v : floatsOf(b->audioBufferList->at(0))) {
                if (std::fabs(v) > 0.25f) onset = i;
            }
        }
        ASSERT_TRUE(onset || blocks->size() < 500) << "ten seconds without the tone";
    }
    session->stop();
    const double after = clock->hostTime();
    double previous = 0;
    std::vector<float> left, right;
    for (std::size_t i = 0; i < blocks->size(); ++i) {
        const auto b = blocks->at(i);
        ASSERT_TRUE(b->audioFormat && b->audioBufferList);
        const auto& f = *b->audioFormat;
        ASSERT_EQ(b->audioBufferList->size(), 2u);
        const double t = b->presentationTime.seconds();
        EXPECT_TRUE(t > before - 2.5 && t < after && t > previous + 0.01) << t - before << " s after the start";
        previous = t;
        EXPECT_EQ(std::tuple(b->presentationTime.timescale, f.sampleRate, f.channelsPerFrame, f.bitsPerChannel),
                  std::tuple(48000, 48000.0, 2u, 32u));
        EXPECT_TRUE((f.formatFlags & AudioFormatFlag::isFloat) && (f.formatFlags & AudioFormatFlag::isNonInterleaved));
        const auto l = floatsOf(b->audioBufferList->at(0)), r = floatsOf(b->audioBufferList->at(1));
        ASSERT_EQ(l.size(), std::size_t(b->sampleCount));
        if (i >= *onset + 2) {
            left.insert(left.end(), l.begin(), l.end());
            right.insert(right.end(), r.begin(), r.end());
        }
    }
    ASSERT_GE(left.size(), 24000u);
    left.resize(24000);
    right.resize(24000);
    EXPECT_TRUE(testing::isCleanTone(left, 48000, 1000, 0.5));
    EXPECT_EQ(left, right);
}
TEST_F(PulseAudioCaptureSessionTest, KillingTheDaemonStopsTheStreamWithAnError) {
    session->start(display);
    ASSERT_TRUE(blocks->waitFor(2, 10));
    server->stop();
    ASSERT_TRUE(stops->waitFor(1, 10));
    EXPECT_EQ(stops->at(0).domain, PulseAudioCaptureStatus::domain);
    EXPECT_EQ(stops->at(0).code, PulseAudioCaptureStatus::readFailed);
}
TEST_F(PulseAudioCaptureSessionTest, NoServerFailsTheStartAndTheFactoryFallsBack) {
    const std::string nowhere = "unix:/nonexistent/pulse/native";
    auto lonely = AudioCaptureSession::create(PulseAudioCaptureBackend::create(nowhere));
    const auto error = testing::thrown<AudioCaptureSession::CaptureError>([&] { lonely->start(display); });
    ASSERT_TRUE(error && error->underlying);
    EXPECT_EQ(error->kind, AudioCaptureSession::CaptureError::Kind::startFailed);
    EXPECT_EQ(error->underlying->code, PulseAudioCaptureStatus::connectionFailed);
    CaptureBackendRequest request;
    request.systemAudio = CaptureBackendRequest::SystemAudio::pulseAudio;
    request.pulseServer = server->address();
    auto chosen = makeCaptureBackends(request);
    EXPECT_TRUE(chosen.audioIsPulseAudio && std::dynamic_pointer_cast<PulseAudioCaptureBackend>(chosen.audio));
    request.pulseServer = nowhere;
    chosen = makeCaptureBackends(request);
    EXPECT_FALSE(chosen.audioIsPulseAudio);
    EXPECT_EQ(chosen.audio, CaptureBackend::current());
    EXPECT_EQ(chosen.notes.size(), 1u);
}
}}  // namespace mivodrell
