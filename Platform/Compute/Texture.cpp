#include "Platform/Compute/Texture.h"

#include "Platform/Base/FourCC.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace mivodrell {

namespace {

constexpr std::size_t kRowAlignment = 64;
constexpr int kMaxEdge = 16384;

// Bytes per pixel of a pixel buffer's plane, 0 when there is no such plane.
int bytesPerPixelOfPlane(const PixelBuffer& buffer, std::size_t plane) {
    if (plane >= buffer.planeCount()) return 0;
    if (buffer.pixelFormat() == PixelFormat::bgra) return 4;
    if (buffer.pixelFormat() == PixelFormat::yuv420BiPlanarFullRange) return plane == 0 ? 1 : 2;
    if (buffer.pixelFormat() == PixelFormat::yuv420PlanarVideoRange) return 1;
    return 0;
}

}  // namespace

std::shared_ptr<Texture> Texture::viewing(std::shared_ptr<PixelBuffer> buffer, std::size_t plane,
                                          TexturePixelFormat format, int width, int height) {
    std::shared_ptr<Texture> texture(new Texture());
    texture->format_ = format;
    texture->width_ = width;
    texture->height_ = height;
    texture->bytesPerRow_ = buffer->bytesPerRowOfPlane(plane);
    texture->data_ = buffer->baseAddressOfPlane(plane);
    texture->storage_ = std::move(buffer);
    return texture;
}

std::shared_ptr<Texture> Texture::allocate(TexturePixelFormat format, int width, int height) {
    if (width < 1 || height < 1 || width > kMaxEdge || height > kMaxEdge) return nullptr;
    const std::size_t rowBytes =
        (static_cast<std::size_t>(width) * static_cast<std::size_t>(bytesPerTexel(format)) + kRowAlignment - 1) /
        kRowAlignment * kRowAlignment;
    const std::size_t total = rowBytes * static_cast<std::size_t>(height);
    void* memory = std::aligned_alloc(kRowAlignment, total);
    if (!memory) return nullptr;
    std::memset(memory, 0, total);
    std::shared_ptr<Texture> texture(new (std::nothrow) Texture());
    if (!texture) {
        std::free(memory);
        return nullptr;
    }
    texture->format_ = format;
    texture->width_ = width;
    texture->height_ = height;
    texture->bytesPerRow_ = rowBytes;
    texture->data_ = static_cast<std::uint8_t*>(memory);
    texture->storage_ = std::shared_ptr<void>(memory, [](void* p) { std::free(p); });
    return texture;
}

std::shared_ptr<Texture> makeTexture(ComputeDevice& device, TexturePixelFormat format, int width, int height) {
    if (device.faults().failTextureAllocation) return nullptr;
    return Texture::allocate(format, width, height);
}

std::shared_ptr<TextureCache> TextureCache::create(std::shared_ptr<ComputeDevice> device) {
    if (!device || device->faults().failTextureCache) return nullptr;
    return std::shared_ptr<TextureCache>(new TextureCache(std::move(device)));
}

TextureCache::Result TextureCache::createTextureFromImage(const std::shared_ptr<PixelBuffer>& buffer,
                                                          TexturePixelFormat format, int width, int height,
                                                          std::size_t plane) const {
    const ComputeDevice::Faults faults = device_->faults();
    if (faults.failTextureWrap &&
        (faults.failTextureWrapPlane < 0 || static_cast<std::size_t>(faults.failTextureWrapPlane) == plane)) {
        return {faults.textureWrapStatus, nullptr};
    }
    if (!buffer || plane >= buffer->planeCount()) return {statusInvalidArgument, nullptr};
    if (bytesPerPixelOfPlane(*buffer, plane) != bytesPerTexel(format)) return {statusInvalidPixelFormat, nullptr};
    if (width < 1 || height < 1 || width > buffer->widthOfPlane(plane) || height > buffer->heightOfPlane(plane)) {
        return {statusInvalidSize, nullptr};
    }
    return {statusSuccess, Texture::viewing(buffer, plane, format, width, height)};
}

}  // namespace mivodrell
