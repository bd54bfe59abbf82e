// "Mivodrell_compositeFragmentMain": one display frame, full-range BT.709 4:2:0 (luma R8 at
// texture 0, interleaved chroma RG8 at 1), sampled into BGRA. Each row is built in stages: a
// vertical blend of two source rows, a horizontal filter through the column tables, then the
// conversion to BGRA. A 1:1 draw with half-resolution chroma (the usual case) takes a fused AVX2
// kernel for whole blocks; everything else takes the staged path, which gives the same bytes.

#include "CaptureMac/CompositeShaders/ShaderSupport.h"

#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <cstdint>
#include <atomic>
#include <mutex>
#include <optional>
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
MIVODRELL_AVX2_INLINE __m256i load(const std::int16_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// convertRowPortable for 16 pixels.
MIVODRELL_AVX2_INLINE void convertPixelsAvx2(__m256i y, __m256i u, __m256i v, std::uint8_t* out) {
    const __m256i yy = _mm256_add_epi16(y, _mm256_set1_epi16(32));
    const __m256i r = _mm256_srai_epi16(_mm256_add_epi16(yy, _mm256_mulhrs_epi16(v, _mm256_set1_epi16(kCoefRCr))), 6);
    const __m256i g = _mm256_srai_epi16(_mm256_sub_epi16(_mm256_sub_epi16(yy, _mm256_mulhrs_epi16(u, _mm256_set1_epi16(kCoefGCb))),
                                                         _mm256_mulhrs_epi16(v, _mm256_set1_epi16(kCoefGCr))),
                                        6);
    const __m256i b = _mm256_srai_epi16(_mm256_add_epi16(yy, _mm256_mulhrs_epi16(u, _mm256_set1_epi16(kCoefBCb))), 6);
    // Within each 128-bit lane: b0..b7 g0..g7 -> b0 g0 b1 g1 ...; r0..r7 -> r0 0 r1 0 ...
    const __m256i interleave = _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15,  //
                                                0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
    const __m256i spread = _mm256_setr_epi8(0, -128, 1, -128, 2, -128, 3, -128, 4, -128, 5, -128, 6, -128, 7, -128, 0,
                                            -128, 1, -128, 2, -128, 3, -128, 4, -128, 5, -128, 6, -128, 7, -128);
    const __m256i alpha = _mm256_set1_epi16(static_cast<short>(0xFF00));
    const __m256i bg = _mm256_shuffle_epi8(_mm256_packus_epi16(b, g), interleave);
    const __m256i ra = _mm256_or_si256(_mm256_shuffle_epi8(_mm256_packus_epi16(r, r), spread), alpha);
    const __m256i lo = _mm256_unpacklo_epi16(bg, ra);  // pixels 0-3 | 8-11
    const __m256i hi = _mm256_unpackhi_epi16(bg, ra);  // pixels 4-7 | 12-15
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), _mm256_permute2x128_si256(lo, hi, 0x31));
}

