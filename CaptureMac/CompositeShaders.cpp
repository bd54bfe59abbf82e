#include "CaptureMac/CompositeShaders.h"

#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MIVODRELL_COMPOSITE_X86 1
#endif

// Plain loops that the compiler vectorizes once per CPU kind, picked when the program loads. The
// choice runs through ifunc resolvers before any sanitizer runtime is up, so sanitizer builds
// keep the default version only.
#if defined(MIVODRELL_COMPOSITE_X86) && !defined(MIVODRELL_NO_FUNCTION_CLONES)
#define MIVODRELL_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MIVODRELL_AVX2_CLONES
#endif

namespace mivodrell {

namespace {

std::atomic<bool> gFastPathsEnabled{true};

// ---------------------------------------------------------------------------------------------
// Fixed-point conventions of the composite function. Per output pixel the row stages produce:
//   y   luma in 1/64 steps of an 8-bit level (0...16320);
//   cb  chroma minus one half, in 1/128 steps (-16320...16320), likewise cr.
// Vertically blended chroma rows hold chroma minus one half in 1/32 steps (-4080...4080).
// The conversion then computes, in 1/64 steps,
//   R = y + 1.5748 cr,  G = y - 0.1873 cb - 0.4681 cr,  B = y + 1.8556 cb
// with a rounding multiply by coefficient/2 in Q15, rounds to whole levels and saturates.
// ---------------------------------------------------------------------------------------------

std::int16_t q15Half(double coefficient) { return roundClamped<std::int16_t>(coefficient * 16384.0, 0); }

const std::int16_t kCoefRCr = q15Half(1.5748);
const std::int16_t kCoefGCb = q15Half(0.1873);
const std::int16_t kCoefGCr = q15Half(0.4681);
const std::int16_t kCoefBCb = q15Half(1.8556);

constexpr int kChromaRowCentre = 4080;  // one half in 1/32 steps of an 8-bit level

// (a * b + 2^14) >> 15, the rounding Q15 multiply.
inline int mulQ15(int a, int b) { return (a * b + 16384) >> 15; }

inline std::uint32_t loadUnaligned32(const std::uint8_t* p) {
    std::uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
}

inline std::uint8_t saturate8(int value) { return static_cast<std::uint8_t>(std::clamp(value, 0, 255)); }

void convertRowPortable(const std::int16_t* y, const std::int16_t* cb, const std::int16_t* cr, std::uint8_t* out,
                        int count) {
    for (int i = 0; i < count; ++i) {
        const int yy = y[i] + 32;
        const int r = (yy + mulQ15(cr[i], kCoefRCr)) >> 6;
        const int g = (yy - mulQ15(cb[i], kCoefGCb) - mulQ15(cr[i], kCoefGCr)) >> 6;
        const int b = (yy + mulQ15(cb[i], kCoefBCb)) >> 6;
        out[4 * i + 0] = saturate8(b);
        out[4 * i + 1] = saturate8(g);
        out[4 * i + 2] = saturate8(r);
        out[4 * i + 3] = 255;
    }
}

// Output pixel i has luma texel x0 + i; its chroma comes from texels m - 1, m (x even) or m, m + 1
// (x odd) with m = x / 2, weighted 1:3 or 3:1. `cv` points at chroma texel x0 / 2 of a row that
// is readable one texel before and after the span used.
void chromaHalfRowPortable(const std::int16_t* cv, bool startsOdd, std::int16_t* out, int count) {
    for (int i = 0; i < count; ++i) {
        const int x = i + (startsOdd ? 1 : 0);
        const int m = x >> 1;
        out[i] = static_cast<std::int16_t>((x & 1) ? 3 * cv[m] + cv[m + 1] : cv[m - 1] + 3 * cv[m]);
    }
}

#ifdef MIVODRELL_COMPOSITE_X86
__attribute__((target("avx2"))) void convertRowAvx2(const std::int16_t* y, const std::int16_t* cb,
                                                    const std::int16_t* cr, std::uint8_t* out, int count) {
    const __m256i bias = _mm256_set1_epi16(32);
    const __m256i kR = _mm256_set1_epi16(kCoefRCr);
    const __m256i kGb = _mm256_set1_epi16(kCoefGCb);
    const __m256i kGr = _mm256_set1_epi16(kCoefGCr);
    const __m256i kB = _mm256_set1_epi16(kCoefBCb);
    // Within each 128-bit lane: b0..b7 g0..g7 -> b0 g0 b1 g1 ...; r0..r7 -> r0 0 r1 0 ...
    const __m256i interleave = _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15,  //
                                                0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
    const __m256i spread = _mm256_setr_epi8(0, -128, 1, -128, 2, -128, 3, -128, 4, -128, 5, -128, 6, -128, 7, -128, 0,
                                            -128, 1, -128, 2, -128, 3, -128, 4, -128, 5, -128, 6, -128, 7, -128);
    const __m256i alpha = _mm256_set1_epi16(static_cast<short>(0xFF00));
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i yy = _mm256_add_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + i)), bias);
        const __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cb + i));
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cr + i));
        const __m256i r = _mm256_srai_epi16(_mm256_add_epi16(yy, _mm256_mulhrs_epi16(v, kR)), 6);
        const __m256i g = _mm256_srai_epi16(
            _mm256_sub_epi16(_mm256_sub_epi16(yy, _mm256_mulhrs_epi16(u, kGb)), _mm256_mulhrs_epi16(v, kGr)), 6);
        const __m256i b = _mm256_srai_epi16(_mm256_add_epi16(yy, _mm256_mulhrs_epi16(u, kB)), 6);
        const __m256i bg = _mm256_shuffle_epi8(_mm256_packus_epi16(b, g), interleave);
        const __m256i ra = _mm256_or_si256(_mm256_shuffle_epi8(_mm256_packus_epi16(r, r), spread), alpha);
        const __m256i lo = _mm256_unpacklo_epi16(bg, ra);  // pixels 0-3 | 8-11
        const __m256i hi = _mm256_unpackhi_epi16(bg, ra);  // pixels 4-7 | 12-15
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i), _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i + 32), _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    convertRowPortable(y + i, cb + i, cr + i, out + 4 * i, count - i);
}

// Even-start form of chromaHalfRowPortable: `pairs` pairs of output pixels.
__attribute__((target("avx2"))) void chromaHalfPairsAvx2(const std::int16_t* cv, std::int16_t* out, int pairs) {
    const __m256i three = _mm256_set1_epi16(3);
    int k = 0;
    for (; k + 16 <= pairs; k += 16) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cv + k - 1));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cv + k));
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cv + k + 1));
        const __m256i t = _mm256_mullo_epi16(b, three);
        const __m256i even = _mm256_add_epi16(a, t);
        const __m256i odd = _mm256_add_epi16(t, c);
        const __m256i lo = _mm256_unpacklo_epi16(even, odd);
        const __m256i hi = _mm256_unpackhi_epi16(even, odd);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * k), _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * k + 16), _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    chromaHalfRowPortable(cv + k, false, out + 2 * k, 2 * (pairs - k));
}

// Vertical blend of two interleaved Cb,Cr rows with a weight of q quarters on the second row,
// into separate centred rows in 1/32 steps: ((4 - q) a + q b) * 8 - 4080, the value blendChroma
// gives for that weight. Returns the number of texels done (a multiple of 16).
__attribute__((target("avx2"))) int blendChromaQuartersAvx2(const std::uint8_t* a, const std::uint8_t* b, int q,
                                                            std::int16_t* cb, std::int16_t* cr, int count) {
    const __m256i wa = _mm256_set1_epi16(static_cast<short>(4 - q));
    const __m256i wb = _mm256_set1_epi16(static_cast<short>(q));
    const __m256i mask = _mm256_set1_epi16(0x7F8);
    const __m256i centre = _mm256_set1_epi16(kChromaRowCentre);
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 2 * i));
        const __m256i z = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 2 * i));
        // Each 16-bit lane holds one Cb,Cr pair: Cb * 8 and Cr * 8.
        const __m256i xb = _mm256_and_si256(_mm256_slli_epi16(x, 3), mask);
        const __m256i xr = _mm256_and_si256(_mm256_srli_epi16(x, 5), mask);
        const __m256i zb = _mm256_and_si256(_mm256_slli_epi16(z, 3), mask);
        const __m256i zr = _mm256_and_si256(_mm256_srli_epi16(z, 5), mask);
        const __m256i blue = _mm256_add_epi16(_mm256_mullo_epi16(xb, wa), _mm256_mullo_epi16(zb, wb));
        const __m256i red = _mm256_add_epi16(_mm256_mullo_epi16(xr, wa), _mm256_mullo_epi16(zr, wb));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(cb + i), _mm256_sub_epi16(blue, centre));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(cr + i), _mm256_sub_epi16(red, centre));
    }
    return i;
}

#define MIVODRELL_AVX2_INLINE static inline __attribute__((target("avx2"), always_inline))

// Chroma of even and odd pixels from texels m - 1, m, m + 1 (v points at m).
MIVODRELL_AVX2_INLINE void halfFilterAvx2(const std::int16_t* v, __m256i three, __m256i& even, __m256i& odd) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v - 1));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 1));
    const __m256i t = _mm256_mullo_epi16(b, three);
    even = _mm256_add_epi16(a, t);
    odd = _mm256_add_epi16(t, c);
}

