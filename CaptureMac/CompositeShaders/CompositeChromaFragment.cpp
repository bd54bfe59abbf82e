// "Mivodrell_compositeChromaFragment": the chroma planes of a planar video-range composite. The
// interleaved chroma (RG8) at texture 1 is sampled like "Mivodrell_compositeFragmentMain" samples
// it, at the pixel centres of the half-size chroma targets (the centres of 2 x 2 output blocks),
// and written as C = 128 + 224/255 (c - 128): Cb to colour attachment 0, Cr to attachment 1, both
// R8. Luma at texture 0 is not read.

#include "CaptureMac/CompositeShaders/CompositeSampling.h"

#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <cstdint>

namespace mivodrell::composite_detail {

namespace {

// 224/255 in Q15.
const std::int16_t kChromaGain = roundClamped<std::int16_t>(224.0 / 255.0 * 32768.0, 0);
constexpr int kCentre = 16320;                   // one half in 1/128 steps
constexpr int kChromaOffset = 128 * 128 + 64;  // 128 in 1/128 steps, plus a half for the rounding shift

// C of chroma rows a and b (1/32 steps, not centred) blended by the Q15 weight w.
void videoChromaPortable(const std::int16_t* a, const std::int16_t* b, int w, std::uint8_t* out, int from, int to) {
    for (int i = from; i < to; ++i) {
        const int c = (a[i] << 2) + mulQ15((b[i] - a[i]) << 2, w) - kCentre;
        out[i] = static_cast<std::uint8_t>((mulQ15(c, kChromaGain) + kChromaOffset) >> 7);
    }
}

#ifdef MIVODRELL_COMPOSITE_X86
MIVODRELL_AVX2_INLINE __m256i videoChroma16Avx2(const std::int16_t* a, const std::int16_t* b, __m256i w) {
    const __m256i c = _mm256_sub_epi16(lerpAvx2(load256(a), load256(b), w, 2), _mm256_set1_epi16(kCentre));
    return _mm256_srai_epi16(
        _mm256_add_epi16(_mm256_mulhrs_epi16(c, _mm256_set1_epi16(kChromaGain)), _mm256_set1_epi16(kChromaOffset)),
        7);
}

// 32 pixels at a time, the last block ending at `count`; false when the row is too short.
__attribute__((target("avx2"))) bool videoChromaAvx2(const std::int16_t* a, const std::int16_t* b, int w,
                                                     std::uint8_t* out, int count) {
    if (count < 32) return false;
    const __m256i weight = _mm256_set1_epi16(static_cast<short>(w));
    for (int block = 0; block < count; block += 32) {
        const int i = std::min(block, count - 32);
        const __m256i packed = _mm256_packus_epi16(videoChroma16Avx2(a + i, b + i, weight),
                                                   videoChroma16Avx2(a + i + 16, b + i + 16, weight));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_permute4x64_epi64(packed, 0xD8));
    }
    return true;
}
#endif

void videoChroma(const std::int16_t* a, const std::int16_t* b, int w, std::uint8_t* out, int count) {
#ifdef MIVODRELL_COMPOSITE_X86
    if (useAvx2() && videoChromaAvx2(a, b, w, out, count)) return;
#endif
    videoChromaPortable(a, b, w, out, 0, count);
}

FilteredRows& filteredRows() {
    thread_local FilteredRows rows;
    return rows;
}

class CompositeChromaDraw final : public FragmentDraw {
public:
    CompositeChromaDraw(const FragmentDrawContext& context, const Texture& chroma,
                        std::shared_ptr<const SamplingColumns> columns)
        : cb_(*context.target),
          cr_(*context.secondTarget),
          chroma_(chroma),
          sampler_(*context.sampler),
          coverage_(context.coverage),
          columns_(std::move(columns)),
          serial_(nextDrawSerial()) {}

    void shadeRows(int rowBegin, int rowEnd) const override {
        FilteredRows& rows = filteredRows();
        rows.useFor(serial_);
        const int count = columns_->count();
        for (int row = rowBegin; row < rowEnd; ++row) {
            const SampleTap tap = sampler_.tap(coverage_.v(row), chroma_.height());
            const auto [a, b] = rows.pair(tap, 2 * static_cast<std::size_t>(count),
                                          [&](int r, std::int16_t* to) { filterChroma(chroma_, r, *columns_, to); });
            const int w = q15Weight(tap.weight);
            videoChroma(a, b, w, cb_.row(row) + coverage_.columnBegin, count);
            videoChroma(a + count, b + count, w, cr_.row(row) + coverage_.columnBegin, count);
        }
    }

private:
    Texture& cb_;
    Texture& cr_;
    const Texture& chroma_;
    const SamplerState& sampler_;
    QuadCoverage coverage_;
    std::shared_ptr<const SamplingColumns> columns_;
    std::uint64_t serial_;
};

class CompositeChromaFragment final : public FragmentFunction {
public:
    CompositeChromaFragment() : FragmentFunction(CompositeShaders::compositeChromaFragment) {}
    std::unique_ptr<FragmentDraw> prepareDraw(const FragmentDrawContext& context) const override {
        const Texture* chroma = context.textures[1];
        if (!chroma || !context.sampler || !context.secondTarget || chroma->pixelFormat() != TexturePixelFormat::rg8Unorm ||
            context.target->pixelFormat() != TexturePixelFormat::r8Unorm) {
            return nullptr;
        }
        return std::make_unique<CompositeChromaDraw>(context, *chroma,
                                                     cache_.get(*context.sampler, context.coverage, chroma->width(), 2));
    }

private:
    mutable SamplingColumnCache cache_;
};

}  // namespace

std::shared_ptr<const ShaderFunction> makeCompositeChromaFragment() {
    return std::make_shared<CompositeChromaFragment>();
}

}  // namespace mivodrell::composite_detail
