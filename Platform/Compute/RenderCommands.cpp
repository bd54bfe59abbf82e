#include "Platform/Compute/RenderCommands.h"

#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace mivodrell {

namespace {

// Rows shaded by one worker at a time: at most 16, fewer for small targets so that every worker
// gets some. The split never changes what is drawn.
int bandRows(int height, int workers) { return std::clamp(height / (4 * workers), 1, 16); }

// Passes that write and read fewer pixels than this are shaded on the committing thread alone:
// handing them to the workers costs more than it saves.
constexpr long long kSmallPassPixels = 65536;

std::uint8_t unormByte(double value) {
    return static_cast<std::uint8_t>(roundClamped<int>(std::clamp(value, 0.0, 1.0) * 255.0, 0));
}

// The texel of the clear colour in the target's layout.
std::array<std::uint8_t, 4> clearTexel(const ClearColor& color, TexturePixelFormat format) {
    switch (format) {
        case TexturePixelFormat::r8Unorm:
            return {unormByte(color.red), 0, 0, 0};
        case TexturePixelFormat::rg8Unorm:
            return {unormByte(color.red), unormByte(color.green), 0, 0};
        case TexturePixelFormat::bgra8Unorm:
            return {unormByte(color.blue), unormByte(color.green), unormByte(color.red), unormByte(color.alpha)};
    }
    return {0, 0, 0, 0};
}

void fillTexels(std::uint8_t* row, int begin, int end, int texelBytes, const std::array<std::uint8_t, 4>& texel) {
    if (begin >= end) return;
    if (texelBytes == 4) {
        std::uint32_t pattern;
        std::memcpy(&pattern, texel.data(), 4);
        auto* p = reinterpret_cast<std::uint32_t*>(row) + begin;
        std::fill(p, p + (end - begin), pattern);
    } else if (texelBytes == 1) {
        std::memset(row + begin, texel[0], static_cast<std::size_t>(end - begin));
    } else {
        for (int i = begin; i < end; ++i) {
            std::memcpy(row + static_cast<std::size_t>(i) * static_cast<std::size_t>(texelBytes), texel.data(),
                        static_cast<std::size_t>(texelBytes));
        }
    }
}

}  // namespace

std::shared_ptr<const ShaderFunction> Library::makeFunction(const std::string& name) const {
    if (device_ && device_->faults().missingFunctions.count(name) != 0) return nullptr;
    for (const auto& function : functions_) {
        if (function && function->name() == name) return function;
    }
    return nullptr;
}

std::shared_ptr<Library> makeLibrary(const std::shared_ptr<ComputeDevice>& device,
                                     std::vector<std::shared_ptr<const ShaderFunction>> functions) {
    if (!device || device->faults().failLibrary) return nullptr;
    return std::make_shared<Library>(device, std::move(functions));
}

RenderPipelineResult makeRenderPipelineState(ComputeDevice& device, const RenderPipelineDescriptor& descriptor) {
    if (device.faults().failPipelines) return {nullptr, "the device could not build the pipeline"};
    auto vertex = std::dynamic_pointer_cast<const VertexFunction>(descriptor.vertexFunction);
    auto fragment = std::dynamic_pointer_cast<const FragmentFunction>(descriptor.fragmentFunction);
    if (!vertex) return {nullptr, "no vertex function"};
    if (!fragment) return {nullptr, "no fragment function"};
    return {std::make_shared<RenderPipelineState>(std::move(vertex), std::move(fragment),
                                                  descriptor.colorAttachmentPixelFormat),
            {}};
}

void RenderCommandEncoder::setRenderPipelineState(std::shared_ptr<const RenderPipelineState> pipeline) {
    pipeline_ = std::move(pipeline);
}

void RenderCommandEncoder::setFragmentSamplerState(std::shared_ptr<const SamplerState> sampler, std::size_t index) {
    if (index == 0) sampler_ = std::move(sampler);
}

void RenderCommandEncoder::setFragmentTexture(std::shared_ptr<const Texture> texture, std::size_t index) {
    if (index < textures_.size()) textures_[index] = std::move(texture);
}

void RenderCommandEncoder::setVertexBytes(const void* bytes, std::size_t length, std::size_t index) {
    if (index != 0 || !bytes) return;
    vertexCount_ = std::min(length / sizeof(Vertex), vertices_.size());
    std::memcpy(vertices_.data(), bytes, vertexCount_ * sizeof(Vertex));
}

