// "Mivodrell_motionMixFragment": the sharp frame (texture 0) mixed with the magnified small
// frame (1) where the magnified mask (2, times CompositeShaders::motionMaskGain) says it moves.
// Usually the sharp frame is the target itself: rows whose mask is zero are then not touched.

#include "CaptureMac/CompositeShaders/ShaderSupport.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace mivodrell::composite_detail {

namespace {

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
        QuadCoverage coverage;
        int sharpWidth, sharpHeight, smallWidth, smallHeight;
        SamplerMinMagFilter minFilter, magFilter;
        bool operator==(const Key&) const = default;
    };

    std::shared_ptr<const MixLayout> layout(const SamplerState& sampler, const QuadCoverage& c, const Texture& sharp,
                                            const Texture& small) const {
        const Key key{c,
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

std::shared_ptr<const ShaderFunction> makeMotionMixFragment() { return std::make_shared<MotionMixFragment>(); }

}  // namespace mivodrell::composite_detail
