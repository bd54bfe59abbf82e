#include "ViewportCore/Base64.h"

#include <array>

namespace mivodrell {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) entry = kInvalid;
    for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}
constexpr std::array<std::uint8_t, 256> kDecode = makeDecodeTable();

}  // namespace

void Base64::encode(std::span<const std::uint8_t> bytes, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + encodedLength(bytes.size()));
    char* p = out.data() + start;
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        *p++ = kAlphabet[(v >> 18) & 63];
        *p++ = kAlphabet[(v >> 12) & 63];
        *p++ = kAlphabet[(v >> 6) & 63];
        *p++ = kAlphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        *p++ = kAlphabet[(v >> 18) & 63];
        *p++ = kAlphabet[(v >> 12) & 63];
        *p++ = '=';
        *p++ = '=';
    } else if (rest == 2) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
        *p++ = kAlphabet[(v >> 18) & 63];
        *p++ = kAlphabet[(v >> 12) & 63];
        *p++ = kAlphabet[(v >> 6) & 63];
        *p++ = '=';
    }
}

std::string Base64::encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    encode(bytes, out);
    return out;
}

std::optional<std::vector<std::uint8_t>> Base64::decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    if (text.empty()) return bytes;
    std::size_t padding = 0;
    if (text.back() == '=') padding = (text[text.size() - 2] == '=') ? 2 : 1;
    bytes.resize(text.size() / 4 * 3 - padding);

    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t fullGroups = text.size() / 4 - 1;
    std::uint8_t* out = bytes.data();
    for (std::size_t g = 0; g < fullGroups; ++g, s += 4) {
        const std::uint8_t a = kDecode[s[0]], b = kDecode[s[1]], c = kDecode[s[2]], d = kDecode[s[3]];
        if (((a | b | c | d) & 0xC0) != 0) return std::nullopt;
        const std::uint32_t v = (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d;
        *out++ = static_cast<std::uint8_t>(v >> 16);
        *out++ = static_cast<std::uint8_t>(v >> 8);
        *out++ = static_cast<std::uint8_t>(v);
    }
    // The last group, which may hold the padding.
    const std::uint8_t a = kDecode[s[0]], b = kDecode[s[1]];
    const std::uint8_t c = padding >= 2 ? 0 : kDecode[s[2]];
    const std::uint8_t d = padding >= 1 ? 0 : kDecode[s[3]];
    if (((a | b | c | d) & 0xC0) != 0) return std::nullopt;
    const std::uint32_t v = (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d;
    if (padding == 2 && (v & 0xFFFF) != 0) return std::nullopt;
    if (padding == 1 && (v & 0xFF) != 0) return std::nullopt;
    *out++ = static_cast<std::uint8_t>(v >> 16);
    if (padding < 2) *out++ = static_cast<std::uint8_t>(v >> 8);
    if (padding < 1) *out++ = static_cast<std::uint8_t>(v);
    return bytes;
}

}  // namespace mivodrell