__attribute__((target("avx2"))) void convertRowAvx2(const std::int16_t* y, const std::int16_t* cb,
                                                    const std::int16_t* cr, std::uint8_t* out, int count) {
    int i = 0;
    for (; i + 16 <= count; i += 16) convertPixelsAvx2(load(y + i), load(cb + i), load(cr + i), out + 4 * i);
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
MIVODRELL_AVX2_CLONES void widenLuma(const std::uint8_t* src, std::int16_t* out, int count) {
    for (int i = 0; i < count; ++i) out[i] = static_cast<std::int16_t>(src[i] << 6);
}

// Vertical blend of two interleaved Cb,Cr rows with a weight of q quarters on the second row,
// into separate centred rows in 1/32 steps.
MIVODRELL_AVX2_CLONES void blendChromaQuarters(const std::uint8_t* a, const std::uint8_t* b, int q, std::int16_t* cb,
                                               std::int16_t* cr, int count) {
    for (int i = 0; i < count; ++i) {
        cb[i] = static_cast<std::int16_t>(((4 - q) * a[2 * i] + q * b[2 * i]) * 8 - kChromaRowCentre);
        cr[i] = static_cast<std::int16_t>(((4 - q) * a[2 * i + 1] + q * b[2 * i + 1]) * 8 - kChromaRowCentre);
    }
}

// ---------------------------------------------------------------------------------------------
// The general path: each source row is filtered horizontally once, into one value per output
// column (luma in 1/64 steps, chroma in 1/32 steps, not centred):
//   luma:   64 p0 + 64 (p1 - p0) wx        chroma: 32 p0 + 32 (p1 - p0) wx
// and every output row blends the two filtered source rows around it and converts:
//   y = ya + (yb - ya) wy                  c = 4 ca + 4 (cb - ca) wy - 16320   (1/128, centred)
// all with the rounding Q15 multiply. For quarter weights every step is exact, so the 1:1 kernel
// above, which blends chroma rows first, gives the same bytes.
// ---------------------------------------------------------------------------------------------

constexpr int kChromaCentre = 16320;  // one half in 1/128 steps of an 8-bit level

void filterLumaPortable(const std::uint8_t* row, const ColumnTable& table, int from, int to, std::int16_t* out) {
    for (int i = from; i < to; ++i) {
        const SampleTap& t = table.taps[static_cast<std::size_t>(i)];
        const int p0 = row[t.index];
        const int p1 = t.weight != 0 ? row[t.index + 1] : p0;
        out[i] = static_cast<std::int16_t>((p0 << 6) + mulQ15((p1 - p0) << 6, table.weights[static_cast<std::size_t>(i)]));
    }
}

void filterChromaPortable(const std::uint8_t* row, const ColumnTable& table, int from, int to, std::int16_t* cb,
                          std::int16_t* cr) {
    for (int i = from; i < to; ++i) {
        const SampleTap& t = table.taps[static_cast<std::size_t>(i)];
        const int w = table.weights[static_cast<std::size_t>(i)];
        const std::uint8_t* p = row + 2 * t.index;
        const int step = t.weight != 0 ? 2 : 0;
        cb[i] = static_cast<std::int16_t>((p[0] << 5) + mulQ15((p[step] - p[0]) << 5, w));
        cr[i] = static_cast<std::int16_t>((p[1] << 5) + mulQ15((p[step + 1] - p[1]) << 5, w));
    }
}

void blendConvertPortable(const std::int16_t* ya, const std::int16_t* yb, int wy, const std::int16_t* ca,
                          const std::int16_t* cb, int count, int wc, std::uint8_t* out) {
    constexpr int kChunk = 64;
    std::int16_t y[kChunk], u[kChunk], v[kChunk];
    for (int from = 0; from < count; from += kChunk) {
        const int n = std::min(kChunk, count - from);
        for (int k = 0; k < n; ++k) {
            const int i = from + k;
            y[k] = static_cast<std::int16_t>(ya[i] + mulQ15(yb[i] - ya[i], wy));
            u[k] = static_cast<std::int16_t>((ca[i] << 2) + mulQ15((cb[i] - ca[i]) << 2, wc) - kChromaCentre);
            const int j = i + count;  // the Cr half
            v[k] = static_cast<std::int16_t>((ca[j] << 2) + mulQ15((cb[j] - ca[j]) << 2, wc) - kChromaCentre);
        }
        convertRowPortable(y, u, v, out + 4 * from, n);
    }
}

// Byte shuffles that pick both texels of each column of a group of 8 columns out of one 16-byte
// window of a source row, widened to 16 bits. Groups come in pairs (16 columns, one register):
// one pair per whole 16 columns and, when columns are left over, one more pair for the last 16
// (overlapping the one before). Built with the column table; they depend on it only.
struct ColumnShuffles {
    static constexpr int kGroup = 8;
    int pairs = 0;                                     // pairs of groups, the last pair included
    int lastPairColumn = 0;                            // first column of the last pair
    std::vector<std::int32_t> windowStart;             // per group: first byte of its window, -1: none fits
    std::vector<std::array<std::uint8_t, 16>> first;   // per group: the first texel of each column
    std::vector<std::array<std::uint8_t, 16>> second;  // per group: the second texel (the first at weight 0)

    int pairColumn(int pair) const { return pair + 1 == pairs ? lastPairColumn : 16 * pair; }

    // `texelBytes` 1 for luma, 2 for interleaved chroma (the shuffles then pick Cb; Cr is one byte on).
    ColumnShuffles(const std::vector<SampleTap>& taps, int texelBytes) {
        const int count = static_cast<int>(taps.size());
        pairs = count / 16 + (count % 16 != 0 && count > 16 ? 1 : 0);
        lastPairColumn = count - 16;
        windowStart.assign(static_cast<std::size_t>(2 * pairs), -1);
        first.resize(windowStart.size());
        second.resize(windowStart.size());
        for (int g = 0; g < 2 * pairs; ++g) {
            const auto at = [&](int k) { return taps[static_cast<std::size_t>(pairColumn(g / 2) + kGroup * (g % 2) + k)]; };
            int base = at(0).index;
            for (int k = 1; k < kGroup; ++k) base = std::min(base, at(k).index);
            bool fits = true;
            auto& one = first[static_cast<std::size_t>(g)];
            auto& two = second[static_cast<std::size_t>(g)];
            for (int k = 0; k < kGroup; ++k) {
                const SampleTap t = at(k);
                const int a = (t.index - base) * texelBytes;
                const int b = a + (t.weight != 0 ? texelBytes : 0);
                fits = fits && b + texelBytes - 1 <= 15;
                one[static_cast<std::size_t>(2 * k)] = static_cast<std::uint8_t>(a);
                two[static_cast<std::size_t>(2 * k)] = static_cast<std::uint8_t>(b);
                one[static_cast<std::size_t>(2 * k + 1)] = two[static_cast<std::size_t>(2 * k + 1)] = 0x80;  // zero high byte
            }
            if (fits) windowStart[static_cast<std::size_t>(g)] = base * texelBytes;
        }
    }
};

#ifdef MIVODRELL_COMPOSITE_X86
// The two 16-byte windows of groups g and g + 1 in one register, or false when either has none or
// would read past `readable` bytes of the row.
MIVODRELL_AVX2_INLINE bool loadWindowsAvx2(const std::uint8_t* row, int readable, const ColumnShuffles& s,
                                           std::size_t g, __m256i& windows) {
    const int a = s.windowStart[g];
    const int b = s.windowStart[g + 1];
    if (a < 0 || b < 0 || a + 16 > readable || b + 16 > readable) return false;
    windows = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + a))),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + b)), 1);
    return true;
}

