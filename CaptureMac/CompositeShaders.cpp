#include "CaptureMac/CompositeShaders.h"

#include "CaptureMac/CompositeShaders/ShaderSupport.h"

// The library itself and its vertex function. The fragment functions live in CompositeShaders/,
// one file each; what they share is in CompositeShaders/ShaderSupport.h.

namespace mivodrell {

namespace composite_detail {
namespace {

// "Mivodrell_compositeVertexMain": the vertex records pass through unchanged.
class CompositeVertexMain final : public VertexFunction {
public:
    CompositeVertexMain() : VertexFunction(CompositeShaders::vertexMain) {}
    VertexOut run(std::span<const Vertex> vertices, std::uint32_t vertexID) const override {
        const Vertex& v = vertices[vertexID];
        VertexOut out;
        out.position = {v.x, v.y, 0.0f, 1.0f};
        out.uv = {v.u, v.v};
        return out;
    }
};

}  // namespace

std::shared_ptr<const ShaderFunction> makeCompositeVertexMain() { return std::make_shared<CompositeVertexMain>(); }

}  // namespace composite_detail

std::vector<std::shared_ptr<const ShaderFunction>> CompositeShaders::functions() {
    return {composite_detail::makeCompositeVertexMain(), composite_detail::makeCompositeFragmentMain(),
            composite_detail::makeCopyFragment(), composite_detail::makeMotionDiffFragment(),
            composite_detail::makeMotionMixFragment(), composite_detail::makeCompositeLumaFragment(),
            composite_detail::makeCompositeChromaFragment()};
}

void CompositeShaders::setFastPathsEnabled(bool enabled) { composite_detail::fastPathsEnabled.store(enabled); }

}  // namespace mivodrell
