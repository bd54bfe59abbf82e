#pragma once
// An image in memory, shared by reference like the platform's pixel buffers.
//
// Formats: 'BGRA' (one plane, 4 bytes per pixel), '420f' (plane 0: Y, one byte per pixel;
// plane 1: interleaved Cb,Cr at half width and half height, rounded up) and 'y420' (plane 0: Y;
// planes 1 and 2: Cb and Cr, one byte per pixel, at half width and half height, rounded up). Every row starts on a
// 64-byte boundary. Storage of released buffers is kept in a small free list keyed by format and
// size, so a caller that creates a new buffer every frame reuses memory instead of page-faulting
// it in. The list is bounded in buffers and bytes and gives up its oldest storage first, so after
// a size change the new size is recycled and the old one ages out. Recycled storage keeps its old
// contents: a new buffer's pixels are unspecified until written.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace mivodrell {

// The creation attributes callers pass. They do not change the memory layout here; they are
// kept so that a buffer reports what it was asked to be compatible with.
struct PixelBufferAttributes {
    bool metalCompatible = false;
    bool cgImageCompatible = false;
    bool bitmapContextCompatible = false;
};

class PixelBuffer {
public:
    using Attributes = PixelBufferAttributes;

    // Creation statuses (our own values).
    static constexpr std::int32_t statusSuccess = 0;
    static constexpr std::int32_t statusInvalidDimension = -6661;
    static constexpr std::int32_t statusInvalidPixelFormat = -6680;
    static constexpr std::int32_t statusAllocationFailed = -6662;
    static constexpr std::int32_t statusUnlockWithoutLock = -6690;

    // Largest edge and largest total size accepted. Larger requests are refused up front: with
    // memory overcommit an allocation would "succeed" and the process would be killed later.
    static constexpr int maxEdge = 16384;
    static constexpr std::size_t maxTotalBytes = std::size_t{1} << 30;
    static constexpr std::size_t rowAlignment = 64;

    struct CreateResult {
        std::int32_t status = statusSuccess;
        std::shared_ptr<PixelBuffer> buffer;  // empty unless status is statusSuccess
    };

    static CreateResult create(int width, int height, std::uint32_t pixelFormat, const Attributes& attributes = {});

    ~PixelBuffer();
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    std::uint32_t pixelFormat() const { return pixelFormat_; }
    const Attributes& attributes() const { return attributes_; }

    // 1 for 'BGRA', 2 for '420f', 3 for 'y420'.
    std::size_t planeCount() const { return planeCount_; }
    std::uint8_t* baseAddressOfPlane(std::size_t plane);
    const std::uint8_t* baseAddressOfPlane(std::size_t plane) const;
    int widthOfPlane(std::size_t plane) const;   // in pixels (Cb,Cr pairs for the chroma plane)
    int heightOfPlane(std::size_t plane) const;
    std::size_t bytesPerRowOfPlane(std::size_t plane) const;

    // Plane 0.
    std::uint8_t* baseAddress() { return baseAddressOfPlane(0); }
    const std::uint8_t* baseAddress() const { return baseAddressOfPlane(0); }
    std::size_t bytesPerRow() const { return bytesPerRowOfPlane(0); }

    // Base-address locking for callers that bracket CPU access to the pixels. The memory stays
    // valid whether locked or not; the lock count lets owners check that they are balanced.
    // Unlocking a buffer that is not locked fails with statusUnlockWithoutLock.
    static constexpr std::uint32_t lockReadOnly = 1;
    std::int32_t lockBaseAddress(std::uint32_t flags = 0);
    std::int32_t unlockBaseAddress(std::uint32_t flags = 0);
    int lockCount() const { return lockCount_.load(); }

    // Total bytes of storage behind the buffer.
    std::size_t dataSize() const { return storageSize_; }

    // Free-list statistics, for tests and benchmarks.
    struct PoolStatistics {
        std::size_t allocations = 0;  // fresh storage allocated
        std::size_t reuses = 0;       // storage handed back out of the free list
        std::size_t pooledBytes = 0;  // bytes currently waiting in the free list
        std::size_t pooledBuffers = 0;  // buffers currently waiting in the free list
    };
    // Bounds of the free list: buffers of one format and size, buffers overall, bytes overall.
    static constexpr std::size_t poolMaxBuffersPerKey = 6;
    static constexpr std::size_t poolMaxBuffers = 16;
    static constexpr std::size_t poolMaxBytes = std::size_t{512} << 20;
    static PoolStatistics poolStatistics();
    // Drops every pooled buffer (for tests).
    static void drainPool();


private:
    PixelBuffer() = default;

    struct Plane {
        std::size_t offset = 0;
        int width = 0;
        int height = 0;
        std::size_t bytesPerRow = 0;
    };

    int width_ = 0;
    int height_ = 0;
    std::uint32_t pixelFormat_ = 0;
    Attributes attributes_;
    std::size_t planeCount_ = 0;
    std::array<Plane, 3> planes_{};
    std::uint8_t* data_ = nullptr;
    std::size_t storageSize_ = 0;
    std::atomic<int> lockCount_{0};
};

}  // namespace mivodrell
