// "Mivodrell_compositeFragmentMain": one display frame, full-range BT.709 4:2:0 (luma R8 at
// texture 0, interleaved chroma RG8 at 1), sampled into BGRA. Each row is built in stages: a
// vertical blend of two source rows, a horizontal filter through the column tables, then the
// conversion to BGRA. A 1:1 draw with half-resolution chroma (the usual case) takes a fused AVX2
// kernel for whole blocks; everything else takes the staged path, which gives the same bytes.

#include "CaptureMac/CompositeShaders/CompositeSampling.h"

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
    for (; i + 16 <= count; i += 16) convertPixelsAvx2(load256(y + i), load256(cb + i), load256(cr + i), out + 4 * i);
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

// The general path blends the two filtered source rows around each output row (see
// CompositeSampling.h) and converts:
//   y = ya + (yb - ya) wy       c = 4 ca + 4 (cb - ca) wy - 16320   (1/128 steps, centred)
// For quarter weights every step is exact, so the 1:1 kernel above, which blends chroma rows
// first, gives the same bytes.
constexpr int kChromaCentre = 16320;  // one half in 1/128 steps of an 8-bit level

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

#ifdef MIVODRELL_COMPOSITE_X86
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
        const __m256i y0 = load256(ya + i);
        const __m256i y = _mm256_add_epi16(y0, _mm256_mulhrs_epi16(_mm256_sub_epi16(load256(yb + i), y0), wl));
        const __m256i u = _mm256_sub_epi16(lerpAvx2(load256(ca + i), load256(cb + i), wch, 2), centre);
        const __m256i v = _mm256_sub_epi16(lerpAvx2(load256(ca + count + i), load256(cb + count + i), wch, 2), centre);
        convertPixelsAvx2(y, u, v, out + 4 * i);
    }
    return count;
}
#endif

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


// Per-worker scratch rows, reused from draw to draw.
struct Scratch {
    std::vector<std::int16_t> y, cb, cr, cbBlend, crBlend;
    FilteredRows luma, chroma;
};
Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// The chroma tap of luma texel x when chroma has half the luma resolution: s = x / 2 - 1/4.
SampleTap halfTap(int x, int chromaWidth) {
    const int m = x >> 1;
    if ((x & 1) == 0) {
        if (m == 0) return {0, 0};
        return {m - 1, 3 * kSampleWeightOne / 4};
    }
    if (m >= chromaWidth - 1) return {chromaWidth - 1, 0};
    return {m, kSampleWeightOne / 4};
}

// How a draw's columns map onto the textures. With column tables, the 1:1 path is taken for the
// rows that line up; a straight draw (1:1 on both axes) has no tables and takes it for every row.
struct DrawColumns {
    std::shared_ptr<const SamplingColumns> luma, chroma;  // absent for a straight draw
    bool straight = false;
    bool chromaHalf = false;  // 1:1 luma, chroma at half resolution: 1:3 / 3:1 blends
    int lumaStart = 0;        // first luma texel (with chromaHalf)
    int chromaLow = 0;        // chroma texels read (with chromaHalf)
    int chromaHigh = 0;

    void setHalf(int start, int count, int chromaWidth) {
        chromaHalf = true;
        lumaStart = start;
        chromaLow = halfTap(start, chromaWidth).index;
        const SampleTap last = halfTap(start + count - 1, chromaWidth);
        chromaHigh = last.index + (last.weight != 0 ? 1 : 0);
    }
};