void RenderCommandEncoder::drawPrimitives(PrimitiveType, std::size_t vertexStart, std::size_t vertexCount) {
    if (ended_ || vertexStart != 0 || vertexCount != 4 || vertexCount_ < 4) return;
    draws_.push_back({pipeline_, sampler_, textures_, vertices_});
}

void RenderCommandEncoder::endEncoding() { ended_ = true; }

std::shared_ptr<RenderCommandEncoder> CommandBuffer::makeRenderCommandEncoder(const RenderPassDescriptor& descriptor) {
    const int index = encodersMade_++;
    if (device_->faults().failEncoderAtIndex == index) return nullptr;
    if (!descriptor.colorTarget || status_ != Status::notEnqueued) return nullptr;
    if (const auto& second = descriptor.secondColorTarget;
        second && (second->width() != descriptor.colorTarget->width() ||
                   second->height() != descriptor.colorTarget->height() ||
                   second->pixelFormat() != descriptor.colorTarget->pixelFormat())) {
        return nullptr;
    }
    if (!encoders_.empty() && !encoders_.back()->ended_) return nullptr;
    std::shared_ptr<RenderCommandEncoder> encoder(new RenderCommandEncoder(descriptor));
    encoders_.push_back(encoder);
    return encoder;
}

namespace {

// The bytes a texture occupies.
struct MemorySpan {
    const std::uint8_t* begin = nullptr;
    const std::uint8_t* end = nullptr;
    bool overlaps(const MemorySpan& other) const { return begin < other.end && other.begin < end; }
};

MemorySpan memoryOf(const Texture& texture) {
    const std::uint8_t* begin = texture.data();
    return {begin, begin + texture.bytesPerRow() * static_cast<std::size_t>(texture.height() - 1) +
                       static_cast<std::size_t>(texture.width() * bytesPerTexel(texture.pixelFormat()))};
}

// The memory a pass writes (its targets) and reads (every texture its draws bind).
struct PassMemory {
    std::vector<MemorySpan> reads, writes;

    // Whether the two can run at the same time: neither writes what the other touches.
    bool independentOf(const PassMemory& other) const {
        const auto any = [](const std::vector<MemorySpan>& a, const std::vector<MemorySpan>& b) {
            return std::any_of(a.begin(), a.end(), [&](const MemorySpan& x) {
                return std::any_of(b.begin(), b.end(), [&](const MemorySpan& y) { return x.overlaps(y); });
            });
        };
        return !any(writes, other.writes) && !any(writes, other.reads) && !any(reads, other.writes);
    }
};

}  // namespace

// One pass, ready to shade band by band.
struct CommandBuffer::PreparedPass {
    struct Draw {
        std::unique_ptr<FragmentDraw> work;
        QuadCoverage coverage;
        bool writesEveryCoveredPixel = true;
    };
    Texture* target = nullptr;
    Texture* secondTarget = nullptr;
    std::vector<Draw> draws;
    bool clears = false;
    std::array<std::uint8_t, 4> texel{};
    int rowsPerBand = 1;
    int bands = 0;
    long long pixels = 0;  // written or read by the largest texture

    void shadeBand(int band) const {
        const int width = target->width();
        const int rowBegin = band * rowsPerBand;
        const int rowEnd = std::min(target->height(), rowBegin + rowsPerBand);
        const int texelBytes = bytesPerTexel(target->pixelFormat());
        if (clears) {
            // Clear what no draw is about to overwrite; the result equals clearing everything first.
            // Reused from band to band: no allocation per band.
            thread_local std::vector<std::pair<int, int>> spans;
            for (int row = rowBegin; row < rowEnd; ++row) {
                spans.clear();
                for (const auto& d : draws) {
                    if (d.writesEveryCoveredPixel && row >= d.coverage.rowBegin && row < d.coverage.rowEnd) {
                        spans.emplace_back(d.coverage.columnBegin, d.coverage.columnEnd);
                    }
                }
                std::sort(spans.begin(), spans.end());
                for (Texture* attachment : {target, secondTarget}) {
                    if (!attachment) continue;
                    int cursor = 0;
                    for (const auto& [begin, end] : spans) {
                        if (begin > cursor) fillTexels(attachment->row(row), cursor, begin, texelBytes, texel);
                        cursor = std::max(cursor, end);
                    }
                    fillTexels(attachment->row(row), cursor, width, texelBytes, texel);
                }
            }
        }
        for (const auto& d : draws) {
            const int from = std::max(rowBegin, d.coverage.rowBegin);
            const int to = std::min(rowEnd, d.coverage.rowEnd);
            if (from < to) d.work->shadeRows(from, to);
        }
    }
};