// (p0 << shift) + mulQ15((p1 - p0) << shift, w) for 16 columns.
MIVODRELL_AVX2_INLINE __m256i lerpAvx2(__m256i p0, __m256i p1, __m256i w, int shift) {
    const __m128i amount = _mm_cvtsi32_si128(shift);
    return _mm256_add_epi16(_mm256_sll_epi16(p0, amount),
                            _mm256_mulhrs_epi16(_mm256_sll_epi16(_mm256_sub_epi16(p1, p0), amount), w));
}

// Every pair of groups whose windows fit; the rest portable. `readable`: bytes readable from `row`.
__attribute__((target("avx2"))) void filterLumaAvx2(const std::uint8_t* row, int readable, const ColumnTable& table,
                                                    const ColumnShuffles& s, int count, std::int16_t* out) {
    for (int pair = 0; pair < s.pairs; ++pair) {
        const auto g = static_cast<std::size_t>(2 * pair);
        const int i = s.pairColumn(pair);
        __m256i windows;
        if (!loadWindowsAvx2(row, readable, s, g, windows)) {
            filterLumaPortable(row, table, i, i + 16, out);
            continue;
        }
        const __m256i p0 = _mm256_shuffle_epi8(windows, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&s.first[g])));
        const __m256i p1 = _mm256_shuffle_epi8(windows, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&s.second[g])));
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table.weights.data() + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), lerpAvx2(p0, p1, w, 6));
    }
    if (s.pairs == 0) filterLumaPortable(row, table, 0, count, out);
}