class CompositeDraw final : public FragmentDraw {
public:
    CompositeDraw(const FragmentDrawContext& context, const Texture& luma, const Texture& chroma, DrawColumns columns)
        : target_(*context.target),
          luma_(luma),
          chroma_(chroma),
          sampler_(*context.sampler),
          coverage_(context.coverage),
          columns_(std::move(columns)),
          serial_(nextDrawSerial()) {}

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
        const SamplingColumns& luma = *columns_.luma;
        const SamplingColumns& chroma = *columns_.chroma;
        const int count = luma.count();
        const auto n = static_cast<std::size_t>(count);
        const auto [ya, yb] = s.luma.pair(lumaRow, n, [&](int r, std::int16_t* to) { filterLuma(luma_, r, luma, to); });
        const auto [ca, cb] =
            s.chroma.pair(chromaRow, 2 * n, [&](int r, std::int16_t* to) { filterChroma(chroma_, r, chroma, to); });
        blendConvert(ya, yb, q15Weight(lumaRow.weight), ca, cb, count, q15Weight(chromaRow.weight), out);
    }

    // A row where luma texels and output pixels line up and chroma rows blend in quarters: chroma
    // rows are blended first and the fused kernel does the rest, without column tables. False when
    // the row is not such a row (or the kernel is not available).
    bool straightRow(Scratch& s, SampleTap lumaRow, SampleTap chromaRow, std::uint8_t* out) const {
#ifdef MIVODRELL_COMPOSITE_X86
        constexpr std::uint32_t quarter = kSampleWeightOne / 4;
        const bool lineUp = columns_.chromaHalf && lumaRow.weight == 0 && chromaRow.weight % quarter == 0 && useAvx2();
        if (!lineUp && !columns_.straight) return false;
        const int count = coverage_.columnEnd - coverage_.columnBegin;
        const int chromaSpan = columns_.chromaHigh - columns_.chromaLow + 1;
        ensureSize(s.y, static_cast<std::size_t>(count));
        ensureSize(s.cb, static_cast<std::size_t>(count));
        ensureSize(s.cr, static_cast<std::size_t>(count));
        ensureSize(s.cbBlend, static_cast<std::size_t>(chromaSpan) + 2);
        ensureSize(s.crBlend, static_cast<std::size_t>(chromaSpan) + 2);

        // Chroma: blend two rows, pad one texel on each side.
        const int q = static_cast<int>(chromaRow.weight / quarter);
        const std::uint8_t* c0 = chroma_.row(chromaRow.index) + 2 * columns_.chromaLow;
        const std::uint8_t* c1 = q != 0 ? chroma_.row(chromaRow.index + 1) + 2 * columns_.chromaLow : c0;
        std::int16_t* cbv = s.cbBlend.data() + 1;
        std::int16_t* crv = s.crBlend.data() + 1;
        const int blended = blendChromaQuartersAvx2(c0, c1, q, cbv, crv, chromaSpan);
        blendChromaQuarters(c0 + 2 * blended, c1 + 2 * blended, q, cbv + blended, crv + blended, chromaSpan - blended);
        cbv[-1] = cbv[0];
        crv[-1] = crv[0];
        cbv[chromaSpan] = cbv[chromaSpan - 1];
        crv[chromaSpan] = crv[chromaSpan - 1];

        // Whole blocks in the fused kernel, the ends in stages.
        const int lumaStart = columns_.lumaStart;
        const std::uint8_t* y0 = luma_.row(lumaRow.index) + lumaStart;
        const int fusedBegin = lumaStart & 1;
        const int offset = ((lumaStart + fusedBegin) >> 1) - columns_.chromaLow;
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
            const int at = (x >> 1) - columns_.chromaLow;
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
    DrawColumns columns_;
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
        const int count = c.columnEnd - c.columnBegin;
        DrawColumns columns;
#ifdef MIVODRELL_COMPOSITE_X86
        // Pixels that line up with luma texels on both axes, and chroma of half the size: the
        // straight path does every row, and no column tables are needed.
        const auto& sampling = context.sampler->descriptor();
        if (useAvx2() && luma->width() == 2 * chroma->width() && luma->height() == 2 * chroma->height() &&
            (sampling.minFilter == SamplerMinMagFilter::linear || sampling.magFilter == SamplerMinMagFilter::linear)) {
            const auto x = lineUpStart(c.uOrigin, c.uPerColumn, c.columnBegin, c.columnEnd, luma->width());
            const auto y = lineUpStart(c.vOrigin, c.vPerRow, c.rowBegin, c.rowEnd, luma->height());
            if (x && y) {
                columns.straight = true;
                columns.setHalf(*x, count, chroma->width());
                return std::make_unique<CompositeDraw>(context, *luma, *chroma, std::move(columns));
            }
        }
#endif
        columns.luma = cache_.get(*context.sampler, c, luma->width(), 1);
        columns.chroma = cache_.get(*context.sampler, c, chroma->width(), 2);
        // Rows that line up take the 1:1 path when every column does too.
        const auto& lt = columns.luma->table.taps;
        const auto& ct = columns.chroma->table.taps;
        bool half = columns.luma->shuffles && chroma->width() * 2 >= luma->width() &&
                    chroma->width() * 2 <= luma->width() + 1;
        for (std::size_t i = 0; i < lt.size() && half; ++i) {
            const int x = lt.front().index + static_cast<int>(i);
            half = lt[i].weight == 0 && lt[i].index == x && ct[i] == halfTap(x, chroma->width());
        }
        if (half) columns.setHalf(lt.front().index, count, chroma->width());
        return std::make_unique<CompositeDraw>(context, *luma, *chroma, std::move(columns));
    }

private:
    mutable SamplingColumnCache cache_;
};

}  // namespace

std::shared_ptr<const ShaderFunction> makeCompositeFragmentMain() { return std::make_shared<CompositeFragmentMain>(); }

}  // namespace mivodrell::composite_detail
