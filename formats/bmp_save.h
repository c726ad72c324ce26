#pragma once
// The bitmap writer: an uncompressed 24-bit bottom-up BMP, the variant that every viewer reads.

#include <string>

#include "platform/bitmap.h"
#include "platform/status.h"

namespace formats {

// Writes the whole bitmap.
platform::Status SaveBmp(const platform::Bitmap& image, const std::string& path);

}  // namespace formats
