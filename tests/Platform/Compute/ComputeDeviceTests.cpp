#include "Platform/Compute/ComputeDevice.h"
#include "Platform/Base/FourCC.h"
#include "Platform/Compute/QuadRasterizer.h"
#include "Platform/Compute/RenderCommands.h"
#include "Platform/Compute/Sampler.h"
#include "Platform/Compute/Texture.h"
#include <gtest/gtest.h>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
namespace mivodrell { namespace {
TEST(ComputeDevice, RunsEveryItemOnceWhateverTheWorkerCount) {
    for (int workers : {1, 2, 3, 8}) {
        auto device = ComputeDevice::create(workers);
        EXPECT_EQ(device->workerCount(), workers);
        for (int count : {0, 1, 5, 64, 1000}) {
            std::vector<std::atomic<int>> hits(static_cast<std::size_t>(count));
            device->parallelFor(count, [&](int i) { hits[static_cast<std::size_t>(i)].fetch_add(1); });
            for (const auto& h : hits) ASSERT_EQ(h.load(), 1);
        }
    }
    EXPECT_EQ(ComputeDevice::create(0)->workerCount(), 1);
    EXPECT_EQ(ComputeDevice::create(1000)->workerCount(), 64);
    EXPECT_GE(ComputeDevice::systemDefault()->workerCount(), 1);
    EXPECT_LE(ComputeDevice::systemDefault()->workerCount(), 4);
    EXPECT_EQ(ComputeDevice::systemDefault(), ComputeDevice::systemDefault());
}
TEST(ComputeDevice, SeveralSubmittersShareThePool) {
    auto device = ComputeDevice::create(4);
    std::atomic<long> total{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 50; ++round) device->parallelFor(37, [&](int i) { total.fetch_add(i); });
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(total.load(), 4L * 50 * (36 * 37 / 2));
}
VertexOut at(float x, float y, float u, float v) {
    VertexOut out;
    out.position = {x, y, 0, 1};
    out.uv = {u, v};
    return out;
}
std::array<VertexOut, 4> strip(double xL, double yT, double xR, double yB, double uL = 0, double vT = 0, double uR = 1,
                               double vB = 1) {
    const auto f = [](double d) { return static_cast<float>(d); };
    return {at(f(xL), f(yT), f(uL), f(vT)), at(f(xL), f(yB), f(uL), f(vB)), at(f(xR), f(yT), f(uR), f(vT)),
            at(f(xR), f(yB), f(uR), f(vB))};
}
TEST(QuadRasterizer, CoversPixelCentresWithTheTopLeftRule) {
    struct Case {
        double xL, yT, xR, yB;  // in window pixels on a 10 x 8 target
        int c0, c1, r0, r1;
    };
    const Case cases[] = {
        {0, 0, 10, 8, 0, 10, 0, 8},           {2.5, 1.5, 5.5, 3.5, 2, 5, 1, 3},  // centres on left/top edges are in, on
                                                                                 // right/bottom out
        {2.49, 1.49, 5.51, 3.51, 2, 6, 1, 4}, {2.51, 1.51, 5.49, 3.49, 3, 5, 2, 3}, {-5, -5, 30, 30, 0, 10, 0, 8},
        {3.2, 2, 3.4, 4, 0, 0, 0, 0},  // covers no centre
        {12, 0, 14, 8, 0, 0, 0, 0},    // off target
    };
    for (const auto& c : cases) {
        const auto q = strip(c.xL / 5 - 1, 1 - c.yT / 4, c.xR / 5 - 1, 1 - c.yB / 4);
        const auto coverage = rasterizeQuad(q, 10, 8);
        if (c.c0 == c.c1) {
            EXPECT_TRUE(coverage.isEmpty());
            continue;
        }
        EXPECT_EQ(coverage.columnBegin, c.c0) << c.xL;
        EXPECT_EQ(coverage.columnEnd, c.c1) << c.xR;
        EXPECT_EQ(coverage.rowBegin, c.r0) << c.yT;
        EXPECT_EQ(coverage.rowEnd, c.r1) << c.yB;
    }
}
TEST(QuadRasterizer, InterpolatesTextureCoordinatesAtPixelCentres) {
    const auto coverage = rasterizeQuad(strip(-1, 1, 1, -1, 0.25, 0.5, 0.75, 1.0), 8, 4);
    ASSERT_FALSE(coverage.isEmpty());
    EXPECT_DOUBLE_EQ(coverage.u(0), 0.25 + 0.5 * 0.5 / 8);
    EXPECT_DOUBLE_EQ(coverage.u(7), 0.25 + 0.5 * 7.5 / 8);
    EXPECT_DOUBLE_EQ(coverage.v(0), 0.5 + 0.5 * 0.5 / 4);
    // Mirrored texture coordinates follow their vertices.
    const auto mirrored = rasterizeQuad(strip(-1, 1, 1, -1, 1, 1, 0, 0), 8, 4);
    EXPECT_DOUBLE_EQ(mirrored.u(0), 1 - 0.5 / 8);
    EXPECT_DOUBLE_EQ(mirrored.v(3), 0.5 / 4);
}
TEST(QuadRasterizer, DiscardsWhatItCannotDraw) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    auto skewed = strip(-1, 1, 1, -1), zeroW = skewed;
    skewed[3].uv[0] = 0.5f;  // u no longer depends on x alone
    zeroW[0].position[3] = 0;
    const std::pair<std::array<VertexOut, 4>, int> cases[] = {
        {strip(nan, 1, 1, -1), 8}, {strip(-1, 1, inf, -1), 8}, {strip(-1, 1, 1, -1, nan), 8},
        {strip(0, 1, 0, -1), 8},   {strip(-1, 1, 1, -1), 0},   {skewed, 8}, {zeroW, 8}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_TRUE(rasterizeQuad(cases[i].first, cases[i].second, 8).isEmpty()) << "case " << i;
    }
}
TEST(Sampler, TapsSitAtTexelCentresAndClampToTheEdge) {
    SamplerDescriptor linear;
    linear.minFilter = linear.magFilter = SamplerMinMagFilter::linear;
    const SamplerState s(linear);
    const std::uint32_t half = kSampleWeightOne / 2;
    struct Case { double u; int size; SampleTap expected; };
    const Case cases[] = {
        {0.5 / 8, 8, {0, 0}},     // texel centre
        {1.0 / 8, 8, {0, half}},  // between texels 0 and 1
        {0.0, 8, {0, 0}},         // clamped to the edge texel
        {-3.0, 8, {0, 0}}, {1.0, 8, {7, 0}}, {7.9 / 8, 8, {7, 0}}, {1e300, 8, {7, 0}}, {0.3, 1, {0, 0}},
        {std::nan(""), 8, {0, 0}}, {(3.5 + 1e-5) / 8, 8, {3, 0}},  // within 1/512 texel of a centre: snaps
        {(3.75 + 1e-4) / 8, 8, {3, kSampleWeightOne / 4}}, {(3.5 + 0.1) / 8, 8, {3, 6554}}};
    for (const auto& c : cases) EXPECT_EQ(s.tap(c.u, c.size), c.expected) << c.u;
    const SamplerState nearest(SamplerDescriptor{});
    EXPECT_EQ(nearest.tap(0.99 / 8, 8), (SampleTap{0, 0}));
    EXPECT_EQ(nearest.tap(1.01 / 8, 8), (SampleTap{1, 0}));
    EXPECT_EQ(nearest.tap(2.0, 8), (SampleTap{7, 0}));
}
TEST(TextureCache, WrapsPlanesWithoutCopyingAndRefusesMismatches) {
    auto device = ComputeDevice::create(1);
    auto cache = TextureCache::create(device);
    ASSERT_TRUE(cache);
    auto nv12 = PixelBuffer::create(6, 5, PixelFormat::yuv420BiPlanarFullRange).buffer;
    auto bgra = PixelBuffer::create(6, 5, PixelFormat::bgra).buffer;
    auto luma = cache->createTextureFromImage(nv12, TexturePixelFormat::r8Unorm, 6, 5, 0);
    ASSERT_EQ(luma.status, TextureCache::statusSuccess);
    EXPECT_EQ(luma.texture->data(), nv12->baseAddressOfPlane(0));
    EXPECT_EQ(luma.texture->bytesPerRow(), nv12->bytesPerRowOfPlane(0));
    auto chroma = cache->createTextureFromImage(nv12, TexturePixelFormat::rg8Unorm, 3, 3, 1);
    ASSERT_EQ(chroma.status, TextureCache::statusSuccess);
    EXPECT_EQ(chroma.texture->data(), nv12->baseAddressOfPlane(1));
    struct Case { std::shared_ptr<PixelBuffer> buffer; TexturePixelFormat format; int w, h, plane, status; };
    const Case refused[] = {
        {nullptr, TexturePixelFormat::r8Unorm, 6, 5, 0, TextureCache::statusInvalidArgument},
        {nv12, TexturePixelFormat::r8Unorm, 6, 5, 2, TextureCache::statusInvalidArgument},
        {nv12, TexturePixelFormat::rg8Unorm, 6, 5, 0, TextureCache::statusInvalidPixelFormat},
        {bgra, TexturePixelFormat::r8Unorm, 6, 5, 0, TextureCache::statusInvalidPixelFormat},
        {nv12, TexturePixelFormat::rg8Unorm, 4, 3, 1, TextureCache::statusInvalidSize},
        {PixelBuffer::create(6, 5, PixelFormat::yuv420PlanarVideoRange).buffer, TexturePixelFormat::rg8Unorm, 3, 3, 2, TextureCache::statusInvalidPixelFormat},
        {bgra, TexturePixelFormat::bgra8Unorm, 0, 5, 0, TextureCache::statusInvalidSize}};
    for (const auto& c : refused) {
        EXPECT_EQ(cache->createTextureFromImage(c.buffer, c.format, c.w, c.h, c.plane).status, c.status) << c.status;
    }
    // The texture keeps the buffer alive.
    auto view = cache->createTextureFromImage(bgra, TexturePixelFormat::bgra8Unorm, 6, 5, 0).texture;
    const std::uint8_t* data = bgra->baseAddress();
    bgra.reset();
    EXPECT_EQ(view->data(), data);
    EXPECT_FALSE(Texture::allocate(TexturePixelFormat::bgra8Unorm, 0, 4));
    EXPECT_FALSE(Texture::allocate(TexturePixelFormat::bgra8Unorm, 4, 16385));
    auto owned = Texture::allocate(TexturePixelFormat::rg8Unorm, 3, 2);
    ASSERT_TRUE(owned);
    EXPECT_EQ(owned->bytesPerRow() % 64, 0u);
}
// A fragment function that fills its quad with a constant texel, for testing passes.
class FillFragment final : public FragmentFunction {
public:
    FillFragment(std::string name, std::uint8_t value) : FragmentFunction(std::move(name)), value_(value) {}
    std::unique_ptr<FragmentDraw> prepareDraw(const FragmentDrawContext& context) const override {
        struct Draw final : FragmentDraw {
            Texture* target;
            QuadCoverage coverage;
            std::uint8_t value;
            void shadeRows(int rowBegin, int rowEnd) const override {
                for (int y = rowBegin; y < rowEnd; ++y) {
                    for (int x = coverage.columnBegin; x < coverage.columnEnd; ++x) target->row(y)[x] = value;
                }
            }
        };
        auto draw = std::make_unique<Draw>();
        draw->target = context.target;
        draw->coverage = context.coverage;
        draw->value = value_;
        return draw;
    }
private:
    std::uint8_t value_;
};
class PassThroughVertex final : public VertexFunction {
public:
    PassThroughVertex() : VertexFunction("vertex") {}
    VertexOut run(std::span<const Vertex> vertices, std::uint32_t id) const override {
        return at(vertices[id].x, vertices[id].y, vertices[id].u, vertices[id].v);
    }
};
TEST(RenderCommands, PassesClearAndDrawInOrderWhateverTheWorkerCount) {
    std::vector<std::vector<std::uint8_t>> results;
    for (int workers : {1, 3}) {
        auto device = ComputeDevice::create(workers);
        auto library =
            makeLibrary(device, {std::make_shared<PassThroughVertex>(), std::make_shared<FillFragment>("a", 10),
                                 std::make_shared<FillFragment>("b", 20)});
        ASSERT_TRUE(library);
        EXPECT_FALSE(library->makeFunction("missing"));
        RenderPipelineDescriptor descriptor{library->makeFunction("vertex"), library->makeFunction("a"),
                                            TexturePixelFormat::r8Unorm};
        auto a = makeRenderPipelineState(*device, descriptor).pipeline;
        descriptor.fragmentFunction = library->makeFunction("b");
        auto b = makeRenderPipelineState(*device, descriptor).pipeline;
        descriptor.fragmentFunction = library->makeFunction("vertex");
        EXPECT_FALSE(makeRenderPipelineState(*device, descriptor).pipeline);
        ASSERT_TRUE(a && b);
        auto target = makeTexture(*device, TexturePixelFormat::r8Unorm, 40, 37);
        std::memset(target->data(), 99, target->bytesPerRow() * 37);
        auto queue = makeCommandQueue(device);
        auto buffer = queue->makeCommandBuffer();
        RenderPassDescriptor pass;
        pass.colorTarget = target;
        pass.clearColor = {0.5, 0, 0, 1};
        auto encoder = buffer->makeRenderCommandEncoder(pass);
        ASSERT_TRUE(encoder);
        EXPECT_FALSE(buffer->makeRenderCommandEncoder(pass));  // one open encoder at a time
        const std::array<Vertex, 4> left{{{-1, 1, 0, 0}, {-1, -1, 0, 1}, {0.5f, 1, 1, 0}, {0.5f, -1, 1, 1}}};
        const std::array<Vertex, 4> middle{
            {{-0.5f, 0.5f, 0, 0}, {-0.5f, -0.5f, 0, 1}, {0, 0.5f, 1, 0}, {0, -0.5f, 1, 1}}};
        encoder->setRenderPipelineState(a);
        encoder->setVertexBytes(left.data(), sizeof(left), 0);
        encoder->drawPrimitives(PrimitiveType::triangleStrip, 0, 4);
        encoder->setRenderPipelineState(b);
        encoder->setVertexBytes(middle.data(), sizeof(middle), 0);
        encoder->drawPrimitives(PrimitiveType::triangleStrip, 0, 4);
        encoder->endEncoding();
        buffer->commit();
        buffer->waitUntilCompleted();
        EXPECT_EQ(buffer->status(), CommandBuffer::Status::completed);
        std::vector<std::uint8_t> bytes;
        for (int y = 0; y < 37; ++y) bytes.insert(bytes.end(), target->row(y), target->row(y) + 40);
        EXPECT_EQ(bytes[0], 10);             // first quad
        EXPECT_EQ(bytes[39], 128);           // cleared
        EXPECT_EQ(bytes[18 * 40 + 15], 20);  // later quad on top
        EXPECT_EQ(bytes[36 * 40 + 29], 10);
        EXPECT_EQ(bytes[36 * 40 + 30], 128);
        results.push_back(bytes);
    }
    EXPECT_EQ(results[0], results[1]);
}
TEST(RenderCommands, FaultInjection) {
    auto device = ComputeDevice::create(1);
    device->setFaults({.failCommandQueue = true});
    EXPECT_FALSE(makeCommandQueue(device));
    device->setFaults({.failEncoderAtIndex = 1});
    auto queue = makeCommandQueue(device);
    auto buffer = queue->makeCommandBuffer();
    RenderPassDescriptor pass;
    pass.colorTarget = makeTexture(*device, TexturePixelFormat::bgra8Unorm, 4, 4);
    auto first = buffer->makeRenderCommandEncoder(pass);
    ASSERT_TRUE(first);
    first->endEncoding();
    EXPECT_FALSE(buffer->makeRenderCommandEncoder(pass));
    EXPECT_TRUE(buffer->makeRenderCommandEncoder(pass));
    EXPECT_FALSE(buffer->makeRenderCommandEncoder(RenderPassDescriptor{}));
    pass.secondColorTarget = makeTexture(*device, TexturePixelFormat::bgra8Unorm, 4, 5);  // another size
    EXPECT_FALSE(queue->makeCommandBuffer()->makeRenderCommandEncoder(pass));
    device->setFaults({.failCommandBuffer = true, .failTextureAllocation = true, .failSampler = true});
    EXPECT_FALSE(queue->makeCommandBuffer());
    EXPECT_FALSE(makeTexture(*device, TexturePixelFormat::bgra8Unorm, 4, 4));
    EXPECT_FALSE(makeSamplerState(*device, SamplerDescriptor{}));
}
}}  // namespace mivodrell
