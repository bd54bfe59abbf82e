#include <gtest/gtest.h>
#include <tuple>
#include "ViewportCore/KeyModifiers.h"
#include "ViewportCore/MouseButton.h"
#include "ViewportCore/ScrollPhase.h"
#include "ViewportCore/VirtualKey.h"
namespace mivodrell { namespace {
// Raw values 0..n-1 name the cases in order; every other byte is rejected.
template <class Value, std::size_t n>
void expectSmallRawTable(std::optional<Value> (*fromRawValue)(std::uint8_t),
                         const std::pair<Value, std::string_view> (&cases)[n]) {
    for (int raw = 0; raw <= 255; ++raw) {
        const auto value = fromRawValue(static_cast<std::uint8_t>(raw));
        ASSERT_EQ(value.has_value(), raw < static_cast<int>(n)) << raw;
        if (!value) continue;
        EXPECT_EQ(*value, cases[raw].first);
        EXPECT_EQ(rawValue(*value), raw);
        EXPECT_EQ(caseName(*value), cases[raw].second);
    }
}
TEST(MouseButtonAndScrollPhase, RawValuesRoundTripAndOthersAreRejected) {
    expectSmallRawTable(mouseButtonFromRawValue, {std::pair{MouseButton::left, std::string_view("left")},
                         std::pair{MouseButton::right, std::string_view("right")},
                         std::pair{MouseButton::middle, std::string_view("middle")}});
    expectSmallRawTable(scrollPhaseFromRawValue, {std::pair{ScrollPhase::began, std::string_view("began")},
                         std::pair{ScrollPhase::changed, std::string_view("changed")},
                         std::pair{ScrollPhase::momentum, std::string_view("momentum")},
                         std::pair{ScrollPhase::ended, std::string_view("ended")}});
}
// The key table written out independently of the header, in declaration order.
constexpr std::pair<std::string_view, std::uint16_t> kKeyTable[] = {
    {"a", 0},          {"s", 1},          {"d", 2},          {"f", 3},          {"h", 4},
    {"g", 5},          {"z", 6},          {"x", 7},          {"c", 8},          {"v", 9},
    {"b", 11},         {"q", 12},         {"w", 13},         {"e", 14},         {"r", 15},
    {"y", 16},         {"t", 17},         {"n1", 18},        {"n2", 19},        {"n3", 20},
    {"n4", 21},        {"n6", 22},        {"n5", 23},        {"equal", 24},     {"n9", 25},
    {"n7", 26},        {"minus", 27},     {"n8", 28},        {"n0", 29},        {"rightBracket", 30},
    {"o", 31},         {"u", 32},         {"leftBracket", 33}, {"i", 34},       {"p", 35},
    {"returnKey", 36}, {"l", 37},         {"j", 38},         {"quote", 39},     {"k", 40},
    {"semicolon", 41}, {"backslash", 42}, {"comma", 43},     {"slash", 44},     {"n", 45},
    {"m", 46},         {"period", 47},    {"tab", 48},       {"space", 49},     {"grave", 50},
    {"delete", 51},    {"escape", 53},    {"forwardDelete", 117}, {"home", 115}, {"end", 119},
    {"pageUp", 116},   {"pageDown", 121}, {"left", 123},     {"right", 124},    {"down", 125},
    {"up", 126},       {"f1", 122},       {"f2", 120},       {"f3", 99},        {"f4", 118},
    {"f5", 96},        {"f6", 97},        {"f7", 98},        {"f8", 100},       {"f9", 101},
    {"f10", 109},      {"f11", 103},      {"f12", 111},      {"eisu", 102},     {"kana", 104}};
TEST(VirtualKey, CasesFollowTheTableAndOtherCodesAreRejected) {
    ASSERT_EQ(allVirtualKeys.size(), std::size(kKeyTable));
    std::set<std::uint16_t> used;
    for (std::size_t i = 0; i < allVirtualKeys.size(); ++i) {
        const VirtualKey key = allVirtualKeys[i];
        EXPECT_EQ(caseName(key), kKeyTable[i].first) << i;
        EXPECT_EQ(rawValue(key), kKeyTable[i].second) << i;
        EXPECT_EQ(declarationIndex(key), i);
        used.insert(kKeyTable[i].second);
    }
    ASSERT_EQ(used.size(), 75u);
    for (std::uint32_t code = 0; code <= 0xFFFF; ++code) {
        const auto key = virtualKeyFromRawValue(static_cast<std::uint16_t>(code));
        ASSERT_EQ(key.has_value(), used.count(code) == 1) << code;
        EXPECT_TRUE(!key || rawValue(*key) == code) << code;
    }
}
TEST(KeyModifiers, NamedBitsAndUnnamedBitsCarried) {
    const std::pair<KeyModifiers, std::uint32_t> named[] = {
        {KeyModifiers::command, 0x1},  {KeyModifiers::shift, 0x2},     {KeyModifiers::option, 0x4},
        {KeyModifiers::control, 0x8}, {KeyModifiers::function, 0x10}, {KeyModifiers::capsLock, 0x20}};
    const KeyModifiers all(0xFFFFFFFFu);
    for (const auto& [modifier, raw] : named) {
        EXPECT_EQ(std::pair(modifier.rawValue, all.contains(modifier)), std::pair(raw, true));
    }
    EXPECT_EQ(std::tuple((KeyModifiers{KeyModifiers::command, KeyModifiers::shift}).rawValue, KeyModifiers{}.isEmpty(), all.rawValue),
              std::tuple(3u, true, 0xFFFFFFFFu));
}
TEST(KeyModifiers, SetAlgebraAgreesWithBitOperations) {
    // Compared against plain bit arithmetic over a spread of values, unnamed bits included.
    const std::uint32_t values[] = {0u, 1u, 2u, 3u, 0x21u, 0x3Fu, 0x40u, 0x80000001u, 0xFFFFFFFFu, 0x12345678u};
    for (const std::uint32_t a : values) {
        for (const std::uint32_t b : values) {
            const KeyModifiers x(a);
            const KeyModifiers y(b);
            SCOPED_TRACE(::testing::Message() << a << " " << b);
            EXPECT_EQ(std::tuple(x.unionWith(y).rawValue, x.intersection(y).rawValue, x.symmetricDifference(y).rawValue,
                                 x.subtracting(y).rawValue, (x | y).rawValue, (x & y).rawValue, (x ^ y).rawValue),
                      std::tuple(a | b, a & b, a ^ b, a & ~b, a | b, a & b, a ^ b));
            EXPECT_EQ(std::tuple(x.contains(y), x.isSubset(y), x.isSuperset(y), x.isDisjoint(y)),
                      std::tuple((a & b) == b, (a & b) == a, (a & b) == b, (a & b) == 0));
            const auto after = [&](auto change) {
                KeyModifiers m = x;
                change(m);
                return m.rawValue;
            };
            EXPECT_EQ(std::tuple(after([&](KeyModifiers& m) { m.formUnion(y); }),
                                 after([&](KeyModifiers& m) { m.formIntersection(y); }),
                                 after([&](KeyModifiers& m) { m.formSymmetricDifference(y); }),
                                 after([&](KeyModifiers& m) { m.subtract(y); })),
                      std::tuple(a | b, a & b, a ^ b, a & ~b));
            // insert reports whether anything was added; remove and update give the members in common.
            const auto common = (a & b) == 0 ? std::nullopt : std::optional(KeyModifiers(a & b));
            KeyModifiers i = x, r = x, u = x;
            EXPECT_EQ(std::tuple(i.insert(y), i.rawValue), std::tuple((a & b) != b, a | b));
            EXPECT_EQ(std::tuple(r.remove(y), r.rawValue), std::tuple(common, a & ~b));
            EXPECT_EQ(std::tuple(u.update(y), u.rawValue), std::tuple(common, a | b));
        }
    }
}
}}  // namespace mivodrell
