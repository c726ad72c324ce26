#pragma once
// What a picture file carries besides its pixels and what a written file should carry again: the
// colour profile and the EXIF block. Decoded once at the file boundary, carried by the picture and
// the slot that shows it, turned back into bytes only by the writers. The pixel core never reads
// it.

#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

struct ImageMeta {
    // The ICC profile exactly as the file held it (reassembled from its JPEG markers, inflated
    // from its PNG chunk). Empty: none, or one that was damaged.
    std::vector<std::uint8_t> icc;
    // The EXIF block as a TIFF stream ("II*\0" or "MM\0*" first), as PNG's eXIf chunk stores it;
    // a JPEG's "Exif\0\0" prefix is not part of it. Empty: none, or one that was damaged.
    std::vector<std::uint8_t> exif;

    bool empty() const { return icc.empty() && exif.empty(); }
};

// Shared and immutable: a slot, its picture and the result slot may all hold the same one.
using ImageMetaPtr = std::shared_ptr<const ImageMeta>;

// True when bytes hold a whole ICC profile: at least its 128-byte header, the size the header
// declares equal to the byte count, and the "acsp" signature in its place. A profile failing this
// is taken as damaged and dropped, never passed on to a file.
bool IccProfileIsWhole(const std::vector<std::uint8_t>& bytes);

// Makes the shared value; null when there is nothing to carry.
ImageMetaPtr MakeImageMeta(std::vector<std::uint8_t> icc, std::vector<std::uint8_t> exif);

}  // namespace platform
