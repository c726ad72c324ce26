// The TIFF reader on its own: the bytes as a whole file, as the picture loader hands them over.
// Invariants: a success gives a non-empty picture within the pixel limit and, without alpha,
// every fourth byte 255; a failure has a one-line reason and leaves the output untouched.

#include <cstdint>
#include <string_view>

#include "formats/tiff_load.h"
#include "fuzz/fuzz_support.h"
#include "platform/bitmap.h"

#include <tiffio.h>

#include "formats/tiff_stream.h"

namespace {

// Pictures of more pixels than this are skipped: the reader takes them (up to the pixel limit)
// and the run would spend its time filling them; the tests cover the size checks.
constexpr std::uint64_t kFuzzMaxPixels = std::uint64_t{1} << 22;

bool TooLargeToFuzz(std::string_view file) {
    formats::TiffFile tiff(file, std::uint64_t{64} << 20);
    std::uint32_t w = 0, h = 0;
    if (!tiff.get() || !TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &w) ||
        !TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &h)) {
        return false;
    }
    return std::uint64_t(w) * h > kFuzzMaxPixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    if (!formats::IsTiff(file) || TooLargeToFuzz(file)) return -1;
    platform::Picture out;
    (void)out.pixels.Allocate(1, 1);
    out.pixels.at(0, 0) = 0x12345678u;
    const platform::Status s = formats::ReadTiff(file, out);
    if (s) {
        fuzzing::Check(!out.pixels.empty(), "success with an empty picture");
        fuzzing::Check(std::int64_t(out.pixels.pixelCount()) <= platform::kMaxPixels,
                       "picture beyond the pixel limit");
        if (!out.hasAlpha) {
            for (std::size_t i = 0; i < out.pixels.pixelCount(); ++i) {
                if ((out.pixels.data()[i] >> 24) != 0xFF) fuzzing::Violated("opaque picture with alpha");
            }
        }
    } else {
        fuzzing::Check(!s.reason().empty(), "failure without a reason");
        fuzzing::Check(s.reason().find('\n') == std::string::npos, "reason of several lines",
                       s.reason());
        fuzzing::Check(out.pixels.width() == 1 && out.pixels.at(0, 0) == 0x12345678u,
                       "output touched on failure", s.reason());
    }
    return 0;
}
