// "Mivodrell_copyFragment": texture 0 sampled into the target unchanged (BGRA in, BGRA out);
// the motion blur uses it to downsample the sharp picture into its small frame.

#include "CaptureMac/CompositeShaders/ShaderSupport.h"

#include <cstdint>
#include <cstring>

namespace mivodrell::composite_detail {

namespace {

inline std::uint32_t loadUnaligned32(const std::uint8_t* p) {
    std::uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
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

}  // namespace

std::shared_ptr<const ShaderFunction> makeCopyFragment() { return std::make_shared<CopyFragment>(); }

}  // namespace mivodrell::composite_detail
