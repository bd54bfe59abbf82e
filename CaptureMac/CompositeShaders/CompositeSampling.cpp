#include "CaptureMac/CompositeShaders/CompositeSampling.h"

#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace mivodrell::composite_detail {

namespace {

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

// Every pair of groups whose windows fit; the rest portable. `readable`: bytes readable from `row`.
__attribute__((target("avx2"))) void filterLumaAvx2(const std::uint8_t* row, int readable, const ColumnTable& table,
                                                    const ColumnShuffles& s, std::int16_t* out) {
    for (int pair = 0; pair < s.pairs; ++pair) {
        const auto g = static_cast<std::size_t>(2 * pair);
        const int i = s.pairColumn(pair);
        __m256i windows;
        if (!loadWindowsAvx2(row, readable, s, g, windows)) {
            filterLumaPortable(row, table, i, i + 16, out);
            continue;
        }
        const __m256i p0 = _mm256_shuffle_epi8(windows, load256(&s.first[g]));
        const __m256i p1 = _mm256_shuffle_epi8(windows, load256(&s.second[g]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), lerpAvx2(p0, p1, load256(&table.weights[i]), 6));
    }
}

// 16 columns a pair, Cb and Cr picked by the same shuffles a byte apart.
__attribute__((target("avx2"))) void filterChromaAvx2(const std::uint8_t* row, int readable, const ColumnTable& table,
                                                      const ColumnShuffles& s, std::int16_t* cb, std::int16_t* cr) {
    const __m256i nextByte = _mm256_set1_epi16(1);  // Cr follows Cb; the 0x80 high bytes stay
    for (int pair = 0; pair < s.pairs; ++pair) {
        const auto g = static_cast<std::size_t>(2 * pair);
        const int i = s.pairColumn(pair);
        __m256i windows;
        if (!loadWindowsAvx2(row, readable, s, g, windows)) {
            filterChromaPortable(row, table, i, i + 16, cb, cr);
            continue;
        }
        const __m256i c0 = load256(&s.first[g]);
        const __m256i c1 = load256(&s.second[g]);
        const __m256i w = load256(&table.weights[i]);
        const __m256i b0 = _mm256_shuffle_epi8(windows, c0);
        const __m256i b1 = _mm256_shuffle_epi8(windows, c1);
        const __m256i r0 = _mm256_shuffle_epi8(windows, _mm256_add_epi16(c0, nextByte));
        const __m256i r1 = _mm256_shuffle_epi8(windows, _mm256_add_epi16(c1, nextByte));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(cb + i), lerpAvx2(b0, b1, w, 5));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(cr + i), lerpAvx2(r0, r1, w, 5));
    }
}

// 8 columns a pair, Cb and Cr side by side (each column's weight serves both), then split.
__attribute__((target("avx2"))) void filterChromaPairsAvx2(const std::uint8_t* row, int readable, const ColumnTable& table,
                                                      const ColumnShuffles& s, std::int16_t* cb, std::int16_t* cr) {
    // Per lane: Cb of its 4 columns, then their Cr.
    const __m256i split = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15,  //
                                           0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15);
    for (int pair = 0; pair < s.pairs; ++pair) {
        const auto g = static_cast<std::size_t>(2 * pair);
        const int i = s.pairColumn(pair);
        __m256i windows;
        if (!loadWindowsAvx2(row, readable, s, g, windows)) {
            filterChromaPortable(row, table, i, i + 8, cb, cr);
            continue;
        }
        const __m256i p0 = _mm256_shuffle_epi8(windows, load256(&s.first[g]));
        const __m256i p1 = _mm256_shuffle_epi8(windows, load256(&s.second[g]));
        const __m256i w = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&table.weights[i])));
        const __m256i twice = _mm256_or_si256(w, _mm256_slli_epi32(w, 16));
        const __m256i planes =
            _mm256_permute4x64_epi64(_mm256_shuffle_epi8(lerpAvx2(p0, p1, twice, 5), split), 0xD8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cb + i), _mm256_castsi256_si128(planes));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cr + i), _mm256_extracti128_si256(planes, 1));
    }
}
#endif

std::atomic<std::uint64_t> drawSerials{0};

}  // namespace