// (l + c * k) >> 6 and (l - u * kb - v * kr) >> 6 with rounding Q15 multiplies.
MIVODRELL_AVX2_INLINE __m256i plusTermAvx2(__m256i l, __m256i c, __m256i k) {
    return _mm256_srai_epi16(_mm256_add_epi16(l, _mm256_mulhrs_epi16(c, k)), 6);
}
MIVODRELL_AVX2_INLINE __m256i greenAvx2(__m256i l, __m256i u, __m256i v, __m256i kb, __m256i kr) {
    return _mm256_srai_epi16(
        _mm256_sub_epi16(_mm256_sub_epi16(l, _mm256_mulhrs_epi16(u, kb)), _mm256_mulhrs_epi16(v, kr)), 6);
}

// 1:1 luma with half-resolution chroma, 32 pixels at a time, the first at an even luma texel:
// the chroma filter of chromaHalfRowPortable and the conversion of convertRowPortable in one pass,
// on even and odd pixels separately. `cb`/`cr` point at the chroma texel of the first pixel and
// must be readable one texel before and one after the pixels done. Returns the pixels done.
__attribute__((target("avx2"))) int convertHalfChromaRowAvx2(const std::uint8_t* y, const std::int16_t* cb,
                                                             const std::int16_t* cr, std::uint8_t* out, int count) {
    const __m256i evenLuma = _mm256_set1_epi16(64);      // bytes 64, 0: 64 x the even luma byte
    const __m256i oddLuma = _mm256_set1_epi16(64 << 8);  // bytes 0, 64: 64 x the odd luma byte
    const __m256i bias = _mm256_set1_epi16(32);
    const __m256i three = _mm256_set1_epi16(3);
    const __m256i kR = _mm256_set1_epi16(kCoefRCr);
    const __m256i kGb = _mm256_set1_epi16(kCoefGCb);
    const __m256i kGr = _mm256_set1_epi16(kCoefGCr);
    const __m256i kB = _mm256_set1_epi16(kCoefBCb);
    const __m256i evenOdd = _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15,  //
                                             0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
    const __m256i opaque = _mm256_set1_epi8(static_cast<char>(0xFF));
    int i = 0;
    for (; i + 32 <= count; i += 32) {
        const int m = i / 2;
        const __m256i yy = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + i));
        const __m256i ye = _mm256_add_epi16(_mm256_maddubs_epi16(yy, evenLuma), bias);
        const __m256i yo = _mm256_add_epi16(_mm256_maddubs_epi16(yy, oddLuma), bias);

        __m256i ue, uo, ve, vo;
        halfFilterAvx2(cb + m, three, ue, uo);
        halfFilterAvx2(cr + m, three, ve, vo);
        // Bytes in pixel order: pixels 0-15 in the low lane, 16-31 in the high lane.
        const __m256i r8 =
            _mm256_shuffle_epi8(_mm256_packus_epi16(plusTermAvx2(ye, ve, kR), plusTermAvx2(yo, vo, kR)), evenOdd);
        const __m256i g8 = _mm256_shuffle_epi8(
            _mm256_packus_epi16(greenAvx2(ye, ue, ve, kGb, kGr), greenAvx2(yo, uo, vo, kGb, kGr)), evenOdd);
        const __m256i b8 =
            _mm256_shuffle_epi8(_mm256_packus_epi16(plusTermAvx2(ye, ue, kB), plusTermAvx2(yo, uo, kB)), evenOdd);

        const __m256i bgLo = _mm256_unpacklo_epi8(b8, g8);  // pixels 0-7 | 16-23
        const __m256i bgHi = _mm256_unpackhi_epi8(b8, g8);  // pixels 8-15 | 24-31
        const __m256i raLo = _mm256_unpacklo_epi8(r8, opaque);
        const __m256i raHi = _mm256_unpackhi_epi8(r8, opaque);
        const __m256i p0 = _mm256_unpacklo_epi16(bgLo, raLo);  // 0-3 | 16-19
        const __m256i p1 = _mm256_unpackhi_epi16(bgLo, raLo);  // 4-7 | 20-23
        const __m256i p2 = _mm256_unpacklo_epi16(bgHi, raHi);  // 8-11 | 24-27
        const __m256i p3 = _mm256_unpackhi_epi16(bgHi, raHi);  // 12-15 | 28-31
        auto* o = reinterpret_cast<__m256i*>(out + 4 * i);
        _mm256_storeu_si256(o + 0, _mm256_permute2x128_si256(p0, p1, 0x20));
        _mm256_storeu_si256(o + 1, _mm256_permute2x128_si256(p2, p3, 0x20));
        _mm256_storeu_si256(o + 2, _mm256_permute2x128_si256(p0, p1, 0x31));
        _mm256_storeu_si256(o + 3, _mm256_permute2x128_si256(p2, p3, 0x31));
    }
    return i;
}

const bool kCpuHasAvx2 = [] {
    __builtin_cpu_init();  // this may run before the library's own initialisation
    return __builtin_cpu_supports("avx2") != 0;
}();
// The vector kernels run when the processor has them and the fast paths are on.
inline bool useAvx2() { return kCpuHasAvx2 && gFastPathsEnabled.load(std::memory_order_relaxed); }
#endif

void convertRow(const std::int16_t* y, const std::int16_t* cb, const std::int16_t* cr, std::uint8_t* out, int count) {
#ifdef MIVODRELL_COMPOSITE_X86
    if (useAvx2()) return convertRowAvx2(y, cb, cr, out, count);
#endif
    convertRowPortable(y, cb, cr, out, count);
}

void chromaHalfRow(const std::int16_t* cv, bool startsOdd, std::int16_t* out, int count) {
#ifdef MIVODRELL_COMPOSITE_X86
    if (useAvx2()) {
        if (startsOdd && count > 0) {
            chromaHalfRowPortable(cv, true, out, 1);
            ++cv;
            ++out;
            --count;
        }
        const int pairs = count / 2;
        chromaHalfPairsAvx2(cv, out, pairs);
        if (count % 2 != 0) chromaHalfRowPortable(cv + pairs, false, out + 2 * pairs, 1);
        return;
    }
#endif
    chromaHalfRowPortable(cv, startsOdd, out, count);
}

// Luma of one source row in 1/64 steps: y << 6.
MIVODRELL_AVX2_CLONES void widenLuma(const std::uint8_t* src, std::int16_t* out,
                                     int count) {
    for (int i = 0; i < count; ++i) out[i] = static_cast<std::int16_t>(src[i] << 6);
}

// Vertical blend of two luma rows in 1/64 steps: 64 a + 64 (b - a) w, with the Q15 weight w.
inline std::int16_t q15Weight(std::uint32_t weight) {
    return static_cast<std::int16_t>(std::min<std::uint32_t>(32767, (weight + 1) >> 1));
}

void blendLumaPortable(const std::uint8_t* a, const std::uint8_t* b, int w15, std::int16_t* out, int count) {
    for (int i = 0; i < count; ++i) out[i] = static_cast<std::int16_t>((a[i] << 6) + mulQ15((b[i] - a[i]) << 6, w15));
}

#ifdef MIVODRELL_COMPOSITE_X86
__attribute__((target("avx2"))) int blendLumaAvx2(const std::uint8_t* a, const std::uint8_t* b, int w15,
                                                  std::int16_t* out, int count) {
    const __m256i w = _mm256_set1_epi16(static_cast<short>(w15));
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i x =
            _mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i))), 6);
        const __m256i y =
            _mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i))), 6);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                            _mm256_add_epi16(x, _mm256_mulhrs_epi16(_mm256_sub_epi16(y, x), w)));
    }
    return i;
}
#endif

// Vertical blend of two interleaved Cb,Cr rows into separate centred rows in 1/32 steps.
MIVODRELL_AVX2_CLONES void blendChroma(const std::uint8_t* a, const std::uint8_t* b,
                                       std::uint32_t weight, std::int16_t* cb,
                                       std::int16_t* cr, int count) {
    if (weight == 0) {
        for (int i = 0; i < count; ++i) {
            cb[i] = static_cast<std::int16_t>((a[2 * i] << 5) - kChromaRowCentre);
            cr[i] = static_cast<std::int16_t>((a[2 * i + 1] << 5) - kChromaRowCentre);
        }
        return;
    }
    const std::int32_t wb = static_cast<std::int32_t>(weight);
    const std::int32_t wa = static_cast<std::int32_t>(kSampleWeightOne) - wb;
    for (int i = 0; i < count; ++i) {
        cb[i] = static_cast<std::int16_t>(((a[2 * i] * wa + b[2 * i] * wb + 1024) >> 11) - kChromaRowCentre);
        cr[i] = static_cast<std::int16_t>(((a[2 * i + 1] * wa + b[2 * i + 1] * wb + 1024) >> 11) - kChromaRowCentre);
    }
}

// Per-worker scratch rows, reused from draw to draw.
struct Scratch {
    std::vector<std::int16_t> y, cb, cr, lumaBlend, cbBlend, crBlend;
};
Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

void ensureSize(std::vector<std::int16_t>& v, std::size_t n) {
    if (v.size() < n) v.resize(n);
}

