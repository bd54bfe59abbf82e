#include "ViewportCore/DisplayInfo.h"

#include <cmath>
#include <utility>

#include "ViewportCore/CanonicalText.h"
#include "ViewportCore/Hashing.h"

namespace mivodrell {

namespace {

CGFloat cursorExtent(CGFloat extent) {
    if (std::isnan(extent)) return 0;
    const CGFloat reduced = extent - 1;
    return reduced > 0 ? reduced : 0;
}

// Raised to `low` first, then lowered to `high`; NaN passes through unchanged.
CGFloat clampCoordinate(CGFloat value, CGFloat low, CGFloat high) {
    CGFloat result = value < low ? low : value;
    result = high < result ? high : result;
    return result;
}

}  // namespace

DisplayInfo::DisplayInfo(std::uint32_t id, CGRect frame, double scale, bool isMain, std::string localizedName)
    : id_(id), frame_(frame), scale_(scale), isMain_(isMain), localizedName_(std::move(localizedName)) {}

CGRect DisplayInfo::cursorBounds() const {
    return {frame_.origin, CGSize{cursorExtent(frame_.width()), cursorExtent(frame_.height())}};
}

bool DisplayInfo::containsCursor(CGPoint point) const {
    const CGRect bounds = cursorBounds();
    return bounds.minX() <= point.x && point.x <= bounds.maxX() && bounds.minY() <= point.y &&
           point.y <= bounds.maxY();
}

CGPoint DisplayInfo::clampCursor(CGPoint point) const {
    const CGRect bounds = cursorBounds();
    return {clampCoordinate(point.x, bounds.minX(), bounds.maxX()),
            clampCoordinate(point.y, bounds.minY(), bounds.maxY())};
}

bool operator==(const DisplayInfo& a, const DisplayInfo& b) {
    return a.id_ == b.id_ && a.frame_ == b.frame_ && a.scale_ == b.scale_ && a.isMain_ == b.isMain_ &&
           canonicallyEqual(a.localizedName_, b.localizedName_);
}

std::size_t DisplayInfo::hash() const {
    const CGRect standard = frame_.standardized();
    std::size_t h = std::hash<std::uint32_t>{}(id_);
    h = hashCombine(h, hashDouble(standard.origin.x));
    h = hashCombine(h, hashDouble(standard.origin.y));
    h = hashCombine(h, hashDouble(standard.size.width));
    h = hashCombine(h, hashDouble(standard.size.height));
    h = hashCombine(h, hashDouble(scale_));
    h = hashCombine(h, std::hash<bool>{}(isMain_));
    h = hashCombine(h, canonicalHash(localizedName_));
    return h;
}

}  // namespace mivodrell
