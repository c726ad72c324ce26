#pragma once
// Our own reader for the direct-colour BMPs: uncompressed 16, 24 and 32 bits a pixel, with the
// default channel layout or with bit masks, under the 40, 52, 56, 108 and 124-byte headers (and
// OS/2's 64-byte one). Palette and run-length BMPs are not read here.

#include <string_view>

#include "platform/status.h"
#include "platform/surface.h"

namespace formats {

using platform::Picture;
using platform::Status;

// True when the file's header (file header and the fixed part of the bitmap header) names a kind
// of bitmap that ReadBmp decodes. It looks at nothing beyond the first 34 bytes; the rest is
// ReadBmp's to check.
bool IsDirectBmp(std::string_view file);

// Decodes a whole file for which IsDirectBmp is true. Every size, offset and mask is checked
// before the picture is allocated; on failure out is untouched and the reason says why (cut-off
// file, corrupt header, size beyond the pixel limit, memory).
// Channels narrower than 8 bits are scaled to the full range, rounded to nearest (5-bit 31 gives
// 255); wider ones keep their top 8 bits. hasAlpha is set only when an alpha mask is present and
// some pixel is not opaque.
Status ReadBmp(std::string_view file, Picture& out);

}  // namespace formats
