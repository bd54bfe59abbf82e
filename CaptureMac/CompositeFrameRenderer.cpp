#include "CaptureMac/CompositeFrameRenderer.h"

#include "CaptureMac/CompositeShaders.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace mivodrell {

namespace {

const std::string kTag = "[CompositeFrameRenderer] ";

std::shared_ptr<const RenderPipelineState> buildPipeline(ComputeDevice& device, const Library& library,
                                                         const char* fragmentName,
                                                         TexturePixelFormat format = TexturePixelFormat::bgra8Unorm) {
    RenderPipelineDescriptor descriptor;
    descriptor.vertexFunction = library.makeFunction(CompositeShaders::vertexMain);
    descriptor.fragmentFunction = library.makeFunction(fragmentName);
    descriptor.colorAttachmentPixelFormat = format;
    if (!descriptor.vertexFunction || !descriptor.fragmentFunction) return nullptr;
    return makeRenderPipelineState(device, descriptor).pipeline;
}

// The integer part of an output edge, at least 2; nothing when not finite.
std::optional<int> outputEdge(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    return std::max(2, truncateClamped<int>(value, 2));
}

// Edge of the motion-blur textures: one sixteenth, 4 below 80.
int smallEdge(int edge) { return edge < 80 ? 4 : edge / 16; }

// The full-target quad of the motion-blur passes.
constexpr std::array<Vertex, 4> kFullQuad{{{-1, 1, 0, 0}, {-1, -1, 0, 1}, {1, 1, 1, 0}, {1, -1, 1, 1}}};

}  // namespace

std::unique_ptr<CompositeFrameRenderer> CompositeFrameRenderer::create(std::shared_ptr<ComputeDevice> device) {
    if (!device) return nullptr;
    std::unique_ptr<CompositeFrameRenderer> renderer(new CompositeFrameRenderer(device));

    renderer->commandQueue_ = makeCommandQueue(device);
    if (!renderer->commandQueue_) return nullptr;

    auto library = makeLibrary(device, CompositeShaders::functions());
    if (!library) return nullptr;
    auto vertex = library->makeFunction(CompositeShaders::vertexMain);
    auto fragment = library->makeFunction(CompositeShaders::compositeFragment);
    if (!vertex || !fragment) return nullptr;

    RenderPipelineDescriptor descriptor;
    descriptor.vertexFunction = vertex;
    descriptor.fragmentFunction = fragment;
    descriptor.colorAttachmentPixelFormat = TexturePixelFormat::bgra8Unorm;
    renderer->pipelineState_ = makeRenderPipelineState(*device, descriptor).pipeline;
    if (!renderer->pipelineState_) return nullptr;

    SamplerDescriptor samplerDescriptor;
    samplerDescriptor.minFilter = SamplerMinMagFilter::linear;
    samplerDescriptor.magFilter = SamplerMinMagFilter::linear;
    samplerDescriptor.sAddressMode = SamplerAddressMode::clampToEdge;
    samplerDescriptor.tAddressMode = SamplerAddressMode::clampToEdge;
    renderer->samplerState_ = makeSamplerState(*device, samplerDescriptor);
    if (!renderer->samplerState_) return nullptr;

    // Optional: without all three, motion blur never engages.
    renderer->copyPipeline_ = buildPipeline(*device, *library, CompositeShaders::copyFragment);
    renderer->diffPipeline_ = buildPipeline(*device, *library, CompositeShaders::motionDiffFragment);
    renderer->mixPipeline_ = buildPipeline(*device, *library, CompositeShaders::motionMixFragment);
    // Optional too: without both, 'y420' is never produced.
    renderer->lumaPipeline_ =
        buildPipeline(*device, *library, CompositeShaders::compositeLumaFragment, TexturePixelFormat::r8Unorm);
    renderer->chromaPipeline_ =
        buildPipeline(*device, *library, CompositeShaders::compositeChromaFragment, TexturePixelFormat::r8Unorm);

    renderer->textureCache_ = TextureCache::create(device);
    if (!renderer->textureCache_) return nullptr;
    return renderer;
}

void CompositeFrameRenderer::diagnostic(const std::string& text) const {
    if (onDiagnostic) onDiagnostic(text);
}

