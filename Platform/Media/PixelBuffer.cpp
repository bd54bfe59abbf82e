#include "Platform/Media/PixelBuffer.h"

#include "Platform/Base/FourCC.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <new>
#include <tuple>
#include <vector>

namespace mivodrell {

namespace {

constexpr std::size_t alignUp(std::size_t value, std::size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// Process-wide free list of buffer storage, keyed by format and size. Entries are kept oldest
// first; when a bound is exceeded the oldest storage is freed, so the sizes in current use always
// find room and sizes that are no longer asked for age out instead of pinning memory for good.
class StoragePool {
public:
    using Key = std::tuple<std::uint32_t, int, int>;

    std::uint8_t* take(const Key& key, std::size_t size) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // Newest first: recently released storage is the most likely to still be in cache.
            for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
                if (it->key == key) {
                    std::uint8_t* data = it->data;
                    pooledBytes_ -= it->size;
                    entries_.erase(std::next(it).base());
                    ++stats_.reuses;
                    return data;
                }
            }
        }
        auto* data = static_cast<std::uint8_t*>(std::aligned_alloc(PixelBuffer::rowAlignment, size));
        if (data) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++stats_.allocations;
        }
        return data;
    }

    void give(const Key& key, std::uint8_t* data, std::size_t size) {
        std::vector<std::uint8_t*> evicted;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (size > PixelBuffer::poolMaxBytes) {
                evicted.push_back(data);
            } else {
                std::size_t sameKey = 0;
                for (const auto& entry : entries_) sameKey += entry.key == key ? 1 : 0;
                if (sameKey >= PixelBuffer::poolMaxBuffersPerKey) {
                    auto oldest = std::find_if(entries_.begin(), entries_.end(),
                                               [&](const Entry& e) { return e.key == key; });
                    evictLocked(oldest, evicted);
                }
                entries_.push_back({key, data, size});
                pooledBytes_ += size;
                while (entries_.size() > PixelBuffer::poolMaxBuffers || pooledBytes_ > PixelBuffer::poolMaxBytes) {
                    evictLocked(entries_.begin(), evicted);
                }
            }
        }
        for (auto* p : evicted) std::free(p);
    }

    PixelBuffer::PoolStatistics statistics() {
        std::lock_guard<std::mutex> lock(mutex_);
        PixelBuffer::PoolStatistics s = stats_;
        s.pooledBytes = pooledBytes_;
        s.pooledBuffers = entries_.size();
        return s;
    }

    void drain() {
        std::vector<Entry> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            dropped.swap(entries_);
            pooledBytes_ = 0;
        }
        for (const auto& entry : dropped) std::free(entry.data);
    }

private:
    struct Entry {
        Key key;
        std::uint8_t* data;
        std::size_t size;
    };

    void evictLocked(std::vector<Entry>::iterator it, std::vector<std::uint8_t*>& evicted) {
        evicted.push_back(it->data);
        pooledBytes_ -= it->size;
        entries_.erase(it);
    }

    std::mutex mutex_;
    std::vector<Entry> entries_;  // oldest first; at most poolMaxBuffers + 1 while giving
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
    if (pixelFormat != PixelFormat::bgra && pixelFormat != PixelFormat::yuv420BiPlanarFullRange &&
        pixelFormat != PixelFormat::yuv420PlanarVideoRange) {
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
        // Interleaved chroma takes one plane of 2 bytes per pixel, planar chroma two of 1 byte.
        const bool planar = pixelFormat == PixelFormat::yuv420PlanarVideoRange;
        buffer->planeCount_ = planar ? 3 : 2;
        const int chromaWidth = (width + 1) / 2;
        const int chromaHeight = (height + 1) / 2;
        buffer->planes_[0] = {0, width, height, alignUp(w, rowAlignment)};
        total = buffer->planes_[0].bytesPerRow * h;
        const std::size_t chromaRowBytes = alignUp(static_cast<std::size_t>(chromaWidth) * (planar ? 1 : 2), rowAlignment);
        for (std::size_t plane = 1; plane < buffer->planeCount_; ++plane) {
            buffer->planes_[plane] = {total, chromaWidth, chromaHeight, chromaRowBytes};
            total += chromaRowBytes * static_cast<std::size_t>(chromaHeight);
        }
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

std::int32_t PixelBuffer::lockBaseAddress(std::uint32_t) {
    ++lockCount_;
    return statusSuccess;
}

std::int32_t PixelBuffer::unlockBaseAddress(std::uint32_t) {
    int current = lockCount_.load();
    do {
        if (current <= 0) return statusUnlockWithoutLock;
    } while (!lockCount_.compare_exchange_weak(current, current - 1));
    return statusSuccess;
}

PixelBuffer::PoolStatistics PixelBuffer::poolStatistics() { return pool().statistics(); }

void PixelBuffer::drainPool() { pool().drain(); }

}  // namespace mivodrell
