#pragma once
// The picture loader: BMP, GIF (first frame), ICO (the largest entry) and JPEG files, decoded
// whole before anything is handed back. Uncompressed 16/24/32-bit BMPs and JPEGs other than CMYK
// go through our own readers (formats/bmp_load.h, formats/jpeg_load.h); everything else through
// Qt's image reader.

#include <memory>
#include <string>

#include "platform/status.h"
#include "platform/surface.h"

namespace platform {

// A JPEG picture stands upright as its EXIF orientation says and carries its EXIF block and
// colour profile (a damaged one is left out and never fails the load).
// On success out holds the picture, alpha kept for transparent pixels. On failure out is
// untouched and the reason says why (missing file, folder, unknown format, corrupt data, size
// beyond the pixel limit).
Status LoadPicture(const std::string& path, std::shared_ptr<const Picture>& out);

}  // namespace platform
