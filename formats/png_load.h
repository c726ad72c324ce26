#pragma once
// The PNG reader, over libspng.

#include <string>

#include "platform/status.h"
#include "platform/surface.h"

namespace formats {

// Decodes the whole PNG file (every colour type, bit depth and interlacing) into a picture with
// alpha. 16-bit channels are rounded to 8 bits; no gamma correction. The picture stands upright
// as its eXIf orientation says, and carries its iCCP profile and eXIf block (a damaged one is
// left out; it never fails the load). Sizes beyond the pixel limit and files that are not PNG or
// are damaged fail with a reason; out is then untouched.
platform::Status ReadPng(const std::string& path, platform::Picture& out);

}  // namespace formats
