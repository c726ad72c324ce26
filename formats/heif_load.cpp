// HEIF reading (HEIC and AVIF) over libheif: the primary image decoded to interleaved RGBA at its
// own depth, rounded to 8 bits and stored blue-green-red-alpha. libheif applies the container's
// clap, irot and imir itself; its EXIF orientation is deliberately not applied on top.

#include "formats/heif_load.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/exif.h"
#include "formats/libjxl_quiet.h"
#include "formats/picture_readers.h"
#include "platform/bitmap.h"
#include "platform/memory_budget.h"

namespace formats {
namespace {

using platform::Status;

struct ContextFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleRelease {
    void operator()(const heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageRelease {
    void operator()(const heif_image* i) const { heif_image_release(i); }
};
struct OptionsFree {
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};

std::uint32_t Be32(const unsigned char* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// The brands of still pictures that libheif decodes: HEVC and AV1 images and the general MIAF
// ones. Image sequences (hevc, msf1, avis) are named too, as their files usually hold a still
// primary image as well.
bool IsHeifBrand(std::string_view b) {
    static constexpr std::string_view kBrands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx",
                                                   "mif1", "mif2", "msf1", "avif", "avis"};
    for (std::string_view k : kBrands)
        if (b == k) return true;
    return false;
}

// libheif's reasons are English and technical; the user gets one of ours, with libheif's text
// in parentheses where it names something a report can use.
Status Failed(const heif_error& e) {
    switch (e.code) {
        case heif_error_Memory_allocation_error:
            return Status::Fail("メモリが足りません");
        case heif_error_Unsupported_feature:
        case heif_error_Unsupported_filetype:
            return Status::Fail(std::string("この HEIF ファイルの形式には対応していません (") +
                                e.message + ")");
        default:
            break;
    }
    if (e.subcode == heif_suberror_End_of_data) {
        return Status::Fail("ファイルが途中で切れています (HEIF)");
    }
    if (e.subcode == heif_suberror_Security_limit_exceeded) {
        return Status::Fail(std::string("画像が大きすぎます (HEIF: ") + e.message + ")");
    }
    return Status::Fail(std::string("画像のデータが壊れています (HEIF: ") + e.message + ")");
}

// The handle's metadata block of the given type, or empty.
std::vector<std::uint8_t> MetadataBlock(const heif_image_handle* handle, const char* type) {
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle, type, &id, 1) < 1) return {};
    const std::size_t size = heif_image_handle_get_metadata_size(handle, id);
    // A block beyond what libexif reads cannot be carried anyway (ExifForOutput drops it).
    if (size == 0 || size > (std::size_t{16} << 20)) return {};
    std::vector<std::uint8_t> bytes(size);
    if (heif_image_handle_get_metadata(handle, id, bytes.data()).code != heif_error_Ok) return {};
    return bytes;
}

// HEIF's Exif item: a 4-byte big-endian offset to the TIFF header, then the block (some writers
// put "Exif\0\0" in between, which the offset skips).
std::vector<std::uint8_t> ExifFromItem(const std::vector<std::uint8_t>& item) {
    if (item.size() < 4) return {};
    const std::uint64_t at = std::uint64_t{4} + Be32(item.data());
    if (at + 8 > item.size()) return {};
    return std::vector<std::uint8_t>(item.begin() + std::ptrdiff_t(at), item.end());
}

// Interleaved RGBA (8 bits) or RRGGBBAA little-endian (more) rows into BGRA pixels.
void Convert(const heif_image* image, int bits, platform::Bitmap& pixels) {
    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved,
                                                              &stride);
    const int w = pixels.width(), h = pixels.height();
    if (bits <= 8) {
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* s = plane + std::size_t(y) * std::size_t(stride);
            std::uint32_t* d = pixels.row(y);
            for (int x = 0; x < w; ++x, s += 4) {
                d[x] = std::uint32_t(s[3]) << 24 | std::uint32_t(s[0]) << 16 |
                       std::uint32_t(s[1]) << 8 | s[2];
            }
        }
        return;
    }
    // Rounded to nearest as 16-bit PNG channels are; values above max (damaged streams) clamp.
    const std::uint32_t max = (std::uint32_t{1} << bits) - 1;
    const auto to8 = [max](const std::uint8_t* p) {
        const std::uint32_t v = std::min<std::uint32_t>(std::uint32_t(p[0]) | p[1] << 8, max);
        return (v * 255 + max / 2) / max;
    };
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* s = plane + std::size_t(y) * std::size_t(stride);
        std::uint32_t* d = pixels.row(y);
        for (int x = 0; x < w; ++x, s += 8) {
            d[x] = to8(s + 6) << 24 | to8(s) << 16 | to8(s + 2) << 8 | to8(s + 4);
        }
    }
}

}  // namespace

