#pragma once
// Four-character codes, packed big-endian as the platform's media APIs write them ('BGRA' = 0x42475241).

#include <cstdint>
#include <string>

namespace mivodrell {

constexpr std::uint32_t fourCC(const char (&code)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

inline std::string fourCCString(std::uint32_t code) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
    return s;
}

namespace PixelFormat {
// 32-bit B, G, R, A bytes in memory, one plane.
inline constexpr std::uint32_t bgra = fourCC("BGRA");  // 0x42475241
// Bi-planar 4:2:0, full range: a Y plane and an interleaved CbCr plane of half size (rounded up).
inline constexpr std::uint32_t yuv420BiPlanarFullRange = fourCC("420f");  // 0x34323066
// Planar 4:2:0, video range: a Y plane, then a Cb and a Cr plane of half size (rounded up).
inline constexpr std::uint32_t yuv420PlanarVideoRange = fourCC("y420");  // 0x79343230
}  // namespace PixelFormat

}  // namespace mivodrell
