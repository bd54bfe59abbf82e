#include <gtest/gtest.h>
#include <cmath>
#include <tuple>
#include "ViewportCore/CanonicalText.h"
#include "ViewportCore/DisplayInfo.h"
#include "ViewportCore/DisplayTopology.h"
#include "support/ViewportCoreTestSupport.h"
namespace mivodrell { namespace {
using testsupport::kInf;
using testsupport::kNaN;
DisplayInfo makeDisplay(std::uint32_t id, CGRect frame, bool isMain = false, std::string name = "Display",
                        double scale = 2.0) {
    return DisplayInfo(id, frame, scale, isMain, std::move(name));
}
CGPoint pt(double x, double y) { return {x, y}; }
std::vector<std::uint32_t> ids(const DisplayTopology& topology) {
    std::vector<std::uint32_t> result;
    for (const DisplayInfo& d : topology.displays()) result.push_back(d.id());
    return result;
}
// Two side-by-side 1920x1080 displays with a 1280x800 one above the left one.
DisplayTopology threeDisplays() {
    return DisplayTopology({makeDisplay(1, {0, 0, 1920, 1080}, true), makeDisplay(2, {1920, 0, 1920, 1080}),
                            makeDisplay(3, {0, -800, 1280, 800})});
}
TEST(DisplayInfo, CursorBounds) {
    const DisplayInfo display = makeDisplay(1, {0, 0, 1920, 1080});
    EXPECT_TRUE(identical(display.cursorBounds(), CGRect(0, 0, 1919, 1079)));
    EXPECT_EQ(std::tuple(display.containsCursor({1919, 1079}), display.containsCursor({0, 0}), display.containsCursor({1920, 0}),
                         display.containsCursor({-0.5, 0}), display.containsCursor({kNaN, 0})),
              std::tuple(true, true, false, false, false));
    EXPECT_EQ(std::pair(display.clampCursor({5000, -20}), display.clampCursor({100, 200})), std::pair(pt(1919, 0), pt(100, 200)));
    // Sizes below one point and non-number sizes give an empty extent.
    EXPECT_TRUE(identical(makeDisplay(1, {10, 20, 0.5, kNaN}).cursorBounds(), CGRect(10, 20, 0, 0)));
    EXPECT_EQ(makeDisplay(1, {10, 20, 0.5, kNaN}).clampCursor({0, 100}), pt(10, 20));
    // A non-number coordinate is left as it is.
    EXPECT_TRUE(std::isnan(display.clampCursor({kNaN, 5}).x));
}
TEST(DisplayInfo, EqualityAndHashing) {
    const std::string name = "\xC3\xA9" "cran";  // "écran", precomposed
    const DisplayInfo base = makeDisplay(7, {0, 0, 100, 50}, true, name);
    const std::tuple<const char*, DisplayInfo, bool> cases[] = {
        {"negative size, same area", makeDisplay(7, {100, 50, -100, -50}, true, name), true},
        {"negative zero origin", makeDisplay(7, {-0.0, -0.0, 100, 50}, true, name), true},
        {"decomposed accent", makeDisplay(7, {0, 0, 100, 50}, true, "e\xCC\x81" "cran"), true},
        {"other id", makeDisplay(8, {0, 0, 100, 50}, true, name), false},
        {"other frame", makeDisplay(7, {1, 0, 100, 50}, true, name), false},
        {"other scale", makeDisplay(7, {0, 0, 100, 50}, true, name, 1.0), false},
        {"other isMain", makeDisplay(7, {0, 0, 100, 50}, false, name), false},
        {"other name", makeDisplay(7, {0, 0, 100, 50}, true, name + " "), false}};
    for (const auto& [what, other, equal] : cases) {
        EXPECT_EQ(base == other, equal) << what;
        EXPECT_TRUE(!equal || base.hash() == other.hash()) << what;
    }
    const DisplayInfo nanScale = makeDisplay(7, {0, 0, 100, 50}, true, name, kNaN);
    EXPECT_FALSE(nanScale == nanScale);
    EXPECT_EQ(makeDisplay(1, {0, 0, 1, 1}, false, "x", -0.0).hash(), makeDisplay(1, {0, 0, 1, 1}, false, "x", 0.0).hash());
}
TEST(CanonicalText, EquivalenceAndInvalidInput) {
    struct Case { std::string a, b; bool equal; };
    const Case cases[] = {
        {"abc", "abc", true}, {"abc", "abd", false},
        {"\xC3\x85", "A\xCC\x8A", true},                    // Å precomposed vs A + ring
        {"\xE2\x84\xAB", "\xC3\x85", true},                 // Angstrom sign is canonically Å
        {"\xEF\xAC\x81", "fi", false},                      // ligature: compatibility only
        {"\xE2\x84\xAA", "K", true},                        // KELVIN SIGN against plain ASCII
        {";", "\xCD\xBE", true},                           // GREEK QUESTION MARK
        {"\xE2\x84\xAA", "k", false}, {"q\xCC\x87\xCC\xA3", "q\xCC\xA3\xCC\x87", true},   // combining marks reordered
        {"\xFF\xFE", "\xFF\xFE", true},                     // invalid UTF-8 compares by bytes
        {"\xFF" "a", "\xFF" "b", false}, {std::string("a\0b", 3), std::string("a\0b", 3), true},
        {std::string("a\0b", 3), "a", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(canonicallyEqual(c.a, c.b), c.equal) << c.a << " / " << c.b;
        if (c.equal) { EXPECT_EQ(canonicalHash(c.a), canonicalHash(c.b)) << c.a; }
    }
}
TEST(DisplayTopology, SortsByTopLeftCornerStably) {
    const DisplayTopology topology({makeDisplay(1, {1920, 0, 1920, 1080}), makeDisplay(2, {0, 0, 1920, 1080}),
                                    makeDisplay(3, {0, -1080, 1920, 1080})});
    EXPECT_EQ(ids(topology), (std::vector<std::uint32_t>{3, 2, 1}));
    EXPECT_TRUE(identical(topology.bounds(), CGRect(0, -1080, 3840, 2160)));
    // Equal corners keep their given order; a negative size sorts by its standardized minimum.
    const DisplayTopology ties({makeDisplay(5, {0, 0, 10, 10}), makeDisplay(4, {0, 0, 20, 20}),
                                makeDisplay(6, {10, 10, -10, -10}), makeDisplay(3, {-5, 0, 5, 5})});
    EXPECT_EQ(ids(ties), (std::vector<std::uint32_t>{3, 5, 4, 6}));
    // A malformed frame never breaks the sort: NaN corners go last.
    const DisplayTopology withNaN({makeDisplay(1, {kNaN, 0, 1, 1}), makeDisplay(2, {5, 0, 1, 1}),
                                   makeDisplay(3, {0, kNaN, 1, 1}), makeDisplay(4, {0, 0, 1, 1})});
    EXPECT_EQ(ids(withNaN), (std::vector<std::uint32_t>{4, 3, 2, 1}));
}
TEST(DisplayTopology, EmptyTopology) {
    const DisplayTopology empty;
    for (const DisplayTopology& topology : {empty, DisplayTopology(std::vector<DisplayInfo>{})}) {
        EXPECT_EQ(std::tuple(topology.isEmpty(), topology.bounds().isNull(), bool(topology.mainDisplay()),
                             bool(topology.nearestDisplay({1, 2})), bool(topology.displayWithID(0)),
                             bool(topology.displayContaining({0, 0})), topology.slices({0, 0, 100, 100}).empty()),
                  std::tuple(true, true, false, false, false, false, true));
        EXPECT_EQ(std::tuple(topology.clampCursor({3, 4}), topology.constrainCursor({1, 1}, {3, 4}), topology.voidRatio({0, 0, 10, 10})),
                  std::tuple(pt(3, 4), pt(3, 4), 1.0));
    }
    EXPECT_EQ(empty, DisplayTopology(std::vector<DisplayInfo>{}));
}
TEST(DisplayTopology, Lookups) {
    const DisplayTopology topology = threeDisplays();
    auto id = [](const auto& display) { return display ? display->id() : 0u; };
    EXPECT_EQ(std::tuple(id(topology.mainDisplay()), id(topology.displayWithID(2)), id(topology.displayWithID(9)),
                         id(topology.displayContaining({1919, 10})), id(topology.displayContaining({1920, 10})),
                         id(topology.displayContaining({0, -1})), id(topology.displayContaining({1500, -10}))),
              std::tuple(1u, 2u, 0u, 1u, 2u, 3u, 0u));
    // Without a display flagged main, the first of the sorted list stands in.
    const DisplayTopology noMain({makeDisplay(1, {1920, 0, 10, 10}), makeDisplay(2, {0, 0, 10, 10})});
    EXPECT_EQ(noMain.mainDisplay()->id(), 2u);
    // Of two flagged main, the first in list order.
    const DisplayTopology twoMain({makeDisplay(1, {1920, 0, 10, 10}, true), makeDisplay(2, {0, 0, 10, 10}, true)});
    EXPECT_EQ(twoMain.mainDisplay()->id(), 2u);
    // Duplicate ids: the first in list order.
    const DisplayTopology dup({makeDisplay(1, {100, 0, 10, 10}, false, "B"), makeDisplay(1, {0, 0, 10, 10}, false, "A")});
    EXPECT_EQ(dup.displayWithID(1)->localizedName(), "A");
}
TEST(DisplayTopology, Slices) {
    const DisplayTopology topology = threeDisplays();
    const auto slices = topology.slices({1000, -100, 2000, 600});
    const std::tuple<std::uint32_t, CGRect, CGRect> expected[] = {
        {3, {1000, -100, 280, 100}, {1000, 700, 280, 100}}, {1, {1000, 0, 920, 500}, {1000, 0, 920, 500}},
        {2, {1920, 0, 1080, 500}, {0, 0, 1080, 500}}};
    ASSERT_EQ(slices.size(), std::size(expected));
    for (std::size_t i = 0; i < slices.size(); ++i) {
        const auto& [id, global, local] = expected[i];
        EXPECT_EQ(slices[i].display.id(), id);
        EXPECT_TRUE(identical(slices[i].globalRect, global)) << i;
        EXPECT_TRUE(identical(slices[i].localRect, local)) << i;
    }
    struct Case { const char* what; CGRect rect; std::size_t count; };
    const Case cases[] = {
        {"overlap of exactly 0.5 in width", {1919.5, 0, 100, 100}, 1},  // display 2 only
        {"overlap of 0.6 in width", {1919.4, 0, 100, 100}, 2},
        {"overlap of exactly 0.5 in height", {100, 1079.5, 10, 10}, 0}, {"touching edge", {3840, 0, 10, 10}, 0},
        {"disjoint", {5000, 5000, 10, 10}, 0}, {"null rectangle", CGRect::null(), 0},
        {"non-number rectangle", {kNaN, 0, 10, 10}, 0}, {"negative size", {2000, 100, -200, -50}, 2},
        {"whole desktop", {-1e300, -1e300, 1e301, 1e301}, 3}};
    for (const Case& c : cases) EXPECT_EQ(topology.slices(c.rect).size(), c.count) << c.what;
}
TEST(DisplayTopology, NearestAndClamp) {
    const DisplayTopology topology = threeDisplays();
    // (1500, -10) is 10 below display 1 and 220 right of display 3.
    EXPECT_EQ(std::tuple(topology.nearestDisplay({5000, 10})->id(), topology.nearestDisplay({10, -5000})->id(),
                         topology.nearestDisplay({1500, -10})->id()),
              std::tuple(2u, 3u, 1u));
    EXPECT_EQ(std::tuple(topology.clampCursor({5000, -20}), topology.clampCursor({100, 100}), topology.clampCursor({1500, -10})),
              std::tuple(pt(3839, 0), pt(100, 100), pt(1500, 0)));
    // Ties keep the earlier display: the gap point is 10 from both displays.
    const DisplayTopology gap({makeDisplay(1, {0, 0, 101, 100}), makeDisplay(2, {120, 0, 100, 100})});
    EXPECT_EQ(std::pair(gap.nearestDisplay({110, 50})->id(), gap.nearestDisplay({110.5, 50})->id()), std::pair(1u, 2u));
}
TEST(DisplayTopology, ConstrainCursor) {
    const DisplayTopology topology = threeDisplays();
    struct Case { const char* what; CGPoint from, to, expected; };
    const Case cases[] = {
        {"target inside", {10, 10}, {2000, 500}, {2000, 500}},
        {"leaves the desktop to the right", {3800, 500}, {3900, 500}, {3839, 500}},
        {"into the void above display 1", {1500, 10}, {1500, -10}, {1500, 0}},
        // Display 3's corner is 0.64 away, display 1's edge 0.6: the display the cursor came from
        // wins by its half-point allowance.
        {"previous display wins a near tie", {1270, -5}, {1279.5, -0.6}, {1279, -1}},
        {"without previous display the nearer one", {-50, -50}, {1279.5, -0.6}, {1279.5, 0}},
        {"from another display the nearer one", {100, 100}, {1279.5, -0.6}, {1279.5, 0}},
        // Every distance overflows: the first display (3) takes the cursor.
        {"huge finite target", {10, 10}, {1.7e308, 1.7e308}, {1279, -1}},
        {"huge finite negative target", {10, 10}, {-1.7e308, -1.7e308}, {0, -800}}};
    for (const Case& c : cases) EXPECT_EQ(topology.constrainCursor(c.from, c.to), c.expected) << c.what;
    // With every distance overflowing, the first display's clamp is the answer, not garbage.
    const DisplayTopology single({makeDisplay(1, {0, 0, 100, 100})});
    EXPECT_EQ(single.constrainCursor({1, 1}, {1.7e308, -1.7e308}), pt(99, 0));
}
TEST(DisplayTopology, VoidRatio) {
    const DisplayTopology topology = threeDisplays();
    struct Case { const char* what; CGRect rect; double expected; };
    const Case cases[] = {
        {"fully covered", {0, 0, 100, 100}, 0.0}, {"half covered", {3790, 0, 100, 100}, 0.5},
        {"outside", {5000, 0, 100, 100}, 1.0}, {"zero width", {0, 0, 0, 100}, 0.0}, {"null", CGRect::null(), 0.0},
        {"non-number size", {0, 0, kNaN, 100}, 0.0}, {"infinite", {0, 0, kInf, kInf}, 1.0}};
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(topology.voidRatio(c.rect), c.expected) << c.what;
    // Overlapping displays count twice but the result stays within 0 and 1.
    const DisplayTopology overlapping({makeDisplay(1, {0, 0, 100, 100}), makeDisplay(2, {0, 0, 100, 100})});
    EXPECT_EQ(overlapping.voidRatio({0, 0, 100, 100}), 0.0);
}
TEST(DisplayTopology, EqualityAndHashing) {
    const DisplayTopology a = threeDisplays();
    const DisplayTopology b({makeDisplay(3, {0, -800, 1280, 800}), makeDisplay(2, {1920, 0, 1920, 1080}),
                             makeDisplay(1, {0, 0, 1920, 1080}, true)});
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.hash(), b.hash());
    const DisplayTopology renamed({makeDisplay(1, {0, 0, 1920, 1080}, true), makeDisplay(2, {1920, 0, 1920, 1080}),
                                   makeDisplay(3, {0, -800, 1280, 800}, false, "Other")});
    EXPECT_NE(a, renamed);
    EXPECT_NE(a, DisplayTopology({makeDisplay(1, {0, 0, 1920, 1080}, true), makeDisplay(2, {1920, 0, 1920, 1080})}));
}
}}  // namespace mivodrell
