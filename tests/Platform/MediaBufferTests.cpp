#include "Platform/FourCC.h"
#include "Platform/MediaTime.h"
#include "Platform/PixelBuffer.h"
#include "Platform/SampleBuffer.h"

#include <gtest/gtest.h>

#include <cmath>

namespace mivodrell {
namespace {

TEST(PixelBuffer, PlaneGeometryForOddSizes) {
    auto result = PixelBuffer::create(5, 3, PixelFormat::yuv420BiPlanarFullRange);
    ASSERT_EQ(result.status, PixelBuffer::statusSuccess);
    const auto& b = *result.buffer;
    EXPECT_EQ(b.planeCount(), 2u);
    EXPECT_EQ(b.widthOfPlane(0), 5);
    EXPECT_EQ(b.heightOfPlane(0), 3);
    EXPECT_EQ(b.widthOfPlane(1), 3);
    EXPECT_EQ(b.heightOfPlane(1), 2);
    EXPECT_EQ(b.bytesPerRowOfPlane(0), 64u);
    EXPECT_EQ(b.bytesPerRowOfPlane(1), 64u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.baseAddressOfPlane(0)) % 64, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.baseAddressOfPlane(1)) % 64, 0u);
    EXPECT_EQ(b.baseAddressOfPlane(2), nullptr);

    auto bgra = PixelBuffer::create(17, 2, PixelFormat::bgra);
    ASSERT_TRUE(bgra.buffer);
    EXPECT_EQ(bgra.buffer->planeCount(), 1u);
    EXPECT_EQ(bgra.buffer->bytesPerRow(), 128u);
}

TEST(PixelBuffer, RefusesUnusableRequests) {
    EXPECT_EQ(PixelBuffer::create(0, 10, PixelFormat::bgra).status, PixelBuffer::statusInvalidDimension);
    EXPECT_EQ(PixelBuffer::create(10, -1, PixelFormat::bgra).status, PixelBuffer::statusInvalidDimension);
    EXPECT_EQ(PixelBuffer::create(16385, 10, PixelFormat::bgra).status, PixelBuffer::statusInvalidDimension);
    EXPECT_EQ(PixelBuffer::create(10, 10, fourCC("xxxx")).status, PixelBuffer::statusInvalidPixelFormat);
    EXPECT_FALSE(PixelBuffer::create(0, 0, PixelFormat::bgra).buffer);
}

TEST(PixelBuffer, ReleasedStorageIsReusedForTheSameFormatAndSizeOnly) {
    PixelBuffer::drainPool();
    const std::uint8_t* first = nullptr;
    {
        auto a = PixelBuffer::create(64, 32, PixelFormat::bgra);
        first = a.buffer->baseAddress();
    }
    auto other = PixelBuffer::create(64, 33, PixelFormat::bgra);
    EXPECT_NE(other.buffer->baseAddress(), first);
    auto again = PixelBuffer::create(64, 32, PixelFormat::bgra);
    EXPECT_EQ(again.buffer->baseAddress(), first);
    EXPECT_GE(PixelBuffer::poolStatistics().reuses, 1u);
}

TEST(MediaTime, SecondsAndInvalidity) {
    EXPECT_EQ(MediaTime::make(3, 2).seconds(), 1.5);
    EXPECT_TRUE(std::isnan(MediaTime::invalid().seconds()));
    EXPECT_TRUE(std::isnan(MediaTime::make(1, 0).seconds()));
    EXPECT_EQ(MediaTime::fromSeconds(1.25, 1000), MediaTime::make(1250, 1000));
    EXPECT_FALSE(MediaTime::fromSeconds(std::nan(""), 1000).valid);
    EXPECT_FALSE(MediaTime::fromSeconds(1e300, 1000).valid);
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
}

}  // namespace
}  // namespace mivodrell