bool IsHeif(std::string_view file) {
    // size, "ftyp", major brand, minor version, compatible brands
    if (file.size() < 16 || file.substr(4, 4) != "ftyp") return false;
    const auto* p = reinterpret_cast<const unsigned char*>(file.data());
    const std::size_t box = std::min<std::size_t>(Be32(p), file.size());
    if (IsHeifBrand(file.substr(8, 4))) return true;
    for (std::size_t at = 16; at + 4 <= box; at += 4)
        if (IsHeifBrand(file.substr(at, 4))) return true;
    return false;
}

Status ReadHeif(std::string_view file, platform::Picture& out) {
    KeepLibjxlQuiet();  // and dav1d
    std::unique_ptr<heif_context, ContextFree> ctx(heif_context_alloc());
    if (!ctx) return Status::Fail("メモリが足りません");
    heif_context_set_maximum_image_size_limit(ctx.get(), kMaxHeifSide);
    // The bytes are ours for the whole call; libheif reads them in place.
    if (heif_error e = heif_context_read_from_memory_without_copy(ctx.get(), file.data(),
                                                                  file.size(), nullptr);
        e.code != heif_error_Ok) {
        return Failed(e);
    }
    heif_image_handle* raw = nullptr;
    if (heif_error e = heif_context_get_primary_image_handle(ctx.get(), &raw);
        e.code != heif_error_Ok) {
        return Failed(e);
    }
    std::unique_ptr<const heif_image_handle, HandleRelease> handle(raw);

    // The size after the transforms, before anything is decoded.
    const int w = heif_image_handle_get_width(handle.get());
    const int h = heif_image_handle_get_height(handle.get());
    const int bits = heif_image_handle_get_luma_bits_per_pixel(handle.get());
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    // What the decode holds beside our picture at its peak: the coded planes (three channels and
    // alpha at 8 or 16 bits) and libheif's interleaved copy (4 or 8 bytes a pixel).
    const std::uint64_t sample = bits > 8 ? 2 : 1;
    if (Status s = CheckDecodeSize(w, h, std::uint64_t(w) * std::uint64_t(h) * 8 * sample); !s) {
        return s;
    }

    std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    if (!options) return Status::Fail("メモリが足りません");
    // A damaged tile or a cut stream is an error, not a picture with holes.
    options->strict_decoding = 1;
    heif_image* decoded = nullptr;
    const heif_chroma chroma =
        bits > 8 ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RGBA;
    if (heif_error e = heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB, chroma,
                                         options.get());
        e.code != heif_error_Ok) {
        return Failed(e);
    }
    std::unique_ptr<const heif_image, ImageRelease> image(decoded);
    if (heif_image_get_primary_width(image.get()) != w ||
        heif_image_get_primary_height(image.get()) != h ||
        !heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, nullptr)) {
        return Status::Fail("画像のデータが壊れています (HEIF)");
    }
    const int depth = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved);

    platform::Picture picture;
    if (Status s = picture.pixels.Allocate(w, h); !s) return s;
    Convert(image.get(), depth > 8 ? depth : 8, picture.pixels);
    image.reset();
    picture.hasAlpha = alpha && AnyTransparent(picture.pixels);
    if (!alpha) {
        // libheif fills the alpha of an opaque image with its maximum; make sure of 255.
        std::uint32_t* p = picture.pixels.data();
        for (std::size_t i = 0, n = picture.pixels.pixelCount(); i < n; ++i) p[i] |= platform::kOpaque;
    }

    std::vector<std::uint8_t> icc;
    if (heif_image_handle_get_color_profile_type(handle.get()) == heif_color_profile_type_prof ||
        heif_image_handle_get_color_profile_type(handle.get()) == heif_color_profile_type_rICC) {
        const std::size_t size = heif_image_handle_get_raw_color_profile_size(handle.get());
        if (size > 0) {
            icc.resize(size);
            if (heif_image_handle_get_raw_color_profile(handle.get(), icc.data()).code !=
                heif_error_Ok) {
                icc.clear();
            }
        }
    }
    platform::Orientation ignored;  // the transforms have made the picture upright already
    picture.meta = AcceptMeta(std::move(icc), ExifFromItem(MetadataBlock(handle.get(), "Exif")),
                              &ignored);

    out.pixels.swap(picture.pixels);
    out.hasAlpha = picture.hasAlpha;
    out.meta = std::move(picture.meta);
    return Status::Ok();
}

}  // namespace formats