void CompositeFrameRenderer::update(std::uint32_t displayID, const std::shared_ptr<PixelBuffer>& pixelBuffer,
                                    CGRect sourceRect, CGRect contentUV) {
    if (!textureCache_) return;
    const int lumaWidth = pixelBuffer ? pixelBuffer->widthOfPlane(0) : 0;
    const int lumaHeight = pixelBuffer ? pixelBuffer->heightOfPlane(0) : 0;
    const int chromaWidth = pixelBuffer ? pixelBuffer->widthOfPlane(1) : 0;
    const int chromaHeight = pixelBuffer ? pixelBuffer->heightOfPlane(1) : 0;
    const auto luma =
        textureCache_->createTextureFromImage(pixelBuffer, TexturePixelFormat::r8Unorm, lumaWidth, lumaHeight, 0);
    const auto chroma =
        textureCache_->createTextureFromImage(pixelBuffer, TexturePixelFormat::rg8Unorm, chromaWidth, chromaHeight, 1);
    if (luma.status == TextureCache::statusSuccess && chroma.status == TextureCache::statusSuccess && luma.texture &&
        chroma.texture) {
        sources_[displayID] = CompositeSourceTexture{luma.texture, chroma.texture, sourceRect, contentUV};
        return;
    }
    diagnostic(kTag + "螢幕 " + std::to_string(displayID) + " texture 轉換失敗 " +
               "luma=" + std::to_string(luma.status) + " chroma=" + std::to_string(chroma.status));
}

void CompositeFrameRenderer::remove(std::uint32_t displayID) { sources_.erase(displayID); }

CompositeFrameRenderer::MotionBlurTextures CompositeFrameRenderer::motionBlurTextures() const {
    return {mbSmallCurr_, mbSmallPrev_, mbMaskCurr_, mbMaskPrev_, mbStateValid_};
}

bool CompositeFrameRenderer::motionBlurTexturesReady(int width, int height) {
    if (mbWidth_ == width && mbHeight_ == height && mbSmallCurr_ && mbSmallPrev_ && mbMaskCurr_ && mbMaskPrev_) {
        return true;
    }
    const int w = smallEdge(width);
    const int h = smallEdge(height);
    mbSmallCurr_ = makeTexture(*device_, TexturePixelFormat::bgra8Unorm, w, h);
    mbSmallPrev_ = makeTexture(*device_, TexturePixelFormat::bgra8Unorm, w, h);
    mbMaskCurr_ = makeTexture(*device_, TexturePixelFormat::bgra8Unorm, w, h);
    mbMaskPrev_ = makeTexture(*device_, TexturePixelFormat::bgra8Unorm, w, h);
    mbStateValid_ = false;
    if (mbSmallCurr_ && mbSmallPrev_ && mbMaskCurr_ && mbMaskPrev_) {
        mbWidth_ = width;
        mbHeight_ = height;
        return true;
    }
    mbWidth_ = 0;
    mbHeight_ = 0;
    diagnostic(kTag + "動態模糊 texture 建立失敗，功能停用");
    return false;
}

std::vector<CompositeFrameRenderer::SliceDraw> CompositeFrameRenderer::sliceDraws(const DisplayTopology& topology,
                                                                               CGRect crop) const {
    std::vector<SliceDraw> draws;
    for (const auto& slice : topology.slices(crop)) {
        const auto found = sources_.find(slice.display.id());
        if (found == sources_.end()) continue;
        const CompositeSourceTexture& entry = found->second;
        const CGRect S = entry.sourceRect.standardized();
        if (!(S.width() > 0) || !(S.height() > 0)) continue;
        const CGRect I = S.intersection(slice.localRect);
        if (I.isNull() || !(I.width() > 0) || !(I.height() > 0)) continue;

        const CGRect UV = entry.contentUV.standardized();
        const double uL = UV.minX() + UV.width() * (I.minX() - S.minX()) / S.width();
        const double uR = UV.minX() + UV.width() * (I.maxX() - S.minX()) / S.width();
        const double vT = UV.minY() + UV.height() * (I.minY() - S.minY()) / S.height();
        const double vB = UV.minY() + UV.height() * (I.maxY() - S.minY()) / S.height();

        const double dx = slice.globalRect.minX() - slice.localRect.minX();
        const double dy = slice.globalRect.minY() - slice.localRect.minY();
        const CGRect G = I.offsetBy(dx, dy);

        const double xL = 2 * (G.minX() - crop.minX()) / crop.width() - 1;
        const double xR = 2 * (G.maxX() - crop.minX()) / crop.width() - 1;
        const double yT = 1 - 2 * (G.minY() - crop.minY()) / crop.height();
        const double yB = 1 - 2 * (G.maxY() - crop.minY()) / crop.height();

        const auto f = [](double value) { return static_cast<float>(value); };
        draws.push_back({{{{f(xL), f(yT), f(uL), f(vT)},
                           {f(xL), f(yB), f(uL), f(vB)},
                           {f(xR), f(yT), f(uR), f(vT)},
                           {f(xR), f(yB), f(uR), f(vB)}}},
                         &entry});
    }
    return draws;
}

