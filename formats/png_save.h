#pragma once
// The PNG writer: libspng writes the head and the metadata chunks, the rows are filtered and
// deflated in bands of fixed height on the cores (png_bands.h).

#include <memory>
#include <string>

#include "formats/row_writer.h"
#include "platform/bitmap.h"
#include "platform/image_meta.h"
#include "platform/status.h"

namespace formats {

// Writes the top-left w x h pixels of bitmap (both within it) as an 8-bit RGB PNG file.
// rate: 1 fastest, 0 normal, 2 smallest file; any other value is taken as 0. meta, when given,
// is embedded as eXIf (rewritten as for JPEG) and iCCP.
platform::Status SavePng(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                         int rate, const platform::ImageMeta* meta);

// The row writer for PNG (OpenRowWriter). Nullptr and status set on failure.
std::unique_ptr<RowWriter> OpenPngWriter(const std::string& path, int width, int height,
                                         int rate, const platform::ImageMeta* meta,
                                         platform::Status& status);

}  // namespace formats