__attribute__((target("avx2"))) void filterChromaAvx2(const std::uint8_t* row, int readable, const ColumnTable& table,
                                                      const ColumnShuffles& s, int count, std::int16_t* cb,
                                                      std::int16_t* cr) {
    const __m256i nextByte = _mm256_set1_epi16(1);  // Cr follows Cb; the 0x80 high bytes stay
    for (int pair = 0; pair < s.pairs; ++pair) {
        const auto g = static_cast<std::size_t>(2 * pair);
        const int i = s.pairColumn(pair);
        __m256i windows;
        if (!loadWindowsAvx2(row, readable, s, g, windows)) {
            filterChromaPortable(row, table, i, i + 16, cb, cr);
            continue;
        }
        const __m256i c0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&s.first[g]));
        const __m256i c1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&s.second[g]));
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table.weights.data() + i));
        const __m256i b0 = _mm256_shuffle_epi8(windows, c0);
        const __m256i b1 = _mm256_shuffle_epi8(windows, c1);
        const __m256i r0 = _mm256_shuffle_epi8(windows, _mm256_add_epi16(c0, nextByte));
        const __m256i r1 = _mm256_shuffle_epi8(windows, _mm256_add_epi16(c1, nextByte));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(cb + i), lerpAvx2(b0, b1, w, 5));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(cr + i), lerpAvx2(r0, r1, w, 5));
    }
    if (s.pairs == 0) filterChromaPortable(row, table, 0, count, cb, cr);
}

// The vertical blend of blendConvertPortable and the conversion, 16 pixels at a time.
__attribute__((target("avx2"))) int blendConvertAvx2(const std::int16_t* ya, const std::int16_t* yb, int wy,
                                                     const std::int16_t* ca, const std::int16_t* cb, int count,
                                                     int wc, std::uint8_t* out) {
    const __m256i wl = _mm256_set1_epi16(static_cast<short>(wy));
    const __m256i wch = _mm256_set1_epi16(static_cast<short>(wc));
    const __m256i centre = _mm256_set1_epi16(kChromaCentre);
    if (count < 16) return 0;
    // Whole blocks, the last one ending at `count` (overlapping the one before).
    for (int block = 0; block < count; block += 16) {
        const int i = std::min(block, count - 16);
        const __m256i y0 = load(ya + i);
        const __m256i y = _mm256_add_epi16(y0, _mm256_mulhrs_epi16(_mm256_sub_epi16(load(yb + i), y0), wl));
        const __m256i u = _mm256_sub_epi16(lerpAvx2(load(ca + i), load(cb + i), wch, 2), centre);
        const __m256i v = _mm256_sub_epi16(lerpAvx2(load(ca + count + i), load(cb + count + i), wch, 2), centre);
        convertPixelsAvx2(y, u, v, out + 4 * i);
    }
    return count;
}
#endif

void filterLuma(const Texture& texture, int row, const ColumnTable& table, const ColumnShuffles* s, int count,
                std::int16_t* out) {
    const std::uint8_t* p = texture.row(row);
#ifdef MIVODRELL_COMPOSITE_X86
    if (s && useAvx2()) return filterLumaAvx2(p, static_cast<int>(texture.bytesPerRow()), table, *s, count, out);
#endif
    filterLumaPortable(p, table, 0, count, out);
}

void filterChroma(const Texture& texture, int row, const ColumnTable& table, const ColumnShuffles* s, int count,
                  std::int16_t* cb, std::int16_t* cr) {
    const std::uint8_t* p = texture.row(row);
#ifdef MIVODRELL_COMPOSITE_X86
    if (s && useAvx2()) return filterChromaAvx2(p, static_cast<int>(texture.bytesPerRow()), table, *s, count, cb, cr);
#endif
    filterChromaPortable(p, table, 0, count, cb, cr);
}

// `ca`, `cb`: Cb of `count` columns followed by their Cr.
void blendConvert(const std::int16_t* ya, const std::int16_t* yb, int wy, const std::int16_t* ca,
                  const std::int16_t* cb, int count, int wc, std::uint8_t* out) {
#ifdef MIVODRELL_COMPOSITE_X86
    if (useAvx2() && blendConvertAvx2(ya, yb, wy, ca, cb, count, wc, out) == count) return;
#endif
    blendConvertPortable(ya, yb, wy, ca, cb, count, wc, out);
}

void ensureSize(std::vector<std::int16_t>& v, std::size_t n) {
    if (v.size() < n) v.resize(n);
}

