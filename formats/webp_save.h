#pragma once
// The WebP writer, over libwebp (encode) and libwebpmux (ICCP and EXIF chunks).

#include <string>

#include "formats/picture_writers.h"

namespace formats {

// Lossy at options.quality, or lossless; opaque. Sides up to 16383 pixels, the format's limit.
// meta's profile as ICCP, its EXIF (rewritten for a result) as EXIF.
platform::Status SaveWebp(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                          const SaveOptions& options, const platform::ImageMeta* meta);

}  // namespace formats
