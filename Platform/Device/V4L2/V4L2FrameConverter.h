#pragma once
// Turns one frame as a V4L2 camera delivers it (YUYV, NV12 or Motion-JPEG) into a BGRA pixel
// buffer of the same size: YUYV and NV12 with libyuv (BT.601 studio range, as UVC cameras send
// them), Motion-JPEG with libjpeg-turbo (JFIF full range; libyuv's JPEG path would read it as
// studio range and clip blacks and whites).
//
// A frame that is shorter than its format and size need, a JPEG that does not decode or whose
// size differs from the buffer's, and any other format are refused with an error; the buffer's
// pixels are then unspecified. Stateless: callable from any thread.

#include "Platform/Base/PlatformError.h"
#include "Platform/Media/SampleBuffer.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace mivodrell {

class PixelBuffer;

// A V4L2 pixel format code (little-endian four-character code, as in the kernel's header).
constexpr std::uint32_t v4l2FourCC(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}

class V4L2FrameConverter {
public:
    static constexpr std::uint32_t yuyv = v4l2FourCC('Y', 'U', 'Y', 'V');
    static constexpr std::uint32_t nv12 = v4l2FourCC('N', 'V', '1', '2');
    static constexpr std::uint32_t mjpeg = v4l2FourCC('M', 'J', 'P', 'G');
    static constexpr std::uint32_t jpeg = v4l2FourCC('J', 'P', 'E', 'G');

    static bool supports(std::uint32_t v4l2Format);

    // `bytesPerLine` is the stride of the packed (YUYV) or luma (NV12) rows; 0 means tightly
    // packed. MJPEG ignores it. `bgra` must be a 'BGRA' buffer of `width` x `height`.
    static std::optional<PlatformError> convert(std::uint32_t v4l2Format, const std::uint8_t* data, std::size_t size,
                                                int width, int height, std::size_t bytesPerLine, PixelBuffer& bgra);

    // One captured frame as it is handed on: a fresh BGRA buffer with the converted picture,
    // stamped `presentationTime`. Nothing when the frame cannot be converted.
    static SampleBufferRef makeSampleBuffer(std::uint32_t v4l2Format, const std::uint8_t* data, std::size_t size,
                                            int width, int height, std::size_t bytesPerLine, MediaTime presentationTime);
};

}  // namespace mivodrell