// Filtered source rows of one draw, per worker: the two that the last output row used. Output
// rows go down a band in order and mostly read the rows the previous one read, so each source
// row is filtered about once per band (and once per worker's run of bands: a worker keeps
// consecutive bands of a pass).
struct FilteredRows {
    std::uint64_t draw = 0;
    int row[2] = {-1, -1};
    std::vector<std::int16_t> data[2];

    // The filtered source row `r`, made by filter(r, destination) into the slot that does not hold
    // `keep` when it is missing.
    template <class Filter>
    const std::int16_t* get(int r, int keep, std::size_t size, const Filter& filter) {
        for (int s = 0; s < 2; ++s) {
            if (row[s] == r) return data[s].data();
        }
        const int s = row[0] == keep ? 1 : 0;
        ensureSize(data[s], size);
        filter(r, data[s].data());
        row[s] = r;
        return data[s].data();
    }
    void useFor(std::uint64_t serial) {
        if (draw == serial) return;
        draw = serial;
        row[0] = row[1] = -1;
    }
};

// Per-worker scratch rows, reused from draw to draw.
struct Scratch {
    std::vector<std::int16_t> y, cb, cr, cbBlend, crBlend;
    FilteredRows luma, chroma;
};
Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// The column tables of one composite draw and the fast paths they allow. They depend only on
// the quad's columns, the texture widths and the sampler, which rarely change from frame to frame.
struct CompositeColumns {
    ColumnTable luma;
    ColumnTable chroma;
    std::optional<ColumnShuffles> lumaShuffles;
    std::optional<ColumnShuffles> chromaShuffles;
    int lumaStart = 0;
    bool chromaHalf = false;  // 1:1 luma, half-resolution chroma at the luma texel centres: 1:3 / 3:1 blends
    bool straight = false;    // 1:1 on both axes: no tables, every row takes the straight path

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

    CompositeColumns() = default;
    CompositeColumns(const SamplerState& sampler, const QuadCoverage& coverage, int lumaWidth, int chromaWidth,
                     bool fastPaths) {
        luma = columnTable(sampler, coverage, lumaWidth);
        chroma = columnTable(sampler, coverage, chromaWidth);
        if (!fastPaths) return;
        lumaShuffles.emplace(luma.taps, 1);
        chromaShuffles.emplace(chroma.taps, 2);
        const auto& lt = luma.taps;
        lumaStart = lt.front().index;
        chromaHalf = chromaWidth * 2 >= lumaWidth && chromaWidth * 2 <= lumaWidth + 1;
        for (std::size_t i = 0; i < lt.size() && chromaHalf; ++i) {
            const int x = lumaStart + static_cast<int>(i);
            chromaHalf = lt[i].weight == 0 && lt[i].index == x && chroma.taps[i] == halfTap(x, chromaWidth);
        }
    }

    // The draw of `count` columns from luma texel `start` on whose rows line up with texel rows too.
    static std::shared_ptr<const CompositeColumns> straightDraw(int start, int count, int chromaWidth) {
        auto columns = std::make_shared<CompositeColumns>();
        columns->straight = columns->chromaHalf = true;
        columns->lumaStart = start;
        columns->chroma.low = halfTap(start, chromaWidth).index;
        const SampleTap last = halfTap(start + count - 1, chromaWidth);
        columns->chroma.high = last.index + (last.weight != 0 ? 1 : 0);
        return columns;
    }
};

// The first texel when the texture coordinates of pixels [begin, end) (origin + step * pixel) fall
// within 1/1024 texel of the centres of consecutive texels of a `size`-texel axis; nothing
// otherwise. The coordinates are linear in the pixel, so every pixel between the two ends is that
// close too, and its linear tap is the texel itself (and a quarter position at half resolution).
std::optional<int> lineUpStart(double origin, double step, int begin, int end, int size) {
    const auto position = [&](int pixel) { return (origin + step * static_cast<double>(pixel)) * size - 0.5; };
    const double first = std::round(position(begin));
    const double last = first + static_cast<double>(end - 1 - begin);
    constexpr double slack = 1.0 / 1024;
    if (!(std::fabs(position(begin) - first) <= slack && std::fabs(position(end - 1) - last) <= slack && first >= 0 &&
          last <= size - 1)) {
        return std::nullopt;
    }
    return truncateClamped<int>(first, 0);
}

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

