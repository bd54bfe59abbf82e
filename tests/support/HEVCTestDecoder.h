#pragma once
// Test helpers for encoded video: libavcodec's HEVC decoder (an implementation independent of
// ours), NAL unit splitting, a plain double-precision BT.709 reference conversion, PSNR, and a
// plain moving test pattern.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}
#include "Platform/Base/FourCC.h"
#include "Platform/Media/PixelBuffer.h"
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <tuple>
#include <vector>
namespace mivodrell::testing {
struct YUVPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> y, u, v;  // tightly packed planes, chroma (w+1)/2 x (h+1)/2
};
struct DecodedPicture : YUVPicture {
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
    AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    bool keyFrame = false;
};
// NAL units of a frame whose units each stand behind a big-endian length field of `lengthSize`
// bytes; nothing when the lengths do not exactly cover the bytes.
inline std::optional<std::vector<std::span<const std::uint8_t>>> splitNALUnits(std::span<const std::uint8_t> bytes,
                                                                               int lengthSize = 4) {
    std::vector<std::span<const std::uint8_t>> units;
    std::size_t pos = 0;
    const auto n = static_cast<std::size_t>(lengthSize);
    while (pos < bytes.size()) {
        if (bytes.size() - pos < n) return std::nullopt;
        std::size_t length = 0;
        for (std::size_t i = 0; i < n; ++i) length = (length << 8) | bytes[pos + i];
        pos += n;
        if (length == 0 || bytes.size() - pos < length) return std::nullopt;
        units.push_back(bytes.subspan(pos, length));
        pos += length;
    }
    return units;
}
inline int nalUnitType(std::span<const std::uint8_t> unit) { return unit.empty() ? -1 : (unit[0] >> 1) & 0x3F; }
class HEVCTestDecoder {
public:
    explicit HEVCTestDecoder(std::vector<std::vector<std::uint8_t>> parameterSets)
        : parameterSets_(std::move(parameterSets)) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
        if (!codec) throw std::runtime_error("no HEVC decoder");
        context_ = avcodec_alloc_context3(codec);
        context_->thread_count = 1;
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        if (avcodec_open2(context_, codec, nullptr) < 0) throw std::runtime_error("cannot open HEVC decoder");
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~HEVCTestDecoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&context_);
    }
    // general_level_idc of the stream (30 x the level), once a frame was decoded.
    int level() const { return context_->level; }

    HEVCTestDecoder(const HEVCTestDecoder&) = delete;
    HEVCTestDecoder& operator=(const HEVCTestDecoder&) = delete;
    // Decodes one frame given as length-prefixed NAL units; the parameter sets go in front of the
    // first one. Returns the pictures the decoder gave back for it. Throws on malformed input or
    // a decoder error.
    std::vector<DecodedPicture> decode(std::span<const std::uint8_t> frame, int lengthSize = 4) {
        auto units = splitNALUnits(frame, lengthSize);
        if (!units) throw std::runtime_error("malformed length-prefixed frame");
        std::vector<std::uint8_t> annexB;
        auto append = [&](std::span<const std::uint8_t> unit) {
            static constexpr std::uint8_t startCode[] = {0, 0, 0, 1};
            annexB.insert(annexB.end(), std::begin(startCode), std::end(startCode));
            annexB.insert(annexB.end(), unit.begin(), unit.end());
        };
        if (!sentParameterSets_) {
            for (const auto& set : parameterSets_) append(set);
            sentParameterSets_ = true;
        }
        for (auto unit : *units) append(unit);
        if (av_new_packet(packet_, static_cast<int>(annexB.size())) < 0) throw std::runtime_error("packet");
        std::memcpy(packet_->data, annexB.data(), annexB.size());
        const int sent = avcodec_send_packet(context_, packet_);
        av_packet_unref(packet_);
        if (sent < 0) throw std::runtime_error("decoder refused the packet");
        return receive();
    }
    std::vector<DecodedPicture> flush() {
        avcodec_send_packet(context_, nullptr);
        return receive();
    }