// The taps of every covered column, and the texel span they read.
struct ColumnTable {
    std::vector<SampleTap> taps;
    std::vector<std::int32_t> offsets;  // tap index minus `low`
    std::vector<std::int16_t> weights;  // Q15 weight of the second texel
    int low = 0;                        // first texel read
    int high = 0;                       // last texel read
    // When every column reads texel offsets[0] + stride * i with one weight (stride 1 or 2).
    int uniformStride = 0;
};

ColumnTable columnTable(const SamplerState& sampler, const QuadCoverage& coverage, int textureWidth) {
    ColumnTable table;
    const auto count = static_cast<std::size_t>(coverage.columnEnd - coverage.columnBegin);
    table.taps.reserve(count);
    table.low = textureWidth;
    table.high = 0;
    for (int i = coverage.columnBegin; i < coverage.columnEnd; ++i) {
        const SampleTap t = sampler.tap(coverage.u(i), textureWidth);
        table.taps.push_back(t);
        table.low = std::min(table.low, t.index);
        table.high = std::max(table.high, t.index + (t.weight != 0 ? 1 : 0));
    }
    table.offsets.reserve(count);
    table.weights.reserve(count);
    for (const SampleTap& t : table.taps) {
        table.offsets.push_back(t.index - table.low);
        table.weights.push_back(q15Weight(t.weight));
    }
    for (int stride : {1, 2}) {
        bool uniform = true;
        for (std::size_t i = 0; i < count && uniform; ++i) {
            uniform = table.offsets[i] == table.offsets[0] + stride * static_cast<int>(i) &&
                      table.weights[i] == table.weights[0];
        }
        if (uniform) {
            table.uniformStride = stride;
            break;
        }
    }
    return table;
}

// Horizontal filtering through a column table, columns [from, from + count). `row` is indexed by
// texel minus the table's `low` and is readable one element past the last texel read.
//   luma:   p0 + (p1 - p0) w                 (1/64 steps in and out)
//   chroma: 4 p0 + 4 (p1 - p0) w             (1/32 steps in, 1/128 out)
// with the rounding Q15 multiply; for quarter weights both are exact.
void filterColumnsPortable(const std::int16_t* row, const ColumnTable& table, int from, int count, int shift,
                           std::int16_t* out) {
    for (int i = from; i < from + count; ++i) {
        const std::int16_t* p = row + table.offsets[static_cast<std::size_t>(i)];
        const int w = table.weights[static_cast<std::size_t>(i)];
        const int d = w != 0 ? p[1] - p[0] : 0;
        out[i] = static_cast<std::int16_t>((p[0] << shift) + mulQ15(d << shift, w));
    }
}

#ifdef MIVODRELL_COMPOSITE_X86
// The filter for columns that read texels at a fixed stride with one weight: contiguous loads
// instead of gathers.
__attribute__((target("avx2"))) int filterUniformAvx2(const std::int16_t* row, const ColumnTable& table, int from,
                                                      int count, int shift, std::int16_t* out) {
    const __m128i amount = _mm_cvtsi32_si128(shift);
    const __m256i w = _mm256_set1_epi16(table.weights[0]);
    const bool blend = table.weights[0] != 0;
    const std::int16_t* base = row + table.offsets[static_cast<std::size_t>(from)];
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        __m256i first, second;
        if (table.uniformStride == 1) {
            first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + i));
            second = blend ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + i + 1)) : first;
        } else {
            const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + 2 * i));
            const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + 2 * i + 16));
            first = _mm256_permute4x64_epi64(_mm256_packs_epi32(_mm256_srai_epi32(_mm256_slli_epi32(v0, 16), 16),
                                                                _mm256_srai_epi32(_mm256_slli_epi32(v1, 16), 16)),
                                             0xD8);
            second = blend ? _mm256_permute4x64_epi64(
                                 _mm256_packs_epi32(_mm256_srai_epi32(v0, 16), _mm256_srai_epi32(v1, 16)), 0xD8)
                           : first;
        }
        const __m256i d = _mm256_sub_epi16(second, first);
        const __m256i value =
            _mm256_add_epi16(_mm256_sll_epi16(first, amount), _mm256_mulhrs_epi16(_mm256_sll_epi16(d, amount), w));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + from + i), value);
    }
    return i;
}

__attribute__((target("avx2"))) int filterColumnsAvx2(const std::int16_t* row, const ColumnTable& table, int from,
                                                      int count, int shift, std::int16_t* out) {
    // The stride-2 loads read up to 2 texels past the last column's; stay within the span.
    if (table.uniformStride == 1 || (table.uniformStride == 2 && count >= 16)) {
        const int safe = table.uniformStride == 2 ? count - 1 : count;
        return filterUniformAvx2(row, table, from, safe - safe % 16, shift, out);
    }
    const __m128i amount = _mm_cvtsi32_si128(shift);
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const auto* offsets = reinterpret_cast<const __m256i*>(table.offsets.data() + from + i);
        // Each gather loads the pair (p[k], p[k + 1]) as one 32-bit element.
        const __m256i g0 = _mm256_i32gather_epi32(reinterpret_cast<const int*>(row), _mm256_loadu_si256(offsets), 2);
        const __m256i g1 =
            _mm256_i32gather_epi32(reinterpret_cast<const int*>(row), _mm256_loadu_si256(offsets + 1), 2);
        const __m256i first =
            _mm256_permute4x64_epi64(_mm256_packs_epi32(_mm256_srai_epi32(_mm256_slli_epi32(g0, 16), 16),
                                                        _mm256_srai_epi32(_mm256_slli_epi32(g1, 16), 16)),
                                     0xD8);
        const __m256i second =
            _mm256_permute4x64_epi64(_mm256_packs_epi32(_mm256_srai_epi32(g0, 16), _mm256_srai_epi32(g1, 16)), 0xD8);
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table.weights.data() + from + i));
        // Where w is 0 the second element may be anything; it is masked out before use.
        const __m256i used = _mm256_cmpgt_epi16(w, _mm256_setzero_si256());
        const __m256i d = _mm256_and_si256(_mm256_sub_epi16(second, first), used);
        const __m256i value =
            _mm256_add_epi16(_mm256_sll_epi16(first, amount), _mm256_mulhrs_epi16(_mm256_sll_epi16(d, amount), w));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + from + i), value);
    }
    return i;
}
#endif

void filterColumns(const std::int16_t* row, const ColumnTable& table, int from, int count, int shift,
                   std::int16_t* out) {
    int done = 0;
#ifdef MIVODRELL_COMPOSITE_X86
    if (useAvx2()) done = filterColumnsAvx2(row, table, from, count, shift, out);
#endif
    filterColumnsPortable(row, table, from + done, count - done, shift, out);
}

// ---------------------------------------------------------------------------------------------
// "Mivodrell_compositeVertexMain"
// ---------------------------------------------------------------------------------------------

class CompositeVertexMain final : public VertexFunction {
public:
    CompositeVertexMain() : VertexFunction(CompositeShaders::vertexMain) {}
    VertexOut run(std::span<const Vertex> vertices, std::uint32_t vertexID) const override {
        const Vertex& v = vertices[vertexID];
        VertexOut out;
        out.position = {v.x, v.y, 0.0f, 1.0f};
        out.uv = {v.u, v.v};
        return out;
    }
};

// ---------------------------------------------------------------------------------------------
// "Mivodrell_compositeFragmentMain"
// ---------------------------------------------------------------------------------------------

// The column tables of one composite draw and the fast paths they allow. They depend only on
// the quad's columns, the texture widths and the sampler, which rarely change from frame to frame.
struct CompositeColumns {
    ColumnTable luma;
    ColumnTable chroma;
    int lumaStart = 0;
    bool lumaIdentity = false;  // consecutive luma texels, no blending
    bool chromaHalf = false;    // half-resolution chroma at the luma texel centres: 1:3 / 3:1 blends

    // The chroma tap of luma texel x when chroma has half the luma resolution: s = x / 2 - 1/4.
    static SampleTap halfTap(int x, int chromaWidth) {
        const int m = x >> 1;
        if ((x & 1) == 0) {
            if (m == 0) return {0, 0};
            return {m - 1, 3 * kSampleWeightOne / 4};
        }
        if (m >= chromaWidth - 1) return {chromaWidth - 1, 0};
        return {m, kSampleWeightOne / 4};
    }

    CompositeColumns(const SamplerState& sampler, const QuadCoverage& coverage, int lumaWidth, int chromaWidth,
                     bool fastPaths) {
        luma = columnTable(sampler, coverage, lumaWidth);
        chroma = columnTable(sampler, coverage, chromaWidth);
        if (!fastPaths) return;
        const auto& lt = luma.taps;
        lumaStart = lt.front().index;
        lumaIdentity = true;
        for (std::size_t i = 0; i < lt.size() && lumaIdentity; ++i) {
            lumaIdentity = lt[i].weight == 0 && lt[i].index == lumaStart + static_cast<int>(i);
        }
        chromaHalf = lumaIdentity && chromaWidth * 2 >= lumaWidth && chromaWidth * 2 <= lumaWidth + 1;
        for (std::size_t i = 0; i < lt.size() && chromaHalf; ++i) {
            chromaHalf = chroma.taps[i] == halfTap(lumaStart + static_cast<int>(i), chromaWidth);
        }
    }
};

