#pragma once
// Composites the latest frame of every display into one BGRA picture of a crop rectangle given in
// global desktop points, on the compute device. Frames are full-range 4:2:0 bi-planar buffers,
// converted with BT.709 full-range coefficients; parts of the crop that no display frame covers
// are black. An optional motion-blur post-process keeps still areas sharp and blends moving areas
// with a 1/16-size copy of the frame. For an encoder that takes planar video-range 4:2:0, the
// same composite can be produced as 'y420' planes instead, without a pass through RGB.
//
// No queue or lock of its own: the owner calls every operation from its serial queue, and
// render() returns when the picture is complete. Failures are reported through onDiagnostic and
// an absent result, never thrown.

#include "Platform/Compute/ComputeDevice.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Base/Geometry.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Compute/RenderCommands.h"
#include "Platform/Compute/Sampler.h"
#include "Platform/Compute/Texture.h"
#include "ViewportCore/DisplayTopology.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace mivodrell {

class CompositeFrameRenderer {
public:
    // The latest frame of one display.
    struct CompositeSourceTexture {
        std::shared_ptr<const Texture> lumaTexture;    // plane 0, R8, plane 0's size
        std::shared_ptr<const Texture> chromaTexture;  // plane 1, RG8, plane 1's size
        CGRect sourceRect;  // the part of the display the frame shows, in display-local points
        CGRect contentUV;   // where that part lies in the texture, normalised 0...1
    };

    // The motion-blur targets, for inspection. After a blurred frame the "previous" pair holds that
    // frame's small copy and mask.
    struct MotionBlurTextures {
        std::shared_ptr<const Texture> smallCurrent;
        std::shared_ptr<const Texture> smallPrevious;
        std::shared_ptr<const Texture> maskCurrent;
        std::shared_ptr<const Texture> maskPrevious;
        bool stateValid = false;
    };

    // Nothing when the device is missing or any required setup step fails (no diagnostic).
    // The owner passes ComputeDevice::systemDefault().
    static std::unique_ptr<CompositeFrameRenderer> create(std::shared_ptr<ComputeDevice> device);

    CompositeFrameRenderer(const CompositeFrameRenderer&) = delete;
    CompositeFrameRenderer& operator=(const CompositeFrameRenderer&) = delete;

    std::function<void(const std::string&)> onDiagnostic;

    // Takes effect at the next render. Turning it off drops the motion history.
    bool motionBlurEnabled() const { return motionBlurEnabled_; }
    void setMotionBlurEnabled(bool enabled) { motionBlurEnabled_ = enabled; }

    // Replaces the display's frame when both planes of `pixelBuffer` can be wrapped; otherwise keeps
    // the previous one and sends a diagnostic.
    void update(std::uint32_t displayID, const std::shared_ptr<PixelBuffer>& pixelBuffer, CGRect sourceRect,
                CGRect contentUV);
    void remove(std::uint32_t displayID);

    // A new BGRA buffer of the output size (integer part, at least 2 x 2) holding the crop
    // rectangle, or nothing (with a diagnostic) when the frame cannot be made. With
    // `preferredPixelFormat` 'y420' the buffer is planar video-range 4:2:0 instead: luma sampled at
    // every pixel, chroma at the centre of every 2 x 2 block, black where no display is shown;
    // a frame that goes through the motion blur, or a renderer without the planar stages, is BGRA.
    std::shared_ptr<PixelBuffer> render(const DisplayTopology& topology, CGRect cropRect, CGSize outputPixelSize,
                                        std::uint32_t preferredPixelFormat = PixelFormat::bgra);

    bool hasSource(std::uint32_t displayID) const { return sources_.count(displayID) != 0; }
    MotionBlurTextures motionBlurTextures() const;
    // True when the copy, difference and mix pipelines were all built.
    bool motionBlurAvailable() const { return copyPipeline_ && diffPipeline_ && mixPipeline_; }
    // True when the luma and chroma plane pipelines were built ('y420' output).
    bool planarOutputAvailable() const { return lumaPipeline_ && chromaPipeline_; }

private:
    explicit CompositeFrameRenderer(std::shared_ptr<ComputeDevice> device) : device_(std::move(device)) {}

    // One display's quad of the composite pass and the textures it samples.
    struct SliceDraw {
        std::array<Vertex, 4> quad;
        const CompositeSourceTexture* source;
    };
    std::vector<SliceDraw> sliceDraws(const DisplayTopology& topology, CGRect crop) const;
    std::shared_ptr<PixelBuffer> renderPlanar(const std::vector<SliceDraw>& draws, int width, int height);

    void diagnostic(const std::string& text) const;
    bool motionBlurTexturesReady(int width, int height);

    std::shared_ptr<ComputeDevice> device_;
    std::shared_ptr<CommandQueue> commandQueue_;
    std::shared_ptr<TextureCache> textureCache_;
    std::shared_ptr<const RenderPipelineState> pipelineState_;
    std::shared_ptr<const SamplerState> samplerState_;
    std::map<std::uint32_t, CompositeSourceTexture> sources_;
    bool motionBlurEnabled_ = false;
    std::shared_ptr<const RenderPipelineState> copyPipeline_;
    std::shared_ptr<const RenderPipelineState> diffPipeline_;
    std::shared_ptr<const RenderPipelineState> mixPipeline_;
    std::shared_ptr<const RenderPipelineState> lumaPipeline_;    // 'y420' output, optional
    std::shared_ptr<const RenderPipelineState> chromaPipeline_;  // 'y420' output, optional
    // The sharp composite is drawn straight into the output buffer and the mix runs in place, so
    // there is no full-size sharp texture; this is the output size the small textures belong to.
    int mbWidth_ = 0;
    int mbHeight_ = 0;
    std::shared_ptr<Texture> mbSmallCurr_;
    std::shared_ptr<Texture> mbSmallPrev_;
    std::shared_ptr<Texture> mbMaskCurr_;
    std::shared_ptr<Texture> mbMaskPrev_;
    bool mbStateValid_ = false;
};

}  // namespace mivodrell