private:
    std::vector<DecodedPicture> receive() {
        std::vector<DecodedPicture> pictures;
        for (;;) {
            const int r = avcodec_receive_frame(context_, frame_);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
            if (r < 0) throw std::runtime_error("decoder error");
            DecodedPicture p;
            std::tie(p.width, p.height, p.primaries, p.transfer, p.matrix, p.range, p.format, p.keyFrame) =
                std::tuple(frame_->width, frame_->height, frame_->color_primaries, frame_->color_trc, frame_->colorspace,
                           frame_->color_range, static_cast<AVPixelFormat>(frame_->format), frame_->key_frame != 0);
            const int cw = (p.width + 1) / 2, ch = (p.height + 1) / 2;
            auto copyPlane = [&](int plane, int w, int h, std::vector<std::uint8_t>& out) {
                out.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
                for (int row = 0; row < h; ++row) {
                    std::memcpy(out.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(w),
                                frame_->data[plane] + static_cast<std::ptrdiff_t>(row) * frame_->linesize[plane],
                                static_cast<std::size_t>(w));
                }
            };
            if (p.format == AV_PIX_FMT_YUV420P) {
                copyPlane(0, p.width, p.height, p.y);
                copyPlane(1, cw, ch, p.u);
                copyPlane(2, cw, ch, p.v);
            }
            pictures.push_back(std::move(p));
            av_frame_unref(frame_);
        }
        return pictures;
    }
    std::vector<std::vector<std::uint8_t>> parameterSets_;
    bool sentParameterSets_ = false;
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
};
// BT.709 video-range (or full-range) conversion in double precision, chroma from the mean of
// each 2x2 block (a lone last row or column counts its pixels twice).
inline YUVPicture referenceI420(const PixelBuffer& bgra, bool fullRange = false) {
    YUVPicture out{bgra.width(), bgra.height(), {}, {}, {}};
    const int w = out.width, h = out.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
    out.y.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    out.u.resize(static_cast<std::size_t>(cw) * static_cast<std::size_t>(ch));
    out.v.resize(out.u.size());
    const double kr = 0.2126, kb = 0.0722, kg = 1 - kr - kb;
    const double lumaOffset = fullRange ? 0 : 16, lumaScale = fullRange ? 1 : 219.0 / 255;
    const double chromaScale = fullRange ? 1 : 224.0 / 255;
    auto row = [&](int y) { return bgra.baseAddress() + static_cast<std::size_t>(y) * bgra.bytesPerRow(); };
    auto toByte = [](double v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)); };
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* p = row(y);
        std::uint8_t* dst = out.y.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
        for (int x = 0; x < w; ++x, p += 4) dst[x] = toByte(lumaOffset + (kr * p[2] + kg * p[1] + kb * p[0]) * lumaScale);
    }
    for (int cy = 0; cy < ch; ++cy) {
        const std::uint8_t* r0 = row(2 * cy);
        const std::uint8_t* r1 = row(std::min(2 * cy + 1, h - 1));
        for (int cx = 0; cx < cw; ++cx) {
            const std::size_t x0 = static_cast<std::size_t>(2 * cx) * 4;
            const std::size_t x1 = static_cast<std::size_t>(std::min(2 * cx + 1, w - 1)) * 4;
            auto mean = [&](int c) {
                const auto k = static_cast<std::size_t>(c);
                return (double(r0[x0 + k]) + r0[x1 + k] + r1[x0 + k] + r1[x1 + k]) / 4;
            };
            const double b = mean(0), g = mean(1), r = mean(2);
            const double luma = kr * r + kg * g + kb * b;
            const std::size_t i = static_cast<std::size_t>(cy) * static_cast<std::size_t>(cw) + static_cast<std::size_t>(cx);
            out.u[i] = toByte(128 + (b - luma) / (2 * (1 - kb)) * chromaScale);
            out.v[i] = toByte(128 + (r - luma) / (2 * (1 - kr)) * chromaScale);
        }
    }
    return out;
}
// PSNR over all three planes together (each sample counted once), in dB; 100 for identical.
inline double psnr(const YUVPicture& a, const YUVPicture& b) {
    double sum = 0;
    std::size_t count = 0;
    auto add = [&](const std::vector<std::uint8_t>& p, const std::vector<std::uint8_t>& q) {
        const std::size_t n = std::min(p.size(), q.size());
        for (std::size_t i = 0; i < n; ++i) {
            const double d = double(p[i]) - double(q[i]);
            sum += d * d;
        }
        count += n;
    };
    add(a.y, b.y), add(a.u, b.u), add(a.v, b.v);
    if (count == 0) return 0;
    const double mse = sum / double(count);
    return mse <= 0 ? 100.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}
// A 'BGRA' test frame drawn without the engine: a vertical gradient, a bar that sweeps across the
// frame once per second of `time`, and 6 x 6 cells of hashed colour, each drawn with probability
// `noiseDensity` (a new set each frame). A pure function of its arguments.
inline std::shared_ptr<PixelBuffer> makeTestFrame(int width, int height, double time, double noiseDensity) {
    auto created = PixelBuffer::create(width, height, PixelFormat::bgra);
    if (!created.buffer) throw std::runtime_error("test frame: pixel buffer creation failed");
    PixelBuffer& frame = *created.buffer;
    const double phase = time - std::floor(time);
    const int barLeft = static_cast<int>(phase * width), barWidth = std::max(1, width / 10);
    const auto frameSeed = static_cast<std::uint64_t>(std::llround(time * 1000.0)) * 0x9E3779B97F4A7C15ull;
    auto hash = [](std::uint64_t x) {
        x ^= x >> 33; x *= 0xff51afd7ed558ccdull; x ^= x >> 33; x *= 0xc4ceb9fe1a85ec53ull; x ^= x >> 33;
        return x;
    };
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = frame.baseAddress() + std::size_t(y) * frame.bytesPerRow();
        for (int x = 0; x < width; ++x) {
            std::uint8_t b = std::uint8_t(40 + 150 * y / std::max(1, height)), g = 60, r = 90;
            if (x >= barLeft && x < barLeft + barWidth) b = g = r = 235;
            const std::uint64_t cell = hash(frameSeed ^ (std::uint64_t(y / 6) << 32) ^ std::uint64_t(x / 6));
            if (double(cell >> 11) * 0x1.0p-53 < noiseDensity) {
                b = std::uint8_t(cell); g = std::uint8_t(cell >> 8); r = std::uint8_t(cell >> 16);
            }
            std::uint8_t* p = row + 4 * x;
            p[0] = b; p[1] = g; p[2] = r; p[3] = 255;
        }
    }
    return created.buffer;
}
}  // namespace mivodrell::testing
