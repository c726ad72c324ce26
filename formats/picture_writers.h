#pragma once
// The writers that glimbra-cli picks by the output's extension besides BMP, JPEG and PNG (whose
// writers keep the codec's own calls), one line each (picture_writers.cpp).

#include <span>
#include <string>
#include <string_view>

#include "platform/bitmap.h"
#include "platform/image_meta.h"
#include "platform/status.h"

namespace formats {

struct SaveOptions {
    int quality = 50;       // 1..100 for the lossy coders: the JPEG quality setting
    bool lossless = false;  // the lossless coding, where the format has one
};

// Writes the top-left w x h pixels of bitmap (both within it) to path, a file that the caller
// made for it (the atomic file's temporary); meta (may be null) as the format holds it. Same
// bitmap and options, same bytes, on any machine.
using PictureWriter = platform::Status (*)(const platform::Bitmap& bitmap, int w, int h,
                                           const std::string& path, const SaveOptions& options,
                                           const platform::ImageMeta* meta);

struct WriterEntry {
    const char* ext;  // upper case with its dot: ".WEBP"
    PictureWriter write;
};

std::span<const WriterEntry> PictureWriters();
// The writer for an upper-case extension, or null.
PictureWriter FindWriter(std::string_view ext);

}  // namespace formats
