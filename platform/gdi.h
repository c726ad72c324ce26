#pragma once
// Block transfers between the persistent bitmaps of picture surfaces. A device context in this
// program is the address of the bitmap selected into it.

#include <cstdint>

namespace platform {

class Bitmap;
using HDC = Bitmap*;

inline constexpr std::uint32_t SRCCOPY = 0x00CC0020u;

// Copies the width x height rectangle at (srcX, srcY) of src to (x, y) of dst, clipped at the
// edges of both bitmaps. Only SRCCOPY is supported. Returns nonzero on success.
int BitBlt(HDC dst, int x, int y, int width, int height, const Bitmap* src, int srcX, int srcY,
           std::uint32_t rop);

// Scales the srcWidth x srcHeight rectangle at (srcX, srcY) of src onto the width x height
// rectangle at (x, y) of dst, nearest neighbour at pixel centres: destination column i of the
// rectangle takes source column srcX + floor((2i + 1) * srcWidth / (2 * width)); rows likewise.
// Destination pixels outside dst, or whose source pixel lies outside src, are left alone.
// Only positive sizes and SRCCOPY are supported. Returns nonzero on success.
int StretchBlt(HDC dst, int x, int y, int width, int height, const Bitmap* src, int srcX, int srcY,
               int srcWidth, int srcHeight, std::uint32_t rop);

}  // namespace platform
