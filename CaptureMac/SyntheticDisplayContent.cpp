#include "CaptureMac/SyntheticDisplayContent.h"

#include "CaptureMac/SyntheticFrameSource.h"

namespace mivodrell {

namespace {

class SyntheticContentSampler final : public VirtualCaptureServer::ContentSampler {
public:
    explicit SyntheticContentSampler(SyntheticFrameSource::Picture picture) : picture_(std::move(picture)) {}

    // SyntheticFrameSource::Picture::pixel for a row of pixels.
    void row(int y, const int* xs, int count, std::uint32_t* out) const override {
        constexpr int cell = SyntheticFrameSource::cellSize;
        const std::uint32_t* plain = picture_.row.data();
        const int band = (picture_.height - 1 - y) / cell;
        if (band >= picture_.bands) {
            for (int i = 0; i < count; ++i) out[i] = plain[xs[i]];
            return;
        }
        const std::uint32_t* cells = picture_.cells.data() + static_cast<std::size_t>(band) * static_cast<std::size_t>(picture_.columns);
        for (int i = 0; i < count; ++i) {
            const int column = xs[i] / cell;
            const std::uint32_t noise = column < picture_.columns ? cells[column] : 0;
            out[i] = noise != 0 ? noise : plain[xs[i]];
        }
    }

private:
    SyntheticFrameSource::Picture picture_;
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
