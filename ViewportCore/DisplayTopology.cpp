#include "ViewportCore/DisplayTopology.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "ViewportCore/Hashing.h"

namespace mivodrell {

namespace {

// Strict weak order on coordinates in which a NaN sorts after every number (and NaNs tie), so
// that a malformed frame can never break the sort. For numbers this is plain `<`.
bool coordinateLess(CGFloat a, CGFloat b) {
    const bool aNaN = std::isnan(a);
    const bool bNaN = std::isnan(b);
    if (aNaN || bNaN) return !aNaN && bNaN;
    return a < b;
}

bool coordinateEquivalent(CGFloat a, CGFloat b) { return !coordinateLess(a, b) && !coordinateLess(b, a); }

CGFloat distance(CGPoint a, CGPoint b) { return std::hypot(a.x - b.x, a.y - b.y); }

}  // namespace

DisplayTopology::DisplayTopology() : bounds_(CGRect::null()) {}

DisplayTopology::DisplayTopology(std::vector<DisplayInfo> displays)
    : displays_(std::move(displays)), bounds_(CGRect::null()) {
    std::stable_sort(displays_.begin(), displays_.end(), [](const DisplayInfo& a, const DisplayInfo& b) {
        const CGFloat ax = a.frame().minX();
        const CGFloat bx = b.frame().minX();
        if (!coordinateEquivalent(ax, bx)) return coordinateLess(ax, bx);
        return coordinateLess(a.frame().minY(), b.frame().minY());
    });
    for (const DisplayInfo& display : displays_) bounds_ = bounds_.unionWith(display.frame());
}

std::optional<DisplayInfo> DisplayTopology::mainDisplay() const {
    if (displays_.empty()) return std::nullopt;
    const auto main = std::find_if(displays_.begin(), displays_.end(), [](const DisplayInfo& d) { return d.isMain(); });
    return main != displays_.end() ? *main : displays_.front();
}

std::optional<DisplayInfo> DisplayTopology::displayWithID(std::uint32_t id) const {
    const auto found = std::find_if(displays_.begin(), displays_.end(), [id](const DisplayInfo& d) { return d.id() == id; });
    if (found == displays_.end()) return std::nullopt;
    return *found;
}

std::optional<DisplayInfo> DisplayTopology::displayContaining(CGPoint point) const {
    const auto found =
        std::find_if(displays_.begin(), displays_.end(), [point](const DisplayInfo& d) { return d.containsCursor(point); });
    if (found == displays_.end()) return std::nullopt;
    return *found;
}

std::vector<DisplayTopology::Slice> DisplayTopology::slices(CGRect rect) const {
    std::vector<Slice> result;
    for (const DisplayInfo& display : displays_) {
        const CGRect overlap = display.frame().intersection(rect);
        if (overlap.isNull() || !(overlap.width() > 0.5) || !(overlap.height() > 0.5)) continue;
        const CGRect local{overlap.minX() - display.frame().minX(), overlap.minY() - display.frame().minY(),
                           overlap.width(), overlap.height()};
        result.push_back(Slice{display, overlap, local});
    }
    return result;
}

std::optional<DisplayInfo> DisplayTopology::nearestDisplay(CGPoint point) const {
    if (displays_.empty()) return std::nullopt;
    std::size_t best = 0;
    CGFloat bestDistance = distance(point, displays_.front().clampCursor(point));
    for (std::size_t i = 1; i < displays_.size(); ++i) {
        const CGFloat d = distance(point, displays_[i].clampCursor(point));
        if (d < bestDistance) {
            best = i;
            bestDistance = d;
        }
    }
    return displays_[best];
}

CGPoint DisplayTopology::clampCursor(CGPoint point) const {
    const std::optional<DisplayInfo> nearest = nearestDisplay(point);
    if (!nearest || nearest->containsCursor(point)) return point;
    return nearest->clampCursor(point);
}

CGPoint DisplayTopology::constrainCursor(CGPoint previous, CGPoint target) const {
    if (displays_.empty() || displayContaining(target)) return target;
    const std::optional<DisplayInfo> previousDisplay = displayContaining(previous);
    // Starting from the first display's clamp keeps a result when every distance overflows
    // (a target with huge finite coordinates).
    CGPoint candidate = displays_.front().clampCursor(target);
    CGFloat bestDistance = std::numeric_limits<CGFloat>::max();
    for (const DisplayInfo& display : displays_) {
        const CGPoint clamped = display.clampCursor(target);
        CGFloat d = distance(target, clamped);
        if (previousDisplay && previousDisplay->id() == display.id()) d -= 0.5;
        if (d < bestDistance) {
            bestDistance = d;
            candidate = clamped;
        }
    }
    return candidate;
}

double DisplayTopology::voidRatio(CGRect rect) const {
    const CGFloat width = rect.width();
    const CGFloat height = rect.height();
    if (!(width > 0) || !(height > 0)) return 0;
    double covered = 0;
    for (const Slice& slice : slices(rect)) covered += slice.globalRect.width() * slice.globalRect.height();
    const double ratio = 1 - covered / (width * height);
    if (std::isnan(ratio)) return 1;
    return std::clamp(ratio, 0.0, 1.0);
}

bool operator==(const DisplayTopology& a, const DisplayTopology& b) {
    return a.displays_ == b.displays_ && a.bounds_ == b.bounds_;
}

std::size_t DisplayTopology::hash() const {
    std::size_t h = std::hash<std::size_t>{}(displays_.size());
    for (const DisplayInfo& display : displays_) h = hashCombine(h, display.hash());
    return h;
}

}  // namespace mivodrell
