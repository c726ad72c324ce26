#pragma once
// Our JPEG reader, over libjpeg-turbo: decodes a whole file held in memory straight into the
// 32-bit blue-green-red-X layout, and refuses what cannot give a whole picture.
//
// A file is refused, before the picture is allocated, when
//  - its size is beyond the pixel limit, or zero;
//  - it is too short to hold even the tersest coding of its first scan's 8x8 blocks
//    (MinFirstScanBytes in jpeg_load.cpp states the bound);
// and while decoding, when
//  - its data ends, or is corrupt, before every colour component has had one complete scan
//    (a baseline file cut short, a progressive file whose first scan is incomplete);
//  - it has more than kMaxJpegScans scans.
// Damage after that (missing refinement scans of a progressive file, a file cut during them)
// and harmless oddities (stray bytes before a marker) leave a whole picture: it loads.

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "platform/surface.h"

namespace formats {

using platform::Picture;
using platform::Status;

// Real files have at most a few dozen scans; every scan is a pass over the whole picture, so a
// file of thousands of tiny scans costs minutes of CPU for nothing.
inline constexpr int kMaxJpegScans = 500;

// What a file carries besides its pixels, as stored: nothing here is interpreted.
struct JpegMetadata {
    // The first APP1 segment that starts with "Exif\0\0": its bytes after those six (the TIFF
    // header onward). Empty when there is none.
    std::vector<std::uint8_t> exif;
    // The ICC profile, reassembled from its APP2 chunks. Empty when there is none or when the
    // chunks do not make a whole profile (missing, repeated or misnumbered chunks).
    std::vector<std::uint8_t> icc;
};

// Decodes a JPEG file (its whole contents). On success out holds the picture as stored (no
// orientation applied), opaque (hasAlpha false, every fourth byte 255), and *metadata, when given,
// what the file carries besides. On failure out and *metadata are untouched and the reason says
// why. Four-channel files are refused: see JpegHeader::fourChannel.
Status ReadJpeg(std::string_view file, Picture& out, JpegMetadata* metadata = nullptr);

// The refusals ReadJpeg makes before decoding (scan count, frame size, data too short for the
// frame), for files that another decoder reads: the four-channel ones.
Status CheckJpegLimits(std::string_view file);

struct JpegHeader {
    int width = 0, height = 0;  // as the frame states them, before any check
    int components = 0;
    // Progressive (and other multi-scan) files are decoded through a buffer of all their DCT
    // coefficients, 128 bytes an 8 x 8 block of every component, held beside the picture.
    bool multiScan = false;
    // CMYK or YCCK, which libjpeg-turbo does not turn into RGB (ReadJpeg refuses them).
    bool fourChannel = false;
};
// Reads the headers up to the first scan, as ReadJpeg does, and nothing more: cheap whatever the
// picture's size. False (out untouched) when they cannot be read.
bool ReadJpegHeader(std::string_view file, JpegHeader& out);

}  // namespace formats
