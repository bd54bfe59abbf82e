#pragma once
// What the compositor's shader functions share, and nothing else: the fast-path switch and the
// processor check that pick the vector kernels, the rounding Q15 multiply, the column tables
// that turn a quad's columns into texel taps, and bilinear BGRA sampling with its per-function
// tap cache. Internal to the compositor (not installed); each stage lives in a file of its own
// and is handed to the shader library through its make...() function below.
//
// Everything here is fixed point, so a stage computes the same bytes on any number of workers
// and with or without its vector kernels. The tables are immutable once built and shared between
// workers; the caches lock while they look up or insert, never while a draw runs.

#include "CaptureMac/CompositeShaders.h"
#include "Platform/Compute/RenderCommands.h"
#include "Platform/Compute/Sampler.h"
#include "Platform/Compute/Texture.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MIVODRELL_COMPOSITE_X86 1
#endif

// Plain loops that the compiler vectorizes once per CPU kind, picked when the program loads. The
// choice runs through ifunc resolvers before any sanitizer runtime is up, so sanitizer builds
// keep the default version only.
#if defined(MIVODRELL_COMPOSITE_X86) && !defined(MIVODRELL_NO_FUNCTION_CLONES)
#define MIVODRELL_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MIVODRELL_AVX2_CLONES
#endif

namespace mivodrell::composite_detail {

// The functions of the library, one per file.
std::shared_ptr<const ShaderFunction> makeCompositeVertexMain();
std::shared_ptr<const ShaderFunction> makeCompositeFragmentMain();
std::shared_ptr<const ShaderFunction> makeCopyFragment();
std::shared_ptr<const ShaderFunction> makeMotionDiffFragment();
std::shared_ptr<const ShaderFunction> makeMotionMixFragment();
std::shared_ptr<const ShaderFunction> makeCompositeLumaFragment();
std::shared_ptr<const ShaderFunction> makeCompositeChromaFragment();

// CompositeShaders::setFastPathsEnabled's switch (on unless a test turns it off). Both flags are
// read for every row; hidden, they are read directly rather than through the symbol table.
extern std::atomic<bool> fastPathsEnabled __attribute__((visibility("hidden")));

#ifdef MIVODRELL_COMPOSITE_X86
extern const bool cpuHasAvx2 __attribute__((visibility("hidden")));
// The vector kernels run when the processor has them and the fast paths are on.
inline bool useAvx2() { return cpuHasAvx2 && fastPathsEnabled.load(std::memory_order_relaxed); }

#define MIVODRELL_AVX2_INLINE static inline __attribute__((target("avx2"), always_inline))
#endif

// (a * b + 2^14) >> 15, the rounding Q15 multiply.
inline int mulQ15(int a, int b) { return (a * b + 16384) >> 15; }

// A sample weight (1/65536 steps) as a Q15 weight, 1 saturating to 32767.
inline std::int16_t q15Weight(std::uint32_t weight) {
    return static_cast<std::int16_t>(std::min<std::uint32_t>(32767, (weight + 1) >> 1));
}

// The taps of every covered column, and the texel span they read.
struct ColumnTable {
    std::vector<SampleTap> taps;
    std::vector<std::int16_t> weights;  // Q15 weight of the second texel
    int low = 0;                        // first texel read
    int high = 0;                       // last texel read
};

ColumnTable columnTable(const SamplerState& sampler, const QuadCoverage& coverage, int textureWidth);

// ---------------------------------------------------------------------------------------------
// BGRA sampling shared by the copy and motion-blur functions.
// ---------------------------------------------------------------------------------------------

// A bilinear sample of a BGRA texture in 1/256 steps per channel.
inline void sampleBgra256(const Texture& texture, SampleTap column, SampleTap row, std::uint32_t out[4]) {
    const std::uint8_t* r0 = texture.row(row.index) + 4 * column.index;
    const std::uint32_t wx = column.weight;
    const std::uint32_t wy = row.weight;
    if (wx == 0 && wy == 0) {
        for (int c = 0; c < 4; ++c) out[c] = r0[c] * 256u;
        return;
    }
    const std::uint8_t* r1 = wy != 0 ? texture.row(row.index + 1) + 4 * column.index : r0;
    for (int c = 0; c < 4; ++c) {
        // Rows first, in 1/256 steps, then columns (at most 65280 x 65536 + 32768: fits 32 bits).
        std::uint32_t top = r0[c] * 256u;
        std::uint32_t topNext = wx != 0 ? r0[4 + c] * 256u : 0;
        if (wy != 0) {
            top = (r0[c] * (kSampleWeightOne - wy) + r1[c] * wy + 128) >> 8;
            if (wx != 0) topNext = (r0[4 + c] * (kSampleWeightOne - wy) + r1[4 + c] * wy + 128) >> 8;
        }
        out[c] = (top * (kSampleWeightOne - wx) + topNext * wx + 32768) >> 16;
    }
}

inline std::uint8_t roundLevel256(std::uint32_t value256) {
    return static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (value256 + 128) >> 8));
}

// Whether the sampler, the target and the first `textureCount` textures are bound, all BGRA.
bool allBgra(const FragmentDrawContext& context, std::size_t textureCount);

// The column and row taps of one texture size under one quad. They change only with the output
// size, so each function keeps the few it saw last instead of recomputing them every frame.
struct BgraTaps {
    std::vector<SampleTap> columns;
    std::vector<SampleTap> rows;  // from the coverage's first row

    BgraTaps(const SamplerState& sampler, const QuadCoverage& coverage, int width, int height);
};

class BgraTapCache {
public:
    std::shared_ptr<const BgraTaps> get(const SamplerState& sampler, const QuadCoverage& c, const Texture& texture);

private:
    static constexpr std::size_t kCapacity = 4;
    struct Key {
        QuadCoverage coverage;
        int width, height;
        SamplerMinMagFilter minFilter, magFilter;
        bool operator==(const Key&) const = default;
    };
    std::mutex mutex_;
    std::vector<std::pair<Key, std::shared_ptr<const BgraTaps>>> entries_;
};

// One BGRA input of a draw with its taps.
struct BgraInput {
    const Texture* texture = nullptr;
    std::shared_ptr<const BgraTaps> taps;
    const std::vector<SampleTap>& columns;

    BgraInput(const Texture* t, const SamplerState& sampler, const QuadCoverage& coverage, BgraTapCache& cache)
        : texture(t), taps(cache.get(sampler, coverage, *t)), columns(taps->columns) {}
    SampleTap rowTap(const QuadCoverage& coverage, int row) const {
        return taps->rows[static_cast<std::size_t>(row - coverage.rowBegin)];
    }
};

}  // namespace mivodrell::composite_detail
