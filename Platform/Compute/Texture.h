#pragma once
// Textures of the compute device: a 2-D array of 8-bit normalised texels in one of three layouts.
// A texture either views one plane of a pixel buffer without copying (and keeps the buffer alive)
// or owns its storage (the device's private render targets).

#include "Platform/Compute/ComputeDevice.h"
#include "Platform/Media/PixelBuffer.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace mivodrell {

enum class TexturePixelFormat {
    r8Unorm,     // one byte per texel: red
    rg8Unorm,    // two bytes per texel: red, green
    bgra8Unorm,  // four bytes per texel: blue, green, red, alpha
};

constexpr int bytesPerTexel(TexturePixelFormat format) {
    switch (format) {
        case TexturePixelFormat::r8Unorm:
            return 1;
        case TexturePixelFormat::rg8Unorm:
            return 2;
        case TexturePixelFormat::bgra8Unorm:
            return 4;
    }
    return 0;
}

class Texture {
public:
    TexturePixelFormat pixelFormat() const { return format_; }
    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t bytesPerRow() const { return bytesPerRow_; }

    std::uint8_t* row(int y) { return data_ + static_cast<std::size_t>(y) * bytesPerRow_; }
    const std::uint8_t* row(int y) const { return data_ + static_cast<std::size_t>(y) * bytesPerRow_; }
    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }

    // A view of `plane` of `buffer`, `width` x `height` texels starting at the plane's origin.
    // Used by TextureCache after it has validated the request.
    static std::shared_ptr<Texture> viewing(std::shared_ptr<PixelBuffer> buffer, std::size_t plane,
                                            TexturePixelFormat format, int width, int height);
    // A texture with storage of its own (rows 64-byte aligned, contents zero), or nothing when the
    // size is unusable (edges 1...16384) or memory is short.
    static std::shared_ptr<Texture> allocate(TexturePixelFormat format, int width, int height);

private:
    Texture() = default;

    TexturePixelFormat format_ = TexturePixelFormat::bgra8Unorm;
    int width_ = 0;
    int height_ = 0;
    std::size_t bytesPerRow_ = 0;
    std::uint8_t* data_ = nullptr;
    std::shared_ptr<void> storage_;  // keeps the pixel buffer or the owned memory alive
};

// Makes textures of a device: private render targets.
std::shared_ptr<Texture> makeTexture(ComputeDevice& device, TexturePixelFormat format, int width, int height);

// Wraps pixel buffer planes as textures without copying.
class TextureCache {
public:
    // Statuses of createTextureFromImage (our own values).
    static constexpr std::int32_t statusSuccess = 0;
    static constexpr std::int32_t statusInvalidArgument = -6661;
    static constexpr std::int32_t statusInvalidPixelFormat = -6680;
    static constexpr std::int32_t statusInvalidSize = -6681;

    struct Result {
        std::int32_t status = statusSuccess;
        std::shared_ptr<Texture> texture;  // may be empty even when status is statusSuccess
    };

    // Nothing when the device cannot provide a cache.
    static std::shared_ptr<TextureCache> create(std::shared_ptr<ComputeDevice> device);

    // Wraps `plane` of `buffer` as `format` at `width` x `height`. The format's texel size must match
    // the plane's (1 byte for a '420f' luma plane, 2 for its chroma plane, 1 for each 'y420' plane,
    // 4 for 'BGRA'), and the size must fit inside the plane.
    Result createTextureFromImage(const std::shared_ptr<PixelBuffer>& buffer, TexturePixelFormat format, int width,
                                  int height, std::size_t plane) const;

private:
    explicit TextureCache(std::shared_ptr<ComputeDevice> device) : device_(std::move(device)) {}
    std::shared_ptr<ComputeDevice> device_;
};

}  // namespace mivodrell
