#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "ViewportCore/KeyModifiers.h"
#include "ViewportCore/MouseButton.h"
#include "ViewportCore/ScrollPhase.h"
#include "ViewportCore/VirtualKey.h"

namespace mivodrell {
namespace {

TEST(MouseButton, RawValuesRoundTripAndOthersAreRejected) {
    const std::pair<MouseButton, std::string_view> cases[] = {
        {MouseButton::left, "left"}, {MouseButton::right, "right"}, {MouseButton::middle, "middle"}};
    for (std::uint8_t raw = 0; raw < 3; ++raw) {
        const auto button = mouseButtonFromRawValue(raw);
        ASSERT_TRUE(button.has_value());
        EXPECT_EQ(*button, cases[raw].first);
        EXPECT_EQ(rawValue(*button), raw);
        EXPECT_EQ(caseName(*button), cases[raw].second);
    }
    EXPECT_EQ(rawValue(MouseButton::middle), 2);
    for (int raw = 3; raw <= 255; ++raw) {
        EXPECT_FALSE(mouseButtonFromRawValue(static_cast<std::uint8_t>(raw))) << raw;
    }
}

TEST(ScrollPhase, RawValuesRoundTripAndOthersAreRejected) {
    const std::pair<ScrollPhase, std::string_view> cases[] = {{ScrollPhase::began, "began"},
                                                              {ScrollPhase::changed, "changed"},
                                                              {ScrollPhase::momentum, "momentum"},
                                                              {ScrollPhase::ended, "ended"}};
    for (std::uint8_t raw = 0; raw < 4; ++raw) {
        const auto phase = scrollPhaseFromRawValue(raw);
        ASSERT_TRUE(phase.has_value());
        EXPECT_EQ(*phase, cases[raw].first);
        EXPECT_EQ(rawValue(*phase), raw);
        EXPECT_EQ(caseName(*phase), cases[raw].second);
    }
    EXPECT_EQ(rawValue(ScrollPhase::momentum), 2);
    for (int raw = 4; raw <= 255; ++raw) {
        EXPECT_FALSE(scrollPhaseFromRawValue(static_cast<std::uint8_t>(raw))) << raw;
    }
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
    {"f10", 109},      {"f11", 103},      {"f12", 111},      {"eisu", 102},     {"kana", 104},
};

TEST(VirtualKey, AllCasesFollowTheTableInDeclarationOrder) {
    static_assert(std::size(kKeyTable) == 75);
    ASSERT_EQ(allVirtualKeys.size(), 75u);
    for (std::size_t i = 0; i < allVirtualKeys.size(); ++i) {
        const VirtualKey key = allVirtualKeys[i];
        EXPECT_EQ(caseName(key), kKeyTable[i].first) << i;
        EXPECT_EQ(rawValue(key), kKeyTable[i].second) << i;
        EXPECT_EQ(declarationIndex(key), i);
        EXPECT_EQ(virtualKeyFromRawValue(rawValue(key)), key) << i;
    }
}

TEST(VirtualKey, EveryCodeWithoutACaseIsRejected) {
    std::set<std::uint16_t> used;
    for (const auto& entry : kKeyTable) used.insert(entry.second);
    ASSERT_EQ(used.size(), 75u);
    for (std::uint32_t code = 0; code <= 0xFFFF; ++code) {
        const auto key = virtualKeyFromRawValue(static_cast<std::uint16_t>(code));
        EXPECT_EQ(key.has_value(), used.count(static_cast<std::uint16_t>(code)) == 1) << code;
    }
    for (const std::uint16_t code : {10, 52, 54, 95, 105, 110, 112, 127}) {
        EXPECT_FALSE(virtualKeyFromRawValue(code)) << code;
    }
    EXPECT_EQ(virtualKeyFromRawValue(126), VirtualKey::up);
    EXPECT_EQ(virtualKeyFromRawValue(53), VirtualKey::escape);
    EXPECT_EQ(virtualKeyFromRawValue(111), VirtualKey::f12);
    EXPECT_EQ(virtualKeyFromRawValue(0), VirtualKey::a);
    EXPECT_EQ(virtualKeyFromRawValue(51), VirtualKey::deleteKey);
}

TEST(VirtualKey, HashesByKeyCode) {
    std::unordered_set<VirtualKey> keys(allVirtualKeys.begin(), allVirtualKeys.end());
    EXPECT_EQ(keys.size(), 75u);
    EXPECT_EQ(std::hash<VirtualKey>{}(VirtualKey::up), std::hash<VirtualKey>{}(VirtualKey::up));
}

TEST(KeyModifiers, MembersAndConstruction) {
    EXPECT_EQ(KeyModifiers::command.rawValue, 0x1u);
    EXPECT_EQ(KeyModifiers::shift.rawValue, 0x2u);
    EXPECT_EQ(KeyModifiers::option.rawValue, 0x4u);
    EXPECT_EQ(KeyModifiers::control.rawValue, 0x8u);
    EXPECT_EQ(KeyModifiers::function.rawValue, 0x10u);
    EXPECT_EQ(KeyModifiers::capsLock.rawValue, 0x20u);

    EXPECT_EQ((KeyModifiers{KeyModifiers::command, KeyModifiers::shift}).rawValue, 3u);
    EXPECT_TRUE(KeyModifiers().isEmpty());
    EXPECT_TRUE((KeyModifiers{}).isEmpty());
    const KeyModifiers all(0xFFFFFFFFu);
    for (const KeyModifiers m : {KeyModifiers::command, KeyModifiers::shift, KeyModifiers::option,
                                 KeyModifiers::control, KeyModifiers::function, KeyModifiers::capsLock}) {
        EXPECT_TRUE(all.contains(m));
    }
    EXPECT_EQ(all.rawValue, 0xFFFFFFFFu);  // unnamed bits are carried unchanged
    EXPECT_NE(KeyModifiers(0x40u), KeyModifiers());
}

TEST(KeyModifiers, SetAlgebraAgreesWithBitOperations) {
    // Compared against plain bit arithmetic over a spread of values, unnamed bits included.
    const std::uint32_t values[] = {0u, 1u, 2u, 3u, 0x21u, 0x3Fu, 0x40u, 0x80000001u, 0xFFFFFFFFu, 0x12345678u};
    for (const std::uint32_t a : values) {
        for (const std::uint32_t b : values) {
            const KeyModifiers x(a);
            const KeyModifiers y(b);
            EXPECT_EQ(x.unionWith(y).rawValue, a | b);
            EXPECT_EQ(x.intersection(y).rawValue, a & b);
            EXPECT_EQ(x.symmetricDifference(y).rawValue, a ^ b);
            EXPECT_EQ(x.subtracting(y).rawValue, a & ~b);
            EXPECT_EQ((x | y).rawValue, a | b);
            EXPECT_EQ((x & y).rawValue, a & b);
            EXPECT_EQ((x ^ y).rawValue, a ^ b);
            EXPECT_EQ(x.contains(y), (a & b) == b);
            EXPECT_EQ(x.isSubset(y), (a & b) == a);
            EXPECT_EQ(x.isSuperset(y), (a & b) == b);
            EXPECT_EQ(x.isDisjoint(y), (a & b) == 0);

            KeyModifiers m = x;
            m.formUnion(y);
            EXPECT_EQ(m.rawValue, a | b);
            m = x;
            m.formIntersection(y);
            EXPECT_EQ(m.rawValue, a & b);
            m = x;
            m.formSymmetricDifference(y);
            EXPECT_EQ(m.rawValue, a ^ b);
            m = x;
            m.subtract(y);
            EXPECT_EQ(m.rawValue, a & ~b);

            m = x;
            EXPECT_EQ(m.insert(y), (a & b) != b);
            EXPECT_EQ(m.rawValue, a | b);

            m = x;
            const std::optional<KeyModifiers> removed = m.remove(y);
            EXPECT_EQ(m.rawValue, a & ~b);
            EXPECT_EQ(removed, (a & b) == 0 ? std::nullopt : std::optional(KeyModifiers(a & b)));

            m = x;
            const std::optional<KeyModifiers> updated = m.update(y);
            EXPECT_EQ(m.rawValue, a | b);
            EXPECT_EQ(updated, (a & b) == 0 ? std::nullopt : std::optional(KeyModifiers(a & b)));
        }
    }
}

TEST(KeyModifiers, InsertAndRemoveReportWhatChanged) {
    KeyModifiers set{KeyModifiers::shift};
    EXPECT_FALSE(set.insert(KeyModifiers::shift));
    EXPECT_TRUE(set.insert(KeyModifiers::command));
    EXPECT_EQ(set.rawValue, 3u);
    EXPECT_EQ(set.remove(KeyModifiers::control), std::nullopt);
    EXPECT_EQ(set.rawValue, 3u);
    EXPECT_EQ(set.remove(KeyModifiers::command), KeyModifiers::command);
    EXPECT_EQ(set, KeyModifiers::shift);
    EXPECT_EQ(set.update(KeyModifiers::shift), KeyModifiers::shift);
    EXPECT_EQ(set.update(KeyModifiers::option), std::nullopt);
    EXPECT_EQ(set.rawValue, 6u);
    EXPECT_TRUE(KeyModifiers().contains(KeyModifiers()));
    EXPECT_FALSE(KeyModifiers().insert(KeyModifiers()));
    EXPECT_EQ(std::hash<KeyModifiers>{}(KeyModifiers(3u)),
              std::hash<KeyModifiers>{}(KeyModifiers{KeyModifiers::command, KeyModifiers::shift}));
}

}  // namespace
}  // namespace mivodrell
