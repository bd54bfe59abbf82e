#include "CaptureMac/SyntheticFrameSource.h"

#include "Platform/Base/FourCC.h"
#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace mivodrell {

namespace {

// time x 1e6 rounded half away from zero. A time whose microsecond count has no 64-bit value
// (NaN, infinite or too large) seeds the noise with 0.
std::int64_t noiseSeed(double time) { return checkedTruncate<std::int64_t>(std::round(time * 1e6)).value_or(0); }

// A bare 64-bit linear congruential generator: state = state x a + c (wrapping), each draw being
// the top 31 bits of the new state, read as a value in [0, 1) by scaling with 2^-31.
//
// Draws come out of a small block filled four states at a time: the four states of a step are
// computed from the state before it with the multipliers and increments of 1 to 4 steps, so the
// multiplications run side by side instead of in one long dependency chain. The sequence is the
// same as stepping one state at a time.
class NoiseGenerator {
public:
    explicit NoiseGenerator(std::int64_t seed) : state_(static_cast<std::uint64_t>(seed) + 0x9E3779B97F4A7C15u) {}

    // The next draw's top 31 bits, x; the draw's value is x x 2^-31.
    std::uint32_t nextBits() {
        if (next_ == blockSize) refill();
        return block_[next_++];
    }

    // round(x x 2^-31 x 255), the draw as an 8-bit colour component. The product x x 255 / 2^31
    // is exact in double arithmetic as well, so adding a half and dropping 31 bits rounds it the
    // same way (halves up; the value is never negative).
    static std::uint8_t component(std::uint32_t bits) {
        return static_cast<std::uint8_t>((std::uint64_t{bits} * 255 + (std::uint64_t{1} << 30)) >> 31);
    }

private:
    static constexpr std::uint64_t a1 = 6364136223846793005u;
    static constexpr std::uint64_t c1 = 1442695040888963407u;
    static constexpr std::uint64_t a2 = a1 * a1;
    static constexpr std::uint64_t c2 = a1 * c1 + c1;
    static constexpr std::uint64_t a3 = a1 * a2;
    static constexpr std::uint64_t c3 = a1 * c2 + c1;
    static constexpr std::uint64_t a4 = a1 * a3;
    static constexpr std::uint64_t c4 = a1 * c3 + c1;
    static constexpr int blockSize = 64;

    void refill() {
        for (int i = 0; i < blockSize; i += 4) {
            const std::uint64_t s = state_;
            block_[i] = static_cast<std::uint32_t>((s * a1 + c1) >> 33);
            block_[i + 1] = static_cast<std::uint32_t>((s * a2 + c2) >> 33);
            block_[i + 2] = static_cast<std::uint32_t>((s * a3 + c3) >> 33);
            state_ = s * a4 + c4;
            block_[i + 3] = static_cast<std::uint32_t>(state_ >> 33);
        }
        next_ = 0;
    }

    std::uint64_t state_;
    std::uint32_t block_[blockSize] = {};
    int next_ = blockSize;
};

// A cell is drawn when density > x x 2^-31, that is when x < density x 2^31; for a whole number
// x that is x < ceil(density x 2^31). density is positive here; 1 or more draws every cell.
std::uint64_t drawThreshold(double density) {
    if (density >= 1) return std::uint64_t{1} << 31;
    return truncateClamped<std::uint64_t>(std::ceil(density * 0x1p31), 0);
}

}  // namespace

SyntheticFrameSource::Picture SyntheticFrameSource::picture(double time, double noiseDensity) const {
    Picture picture;
    if (width < 1 || height < 1 || width > PixelBuffer::maxEdge || height > PixelBuffer::maxEdge) return picture;
    picture.width = width;
    picture.height = height;
    const auto w = static_cast<double>(width);
    const PixelColor background = PixelColor::fromComponents(0.12, 0.12, 0.14);
    const PixelColor barColor = PixelColor::fromComponents(0.95, 0.35, 0.15);

    double phase = std::fmod(time, 1.0);
    if (!(phase >= 0)) phase = 0;  // negative or NaN
    const double barWidth = 0.12 * w;
    const double barX = (w - barWidth) * phase;

    // The background and the bar both span the whole height: every row is the same before the
    // noise, so one row holds them.
    picture.row.resize(static_cast<std::size_t>(width));
    if (auto row = BitmapContext::make(reinterpret_cast<std::uint8_t*>(picture.row.data()), width, 1,
                                       4 * static_cast<std::size_t>(width))) {
        row->fillRect(CGRect(0, 0, w, 1), background);
        row->fillRect(CGRect(barX, 0, barWidth, 1), barColor);
    }

    const int bands = height / cellSize;
    const int columns = width / cellSize;
    if (!(noiseDensity > 0) || bands == 0 || columns == 0) return picture;
    picture.bands = bands;
    picture.columns = columns;
    picture.cells.assign(static_cast<std::size_t>(bands) * static_cast<std::size_t>(columns), 0);
    NoiseGenerator random(noiseSeed(time));
    const std::uint64_t threshold = drawThreshold(noiseDensity);
    for (std::uint32_t& cell : picture.cells) {
        if (random.nextBits() >= threshold) continue;
        PixelColor color;
        color.red = NoiseGenerator::component(random.nextBits());
        color.green = NoiseGenerator::component(random.nextBits());
        color.blue = NoiseGenerator::component(random.nextBits());
        cell = BitmapContext::pixelValue(color);
    }
    return picture;
}

namespace {

// Draws the frame; the context covers the whole buffer, so its size is the frame size. The noise
// cells of one band (six rows) are the same in each of its rows: the band's row is composed
// aside, the plain row with the band's cells over it (one fill per drawn cell), and copied six
// times. Every row of the frame is thus written once, in one sequential copy.
void draw(BitmapContext& context, const SyntheticFrameSource::Picture& picture) {
    constexpr int cell = SyntheticFrameSource::cellSize;
    const auto* plain = reinterpret_cast<const std::uint8_t*>(picture.row.data());
    std::vector<std::uint32_t> bandRow(picture.bands > 0 ? picture.row.size() : 0);
    for (int band = 0; band < picture.bands; ++band) {
        std::copy(picture.row.begin(), picture.row.end(), bandRow.begin());
        const std::uint32_t* cells = picture.cells.data() + static_cast<std::size_t>(band) * static_cast<std::size_t>(picture.columns);
        for (int c = 0; c < picture.columns; ++c) {
            if (cells[c] != 0) std::fill_n(bandRow.begin() + static_cast<std::ptrdiff_t>(cell * c), cell, cells[c]);
        }
        context.replicateRow(reinterpret_cast<const std::uint8_t*>(bandRow.data()), cell * band, cell * (band + 1));
    }
    context.replicateRow(plain, cell * picture.bands, context.height());
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
    draw(*context, picture(time, noiseDensity));
    buffer.unlockBaseAddress();
    return std::move(created.buffer);
}

}  // namespace mivodrell
