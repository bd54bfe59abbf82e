#include "CaptureMac/SyntheticDisplayContent.h"

#include "CaptureMac/SyntheticFrameSource.h"

#include <algorithm>
#include <vector>

namespace mivodrell {

namespace {

// Rows of one band of noise cells are the same: the band's row (the plain row with the band's
// cells over it) is composed once and read for each of its rows.
class SyntheticContentSampler final : public VirtualCaptureServer::ContentSampler {
public:
    explicit SyntheticContentSampler(SyntheticFrameSource::Picture picture) : picture_(std::move(picture)) {}

    void row(int y, const int* xs, int count, std::uint32_t* out) const override {
        constexpr int cell = SyntheticFrameSource::cellSize;
        const int band = (picture_.height - 1 - y) / cell;
        const std::uint32_t* source = picture_.row.data();
        if (band < picture_.bands) {
            if (band != composedBand_) {
                bandRow_ = picture_.row;
                const std::uint32_t* cells =
                    picture_.cells.data() + static_cast<std::size_t>(band) * static_cast<std::size_t>(picture_.columns);
                for (int c = 0; c < picture_.columns; ++c) {
                    if (cells[c] != 0) std::fill_n(bandRow_.begin() + static_cast<std::ptrdiff_t>(cell * c), cell, cells[c]);
                }
                composedBand_ = band;
            }
            source = bandRow_.data();
        }
        for (int i = 0; i < count; ++i) out[i] = source[xs[i]];
    }

private:
    SyntheticFrameSource::Picture picture_;
    // Read on the server's control queue only.
    mutable std::vector<std::uint32_t> bandRow_;
    mutable int composedBand_ = -1;
};

}  // namespace

VirtualCaptureServer::SampledContentFunction syntheticDisplayContent(double noiseDensity) {
    return [noiseDensity](const CaptureDisplay&, std::uint64_t generation, int width,
                          int height) -> std::shared_ptr<const VirtualCaptureServer::ContentSampler> {
        auto picture = SyntheticFrameSource{width, height}.picture(static_cast<double>(generation) / 60.0, noiseDensity);
        if (picture.row.empty()) return nullptr;
        return std::make_shared<SyntheticContentSampler>(std::move(picture));
    };
}

}  // namespace mivodrell
