#pragma once
// Which key a keyboard event names. The raw value is the macOS virtual key code of the key itself,
// so the injection side needs no translation table.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace mivodrell {

// 75 keys. `deleteKey` (case name "delete") is the backspace key, `forwardDelete` the
// forward-delete key; `eisu` and `kana` are the two mode keys of the Japanese keyboard.
enum class VirtualKey : std::uint16_t {
    a = 0,
    s = 1,
    d = 2,
    f = 3,
    h = 4,
    g = 5,
    z = 6,
    x = 7,
    c = 8,
    v = 9,
    b = 11,
    q = 12,
    w = 13,
    e = 14,
    r = 15,
    y = 16,
    t = 17,
    n1 = 18,
    n2 = 19,
    n3 = 20,
    n4 = 21,
    n6 = 22,
    n5 = 23,
    equal = 24,
    n9 = 25,
    n7 = 26,
    minus = 27,
    n8 = 28,
    n0 = 29,
    rightBracket = 30,
    o = 31,
    u = 32,
    leftBracket = 33,
    i = 34,
    p = 35,
    returnKey = 36,
    l = 37,
    j = 38,
    quote = 39,
    k = 40,
    semicolon = 41,
    backslash = 42,
    comma = 43,
    slash = 44,
    n = 45,
    m = 46,
    period = 47,
    tab = 48,
    space = 49,
    grave = 50,
    deleteKey = 51,  // case name "delete" (a reserved word in C++)
    escape = 53,
    forwardDelete = 117,
    home = 115,
    end = 119,
    pageUp = 116,
    pageDown = 121,
    left = 123,
    right = 124,
    down = 125,
    up = 126,
    f1 = 122,
    f2 = 120,
    f3 = 99,
    f4 = 118,
    f5 = 96,
    f6 = 97,
    f7 = 98,
    f8 = 100,
    f9 = 101,
    f10 = 109,
    f11 = 103,
    f12 = 111,
    eisu = 102,
    kana = 104,
};

// Every key in declaration order.
inline constexpr std::array<VirtualKey, 75> allVirtualKeys = {
    VirtualKey::a, VirtualKey::s, VirtualKey::d, VirtualKey::f, VirtualKey::h, VirtualKey::g,
    VirtualKey::z, VirtualKey::x, VirtualKey::c, VirtualKey::v, VirtualKey::b, VirtualKey::q,
    VirtualKey::w, VirtualKey::e, VirtualKey::r, VirtualKey::y, VirtualKey::t, VirtualKey::n1,
    VirtualKey::n2, VirtualKey::n3, VirtualKey::n4, VirtualKey::n6, VirtualKey::n5, VirtualKey::equal,
    VirtualKey::n9, VirtualKey::n7, VirtualKey::minus, VirtualKey::n8, VirtualKey::n0, VirtualKey::rightBracket,
    VirtualKey::o, VirtualKey::u, VirtualKey::leftBracket, VirtualKey::i, VirtualKey::p, VirtualKey::returnKey,
    VirtualKey::l, VirtualKey::j, VirtualKey::quote, VirtualKey::k, VirtualKey::semicolon, VirtualKey::backslash,
    VirtualKey::comma, VirtualKey::slash, VirtualKey::n, VirtualKey::m, VirtualKey::period, VirtualKey::tab,
    VirtualKey::space, VirtualKey::grave, VirtualKey::deleteKey, VirtualKey::escape, VirtualKey::forwardDelete, VirtualKey::home,
    VirtualKey::end, VirtualKey::pageUp, VirtualKey::pageDown, VirtualKey::left, VirtualKey::right, VirtualKey::down,
    VirtualKey::up, VirtualKey::f1, VirtualKey::f2, VirtualKey::f3, VirtualKey::f4, VirtualKey::f5,
    VirtualKey::f6, VirtualKey::f7, VirtualKey::f8, VirtualKey::f9, VirtualKey::f10, VirtualKey::f11,
    VirtualKey::f12, VirtualKey::eisu, VirtualKey::kana,
};

constexpr std::uint16_t rawValue(VirtualKey key) noexcept { return static_cast<std::uint16_t>(key); }

namespace virtual_key_detail {
inline constexpr std::uint16_t highestCode = 126;
inline constexpr std::uint8_t noKey = 75;

// Key code -> position in `allVirtualKeys`, or `noKey`.
inline constexpr std::array<std::uint8_t, highestCode + 1> positionByCode = [] {
    std::array<std::uint8_t, highestCode + 1> table{};
    for (auto& entry : table) entry = noKey;
    for (std::size_t i = 0; i < allVirtualKeys.size(); ++i) {
        table[rawValue(allVirtualKeys[i])] = static_cast<std::uint8_t>(i);
    }
    return table;
}();

inline constexpr std::array<std::string_view, 75> names = {
    "a", "s", "d", "f", "h", "g", "z", "x",
    "c", "v", "b", "q", "w", "e", "r", "y",
    "t", "n1", "n2", "n3", "n4", "n6", "n5", "equal",
    "n9", "n7", "minus", "n8", "n0", "rightBracket", "o", "u",
    "leftBracket", "i", "p", "returnKey", "l", "j", "quote", "k",
    "semicolon", "backslash", "comma", "slash", "n", "m", "period", "tab",
    "space", "grave", "delete", "escape", "forwardDelete", "home", "end", "pageUp",
    "pageDown", "left", "right", "down", "up", "f1", "f2", "f3",
    "f4", "f5", "f6", "f7", "f8", "f9", "f10", "f11",
    "f12", "eisu", "kana",
};
}  // namespace virtual_key_detail

// The key whose code is `raw`, or nothing (codes above 126 and the unused codes below).
constexpr std::optional<VirtualKey> virtualKeyFromRawValue(std::uint16_t raw) noexcept {
    if (raw > virtual_key_detail::highestCode) return std::nullopt;
    const std::uint8_t position = virtual_key_detail::positionByCode[raw];
    if (position == virtual_key_detail::noKey) return std::nullopt;
    return allVirtualKeys[position];
}

// Position of the key in declaration order (0 to 74).
constexpr std::size_t declarationIndex(VirtualKey key) noexcept {
    const std::uint16_t raw = rawValue(key);
    if (raw > virtual_key_detail::highestCode) return virtual_key_detail::noKey;
    return virtual_key_detail::positionByCode[raw];
}

// The case name ("a", "n1", "returnKey", "forwardDelete", ...); "?" for a value that names no key.
constexpr std::string_view caseName(VirtualKey key) noexcept {
    const std::size_t position = declarationIndex(key);
    if (position >= virtual_key_detail::names.size()) return "?";
    return virtual_key_detail::names[position];
}

}  // namespace mivodrell
