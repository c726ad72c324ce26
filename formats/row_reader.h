#pragma once
// Readers that hand out a picture's rows top to bottom as the file is read, so that a picture of
// any height is composed without ever being held whole. The rows are exactly those that the
// whole-picture load puts into the source slot: upright, drawn over the slot's white background
// (a pixel's alpha blended as DrawPicture blends it), every fourth byte 255.
//
// Streamable are the pictures whose file gives its rows in order and that need no turn:
//   JPEG  baseline and progressive, not CMYK/YCCK (libjpeg's scanline reading into BGRX)
//   PNG   not interlaced (libspng's row-by-row decoding), metadata chunks before the image data
//   BMP   uncompressed 16, 24 and 32 bits a pixel (rows read at their offsets)
// with an EXIF orientation of 1 or 2 (2 mirrors every row) and no side over kMaxRowSide.
// Everything else (GIF, ICO, palette and run-length BMP, interlaced PNG, CMYK JPEG,
// orientations 3 to 8) is not streamable: OpenRowReader says so and the caller loads it whole.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/image_meta.h"
#include "platform/status.h"

namespace formats {

// The longest side the row route takes (JPEG's own limit is 65,500). Up to this size tiling
// covers every pixel exactly as the whole-picture composition's tile count gives it.
inline constexpr int kMaxRowSide = 1'000'000;

class RowReader {
public:
    virtual ~RowReader() = default;

    int width() const { return width_; }
    int height() const { return height_; }
    // Profile and EXIF as the whole-picture reader hands them out (damaged parts dropped).
    const platform::ImageMetaPtr& meta() const { return meta_; }
    // Memory the decoder holds besides the caller's rows (a progressive JPEG's coefficients,
    // read buffers), for the memory budget.
    std::uint64_t workingBytes() const { return workingBytes_; }

    // Reads the next count rows into rows + i * stride (in pixels). A failure (damaged or cut
    // data) ends the reading; the reason is the one the whole-picture reader gives.
    virtual platform::Status ReadRows(std::uint32_t* rows, std::size_t stride, int count) = 0;
    // After the last row: checks what the whole-picture reader checks after the pixels (a
    // JPEG's end, a PNG's last checksums).
    virtual platform::Status Finish() = 0;

protected:
    int width_ = 0, height_ = 0;
    platform::ImageMetaPtr meta_;
    std::uint64_t workingBytes_ = 0;
};

struct RowSource {
    std::unique_ptr<RowReader> reader;  // null: load the picture whole
    platform::Status status;            // a refusal found while opening (reader null then)
    bool streamable() const { return reader != nullptr; }
};

// Opens path as LoadImageSlot would read it: a name ending in ".PNG" (any case) as PNG, any other
// by its contents. Not streamable (reader null, status ok) for every kind listed above and for a
// file that cannot be opened or whose headers cannot be read: the whole-picture load then gives
// its own reason. Refused (status failed) for what the whole-picture reader refuses before
// decoding, with its reason (too many JPEG scans, data too short for the frame).
RowSource OpenRowReader(const std::string& path);

// The kinds' own openers, for OpenRowReader. fd is an open regular file, read from its start;
// the reader takes it over (and closes it) in every case.
RowSource OpenJpegRows(int fd);
RowSource OpenPngRows(int fd);
RowSource OpenBmpRows(int fd);

// A row of decoded pixels (alpha in the fourth byte) as it looks drawn over the slot's white
// background: platform::BlendRowOver onto white, in place. Every fourth byte becomes 255.
void OverWhite(std::uint32_t* row, int count);

}  // namespace formats
