#include "Platform/Media/ColorConversion.h"

#include "Platform/Base/FourCC.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Base/WorkerPool.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace mivodrell {

namespace {

constexpr int kShift = BT709::fractionBits;
constexpr int kHalf = 1 << (kShift - 1);
constexpr int kYOffset = (16 << kShift) + kHalf;
// Chroma sums four pixels, so two more fractional bits.
constexpr int kCOffset = (128 << (kShift + 2)) + (1 << (kShift + 1));

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(MIVODRELL_NO_FUNCTION_CLONES)
#define MIVODRELL_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MIVODRELL_CLONES
#endif

// One row of luma from 32-bit B,G,R,A pixels (little-endian words: B is the low byte).
MIVODRELL_CLONES
void lumaRow(const std::uint32_t* __restrict src, std::uint8_t* __restrict dst, int width) {
    for (int x = 0; x < width; ++x) {
        const std::uint32_t p = src[x];
        const int b = static_cast<int>(p & 0xFFu);
        const int g = static_cast<int>((p >> 8) & 0xFFu);
        const int r = static_cast<int>((p >> 16) & 0xFFu);
        dst[x] = static_cast<std::uint8_t>((BT709::yR * r + BT709::yG * g + BT709::yB * b + kYOffset) >> kShift);
    }
}

// Chroma of `pairs` 2x2 blocks from two rows (row1 may equal row0 for a lone last row).
MIVODRELL_CLONES
void chromaRow(const std::uint32_t* __restrict row0, const std::uint32_t* __restrict row1, std::uint8_t* __restrict u,
               std::uint8_t* __restrict v, int pairs) {
    for (int i = 0; i < pairs; ++i) {
        const std::uint32_t a = row0[2 * i], b = row0[2 * i + 1], c = row1[2 * i], d = row1[2 * i + 1];
        const int sb = static_cast<int>((a & 0xFFu) + (b & 0xFFu) + (c & 0xFFu) + (d & 0xFFu));
        const int sg = static_cast<int>(((a >> 8) & 0xFFu) + ((b >> 8) & 0xFFu) + ((c >> 8) & 0xFFu) + ((d >> 8) & 0xFFu));
        const int sr =
            static_cast<int>(((a >> 16) & 0xFFu) + ((b >> 16) & 0xFFu) + ((c >> 16) & 0xFFu) + ((d >> 16) & 0xFFu));
        u[i] = static_cast<std::uint8_t>((BT709::uR * sr + BT709::uG * sg + BT709::uB * sb + kCOffset) >> (kShift + 2));
        v[i] = static_cast<std::uint8_t>((BT709::vR * sr + BT709::vG * sg + BT709::vB * sb + kCOffset) >> (kShift + 2));
    }
}

// The last chroma column of an odd width: one pixel per row, weighted to four samples.
void chromaLastColumn(std::uint32_t a, std::uint32_t c, std::uint8_t* u, std::uint8_t* v) {
    const int sb = static_cast<int>(2 * ((a & 0xFFu) + (c & 0xFFu)));
    const int sg = static_cast<int>(2 * (((a >> 8) & 0xFFu) + ((c >> 8) & 0xFFu)));
    const int sr = static_cast<int>(2 * (((a >> 16) & 0xFFu) + ((c >> 16) & 0xFFu)));
    *u = static_cast<std::uint8_t>((BT709::uR * sr + BT709::uG * sg + BT709::uB * sb + kCOffset) >> (kShift + 2));
    *v = static_cast<std::uint8_t>((BT709::vR * sr + BT709::vG * sg + BT709::vB * sb + kCOffset) >> (kShift + 2));
}

// Full-range variants of the kernels above, writing interleaved chroma.
constexpr int kFullYOffset = kHalf;
constexpr int kFullCOffset = kCOffset;

MIVODRELL_CLONES
void fullLumaRow(const std::uint32_t* __restrict src, std::uint8_t* __restrict dst, int width) {
    for (int x = 0; x < width; ++x) {
        const std::uint32_t p = src[x];
        const int b = static_cast<int>(p & 0xFFu);
        const int g = static_cast<int>((p >> 8) & 0xFFu);
        const int r = static_cast<int>((p >> 16) & 0xFFu);
        dst[x] = static_cast<std::uint8_t>((BT709Full::yR * r + BT709Full::yG * g + BT709Full::yB * b + kFullYOffset) >>
                                           kShift);
    }
}

// Full-range chroma reaches 255.5 for pure blue (Cb) and pure red (Cr): capped at 255.
MIVODRELL_CLONES
void fullChromaRow(const std::uint32_t* __restrict row0, const std::uint32_t* __restrict row1,
                   std::uint8_t* __restrict uv, int pairs) {
    for (int i = 0; i < pairs; ++i) {
        const std::uint32_t a = row0[2 * i], b = row0[2 * i + 1], c = row1[2 * i], d = row1[2 * i + 1];
        const int sb = static_cast<int>((a & 0xFFu) + (b & 0xFFu) + (c & 0xFFu) + (d & 0xFFu));
        const int sg = static_cast<int>(((a >> 8) & 0xFFu) + ((b >> 8) & 0xFFu) + ((c >> 8) & 0xFFu) + ((d >> 8) & 0xFFu));
        const int sr =
            static_cast<int>(((a >> 16) & 0xFFu) + ((b >> 16) & 0xFFu) + ((c >> 16) & 0xFFu) + ((d >> 16) & 0xFFu));
        const int cb = (BT709Full::uR * sr + BT709Full::uG * sg + BT709Full::uB * sb + kFullCOffset) >> (kShift + 2);
        const int cr = (BT709Full::vR * sr + BT709Full::vG * sg + BT709Full::vB * sb + kFullCOffset) >> (kShift + 2);
        uv[2 * i] = static_cast<std::uint8_t>(cb < 255 ? cb : 255);
        uv[2 * i + 1] = static_cast<std::uint8_t>(cr < 255 ? cr : 255);
    }
}

const std::uint32_t* wordRow(const std::uint8_t* base, std::ptrdiff_t stride, int row) {
    const std::uint8_t* p = base + stride * row;
    // Pixel buffer rows start on 64-byte boundaries, so 32-bit access is aligned; a caller with
    // odd strides still works on x86, where unaligned loads are allowed.
    return reinterpret_cast<const std::uint32_t*>(p);
}

struct RangeTables {
    std::array<std::uint8_t, 256> luma{};
    std::array<std::uint8_t, 256> chroma{};
    RangeTables() {
        for (int i = 0; i < 256; ++i) {
            luma[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(16 + (i * 219 + 127) / 255);
            const int c = (i - 128) * 224;
            const int rounded = c >= 0 ? (c + 127) / 255 : -((-c + 127) / 255);
            chroma[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(128 + rounded);
        }
    }
};

const RangeTables& rangeTables() {
    static const RangeTables tables;
    return tables;
}

}  // namespace

void convertBGRAToI420BT709(const std::uint8_t* bgra, std::ptrdiff_t bgraStride, int width, int height,
                            const I420Planes& out, int firstChromaRow, int chromaRowCount) {
    if (width <= 0 || height <= 0) return;
    const int chromaHeight = (height + 1) / 2;
    const int endChroma = std::min(chromaHeight, firstChromaRow + chromaRowCount);
    const int pairs = width / 2;
    for (int cy = std::max(0, firstChromaRow); cy < endChroma; ++cy) {
        const int y0 = 2 * cy;
        const int y1 = std::min(y0 + 1, height - 1);
        const std::uint32_t* r0 = wordRow(bgra, bgraStride, y0);
        const std::uint32_t* r1 = wordRow(bgra, bgraStride, y1);
        lumaRow(r0, out.y + out.strideY * y0, width);
        if (y1 != y0) lumaRow(r1, out.y + out.strideY * y1, width);
        std::uint8_t* u = out.u + out.strideU * cy;
        std::uint8_t* v = out.v + out.strideV * cy;
        chromaRow(r0, r1, u, v, pairs);
        if (width & 1) chromaLastColumn(r0[width - 1], r1[width - 1], u + pairs, v + pairs);
    }
}

void convertNV12FullToI420Video(const std::uint8_t* luma, std::ptrdiff_t lumaStride, const std::uint8_t* chroma,
                                std::ptrdiff_t chromaStride, int width, int height, const I420Planes& out,
                                int firstChromaRow, int chromaRowCount) {
    if (width <= 0 || height <= 0) return;
    const auto& t = rangeTables();
    const int chromaHeight = (height + 1) / 2;
    const int chromaWidth = (width + 1) / 2;
    const int endChroma = std::min(chromaHeight, firstChromaRow + chromaRowCount);
    for (int cy = std::max(0, firstChromaRow); cy < endChroma; ++cy) {
        for (int y = 2 * cy; y < std::min(2 * cy + 2, height); ++y) {
            const std::uint8_t* src = luma + lumaStride * y;
            std::uint8_t* dst = out.y + out.strideY * y;
            for (int x = 0; x < width; ++x) dst[x] = t.luma[src[x]];
        }
        const std::uint8_t* c = chroma + chromaStride * cy;
        std::uint8_t* u = out.u + out.strideU * cy;
        std::uint8_t* v = out.v + out.strideV * cy;
        for (int x = 0; x < chromaWidth; ++x) {
            u[x] = t.chroma[c[2 * x]];
            v[x] = t.chroma[c[2 * x + 1]];
        }
    }
}

bool convertPixelBufferToI420(const PixelBuffer& source, int width, int height, const I420Planes& out,
                              WorkerPool* pool) {
    if (source.width() != width || source.height() != height) return false;
    const std::uint32_t format = source.pixelFormat();
    if (format != PixelFormat::bgra && format != PixelFormat::yuv420BiPlanarFullRange) return false;
    const int chromaHeight = (height + 1) / 2;
    const int bands = pool ? std::min(pool->threadCount(), chromaHeight) : 1;
    const int perBand = (chromaHeight + bands - 1) / bands;
    auto convertBand = [&](int band) {
        const int first = band * perBand;
        if (format == PixelFormat::bgra) {
            convertBGRAToI420BT709(source.baseAddressOfPlane(0),
                                   static_cast<std::ptrdiff_t>(source.bytesPerRowOfPlane(0)), width, height, out,
                                   first, perBand);
        } else {
            convertNV12FullToI420Video(
                source.baseAddressOfPlane(0), static_cast<std::ptrdiff_t>(source.bytesPerRowOfPlane(0)),
                source.baseAddressOfPlane(1), static_cast<std::ptrdiff_t>(source.bytesPerRowOfPlane(1)), width,
                height, out, first, perBand);
        }
    };
    if (pool && bands > 1) {
        pool->run(bands, convertBand);
    } else {
        convertBand(0);
    }
    return true;
}

void convertBGRAToNV12FullBT709(const std::uint8_t* bgra, std::ptrdiff_t bgraStride, int width, int height,
                                std::uint8_t* luma, std::ptrdiff_t lumaStride, std::uint8_t* chroma,
                                std::ptrdiff_t chromaStride, int firstChromaRow, int chromaRowCount) {
    if (width <= 0 || height <= 0) return;
    const int chromaHeight = (height + 1) / 2;
    const int endChroma = std::min(chromaHeight, firstChromaRow + chromaRowCount);
    const int pairs = width / 2;
    for (int cy = std::max(0, firstChromaRow); cy < endChroma; ++cy) {
        const int y0 = 2 * cy;
        const int y1 = std::min(y0 + 1, height - 1);
        const std::uint32_t* r0 = wordRow(bgra, bgraStride, y0);
        const std::uint32_t* r1 = wordRow(bgra, bgraStride, y1);
        fullLumaRow(r0, luma + lumaStride * y0, width);
        if (y1 != y0) fullLumaRow(r1, luma + lumaStride * y1, width);
        std::uint8_t* uv = chroma + chromaStride * cy;
        fullChromaRow(r0, r1, uv, pairs);
        if (width & 1) {
            // A lone last column: the pixel of each row counted twice.
            const std::uint32_t last[4] = {r0[width - 1], r0[width - 1], r1[width - 1], r1[width - 1]};
            fullChromaRow(last, last + 2, uv + 2 * pairs, 1);
        }
    }
}

}  // namespace mivodrell