std::shared_ptr<PixelBuffer> CompositeFrameRenderer::render(const DisplayTopology& topology, CGRect cropRect,
                                                            CGSize outputPixelSize,
                                                            std::uint32_t preferredPixelFormat) {
    const auto width = outputEdge(outputPixelSize.width);
    const auto height = outputEdge(outputPixelSize.height);
    if (!width || !height) {
        diagnostic(kTag + "outputPixelSize 不是有限數值，跳過這次合成");
        return nullptr;
    }
    const int W = *width;
    const int H = *height;

    const CGRect crop = cropRect.standardized();
    if (!(crop.width() > 0) || !(crop.height() > 0)) {
        diagnostic(kTag + "cropRect 寬高不合法，跳過這次合成");
        return nullptr;
    }

    const bool wantsMotionBlur = motionBlurEnabled_ && motionBlurAvailable();
    if (preferredPixelFormat == PixelFormat::yuv420PlanarVideoRange && !wantsMotionBlur && planarOutputAvailable()) {
        mbStateValid_ = false;
        return renderPlanar(sliceDraws(topology, crop), W, H);
    }

    PixelBuffer::Attributes attributes;
    attributes.metalCompatible = true;
    auto output = PixelBuffer::create(W, H, PixelFormat::bgra, attributes);
    if (output.status != PixelBuffer::statusSuccess || !output.buffer) {
        diagnostic(kTag + "輸出 CVPixelBuffer 建立失敗");
        return nullptr;
    }
    if (!textureCache_) return nullptr;

    const auto wrapped = textureCache_->createTextureFromImage(output.buffer, TexturePixelFormat::bgra8Unorm, W, H, 0);
    if (wrapped.status != TextureCache::statusSuccess || !wrapped.texture) {
        diagnostic(kTag + "輸出 texture 轉換失敗 status=" + std::to_string(wrapped.status));
        return nullptr;
    }
    const std::shared_ptr<Texture> target = wrapped.texture;

    const bool useMotionBlur = wantsMotionBlur && motionBlurTexturesReady(W, H);
    if (!useMotionBlur) mbStateValid_ = false;

    // The composite pass. With motion blur the sharp picture goes into the output too; the mix
    // pass below blends it in place.
    RenderPassDescriptor pass;
    pass.colorTarget = target;
    pass.loadAction = LoadAction::clear;
    pass.storeAction = StoreAction::store;
    pass.clearColor = ClearColor{0, 0, 0, 1};

    auto commandBuffer = commandQueue_->makeCommandBuffer();
    auto encoder = commandBuffer ? commandBuffer->makeRenderCommandEncoder(pass) : nullptr;
    if (!encoder) {
        diagnostic(kTag + "建立 command buffer／encoder 失敗");
        return nullptr;
    }
    encoder->setRenderPipelineState(pipelineState_);
    encoder->setFragmentSamplerState(samplerState_, 0);

    for (const SliceDraw& draw : sliceDraws(topology, crop)) {
        encoder->setVertexBytes(draw.quad.data(), sizeof(draw.quad), 0);
        encoder->setFragmentTexture(draw.source->lumaTexture, 0);
        encoder->setFragmentTexture(draw.source->chromaTexture, 1);
        encoder->drawPrimitives(PrimitiveType::triangleStrip, 0, 4);
    }
    encoder->endEncoding();

    if (useMotionBlur) {
        const auto fullTargetPass = [&](const std::shared_ptr<Texture>& passTarget, LoadAction load) {
            RenderPassDescriptor descriptor;
            descriptor.colorTarget = passTarget;
            descriptor.loadAction = load;
            descriptor.storeAction = StoreAction::store;
            descriptor.clearColor = ClearColor{0, 0, 0, 1};
            auto passEncoder = commandBuffer->makeRenderCommandEncoder(descriptor);
            if (passEncoder) {
                passEncoder->setFragmentSamplerState(samplerState_, 0);
                passEncoder->setVertexBytes(kFullQuad.data(), sizeof(kFullQuad), 0);
            }
            return passEncoder;
        };

        // Downsample: a bilinear sample of the sharp picture at each small pixel.
        auto downsample = fullTargetPass(mbSmallCurr_, LoadAction::clear);
        if (downsample) {
            downsample->setRenderPipelineState(copyPipeline_);
            downsample->setFragmentTexture(target, 0);
            downsample->drawPrimitives(PrimitiveType::triangleStrip, 0, 4);
            downsample->endEncoding();
        }
        // Difference: without a previous frame the cleared (black) mask means no motion.
        auto difference = downsample ? fullTargetPass(mbMaskCurr_, LoadAction::clear) : nullptr;
        if (difference) {
            if (mbStateValid_) {
                difference->setRenderPipelineState(diffPipeline_);
                difference->setFragmentTexture(mbSmallCurr_, 0);
                difference->setFragmentTexture(mbSmallPrev_, 1);
                difference->setFragmentTexture(mbMaskPrev_, 2);
                difference->drawPrimitives(PrimitiveType::triangleStrip, 0, 4);
            }
            difference->endEncoding();
        }
        // Mix, in place: every output pixel is drawn, and one whose mask is zero stays sharp.
        auto mix = difference ? fullTargetPass(target, LoadAction::load) : nullptr;
        if (!mix) {
            mbStateValid_ = false;
            diagnostic(kTag + "動態模糊後處理 encoder 建立失敗，這幀跳過");
            // The output would hold no finished picture for this frame: skip the tick.
            return nullptr;
        }
        mix->setRenderPipelineState(mixPipeline_);
        mix->setFragmentTexture(target, 0);
        mix->setFragmentTexture(mbSmallCurr_, 1);
        mix->setFragmentTexture(mbMaskCurr_, 2);
        mix->drawPrimitives(PrimitiveType::triangleStrip, 0, 4);
        mix->endEncoding();

        mbStateValid_ = true;
        std::swap(mbSmallCurr_, mbSmallPrev_);
        std::swap(mbMaskCurr_, mbMaskPrev_);
    }

    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    return output.buffer;
}

