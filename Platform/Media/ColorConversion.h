#pragma once
// Colour conversion into planar 4:2:0 (I420) in video range with the ITU-R BT.709 matrix, the
// encoder's input format.
//
// BGRA (full-range R'G'B') gives
//   Y  = 16  + 219/255 * (0.2126 R + 0.7152 G + 0.0722 B)
//   Cb = 128 + 224/255 * (B - Y') / 1.8556
//   Cr = 128 + 224/255 * (R - Y') / 1.5748
// with chroma taken from the mean colour of each 2x2 block (a lone last row or column averages
// what it has). Fixed point with 15 fractional bits, rounded to nearest.
//
// '420f' (full-range Y and interleaved CbCr) is range-compressed into video range and split
// into the two chroma planes.
//
// The row kernels are plain loops written for the compiler's vectoriser; the functions take a
// band of chroma rows so that callers can split a picture over threads.

#include <cstddef>
#include <cstdint>

namespace mivodrell {

class PixelBuffer;
class WorkerPool;

struct I420Planes {
    std::uint8_t* y = nullptr;
    std::ptrdiff_t strideY = 0;
    std::uint8_t* u = nullptr;
    std::ptrdiff_t strideU = 0;
    std::uint8_t* v = nullptr;
    std::ptrdiff_t strideV = 0;
};

namespace BT709 {
// Fixed-point coefficients (value * 2^15) for full-range R'G'B' to video-range Y'CbCr.
inline constexpr int fractionBits = 15;
inline constexpr int yR = 5983, yG = 20127, yB = 2032;
inline constexpr int uR = -3298, uG = -11094, uB = 14392;
inline constexpr int vR = 14392, vG = -13072, vB = -1320;
}  // namespace BT709

// Converts chroma rows [firstChromaRow, firstChromaRow + chromaRowCount) of a BGRA picture, that
// is luma rows 2*firstChromaRow up to the matching end (clipped to `height`).
void convertBGRAToI420BT709(const std::uint8_t* bgra, std::ptrdiff_t bgraStride, int width, int height,
                            const I420Planes& out, int firstChromaRow, int chromaRowCount);

// The same for a full-range bi-planar 4:2:0 picture.
void convertNV12FullToI420Video(const std::uint8_t* luma, std::ptrdiff_t lumaStride, const std::uint8_t* chroma,
                                std::ptrdiff_t chromaStride, int width, int height, const I420Planes& out,
                                int firstChromaRow, int chromaRowCount);

// Converts a whole 'BGRA' or '420f' pixel buffer, split into row bands over `pool` (or on the
// calling thread when `pool` is null). Returns false for another pixel format or a size that
// does not match `width` x `height`.
bool convertPixelBufferToI420(const PixelBuffer& source, int width, int height, const I420Planes& out,
                              WorkerPool* pool);

// Full-range BT.709 for capture output ('420f'): Y = 0.2126 R + 0.7152 G + 0.0722 B,
// Cb = 128 + (B - Y) / 1.8556, Cr = 128 + (R - Y) / 1.5748, chroma again from the mean of each
// 2x2 block, same fixed point and rounding.
namespace BT709Full {
inline constexpr int yR = 6966, yG = 23436, yB = 2366;
inline constexpr int uR = -3754, uG = -12630, uB = 16384;
inline constexpr int vR = 16384, vG = -14882, vB = -1502;
}  // namespace BT709Full

// Converts chroma rows [firstChromaRow, firstChromaRow + chromaRowCount) of a BGRA picture into
// full-range bi-planar 4:2:0 (luma plane and interleaved Cb,Cr plane).
void convertBGRAToNV12FullBT709(const std::uint8_t* bgra, std::ptrdiff_t bgraStride, int width, int height,
                                std::uint8_t* luma, std::ptrdiff_t lumaStride, std::uint8_t* chroma,
                                std::ptrdiff_t chromaStride, int firstChromaRow, int chromaRowCount);

}  // namespace mivodrell
