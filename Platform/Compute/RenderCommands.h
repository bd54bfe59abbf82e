#pragma once
// Render passes on the compute device, in the shape of a GPU command API: a library of named
// shader functions, render pipelines, a command queue, command buffers and render encoders that
// draw quads into a texture.
//
// A fragment function is C++ code that shades whole rows of a quad at a time. When a command
// buffer is committed, its passes run in order; each pass splits its target into bands of rows,
// and every band is shaded by one worker: it clears the band (when the pass clears) and then runs
// every draw that touches it, in draw order. Writes of different bands never overlap, so the
// result does not depend on the number of workers. Consecutive passes that neither write what
// another reads or writes run as one job, their bands side by side.

#include "Platform/Compute/ComputeDevice.h"
#include "Platform/Compute/QuadRasterizer.h"
#include "Platform/Compute/Sampler.h"
#include "Platform/Compute/Texture.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace mivodrell {

inline constexpr std::size_t kMaxFragmentTextures = 4;

// What a fragment function sees of one draw.
struct FragmentDrawContext {
    Texture* target = nullptr;
    Texture* secondTarget = nullptr;  // colour attachment 1, when the pass has one
    std::array<const Texture*, kMaxFragmentTextures> textures{};
    const SamplerState* sampler = nullptr;
    QuadCoverage coverage;  // never empty
};

// The prepared work of one draw.
class FragmentDraw {
public:
    virtual ~FragmentDraw() = default;
    // Shades the covered pixels of target rows [rowBegin, rowEnd), which lie inside the coverage.
    // Called from any worker, for disjoint row ranges.
    virtual void shadeRows(int rowBegin, int rowEnd) const = 0;
};

class ShaderFunction {
public:
    enum class Stage { vertex, fragment };

    ShaderFunction(std::string name, Stage stage) : name_(std::move(name)), stage_(stage) {}
    virtual ~ShaderFunction() = default;

    const std::string& name() const { return name_; }
    Stage stage() const { return stage_; }

private:
    std::string name_;
    Stage stage_;
};

class VertexFunction : public ShaderFunction {
public:
    explicit VertexFunction(std::string name) : ShaderFunction(std::move(name), Stage::vertex) {}
    // The output of the vertex with index `vertexID` of the bound vertices (vertexID < vertices.size()).
    virtual VertexOut run(std::span<const Vertex> vertices, std::uint32_t vertexID) const = 0;
};

class FragmentFunction : public ShaderFunction {
public:
    explicit FragmentFunction(std::string name) : ShaderFunction(std::move(name), Stage::fragment) {}
    // Prepares one draw (per-quad tables and the like). Nothing means the draw leaves the target as
    // it is (for example when a texture it needs is not bound).
    virtual std::unique_ptr<FragmentDraw> prepareDraw(const FragmentDrawContext& context) const = 0;
    // True when every draw writes every pixel it covers; a clearing pass then skips clearing them.
    virtual bool writesEveryCoveredPixel(const FragmentDrawContext&) const { return true; }
};

// A set of shader functions looked up by name.
class Library {
public:
    Library(std::shared_ptr<ComputeDevice> device, std::vector<std::shared_ptr<const ShaderFunction>> functions)
        : device_(std::move(device)), functions_(std::move(functions)) {}
    // Nothing when there is no function of that name.
    std::shared_ptr<const ShaderFunction> makeFunction(const std::string& name) const;

private:
    std::shared_ptr<ComputeDevice> device_;
    std::vector<std::shared_ptr<const ShaderFunction>> functions_;
};

// Nothing when the device fails to build it.
std::shared_ptr<Library> makeLibrary(const std::shared_ptr<ComputeDevice>& device,
                                     std::vector<std::shared_ptr<const ShaderFunction>> functions);

struct RenderPipelineDescriptor {
    std::shared_ptr<const ShaderFunction> vertexFunction;
    std::shared_ptr<const ShaderFunction> fragmentFunction;
    TexturePixelFormat colorAttachmentPixelFormat = TexturePixelFormat::bgra8Unorm;
};

class RenderPipelineState {
public:
    RenderPipelineState(std::shared_ptr<const VertexFunction> vertexFunction,
                        std::shared_ptr<const FragmentFunction> fragmentFunction, TexturePixelFormat format)
        : vertexFunction_(std::move(vertexFunction)), fragmentFunction_(std::move(fragmentFunction)), format_(format) {}
    const VertexFunction& vertexFunction() const { return *vertexFunction_; }
    const FragmentFunction& fragmentFunction() const { return *fragmentFunction_; }
    TexturePixelFormat colorAttachmentPixelFormat() const { return format_; }

private:
    std::shared_ptr<const VertexFunction> vertexFunction_;
    std::shared_ptr<const FragmentFunction> fragmentFunction_;
    TexturePixelFormat format_;
};

