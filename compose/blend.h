#pragma once
// The light-and-shade blend of one colour channel around the neutral level 191.
//
// For a floating value t below 191 the source value s moves toward 0 by p = (191 - t) / 191;
// from 191 up it moves toward 255 by p = (t - 191) / 64. The exact steps, whose rounding decides
// output bytes:
//   p      = float(numerator) / float(denominator)   rounded to single precision
//   weight = p * 100                                  rounded to single precision
//   keep   = 100 - weight                             rounded to single precision
//   v      = (s / 100.0) * keep + (target / 100.0) * weight
//            true double divisions, each product rounded to double before the sum (no fused
//            multiply-add: this file's code is built with -ffp-contract=off)
//   result = v rounded to the nearest whole number, halves to even.

#include <array>
#include <cstddef>
#include <cstdint>

namespace compose {

inline constexpr std::uint8_t kNeutral = 191;
inline constexpr std::uint8_t kLightSpan = 255 - kNeutral;  // 64

// The formula itself, for one (source, floating) pair. Independent of the current rounding mode.
std::uint8_t BlendChannel(std::uint8_t s, std::uint8_t t);

// All 65,536 results, indexed [t][s], computed once from BlendChannel.
using BlendTable = std::array<std::array<std::uint8_t, 256>, 256>;
const BlendTable& GetBlendTable();

// Blends count pixels: out[k] takes the blend of each colour channel of src[k] with the matching
// channel of flt[k], and src[k]'s fourth byte. out may be src (in place); otherwise the arrays
// must not overlap.
void BlendPixels(std::uint32_t* out, const std::uint32_t* src, const std::uint32_t* flt,
                 std::size_t count);
inline void BlendPixels(std::uint32_t* src, const std::uint32_t* flt, std::size_t count) {
    BlendPixels(src, src, flt, count);
}

}  // namespace compose
