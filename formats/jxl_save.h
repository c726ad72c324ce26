#pragma once
// The JPEG XL writer, over libjxl's encoder: 8-bit RGB, lossy (VarDCT) or lossless (modular).

#include <string>

#include "formats/picture_writers.h"

namespace formats {

// The Butteraugli distance that a quality 1..100 (clamped) gives, as libjxl's cjxl maps it:
// 0.1 + (100 - q) * 0.09 from 30 up (q 90: 1.0, libjxl's default), a steeper curve below.
float JxlDistanceFor(int quality);

// Writes the top-left w x h pixels of bitmap (both within it), opaque, as a JPEG XL file:
// lossless when options.lossless (every pixel back exactly), else at
// JxlDistanceFor(options.quality). meta, when
// given, is embedded: its ICC profile as the image's colour profile (without one the pixels are
// declared sRGB), its EXIF (Orientation 1, no thumbnail) in an "Exif" box. The encoder runs on a
// fixed number of threads (kJxlSaveThreads) and libjxl splits the work by the picture, so the same
// pixels and settings give the same bytes on any machine.
platform::Status SaveJxl(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                         const SaveOptions& options, const platform::ImageMeta* meta);

inline constexpr int kJxlSaveThreads = 2;

}  // namespace formats
