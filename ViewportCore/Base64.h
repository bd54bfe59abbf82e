#pragma once
// Standard Base64 (RFC 4648 alphabet with "+" and "/"), always padded with "=", no line breaks.
// Decoding is strict: the length is a multiple of four, padding only at the end, no whitespace,
// and the unused bits of the last group are zero (so every buffer has exactly one text).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mivodrell {

struct Base64 {
    static std::size_t encodedLength(std::size_t byteCount) { return (byteCount + 2) / 3 * 4; }
    // Appends the text of `bytes` to `out`.
    static void encode(std::span<const std::uint8_t> bytes, std::string& out);
    static std::string encode(std::span<const std::uint8_t> bytes);
    // The bytes of a valid text; nothing for anything else.
    static std::optional<std::vector<std::uint8_t>> decode(std::string_view text);
};

}  // namespace mivodrell
