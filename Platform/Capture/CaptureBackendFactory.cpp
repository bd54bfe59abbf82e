#include "Platform/Capture/CaptureBackendFactory.h"

#include "Platform/Capture/Pulse/PulseAudioCaptureBackend.h"
#include "Platform/Capture/X11/X11CaptureBackend.h"

namespace mivodrell {

CaptureBackends makeCaptureBackends(const CaptureBackendRequest& request) {
    CaptureBackends out;
    if (request.screen == CaptureBackendRequest::Screen::x11) {
        auto connected = X11CaptureBackend::connect(request.x11Display);
        if (connected.backend) {
            out.screen = connected.backend;
            out.screenIsX11 = true;
        } else {
            out.notes.push_back("X11 screen capture unavailable (" + connected.error->description +
                                "): using the virtual display");
        }
    }
    if (request.systemAudio == CaptureBackendRequest::SystemAudio::pulseAudio) {
        if (PulseAudioCaptureBackend::serverAvailable(request.pulseServer)) {
            out.audio = PulseAudioCaptureBackend::create(request.pulseServer);
            out.audioIsPulseAudio = true;
        } else {
            out.notes.push_back("PulseAudio system audio unavailable: using the virtual audio source");
        }
    }
    if (!out.screen) out.screen = CaptureBackend::current();
    if (!out.audio) out.audio = CaptureBackend::current();
    return out;
}

}  // namespace mivodrell
