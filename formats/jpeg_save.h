#pragma once
// The JPEG writer, over libjpeg-turbo's libjpeg API: straight from 32-bit BGRX rows; a baseline
// file in restart-marker bands on every core, a progressive one in one piece.

#include <string>

#include "platform/bitmap.h"
#include "platform/image_meta.h"
#include "platform/status.h"

namespace formats {

// Writes the top-left w x h pixels of bitmap (both within it) as a JPEG file. rate is the
// quality factor, clamped into 1..100. meta, when given, is embedded: its EXIF (Orientation 1,
// no thumbnail) in APP1 if it fits one segment, its colour profile byte for byte in APP2 markers.
platform::Status SaveJpeg(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                          int rate, bool progressive, const platform::ImageMeta* meta);

}  // namespace formats
