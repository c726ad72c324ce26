#pragma once
// The TIFF writer, over libtiff: 8-bit RGB, deflate with the horizontal predictor.

#include <string>

#include "formats/picture_writers.h"

namespace formats {

// Strips of libtiff's default height (about 8 KiB of raw rows each), Orientation 1, meta's ICC
// profile as the ICCProfile tag. options are not used: the coding is lossless. EXIF is not
// written: a TIFF holds it as a directory of its own tags, not as a block. Classic TIFF, so the
// file must stay below 4 GiB.
platform::Status SaveTiff(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                          const SaveOptions& options, const platform::ImageMeta* meta);

}  // namespace formats
