// "Mivodrell_compositeLumaFragment": the luma plane of a planar video-range composite. Luma (R8)
// at texture 0 is sampled like "Mivodrell_compositeFragmentMain" samples it and written to an R8
// target as Y = 16 + 219/255 y; the encoder takes the planes without converting. Chroma at
// texture 1 is not read (the chroma planes have their own pass).

#include "CaptureMac/CompositeShaders/CompositeSampling.h"

#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace mivodrell::composite_detail {

namespace {

// 219/255 in Q15.
const std::int16_t kLumaGain = roundClamped<std::int16_t>(219.0 / 255.0 * 32768.0, 0);
constexpr int kLumaOffset = 16 * 64 + 32;  // 16 in 1/64 steps, plus a half for the rounding shift

// Y of luma rows a and b blended by the Q15 weight w (1/64 steps in): (a + (b - a) w) * 219/255 + 16.
void videoLumaPortable(const std::int16_t* a, const std::int16_t* b, int w, std::uint8_t* out, int from, int to) {
    for (int i = from; i < to; ++i) {
        const int y = a[i] + mulQ15(b[i] - a[i], w);
        out[i] = static_cast<std::uint8_t>((mulQ15(y, kLumaGain) + kLumaOffset) >> 6);
    }
}

#ifdef MIVODRELL_COMPOSITE_X86
MIVODRELL_AVX2_INLINE __m256i videoLuma16Avx2(const std::int16_t* a, const std::int16_t* b, __m256i w) {
    const __m256i y0 = load256(a);
    const __m256i y = _mm256_add_epi16(y0, _mm256_mulhrs_epi16(_mm256_sub_epi16(load256(b), y0), w));
    return _mm256_srai_epi16(
        _mm256_add_epi16(_mm256_mulhrs_epi16(y, _mm256_set1_epi16(kLumaGain)), _mm256_set1_epi16(kLumaOffset)), 6);
}

// 32 pixels at a time, the last block ending at `count`; false when the row is too short.
__attribute__((target("avx2"))) bool videoLumaAvx2(const std::int16_t* a, const std::int16_t* b, int w,
                                                   std::uint8_t* out, int count) {
    if (count < 32) return false;
    const __m256i weight = _mm256_set1_epi16(static_cast<short>(w));
    for (int block = 0; block < count; block += 32) {
        const int i = std::min(block, count - 32);
        const __m256i packed = _mm256_packus_epi16(videoLuma16Avx2(a + i, b + i, weight),
                                                   videoLuma16Avx2(a + i + 16, b + i + 16, weight));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_permute4x64_epi64(packed, 0xD8));
    }
    return true;
}
#endif

#ifdef MIVODRELL_COMPOSITE_X86
// Y of 16 luma texels widened to 16 bits.
MIVODRELL_AVX2_INLINE __m256i videoLumaTexels16Avx2(__m256i texels) {
    return _mm256_srai_epi16(_mm256_add_epi16(_mm256_mulhrs_epi16(_mm256_slli_epi16(texels, 6), _mm256_set1_epi16(kLumaGain)),
                                              _mm256_set1_epi16(kLumaOffset)),
                             6);
}

// Y of luma texels taken as they are, 32 at a time, the last block ending at `count`.
__attribute__((target("avx2"))) bool videoLumaTexelsAvx2(const std::uint8_t* texels, std::uint8_t* out, int count) {
    if (count < 32) return false;
    const __m256i zero = _mm256_setzero_si256();
    for (int block = 0; block < count; block += 32) {
        const int i = std::min(block, count - 32);
        const __m256i bytes = load256(texels + i);  // unpacked by lane halves and packed back: in order
        const __m256i packed = _mm256_packus_epi16(videoLumaTexels16Avx2(_mm256_unpacklo_epi8(bytes, zero)),
                                                   videoLumaTexels16Avx2(_mm256_unpackhi_epi8(bytes, zero)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), packed);
    }
    return true;
}
#endif

