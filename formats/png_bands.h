#pragma once
// PNG writing on every core: the filtered rows are cut into bands, each band is deflated on its
// own (primed with the 32 KiB before it, as one stream would see them), and the bands are joined
// into one zlib stream in one PNG file that we write ourselves (libspng takes no compressed data).

#include <cstddef>
#include <functional>
#include <vector>

#include "platform/bitmap.h"
#include "platform/status.h"

namespace formats {

// How the rows are filtered and deflated (the reasons are in png_write.cpp).
enum class PngCoding {
    Fastest,   // Up filter, run-length matching
    Normal,    // per-row filter choice, run-length matching
    Smallest,  // per-row filter choice; each band the smaller of run-length and level-9 matching
};

// Where the file's bytes go, in order; false stops the writer.
using ByteSink = std::function<bool(const unsigned char* data, std::size_t length)>;

// The whole file, for the top-left w x h pixels of bitmap as 8-bit RGB: head (the signature,
// IHDR and the chunks that precede the image data, as the other settings write them), then the
// image data and IEND. Fails when memory runs out, zlib refuses, or the sink says no (the
// sink's own failure is then the one to report).
platform::Status EncodePngBands(const platform::Bitmap& bitmap, int w, int h, PngCoding coding,
                                const std::vector<unsigned char>& head, const ByteSink& write);

}  // namespace formats
