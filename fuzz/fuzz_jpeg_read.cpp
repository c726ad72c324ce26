// The JPEG reader on its own, from memory, with the metadata asked for.
// Invariants: a success gives an opaque picture of the frame's size with no more metadata than
// the input's bytes; a failure has a reason and leaves the outputs alone.
//
// Frames over 4 Mpx are skipped (the picture and libjpeg's coefficient buffers would pass the
// 2 GiB limit of fuzz/run.sh at the pixel limit). That still leaves the refusals the reader adds
// within reach: 500 minimal scans fit in 8 KiB, and a frame of 4 Mpx needs at least 16 KiB of
// coded data, so inputs of the run's 64 KiB can be too short for their frame either way.

#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "formats/jpeg_load.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    formats::JpegHeader header;
    if (formats::ReadJpegHeader(file, header) &&
        std::int64_t(header.width) * header.height > (std::int64_t{4} << 20)) {
        return -1;
    }

    platform::Picture picture;
    picture.hasAlpha = true;  // a success must clear it
    formats::JpegMetadata metadata{.exif = {7}, .icc = {7}};
    const platform::Status s = formats::ReadJpeg(file, picture, &metadata);
    if (!s) {
        fuzzing::Check(!s.reason().empty(), "ReadJpeg failed without a reason");
        fuzzing::Check(picture.pixels.empty() && picture.hasAlpha, "ReadJpeg set its output");
        fuzzing::Check(metadata.exif.size() == 1 && metadata.icc.size() == 1,
                       "ReadJpeg set the metadata on failure");
        return 0;
    }
    const platform::Bitmap& px = picture.pixels;
    fuzzing::Check(!picture.hasAlpha, "a JPEG picture with alpha");
    fuzzing::Check(px.width() == header.width && px.height() == header.height,
                   "picture and frame differ in size");
    fuzzing::Check(metadata.exif.size() + metadata.icc.size() <= size, "metadata out of nowhere");
    for (std::size_t i = 0; i < px.pixelCount(); ++i) {
        if ((px.data()[i] >> 24) != 0xFF) fuzzing::Violated("opaque picture with alpha below 255");
    }
    return 0;
}
