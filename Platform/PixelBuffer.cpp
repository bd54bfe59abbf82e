#include "Platform/PixelBuffer.h"

#include "Platform/FourCC.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <tuple>
#include <vector>

namespace mivodrell {

namespace {

constexpr std::size_t alignUp(std::size_t value, std::size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// Process-wide free list of buffer storage, keyed by format and size. It keeps at most a few
// buffers per key and a bounded number of bytes overall, so a burst of releases cannot pin
// unbounded memory.
class StoragePool {
public:
    static constexpr std::size_t maxPerKey = 6;
    static constexpr std::size_t maxPooledBytes = std::size_t{512} << 20;

    using Key = std::tuple<std::uint32_t, int, int>;

    std::uint8_t* take(const Key& key, std::size_t size) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = free_.find(key);
            if (it != free_.end() && !it->second.empty()) {
                std::uint8_t* data = it->second.back();
                it->second.pop_back();
                pooledBytes_ -= size;
                ++stats_.reuses;
                return data;
            }
            ++stats_.allocations;
        }
        return static_cast<std::uint8_t*>(std::aligned_alloc(PixelBuffer::rowAlignment, size));
    }

    void give(const Key& key, std::uint8_t* data, std::size_t size) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto& list = free_[key];
            if (list.size() < maxPerKey && pooledBytes_ + size <= maxPooledBytes) {
                list.push_back(data);
                pooledBytes_ += size;
                return;
            }
        }
        std::free(data);
    }

    PixelBuffer::PoolStatistics statistics() {
        std::lock_guard<std::mutex> lock(mutex_);
        PixelBuffer::PoolStatistics s = stats_;
        s.pooledBytes = pooledBytes_;
        return s;
    }

    void drain() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [key, list] : free_) {
            for (auto* data : list) std::free(data);
        }
        free_.clear();
        pooledBytes_ = 0;
    }

private:
    std::mutex mutex_;
    std::map<Key, std::vector<std::uint8_t*>> free_;
    std::size_t pooledBytes_ = 0;
    PixelBuffer::PoolStatistics stats_;
};

StoragePool& pool() {
    // Never destroyed: buffers may be released during static destruction.
    static StoragePool* instance = new StoragePool();
    return *instance;
}

}  // namespace

PixelBuffer::CreateResult PixelBuffer::create(int width, int height, std::uint32_t pixelFormat,
                                              const Attributes& attributes) {
    if (pixelFormat != PixelFormat::bgra && pixelFormat != PixelFormat::yuv420BiPlanarFullRange) {
        return {statusInvalidPixelFormat, nullptr};
    }
    if (width < 1 || height < 1 || width > maxEdge || height > maxEdge) {
        return {statusInvalidDimension, nullptr};
    }

    std::shared_ptr<PixelBuffer> buffer(new (std::nothrow) PixelBuffer());
    if (!buffer) return {statusAllocationFailed, nullptr};
    buffer->width_ = width;
    buffer->height_ = height;
    buffer->pixelFormat_ = pixelFormat;
    buffer->attributes_ = attributes;

    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    std::size_t total = 0;
    if (pixelFormat == PixelFormat::bgra) {
        buffer->planeCount_ = 1;
        buffer->planes_[0] = {0, width, height, alignUp(w * 4, rowAlignment)};
        total = buffer->planes_[0].bytesPerRow * h;
    } else {
        buffer->planeCount_ = 2;
        const int chromaWidth = (width + 1) / 2;
        const int chromaHeight = (height + 1) / 2;
        buffer->planes_[0] = {0, width, height, alignUp(w, rowAlignment)};
        const std::size_t lumaBytes = buffer->planes_[0].bytesPerRow * h;
        buffer->planes_[1] = {lumaBytes, chromaWidth, chromaHeight,
                              alignUp(static_cast<std::size_t>(chromaWidth) * 2, rowAlignment)};
        total = lumaBytes + buffer->planes_[1].bytesPerRow * static_cast<std::size_t>(chromaHeight);
    }
    if (total > maxTotalBytes) return {statusInvalidDimension, nullptr};

    buffer->data_ = pool().take({pixelFormat, width, height}, total);
    if (!buffer->data_) return {statusAllocationFailed, nullptr};
    buffer->storageSize_ = total;
    return {statusSuccess, std::move(buffer)};
}

PixelBuffer::~PixelBuffer() {
    if (data_) pool().give({pixelFormat_, width_, height_}, data_, storageSize_);
}

std::uint8_t* PixelBuffer::baseAddressOfPlane(std::size_t plane) {
    return plane < planeCount_ ? data_ + planes_[plane].offset : nullptr;
}

const std::uint8_t* PixelBuffer::baseAddressOfPlane(std::size_t plane) const {
    return plane < planeCount_ ? data_ + planes_[plane].offset : nullptr;
}

int PixelBuffer::widthOfPlane(std::size_t plane) const { return plane < planeCount_ ? planes_[plane].width : 0; }

int PixelBuffer::heightOfPlane(std::size_t plane) const {
    return plane < planeCount_ ? planes_[plane].height : 0;
}

std::size_t PixelBuffer::bytesPerRowOfPlane(std::size_t plane) const {
    return plane < planeCount_ ? planes_[plane].bytesPerRow : 0;
}

PixelBuffer::PoolStatistics PixelBuffer::poolStatistics() { return pool().statistics(); }

void PixelBuffer::drainPool() { pool().drain(); }

}  // namespace mivodrell
