#pragma once
// Display content for the virtual capture server drawn by the synthetic frame source: content
// generation g shows the synthetic frame at time g / 60 s, at the display's pixel size.

#include "Platform/Capture/Virtual/VirtualCaptureServer.h"

namespace mivodrell {

VirtualCaptureServer::ContentFunction syntheticDisplayContent(double noiseDensity = 0);

}  // namespace mivodrell