// A few recent column tables, looked up by everything they depend on.
class CompositeColumnCache {
public:
    std::shared_ptr<const CompositeColumns> get(const SamplerState& sampler, const QuadCoverage& coverage,
                                                int lumaWidth, int chromaWidth) {
        const Key key{coverage.columnBegin,
                      coverage.columnEnd,
                      coverage.uOrigin,
                      coverage.uPerColumn,
                      lumaWidth,
                      chromaWidth,
                      sampler.descriptor().minFilter,
                      sampler.descriptor().magFilter,
                      gFastPathsEnabled.load(std::memory_order_relaxed)};
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].first == key) {
                auto found = entries_[i];
                entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
                entries_.insert(entries_.begin(), found);
                return found.second;
            }
        }
        auto columns =
            std::make_shared<const CompositeColumns>(sampler, coverage, lumaWidth, chromaWidth, key.fastPaths);
        entries_.insert(entries_.begin(), {key, columns});
        if (entries_.size() > kCapacity) entries_.pop_back();
        return columns;
    }

private:
    static constexpr std::size_t kCapacity = 8;
    struct Key {
        int columnBegin, columnEnd;
        double uOrigin, uPerColumn;
        int lumaWidth, chromaWidth;
        SamplerMinMagFilter minFilter, magFilter;
        bool fastPaths;
        bool operator==(const Key&) const = default;
    };
    std::mutex mutex_;
    std::vector<std::pair<Key, std::shared_ptr<const CompositeColumns>>> entries_;
};

class CompositeDraw final : public FragmentDraw {
public:
    CompositeDraw(const FragmentDrawContext& context, const Texture& luma, const Texture& chroma,
                  std::shared_ptr<const CompositeColumns> columns)
        : target_(*context.target),
          luma_(luma),
          chroma_(chroma),
          sampler_(*context.sampler),
          coverage_(context.coverage),
          columns_(std::move(columns)),
          lumaColumns_(columns_->luma),
          chromaColumns_(columns_->chroma),
          lumaStart_(columns_->lumaStart),
          lumaIdentity_(columns_->lumaIdentity),
          chromaHalf_(columns_->chromaHalf) {}

    void shadeRows(int rowBegin, int rowEnd) const override {
        Scratch& s = scratch();
        const int count = coverage_.columnEnd - coverage_.columnBegin;
        const int lumaSpan = lumaColumns_.high - lumaColumns_.low + 1;
        const int chromaSpan = chromaColumns_.high - chromaColumns_.low + 1;
        ensureSize(s.y, static_cast<std::size_t>(count));
        ensureSize(s.cb, static_cast<std::size_t>(count));
        ensureSize(s.cr, static_cast<std::size_t>(count));
        ensureSize(s.lumaBlend, static_cast<std::size_t>(lumaSpan) + 1);
        ensureSize(s.cbBlend, static_cast<std::size_t>(chromaSpan) + 2);
        ensureSize(s.crBlend, static_cast<std::size_t>(chromaSpan) + 2);

        for (int row = rowBegin; row < rowEnd; ++row) {
            const double v = coverage_.v(row);
            const SampleTap lumaRow = sampler_.tap(v, luma_.height());
            const SampleTap chromaRow = sampler_.tap(v, chroma_.height());
            const std::uint8_t* y0 = luma_.row(lumaRow.index);
            std::uint8_t* out = target_.row(row) + 4 * coverage_.columnBegin;

            // Chroma: blend two rows, pad one texel on each side.
            const std::uint8_t* c0 = chroma_.row(chromaRow.index) + 2 * chromaColumns_.low;
            const std::uint8_t* c1 =
                chromaRow.weight != 0 ? chroma_.row(chromaRow.index + 1) + 2 * chromaColumns_.low : c0;
            std::int16_t* cbv = s.cbBlend.data() + 1;
            std::int16_t* crv = s.crBlend.data() + 1;
            const std::uint32_t quarter = kSampleWeightOne / 4;
            int blended = 0;
#ifdef MIVODRELL_COMPOSITE_X86
            if (useAvx2() && chromaRow.weight % quarter == 0) {
                blended =
                    blendChromaQuartersAvx2(c0, c1, static_cast<int>(chromaRow.weight / quarter), cbv, crv, chromaSpan);
            }
#endif
            blendChroma(c0 + 2 * blended, c1 + 2 * blended, chromaRow.weight, cbv + blended, crv + blended,
                        chromaSpan - blended);
            cbv[-1] = cbv[0];
            crv[-1] = crv[0];
            cbv[chromaSpan] = cbv[chromaSpan - 1];
            crv[chromaSpan] = crv[chromaSpan - 1];

            // The 1:1 fast path does whole blocks; the staged path does the rest.
            int fusedBegin = 0;
            int fusedEnd = 0;
#ifdef MIVODRELL_COMPOSITE_X86
            if (useAvx2() && chromaHalf_ && lumaRow.weight == 0) {
                fusedBegin = lumaStart_ & 1;
                const int offset = ((lumaStart_ + fusedBegin) >> 1) - chromaColumns_.low;
                fusedEnd =
                    fusedBegin + convertHalfChromaRowAvx2(y0 + lumaStart_ + fusedBegin, cbv + offset, crv + offset,
                                                          out + 4 * fusedBegin, count - fusedBegin);
            }
#endif
            if (fusedEnd == 0) {
                fusedBegin = count;
                fusedEnd = count;
            }
            const bool lumaDirect = lumaIdentity_ && lumaRow.weight == 0;
            if (!lumaDirect) {
                const std::uint8_t* y1 = lumaRow.weight != 0 ? luma_.row(lumaRow.index + 1) : y0;
                if (lumaRow.weight == 0) {
                    widenLuma(y0 + lumaColumns_.low, s.lumaBlend.data(), lumaSpan);
                } else {
                    const std::uint8_t* a = y0 + lumaColumns_.low;
                    const std::uint8_t* b = y1 + lumaColumns_.low;
                    const int w15 = q15Weight(lumaRow.weight);
                    int done = 0;
#ifdef MIVODRELL_COMPOSITE_X86
                    if (useAvx2()) done = blendLumaAvx2(a, b, w15, s.lumaBlend.data(), lumaSpan);
#endif
                    blendLumaPortable(a + done, b + done, w15, s.lumaBlend.data() + done, lumaSpan - done);
                }
            }
            const auto staged = [&](int from, int to) {
                const int n = to - from;
                if (n <= 0) return;
                if (lumaDirect) {
                    widenLuma(y0 + lumaStart_ + from, s.y.data() + from, n);
                } else {
                    filterColumns(s.lumaBlend.data(), lumaColumns_, from, n, 0, s.y.data());
                }
                if (chromaHalf_) {
                    const int x = lumaStart_ + from;
                    const int offset = (x >> 1) - chromaColumns_.low;
                    chromaHalfRow(cbv + offset, (x & 1) != 0, s.cb.data() + from, n);
                    chromaHalfRow(crv + offset, (x & 1) != 0, s.cr.data() + from, n);
                } else {
                    filterColumns(cbv, chromaColumns_, from, n, 2, s.cb.data());
                    filterColumns(crv, chromaColumns_, from, n, 2, s.cr.data());
                }
                convertRow(s.y.data() + from, s.cb.data() + from, s.cr.data() + from, out + 4 * from, n);
            };
            staged(0, fusedBegin);
            staged(fusedEnd, count);
        }
    }

private:
    Texture& target_;
    const Texture& luma_;
    const Texture& chroma_;
    const SamplerState& sampler_;
    QuadCoverage coverage_;
    std::shared_ptr<const CompositeColumns> columns_;
    const ColumnTable& lumaColumns_;
    const ColumnTable& chromaColumns_;
    int lumaStart_ = 0;
    bool lumaIdentity_ = false;
    bool chromaHalf_ = false;
};

class CompositeFragmentMain final : public FragmentFunction {
public:
    CompositeFragmentMain() : FragmentFunction(CompositeShaders::compositeFragment) {}
    std::unique_ptr<FragmentDraw> prepareDraw(const FragmentDrawContext& context) const override {
        const Texture* luma = context.textures[0];
        const Texture* chroma = context.textures[1];
        if (!luma || !chroma || !context.sampler || luma->pixelFormat() != TexturePixelFormat::r8Unorm ||
            chroma->pixelFormat() != TexturePixelFormat::rg8Unorm ||
            context.target->pixelFormat() != TexturePixelFormat::bgra8Unorm) {
            return nullptr;
        }
        return std::make_unique<CompositeDraw>(
            context, *luma, *chroma, cache_.get(*context.sampler, context.coverage, luma->width(), chroma->width()));
    }

private:
    mutable CompositeColumnCache cache_;
};

// ---------------------------------------------------------------------------------------------
// BGRA sampling shared by the motion-blur functions.
// ---------------------------------------------------------------------------------------------

