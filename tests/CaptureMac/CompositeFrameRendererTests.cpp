#include "CaptureMac/CompositeFrameRenderer.h"
#include "CaptureMac/CompositeShaders.h"
#include "CaptureMac/CompositeReference.h"
#include "Platform/Base/FourCC.h"
#include <gtest/gtest.h>
#include <cmath>
#include <cstring>
namespace mivodrell { namespace {
using Pattern = std::function<std::array<int, 3>(int x, int y)>;  // Y, Cb, Cr of texel (x, y)
// A textured picture: diagonal ramps, 8-px blocks, and chroma spanning the full range (so that
// conversions saturate in places).
std::array<int, 3> busyPattern(int x, int y) {
    const int luma = ((x * 3 + y * 5) & 255) ^ (((x / 8 + y / 8) & 1) ? 0x40 : 0);
    return {luma, (x * 9 + y) & 255, (y * 37 + x * 11) & 255};
}
std::shared_ptr<PixelBuffer> makeFrame(int width, int height, const Pattern& pattern = busyPattern, int seed = 0) {
    auto pb = PixelBuffer::create(width, height, PixelFormat::yuv420BiPlanarFullRange).buffer;
    EXPECT_TRUE(pb);
    const auto at = [&](int plane, int x, int y) {
        return pb->baseAddressOfPlane(plane) + static_cast<std::size_t>(y) * pb->bytesPerRowOfPlane(plane) + x;
    };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) *at(0, x, y) = static_cast<std::uint8_t>(pattern(x + seed, y)[0]);
    for (int y = 0; y < pb->heightOfPlane(1); ++y)
        for (int x = 0; x < pb->widthOfPlane(1); ++x) {
            const auto v = pattern(2 * x + seed, 2 * y);
            at(1, 2 * x, y)[0] = static_cast<std::uint8_t>(v[1]), at(1, 2 * x, y)[1] = static_cast<std::uint8_t>(v[2]);
        }
    return pb;
}
DisplayInfo display(std::uint32_t id, CGRect frame) { return DisplayInfo(id, frame, 1.0, id == 1, "Display"); }
const CGRect whole(0, 0, 64, 48);
const DisplayTopology oneDisplay({display(1, whole)});
// Display 1 at the origin and display 2 to its right (listed first: the order must not matter).
const DisplayTopology twoDisplays({display(2, {64, 0, 64, 48}), display(1, whole)});
struct Harness {
    explicit Harness(int workers = 1) : device(ComputeDevice::create(workers)) {
        renderer = CompositeFrameRenderer::create(device);
        EXPECT_TRUE(renderer);
        renderer->onDiagnostic = [this](const std::string& line) { diagnostics.push_back(line); };
    }
    void update(std::uint32_t id, std::shared_ptr<PixelBuffer> buffer, CGRect sourceRect, CGRect contentUV = {0, 0, 1, 1}) {
        renderer->update(id, buffer, sourceRect, contentUV);
        sources[id] = {std::move(buffer), sourceRect, contentUV};
    }
    std::shared_ptr<PixelBuffer> render(const DisplayTopology& topology, CGRect crop, CGSize size) { return renderer->render(topology, crop, size); }
    std::shared_ptr<ComputeDevice> device;
    std::unique_ptr<CompositeFrameRenderer> renderer;
    std::vector<std::string> diagnostics;
    std::map<std::uint32_t, reference::Source> sources;
};
reference::Image imageOf(const PixelBuffer& buffer) {
    return reference::fromBgra(buffer.baseAddress(), buffer.bytesPerRow(), buffer.width(), buffer.height());
}
reference::Image imageOf(const Texture& texture) {
    return reference::fromBgra(texture.data(), texture.bytesPerRow(), texture.width(), texture.height());
}
std::vector<std::uint8_t> bytesOf(const PixelBuffer& buffer) {
    std::vector<std::uint8_t> out;
    const std::size_t texel = buffer.pixelFormat() == PixelFormat::bgra ? 4 : 1;
    for (std::size_t p = 0; p < buffer.planeCount(); ++p)
        for (int y = 0; y < buffer.heightOfPlane(p); ++y) {
            const std::uint8_t* row = buffer.baseAddressOfPlane(p) + static_cast<std::size_t>(y) * buffer.bytesPerRowOfPlane(p);
            out.insert(out.end(), row, row + static_cast<std::size_t>(buffer.widthOfPlane(p)) * texel);
        }
    return out;
}
// A 'y420' buffer's plane 0 as channel 0 of an image, or planes 1 and 2 as channels 1 and 2.
reference::Image planeImage(const PixelBuffer& buffer, int plane) {
    reference::Image image(buffer.widthOfPlane(plane), buffer.heightOfPlane(plane));
    for (int p = plane; p <= 2 * plane; ++p)
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x) image.at(x, y, p) = buffer.baseAddressOfPlane(p)[static_cast<std::size_t>(y) * buffer.bytesPerRowOfPlane(p) + x];
    return image;
}
struct Comparison { double maxDiff = 0, meanDiff = 0; std::size_t uncoveredWrong = 0, compared = 0; };
// Compares with the reference, skipping pixels near quad edges (and, when given, masked ones).
Comparison compare(const reference::Image& actual, const reference::Image& expected, const std::vector<bool>* skip = nullptr,
                   const std::vector<bool>* covered = nullptr, int firstChannel = 0, int lastChannel = 3) {
    Comparison result;
    double sum = 0;
    for (int y = 0; y < expected.height; ++y) {
        for (int x = 0; x < expected.width; ++x) {
            const std::size_t index = static_cast<std::size_t>(y) * static_cast<std::size_t>(expected.width) + static_cast<std::size_t>(x);
            if (skip && (*skip)[index]) continue;
            if (covered && !(*covered)[index]) {
                for (int c = firstChannel; c <= lastChannel; ++c) result.uncoveredWrong += actual.at(x, y, c) != expected.at(x, y, c);  // black, exactly
                continue;
            }
            for (int c = firstChannel; c <= lastChannel; ++c) {
                const double d = std::fabs(actual.at(x, y, c) - expected.at(x, y, c));
                result.maxDiff = std::max(result.maxDiff, d);
                sum += d;
                ++result.compared;
            }
        }
    }
    result.meanDiff = result.compared ? sum / static_cast<double>(result.compared) : 0;
    return result;
}
// `covered`: whether any pixel is drawn (otherwise the frame must be all black). A 'y420' frame's
// luma is compared with the reference at its size, its chroma with the reference at half size.
void expectMatchesReference(Harness& h, const DisplayTopology& topology, CGRect crop, int width, int height,
                            const std::string& label, bool covered = true, std::uint32_t format = PixelFormat::bgra) {
    auto out = h.renderer->render(topology, crop, CGSize{static_cast<double>(width), static_cast<double>(height)}, format);
    ASSERT_TRUE(out && out->width() == width && out->height() == height && out->pixelFormat() == format) << label;
    const bool planar = format != PixelFormat::bgra;
    for (int plane = 0; plane < (planar ? 2 : 1); ++plane) {
        const auto ref = reference::composite(topology, crop, out->widthOfPlane(plane), out->heightOfPlane(plane), h.sources);
        const auto result = compare(planar ? planeImage(*out, plane) : imageOf(*out), planar ? ref.video : ref.image, &ref.nearEdge,
                                    &ref.covered, planar ? plane : 0, planar ? 2 * plane : 3);
        EXPECT_TRUE(result.maxDiff <= 2 && result.meanDiff < 0.5 && result.uncoveredWrong == 0 && (result.compared > 0) == covered)
            << label << " " << fourCCString(format) << ": max " << result.maxDiff << ", mean " << result.meanDiff << ", "
            << result.uncoveredWrong << " uncovered wrong of " << result.compared;
    }
}
// Display 1 shows a buffer mapped through sourceRect and contentUV; display 2, when it has delivered
// a frame, the whole of another. Black is checked exactly wherever no display is drawn.
TEST(CompositeFrameRenderer, MatchesReferenceAcrossMappings) {
    struct Case { const char* label; int bufferWidth, bufferHeight; CGRect sourceRect, contentUV, crop; int outW, outH; bool second = false; };
    const CGRect unit(0, 0, 1, 1);
    const Case cases[] = {
        {"1:1 whole display", 64, 48, whole, unit, whole, 64, 48},
        {"1:1 odd offset crop", 64, 48, whole, unit, {3, 5, 41, 29}, 41, 29},
        {"1:1 content in part of texture", 40, 30, {0, 0, 32, 24}, {0, 0, 0.8, 0.8}, whole, 64, 48},
        {"odd buffer size", 63, 47, whole, unit, whole, 63, 47},
        {"downscale 2:1", 64, 48, whole, unit, whole, 32, 24},
        {"downscale 3:2", 64, 48, whole, unit, whole, 43, 31},
        {"downscale just over 2:1", 64, 48, whole, unit, whole, 30, 22},
        {"1:1 shifted by a quarter pixel", 64, 48, whole, unit, {0.25, 0, 64, 48}, 64, 48},
        {"1:1 across, scaled down the rows", 64, 48, whole, unit, whole, 64, 52},
        {"upscale", 32, 24, whole, unit, whole, 101, 77},
        {"partial source, not stretched", 32, 24, {16, 8, 32, 24}, unit, whole, 64, 48},
        {"partial source, crop beyond display 1 and over display 2 without a frame", 32, 24, {16, 8, 32, 24}, unit, {-10, -6, 90, 70}, 90, 70},
        {"fractional crop", 64, 48, whole, unit, {2.25, 1.5, 50.3, 40.7}, 77, 53},
        {"two displays", 64, 48, whole, unit, {32, -8, 64, 64}, 64, 64, true},
        {"two displays, upscaled", 64, 48, whole, unit, {32, -8, 64, 64}, 96, 80, true},
        {"two displays, downscaled", 64, 48, whole, unit, {-16, -4, 160, 56}, 80, 28, true}};
    for (const auto& c : cases) {
        Harness h;
        h.update(1, makeFrame(c.bufferWidth, c.bufferHeight), c.sourceRect, c.contentUV);
        if (c.second) h.update(2, makeFrame(64, 48, busyPattern, 17), whole);
        for (const std::uint32_t format : {PixelFormat::bgra, PixelFormat::yuv420PlanarVideoRange})
            expectMatchesReference(h, twoDisplays, c.crop, c.outW, c.outH, c.label, true, format);
        EXPECT_TRUE(h.diagnostics.empty()) << c.label;
    }
}
TEST(CompositeFrameRenderer, BlackWhereNothingIsShown) {
    Harness h;
    h.update(1, makeFrame(64, 48), whole);
    expectMatchesReference(h, twoDisplays, {500, 500, 40, 30}, 40, 30, "a crop touching no display", false);
    expectMatchesReference(h, twoDisplays, {500, 500, 40, 30}, 40, 30, "a crop touching no display", false, PixelFormat::yuv420PlanarVideoRange);
    expectMatchesReference(h, twoDisplays, {64, 0, 64, 48}, 64, 48, "display 2 without a frame", false);
    h.renderer->remove(1);
    h.sources.erase(1);
    EXPECT_FALSE(h.renderer->hasSource(1));
    expectMatchesReference(h, twoDisplays, whole, 64, 48, "a removed display", false);
    EXPECT_TRUE(h.diagnostics.empty());
}
TEST(CompositeFrameRenderer, OutputSizeIsTheIntegerPartAtLeastTwo) {
    for (const auto& [size, w, hgt] : std::vector<std::tuple<CGSize, int, int>>{{{1, 1}, 2, 2}, {{0.5, 3.7}, 2, 3}, {{-5, 17.99}, 2, 17}, {{33.2, 2}, 33, 2}}) {
        Harness h;
        h.update(1, makeFrame(64, 48), whole);
        auto out = h.render(oneDisplay, whole, size);
        ASSERT_TRUE(out);
        EXPECT_EQ(std::tuple(out->width(), out->height(), out->pixelFormat(), out->attributes().metalCompatible), std::tuple(w, hgt, PixelFormat::bgra, true));
    }
}
TEST(CompositeFrameRenderer, FastPathsGiveTheSameBytesAsTheGeneralPath) {
    // 1:1, odd offsets, narrow slivers, 2:1 and 3:2 down, upscaling and fractional crops, each
    // with motion blur over frames that move (the larger ones with small textures wide enough for
    // whole vector blocks), then sharp and as 'y420' planes; the vector kernels on 2 and 8 workers
    // against the portable code on one.
    const DisplayTopology topology({display(1, {0, 0, 64, 48}), display(2, {64, 0, 64, 48})});
    const std::vector<std::tuple<CGRect, CGSize>> crops{
        {{0, 0, 128, 48}, {128, 48}},         {{3, 5, 101, 37}, {101, 37}}, {{61, 1, 7, 40}, {7, 40}},
        {{0, 0, 128, 48}, {64, 24}},          {{0, 0, 128, 48}, {85, 32}},  {{10, 3, 50, 30}, {173, 101}},
        {{2.5, 1.25, 120.5, 44.75}, {97, 61}}, {{0, 0, 128, 48}, {640, 240}}, {{3, 5, 101, 37}, {1008, 370}}};
    const auto moved = makeFrame(64, 48, busyPattern, 23);
    int index = 0;
    for (const auto& entry : crops) {
        const auto& [crop, size] = entry;
        std::vector<std::uint8_t> results[2];
        for (int general = 0; general < 2; ++general) {
            CompositeShaders::setFastPathsEnabled(general == 0);
            Harness h(general ? 1 : 2 + 6 * (index % 2));
            h.renderer->setMotionBlurEnabled(true);
            h.update(2, makeFrame(80, 60, busyPattern, 5), {0, 0, 64, 48}, {0, 0, 0.8, 0.8});
            const auto append = [&](std::uint32_t format = PixelFormat::bgra) {
                const auto out = h.renderer->render(topology, std::get<0>(entry), std::get<1>(entry), format);
                ASSERT_TRUE(out);
                EXPECT_EQ(out->pixelFormat(), h.renderer->motionBlurEnabled() ? PixelFormat::bgra : format);
                const auto bytes = bytesOf(*out);
                results[general].insert(results[general].end(), bytes.begin(), bytes.end());
            };
            for (const auto& frame : {makeFrame(64, 48), moved, makeFrame(64, 48)}) {
                h.update(1, frame, {0, 0, 64, 48});
                append(PixelFormat::yuv420PlanarVideoRange);  // blurred frames stay BGRA
            }
            h.renderer->setMotionBlurEnabled(false);
            append();
            append(PixelFormat::yuv420PlanarVideoRange);
        }
        CompositeShaders::setFastPathsEnabled(true);
        EXPECT_EQ(results[0], results[1]) << size.width << "x" << size.height;
        ++index;
    }
}
// Non-finite or absurd geometry never crashes; an unusable crop or output size gives no buffer.
TEST(CompositeFrameRenderer, BadGeometryDrawsWhatItCanOrGivesNoBuffer) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::string badCrop = "[CompositeFrameRenderer] cropRect 寬高不合法，跳過這次合成";
    struct Case { CGRect sourceRect, contentUV, crop; CGSize size; bool drawn; std::string diagnostic; };
    const CGRect unit(0, 0, 1, 1);
    const Case cases[] = {
        {whole, {nan, 0, 1, 1}, whole, {64, 48}, true, ""}, {{nan, 0, 64, 48}, unit, whole, {64, 48}, true, ""},
        {whole, {0, 0, inf, 1}, whole, {64, 48}, true, ""}, {whole, {1e300, -1e300, 1e300, 1}, whole, {64, 48}, true, ""},
        {whole, unit, {-inf, 0, inf, 48}, {64, 48}, true, ""}, {whole, unit, {0, 0, 1e308, 1e308}, {64, 48}, true, ""},
        {whole, unit, {64, 48, -64, -48}, {64, 48}, true, ""},  // a negative size is standardized, not refused
        {whole, unit, whole, {nan, 48}, false, "*"}, {whole, unit, whole, {64, inf}, false, "*"},
        {whole, unit, {0, 0, 0, 10}, {64, 48}, false, badCrop}, {whole, unit, {0, 0, 10, 0}, {64, 48}, false, badCrop},
        {whole, unit, {0, 0, nan, 10}, {64, 48}, false, badCrop}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.crop.size.width << " " << c.size.width << " " << c.contentUV.origin.x);
        Harness h;
        h.update(1, makeFrame(64, 48), c.sourceRect, c.contentUV);
        EXPECT_EQ(h.render(oneDisplay, c.crop, c.size) != nullptr, c.drawn);
        ASSERT_EQ(h.diagnostics.size(), c.diagnostic.empty() ? 0u : 1u);
        if (c.diagnostic.size() > 1) { EXPECT_EQ(h.diagnostics[0], c.diagnostic); }
    }
}
TEST(CompositeFrameRenderer, UpdateThatCannotWrapKeepsThePreviousFrame) {
    Harness h;
    h.update(1, makeFrame(64, 48), whole);
    auto before = h.render(oneDisplay, whole, {64, 48});
    h.renderer->update(1, PixelBuffer::create(64, 48, PixelFormat::bgra).buffer, whole, {0, 0, 1, 1});
    h.renderer->update(9, nullptr, whole, {0, 0, 1, 1});
    h.device->setFaults({.failTextureWrap = true, .textureWrapStatus = 0, .failTextureWrapPlane = 1});
    h.renderer->update(4294967295u, makeFrame(64, 48), whole, {0, 0, 1, 1});
    h.device->setFaults({});
    EXPECT_EQ(h.diagnostics, (std::vector<std::string>{"[CompositeFrameRenderer] 螢幕 1 texture 轉換失敗 luma=-6680 chroma=-6661",
                                                      "[CompositeFrameRenderer] 螢幕 9 texture 轉換失敗 luma=-6661 chroma=-6661",
                                                      "[CompositeFrameRenderer] 螢幕 4294967295 texture 轉換失敗 luma=0 chroma=0"}));
    EXPECT_FALSE(h.renderer->hasSource(9));
    auto after = h.render(oneDisplay, whole, {64, 48});
    ASSERT_TRUE(before && after);
    EXPECT_EQ(bytesOf(*before), bytesOf(*after));
}
// Each failure gives its diagnostic and no buffer; a failing motion blur stage (after a first
// blurred frame) also drops the blur history.
TEST(CompositeFrameRenderer, RenderFailuresGiveTheirDiagnostics) {
    const std::string failed = "[CompositeFrameRenderer] 建立 command buffer／encoder 失敗";
    const std::string blurFailed = "[CompositeFrameRenderer] 動態模糊後處理 encoder 建立失敗，這幀跳過";
    const std::tuple<ComputeDevice::Faults, CGSize, std::string, bool> cases[] = {
        {{}, {20000, 48}, "[CompositeFrameRenderer] 輸出 CVPixelBuffer 建立失敗", false},
        {{.failTextureWrap = true, .textureWrapStatus = -6661}, {64, 48}, "[CompositeFrameRenderer] 輸出 texture 轉換失敗 status=-6661", false},
        {{.failTextureWrap = true, .textureWrapStatus = 0}, {64, 48}, "[CompositeFrameRenderer] 輸出 texture 轉換失敗 status=0", false},
        {{.failCommandBuffer = true}, {64, 48}, failed, false}, {{.failEncoderAtIndex = 0}, {64, 48}, failed, false},
        {{.failEncoderAtIndex = 1}, {64, 48}, blurFailed, true}, {{.failEncoderAtIndex = 2}, {64, 48}, blurFailed, true},
        {{.failEncoderAtIndex = 3}, {64, 48}, blurFailed, true}};
    for (const auto& [faults, size, expected, blurred] : cases)
        for (const std::uint32_t format : {PixelFormat::bgra, PixelFormat::yuv420PlanarVideoRange}) {
            SCOPED_TRACE(expected + " " + fourCCString(format));
            Harness h;
            h.update(1, makeFrame(64, 48), whole);
            h.renderer->setMotionBlurEnabled(blurred);
            if (blurred) { ASSERT_TRUE(h.render(oneDisplay, whole, size)); }
            h.device->setFaults(faults);
            EXPECT_FALSE(h.renderer->render(oneDisplay, whole, size, format));
            EXPECT_EQ(h.diagnostics, std::vector<std::string>{expected});
            EXPECT_FALSE(h.renderer->motionBlurTextures().stateValid);
        }
}
TEST(CompositeFrameRenderer, CreationFailsWithoutItsRequiredParts) {
    EXPECT_FALSE(CompositeFrameRenderer::create(nullptr));
    const ComputeDevice::Faults required[] = {
        {.failCommandQueue = true}, {.failTextureCache = true}, {.failSampler = true}, {.failLibrary = true},
        {.missingFunctions = {"Mivodrell_compositeVertexMain"}}, {.missingFunctions = {"Mivodrell_compositeFragmentMain"}},
        {.failPipelines = true}};
    for (const auto& faults : required) {
        auto device = ComputeDevice::create(1);
        device->setFaults(faults);
        EXPECT_FALSE(CompositeFrameRenderer::create(device));
    }
    // Without a motion-blur stage the blur never engages; without a plane stage frames are BGRA.
    for (const std::string optional : {"Mivodrell_copyFragment", "Mivodrell_motionDiffFragment", "Mivodrell_motionMixFragment",
                                       "Mivodrell_compositeLumaFragment", "Mivodrell_compositeChromaFragment"}) {
        auto device = ComputeDevice::create(1);
        device->setFaults({.missingFunctions = {optional}});
        auto renderer = CompositeFrameRenderer::create(device);
        ASSERT_TRUE(renderer) << optional;
        const bool blurStage = optional.find("omposite") == std::string::npos;
        EXPECT_EQ(std::pair(renderer->motionBlurAvailable(), renderer->planarOutputAvailable()), std::pair(!blurStage, blurStage));
        device->setFaults({});
        renderer->setMotionBlurEnabled(blurStage);
        const auto out = renderer->render(DisplayTopology(), {0, 0, 10, 10}, {10, 10}, PixelFormat::yuv420PlanarVideoRange);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->pixelFormat(), blurStage ? PixelFormat::yuv420PlanarVideoRange : PixelFormat::bgra);
        EXPECT_FALSE(renderer->motionBlurTextures().smallCurrent);
    }
    EXPECT_TRUE(CompositeFrameRenderer::create(ComputeDevice::systemDefault()));
}
TEST(CompositeFrameRenderer, MotionTexturesAreOneSixteenthPerSideAtLeastFour) {
    for (const auto& [w, hgt, sw, sh] : std::vector<std::tuple<int, int, int, int>>{{79, 79, 4, 4}, {80, 64, 5, 4}, {1920, 1080, 120, 67}, {2, 2, 4, 4}}) {
        Harness h;
        h.renderer->setMotionBlurEnabled(true);
        ASSERT_TRUE(h.render(DisplayTopology(), {0, 0, 10, 10}, {static_cast<double>(w), static_cast<double>(hgt)}));
        const auto textures = h.renderer->motionBlurTextures();
        for (const auto& t : {textures.smallCurrent, textures.smallPrevious, textures.maskCurrent, textures.maskPrevious}) {
            ASSERT_TRUE(t);
            EXPECT_EQ(std::pair(t->width(), t->height()), std::pair(sw, sh)) << w << "x" << hgt;
        }
    }
}
TEST(CompositeFrameRenderer, MotionBlurStagesMatchTheReference) {
    const DisplayTopology topology({display(1, {0, 0, 320, 192})});
    Harness blurred, sharp;
    blurred.renderer->setMotionBlurEnabled(true);
    // The second frame moves a bright block over the left half and leaves the rest alone.
    const auto first = makeFrame(320, 192);
    const auto second = makeFrame(320, 192, [](int x, int y) {
        if (x >= 40 && x < 150 && y >= 30 && y < 120) return std::array<int, 3>{235, 90, 200};
        return busyPattern(x, y);
    });
    const auto third = makeFrame(320, 192);
    std::vector<reference::Image> sharpFrames, outputs;
    for (const auto& frame : {first, second, third}) {
        blurred.update(1, frame, {0, 0, 320, 192});
        sharp.update(1, frame, {0, 0, 320, 192});
        auto a = blurred.render(topology, {0, 0, 320, 192}, {320, 192});
        auto b = sharp.render(topology, {0, 0, 320, 192}, {320, 192});
        ASSERT_TRUE(a && b);
        outputs.push_back(imageOf(*a));
        sharpFrames.push_back(imageOf(*b));
        const auto textures = blurred.renderer->motionBlurTextures();
        // After the swap the "previous" textures hold this frame's small copy and mask, the
        // "current" ones the frame before's.
        const auto small = imageOf(*textures.smallPrevious);
        const auto mask = imageOf(*textures.maskPrevious);
        const auto smallBefore = imageOf(*textures.smallCurrent);
        const auto maskBefore = imageOf(*textures.maskCurrent);
        ASSERT_EQ(std::pair(small.width, small.height), std::pair(20, 12));
        EXPECT_LE(compare(small, reference::resample(sharpFrames.back(), 20, 12)).maxDiff, 1);
        if (outputs.size() == 1) {
            EXPECT_EQ(compare(outputs[0], sharpFrames[0]).maxDiff, 0);
            continue;
        }
        const auto uncertain = reference::nearThreshold(small, smallBefore, 2.0 / 255);
        EXPECT_LE(compare(mask, reference::motionMask(small, smallBefore, maskBefore), &uncertain).maxDiff, 1);
        const auto outCheck = compare(outputs.back(), reference::mix(sharpFrames.back(), small, mask));
        EXPECT_TRUE(outCheck.maxDiff <= 1 && outCheck.meanDiff < 0.5) << outCheck.maxDiff << " " << outCheck.meanDiff;
    }
    // The block moved: the second frame is blurred there but sharp far away from it.
    EXPECT_GT(compare(outputs[1], sharpFrames[1]).maxDiff, 20);
    for (int y = 150; y < 192; ++y)
        for (int x = 250; x < 320; ++x)
            for (int c = 0; c < 4; ++c) ASSERT_EQ(outputs[1].at(x, y, c), sharpFrames[1].at(x, y, c));
    // The mask fades: after the block left, the third frame is still marked there.
    const auto mask3 = imageOf(*blurred.renderer->motionBlurTextures().maskPrevious);
    EXPECT_EQ(mask3.at(5, 4, 2), 255);
    // History is dropped on a new output size and when switched off (the textures stay); switched
    // on again, there is none either. Without history a still picture is sharp, motion blurred.
    const auto same = [&](const std::shared_ptr<PixelBuffer>& frame) {
        blurred.update(1, frame, {0, 0, 320, 192});
        sharp.update(1, frame, {0, 0, 320, 192});
        auto x = blurred.render(topology, {0, 0, 320, 192}, {256, 192});
        auto y = sharp.render(topology, {0, 0, 320, 192}, {256, 192});
        EXPECT_TRUE(x && y);
        return x && y && bytesOf(*x) == bytesOf(*y);
    };
    EXPECT_TRUE(same(first));
    EXPECT_EQ(blurred.renderer->motionBlurTextures().smallCurrent->width(), 16);
    EXPECT_TRUE(same(first));
    EXPECT_FALSE(same(second));
    blurred.renderer->setMotionBlurEnabled(false);
    EXPECT_TRUE(same(first));
    EXPECT_FALSE(blurred.renderer->motionBlurTextures().stateValid);
    EXPECT_TRUE(blurred.renderer->motionBlurTextures().smallCurrent);
    blurred.renderer->setMotionBlurEnabled(true);
    EXPECT_TRUE(same(second));
    EXPECT_FALSE(same(first));
    EXPECT_TRUE(blurred.diagnostics.empty());
}
TEST(CompositeFrameRenderer, MotionBlurTexturesThatCannotBeMadeLeaveTheFrameSharpUntilTheNext) {
    Harness h, sharp;
    h.renderer->setMotionBlurEnabled(true);
    h.update(1, makeFrame(64, 48), whole);
    sharp.update(1, makeFrame(64, 48), whole);
    h.device->setFaults({.failTextureAllocation = true});
    auto out = h.render(oneDisplay, whole, {64, 48});
    ASSERT_TRUE(out);
    EXPECT_EQ(bytesOf(*out), bytesOf(*sharp.render(oneDisplay, whole, {64, 48})));
    h.device->setFaults({});
    ASSERT_TRUE(h.render(oneDisplay, whole, {64, 48}));
    EXPECT_TRUE(h.renderer->motionBlurTextures().smallCurrent);
    EXPECT_EQ(h.diagnostics, std::vector<std::string>{"[CompositeFrameRenderer] 動態模糊 texture 建立失敗，功能停用"});
}
}}  // namespace mivodrell
