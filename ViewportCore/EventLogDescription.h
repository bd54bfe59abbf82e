#pragma once
// The renderings the log descriptions of control messages are built from.

#include <cstdint>
#include <string>
#include <string_view>

namespace mivodrell::logtext {

// A double truncated toward zero, in decimal (10.9 gives 10, -0.5 gives 0). Values that have no
// 64-bit integer part give a line all the same: "nan", "inf", "-inf", or the shortest form of
// the number when it is finite but outside the 64-bit range.
void appendInt(std::string& out, double value);
// "%.1f" / "%.2f".
void appendFixed(std::string& out, double value, int decimals);
// The shortest form that reads back as the same value, with ".0" for whole numbers
// (48000.0, 0.25, 1e-05, 1e+16); "nan", "inf", "-inf" for the non-finite values.
void appendReal(std::string& out, double value);
void appendInteger(std::string& out, std::int64_t value);
void appendUnsigned(std::string& out, std::uint64_t value);
void appendBool(std::string& out, bool value);
// The number of user-perceived characters (extended grapheme clusters). A byte that is not
// part of valid UTF-8 counts as one character.
std::size_t characterCount(std::string_view text);

}  // namespace mivodrell::logtext