struct RenderPipelineResult {
    std::shared_ptr<const RenderPipelineState> pipeline;
    std::string error;  // set when pipeline is empty
};

// Fails when a function is missing or of the wrong stage, or when the device fails.
RenderPipelineResult makeRenderPipelineState(ComputeDevice& device, const RenderPipelineDescriptor& descriptor);

enum class LoadAction { dontCare, load, clear };
enum class StoreAction { dontCare, store };

struct ClearColor {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;
};

struct RenderPassDescriptor {
    std::shared_ptr<Texture> colorTarget;
    // Colour attachment 1, for fragment functions that write two values per pixel: the size and
    // pixel format of colorTarget, loaded, cleared and stored like it.
    std::shared_ptr<Texture> secondColorTarget;
    LoadAction loadAction = LoadAction::clear;
    StoreAction storeAction = StoreAction::store;
    ClearColor clearColor;
};

enum class PrimitiveType { triangleStrip };

class CommandBuffer;

// Records the draws of one pass. Bindings persist from draw to draw, as on a GPU.
class RenderCommandEncoder {
public:
    void setRenderPipelineState(std::shared_ptr<const RenderPipelineState> pipeline);
    void setFragmentSamplerState(std::shared_ptr<const SamplerState> sampler, std::size_t index);
    void setFragmentTexture(std::shared_ptr<const Texture> texture, std::size_t index);
    // Copies up to four vertex records (`length` bytes) to vertex buffer `index` (only 0 is used).
    void setVertexBytes(const void* bytes, std::size_t length, std::size_t index);
    // Draws the bound vertices [vertexStart, vertexStart + vertexCount); only strips of 4 vertices
    // (one quad) are drawn.
    void drawPrimitives(PrimitiveType type, std::size_t vertexStart, std::size_t vertexCount);
    void endEncoding();

private:
    friend class CommandBuffer;
    struct Draw {
        std::shared_ptr<const RenderPipelineState> pipeline;
        std::shared_ptr<const SamplerState> sampler;
        std::array<std::shared_ptr<const Texture>, kMaxFragmentTextures> textures{};
        std::array<Vertex, 4> vertices{};
    };
    explicit RenderCommandEncoder(RenderPassDescriptor pass) : pass_(std::move(pass)) {}

    RenderPassDescriptor pass_;
    std::vector<Draw> draws_;
    std::shared_ptr<const RenderPipelineState> pipeline_;
    std::shared_ptr<const SamplerState> sampler_;
    std::array<std::shared_ptr<const Texture>, kMaxFragmentTextures> textures_{};
    std::array<Vertex, 4> vertices_{};
    std::size_t vertexCount_ = 0;
    bool ended_ = false;
};

class CommandBuffer {
public:
    enum class Status { notEnqueued, completed };

    // Nothing when the device's fault injection says so, when the pass has no target (or a second
    // one that differs from it in size or pixel format), or while another encoder of this buffer
    // is still open.
    std::shared_ptr<RenderCommandEncoder> makeRenderCommandEncoder(const RenderPassDescriptor& descriptor);
    // Runs every ended pass, in order, on the device's workers. Returns when they are done.
    void commit();
    // Returns at once: commit already waited for the work.
    void waitUntilCompleted() const {}
    Status status() const { return status_; }

private:
    friend class CommandQueue;
    explicit CommandBuffer(std::shared_ptr<ComputeDevice> device) : device_(std::move(device)) {}
    struct PreparedPass;
    PreparedPass preparePass(const RenderCommandEncoder& encoder);
    void runPasses(const std::vector<PreparedPass>& passes);

    std::shared_ptr<ComputeDevice> device_;
    std::vector<std::shared_ptr<RenderCommandEncoder>> encoders_;
    int encodersMade_ = 0;
    Status status_ = Status::notEnqueued;
};

class CommandQueue {
public:
    // Nothing when the device's fault injection says so.
    std::shared_ptr<CommandBuffer> makeCommandBuffer();
    const std::shared_ptr<ComputeDevice>& device() const { return device_; }

private:
    friend std::shared_ptr<CommandQueue> makeCommandQueue(const std::shared_ptr<ComputeDevice>& device);
    explicit CommandQueue(std::shared_ptr<ComputeDevice> device) : device_(std::move(device)) {}
    std::shared_ptr<ComputeDevice> device_;
};

// Nothing when the device fails to make one.
std::shared_ptr<CommandQueue> makeCommandQueue(const std::shared_ptr<ComputeDevice>& device);

}  // namespace mivodrell
