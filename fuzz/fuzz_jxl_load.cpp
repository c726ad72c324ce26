// The JPEG XL reader on its own, from memory.
// Invariants: a success gives a picture of the header's size (sides swapped for orientations
// 5..8) whose fourth byte is 255 everywhere unless hasAlpha, with no more metadata than the
// input's bytes; a failure has a reason and leaves the output alone.
//
// Headers over 4 Mpx are skipped: the picture and libjxl's float planes at the pixel limit would
// pass the 2 GiB limit of fuzz/run.sh. Their refusal by size is the reader's first step and is
// covered by the tests.

#include <jxl/decode.h>

#include <cstdint>
#include <string_view>
#include <utility>

#include "formats/jxl_load.h"
#include "fuzz/fuzz_support.h"

namespace {

// The basic header's upright size, or false when it cannot be read.
bool HeaderSize(const std::uint8_t* data, std::size_t size, std::uint64_t& w, std::uint64_t& h) {
    JxlDecoder* dec = JxlDecoderCreate(nullptr);
    JxlDecoderSubscribeEvents(dec, JXL_DEC_BASIC_INFO);
    JxlDecoderSetInput(dec, data, size);
    JxlDecoderCloseInput(dec);
    JxlBasicInfo info{};
    const bool ok = JxlDecoderProcessInput(dec) == JXL_DEC_BASIC_INFO &&
                    JxlDecoderGetBasicInfo(dec, &info) == JXL_DEC_SUCCESS;
    JxlDecoderDestroy(dec);
    w = info.xsize, h = info.ysize;
    if (info.orientation > JXL_ORIENT_ROTATE_180) std::swap(w, h);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    if (!formats::IsJxl(file)) return -1;
    std::uint64_t w = 0, h = 0;
    const bool header = HeaderSize(data, size, w, h);
    if (w * h > (std::uint64_t{4} << 20)) return -1;

    platform::Picture picture;
    picture.hasAlpha = true;  // a success must set it from the pixels
    const platform::Status s = formats::ReadJxl(file, picture);
    if (!s) {
        fuzzing::Check(!s.reason().empty(), "ReadJxl failed without a reason");
        fuzzing::Check(picture.pixels.empty() && picture.hasAlpha && !picture.meta,
                       "ReadJxl set its output on failure");
        return 0;
    }
    const platform::Bitmap& px = picture.pixels;
    fuzzing::Check(header && std::uint64_t(px.width()) == w && std::uint64_t(px.height()) == h,
                   "picture and header differ in size");
    if (picture.meta) {
        // A Brotli-compressed EXIF box may inflate beyond the input: it is capped at 16 MiB.
        fuzzing::Check(picture.meta->icc.size() <= (std::size_t{1} << 24) &&
                           picture.meta->exif.size() <= (std::size_t{16} << 20),
                       "metadata beyond its caps");
    }
    bool transparent = false;
    for (std::size_t i = 0; i < px.pixelCount(); ++i) transparent |= (px.data()[i] >> 24) != 0xFF;
    fuzzing::Check(transparent == picture.hasAlpha, "hasAlpha does not match the pixels");
    return 0;
}
