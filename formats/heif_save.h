#pragma once
// The HEIF writer, over libheif: AVIF (AV1, libaom) and HEIC (HEVC, x265), 8-bit 4:2:0.

#include <string>

#include "formats/picture_writers.h"
#include "platform/bitmap.h"
#include "platform/image_meta.h"
#include "platform/status.h"

namespace formats {

enum class HeifCodec { Avif, Heic };

// True when libheif here has an encoder for the codec.
bool CanSaveHeif(HeifCodec codec);

// Writes the top-left w x h pixels of bitmap (both within it), opaque, as a HEIF file of the
// codec. quality 1..100 (clamped) is libheif's lossy quality. meta, when given, is embedded: its
// EXIF (Orientation 1, no thumbnail) as the image's Exif item, its ICC profile as a 'prof'
// colour box. The encoders' thread counts are fixed (libaom one, x265 two), so the same pixels and
// settings give the same bytes on any machine.
platform::Status SaveHeif(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                          HeifCodec codec, int quality, const platform::ImageMeta* meta);

// The writer table's entries: AVIF and HEIC at options.quality (no lossless form).
platform::Status SaveAvif(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                          const SaveOptions& options, const platform::ImageMeta* meta);
platform::Status SaveHeic(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                          const SaveOptions& options, const platform::ImageMeta* meta);

}  // namespace formats
