#include "CaptureMac/SyntheticFrameSource.h"

#include "Platform/FourCC.h"
#include "Platform/Narrowing.h"

#include <cmath>
#include <utility>

namespace mivodrell {

namespace {

constexpr int noiseCell = 6;

// time x 1e6 rounded half away from zero. A time whose microsecond count has no 64-bit value
// (NaN, infinite or too large) seeds the noise with 0.
std::int64_t noiseSeed(double time) { return checkedTruncate<std::int64_t>(std::round(time * 1e6)).value_or(0); }

// A bare 64-bit linear congruential generator; values in [0, 1) from the top 31 bits.
class NoiseGenerator {
public:
    explicit NoiseGenerator(std::int64_t seed) : state_(static_cast<std::uint64_t>(seed) + 0x9E3779B97F4A7C15u) {}

    double next() {
        state_ = state_ * 6364136223846793005u + 1442695040888963407u;
        return static_cast<double>(state_ >> 33) * 0x1p-31;
    }

private:
    std::uint64_t state_;
};

void draw(BitmapContext& context, int width, int height, double time, double noiseDensity) {
    const auto w = static_cast<double>(width);
    const PixelColor background = PixelColor::fromComponents(0.12, 0.12, 0.14);
    const PixelColor barColor = PixelColor::fromComponents(0.95, 0.35, 0.15);

    double phase = std::fmod(time, 1.0);
    if (!(phase >= 0)) phase = 0;  // negative or NaN
    const double barWidth = 0.12 * w;
    const double barX = (w - barWidth) * phase;

    // The background and the bar both span the whole height, so before the noise every row is
    // the same: draw the bottom row and copy it to the others.
    context.fillRect(CGRect(0, 0, w, 1), background);
    context.fillRect(CGRect(barX, 0, barWidth, 1), barColor);
    context.copyRow(0, 1, context.height());

    if (!(noiseDensity > 0)) return;
    NoiseGenerator random(noiseSeed(time));
    const int rows = height / noiseCell;
    const int columns = width / noiseCell;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            if (!(noiseDensity > random.next())) continue;
            const double red = random.next();
            const double green = random.next();
            const double blue = random.next();
            context.fillPixelRect(noiseCell * c, noiseCell * r, noiseCell, noiseCell,
                                  PixelColor::fromComponents(red, green, blue));
        }
    }
}

}  // namespace

SyntheticFrameSource::FrameSourceError::FrameSourceError(Kind k, std::int32_t s) : kind(k), status(s) {
    message_ = k == Kind::pixelBufferCreationFailed
                   ? "synthetic frame: pixel buffer creation failed (status " + std::to_string(s) + ")"
                   : std::string("synthetic frame: no bitmap context over the pixel buffer");
}

SyntheticFrameSource::FrameSourceError SyntheticFrameSource::FrameSourceError::pixelBufferCreationFailed(
    std::int32_t status) {
    return FrameSourceError(Kind::pixelBufferCreationFailed, status);
}

SyntheticFrameSource::FrameSourceError SyntheticFrameSource::FrameSourceError::contextCreationFailed() {
    return FrameSourceError(Kind::contextCreationFailed, 0);
}

std::shared_ptr<PixelBuffer> SyntheticFrameSource::makeFrame(double time, double noiseDensity) const {
    PixelBuffer::Attributes attributes;
    attributes.cgImageCompatible = true;
    attributes.bitmapContextCompatible = true;
    auto created = createPixelBuffer ? createPixelBuffer(width, height, PixelFormat::bgra, attributes)
                                     : PixelBuffer::create(width, height, PixelFormat::bgra, attributes);
    if (created.status != PixelBuffer::statusSuccess || !created.buffer) {
        throw FrameSourceError::pixelBufferCreationFailed(created.status);
    }

    PixelBuffer& buffer = *created.buffer;
    buffer.lockBaseAddress();
    auto context = makeContext ? makeContext(buffer) : BitmapContext::make(buffer);
    if (!context) {
        buffer.unlockBaseAddress();
        throw FrameSourceError::contextCreationFailed();
    }
    draw(*context, width, height, time, noiseDensity);
    buffer.unlockBaseAddress();
    return std::move(created.buffer);
}

}  // namespace mivodrell
