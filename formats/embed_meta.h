#pragma once
// The result slot's metadata as the writers embed it: the EXIF block rewritten for a result and
// the colour profile, each left out where the format cannot hold it whole.

#include <cstdint>
#include <cstdio>
#include <vector>

// After <cstdio>: jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <spng.h>

#include "platform/image_meta.h"

namespace formats {

struct Embedded {
    std::vector<std::uint8_t> exif;                  // empty: none
    const std::vector<std::uint8_t>* icc = nullptr;  // null: none; points into the ImageMeta
};

enum class Container { Jpeg, Png };

// What a width x height result in the given container carries of meta (which may be null).
// JPEG: EXIF only if it fits one APP1 segment, the profile only if it fits 255 APP2 markers.
// PNG: each only if its chunk stays within the format's 2^31 - 1 bytes.
Embedded PrepareEmbedded(const platform::ImageMeta* meta, Container container, int width,
                         int height);

// JPEG: APP1 "Exif" and the profile's APP2 "ICC_PROFILE" markers. Called between
// jpeg_start_compress and the first scanline.
void WriteJpegMarkers(j_compress_ptr cinfo, const Embedded& embedded);

// PNG: eXIf and iCCP (named "ICC Profile", deflated by libspng). The encoder keeps pointers into
// embedded until the image is encoded. Returns 0 or a libspng error.
int SetPngChunks(spng_ctx* ctx, const Embedded& embedded);

}  // namespace formats