void CommandBuffer::commit() {
    if (status_ != Status::notEnqueued) return;
    // Consecutive passes that touch none of each other's memory run as one parallel job, as a GPU
    // overlaps independent passes; a pass that reads or writes what an earlier one writes waits.
    // A pass is prepared only once the passes it depends on have run.
    std::vector<PreparedPass> group;
    std::vector<PassMemory> groupMemory;
    for (const auto& encoder : encoders_) {
        if (!encoder->ended_) continue;
        PassMemory memory;
        memory.writes.push_back(memoryOf(*encoder->pass_.colorTarget));
        if (encoder->pass_.secondColorTarget) memory.writes.push_back(memoryOf(*encoder->pass_.secondColorTarget));
        for (const auto& draw : encoder->draws_) {
            for (const auto& texture : draw.textures) {
                if (texture) memory.reads.push_back(memoryOf(*texture));
            }
        }
        if (!std::all_of(groupMemory.begin(), groupMemory.end(),
                         [&](const PassMemory& earlier) { return memory.independentOf(earlier); })) {
            runPasses(group);
            group.clear();
            groupMemory.clear();
        }
        group.push_back(preparePass(*encoder));
        groupMemory.push_back(std::move(memory));
    }
    runPasses(group);
    encoders_.clear();
    status_ = Status::completed;
}

CommandBuffer::PreparedPass CommandBuffer::preparePass(const RenderCommandEncoder& encoder) {
    PreparedPass pass;
    Texture& target = *encoder.pass_.colorTarget;
    const int width = target.width();
    const int height = target.height();
    pass.target = &target;
    pass.secondTarget = encoder.pass_.secondColorTarget.get();
    pass.pixels = static_cast<long long>(width) * height;

    for (const auto& draw : encoder.draws_) {
        if (!draw.pipeline || draw.pipeline->colorAttachmentPixelFormat() != target.pixelFormat()) continue;
        std::array<VertexOut, 4> outputs;
        for (std::uint32_t k = 0; k < 4; ++k) {
            outputs[k] = draw.pipeline->vertexFunction().run(std::span<const Vertex>(draw.vertices), k);
        }
        const QuadCoverage coverage = rasterizeQuad(outputs, width, height);
        if (coverage.isEmpty()) continue;
        FragmentDrawContext context;
        context.target = &target;
        context.secondTarget = pass.secondTarget;
        for (std::size_t t = 0; t < kMaxFragmentTextures; ++t) context.textures[t] = draw.textures[t].get();
        context.sampler = draw.sampler.get();
        context.coverage = coverage;
        const FragmentFunction& fragment = draw.pipeline->fragmentFunction();
        auto work = fragment.prepareDraw(context);
        if (!work) continue;
        for (const Texture* texture : context.textures) {
            if (texture) pass.pixels = std::max(pass.pixels, static_cast<long long>(texture->width()) * texture->height());
        }
        pass.draws.push_back({std::move(work), coverage, fragment.writesEveryCoveredPixel(context)});
    }

    pass.clears = encoder.pass_.loadAction == LoadAction::clear;
    pass.texel = clearTexel(encoder.pass_.clearColor, target.pixelFormat());
    pass.rowsPerBand = bandRows(height, device_->workerCount());
    pass.bands = pass.draws.empty() && !pass.clears ? 0 : (height + pass.rowsPerBand - 1) / pass.rowsPerBand;
    return pass;
}

void CommandBuffer::runPasses(const std::vector<PreparedPass>& passes) {
    int bands = 0;
    long long pixels = 0;
    for (const auto& pass : passes) {
        bands += pass.bands;
        pixels += pass.pixels;
    }
    const auto shade = [&](int band) {
        for (const auto& pass : passes) {
            if (band < pass.bands) return pass.shadeBand(band);
            band -= pass.bands;
        }
    };
    if (pixels < kSmallPassPixels) {
        for (int band = 0; band < bands; ++band) shade(band);
    } else {
        device_->parallelFor(bands, shade);
    }
}

std::shared_ptr<CommandBuffer> CommandQueue::makeCommandBuffer() {
    if (device_->faults().failCommandBuffer) return nullptr;
    return std::shared_ptr<CommandBuffer>(new CommandBuffer(device_));
}

std::shared_ptr<CommandQueue> makeCommandQueue(const std::shared_ptr<ComputeDevice>& device) {
    if (!device || device->faults().failCommandQueue) return nullptr;
    return std::shared_ptr<CommandQueue>(new CommandQueue(device));
}

}  // namespace mivodrell