std::atomic<std::uint64_t> drawSerials{0};

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
          serial_(drawSerials.fetch_add(1, std::memory_order_relaxed) + 1) {}

    void shadeRows(int rowBegin, int rowEnd) const override {
        Scratch& s = scratch();
        s.luma.useFor(serial_);
        s.chroma.useFor(serial_);
        for (int row = rowBegin; row < rowEnd; ++row) {
            const double v = coverage_.v(row);
            const SampleTap lumaRow = sampler_.tap(v, luma_.height());
            const SampleTap chromaRow = sampler_.tap(v, chroma_.height());
            std::uint8_t* out = target_.row(row) + 4 * coverage_.columnBegin;
            if (!straightRow(s, lumaRow, chromaRow, out)) filteredRow(s, lumaRow, chromaRow, out);
        }
    }

private:
    // The general path: blend the two filtered source rows around the output row, and convert.
    void filteredRow(Scratch& s, SampleTap lumaRow, SampleTap chromaRow, std::uint8_t* out) const {
        const int count = coverage_.columnEnd - coverage_.columnBegin;
        const auto n = static_cast<std::size_t>(count);
        const auto lumaFilter = [&](int r, std::int16_t* to) {
            filterLuma(luma_, r, columns_->luma, columns_->lumaShuffles ? &*columns_->lumaShuffles : nullptr, count, to);
        };
        const auto chromaFilter = [&](int r, std::int16_t* to) {
            filterChroma(chroma_, r, columns_->chroma, columns_->chromaShuffles ? &*columns_->chromaShuffles : nullptr,
                         count, to, to + count);
        };
        const int y0 = lumaRow.index;
        const int c0 = chromaRow.index;
        const std::int16_t* ya = s.luma.get(y0, lumaRow.weight != 0 ? y0 + 1 : -1, n, lumaFilter);
        const std::int16_t* yb = lumaRow.weight != 0 ? s.luma.get(y0 + 1, y0, n, lumaFilter) : ya;
        const std::int16_t* ca = s.chroma.get(c0, chromaRow.weight != 0 ? c0 + 1 : -1, 2 * n, chromaFilter);
        const std::int16_t* cb = chromaRow.weight != 0 ? s.chroma.get(c0 + 1, c0, 2 * n, chromaFilter) : ca;
        blendConvert(ya, yb, q15Weight(lumaRow.weight), ca, cb, count, q15Weight(chromaRow.weight), out);
    }

    // A row where luma texels and output pixels line up and chroma rows blend in quarters: chroma
    // rows are blended first and the fused kernel does the rest, without column tables. False when
    // the row is not such a row (or the kernel is not available).
    bool straightRow(Scratch& s, SampleTap lumaRow, SampleTap chromaRow, std::uint8_t* out) const {
#ifdef MIVODRELL_COMPOSITE_X86
        constexpr std::uint32_t quarter = kSampleWeightOne / 4;
        const bool lineUp = columns_->chromaHalf && lumaRow.weight == 0 && chromaRow.weight % quarter == 0 && useAvx2();
        if (!lineUp && !columns_->straight) return false;
        const ColumnTable& chromaColumns = columns_->chroma;
        const int count = coverage_.columnEnd - coverage_.columnBegin;
        const int chromaSpan = chromaColumns.high - chromaColumns.low + 1;
        ensureSize(s.y, static_cast<std::size_t>(count));
        ensureSize(s.cb, static_cast<std::size_t>(count));
        ensureSize(s.cr, static_cast<std::size_t>(count));
        ensureSize(s.cbBlend, static_cast<std::size_t>(chromaSpan) + 2);
        ensureSize(s.crBlend, static_cast<std::size_t>(chromaSpan) + 2);

        // Chroma: blend two rows, pad one texel on each side.
        const int q = static_cast<int>(chromaRow.weight / quarter);
        const std::uint8_t* c0 = chroma_.row(chromaRow.index) + 2 * chromaColumns.low;
        const std::uint8_t* c1 = q != 0 ? chroma_.row(chromaRow.index + 1) + 2 * chromaColumns.low : c0;
        std::int16_t* cbv = s.cbBlend.data() + 1;
        std::int16_t* crv = s.crBlend.data() + 1;
        const int blended = blendChromaQuartersAvx2(c0, c1, q, cbv, crv, chromaSpan);
        blendChromaQuarters(c0 + 2 * blended, c1 + 2 * blended, q, cbv + blended, crv + blended, chromaSpan - blended);
        cbv[-1] = cbv[0];
        crv[-1] = crv[0];
        cbv[chromaSpan] = cbv[chromaSpan - 1];
        crv[chromaSpan] = crv[chromaSpan - 1];

        // Whole blocks in the fused kernel, the ends in stages.
        const int lumaStart = columns_->lumaStart;
        const std::uint8_t* y0 = luma_.row(lumaRow.index) + lumaStart;
        const int fusedBegin = lumaStart & 1;
        const int offset = ((lumaStart + fusedBegin) >> 1) - chromaColumns.low;
        int fusedEnd = fusedBegin + convertHalfChromaRowAvx2(y0 + fusedBegin, cbv + offset, crv + offset,
                                                             out + 4 * fusedBegin, count - fusedBegin);
        // One more block ending at (or one before) the last pixel, overlapping the one before.
        if (const int last = count - 32 - ((count - fusedBegin) & 1); fusedEnd < count && last >= fusedBegin) {
            const int at = offset + (last - fusedBegin) / 2;
            fusedEnd = last + convertHalfChromaRowAvx2(y0 + last, cbv + at, crv + at, out + 4 * last, 32);
        }
        const auto staged = [&](int from, int to) {
            const int n = to - from;
            if (n <= 0) return;
            widenLuma(y0 + from, s.y.data() + from, n);
            const int x = lumaStart + from;
            const int at = (x >> 1) - chromaColumns.low;
            chromaHalfRow(cbv + at, (x & 1) != 0, s.cb.data() + from, n);
            chromaHalfRow(crv + at, (x & 1) != 0, s.cr.data() + from, n);
            convertRow(s.y.data() + from, s.cb.data() + from, s.cr.data() + from, out + 4 * from, n);
        };
        staged(0, fusedBegin);
        staged(fusedEnd, count);
        return true;
#else
        (void)s, (void)lumaRow, (void)chromaRow, (void)out;
        return false;
#endif
    }

    Texture& target_;
    const Texture& luma_;
    const Texture& chroma_;
    const SamplerState& sampler_;
    QuadCoverage coverage_;
    std::shared_ptr<const CompositeColumns> columns_;
    std::uint64_t serial_;  // tells this draw's filtered rows from an earlier draw's
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
        const QuadCoverage& c = context.coverage;
        std::shared_ptr<const CompositeColumns> columns;
