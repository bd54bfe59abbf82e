#pragma once
// Grade of the link to the controller, and the classifiers that grade it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace mivodrell {

class LinkQuality {
public:
    // For switch statements; the enumerators carry the raw values.
    enum class Case : std::int8_t { poor = 0, fair = 1, good = 2, excellent = 3 };

    static const LinkQuality excellent;
    static const LinkQuality good;
    static const LinkQuality fair;
    static const LinkQuality poor;

    constexpr LinkQuality(Case value) : rawValue_(static_cast<int>(value)) {}

    // The grade with that raw value (0...3), nothing for any other value.
    static constexpr std::optional<LinkQuality> fromRawValue(int rawValue) {
        if (rawValue < 0 || rawValue > 3) return std::nullopt;
        return LinkQuality(static_cast<Case>(rawValue));
    }

    constexpr int rawValue() const { return rawValue_; }
    constexpr Case caseValue() const { return static_cast<Case>(rawValue_); }

    // Ordered by raw value: poor < fair < good < excellent.
    friend constexpr auto operator<=>(LinkQuality, LinkQuality) = default;

    // From an estimated link bitrate in bits per second; nothing or a value not above 0 is `good`.
    static LinkQuality classifyEstimatedBitrate(std::optional<std::int64_t> estimatedBitrate);
    // From the fraction of frames the controller managed to play; nothing or non-finite is `good`.
    static LinkQuality classifyPlaybackFPSRatio(std::optional<double> playbackFPSRatio);
    // One hysteresis step from `current`: down while below the grade's leave threshold, otherwise
    // up while above the next grade's entry threshold. Nothing or non-finite keeps `current`.
    static LinkQuality classifyPlaybackFPSRatio(std::optional<double> playbackFPSRatio, LinkQuality current);

private:
    int rawValue_;
};

inline constexpr LinkQuality LinkQuality::excellent{LinkQuality::Case::excellent};
inline constexpr LinkQuality LinkQuality::good{LinkQuality::Case::good};
inline constexpr LinkQuality LinkQuality::fair{LinkQuality::Case::fair};
inline constexpr LinkQuality LinkQuality::poor{LinkQuality::Case::poor};

// Declaration order: excellent, good, fair, poor.
inline constexpr std::array<LinkQuality, 4> allLinkQualities{LinkQuality::excellent, LinkQuality::good,
                                                            LinkQuality::fair, LinkQuality::poor};

}  // namespace mivodrell

template <>
struct std::hash<mivodrell::LinkQuality> {
    std::size_t operator()(mivodrell::LinkQuality quality) const noexcept {
        return std::hash<int>{}(quality.rawValue());
    }
};
