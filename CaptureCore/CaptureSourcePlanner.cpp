#include "CaptureCore/CaptureSourcePlanner.h"

#include <algorithm>
#include <cmath>

namespace mivodrell {

namespace {

bool isFiniteRect(const CGRect& r) {
    return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
           std::isfinite(r.size.height);
}

// Finite, with a width and a height above 0.
bool isUsableRect(const CGRect& r) { return isFiniteRect(r) && r.size.width > 0 && r.size.height > 0; }

// The first display with this ID, without copying it.
const DisplayInfo* findDisplay(const DisplayTopology& topology, std::uint32_t id) {
    for (const DisplayInfo& display : topology.displays()) {
        if (display.id() == id) return &display;
    }
    return nullptr;
}

// What the viewport shows of one display.
struct Visible {
    std::uint32_t id;
    CGRect localRect;
    double area;
};

const Visible* findVisible(const std::vector<Visible>& visible, std::uint32_t id) {
    const auto it = std::lower_bound(visible.begin(), visible.end(), id,
                                     [](const Visible& v, std::uint32_t key) { return v.id < key; });
    return it != visible.end() && it->id == id ? &*it : nullptr;
}

}  // namespace

std::vector<std::uint32_t> CaptureSourcePlanner::activeDisplayIDs() const {
    std::vector<std::uint32_t> ids;
    ids.reserve(states_.size());
    for (const auto& entry : states_) ids.push_back(entry.first);
    return ids;
}

void CaptureSourcePlanner::reset() {
    states_.clear();
    lastViewportCenter_.reset();
    lastVelocityTime_.reset();
    smoothedVelocity_ = CGPoint::zero();
}

CGRect CaptureSourcePlanner::quantizedOutward(const CGRect& r) const {
    if (!isUsableRect(r)) return r;
    const double q = std::max(1.0, configuration_.rectQuantum);
    const double minX = std::floor(r.minX() / q) * q;
    const double minY = std::floor(r.minY() / q) * q;
    const double maxX = std::ceil(r.maxX() / q) * q;
    const double maxY = std::ceil(r.maxY() / q) * q;
    return {minX, minY, maxX - minX, maxY - minY};
}

CGRect CaptureSourcePlanner::expandedCaptureRect(const CGRect& r, const CGRect& bounds, CGPoint velocity) const {
    const Configuration& c = configuration_;
    const double width = r.width();
    const double height = r.height();
    const double mx = width * c.captureMarginRatio * 0.5;
    const double my = height * c.captureMarginRatio * 0.5;
    const double capX = width * c.maxVelocityMarginRatio;
    const double capY = height * c.maxVelocityMarginRatio;
    const double k = c.velocityMarginLookahead;
    const double minXSide = std::min(capX, std::max(0.0, -velocity.x) * k);
    const double maxXSide = std::min(capX, std::max(0.0, velocity.x) * k);
    const double minYSide = std::min(capY, std::max(0.0, -velocity.y) * k);
    const double maxYSide = std::min(capY, std::max(0.0, velocity.y) * k);

    CGRect e{r.minX() - (mx + minXSide), r.minY() - (my + minYSide), width + 2 * mx + minXSide + maxXSide,
             height + 2 * my + minYSide + maxYSide};
    e = quantizedOutward(e);
    const CGRect result = e.intersection(bounds);
    return isUsableRect(result) ? result : bounds;
}

CGSize CaptureSourcePlanner::quantizedPixelSize(const CGRect& r, double s) const {
    const Configuration& c = configuration_;
    const double q = std::max(2.0, c.pixelQuantum);
    const auto clamp = [&c](double v) {
        v = std::max(v, c.minOutputDimension);
        v = std::min(v, c.maxOutputDimension);
        v = std::floor(v / 2) * 2;
        return std::max(v, 2.0);
    };
    const double pw = r.width() * s;
    const double ph = r.height() * s;
    if (std::isfinite(pw) && std::isfinite(ph) && pw > 0 && ph > 0) {
        const double longest = std::max(pw, ph);
        const double fit = longest > c.maxOutputDimension ? c.maxOutputDimension / longest : 1.0;
        return {clamp(std::round(pw * fit / q) * q), clamp(std::round(ph * fit / q) * q)};
    }
    const double side = clamp(std::round(c.minOutputDimension / q) * q);
    return {side, side};
}

double CaptureSourcePlanner::clampedDensity(double density, double nativeScale) const {
    if (!std::isfinite(density)) density = 1;
    return std::min(nativeScale, std::max(configuration_.minPixelsPerPoint, density));
}

CapturePlan CaptureSourcePlanner::plan(const CGRect& viewport, const DisplayTopology& topology,
                                       const CGSize& phonePixelSize, double now) {
    const Configuration& c = configuration_;
    CapturePlan result;

    // Time: the last finite one stands in for a non-finite `now`.
    std::optional<double> t;
    if (std::isfinite(now)) {
        lastFiniteNow_ = now;
        t = now;
    } else {
        t = lastFiniteNow_;
    }

    // Displays that left the topology stop at once.
    for (auto it = states_.begin(); it != states_.end();) {
        if (findDisplay(topology, it->first) == nullptr) {
            result.stopped.push_back(it->first);
            it = states_.erase(it);
        } else {
            ++it;
        }
    }

    // An unusable viewport stops everything and forgets the velocity sample.
    if (!std::isfinite(viewport.origin.x) || !std::isfinite(viewport.origin.y) || !std::isfinite(viewport.size.width) ||
        !std::isfinite(viewport.size.height) || !(viewport.width() > 0) || !(viewport.height() > 0)) {
        for (const auto& entry : states_) result.stopped.push_back(entry.first);
        states_.clear();
        lastViewportCenter_.reset();
        lastVelocityTime_.reset();
        smoothedVelocity_ = CGPoint::zero();
        std::sort(result.stopped.begin(), result.stopped.end());
        return result;
    }

    // Viewport velocity, smoothed exponentially; samples closer than 1 ms only move the reference.
    const CGPoint center{viewport.midX(), viewport.midY()};
    if (t) {
        if (lastViewportCenter_ && lastVelocityTime_) {
            if (*t > *lastVelocityTime_) {
                const double dt = *t - *lastVelocityTime_;
                if (dt >= 0.001) {
                    const double vx = (center.x - lastViewportCenter_->x) / dt;
                    const double vy = (center.y - lastViewportCenter_->y) / dt;
                    const double a = std::min(1.0, std::max(0.0, c.velocitySmoothingAlpha));
                    smoothedVelocity_ = {a * vx + (1 - a) * smoothedVelocity_.x, a * vy + (1 - a) * smoothedVelocity_.y};
                }
            }
        }
        lastViewportCenter_ = center;
        lastVelocityTime_ = t;
    }

    // Visible area of each display; a repeated ID keeps its later slice, both count in the total.
    std::vector<Visible> visible;
    double totalArea = 0;
    for (const DisplayTopology::Slice& slice : topology.slices(viewport)) {
        const double area = slice.globalRect.width() * slice.globalRect.height();
        if (std::isfinite(area) && area > 0) {
            visible.push_back({slice.display.id(), slice.localRect, area});
            totalArea += area;
        }
    }
    if (visible.size() > 1) {
        std::stable_sort(visible.begin(), visible.end(), [](const Visible& a, const Visible& b) { return a.id < b.id; });
        // Keep the last entry of each run of equal IDs.
        std::vector<Visible> unique;
        unique.reserve(visible.size());
        for (std::size_t i = 0; i < visible.size(); ++i) {
            if (i + 1 < visible.size() && visible[i + 1].id == visible[i].id) continue;
            unique.push_back(visible[i]);
        }
        visible.swap(unique);
    }
    const auto shareOf = [&](std::uint32_t id) {
        const Visible* v = findVisible(visible, id);
        return v != nullptr && totalArea > 0 ? v->area / totalArea : 0.0;
    };

    // Activation, ascending.
    for (const Visible& v : visible) {
        if (shareOf(v.id) >= c.activationShare && states_.find(v.id) == states_.end()) {
            states_.emplace(v.id, StreamState{});
            result.started.push_back(v.id);
        }
    }
    const auto wasStarted = [&result](std::uint32_t id) {
        return std::binary_search(result.started.begin(), result.started.end(), id);
    };

    // Deactivation with its delay.
    for (auto it = states_.begin(); it != states_.end();) {
        StreamState& state = it->second;
        const double share = shareOf(it->first);
        if (share >= c.activationShare) {
            state.lowShareSince.reset();
        } else if (share < c.deactivationShare) {
            if (t) {
                if (state.lowShareSince && *state.lowShareSince <= *t) {
                    if (*t - *state.lowShareSince >= c.deactivationDelay) {
                        result.stopped.push_back(it->first);
                        it = states_.erase(it);
                        continue;
                    }
                } else {
                    state.lowShareSince = t;
                }
            }
        } else {
            state.lowShareSince.reset();
        }
        ++it;
    }

    // Pixel budget.
    double budget = c.fallbackPixelBudget;
    if (std::isfinite(phonePixelSize.width) && phonePixelSize.width > 0 && std::isfinite(phonePixelSize.height) &&
        phonePixelSize.height > 0) {
        budget = phonePixelSize.width * phonePixelSize.height * std::max(0.01, c.pixelBudgetAllowance);
    }

    // Regions and sizes, ascending.
    result.sources.reserve(states_.size());
    for (auto it = states_.begin(); it != states_.end();) {
        const std::uint32_t id = it->first;
        StreamState& state = it->second;
        const DisplayInfo* display = findDisplay(topology, id);
        if (display == nullptr) {
            ++it;
            continue;
        }
        const double W = display->frame().width();
        const double H = display->frame().height();
        if (!std::isfinite(W) || !std::isfinite(H) || !(W > 0) || !(H > 0)) {
            // A display started in this very plan is withdrawn rather than listed as both.
            if (wasStarted(id)) {
                result.started.erase(std::lower_bound(result.started.begin(), result.started.end(), id));
            } else {
                result.stopped.push_back(id);
            }
            it = states_.erase(it);
            continue;
        }
        const double nativeScale = std::isfinite(display->scale()) && display->scale() > 0 ? display->scale() : 1.0;
        const CGRect bounds{0, 0, W, H};
        // After a mode change the kept region may reach beyond the display's new frame: such a
        // region is replaced at once, whatever else would keep it. A region that still fits stays
        // under the ordinary rules.
        const bool staleRegion = state.pixelSize.width > 0 && !bounds.contains(state.capturedRect);

        const Visible* v = findVisible(visible, id);
        if (v != nullptr && v->area > 0 && totalArea > 0) {
            const double d = clampedDensity(std::sqrt(v->area / totalArea * budget / v->area), nativeScale);
            const bool covers = state.capturedRect.contains(v->localRect);
            const double capturedArea = state.capturedRect.width() * state.capturedRect.height();
            const bool tooLarge = capturedArea > 0 && capturedArea * c.shrinkRatioForRecompute > v->area;
            const bool densityMoved = !(state.pixelsPerPoint > 0) ||
                                      std::fabs(d - state.pixelsPerPoint) / std::max(0.0001, state.pixelsPerPoint) >
                                          c.reconfigureThreshold;
            const bool needed = !covers || tooLarge || densityMoved || staleRegion;
            const bool isNew = wasStarted(id);
            bool recompute = needed;
            if (!isNew && !staleRegion && c.minReconfigureInterval > 0 && t && state.lastReconfiguredAt) {
                recompute = needed && *t - *state.lastReconfiguredAt >= c.minReconfigureInterval;
            }
            if (recompute) {
                const CGRect rect = expandedCaptureRect(v->localRect, bounds, smoothedVelocity_);
                const CGSize size = quantizedPixelSize(rect, d);
                if (!isNew && (!(rect == state.capturedRect) || size.width != state.pixelSize.width ||
                               size.height != state.pixelSize.height)) {
                    result.reconfigured.push_back(id);
                }
                state.capturedRect = rect;
                state.pixelSize = size;
                state.pixelsPerPoint = d;
                state.lastReconfiguredAt = t.value_or(0);
            }
            state.hasVisibleContent = true;
        } else {
            if (isUsableRect(state.capturedRect) && state.pixelSize.width > 0 && !staleRegion) {
                state.hasVisibleContent = false;
            } else {
                const CGRect rect = expandedCaptureRect(bounds, bounds, CGPoint::zero());
                const double d =
                    clampedDensity(std::sqrt(budget / std::max(1.0, rect.width() * rect.height())), nativeScale);
                if (!wasStarted(id)) result.reconfigured.push_back(id);
                state.capturedRect = rect;
                state.pixelSize = quantizedPixelSize(rect, d);
                state.pixelsPerPoint = d;
                state.hasVisibleContent = false;
            }
        }
        result.sources.push_back(
            CaptureSource{id, state.capturedRect, state.pixelSize, state.pixelsPerPoint, state.hasVisibleContent});
        ++it;
    }

    std::sort(result.stopped.begin(), result.stopped.end());
    std::sort(result.reconfigured.begin(), result.reconfigured.end());
    return result;
}

}  // namespace mivodrell
