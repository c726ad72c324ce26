#pragma once
// The PNG writer: libspng writes the head and the metadata chunks, the rows are filtered and
// deflated in bands on every core (png_bands.h).

#include <string>

#include "platform/bitmap.h"
#include "platform/image_meta.h"
#include "platform/status.h"

namespace formats {

// Writes the top-left w x h pixels of bitmap (both within it) as an 8-bit RGB PNG file.
// rate: 1 fastest, 0 normal, 2 smallest file; any other value is taken as 0. meta, when given,
// is embedded as eXIf (rewritten as for JPEG) and iCCP.
platform::Status SavePng(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                         int rate, const platform::ImageMeta* meta);

}  // namespace formats