ColumnShuffles::ColumnShuffles(const std::vector<SampleTap>& taps, int texelBytes, int channels)
    : groupColumns(8 / channels) {
    const int count = static_cast<int>(taps.size());
    const int pairColumns = 2 * groupColumns;
    pairs = count / pairColumns + (count % pairColumns != 0 && count > pairColumns ? 1 : 0);
    lastPairColumn = count - pairColumns;
    windowStart.assign(static_cast<std::size_t>(2 * pairs), -1);
    first.resize(windowStart.size());
    second.resize(windowStart.size());
    for (int g = 0; g < 2 * pairs; ++g) {
        const auto at = [&](int k) {
            return taps[static_cast<std::size_t>(pairColumn(g / 2) + groupColumns * (g % 2) + k)];
        };
        int base = at(0).index;
        for (int k = 1; k < groupColumns; ++k) base = std::min(base, at(k).index);
        bool fits = true;
        auto& one = first[static_cast<std::size_t>(g)];
        auto& two = second[static_cast<std::size_t>(g)];
        for (int value = 0; value < 8; ++value) {
            const SampleTap t = at(value / channels);
            const int a = (t.index - base) * texelBytes + value % channels;
            const int b = a + (t.weight != 0 ? texelBytes : 0);
            fits = fits && b + texelBytes - channels <= 15;  // with one Cb per column, its Cr follows
            const auto lo = static_cast<std::size_t>(2 * value);
            one[lo] = static_cast<std::uint8_t>(a);
            two[lo] = static_cast<std::uint8_t>(b);
            one[lo + 1] = two[lo + 1] = 0x80;  // a zero high byte
        }
        if (fits) windowStart[static_cast<std::size_t>(g)] = base * texelBytes;
        allFit = allFit && fits;
    }
}

SamplingColumns::SamplingColumns(const SamplerState& sampler, const QuadCoverage& coverage, int textureWidth,
                                 int channels, bool fastPaths)
    : table(columnTable(sampler, coverage, textureWidth)) {
    if (!fastPaths) return;
    shuffles.emplace(table.taps, channels, 1);
    if (channels == 2 && !shuffles->allFit) shuffles.emplace(table.taps, 2, 2);
}

std::shared_ptr<const SamplingColumns> SamplingColumnCache::get(const SamplerState& sampler,
                                                                const QuadCoverage& coverage, int textureWidth,
                                                                int channels) {
    const Key key{coverage.columnBegin,
                  coverage.columnEnd,
                  coverage.uOrigin,
                  coverage.uPerColumn,
                  textureWidth,
                  channels,
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
    auto columns = std::make_shared<const SamplingColumns>(sampler, coverage, textureWidth, channels, key.fastPaths);
    entries_.insert(entries_.begin(), {key, columns});
    if (entries_.size() > kCapacity) entries_.pop_back();
    return columns;
}

void filterLuma(const Texture& luma, int row, const SamplingColumns& columns, std::int16_t* out) {
    const std::uint8_t* p = luma.row(row);
#ifdef MIVODRELL_COMPOSITE_X86
    if (columns.shuffles && columns.shuffles->pairs > 0 && useAvx2()) {
        return filterLumaAvx2(p, static_cast<int>(luma.bytesPerRow()), columns.table, *columns.shuffles, out);
    }
#endif
    filterLumaPortable(p, columns.table, 0, columns.count(), out);
}

void filterChroma(const Texture& chroma, int row, const SamplingColumns& columns, std::int16_t* out) {
    const std::uint8_t* p = chroma.row(row);
    std::int16_t* cr = out + columns.count();
#ifdef MIVODRELL_COMPOSITE_X86
    if (columns.shuffles && columns.shuffles->pairs > 0 && useAvx2()) {
        const auto kernel = columns.shuffles->groupColumns == 8 ? filterChromaAvx2 : filterChromaPairsAvx2;
        return kernel(p, static_cast<int>(chroma.bytesPerRow()), columns.table, *columns.shuffles, out, cr);
    }
#endif
    filterChromaPortable(p, columns.table, 0, columns.count(), out, cr);
}

std::uint64_t nextDrawSerial() { return drawSerials.fetch_add(1, std::memory_order_relaxed) + 1; }

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

}  // namespace mivodrell::composite_detail
