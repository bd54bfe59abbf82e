#pragma once
// The set of modifier keys held, as bits of one 32-bit value. Six bits are named; any other bit
// has no meaning but is carried unchanged, so every 32-bit value is a valid set.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>

namespace mivodrell {

struct KeyModifiers {
    std::uint32_t rawValue = 0;

    // Named members (one bit each); defined below the class.
    static const KeyModifiers command;   // 0x1
    static const KeyModifiers shift;     // 0x2
    static const KeyModifiers option;    // 0x4
    static const KeyModifiers control;   // 0x8
    static const KeyModifiers function;  // 0x10
    static const KeyModifiers capsLock;  // 0x20

    // The empty set.
    constexpr KeyModifiers() noexcept = default;
    // Keeps all 32 bits.
    constexpr explicit KeyModifiers(std::uint32_t raw) noexcept : rawValue(raw) {}
    // The union of the listed members; an empty list gives the empty set.
    constexpr KeyModifiers(std::initializer_list<KeyModifiers> members) noexcept {
        for (const KeyModifiers m : members) rawValue |= m.rawValue;
    }

    constexpr bool isEmpty() const noexcept { return rawValue == 0; }

    constexpr KeyModifiers unionWith(KeyModifiers other) const noexcept {
        return KeyModifiers(rawValue | other.rawValue);
    }
    constexpr KeyModifiers intersection(KeyModifiers other) const noexcept {
        return KeyModifiers(rawValue & other.rawValue);
    }
    constexpr KeyModifiers symmetricDifference(KeyModifiers other) const noexcept {
        return KeyModifiers(rawValue ^ other.rawValue);
    }
    constexpr KeyModifiers subtracting(KeyModifiers other) const noexcept {
        return KeyModifiers(rawValue & ~other.rawValue);
    }

    constexpr void formUnion(KeyModifiers other) noexcept { rawValue |= other.rawValue; }
    constexpr void formIntersection(KeyModifiers other) noexcept { rawValue &= other.rawValue; }
    constexpr void formSymmetricDifference(KeyModifiers other) noexcept { rawValue ^= other.rawValue; }
    constexpr void subtract(KeyModifiers other) noexcept { rawValue &= ~other.rawValue; }

    // True when every bit of `member` is set (the empty set is always contained).
    constexpr bool contains(KeyModifiers member) const noexcept {
        return (rawValue & member.rawValue) == member.rawValue;
    }
    // Sets the member's bits; true when at least one of them was not set before.
    constexpr bool insert(KeyModifiers member) noexcept {
        const bool inserted = !contains(member);
        rawValue |= member.rawValue;
        return inserted;
    }
    // Clears the member's bits; returns those of them that were set, or nothing when none were.
    constexpr std::optional<KeyModifiers> remove(KeyModifiers member) noexcept {
        const KeyModifiers present = intersection(member);
        if (present.isEmpty()) return std::nullopt;
        subtract(member);
        return present;
    }
    // Sets the member's bits; returns those of them that were set before, or nothing when none were.
    constexpr std::optional<KeyModifiers> update(KeyModifiers member) noexcept {
        const KeyModifiers present = intersection(member);
        formUnion(member);
        if (present.isEmpty()) return std::nullopt;
        return present;
    }

    constexpr bool isSubset(KeyModifiers other) const noexcept {
        return (rawValue & other.rawValue) == rawValue;
    }
    constexpr bool isSuperset(KeyModifiers other) const noexcept { return other.isSubset(*this); }
    constexpr bool isDisjoint(KeyModifiers other) const noexcept { return (rawValue & other.rawValue) == 0; }

    friend constexpr KeyModifiers operator|(KeyModifiers a, KeyModifiers b) noexcept { return a.unionWith(b); }
    friend constexpr KeyModifiers operator&(KeyModifiers a, KeyModifiers b) noexcept {
        return a.intersection(b);
    }
    friend constexpr KeyModifiers operator^(KeyModifiers a, KeyModifiers b) noexcept {
        return a.symmetricDifference(b);
    }
    constexpr KeyModifiers& operator|=(KeyModifiers other) noexcept {
        formUnion(other);
        return *this;
    }
    constexpr KeyModifiers& operator&=(KeyModifiers other) noexcept {
        formIntersection(other);
        return *this;
    }
    constexpr KeyModifiers& operator^=(KeyModifiers other) noexcept {
        formSymmetricDifference(other);
        return *this;
    }

    // All 32 bits compare.
    friend constexpr bool operator==(KeyModifiers, KeyModifiers) noexcept = default;
};

inline constexpr KeyModifiers KeyModifiers::command(0x1u);
inline constexpr KeyModifiers KeyModifiers::shift(0x2u);
inline constexpr KeyModifiers KeyModifiers::option(0x4u);
inline constexpr KeyModifiers KeyModifiers::control(0x8u);
inline constexpr KeyModifiers KeyModifiers::function(0x10u);
inline constexpr KeyModifiers KeyModifiers::capsLock(0x20u);

}  // namespace mivodrell

template <>
struct std::hash<mivodrell::KeyModifiers> {
    std::size_t operator()(mivodrell::KeyModifiers m) const noexcept { return std::hash<std::uint32_t>{}(m.rawValue); }
};