// A bilinear sample of a BGRA texture in 1/256 steps per channel.
inline void sampleBgra256(const Texture& texture, SampleTap column, SampleTap row, std::uint32_t out[4]) {
    const std::uint8_t* r0 = texture.row(row.index) + 4 * column.index;
    const std::uint32_t wx = column.weight;
    const std::uint32_t wy = row.weight;
    if (wx == 0 && wy == 0) {
        for (int c = 0; c < 4; ++c) out[c] = r0[c] * 256u;
        return;
    }
    const std::uint8_t* r1 = wy != 0 ? texture.row(row.index + 1) + 4 * column.index : r0;
    for (int c = 0; c < 4; ++c) {
        // Rows first, in 1/256 steps, then columns (at most 65280 x 65536 + 32768: fits 32 bits).
        std::uint32_t top = r0[c] * 256u;
        std::uint32_t topNext = wx != 0 ? r0[4 + c] * 256u : 0;
        if (wy != 0) {
            top = (r0[c] * (kSampleWeightOne - wy) + r1[c] * wy + 128) >> 8;
            if (wx != 0) topNext = (r0[4 + c] * (kSampleWeightOne - wy) + r1[4 + c] * wy + 128) >> 8;
        }
        out[c] = (top * (kSampleWeightOne - wx) + topNext * wx + 32768) >> 16;
    }
}

inline std::uint8_t roundLevel256(std::uint32_t value256) {
    return static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (value256 + 128) >> 8));
}

#ifdef MIVODRELL_COMPOSITE_X86
// roundLevel256(sampleBgra256(...)) for a row of columns, one pixel per step. Returns the count.
__attribute__((target("avx2"))) int sampleBgraRowAvx2(const Texture& texture, SampleTap row, const SampleTap* columns,
                                                      int count, std::uint8_t* out) {
    const std::uint8_t* r0 = texture.row(row.index);
    const std::uint8_t* r1 = row.weight != 0 ? texture.row(row.index + 1) : r0;
    const __m256i wy = _mm256_set1_epi32(static_cast<int>(row.weight));
    const __m256i wyInverse = _mm256_set1_epi32(static_cast<int>(kSampleWeightOne - row.weight));
    const __m128i round16 = _mm_set1_epi32(32768);
    const __m128i round8 = _mm_set1_epi32(128);
    const __m128i maximum = _mm_set1_epi32(255);
    // Two pixels at a time: lanes 0-3 hold the channels of pixel i, lanes 4-7 those of pixel i + 1.
    // Rows are blended as a * 256 + ((b - a) * wy + 128) >> 8, which equals the rounding above since
    // a * 65536 is a multiple of 256; columns as in sampleBgra256, modulo 2^32 where the sum fits.
    const __m128i firstSecond = _mm_setr_epi8(0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15);
    const __m256i round8x = _mm256_set1_epi32(128);
    const __m256i round16x = _mm256_set1_epi32(32768);
    const __m256i maximum8 = _mm256_set1_epi32(255);
    const auto pair = [](const std::uint8_t* rowBase, SampleTap tap) {
        const std::uint8_t* p = rowBase + 4 * static_cast<std::size_t>(tap.index);
        // Only read the second texel when it has weight: it may lie past the end of the row.
        return tap.weight != 0 ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))
                               : _mm_cvtsi32_si128(static_cast<int>(loadUnaligned32(p)));
    };
    int i = 0;
    for (; i + 2 <= count; i += 2) {
        const SampleTap t0 = columns[i];
        const SampleTap t1 = columns[i + 1];
        // Bytes: first texels of both pixels, then their second texels.
        const __m128i top = _mm_shuffle_epi8(_mm_unpacklo_epi64(pair(r0, t0), pair(r0, t1)), firstSecond);
        __m256i first = _mm256_slli_epi32(_mm256_cvtepu8_epi32(top), 8);
        __m256i second = _mm256_slli_epi32(_mm256_cvtepu8_epi32(_mm_srli_si128(top, 8)), 8);
        if (row.weight != 0) {
            const __m128i bottom = _mm_shuffle_epi8(_mm_unpacklo_epi64(pair(r1, t0), pair(r1, t1)), firstSecond);
            const __m256i a0 = _mm256_cvtepu8_epi32(top);
            const __m256i a1 = _mm256_cvtepu8_epi32(_mm_srli_si128(top, 8));
            const __m256i b0 = _mm256_cvtepu8_epi32(bottom);
            const __m256i b1 = _mm256_cvtepu8_epi32(_mm_srli_si128(bottom, 8));
            first = _mm256_add_epi32(
                first, _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(b0, a0), wy), round8x), 8));
            second = _mm256_add_epi32(
                second,
                _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(b1, a1), wy), round8x), 8));
        }
        const __m256i wx = _mm256_setr_epi32(static_cast<int>(t0.weight), static_cast<int>(t0.weight),
                                             static_cast<int>(t0.weight), static_cast<int>(t0.weight),
                                             static_cast<int>(t1.weight), static_cast<int>(t1.weight),
                                             static_cast<int>(t1.weight), static_cast<int>(t1.weight));
        const __m256i wxInverse = _mm256_sub_epi32(_mm256_set1_epi32(65536), wx);
        const __m256i sum = _mm256_add_epi32(
            _mm256_add_epi32(_mm256_mullo_epi32(first, wxInverse), _mm256_mullo_epi32(second, wx)), round16x);
        const __m256i value256 = _mm256_srli_epi32(sum, 16);
        const __m256i level = _mm256_min_epu32(_mm256_srli_epi32(_mm256_add_epi32(value256, round8x), 8), maximum8);
        const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(level), _mm256_extracti128_si256(level, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * i), _mm_packus_epi16(words, words));
    }
    for (; i < count; ++i) {
        const SampleTap t = columns[i];
        const std::size_t offset = 4 * static_cast<std::size_t>(t.index);
        // The texel and, when it has weight, the next one (otherwise lanes 4-7 stay zero).
        const __m128i p0 = t.weight != 0 ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r0 + offset))
                                         : _mm_cvtsi32_si128(static_cast<int>(loadUnaligned32(r0 + offset)));
        const __m128i p1 = t.weight != 0 ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r1 + offset))
                                         : _mm_cvtsi32_si128(static_cast<int>(loadUnaligned32(r1 + offset)));
        __m256i top = _mm256_slli_epi32(_mm256_cvtepu8_epi32(p0), 8);
        if (row.weight != 0) {
            top = _mm256_srli_epi32(
                _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(_mm256_cvtepu8_epi32(p0), wyInverse),
                                                  _mm256_mullo_epi32(_mm256_cvtepu8_epi32(p1), wy)),
                                 _mm256_set1_epi32(128)),
                8);
        }
        const int wx = static_cast<int>(t.weight);
        const __m256i weights = _mm256_setr_epi32(65536 - wx, 65536 - wx, 65536 - wx, 65536 - wx, wx, wx, wx, wx);
        const __m256i products = _mm256_mullo_epi32(top, weights);
        const __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(products), _mm256_extracti128_si256(products, 1));
        const __m128i value256 = _mm_srli_epi32(_mm_add_epi32(sum, round16), 16);
        const __m128i level = _mm_min_epu32(_mm_srli_epi32(_mm_add_epi32(value256, round8), 8), maximum);
        const __m128i bytes = _mm_packus_epi16(_mm_packus_epi32(level, level), _mm_setzero_si128());
        const int packed = _mm_cvtsi128_si32(bytes);
        std::memcpy(out + 4 * i, &packed, 4);
    }
    return count;
}
#endif

bool allBgra(const FragmentDrawContext& context, std::size_t textureCount) {
    if (!context.sampler || context.target->pixelFormat() != TexturePixelFormat::bgra8Unorm) return false;
    for (std::size_t t = 0; t < textureCount; ++t) {
        if (!context.textures[t] || context.textures[t]->pixelFormat() != TexturePixelFormat::bgra8Unorm) return false;
    }
    return true;
}

// The column and row taps of one texture size under one quad. They change only with the output
// size, so each function keeps the few it saw last instead of recomputing them every frame.
struct BgraTaps {
    std::vector<SampleTap> columns;
    std::vector<SampleTap> rows;  // from the coverage's first row

    BgraTaps(const SamplerState& sampler, const QuadCoverage& coverage, int width, int height)
        : columns(columnTable(sampler, coverage, width).taps) {
        rows.reserve(static_cast<std::size_t>(coverage.rowEnd - coverage.rowBegin));
        for (int j = coverage.rowBegin; j < coverage.rowEnd; ++j) rows.push_back(sampler.tap(coverage.v(j), height));
    }
};

class BgraTapCache {
public:
    std::shared_ptr<const BgraTaps> get(const SamplerState& sampler, const QuadCoverage& c, const Texture& texture) {
        const Key key{c.columnBegin,
                      c.columnEnd,
                      c.rowBegin,
                      c.rowEnd,
                      c.uOrigin,
                      c.uPerColumn,
                      c.vOrigin,
                      c.vPerRow,
                      texture.width(),
                      texture.height(),
                      sampler.descriptor().minFilter,
                      sampler.descriptor().magFilter};
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : entries_) {
            if (entry.first == key) return entry.second;
        }
        auto taps = std::make_shared<const BgraTaps>(sampler, c, texture.width(), texture.height());
        if (entries_.size() >= kCapacity) entries_.erase(entries_.begin());
        entries_.emplace_back(key, taps);
        return taps;
    }

private:
    static constexpr std::size_t kCapacity = 4;
    struct Key {
        int columnBegin, columnEnd, rowBegin, rowEnd;
        double uOrigin, uPerColumn, vOrigin, vPerRow;
        int width, height;
        SamplerMinMagFilter minFilter, magFilter;
        bool operator==(const Key&) const = default;
    };
    std::mutex mutex_;
    std::vector<std::pair<Key, std::shared_ptr<const BgraTaps>>> entries_;
};

