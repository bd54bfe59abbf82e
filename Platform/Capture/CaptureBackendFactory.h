#pragma once
// Chooses the capture backends a process runs on: the screen from a real X server when one is
// asked for and answers, otherwise from the process's current (by default virtual) backend; the
// system audio from PulseAudio when asked for and a server answers, otherwise from the same
// virtual backend. A request that cannot be met falls back and says why in `notes`, so callers
// can log it. Blocks while it connects; call it once at start-up, from any thread.
//
//     CaptureBackendRequest request;
//     request.screen = CaptureBackendRequest::Screen::x11;      // --source x11
//     request.x11Display = ":1";                                // --display :1
//     request.systemAudio = CaptureBackendRequest::SystemAudio::pulseAudio;  // --audio
//     CaptureBackends backends = makeCaptureBackends(request);
//     auto screen = ScreenCaptureSession::create(backends.screen);
//     auto audio = AudioCaptureSession::create(backends.audio);

#include "Platform/Capture/ScreenCapture.h"

#include <memory>
#include <string>
#include <vector>

namespace mivodrell {

struct CaptureBackendRequest {
    enum class Screen { virtualServer, x11 };
    Screen screen = Screen::virtualServer;
    std::string x11Display;  // empty: $DISPLAY

    enum class SystemAudio { virtualServer, pulseAudio };
    SystemAudio systemAudio = SystemAudio::virtualServer;
    std::string pulseServer;  // empty: the default server
};

struct CaptureBackends {
    std::shared_ptr<CaptureBackend> screen;
    std::shared_ptr<CaptureBackend> audio;
    bool screenIsX11 = false;
    bool audioIsPulseAudio = false;
    std::vector<std::string> notes;  // one line per request that fell back
};

CaptureBackends makeCaptureBackends(const CaptureBackendRequest& request);

}  // namespace mivodrell
