#include "CaptureMac/SyntheticDisplayContent.h"

#include "CaptureMac/SyntheticFrameSource.h"

#include <algorithm>
#include <cstring>

namespace mivodrell {

VirtualCaptureServer::ContentFunction syntheticDisplayContent(double noiseDensity) {
    return [noiseDensity](const CaptureDisplay&, std::uint64_t generation, PixelBuffer& bgra) {
        const SyntheticFrameSource source{bgra.width(), bgra.height()};
        std::shared_ptr<PixelBuffer> frame;
        try {
            frame = source.makeFrame(static_cast<double>(generation) / 60.0, noiseDensity);
        } catch (const SyntheticFrameSource::FrameSourceError&) {
            return;  // keep the previous picture
        }
        const std::size_t rowBytes = static_cast<std::size_t>(bgra.width()) * 4;
        for (int y = 0; y < bgra.height(); ++y) {
            std::memcpy(bgra.baseAddress() + static_cast<std::size_t>(y) * bgra.bytesPerRow(),
                        frame->baseAddress() + static_cast<std::size_t>(y) * frame->bytesPerRow(), rowBytes);
        }
    };
}

}  // namespace mivodrell