// One BGRA input of a draw with its taps.
struct BgraInput {
    const Texture* texture = nullptr;
    std::shared_ptr<const BgraTaps> taps;
    const std::vector<SampleTap>& columns;

    BgraInput(const Texture* t, const SamplerState& sampler, const QuadCoverage& coverage, BgraTapCache& cache)
        : texture(t), taps(cache.get(sampler, coverage, *t)), columns(taps->columns) {}
    SampleTap rowTap(const QuadCoverage& coverage, int row) const {
        return taps->rows[static_cast<std::size_t>(row - coverage.rowBegin)];
    }
};

// ---------------------------------------------------------------------------------------------
// "Mivodrell_copyFragment"
// ---------------------------------------------------------------------------------------------

class CopyDraw final : public FragmentDraw {
public:
    CopyDraw(const FragmentDrawContext& context, BgraTapCache& cache)
        : target_(*context.target),
          coverage_(context.coverage),
          source_(context.textures[0], *context.sampler, coverage_, cache) {}

    void shadeRows(int rowBegin, int rowEnd) const override {
        for (int row = rowBegin; row < rowEnd; ++row) {
            const SampleTap rowTap = source_.rowTap(coverage_, row);
            std::uint8_t* out = target_.row(row) + 4 * coverage_.columnBegin;
            const int count = static_cast<int>(source_.columns.size());
            int done = 0;
#ifdef MIVODRELL_COMPOSITE_X86
            if (useAvx2()) done = sampleBgraRowAvx2(*source_.texture, rowTap, source_.columns.data(), count, out);
#endif
            for (int i = done; i < count; ++i) {
                std::uint32_t texel[4];
                sampleBgra256(*source_.texture, source_.columns[static_cast<std::size_t>(i)], rowTap, texel);
                for (int c = 0; c < 4; ++c) out[4 * i + c] = roundLevel256(texel[c]);
            }
        }
    }

private:
    Texture& target_;
    QuadCoverage coverage_;
    BgraInput source_;
};

class CopyFragment final : public FragmentFunction {
public:
    CopyFragment() : FragmentFunction(CompositeShaders::copyFragment) {}
    std::unique_ptr<FragmentDraw> prepareDraw(const FragmentDrawContext& context) const override {
        if (!allBgra(context, 1)) return nullptr;
        return std::make_unique<CopyDraw>(context, cache_);
    }

private:
    mutable BgraTapCache cache_;
};

// ---------------------------------------------------------------------------------------------
// "Mivodrell_motionDiffFragment"
// ---------------------------------------------------------------------------------------------

// The difference of one row whose inputs are fetched exactly at each pixel: motion where the
// luminance changed by at least 0.035 (in thousandths of a level), else the previous mask x 0.82.
MIVODRELL_AVX2_CLONES void diffRowExact(const std::uint8_t* current,
                                        const std::uint8_t* previous,
                                        const std::uint8_t* previousMask,
                                        std::uint8_t* out, int count) {
    constexpr int threshold = 35 * 255;
    for (int i = 0; i < count; ++i) {
        const int delta = 299 * (current[4 * i + 2] - previous[4 * i + 2]) +
                          587 * (current[4 * i + 1] - previous[4 * i + 1]) + 114 * (current[4 * i] - previous[4 * i]);
        const int magnitude = delta < 0 ? -delta : delta;
        const std::uint32_t held = static_cast<std::uint32_t>(previousMask[4 * i + 2] * 82 + 50) / 100u;
        const std::uint32_t value = magnitude >= threshold ? 255u : held;
        const std::uint32_t pixel = value | (value << 8) | (value << 16) | 0xFF000000u;
        std::memcpy(out + 4 * i, &pixel, 4);
    }
}

#ifdef MIVODRELL_COMPOSITE_X86
// One byte channel of 8 BGRA pixels as 32-bit lanes.
MIVODRELL_AVX2_INLINE __m256i channelAvx2(__m256i pixels, int shift) {
    return _mm256_and_si256(_mm256_srli_epi32(pixels, shift), _mm256_set1_epi32(0xFF));
}

// diffRowExact, 8 pixels at a time. Returns the pixels done.
__attribute__((target("avx2"))) int diffRowExactAvx2(const std::uint8_t* current, const std::uint8_t* previous,
                                                     const std::uint8_t* previousMask, std::uint8_t* out, int count) {
    const __m256i kR = _mm256_set1_epi32(299);
    const __m256i kG = _mm256_set1_epi32(587);
    const __m256i kB = _mm256_set1_epi32(114);
    const __m256i belowThreshold = _mm256_set1_epi32(35 * 255 - 1);
    const __m256i hold = _mm256_set1_epi32(82);
    const __m256i roundHold = _mm256_set1_epi32(50);
    const __m256i hundredth = _mm256_set1_epi32(5243);  // (x * 5243) >> 19 == x / 100 for x <= 20960
    const __m256i full = _mm256_set1_epi32(255);
    const __m256i grey = _mm256_set1_epi32(0x010101);
    const __m256i opaque = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(current + 4 * i));
        const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(previous + 4 * i));
        const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(previousMask + 4 * i));
        const __m256i delta =
            _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(channelAvx2(c, 16), channelAvx2(p, 16)), kR),
                                              _mm256_mullo_epi32(_mm256_sub_epi32(channelAvx2(c, 8), channelAvx2(p, 8)), kG)),
                             _mm256_mullo_epi32(_mm256_sub_epi32(channelAvx2(c, 0), channelAvx2(p, 0)), kB));
        const __m256i moving = _mm256_cmpgt_epi32(_mm256_abs_epi32(delta), belowThreshold);
        const __m256i heldTimes100 = _mm256_add_epi32(_mm256_mullo_epi32(channelAvx2(m, 16), hold), roundHold);
        const __m256i held = _mm256_srli_epi32(_mm256_mullo_epi32(heldTimes100, hundredth), 19);
        const __m256i value = _mm256_blendv_epi8(held, full, moving);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i),
                            _mm256_or_si256(_mm256_mullo_epi32(value, grey), opaque));
    }
    return i;
}
#endif

class MotionDiffDraw final : public FragmentDraw {
public:
    MotionDiffDraw(const FragmentDrawContext& context, BgraTapCache& cache)
        : target_(*context.target),
          coverage_(context.coverage),
          current_(context.textures[0], *context.sampler, coverage_, cache),
          previous_(context.textures[1], *context.sampler, coverage_, cache),
          previousMask_(context.textures[2], *context.sampler, coverage_, cache) {
        exactColumns_ = true;
        for (std::size_t i = 0; i < current_.columns.size() && exactColumns_; ++i) {
            const int column = coverage_.columnBegin + static_cast<int>(i);
            for (const BgraInput* input : {&current_, &previous_, &previousMask_}) {
                exactColumns_ = exactColumns_ && input->columns[i] == SampleTap{column, 0};
            }
        }
    }

    void shadeRows(int rowBegin, int rowEnd) const override {
        // |0.299 dR + 0.587 dG + 0.114 dB| >= 0.035, in thousandths of 1/256 levels.
        const std::int64_t threshold = 35LL * 255 * 256;
        for (int row = rowBegin; row < rowEnd; ++row) {
            const SampleTap rc = current_.rowTap(coverage_, row);
            const SampleTap rp = previous_.rowTap(coverage_, row);
            const SampleTap rm = previousMask_.rowTap(coverage_, row);
            std::uint8_t* out = target_.row(row) + 4 * coverage_.columnBegin;
            if (exactColumns_ && rc.weight == 0 && rp.weight == 0 && rm.weight == 0 && rc.index == row &&
                rp.index == row && rm.index == row) {
                // Every input fetched at this very pixel: plain byte arithmetic, same result.
                const std::uint8_t* c = current_.texture->row(row) + 4 * coverage_.columnBegin;
                const std::uint8_t* p = previous_.texture->row(row) + 4 * coverage_.columnBegin;
                const std::uint8_t* m = previousMask_.texture->row(row) + 4 * coverage_.columnBegin;
                const int count = static_cast<int>(current_.columns.size());
                int done = 0;
#ifdef MIVODRELL_COMPOSITE_X86
                if (useAvx2()) done = diffRowExactAvx2(c, p, m, out, count);
#endif
                diffRowExact(c + 4 * done, p + 4 * done, m + 4 * done, out + 4 * done, count - done);
                continue;
            }
            for (std::size_t i = 0; i < current_.columns.size(); ++i) {
                std::uint32_t c[4], p[4], m[4];
                sampleBgra256(*current_.texture, current_.columns[i], rc, c);
                sampleBgra256(*previous_.texture, previous_.columns[i], rp, p);
                sampleBgra256(*previousMask_.texture, previousMask_.columns[i], rm, m);
                // Channels are B, G, R, A.
                const std::int64_t delta = 299 * (static_cast<std::int64_t>(c[2]) - p[2]) +
                                           587 * (static_cast<std::int64_t>(c[1]) - p[1]) +
                                           114 * (static_cast<std::int64_t>(c[0]) - p[0]);
                std::uint8_t value;
                if (delta >= threshold || -delta >= threshold) {
                    value = 255;
                } else {
                    // previous red x 0.82, rounded to a level.
                    value = static_cast<std::uint8_t>(
                        std::min<std::uint64_t>(255, (static_cast<std::uint64_t>(m[2]) * 82 + 12800) / 25600));
                }
                out[4 * i + 0] = value;
                out[4 * i + 1] = value;
                out[4 * i + 2] = value;
                out[4 * i + 3] = 255;
            }
        }
    }

private:
    Texture& target_;
    QuadCoverage coverage_;
    BgraInput current_;
    BgraInput previous_;
    BgraInput previousMask_;
    bool exactColumns_ = false;
};

