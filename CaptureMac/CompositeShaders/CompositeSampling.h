#pragma once
// How the composite functions sample a display frame (luma R8, interleaved chroma RG8): each
// source row is filtered horizontally once, into one value per covered column, and every output
// row then blends the two filtered source rows around it:
//   luma:   64 p0 + 64 (p1 - p0) wx   (1/64 steps of an 8-bit level)
//   chroma: 32 p0 + 32 (p1 - p0) wx   (1/32 steps, Cb and Cr; not centred)
// with the rounding Q15 multiply and the Q15 weight of the column tables. The row blends are the
// functions' own. Internal to the compositor (not installed).
//
// The column tables and their byte shuffles are immutable once built and shared between workers;
// the cache locks while it looks up or inserts, never while a draw runs. Filtered rows are per
// worker (thread-local scratch of the calling function).

#include "CaptureMac/CompositeShaders/ShaderSupport.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace mivodrell::composite_detail {

// Byte shuffles that pick both texels of each column of a group of columns out of one 16-byte
// window of a source row, widened to 16 bits: 8 values per group, so 8 luma columns, 8 chroma
// columns (their Cb; Cr is the next byte) or, where 8 chroma columns do not fit, 4 chroma columns
// (Cb, Cr). Groups come in pairs (one register): one pair per whole pair of groups and, when
// columns are left over, one more pair for the last columns (overlapping the one before).
struct ColumnShuffles {
    int groupColumns = 0;                              // 8 / channels
    bool allFit = true;                                // every group has a window
    int pairs = 0;                                     // pairs of groups, the last pair included
    int lastPairColumn = 0;                            // first column of the last pair
    std::vector<std::int32_t> windowStart;             // per group: first byte of its window, -1: none fits
    std::vector<std::array<std::uint8_t, 16>> first;   // per group: the first texel of each value
    std::vector<std::array<std::uint8_t, 16>> second;  // per group: the second texel (the first at weight 0)

    int pairColumn(int pair) const { return pair + 1 == pairs ? lastPairColumn : 2 * groupColumns * pair; }

    // `texelBytes` 1 for luma (R8), 2 for interleaved chroma (RG8); `channels` the values picked
    // per column (2: Cb and Cr).
    ColumnShuffles(const std::vector<SampleTap>& taps, int texelBytes, int channels);
};

// The column table of one texture width under one quad, with its shuffles when the fast paths are on.
struct SamplingColumns {
    ColumnTable table;
    std::optional<ColumnShuffles> shuffles;

    SamplingColumns(const SamplerState& sampler, const QuadCoverage& coverage, int textureWidth, int channels,
                    bool fastPaths);
    int count() const { return static_cast<int>(table.taps.size()); }
};

// A few recent column tables, looked up by everything they depend on: they change only when the
// quad's columns or the texture change, so a still crop builds them once.
class SamplingColumnCache {
public:
    std::shared_ptr<const SamplingColumns> get(const SamplerState& sampler, const QuadCoverage& coverage,
                                               int textureWidth, int channels);

private:
    static constexpr std::size_t kCapacity = 8;
    struct Key {
        int columnBegin, columnEnd;
        double uOrigin, uPerColumn;
        int textureWidth, channels;
        SamplerMinMagFilter minFilter, magFilter;
        bool fastPaths;
        bool operator==(const Key&) const = default;
    };
    std::mutex mutex_;
    std::vector<std::pair<Key, std::shared_ptr<const SamplingColumns>>> entries_;
};

// Row `row` of an R8 luma texture, filtered into out[0, columns.count()).
void filterLuma(const Texture& luma, int row, const SamplingColumns& columns, std::int16_t* out);
// Row `row` of an RG8 chroma texture, filtered: Cb into out[0, n), Cr into out[n, 2 n), n = columns.count().
void filterChroma(const Texture& chroma, int row, const SamplingColumns& columns, std::int16_t* out);

#ifdef MIVODRELL_COMPOSITE_X86
MIVODRELL_AVX2_INLINE __m256i load256(const void* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// (p0 << shift) + mulQ15((p1 - p0) << shift, w) for 16 values.
MIVODRELL_AVX2_INLINE __m256i lerpAvx2(__m256i p0, __m256i p1, __m256i w, int shift) {
    const __m128i amount = _mm_cvtsi32_si128(shift);
    return _mm256_add_epi16(_mm256_sll_epi16(p0, amount),
                            _mm256_mulhrs_epi16(_mm256_sll_epi16(_mm256_sub_epi16(p1, p0), amount), w));
}
#endif

// A number that tells one draw from every other (for FilteredRows).
std::uint64_t nextDrawSerial();

// Filtered source rows of one draw, per worker: the two that the last output row used. Output
// rows go down a band in order and mostly read the rows the previous one read, so each source
// row is filtered about once per band (and once per worker's run of bands: a worker keeps
// consecutive bands of a pass).
struct FilteredRows {
    std::uint64_t draw = 0;
    int row[2] = {-1, -1};
    std::vector<std::int16_t> data[2];

    void useFor(std::uint64_t serial) {
        if (draw == serial) return;
        draw = serial;
        row[0] = row[1] = -1;
    }
    // The filtered source row `r` (`size` values), made by filter(r, destination) into the slot that
    // does not hold `keep` when it is missing.
    template <class Filter>
    const std::int16_t* get(int r, int keep, std::size_t size, const Filter& filter) {
        for (int s = 0; s < 2; ++s) {
            if (row[s] == r) return data[s].data();
        }
        const int s = row[0] == keep ? 1 : 0;
        if (data[s].size() < size) data[s].resize(size);
        filter(r, data[s].data());
        row[s] = r;
        return data[s].data();
    }
    // The rows a tap blends: its texel's row and, with a weight, the next (else the same again).
    template <class Filter>
    std::pair<const std::int16_t*, const std::int16_t*> pair(SampleTap tap, std::size_t size, const Filter& filter) {
        const int r = tap.index;
        const std::int16_t* a = get(r, tap.weight != 0 ? r + 1 : -1, size, filter);
        return {a, tap.weight != 0 ? get(r + 1, r, size, filter) : a};
    }
};

// The first texel when the texture coordinates of pixels [begin, end) (origin + step * pixel) fall
// within 1/1024 texel of the centres of consecutive texels of a `size`-texel axis; nothing
// otherwise. The coordinates are linear in the pixel, so every pixel between the two ends is that
// close too, and its linear tap is the texel itself (and a quarter position at half resolution).
std::optional<int> lineUpStart(double origin, double step, int begin, int end, int size);

}  // namespace mivodrell::composite_detail
