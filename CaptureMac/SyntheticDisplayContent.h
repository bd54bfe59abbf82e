#pragma once
// Display content for the virtual capture server drawn by the synthetic frame source: content
// generation g shows the synthetic frame at time g / 60 s, at the display's pixel size, pixel for
// pixel what SyntheticFrameSource::makeFrame draws. Only the pixels a stream delivers are read;
// a generation costs one row of the frame and its noise cells (a word per 6 x 6 cell). Made and
// read on the server's control queue.

#include "Platform/Capture/Virtual/VirtualCaptureServer.h"

namespace mivodrell {

VirtualCaptureServer::SampledContentFunction syntheticDisplayContent(double noiseDensity = 0);

}  // namespace mivodrell
