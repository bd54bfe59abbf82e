#include "Platform/Base/Clock.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Media/MediaTime.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <tuple>
namespace mivodrell { namespace {
// Every plane of both formats: its size, an aligned start and stride no wider than needed, and
// its rows inside the storage after the plane before. The first and last byte of each row are
// written, so that under the sanitizers an overrun would be reported.
TEST(PixelBuffer, PlaneGeometryAndAlignmentAcrossSizes) {
    struct Case { int width, height; };
    const Case cases[] = {{1, 1}, {2, 2}, {3, 1}, {1, 3}, {15, 9}, {16, 16}, {17, 33}, {63, 1}, {64, 2}, {65, 7},
                          {1919, 1079}, {1920, 1080}, {16384, 2}, {2, 16384}};
    for (const auto& c : cases) {
        const int cw = (c.width + 1) / 2, ch = (c.height + 1) / 2;
        struct Plane { int width, height, bytesPerPixel; };
        const std::pair<std::uint32_t, std::vector<Plane>> formats[] = {
            {PixelFormat::bgra, {{c.width, c.height, 4}}},
            {PixelFormat::yuv420BiPlanarFullRange, {{c.width, c.height, 1}, {cw, ch, 2}}}};
        for (const auto& [format, planes] : formats) {
            SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " " << fourCCString(format));
            auto result = PixelBuffer::create(c.width, c.height, format);
            ASSERT_EQ(result.status, PixelBuffer::statusSuccess);
            auto& b = *result.buffer;
            ASSERT_EQ(b.planeCount(), planes.size());
            EXPECT_EQ(b.baseAddressOfPlane(planes.size()), nullptr);
            std::size_t previousEnd = 0;
            for (std::size_t p = 0; p < planes.size(); ++p) {
                const std::size_t row = static_cast<std::size_t>(planes[p].width * planes[p].bytesPerPixel);
                const std::size_t stride = b.bytesPerRowOfPlane(p);
                const std::size_t offset = static_cast<std::size_t>(b.baseAddressOfPlane(p) - b.baseAddress());
                EXPECT_EQ(std::pair(b.widthOfPlane(p), b.heightOfPlane(p)), std::pair(planes[p].width, planes[p].height));
                EXPECT_TRUE(stride % PixelBuffer::rowAlignment == 0 && stride >= row &&
                            stride < row + PixelBuffer::rowAlignment) << "plane " << p << ": " << stride;
                EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.baseAddressOfPlane(p)) % PixelBuffer::rowAlignment, 0u);
                EXPECT_GE(offset, previousEnd) << "plane " << p;
                previousEnd = offset + stride * static_cast<std::size_t>(planes[p].height);
                EXPECT_LE(previousEnd, b.dataSize()) << "plane " << p;
                for (int y = 0; y < planes[p].height; ++y) {
                    std::uint8_t* start = b.baseAddressOfPlane(p) + static_cast<std::size_t>(y) * stride;
                    start[0] = 1;
                    start[stride - 1] = 2;
                }
            }
        }
    }
}
TEST(PixelBuffer, FailureStatusesGiveNoBuffer) {
    struct Case { int width, height; std::uint32_t format; std::int32_t status; };
    const Case cases[] = {
        {0, 10, PixelFormat::bgra, PixelBuffer::statusInvalidDimension},
        {10, 0, PixelFormat::yuv420BiPlanarFullRange, PixelBuffer::statusInvalidDimension},
        {-1, -1, PixelFormat::bgra, PixelBuffer::statusInvalidDimension},
        {std::numeric_limits<int>::min(), 5, PixelFormat::bgra, PixelBuffer::statusInvalidDimension},
        {std::numeric_limits<int>::max(), 5, PixelFormat::bgra, PixelBuffer::statusInvalidDimension},
        {16385, 1, PixelFormat::yuv420BiPlanarFullRange, PixelBuffer::statusInvalidDimension},
        {16385, 10, PixelFormat::bgra, PixelBuffer::statusInvalidDimension},
        {1, 16385, PixelFormat::bgra, PixelBuffer::statusInvalidDimension},
        {10, 10, 0, PixelBuffer::statusInvalidPixelFormat},
        {10, 10, fourCC("420v"), PixelBuffer::statusInvalidPixelFormat},
        {0, 0, fourCC("ARGB"), PixelBuffer::statusInvalidPixelFormat}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " " << fourCCString(c.format));
        const auto result = PixelBuffer::create(c.width, c.height, c.format);
        EXPECT_EQ(result.status, c.status);
        EXPECT_FALSE(result.buffer);
    }
}
#if !defined(__SANITIZE_ADDRESS__)
// Run in a child process: caps the address space 256 MiB above its current size (from /proc), so
// that 1 GiB cannot be had, and checks the failed creation. Returns the exit code.
int createUnderAnAddressSpaceCap() {
    std::size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t cap = pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) + (std::size_t{256} << 20);
    const rlimit limit{cap, cap};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return 2;
    PixelBuffer::drainPool();
    const auto before = PixelBuffer::poolStatistics().allocations;
    const auto result = PixelBuffer::create(16384, 16384, PixelFormat::bgra);
    const bool ok = result.status == PixelBuffer::statusAllocationFailed && !result.buffer &&
                    PixelBuffer::poolStatistics().allocations == before &&
                    PixelBuffer::create(64, 64, PixelFormat::bgra).buffer != nullptr;
    return ok ? 0 : 1;
}
#endif
TEST(PixelBufferDeathTest, AllocationFailureGivesAStatusAndNoBuffer) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's allocator stops the process instead of failing";
#else
    EXPECT_EXIT(std::_Exit(createUnderAnAddressSpaceCap()), ::testing::ExitedWithCode(0), "");
