#pragma once
// System audio from a PulseAudio server behind the capture interface: the monitor of the default
// sink, recorded with the simple API as 32-bit float, 48 kHz stereo, and delivered in buffers of
// 1024 samples, non-interleaved (one buffer per channel). Buffers are stamped on the host clock
// that screen frames carry (timescale 48000): a sample's time is when the server says it was
// captured, for a sink's monitor when the sink plays it (the clock's reading when it is read,
// less the stream's signed latency). The stamps count samples from a start that follows those
// readings (see HostTimeStamps), so they never go back; they skip ahead where the server
// dropped samples.
//
// System audio is global: a stream's display and size are ignored, and shareable content is
// always empty (no displays, no windows). Streams carry audio only: adding a screen output fails.
//
// Start and stop run on the stream's control thread and complete there; the recording runs on a
// reader thread of its own. A server that cannot be reached fails the start; a read error or a
// lost server stops the stream with an error (the delegate is told, on the control thread). A
// server that stops answering leaves a start or stop pending, and the caller's time limit
// applies. Releasing a stream stops it without waiting for the server.

#include "Platform/Base/Clock.h"
#include "Platform/Base/PlatformError.h"
#include "Platform/Capture/ScreenCapture.h"

#include <cstdint>
#include <memory>
#include <string>

namespace mivodrell {

class SerialQueue;

namespace PulseAudioCaptureStatus {
inline constexpr const char* domain = "PulseAudioCapture";
inline constexpr std::int32_t connectionFailed = -3951;
inline constexpr std::int32_t readFailed = -3952;
inline constexpr std::int32_t invalidOutput = -3953;
}  // namespace PulseAudioCaptureStatus

class PulseAudioCaptureBackend final : public CaptureBackend {
public:
    static constexpr double sampleRate = 48000;
    static constexpr int channelCount = 2;
    static constexpr int framesPerBuffer = 1024;

    // `server` names the PulseAudio server ("unix:/run/user/0/pulse/native"); empty: the
    // default one ($PULSE_SERVER, then the user's runtime directory). `device` is the source
    // recorded, normally the monitor of the default sink. Nothing connects until a stream starts.
    // `clock` gives the host time the buffers are stamped on.
    static std::shared_ptr<PulseAudioCaptureBackend> create(std::string server = "",
                                                            std::string device = "@DEFAULT_MONITOR@",
                                                            std::shared_ptr<const Clock> clock = Clock::system());

    // Whether a server answers right now (connects and disconnects; blocks while it tries).
    static bool serverAvailable(const std::string& server = "");

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ShareableContentCompletion completion) override;
    std::shared_ptr<CaptureStream> makeStream(ContentFilter filter, StreamConfiguration configuration,
                                              std::weak_ptr<StreamDelegate> delegate) override;
    Capabilities capabilities() const override { return {false}; }

private:
    PulseAudioCaptureBackend() = default;
    std::shared_ptr<SerialQueue> queries_;
    std::string server_;
    std::string device_;
    std::shared_ptr<const Clock> clock_;
};

}  // namespace mivodrell
