#pragma once
// The TIFF reader, over libtiff: the first page, in strips or tiles, 1 to 16 bits a sample, grey,
// palette, RGB and RGBA, contiguous or separate planes, every compression libtiff decodes, through
// libtiff's RGBA conversion. The Orientation tag turns the picture; the ICC profile is kept.
//
// What the conversion does with the rest:
//  - CMYK (8-bit inks): converted to RGB by the inks' complements; the profile, which describes
//    the inks, is dropped.
//  - YCbCr, subsampled or not, JPEG-coded or raw: converted to RGB.
//  - 16-bit colour and alpha samples: rounded to 8 bits, (v * 255 + 32767) / 65535, as 16-bit
//    PNG; 16-bit grey keeps its top 8 bits (libtiff's grey table), at most 1 below that.
//  - CIELab, LogLuv and old-style JPEG: converted as libtiff converts them.
//  - Floating-point samples, 12, 24 and 32-bit integers and 16-bit CMYK: refused, the reason
//    says the pixel format cannot be read.
// Alpha, associated or not, comes out unassociated. The EXIF directory of a TIFF is not carried.

#include <string_view>

#include "platform/status.h"
#include "platform/surface.h"

namespace formats {

// "II*\0" or "MM\0*": classic TIFF. (BigTIFF's "II+\0" is detected too; libtiff reads it.)
bool IsTiff(std::string_view file);

// Decodes the first page of a file for which IsTiff is true. The size is checked against the
// pixel limit and the memory budget before the picture is allocated, and no buffer of libtiff's
// may exceed what memory is left; a damaged or cut file is refused. On failure out is untouched.
platform::Status ReadTiff(std::string_view file, platform::Picture& out);

}  // namespace formats
