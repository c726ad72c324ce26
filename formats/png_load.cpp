// PNG reading over libspng: any colour type, bit depth and interlacing, decoded to 8-bit RGBA and
// then turned into our blue-green-red-alpha layout. The colour profile (iCCP) and EXIF (eXIf)
// travel with the picture; the EXIF orientation is applied here.

#include <spng.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "formats/png_load.h"
#include "platform/bitmap.h"
#include "formats/exif.h"
#include "platform/files.h"
#include "platform/orientation.h"
#include "platform/progress.h"

namespace formats {
namespace {

using platform::Status;

// Chunks other than IDAT are held in memory whole, so their size is capped: 16 MiB is far above
// any real text, ICC profile or Exif block. The cache caps the sum of all such chunks (and of
// their inflated contents), the guard against ancillary decompression bombs. The image data
// itself inflates into a buffer sized from the header, which CheckBitmapSize has already bounded.
constexpr std::size_t kChunkSizeLimit = std::size_t{16} << 20;
constexpr std::size_t kChunkCacheLimit = std::size_t{64} << 20;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
struct ContextFreer {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

// A reason in the user's language for each libspng error class we can name; the rest carry
// libspng's own text so that a report can still be traced.
std::string DecodeErrorText(int error) {
    switch (error) {
        case SPNG_IO_EOF:
        case SPNG_EOF:
        case SPNG_EIDAT_TOO_SHORT:
            return "PNG ファイルが途中で切れています";
        case SPNG_IO_ERROR:
            return "PNG ファイルを読み込めません (" + platform::ErrnoText(errno ? errno : EIO) +
                   ")";
        case SPNG_ESIGNATURE:
            return "PNG ファイルではありません (シグネチャが違います)";
        case SPNG_ECHUNK_CRC:
            return "PNG ファイルが壊れています (CRC が一致しません)";
        case SPNG_EZLIB:
        case SPNG_EZLIB_INIT:
        case SPNG_EIDAT_STREAM:
        case SPNG_EFILTER:
            return "PNG ファイルが壊れています (圧縮データが不正です)";
        case SPNG_EUSER_WIDTH:
        case SPNG_EUSER_HEIGHT:
        case SPNG_ECHUNK_LIMITS:
        case SPNG_EOVERFLOW:
            return "画像が大きすぎます (PNG の画像またはチャンクが上限を超えます)";
        case SPNG_EMEM:
            return "メモリが足りません";
        case SPNG_EWIDTH:
        case SPNG_EHEIGHT:
        case SPNG_EBIT_DEPTH:
        case SPNG_ECOLOR_TYPE:
        case SPNG_ECOMPRESSION_METHOD:
        case SPNG_EFILTER_METHOD:
        case SPNG_EINTERLACE_METHOD:
        case SPNG_EIHDR_SIZE:
        case SPNG_ENOIHDR:
            return "PNG ファイルが壊れています (ヘッダが不正です)";
        default:
            return std::string("PNG ファイルが壊れています (") + spng_strerror(error) + ")";
    }
}

// RGBA bytes in memory to BGRA: swaps the first and third byte of every pixel in place.
void SwapRedBlue(platform::Bitmap& pixels) {
    auto* p = reinterpret_cast<unsigned char*>(pixels.data());
    const std::size_t count = pixels.pixelCount();
    for (std::size_t i = 0; i < count; ++i, p += 4) std::swap(p[0], p[2]);
}

// 16-bit channels to 8 bits, rounded to nearest: v * 255 / 65535. (x + 32767) / 65535 rounds
// x / 65535 to nearest for every x = v * 255, as no such x lies exactly halfway.
std::uint8_t To8(std::uint16_t v) { return std::uint8_t((std::uint32_t(v) * 255 + 32767) / 65535); }

// Decodes a 16-bit image at full depth, then rounds every channel into pixels (RGBA order).
// The 16-bit image is held whole for this: twice the memory of the 8-bit one, for 16-bit files
// only.
int DecodeSixteen(spng_ctx* ctx, platform::Bitmap& pixels) {
    std::size_t size = 0;
    if (int e = spng_decoded_image_size(ctx, SPNG_FMT_RGBA16, &size); e != 0) return e;
    if (size != pixels.pixelCount() * 8) return SPNG_EINTERNAL;
    std::vector<std::uint16_t> wide;
    try {
        wide.resize(size / 2);
    } catch (const std::bad_alloc&) {
        return SPNG_EMEM;
    }
    if (int e = spng_decode_image(ctx, wide.data(), size, SPNG_FMT_RGBA16, SPNG_DECODE_TRNS);
        e != 0) {
        return e;
    }
    auto* out = reinterpret_cast<unsigned char*>(pixels.data());
    for (std::size_t i = 0; i < wide.size(); ++i) out[i] = To8(wide[i]);
    return 0;
}

// The profile and EXIF chunks, each dropped when damaged, and the orientation that the EXIF
// gives.
platform::ImageMetaPtr ReadMeta(spng_ctx* ctx, platform::Orientation& orientation) {
    std::vector<std::uint8_t> icc, exif;
    spng_iccp iccp{};
    if (spng_get_iccp(ctx, &iccp) == 0 && iccp.profile && iccp.profile_len > 0) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(iccp.profile);
        icc.assign(p, p + iccp.profile_len);
    }
    spng_exif chunk{};
    if (spng_get_exif(ctx, &chunk) == 0 && chunk.data && chunk.length > 0) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(chunk.data);
        exif.assign(p, p + chunk.length);
    }
    return formats::AcceptMeta(std::move(icc), std::move(exif), &orientation);
}

}  // namespace

