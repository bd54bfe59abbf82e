#pragma once
// The time at which the sound of each AAC packet of the system audio begins, on the clock the
// capture buffers (and the pictures) are stamped on.
//
// The coordinator hands each packet with the time stamp of the capture buffer whose encoding
// produced it, and that buffer came well after the packet's sound: the encoder hands a frame out
// only once the next frame's input is in, and its first frame is priming (libavcodec's AAC
// encoder: one frame of 1024 samples). So the time comes from what the packet holds: the n-th
// packet (from 0) begins n - 1 frames into the captured audio, at the time stamp of the capture
// buffer holding that sample (plus its place in the buffer). The owner sees the buffers on their
// way to the coordinator (`observe`). A packet never begins after the time it was handed with;
// before a buffer or the output rate is known, that time is used as it is. One audio stream per
// run: the counts run from its first buffer and first packet on.
//
// Threads: buffers are seen on the audio session's sample queue, packets timed on the
// coordinator's queue; what is known of the buffers lives on a serial queue of its own, where a
// buffer is noted before the coordinator can encode it. At most `maxBuffers` are kept.

#include "Platform/Capture/ScreenCapture.h"

#include <cstdint>
#include <deque>
#include <memory>

namespace mivodrell {
class SerialQueue;
}

namespace mivodrell::stream {

class AudioPacketTimes : public std::enable_shared_from_this<AudioPacketTimes> {
public:
    static constexpr double framesPerPacket = 1024;
    static constexpr double primingFrames = 1024;
    static constexpr std::size_t maxBuffers = 4096;

    AudioPacketTimes();
    // `backend`, showing this object every audio buffer its streams deliver.
    std::shared_ptr<CaptureBackend> observe(std::shared_ptr<CaptureBackend> backend);
    void bufferSeen(double presentationTime, double sampleRate, std::int64_t frames);
    // The output sample rate, from the announced format.
    void setOutputRate(double sampleRate) { outputRate_ = sampleRate; }
    // The next packet's start, given the time it was handed with.
    double packetTime(double handedTime);

private:
    struct Buffer {
        std::int64_t position = 0;  // frames captured before it
        std::int64_t frames = 0;
        double time = 0;
        double rate = 0;
    };
    std::shared_ptr<SerialQueue> queue_;
    std::deque<Buffer> buffers_;    // on queue_
    std::int64_t framesSeen_ = 0;   // on queue_
    double outputRate_ = 0;         // on the coordinator's queue
    std::int64_t packets_ = 0;      // on the coordinator's queue
};

}  // namespace mivodrell::stream
