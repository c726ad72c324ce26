#pragma once
// The WebP reader, over libwebp (decode) and libwebpdemux (container, animation, metadata):
// lossy, lossless and alpha stills, and the first frame of an animation drawn on its canvas. The
// ICCP and EXIF chunks are kept; the EXIF orientation turns the picture.

#include <string_view>

#include "platform/status.h"
#include "platform/surface.h"

namespace formats {

// "RIFF", a size, "WEBP".
bool IsWebp(std::string_view file);

// Decodes a whole file for which IsWebp is true. The size is checked against the pixel limit and
// the memory budget before anything is allocated; a damaged or cut file is refused. On failure
// out is untouched.
platform::Status ReadWebp(std::string_view file, platform::Picture& out);

}  // namespace formats