Status ReadPng(const std::string& path, platform::Picture& out) {
    errno = 0;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return Status::Fail(platform::ErrnoText(errno ? errno : EIO));
    // fopen of a folder succeeds on this system; only the first read would fail.
    struct stat st{};
    if (::fstat(fileno(file.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
        return Status::Fail(platform::ErrnoText(EISDIR));
    }

    // The signature first, so that a short file that is no PNG at all is called that rather
    // than a truncated PNG (libspng reads the signature and the header in one go).
    static constexpr unsigned char kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    unsigned char head[8];
    const std::size_t got = std::fread(head, 1, sizeof head, file.get());
    if (std::memcmp(head, kSignature, got) != 0) return Status::Fail(DecodeErrorText(SPNG_ESIGNATURE));
    if (got < sizeof head) return Status::Fail(DecodeErrorText(SPNG_IO_EOF));
    std::rewind(file.get());

    std::unique_ptr<spng_ctx, ContextFreer> ctx(spng_ctx_new(0));
    if (!ctx) return Status::Fail("メモリが足りません");
    // Each side alone may reach the pixel limit (a 1-pixel-high strip); the product is checked
    // below, before anything is allocated for the pixels.
    spng_set_image_limits(ctx.get(), std::uint32_t(platform::kMaxPixels),
                          std::uint32_t(platform::kMaxPixels));
    spng_set_chunk_limits(ctx.get(), kChunkSizeLimit, kChunkCacheLimit);
    if (int e = spng_set_png_file(ctx.get(), file.get()); e != 0) {
        return Status::Fail(DecodeErrorText(e));
    }

    errno = 0;
    spng_ihdr ihdr{};
    if (int e = spng_get_ihdr(ctx.get(), &ihdr); e != 0) return Status::Fail(DecodeErrorText(e));
    if (Status s = platform::CheckBitmapSize(ihdr.width, ihdr.height); !s) return s;

    std::size_t size = 0;
    if (int e = spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &size); e != 0) {
        return Status::Fail(DecodeErrorText(e));
    }
    platform::Picture picture;
    if (Status s = picture.pixels.Allocate(int(ihdr.width), int(ihdr.height)); !s) return s;
    if (size != picture.pixels.pixelCount() * 4) {
        return Status::Fail(DecodeErrorText(SPNG_EINTERNAL));
    }
    // No SPNG_DECODE_GAMMA: the pixels are taken as stored, like every other format we read.
    // libspng's 8-bit output keeps the high byte of a 16-bit channel; ours rounds.
    // 8-bit rows are decoded one by one straight into the picture (an interlaced file's passes
    // land in their rows), so the work counts them and can be stopped between them.
    platform::ProgressStart(ihdr.interlace_method ? std::int64_t(ihdr.height) * 15 / 8
                                                  : std::int64_t(ihdr.height));
    if (platform::WorkCancelled()) return Status::Cancelled();
    int decoded = 0;
    if (ihdr.bit_depth == 16) {
        decoded = DecodeSixteen(ctx.get(), picture.pixels);
    } else {
        decoded = spng_decode_image(ctx.get(), nullptr, 0, SPNG_FMT_RGBA8,
                                    SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
        const std::size_t rowBytes = std::size_t(ihdr.width) * 4;
        for (int n = 1; decoded == 0; ++n) {
            spng_row_info row{};
            decoded = spng_get_row_info(ctx.get(), &row);
            if (decoded == 0) {
                decoded = spng_decode_row(ctx.get(), picture.pixels.row(int(row.row_num)),
                                          rowBytes);
            }
            if (n % 64 == 0) {
                platform::ProgressAdvance(64);
                if (platform::WorkCancelled()) return Status::Cancelled();
            }
        }
        if (decoded == SPNG_EOI) decoded = 0;
    }
    if (decoded != 0) return Status::Fail(DecodeErrorText(decoded));
    // The decoder stops once it has every row, before the last image chunk's CRC; reading on to
    // IEND checks that CRC too and finds files cut after the image data.
    if (int e = spng_decode_chunks(ctx.get()); e != 0) return Status::Fail(DecodeErrorText(e));
    platform::ProgressAdvance(ihdr.height);  // the rest of the rows (the count is capped)

    spng_trns trns{};
    picture.hasAlpha = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
                       ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ||
                       spng_get_trns(ctx.get(), &trns) == 0;
    SwapRedBlue(picture.pixels);

    platform::Orientation orientation;
    picture.meta = ReadMeta(ctx.get(), orientation);
    if (orientation != platform::Orientation::Upright) {
        platform::Bitmap upright;
        if (Status s = platform::Orient(picture.pixels, orientation, upright); !s) return s;
        picture.pixels.swap(upright);
    }

    out.pixels.swap(picture.pixels);
    out.hasAlpha = picture.hasAlpha;
    out.meta = std::move(picture.meta);
    return Status::Ok();
}

}  // namespace formats
