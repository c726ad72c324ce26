// TIFF reading through libtiff's RGBA conversion (TIFFRGBAImage), which handles the many ways a
// TIFF stores its samples; the conversion writes straight into the picture's rows, as stored, and
// the Orientation tag is applied afterwards as an EXIF orientation.

#include "formats/tiff_load.h"

#include <tiffio.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "formats/picture_readers.h"
#include "formats/tiff_stream.h"
#include "platform/memory_budget.h"

namespace formats {
namespace {

using platform::Picture;
using platform::Status;

Status Corrupt() { return Status::Fail("画像のデータが壊れています (TIFF)"); }
Status Unsupported() { return Status::Fail("この TIFF の画素の形式は読めません"); }

// The conversion's ABGR word (red in the low byte) to ours (blue in the low byte).
std::uint32_t SwapRedBlue(std::uint32_t p) {
    return (p & 0xFF00FF00u) | (p >> 16 & 0xFFu) | (p & 0xFFu) << 16;
}

// Premultiplied to straight, rounded to nearest.
std::uint32_t Unassociate(std::uint32_t p) {
    const std::uint32_t a = p >> 24;
    if (a == 0 || a == 255) return p;
    std::uint32_t out = a << 24;
    for (int shift = 0; shift < 24; shift += 8) {
        const std::uint32_t v = p >> shift & 0xFF;
        out |= std::min<std::uint32_t>(255, (v * 255 + a / 2) / a) << shift;
    }
    return out;
}

// The bytes the conversion holds beside the picture: one strip or tile, of every plane.
std::uint64_t BufferBytes(TIFF* tif) {
    std::uint16_t planar = PLANARCONFIG_CONTIG, samples = 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    const std::uint64_t one = TIFFIsTiled(tif) ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
    return planar == PLANARCONFIG_SEPARATE ? one * std::min<std::uint16_t>(samples, 4) : one;
}

}  // namespace

bool IsTiff(std::string_view file) {
    if (file.size() < 8) return false;
    const std::string_view head = file.substr(0, 4);
    return head == std::string_view("II*\0", 4) || head == std::string_view("MM\0*", 4) ||
           head == std::string_view("II+\0", 4) || head == std::string_view("MM\0+", 4);
}

Status ReadTiff(std::string_view file, Picture& out) {
    // libtiff's single allocations are bounded by what the process can still have, so a header
    // claiming a strip of 100 GB is refused rather than tried.
    TiffFile tiff(file, platform::CurrentMemoryRoom().bytes());
    TIFF* tif = tiff.get();
    if (!tif) return file.size() < 16 ? Status::Fail("ファイルが途中で切れています") : Corrupt();

    std::uint32_t w = 0, h = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h)) {
        return Corrupt();
    }
    std::uint16_t format = SAMPLEFORMAT_UINT, photometric = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    if (format == SAMPLEFORMAT_IEEEFP || format == SAMPLEFORMAT_COMPLEXIEEEFP) {
        return Status::Fail("浮動小数点の TIFF は読めません");
    }
    if (Status s = CheckDecodeSize(w, h, BufferBytes(tif)); !s) return s;
    char message[1024];
    if (!TIFFRGBAImageOK(tif, message)) return Unsupported();

    TIFFRGBAImage img;
    if (!TIFFRGBAImageBegin(&img, tif, 1, message)) return Unsupported();
    struct End {
        TIFFRGBAImage* img;
        ~End() { TIFFRGBAImageEnd(img); }
    } end{&img};
    // The rows as stored, top row first: the orientation is ours to apply.
    img.req_orientation = ORIENTATION_TOPLEFT;
    img.orientation = ORIENTATION_TOPLEFT;
    // Unassociated alpha is kept as stored: the conversion's table would premultiply it.
    if (img.alpha == EXTRASAMPLE_UNASSALPHA && img.UaToAa) {
        for (int a = 0; a < 256; ++a) {
            for (int v = 0; v < 256; ++v) img.UaToAa[a * 256 + v] = std::uint8_t(v);
        }
    }
    Picture picture;
    if (Status s = picture.pixels.Allocate(int(w), int(h)); !s) return s;
    if (!TIFFRGBAImageGet(&img, picture.pixels.data(), w, h)) {
        return file.size() < 64 ? Status::Fail("ファイルが途中で切れています") : Corrupt();
    }
    std::uint32_t* p = picture.pixels.data();
    const std::size_t n = picture.pixels.pixelCount();
    for (std::size_t i = 0; i < n; ++i) p[i] = SwapRedBlue(p[i]);
    if (img.alpha == EXTRASAMPLE_ASSOCALPHA) {
        for (std::size_t i = 0; i < n; ++i) p[i] = Unassociate(p[i]);
    }
    picture.hasAlpha = img.alpha != 0 && AnyTransparent(picture.pixels);

    TIFFGetFieldDefaulted(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    std::vector<std::uint8_t> icc;
    std::uint32_t iccSize = 0;
    void* iccData = nullptr;
    // A CMYK file's profile describes its inks, not the RGB made of them.
    if (photometric != PHOTOMETRIC_SEPARATED &&
        TIFFGetField(tif, TIFFTAG_ICCPROFILE, &iccSize, &iccData) && iccData) {
        const auto* b = static_cast<const std::uint8_t*>(iccData);
        icc.assign(b, b + iccSize);
    }
    std::uint16_t tag = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &tag);
    const Orientation orientation = platform::OrientationFromExif(tag);
    if (Status s = FinishPicture(picture, std::move(icc), {}, &orientation); !s) return s;
    out = std::move(picture);
    return Status::Ok();
}

}  // namespace formats