#ifdef MIVODRELL_COMPOSITE_X86
        // Pixels that line up with luma texels on both axes, and chroma of half the size: the
        // straight path does every row, and no column tables are needed.
        const auto& sampling = context.sampler->descriptor();
        if (useAvx2() && luma->width() == 2 * chroma->width() && luma->height() == 2 * chroma->height() &&
            (sampling.minFilter == SamplerMinMagFilter::linear || sampling.magFilter == SamplerMinMagFilter::linear)) {
            const auto x = lineUpStart(c.uOrigin, c.uPerColumn, c.columnBegin, c.columnEnd, luma->width());
            const auto y = lineUpStart(c.vOrigin, c.vPerRow, c.rowBegin, c.rowEnd, luma->height());
            if (x && y) columns = CompositeColumns::straightDraw(*x, c.columnEnd - c.columnBegin, chroma->width());
        }
#endif
        if (!columns) columns = cache_.get(*context.sampler, c, luma->width(), chroma->width());
        return std::make_unique<CompositeDraw>(context, *luma, *chroma, std::move(columns));
    }

private:
    mutable CompositeColumnCache cache_;
};

}  // namespace

std::shared_ptr<const ShaderFunction> makeCompositeFragmentMain() { return std::make_shared<CompositeFragmentMain>(); }

}  // namespace mivodrell::composite_detail
