#pragma once
// Points, sizes and rectangles in the semantics of the platform's 2-D geometry:
// standardized rectangles (a negative size moves the origin), the null rectangle (origin at
// +infinity, zero size), intersection that is null when disjoint, union with null as identity.

#include <cstddef>
#include <limits>

namespace mivodrell {

using CGFloat = double;

struct CGPoint {
    CGFloat x = 0;
    CGFloat y = 0;

    static constexpr CGPoint zero() { return {0, 0}; }
    friend constexpr bool operator==(const CGPoint& a, const CGPoint& b) { return a.x == b.x && a.y == b.y; }
};

struct CGSize {
    CGFloat width = 0;
    CGFloat height = 0;

    static constexpr CGSize zero() { return {0, 0}; }
    friend constexpr bool operator==(const CGSize& a, const CGSize& b) {
        return a.width == b.width && a.height == b.height;
    }
};

struct CGRect {
    CGPoint origin;
    CGSize size;

    constexpr CGRect() = default;
    constexpr CGRect(CGPoint o, CGSize s) : origin(o), size(s) {}
    constexpr CGRect(CGFloat x, CGFloat y, CGFloat width, CGFloat height) : origin{x, y}, size{width, height} {}

    static constexpr CGRect zero() { return {}; }
    static constexpr CGRect null() {
        return {std::numeric_limits<CGFloat>::infinity(), std::numeric_limits<CGFloat>::infinity(), 0, 0};
    }

    // Null when either origin coordinate is +infinity.
    bool isNull() const;
    // Null, or zero width or height.
    bool isEmpty() const;

    // Negative sizes turned positive, the origin moved accordingly. Null stays null.
    CGRect standardized() const;

    // Extremes of the standardized rectangle.
    CGFloat minX() const;
    CGFloat midX() const;
    CGFloat maxX() const;
    CGFloat minY() const;
    CGFloat midY() const;
    CGFloat maxY() const;
    CGFloat width() const;
    CGFloat height() const;

    // Null when either is null or when they are disjoint; touching edges give a zero-size rectangle.
    CGRect intersection(const CGRect& other) const;
    bool intersects(const CGRect& other) const;
    // Bounding box; null is the identity.
    CGRect unionWith(const CGRect& other) const;
    // Each side moved in by dx / dy; a negative resulting size gives null.
    CGRect insetBy(CGFloat dx, CGFloat dy) const;
    CGRect offsetBy(CGFloat dx, CGFloat dy) const;
    // Inclusive edge test on standardized rectangles; false when either is null.
    bool contains(const CGRect& other) const;
    // Half-open: minX <= x < maxX, minY <= y < maxY.
    bool contains(const CGPoint& point) const;

    // Null equals null; otherwise standardized rectangles compare by value (NaN is never equal).
    friend bool operator==(const CGRect& a, const CGRect& b);
};

// Exact field-by-field equality, without standardization (for tests and value identity).
inline bool identical(const CGRect& a, const CGRect& b) {
    return a.origin == b.origin && a.size == b.size;
}

}  // namespace mivodrell
