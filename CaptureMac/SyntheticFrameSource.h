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
};

}  // namespace mivodrell
