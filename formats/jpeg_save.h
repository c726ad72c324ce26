#pragma once
// The JPEG writer, over libjpeg-turbo's libjpeg API: straight from 32-bit BGRX rows; a baseline
// file in restart-marker bands of fixed height (encoded on the cores), a progressive one through
// one compressor that holds the picture's coefficients.

#include <memory>
#include <string>

#include "formats/row_writer.h"
#include "platform/bitmap.h"
#include "platform/image_meta.h"
#include "platform/status.h"

namespace formats {

// Writes the top-left w x h pixels of bitmap (both within it) as a JPEG file. rate is the
// quality factor, clamped into 1..100. meta, when given, is embedded: its EXIF (Orientation 1,
// no thumbnail) in APP1 if it fits one segment, its colour profile byte for byte in APP2 markers.
platform::Status SaveJpeg(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                          int rate, bool progressive, const platform::ImageMeta* meta);

// The row writer for JPEG (OpenRowWriter). Nullptr and status set on failure.
std::unique_ptr<RowWriter> OpenJpegWriter(const std::string& path, int width, int height,
                                          int rate, bool progressive,
                                          const platform::ImageMeta* meta,
                                          platform::Status& status);

}  // namespace formats
