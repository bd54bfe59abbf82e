#pragma once
// What the encoder policy asks of the video encoder for one link grade.

#include <cstdint>

namespace mivodrell {

struct EncoderSettings {
    double scale = 1.0;              // factor applied to the output resolution (1 = full)
    std::int64_t bitrate = 0;        // video bits per second
    double keyframeInterval = 3.0;   // seconds between forced keyframes
    double maxFrameRate = 30.0;      // frames per second ceiling

    friend bool operator==(const EncoderSettings&, const EncoderSettings&) = default;
};

}  // namespace mivodrell
