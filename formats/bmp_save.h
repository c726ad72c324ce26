#pragma once
// The bitmap writer: an uncompressed 24-bit bottom-up BMP, the variant that every viewer reads.

#include <memory>
#include <string>

#include "formats/row_writer.h"
#include "platform/bitmap.h"
#include "platform/status.h"

namespace formats {

// Writes the whole bitmap (through the row writer below).
platform::Status SaveBmp(const platform::Bitmap& image, const std::string& path);

// The row writer for BMP (OpenRowWriter): the header with the final size first, then each row
// at its place in the bottom-up file as it arrives. Nullptr and status set on failure.
std::unique_ptr<RowWriter> OpenBmpWriter(const std::string& path, int width, int height,
                                         platform::Status& status);

}  // namespace formats