#endif
}
TEST(PixelBuffer, LocksMustBeBalanced) {
    auto result = PixelBuffer::create(4, 4, PixelFormat::bgra);
    auto& b = *result.buffer;
    EXPECT_EQ(b.unlockBaseAddress(), PixelBuffer::statusUnlockWithoutLock);
    EXPECT_EQ(b.lockBaseAddress(PixelBuffer::lockReadOnly), PixelBuffer::statusSuccess);
    EXPECT_EQ(b.lockBaseAddress(), PixelBuffer::statusSuccess);
    EXPECT_EQ(b.lockCount(), 2);
    EXPECT_EQ(b.unlockBaseAddress(), PixelBuffer::statusSuccess);
    EXPECT_EQ(b.unlockBaseAddress(PixelBuffer::lockReadOnly), PixelBuffer::statusSuccess);
    EXPECT_EQ(b.lockCount(), 0);
    EXPECT_EQ(b.unlockBaseAddress(), PixelBuffer::statusUnlockWithoutLock);
    EXPECT_EQ(b.lockCount(), 0);
}
TEST(PixelBuffer, FormatsWithTheSameStorageSizeAreNeverMixed) {
    PixelBuffer::drainPool();
    // 'BGRA' 16 x 24 and '420f' 64 x 16 both take 1536 bytes.
    const std::uint8_t* bgraMemory = nullptr;
    std::size_t bgraSize = 0;
    {
        auto a = PixelBuffer::create(16, 24, PixelFormat::bgra);
        bgraMemory = a.buffer->baseAddress();
        bgraSize = a.buffer->dataSize();
    }
    auto yuv = PixelBuffer::create(64, 16, PixelFormat::yuv420BiPlanarFullRange);
    EXPECT_EQ(yuv.buffer->dataSize(), bgraSize);
    EXPECT_NE(yuv.buffer->baseAddress(), bgraMemory);
    // Nor are sizes whose rows round up to the same stride, or transposed sizes.
    auto wider = PixelBuffer::create(15, 24, PixelFormat::bgra);
    EXPECT_EQ(wider.buffer->dataSize(), bgraSize);
    EXPECT_NE(wider.buffer->baseAddress(), bgraMemory);
    auto transposed = PixelBuffer::create(24, 16, PixelFormat::bgra);
    EXPECT_NE(transposed.buffer->baseAddress(), bgraMemory);
    auto same = PixelBuffer::create(16, 24, PixelFormat::bgra);
    EXPECT_EQ(same.buffer->baseAddress(), bgraMemory);
    EXPECT_EQ(same.buffer->width(), 16);
    EXPECT_EQ(same.buffer->pixelFormat(), PixelFormat::bgra);
}
TEST(PixelBuffer, SteadyStateCreationAllocatesNothingNew) {
    PixelBuffer::drainPool();
    const auto before = PixelBuffer::poolStatistics();
    for (int frame = 0; frame < 50; ++frame) {
        // Two buffers in flight at a time, as a pipeline holding the previous frame does.
        auto a = PixelBuffer::create(1920, 1080, PixelFormat::yuv420BiPlanarFullRange);
        auto b = PixelBuffer::create(1920, 1080, PixelFormat::yuv420BiPlanarFullRange);
    }
    const auto after = PixelBuffer::poolStatistics();
    EXPECT_EQ(std::tuple(after.allocations - before.allocations, after.reuses - before.reuses, after.pooledBuffers),
              std::tuple(2ul, 98ul, 2ul));
}
TEST(PixelBuffer, FreeListIsBoundedAndTheCurrentSizeKeepsRecycling) {
    PixelBuffer::drainPool();
    // Many buffers of one size released at once: at most poolMaxBuffersPerKey are kept.
    {
        std::vector<std::shared_ptr<PixelBuffer>> burst;
        for (int i = 0; i < 20; ++i) burst.push_back(PixelBuffer::create(64, 64, PixelFormat::bgra).buffer);
    }
    EXPECT_EQ(PixelBuffer::poolStatistics().pooledBuffers, PixelBuffer::poolMaxBuffersPerKey);
    // Sizes used once and then abandoned age out instead of blocking the size now in use.
    for (int size = 1; size <= 40; ++size) PixelBuffer::create(size, 100, PixelFormat::bgra);
    auto stats = PixelBuffer::poolStatistics();
    EXPECT_LE(stats.pooledBuffers, PixelBuffer::poolMaxBuffers);
    const std::uint8_t* current = nullptr;
    { current = PixelBuffer::create(777, 5, PixelFormat::bgra).buffer->baseAddress(); }
    const auto reusesBefore = PixelBuffer::poolStatistics().reuses;
    EXPECT_EQ(PixelBuffer::create(777, 5, PixelFormat::bgra).buffer->baseAddress(), current);
    EXPECT_EQ(PixelBuffer::poolStatistics().reuses, reusesBefore + 1);
    // The byte bound holds too: nine sizes of about 64 MiB each (never touched, so never resident).
    PixelBuffer::drainPool();
    {
        std::vector<std::shared_ptr<PixelBuffer>> big;
        for (int i = 0; i < 9; ++i) big.push_back(PixelBuffer::create(4096, 4096 - i, PixelFormat::bgra).buffer);
    }
    stats = PixelBuffer::poolStatistics();
    EXPECT_LE(stats.pooledBytes, PixelBuffer::poolMaxBytes);
    EXPECT_LE(stats.pooledBuffers, PixelBuffer::poolMaxBuffers);
    // With the byte bound reached by sizes no longer in use, a new size is still recycled.
    // (Compared by the reuse count: a freed and re-mapped block may land at the same address.)
    PixelBuffer::create(4000, 4000, PixelFormat::bgra);
    const auto reusesBeforeNewSize = PixelBuffer::poolStatistics().reuses;
    PixelBuffer::create(4000, 4000, PixelFormat::bgra);
    EXPECT_EQ(PixelBuffer::poolStatistics().reuses, reusesBeforeNewSize + 1);
    PixelBuffer::drainPool();
    stats = PixelBuffer::poolStatistics();
    EXPECT_EQ(std::pair(stats.pooledBytes, stats.pooledBuffers), std::pair(0ul, 0ul));
}
TEST(PixelBuffer, BuffersMayBeCreatedAndReleasedOnManyThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            std::shared_ptr<PixelBuffer> held;
            for (int i = 0; i < 500; ++i) {
                auto result = PixelBuffer::create(32 + (i + t) % 3, 16, i % 2 ? PixelFormat::bgra : PixelFormat::yuv420BiPlanarFullRange);
                if (!result.buffer) ++failures;
                else result.buffer->baseAddress()[0] = static_cast<std::uint8_t>(i);
                if (i % 5 == 0) held = result.buffer;  // released later, on this or the next round
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(PixelBuffer::poolStatistics().pooledBuffers, PixelBuffer::poolMaxBuffers);
}
TEST(MediaTime, SecondsAndInvalidity) {
    EXPECT_EQ(MediaTime::make(3, 2).seconds(), 1.5);
    EXPECT_TRUE(std::isnan(MediaTime::invalid().seconds()));
    EXPECT_TRUE(std::isnan(MediaTime::make(1, 0).seconds()));
    EXPECT_EQ(MediaTime::fromSeconds(1.25, 1000), MediaTime::make(1250, 1000));
    EXPECT_FALSE(MediaTime::fromSeconds(std::nan(""), 1000).valid);
    EXPECT_FALSE(MediaTime::fromSeconds(1e300, 1000).valid);
    EXPECT_FALSE(MediaTime::fromSeconds(1, 0).valid);
    EXPECT_FALSE(MediaTime::fromSeconds(std::numeric_limits<double>::infinity(), 600).valid);
    EXPECT_EQ(MediaTime::fromSeconds(-0.0015, 1000), MediaTime::make(-2, 1000));  // halves away from zero
    EXPECT_EQ(MediaTime::make(-3, 4).seconds(), -0.75);
}
TEST(MediaTime, HostClockIsNanosecondsOfTheHostTime) {
    const double before = currentHostTime();
    const MediaTime now = hostClockNow();
    const double after = currentHostTime();
    ASSERT_TRUE(now.valid);
    EXPECT_EQ(now.timescale, 1000000000);
    EXPECT_GE(now.seconds(), before - 1e-6);
    EXPECT_LE(now.seconds(), after + 1e-6);
    EXPECT_LE(now.value, hostClockNow().value);
}
TEST(SampleBuffer, AttachmentsAreReadWithTheirTypes) {
    SampleBuffer sample;
    EXPECT_EQ(sample.firstAttachments(), nullptr);
    sample.attachments = std::vector<AttachmentValue>{AttachmentValue(std::int64_t{3})};
    EXPECT_EQ(sample.firstAttachments(), nullptr);  // not a dictionary
    AttachmentDictionary d;
    d.set(std::string(AttachmentKey::frameStatus), 0);
    d.set(std::string(AttachmentKey::contentScale), 0.5);
    d.set(std::string(AttachmentKey::notSync), true);
    sample.attachments = std::vector<AttachmentValue>{AttachmentValue(d)};
    const auto* first = sample.firstAttachments();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->find(AttachmentKey::frameStatus)->asInteger(), 0);
    EXPECT_EQ(first->find(AttachmentKey::contentScale)->asDouble(), 0.5);
    EXPECT_EQ(first->find(AttachmentKey::notSync)->asBool(), true);
    EXPECT_EQ(first->find(AttachmentKey::notSync)->asInteger(), std::nullopt);
    EXPECT_EQ(first->find("missing"), nullptr);
    // Replacing a key keeps one entry; numbers read either way; nested dictionaries.
    d.set(std::string(AttachmentKey::frameStatus), 2.75);
    EXPECT_EQ(d.size(), 3u);
    EXPECT_EQ(d.find(AttachmentKey::frameStatus)->asInteger(), 2);
    EXPECT_EQ(AttachmentValue(std::nan("")).asInteger(), std::nullopt);
    EXPECT_EQ(AttachmentValue(1e300).asInteger(), std::nullopt);
    EXPECT_EQ(AttachmentValue(std::int64_t{7}).asDouble(), 7.0);
    EXPECT_EQ(AttachmentValue("text").asDouble(), std::nullopt);
    AttachmentDictionary rect;
    rect.set(std::string(AttachmentKey::rectWidth), 640.0);
    d.set(std::string(AttachmentKey::contentRect), rect);
    const auto* nested = d.find(AttachmentKey::contentRect)->asDictionary();
    ASSERT_NE(nested, nullptr);
    EXPECT_EQ(nested->find(AttachmentKey::rectWidth)->asDouble(), 640.0);
}
}}  // namespace mivodrell
