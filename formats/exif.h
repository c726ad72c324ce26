#pragma once
// The EXIF block of a photo, read and rewritten through libexif. The block is a TIFF stream
// (see ImageMeta::exif). Nothing here prints anything or fails a load: a block that cannot be
// read is reported as damaged, and the caller drops it.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/image_meta.h"
#include "platform/orientation.h"

namespace formats {

using platform::ImageMetaPtr;
using platform::Orientation;

// The TIFF stream inside a JPEG APP1 payload ("Exif\0\0" first); empty for any other APP1
// (XMP, for one).
std::vector<std::uint8_t> ExifFromApp1(const std::uint8_t* payload, std::size_t size);

// Reads the block. False when it is damaged: no valid TIFF header, or not one entry that libexif
// can make of it. orientation gets the Orientation tag, Upright when the tag is missing, not a
// single short, or outside 1..8.
bool ReadExif(const std::vector<std::uint8_t>& exif, Orientation* orientation);

// What a decoder found beside the pixels, as the picture carries it: a profile that is not whole
// and an EXIF block that ReadExif calls damaged are dropped, each on its own (the picture loads as
// if it had none). orientation gets the EXIF orientation. Null when nothing is left.
ImageMetaPtr AcceptMeta(std::vector<std::uint8_t> icc, std::vector<std::uint8_t> exif,
                        Orientation* orientation);

// The block as a written result carries it: Orientation 1 (the pixels are upright now), no
// thumbnail (IFD1 and its image would show the picture before the blend), and the pixel
// dimensions, where the block gives them, set to width x height. Everything else is kept as
// libexif reads it. Empty when the block is damaged, longer than libexif reads (65528 bytes:
// what one JPEG segment holds) or cannot be written again.
std::vector<std::uint8_t> ExifForOutput(const std::vector<std::uint8_t>& exif, int width,
                                        int height);

}  // namespace formats
