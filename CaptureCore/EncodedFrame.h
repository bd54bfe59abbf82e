#pragma once
// One encoded video frame as its producer (the HEVC encoder) hands it on, and as the
// reassembler gives it back on the controller side.

#include <cstdint>

#include "CaptureCore/SharedBytes.h"
#include "Platform/Base/Geometry.h"

namespace mivodrell {

struct EncodedFrame {
    // Assigned by the producer; wraps after 4,294,967,295 (compare with FrameID).
    std::uint32_t frameID = 0;
    // The frame can be decoded without earlier frames.
    bool isKeyframe = false;
    // Seconds, as set by the producer; carried unchanged.
    double presentationTime = 0;
    // The encoded picture, opaque here.
    SharedBytes payload;
    // The region of the host's desktop that the picture shows.
    CGRect cropRect;

    // Every field compared; the payload byte by byte, the rectangle field by field.
    friend bool operator==(const EncodedFrame& a, const EncodedFrame& b) {
        return a.frameID == b.frameID && a.isKeyframe == b.isKeyframe &&
               a.presentationTime == b.presentationTime && identical(a.cropRect, b.cropRect) &&
               a.payload == b.payload;
    }
};

}  // namespace mivodrell
