#pragma once
// The HEIF reader (HEIC and AVIF), over libheif: the primary image, grids and alpha included,
// 8 to 16 bits a channel rounded to 8, turned upright by the file's own transforms.

#include <string_view>

#include "platform/status.h"
#include "platform/surface.h"

namespace formats {

// True when the file starts with an ISO-BMFF 'ftyp' box whose brands name a HEIF still image
// (heic, heix, heim, heis, mif1, mif2, avif, avis, ...): HEIC and AVIF alike.
bool IsHeif(std::string_view file);

// Decodes the primary image of a HEIF file held in memory.
// - The container's transforms (clap crop, irot, imir) make the picture upright. An EXIF
//   Orientation inside the file is not applied again: the transforms are authoritative, and
//   phones store Orientation 6 beside an irot that has already turned the picture. The EXIF
//   block is carried as stored; every writer sets its Orientation to 1.
// - Channels deeper than 8 bits are rounded: (v * 255 + max / 2) / max, max = 2^bits - 1.
// - Alpha kept (straight, as libheif hands it back); hasAlpha when some pixel is not opaque.
// - The ICC profile (a 'prof' colour box) and the EXIF block are kept; a damaged one is left out.
// Refused before anything is decoded: sides over kMaxHeifSide, pixels over the pixel limit,
// a picture that does not fit the memory budget. Damaged and cut files are refused with a
// reason; libheif decodes strictly. On failure out is untouched.
platform::Status ReadHeif(std::string_view file, platform::Picture& out);

// libheif's own limit on either side of an image, set on every file it reads (its default is
// 32768); the pixel count is checked against our own limit beside it.
inline constexpr int kMaxHeifSide = 65535;

}  // namespace formats
