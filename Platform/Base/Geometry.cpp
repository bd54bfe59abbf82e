#include "Platform/Base/Geometry.h"

#include <algorithm>
#include <cmath>

namespace mivodrell {

namespace {
constexpr CGFloat kInfinity = std::numeric_limits<CGFloat>::infinity();
}

bool CGRect::isNull() const { return origin.x == kInfinity || origin.y == kInfinity; }

bool CGRect::isEmpty() const { return isNull() || size.width == 0 || size.height == 0; }

CGRect CGRect::standardized() const {
    if (isNull()) return null();
    CGRect r = *this;
    if (r.size.width < 0) {
        r.origin.x += r.size.width;
        r.size.width = -r.size.width;
    }
    if (r.size.height < 0) {
        r.origin.y += r.size.height;
        r.size.height = -r.size.height;
    }
    return r;
}

CGFloat CGRect::minX() const { return standardized().origin.x; }
CGFloat CGRect::minY() const { return standardized().origin.y; }
CGFloat CGRect::maxX() const {
    const CGRect r = standardized();
    return r.origin.x + r.size.width;
}
CGFloat CGRect::maxY() const {
    const CGRect r = standardized();
    return r.origin.y + r.size.height;
}
CGFloat CGRect::midX() const {
    const CGRect r = standardized();
    return r.origin.x + r.size.width / 2;
}
CGFloat CGRect::midY() const {
    const CGRect r = standardized();
    return r.origin.y + r.size.height / 2;
}
CGFloat CGRect::width() const { return std::fabs(size.width); }
CGFloat CGRect::height() const { return std::fabs(size.height); }

CGRect CGRect::intersection(const CGRect& other) const {
    if (isNull() || other.isNull()) return null();
    const CGRect a = standardized();
    const CGRect b = other.standardized();
    for (const CGFloat v : {a.origin.x, a.origin.y, a.size.width, a.size.height, b.origin.x, b.origin.y,
                            b.size.width, b.size.height}) {
        if (std::isnan(v)) return null();
    }
    const CGFloat aMaxX = a.origin.x + a.size.width;
    const CGFloat aMaxY = a.origin.y + a.size.height;
    const CGFloat bMaxX = b.origin.x + b.size.width;
    const CGFloat bMaxY = b.origin.y + b.size.height;
    // An infinite origin with an infinite size has no far edge: such a rectangle meets nothing,
    // whichever side of the call it is on.
    if (std::isnan(aMaxX) || std::isnan(aMaxY) || std::isnan(bMaxX) || std::isnan(bMaxY)) return null();
    const CGFloat x1 = std::max(a.origin.x, b.origin.x);
    const CGFloat y1 = std::max(a.origin.y, b.origin.y);
    const CGFloat x2 = std::min(aMaxX, bMaxX);
    const CGFloat y2 = std::min(aMaxY, bMaxY);
    if (x1 > x2 || y1 > y2) return null();
    return {x1, y1, x2 - x1, y2 - y1};
}

bool CGRect::intersects(const CGRect& other) const { return !intersection(other).isNull(); }

CGRect CGRect::unionWith(const CGRect& other) const {
    if (isNull()) return other.standardized();
    if (other.isNull()) return standardized();
    const CGRect a = standardized();
    const CGRect b = other.standardized();
    const CGFloat x1 = std::min(a.origin.x, b.origin.x);
    const CGFloat y1 = std::min(a.origin.y, b.origin.y);
    const CGFloat x2 = std::max(a.origin.x + a.size.width, b.origin.x + b.size.width);
    const CGFloat y2 = std::max(a.origin.y + a.size.height, b.origin.y + b.size.height);
    return {x1, y1, x2 - x1, y2 - y1};
}

CGRect CGRect::insetBy(CGFloat dx, CGFloat dy) const {
    if (isNull()) return null();
    const CGRect r = standardized();
    const CGRect out{r.origin.x + dx, r.origin.y + dy, r.size.width - 2 * dx, r.size.height - 2 * dy};
    // Only an inset that leaves a negative size empties the rectangle; a NaN size passes through.
    if (out.size.width < 0 || out.size.height < 0) return null();
    return out;
}

CGRect CGRect::offsetBy(CGFloat dx, CGFloat dy) const {
    if (isNull()) return null();
    const CGRect r = standardized();
    return {r.origin.x + dx, r.origin.y + dy, r.size.width, r.size.height};
}

bool CGRect::contains(const CGRect& other) const {
    if (isNull() || other.isNull()) return false;
    const CGRect a = standardized();
    const CGRect b = other.standardized();
    return b.origin.x >= a.origin.x && b.origin.y >= a.origin.y &&
           b.origin.x + b.size.width <= a.origin.x + a.size.width &&
           b.origin.y + b.size.height <= a.origin.y + a.size.height;
}

bool CGRect::contains(const CGPoint& p) const {
    if (isNull()) return false;
    const CGRect a = standardized();
    return p.x >= a.origin.x && p.x < a.origin.x + a.size.width && p.y >= a.origin.y &&
           p.y < a.origin.y + a.size.height;
}

bool operator==(const CGRect& a, const CGRect& b) {
    const bool an = a.isNull();
    const bool bn = b.isNull();
    if (an || bn) return an && bn;
    const CGRect x = a.standardized();
    const CGRect y = b.standardized();
    return x.origin == y.origin && x.size == y.size;
}

}  // namespace mivodrell
