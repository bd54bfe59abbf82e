#include "Platform/Device/V4L2/V4L2FrameConverter.h"

#include "Platform/Base/FourCC.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Media/PixelBuffer.h"

#include <libyuv/convert_argb.h>
#include <turbojpeg.h>

#include <string>

namespace mivodrell {

namespace {

PlatformError conversionError(const std::string& text) {
    return PlatformError{"V4L2", PlatformStatus::paramErr, text};
}

// One decompressor per thread, made on first use (a capture thread decodes every frame).
tjhandle jpegDecoder() {
    struct Holder {
        tjhandle handle = tjInitDecompress();
        ~Holder() {
            if (handle) tjDestroy(handle);
        }
    };
    thread_local Holder holder;
    return holder.handle;
}

}  // namespace

bool V4L2FrameConverter::supports(std::uint32_t v4l2Format) {
    return v4l2Format == yuyv || v4l2Format == nv12 || v4l2Format == mjpeg || v4l2Format == jpeg;
}

std::optional<PlatformError> V4L2FrameConverter::convert(std::uint32_t v4l2Format, const std::uint8_t* data,
                                                         std::size_t size, int width, int height,
                                                         std::size_t bytesPerLine, PixelBuffer& bgra) {
    if (bgra.pixelFormat() != PixelFormat::bgra || bgra.width() != width || bgra.height() != height || width <= 0 ||
        height <= 0 || !data) {
        return conversionError("frame and buffer sizes differ");
    }
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    const auto dstStride = checkedNarrow<int>(bgra.bytesPerRow());
    if (!dstStride) return conversionError("destination stride out of range");
    int status = -1;
    if (v4l2Format == yuyv) {
        const std::size_t stride = bytesPerLine ? bytesPerLine : 2 * w;
        const auto srcStride = checkedNarrow<int>(stride);
        if (stride < 2 * w || !srcStride || size < stride * (h - 1) + 2 * w) return conversionError("short YUYV frame");
        status = libyuv::YUY2ToARGB(data, *srcStride, bgra.baseAddress(), *dstStride, width, height);
    } else if (v4l2Format == nv12) {
        const std::size_t stride = bytesPerLine ? bytesPerLine : w;
        const auto srcStride = checkedNarrow<int>(stride);
        const std::size_t chromaRows = (h + 1) / 2;
        const std::size_t chromaWidth = 2 * ((w + 1) / 2);
        if (stride < chromaWidth || !srcStride || size < stride * h + stride * (chromaRows - 1) + chromaWidth) {
            return conversionError("short NV12 frame");
        }
        status = libyuv::NV12ToARGB(data, *srcStride, data + stride * h, *srcStride, bgra.baseAddress(), *dstStride,
                                    width, height);
    } else if (v4l2Format == mjpeg || v4l2Format == jpeg) {
        // JFIF frames are full-range Y'CbCr; libjpeg-turbo decodes them with the JFIF matrix.
        tjhandle decoder = jpegDecoder();
        const auto jpegSize = checkedNarrow<unsigned long>(size);
        int jpegWidth = 0;
        int jpegHeight = 0;
        int subsampling = 0;
        int colorspace = 0;
        if (!decoder || !jpegSize ||
            tjDecompressHeader3(decoder, data, *jpegSize, &jpegWidth, &jpegHeight, &subsampling, &colorspace) != 0) {
            return conversionError("undecodable JPEG frame");
        }
        if (jpegWidth != width || jpegHeight != height) return conversionError("JPEG frame of another size");
        if (tjDecompress2(decoder, data, *jpegSize, bgra.baseAddress(), width, *dstStride, height, TJPF_BGRA, 0) != 0) {
            return conversionError(std::string("undecodable JPEG frame: ") + tjGetErrorStr2(decoder));
        }
        status = 0;
    } else {
        std::string name(4, ' ');
        for (int i = 0; i < 4; ++i) name[static_cast<std::size_t>(i)] = static_cast<char>((v4l2Format >> (8 * i)) & 0xFF);
        return conversionError("unsupported pixel format " + name);
    }
    if (status != 0) return conversionError("conversion failed");
    return std::nullopt;
}

SampleBufferRef V4L2FrameConverter::makeSampleBuffer(std::uint32_t v4l2Format, const std::uint8_t* data, std::size_t size,
                                                     int width, int height, std::size_t bytesPerLine,
                                                     MediaTime presentationTime) {
    auto created = PixelBuffer::create(width, height, PixelFormat::bgra);
    if (!created.buffer) return nullptr;
    if (convert(v4l2Format, data, size, width, height, bytesPerLine, *created.buffer)) return nullptr;
    auto sample = std::make_shared<SampleBuffer>();
    sample->imageBuffer = std::move(created.buffer);
    sample->presentationTime = presentationTime;
    sample->sampleCount = 1;
    return sample;
}

}  // namespace mivodrell
