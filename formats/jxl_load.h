#pragma once
// The JPEG XL reader, over libjxl's decoder: 8 to 16 bits a channel (and float) rounded to 8,
// alpha, the codestream's orientation, the colour profile and the EXIF box.

#include <string_view>

#include "platform/status.h"
#include "platform/surface.h"

namespace formats {

// True for a bare JPEG XL codestream (FF 0A) and for the container ("JXL " box first).
bool IsJxl(std::string_view file);

// Decodes the first displayed frame of a JPEG XL file held in memory (layers blended as the file
// says, an animation's first frame).
// - libjxl turns the picture upright by the codestream's orientation field; an EXIF box's
//   Orientation is not applied again (the block is carried as stored; writers set it to 1).
// - Every channel is rounded to 8 bits from libjxl's 16-bit output: (v * 255 + 32767) / 65535.
//   Grey pictures come out as equal red, green and blue.
// - Alpha kept, premultiplied alpha undone by libjxl; hasAlpha when some pixel is not opaque.
// - The colour profile of the pixels as decoded is kept unless it is plain sRGB (what every
//   picture without a profile is taken to be); the EXIF box ("Exif", Brotli-compressed "brob"
//   boxes included) is kept; a damaged one of either is left out.
// CMYK files (a black extra channel) are refused: libjxl 0.7 would give their first three inks as
// RGB. Refused before the picture is decoded: sizes over the pixel limit and what does not fit the
// memory budget (the size comes from the basic header, the first thing read). Damaged and cut
// files are refused with a reason. The decoder runs on libjxl's thread runner; the pixels do not
// depend on its thread count. On failure out is untouched.
platform::Status ReadJxl(std::string_view file, platform::Picture& out);

}  // namespace formats
