#pragma once
// The readers that the picture loader picks by content, one line each (picture_readers.cpp), and
// what every one of them shares: the size check before anything is allocated and the making of an
// upright picture with its metadata.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/orientation.h"
#include "platform/status.h"
#include "platform/surface.h"

namespace formats {

using platform::Orientation;
using platform::Picture;
using platform::Status;

struct PictureReader {
    const char* label;                            // "WebP": names the format in reasons
    bool (*detect)(std::string_view file);        // from the first bytes alone
    Status (*read)(std::string_view file, Picture& out);  // upright, with its metadata
};

// Tried in this order, before the loader's own formats. A reader's read is called only where its
// detect is true; on failure it leaves out untouched and its reason says why.
std::span<const PictureReader> PictureReaders();

// Before a reader allocates: the size within the pixel limit, and the picture's 4 bytes a pixel
// plus extraBytes (the library's own buffers held beside it) within the memory budget.
Status CheckDecodeSize(std::int64_t width, std::int64_t height, std::uint64_t extraBytes);

// Makes the stored picture upright and gives it its metadata: a profile or EXIF block that is
// damaged is dropped (each on its own). The EXIF orientation turns the picture unless the format
// has its own, given as `own` (a TIFF Orientation tag; Upright for a container that has already
// turned the pixels). Fails only when memory runs out; picture is untouched then.
Status FinishPicture(Picture& picture, std::vector<std::uint8_t> icc,
                     std::vector<std::uint8_t> exif, const Orientation* own = nullptr);

// hasAlpha for a decoded picture with an alpha channel: true when some pixel is not opaque.
bool AnyTransparent(const platform::Bitmap& pixels);

}  // namespace formats
