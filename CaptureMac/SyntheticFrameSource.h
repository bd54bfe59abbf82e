#pragma once
// Test frames in the pixel format the video path consumes ('BGRA'), drawn without any capture:
// a still background, a bar that sweeps across the frame once per second of `time`, and, when
// asked, a field of random coloured 6 x 6 blocks whose probability the caller sets. Every frame
// is a pure function of its size, its time and its noise density.

#include "CaptureMac/BitmapContext.h"
#include "Platform/Media/PixelBuffer.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mivodrell {

struct SyntheticFrameSource {
    struct FrameSourceError : std::exception {
        enum class Kind { pixelBufferCreationFailed, contextCreationFailed };

        // `status` is the creation status, 0 when creation reported success but gave no buffer.
        static FrameSourceError pixelBufferCreationFailed(std::int32_t status);
        static FrameSourceError contextCreationFailed();

        Kind kind = Kind::contextCreationFailed;
        std::int32_t status = 0;  // pixelBufferCreationFailed only

        const char* what() const noexcept override { return message_.c_str(); }
        friend bool operator==(const FrameSourceError& a, const FrameSourceError& b) {
            return a.kind == b.kind && (a.kind != Kind::pixelBufferCreationFailed || a.status == b.status);
        }

    private:
        FrameSourceError(Kind k, std::int32_t s);
        std::string message_;
    };

    int width = 0;
    int height = 0;

    // Replaceable steps, empty for the real ones; tests use them to make creation fail.
    std::function<PixelBuffer::CreateResult(int width, int height, std::uint32_t pixelFormat,
                                            const PixelBuffer::Attributes& attributes)>
        createPixelBuffer;
    std::function<std::optional<BitmapContext>(PixelBuffer& buffer)> makeContext;

    // A new frame owned by the caller. `time` in seconds; `noiseDensity` is the probability with
    // which each noise block is drawn (0 or less, or NaN, draws none). Throws FrameSourceError.
    std::shared_ptr<PixelBuffer> makeFrame(double time, double noiseDensity) const;

    // The same frame without a buffer, as the two layers it is drawn from, for callers that need
    // only some of its pixels: `row`, the background and the bar (every row is that before the
    // noise), and the noise cells. A width or height outside 1...PixelBuffer::maxEdge gives an
    // empty picture.
    struct Picture {
        int width = 0;
        int height = 0;
        int columns = 0;  // noise cells per band
        int bands = 0;    // bands of noise cells, the bottom one first
        std::vector<std::uint32_t> row;    // `width` pixel words (B, G, R, 255 in memory)
        std::vector<std::uint32_t> cells;  // bands x columns pixel words, 0 where no cell is drawn

        // The pixel word at column x of memory row y (0 is the top row), as makeFrame draws it;
        // x in [0, width), y in [0, height).
        std::uint32_t pixel(int x, int y) const {
            const int band = (height - 1 - y) / cellSize;
            const int column = x / cellSize;
            if (band < bands && column < columns) {
                const std::uint32_t cell = cells[static_cast<std::size_t>(band) * static_cast<std::size_t>(columns) +
                                                 static_cast<std::size_t>(column)];
                if (cell != 0) return cell;
            }
            return row[static_cast<std::size_t>(x)];
        }
    };
    static constexpr int cellSize = 6;
    Picture picture(double time, double noiseDensity) const;
};

}  // namespace mivodrell
