#pragma once
// PNG writing on the cores: the filtered rows are cut into bands of fixed height, each band is
// deflated on its own (primed with the 32 KiB before it, as one stream would see them), and the
// bands are joined into one zlib stream in one PNG file that we write ourselves (libspng takes
// no compressed data).

#include <memory>
#include <string>
#include <vector>

#include "formats/row_writer.h"
#include "platform/status.h"

namespace formats {

// How the rows are filtered and deflated (the reasons are in png_save.cpp).
enum class PngCoding {
    Fastest,   // Up filter, run-length matching
    Normal,    // per-row filter choice, run-length matching
    Smallest,  // per-row filter choice; each band the smaller of run-length and level-9 matching
};

// A row writer for a w x h picture as 8-bit RGB: head (the signature, IHDR and the chunks that
// precede the image data) is written at once, then the image data as the bands complete, IEND
// at Finish. Nullptr and status set on failure; nothing is left on disk then.
std::unique_ptr<RowWriter> OpenPngBands(const std::string& path, int w, int h, PngCoding coding,
                                        const std::vector<unsigned char>& head,
                                        platform::Status& status);

}  // namespace formats
