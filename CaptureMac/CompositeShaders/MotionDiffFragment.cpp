// "Mivodrell_motionDiffFragment": the motion mask of the small frame. A pixel whose luminance
// changed by at least CompositeShaders::motionThreshold since the previous small frame is
// white; any other takes the previous mask times CompositeShaders::motionHoldFactor, so motion
// fades out over a few frames. Current frame at texture 0, previous at 1, previous mask at 2.

#include "CaptureMac/CompositeShaders/ShaderSupport.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace mivodrell::composite_detail {

namespace {

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

}  // namespace

std::shared_ptr<const ShaderFunction> makeMotionDiffFragment() { return std::make_shared<MotionDiffFragment>(); }

}  // namespace mivodrell::composite_detail
