// The HEIF reader (HEIC, AVIF) on its own, from memory.
// Invariants: a success gives a picture of the primary image's size (after its transforms) whose
// fourth byte is 255 everywhere unless hasAlpha, with no more metadata than the input's bytes; a
// failure has a reason and leaves the output alone.
//
// Images over 4 Mpx are skipped: the picture and libheif's planes at the pixel limit would pass
// the 2 GiB limit of fuzz/run.sh. Their refusal by size is the reader's first step and is
// covered by the tests.

#include <libheif/heif.h>

#include <cstdint>
#include <string_view>

#include "formats/heif_load.h"
#include "fuzz/fuzz_support.h"

namespace {

// The primary image's size as the reader's libheif settings read it from the boxes, or 0 x 0.
void PrimarySize(std::string_view file, int& w, int& h) {
    w = h = 0;
    heif_context* ctx = heif_context_alloc();
    // The reader's side limit, not libheif's default of 32768: else a 40000 x 100 picture that
    // the reader takes would count as unreadable here.
    heif_context_set_maximum_image_size_limit(ctx, formats::kMaxHeifSide);
    heif_image_handle* handle = nullptr;
    if (heif_context_read_from_memory_without_copy(ctx, file.data(), file.size(), nullptr).code ==
            heif_error_Ok &&
        heif_context_get_primary_image_handle(ctx, &handle).code == heif_error_Ok) {
        w = heif_image_handle_get_width(handle);
        h = heif_image_handle_get_height(handle);
        heif_image_handle_release(handle);
    }
    heif_context_free(ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    if (!formats::IsHeif(file)) return -1;
    int w = 0, h = 0;
    PrimarySize(file, w, h);
    if (std::int64_t(w) * h > (std::int64_t{4} << 20)) return -1;

    platform::Picture picture;
    picture.hasAlpha = true;  // a success must set it from the pixels
    const platform::Status s = formats::ReadHeif(file, picture);
    if (!s) {
        fuzzing::Check(!s.reason().empty(), "ReadHeif failed without a reason");
        fuzzing::Check(picture.pixels.empty() && picture.hasAlpha && !picture.meta,
                       "ReadHeif set its output on failure");
        return 0;
    }
    const platform::Bitmap& px = picture.pixels;
    fuzzing::Check(px.width() == w && px.height() == h, "picture and primary image differ in size");
    if (picture.meta) {
        fuzzing::Check(picture.meta->exif.size() + picture.meta->icc.size() <= size,
                       "metadata out of nowhere");
    }
    bool transparent = false;
    for (std::size_t i = 0; i < px.pixelCount(); ++i) transparent |= (px.data()[i] >> 24) != 0xFF;
    fuzzing::Check(transparent == picture.hasAlpha, "hasAlpha does not match the pixels");
    return 0;
}
