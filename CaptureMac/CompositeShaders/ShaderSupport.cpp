#include "CaptureMac/CompositeShaders/ShaderSupport.h"

namespace mivodrell::composite_detail {

std::atomic<bool> fastPathsEnabled{true};

#ifdef MIVODRELL_COMPOSITE_X86
const bool cpuHasAvx2 = [] {
    __builtin_cpu_init();  // this may run before the library's own initialisation
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif

ColumnTable columnTable(const SamplerState& sampler, const QuadCoverage& coverage, int textureWidth) {
    ColumnTable table;
    const auto count = static_cast<std::size_t>(coverage.columnEnd - coverage.columnBegin);
    table.taps.reserve(count);
    table.low = textureWidth;
    table.high = 0;
    for (int i = coverage.columnBegin; i < coverage.columnEnd; ++i) {
        const SampleTap t = sampler.tap(coverage.u(i), textureWidth);
        table.taps.push_back(t);
        table.low = std::min(table.low, t.index);
        table.high = std::max(table.high, t.index + (t.weight != 0 ? 1 : 0));
    }
    table.weights.reserve(count);
    for (const SampleTap& t : table.taps) table.weights.push_back(q15Weight(t.weight));
    return table;
}

bool allBgra(const FragmentDrawContext& context, std::size_t textureCount) {
    if (!context.sampler || context.target->pixelFormat() != TexturePixelFormat::bgra8Unorm) return false;
    for (std::size_t t = 0; t < textureCount; ++t) {
        if (!context.textures[t] || context.textures[t]->pixelFormat() != TexturePixelFormat::bgra8Unorm) return false;
    }
    return true;
}

BgraTaps::BgraTaps(const SamplerState& sampler, const QuadCoverage& coverage, int width, int height)
    : columns(columnTable(sampler, coverage, width).taps) {
    rows.reserve(static_cast<std::size_t>(coverage.rowEnd - coverage.rowBegin));
    for (int j = coverage.rowBegin; j < coverage.rowEnd; ++j) rows.push_back(sampler.tap(coverage.v(j), height));
}

std::shared_ptr<const BgraTaps> BgraTapCache::get(const SamplerState& sampler, const QuadCoverage& c,
                                                  const Texture& texture) {
    const Key key{c, texture.width(), texture.height(), sampler.descriptor().minFilter, sampler.descriptor().magFilter};
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : entries_) {
        if (entry.first == key) return entry.second;
    }
    auto taps = std::make_shared<const BgraTaps>(sampler, c, texture.width(), texture.height());
    if (entries_.size() >= kCapacity) entries_.erase(entries_.begin());
    entries_.emplace_back(key, taps);
    return taps;
}

}  // namespace mivodrell::composite_detail