// Y of luma texels taken as they are (a 1:1 row).
void videoLumaTexels(const std::uint8_t* texels, std::uint8_t* out, int count) {
#ifdef MIVODRELL_COMPOSITE_X86
    if (useAvx2() && videoLumaTexelsAvx2(texels, out, count)) return;
#endif
    for (int i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>((mulQ15(texels[i] << 6, kLumaGain) + kLumaOffset) >> 6);
}

void videoLuma(const std::int16_t* a, const std::int16_t* b, int w, std::uint8_t* out, int count) {
#ifdef MIVODRELL_COMPOSITE_X86
    if (useAvx2() && videoLumaAvx2(a, b, w, out, count)) return;
#endif
    videoLumaPortable(a, b, w, out, 0, count);
}

FilteredRows& filteredRows() {
    thread_local FilteredRows rows;
    return rows;
}

class CompositeLumaDraw final : public FragmentDraw {
public:
    // `columns` absent: pixels line up with luma texels from `start` on, on both axes.
    CompositeLumaDraw(const FragmentDrawContext& context, const Texture& luma,
                      std::shared_ptr<const SamplingColumns> columns, int start)
        : target_(*context.target),
          luma_(luma),
          sampler_(*context.sampler),
          coverage_(context.coverage),
          columns_(std::move(columns)),
          start_(start),
          serial_(nextDrawSerial()) {}

    void shadeRows(int rowBegin, int rowEnd) const override {
        FilteredRows& rows = filteredRows();
        rows.useFor(serial_);
        const int count = coverage_.columnEnd - coverage_.columnBegin;
        const auto n = static_cast<std::size_t>(count);
        for (int row = rowBegin; row < rowEnd; ++row) {
            const SampleTap tap = sampler_.tap(coverage_.v(row), luma_.height());
            std::uint8_t* out = target_.row(row) + coverage_.columnBegin;
            if (!columns_) {
                videoLumaTexels(luma_.row(tap.index) + start_, out, count);
                continue;
            }
            const auto [a, b] = rows.pair(tap, n, [&](int r, std::int16_t* to) { filterLuma(luma_, r, *columns_, to); });
            videoLuma(a, b, q15Weight(tap.weight), out, count);
        }
    }

private:
    Texture& target_;
    const Texture& luma_;
    const SamplerState& sampler_;
    QuadCoverage coverage_;
    std::shared_ptr<const SamplingColumns> columns_;
    int start_ = 0;
    std::uint64_t serial_;
};

class CompositeLumaFragment final : public FragmentFunction {
public:
    CompositeLumaFragment() : FragmentFunction(CompositeShaders::compositeLumaFragment) {}
    std::unique_ptr<FragmentDraw> prepareDraw(const FragmentDrawContext& context) const override {
        const Texture* luma = context.textures[0];
        if (!luma || !context.sampler || luma->pixelFormat() != TexturePixelFormat::r8Unorm ||
            context.target->pixelFormat() != TexturePixelFormat::r8Unorm) {
            return nullptr;
        }
        const QuadCoverage& c = context.coverage;
        const auto& sampling = context.sampler->descriptor();
        if (fastPathsEnabled.load(std::memory_order_relaxed) &&
            (sampling.minFilter == SamplerMinMagFilter::linear || sampling.magFilter == SamplerMinMagFilter::linear)) {
            const auto x = lineUpStart(c.uOrigin, c.uPerColumn, c.columnBegin, c.columnEnd, luma->width());
            if (x && lineUpStart(c.vOrigin, c.vPerRow, c.rowBegin, c.rowEnd, luma->height())) {
                return std::make_unique<CompositeLumaDraw>(context, *luma, nullptr, *x);
            }
        }
        return std::make_unique<CompositeLumaDraw>(context, *luma, cache_.get(*context.sampler, c, luma->width(), 1), 0);
    }

private:
    mutable SamplingColumnCache cache_;
};

}  // namespace

std::shared_ptr<const ShaderFunction> makeCompositeLumaFragment() { return std::make_shared<CompositeLumaFragment>(); }

}  // namespace mivodrell::composite_detail