class MotionDiffFragment final : public FragmentFunction {
public:
    MotionDiffFragment() : FragmentFunction(CompositeShaders::motionDiffFragment) {}
    std::unique_ptr<FragmentDraw> prepareDraw(const FragmentDrawContext& context) const override {
        if (!allBgra(context, 3)) return nullptr;
        return std::make_unique<MotionDiffDraw>(context, cache_);
    }

private:
    mutable BgraTapCache cache_;
};

// ---------------------------------------------------------------------------------------------
// "Mivodrell_motionMixFragment"
// ---------------------------------------------------------------------------------------------

// Fixed point of the mix, in 1/128 steps of a level (0...32640) and Q15 weights:
//   blurred = B0 + (B1 - B0) w,  mask = M0 + (M1 - M0) w  (the magnified small frame and mask)
//   m = min(1, 1.25 mask),  out = sharp + (blurred - sharp) m
// with the rounding Q15 multiply throughout; the vector and scalar forms give the same bytes.
constexpr int kMaskGainQ15 = 8353;  // 1 + this / 32768 = 1.25 x 32768 / 32640

inline int mixChannel(int sharp128, int blurred128, int m15) {
    return std::clamp((sharp128 + mulQ15(blurred128 - sharp128, m15) + 64) >> 7, 0, 255);
}
inline int maskWeight(int mask128) { return std::min(32767, mask128 + mulQ15(mask128, kMaskGainQ15)); }

// Rows of the magnified small frame and mask: the vertical blend of two small rows, per small
// column, in 1/128 steps.
struct MixRows {
    std::vector<std::int16_t> blurred;  // 4 per column
    std::vector<std::int16_t> mask;     // red of the mask, 1 per column
};
MixRows& mixRows() {
    thread_local MixRows rows;
    return rows;
}

// Bytes a[k * stride] and b[k * stride] blended by `weight`, kept at 7 fractional bits, for k < count.
MIVODRELL_AVX2_CLONES void blendRow128(const std::uint8_t* a, const std::uint8_t* b,
                                       std::uint32_t weight, std::int16_t* out, int count,
                                       int stride) {
    const std::uint32_t wa = kSampleWeightOne - weight;
    for (int k = 0; k < count; ++k) {
        out[k] = static_cast<std::int16_t>((a[k * stride] * wa + b[k * stride] * weight + 256) >> 9);
    }
}

// The per-column work of a mix draw: it depends only on the quad and the texture sizes, which
// change only with the output size.
struct MixLayout {
    struct Run {
        int begin;
        int end;
        int column;  // small-texture column of the first tap
        bool next;   // whether the run also reads column + 1
    };
    std::vector<SampleTap> sharpColumns;
    std::vector<SampleTap> smallColumns;
    std::vector<std::int16_t> weights;  // Q15 weight of each pixel, 4 copies (one per channel)
    std::vector<Run> runs;              // columns sharing their small-texture taps
    std::vector<SampleTap> sharpRows;   // per covered row, from rowBegin
    std::vector<SampleTap> smallRows;
    bool sharpColumnsExact = false;     // sharp texel i + columnBegin for column i, no blending
    bool sharpOneToOne = false;         // and the same for rows: each pixel reads only itself

    MixLayout(const SamplerState& sampler, const QuadCoverage& coverage, int sharpWidth, int sharpHeight,
              int smallWidth, int smallHeight) {
        sharpColumns = columnTable(sampler, coverage, sharpWidth).taps;
        smallColumns = columnTable(sampler, coverage, smallWidth).taps;
        sharpColumnsExact = true;
        for (std::size_t i = 0; i < sharpColumns.size() && sharpColumnsExact; ++i) {
            sharpColumnsExact =
                sharpColumns[i].weight == 0 && sharpColumns[i].index == coverage.columnBegin + static_cast<int>(i);
        }
        sharpOneToOne = sharpColumnsExact;
        for (int j = coverage.rowBegin; j < coverage.rowEnd; ++j) {
            sharpRows.push_back(sampler.tap(coverage.v(j), sharpHeight));
            smallRows.push_back(sampler.tap(coverage.v(j), smallHeight));
            sharpOneToOne = sharpOneToOne && sharpRows.back() == SampleTap{j, 0};
        }
        const std::size_t count = smallColumns.size();
        weights.resize(count * 4);
        for (std::size_t i = 0; i < count; ++i) {
            const auto w = static_cast<std::int16_t>(std::min<std::uint32_t>(32767, (smallColumns[i].weight + 1) >> 1));
            for (std::size_t c = 0; c < 4; ++c) weights[4 * i + c] = w;
        }
        for (std::size_t i = 0; i < count;) {
            Run run{static_cast<int>(i), static_cast<int>(i), smallColumns[i].index, false};
            while (i < count && smallColumns[i].index == run.column) {
                run.next = run.next || smallColumns[i].weight != 0;
                ++i;
            }
            run.end = static_cast<int>(i);
            runs.push_back(run);
        }
    }
};

// The pixels of one run, from `from` on, in scalar form.
inline void mixRunPortable(const std::uint8_t* s, std::uint8_t* o, const std::int16_t* w, const std::int16_t* bA,
                           const std::int16_t* bB, int mA, int mB, int from, int count) {
    for (int i = from; i < count; ++i) {
        const int wi = w[4 * i];
        const int m15 = maskWeight(mA + mulQ15(mB - mA, wi));
        for (int c = 0; c < 4; ++c) {
            const int blurred128 = bA[c] + mulQ15(bB[c] - bA[c], wi);
            o[4 * i + c] = static_cast<std::uint8_t>(mixChannel(s[4 * i + c] << 7, blurred128, m15));
        }
    }
}

// Where the mask of a run is zero the pixels are the sharp ones; returns true when done so.
inline bool mixStillRun(const std::uint8_t* s, std::uint8_t* o, int mA, int mB, int count) {
    if (mA != 0 || mB != 0) return false;
    if (s != o) std::memcpy(o, s, 4 * static_cast<std::size_t>(count));
    return true;
}

void mixRowPortable(const MixLayout& layout, const MixRows& rows, const std::uint8_t* sharpRow, std::uint8_t* out) {
    for (const MixLayout::Run& run : layout.runs) {
        const std::int16_t* bA = rows.blurred.data() + 4 * run.column;
        const std::int16_t* bB = run.next ? bA + 4 : bA;
        const int mA = rows.mask[static_cast<std::size_t>(run.column)];
        const int mB = run.next ? rows.mask[static_cast<std::size_t>(run.column) + 1] : mA;
        const std::uint8_t* s = sharpRow + 4 * run.begin;
        std::uint8_t* o = out + 4 * run.begin;
        const int n = run.end - run.begin;
        if (mixStillRun(s, o, mA, mB, n)) continue;
        mixRunPortable(s, o, layout.weights.data() + 4 * run.begin, bA, bB, mA, mB, 0, n);
    }
}

#ifdef MIVODRELL_COMPOSITE_X86
__attribute__((target("avx2"))) void mixRowAvx2(const MixLayout& layout, const MixRows& rows,
                                                const std::uint8_t* sharpRow, std::uint8_t* out) {
    const __m256i gain = _mm256_set1_epi16(kMaskGainQ15);
    const __m256i half = _mm256_set1_epi16(64);
    for (const MixLayout::Run& run : layout.runs) {
        const std::int16_t* bA = rows.blurred.data() + 4 * run.column;
        const std::int16_t* bB = run.next ? bA + 4 : bA;
        const int mA = rows.mask[static_cast<std::size_t>(run.column)];
        const int mB = run.next ? rows.mask[static_cast<std::size_t>(run.column) + 1] : mA;
        const std::uint8_t* s = sharpRow + 4 * run.begin;
        std::uint8_t* o = out + 4 * run.begin;
        const int n = run.end - run.begin;
        if (mixStillRun(s, o, mA, mB, n)) continue;
        const std::int16_t* w4 = layout.weights.data() + 4 * run.begin;

        // The blurred texel pair and the mask pair as 16-bit lanes, repeated for 4 pixels.
        const __m128i a4 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bA));
        const __m128i b4 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bB));
        const __m256i base = _mm256_broadcastq_epi64(a4);
        const __m256i delta = _mm256_broadcastq_epi64(_mm_sub_epi16(b4, a4));
        const __m256i maskBase = _mm256_set1_epi16(static_cast<short>(mA));
        const __m256i maskDelta = _mm256_set1_epi16(static_cast<short>(mB - mA));
        int i = 0;
        for (; i + 8 <= n; i += 8) {
            __m256i result[2];
            for (int h = 0; h < 2; ++h) {
                const int p = i + 4 * h;
                const __m256i sharp = _mm256_slli_epi16(
                    _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * p))), 7);
                const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w4 + 4 * p));
                const __m256i blurred = _mm256_add_epi16(base, _mm256_mulhrs_epi16(delta, w));
                const __m256i mask = _mm256_add_epi16(maskBase, _mm256_mulhrs_epi16(maskDelta, w));
                const __m256i m = _mm256_adds_epi16(mask, _mm256_mulhrs_epi16(mask, gain));
                const __m256i mixed = _mm256_add_epi16(sharp, _mm256_mulhrs_epi16(_mm256_sub_epi16(blurred, sharp), m));
                result[h] = _mm256_srli_epi16(_mm256_add_epi16(mixed, half), 7);
            }
            const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(result[0], result[1]), 0xD8);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 4 * i), bytes);
        }
        mixRunPortable(s, o, w4, bA, bB, mA, mB, i, n);
    }
}
#endif

