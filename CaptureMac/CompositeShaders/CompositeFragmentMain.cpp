// "Mivodrell_compositeFragmentMain": one display frame, full-range BT.709 4:2:0 (luma R8 at
// texture 0, interleaved chroma RG8 at 1), sampled into BGRA. Each row is built in stages: a
// vertical blend of two source rows, a horizontal filter through the column tables, then the
// conversion to BGRA. A 1:1 draw with half-resolution chroma (the usual case) takes a fused AVX2
// kernel for whole blocks; everything else takes the staged path, which gives the same bytes.

#include "CaptureMac/CompositeShaders/ShaderSupport.h"

#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

namespace mivodrell::composite_detail {

namespace {

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
                      fastPathsEnabled.load(std::memory_order_relaxed)};
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

}  // namespace

std::shared_ptr<const ShaderFunction> makeCompositeFragmentMain() { return std::make_shared<CompositeFragmentMain>(); }

}  // namespace mivodrell::composite_detail