// Two passes: luma into plane 0, then both chroma planes (colour attachments 0 and 1) at half
// size; each clears to video-range black first.
std::shared_ptr<PixelBuffer> CompositeFrameRenderer::renderPlanar(const std::vector<SliceDraw>& draws, int width,
                                                                  int height) {
    PixelBuffer::Attributes attributes;
    attributes.metalCompatible = true;
    auto output = PixelBuffer::create(width, height, PixelFormat::yuv420PlanarVideoRange, attributes);
    if (output.status != PixelBuffer::statusSuccess || !output.buffer) {
        diagnostic(kTag + "輸出 CVPixelBuffer 建立失敗");
        return nullptr;
    }
    if (!textureCache_) return nullptr;
    std::array<std::shared_ptr<Texture>, 3> planes;
    for (std::size_t plane = 0; plane < planes.size(); ++plane) {
        const auto wrapped =
            textureCache_->createTextureFromImage(output.buffer, TexturePixelFormat::r8Unorm, output.buffer->widthOfPlane(plane),
                                                  output.buffer->heightOfPlane(plane), plane);
        if (wrapped.status != TextureCache::statusSuccess || !wrapped.texture) {
            diagnostic(kTag + "輸出 texture 轉換失敗 status=" + std::to_string(wrapped.status));
            return nullptr;
        }
        planes[plane] = wrapped.texture;
    }

    auto commandBuffer = commandQueue_->makeCommandBuffer();
    for (const bool luma : {true, false}) {
        RenderPassDescriptor pass;
        pass.colorTarget = planes[luma ? 0 : 1];
        if (!luma) pass.secondColorTarget = planes[2];
        const double black = (luma ? 16.0 : 128.0) / 255.0;
        pass.clearColor = ClearColor{black, black, black, 1};
        auto encoder = commandBuffer ? commandBuffer->makeRenderCommandEncoder(pass) : nullptr;
        if (!encoder) {
            diagnostic(kTag + "建立 command buffer／encoder 失敗");
            return nullptr;
        }
        encoder->setRenderPipelineState(luma ? lumaPipeline_ : chromaPipeline_);
        encoder->setFragmentSamplerState(samplerState_, 0);
        for (const SliceDraw& draw : draws) {
            encoder->setVertexBytes(draw.quad.data(), sizeof(draw.quad), 0);
            encoder->setFragmentTexture(draw.source->lumaTexture, 0);
            encoder->setFragmentTexture(draw.source->chromaTexture, 1);
            encoder->drawPrimitives(PrimitiveType::triangleStrip, 0, 4);
        }
        encoder->endEncoding();
    }
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    return output.buffer;
}

}  // namespace mivodrell