// Whether any pixel of a BGRA row has a red (mask) value above zero.
bool rowHasMotion(const std::uint8_t* row, int width) {
    std::uint32_t any = 0;
    for (int x = 0; x < width; ++x) {
        std::uint32_t pixel;
        std::memcpy(&pixel, row + 4 * x, 4);
        any |= pixel;
    }
    return (any & 0x00FF0000u) != 0;
}

// One draw of the mix. The small frame and the mask have the same size (the renderer makes them
// so); the sharp frame is usually the target itself, fetched 1:1, and then pixels whose mask is
// zero are left as they are.
class MotionMixDraw final : public FragmentDraw {
public:
    MotionMixDraw(const FragmentDrawContext& context, std::shared_ptr<const MixLayout> layout,
                  std::shared_ptr<Texture> sharpCopy)
        : target_(*context.target),
          sampler_(*context.sampler),
          coverage_(context.coverage),
          layout_(std::move(layout)),
          sharpCopy_(std::move(sharpCopy)),
          sharp_(sharpCopy_ ? *sharpCopy_ : *context.textures[0]),
          small_(*context.textures[1]),
          mask_(*context.textures[2]),
          inPlace_(context.textures[0] == context.target && !sharpCopy_) {
        // Mask rows without any motion let whole output rows be skipped.
        maskRowMoves_.resize(static_cast<std::size_t>(mask_.height()));
        for (int y = 0; y < mask_.height(); ++y) {
            maskRowMoves_[static_cast<std::size_t>(y)] = rowHasMotion(mask_.row(y), mask_.width());
        }
    }

    void shadeRows(int rowBegin, int rowEnd) const override {
        const int smallWidth = small_.width();
        MixRows& rows = mixRows();
        rows.blurred.resize(static_cast<std::size_t>(smallWidth) * 4);
        rows.mask.resize(static_cast<std::size_t>(smallWidth));
        const MixLayout& layout = *layout_;

        for (int row = rowBegin; row < rowEnd; ++row) {
            const SampleTap rs = layout.sharpRows[static_cast<std::size_t>(row - coverage_.rowBegin)];
            const SampleTap rm = layout.smallRows[static_cast<std::size_t>(row - coverage_.rowBegin)];
            const bool sharpExact = layout.sharpColumnsExact && rs.weight == 0 && rs.index == row;
            std::uint8_t* out = target_.row(row) + 4 * coverage_.columnBegin;
            const bool moves = maskRowMoves_[static_cast<std::size_t>(rm.index)] ||
                               (rm.weight != 0 && maskRowMoves_[static_cast<std::size_t>(rm.index) + 1]);
            if (!moves && sharpExact && inPlace_) continue;  // m = 0 everywhere: the sharp row stays

            const std::uint8_t* m0 = mask_.row(rm.index);
            const std::uint8_t* m1 = rm.weight != 0 ? mask_.row(rm.index + 1) : m0;
            const std::uint8_t* b0 = small_.row(rm.index);
            const std::uint8_t* b1 = rm.weight != 0 ? small_.row(rm.index + 1) : b0;
            blendRow128(m0 + 2, m1 + 2, rm.weight, rows.mask.data(), smallWidth, 4);
            blendRow128(b0, b1, rm.weight, rows.blurred.data(), 4 * smallWidth, 1);

            // The sharp pixels: the row itself when fetched 1:1, else a filtered copy.
            const std::uint8_t* sharpRow = nullptr;
            if (sharpExact) {
                sharpRow = inPlace_ ? out : sharp_.row(row) + 4 * coverage_.columnBegin;
            } else {
                auto& filtered = sharpScratch();
                filtered.resize(4 * layout.sharpColumns.size());
                for (std::size_t i = 0; i < layout.sharpColumns.size(); ++i) {
                    std::uint32_t texel[4];
                    sampleBgra256(sharp_, layout.sharpColumns[i], rs, texel);
                    for (std::size_t c = 0; c < 4; ++c) filtered[4 * i + c] = roundLevel256(texel[c]);
                }
                sharpRow = filtered.data();
            }

#ifdef MIVODRELL_COMPOSITE_X86
            if (useAvx2()) {
                mixRowAvx2(layout, rows, sharpRow, out);
                continue;
            }
#endif
            mixRowPortable(layout, rows, sharpRow, out);
        }
    }

private:
    static std::vector<std::uint8_t>& sharpScratch() {
        thread_local std::vector<std::uint8_t> scratch;
        return scratch;
    }

    Texture& target_;
    const SamplerState& sampler_;
    QuadCoverage coverage_;
    std::shared_ptr<const MixLayout> layout_;
    std::shared_ptr<Texture> sharpCopy_;
    const Texture& sharp_;
    const Texture& small_;
    const Texture& mask_;
    bool inPlace_ = false;
    std::vector<bool> maskRowMoves_;
};

class MotionMixFragment final : public FragmentFunction {
public:
    MotionMixFragment() : FragmentFunction(CompositeShaders::motionMixFragment) {}

    std::unique_ptr<FragmentDraw> prepareDraw(const FragmentDrawContext& context) const override {
        if (!allBgra(context, 3)) return nullptr;
        const Texture& sharp = *context.textures[0];
        const Texture& small = *context.textures[1];
        const Texture& mask = *context.textures[2];
        if (small.width() != mask.width() || small.height() != mask.height()) return nullptr;
        auto layout = this->layout(*context.sampler, context.coverage, sharp, small);
        if (&sharp == context.target && layout->sharpOneToOne && !anyMotion(mask)) {
            // m = 0 everywhere: the target already holds the result.
            return nullptr;
        }
        std::shared_ptr<Texture> sharpCopy;
        if (&sharp == context.target && !layout->sharpOneToOne) {
            // Reading other pixels of the target while bands write it: work from a snapshot.
            sharpCopy = Texture::allocate(TexturePixelFormat::bgra8Unorm, sharp.width(), sharp.height());
            if (!sharpCopy) return nullptr;
            for (int row = 0; row < sharp.height(); ++row) {
                std::memcpy(sharpCopy->row(row), sharp.row(row), static_cast<std::size_t>(sharp.width()) * 4);
            }
        }
        return std::make_unique<MotionMixDraw>(context, std::move(layout), std::move(sharpCopy));
    }

    bool writesEveryCoveredPixel(const FragmentDrawContext& context) const override {
        return context.textures[0] != context.target;
    }

private:
    static bool anyMotion(const Texture& mask) {
        for (int y = 0; y < mask.height(); ++y) {
            if (rowHasMotion(mask.row(y), mask.width())) return true;
        }
        return false;
    }

    struct Key {
        int columnBegin, columnEnd, rowBegin, rowEnd;
        double uOrigin, uPerColumn, vOrigin, vPerRow;
        int sharpWidth, sharpHeight, smallWidth, smallHeight;
        SamplerMinMagFilter minFilter, magFilter;
        bool operator==(const Key&) const = default;
    };

    std::shared_ptr<const MixLayout> layout(const SamplerState& sampler, const QuadCoverage& c, const Texture& sharp,
                                            const Texture& small) const {
        const Key key{c.columnBegin,
                      c.columnEnd,
                      c.rowBegin,
                      c.rowEnd,
                      c.uOrigin,
                      c.uPerColumn,
                      c.vOrigin,
                      c.vPerRow,
                      sharp.width(),
                      sharp.height(),
                      small.width(),
                      small.height(),
                      sampler.descriptor().minFilter,
                      sampler.descriptor().magFilter};
        std::lock_guard<std::mutex> lock(mutex_);
        if (cached_ && cachedKey_ == key) return cached_;
        cached_ = std::make_shared<const MixLayout>(sampler, c, sharp.width(), sharp.height(), small.width(),
                                                    small.height());
        cachedKey_ = key;
        return cached_;
    }

    mutable std::mutex mutex_;
    mutable Key cachedKey_{};
    mutable std::shared_ptr<const MixLayout> cached_;
};

}  // namespace

std::vector<std::shared_ptr<const ShaderFunction>> CompositeShaders::functions() {
    return {std::make_shared<CompositeVertexMain>(), std::make_shared<CompositeFragmentMain>(),
            std::make_shared<CopyFragment>(), std::make_shared<MotionDiffFragment>(),
            std::make_shared<MotionMixFragment>()};
}

void CompositeShaders::setFastPathsEnabled(bool enabled) { gFastPathsEnabled.store(enabled); }

}  // namespace mivodrell
