#pragma once
// The "smallest" PNG setting on every core: the filtered rows are cut into bands, each band is
// deflated on its own (primed with the 32 KiB before it, as one stream would see them) both by
// run-length matching and by level-9 string matching, the smaller of the two kept, and the bands
// joined into one zlib stream in one PNG file that we write ourselves (libspng takes no
// compressed data).

#include <cstddef>
#include <functional>
#include <vector>

#include "platform/bitmap.h"
#include "platform/status.h"

namespace codec {

// Where the file's bytes go, in order; false stops the writer.
using ByteSink = std::function<bool(const unsigned char* data, std::size_t length)>;

// The whole file, for the top-left w x h pixels of bitmap as 8-bit RGB: head (the signature,
// IHDR and the chunks that precede the image data, as the other settings write them), then the
// image data and IEND. Fails when memory runs out, zlib refuses, or the sink says no (the
// sink's own failure is then the one to report).
platform::Status EncodePngBands(const platform::Bitmap& bitmap, int w, int h,
                                const std::vector<unsigned char>& head, const ByteSink& write);

}  // namespace codec
