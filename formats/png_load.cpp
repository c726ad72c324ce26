// PNG reading over libspng: any colour type, bit depth and interlacing, decoded to 8-bit RGBA and
// then turned into our blue-green-red-alpha layout. The colour profile (iCCP) and EXIF (eXIf)
// travel with the picture; the EXIF orientation is applied here.

#include <spng.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/png_load.h"
#include "formats/row_reader.h"
#include "platform/bitmap.h"
#include "formats/exif.h"
#include "platform/files.h"
#include "platform/memory_budget.h"
#include "platform/orientation.h"
#include "platform/progress.h"

namespace formats {
namespace {

using platform::Status;

// Side chunks never refuse a picture. Of the ancillary chunks, libspng is shown only those the
// picture uses: tRNS, and the first iCCP and eXIf when each is within its limit (16 MiB stored;
// a profile also 16 MiB inflated, and whole). Text (tEXt, zTXt, iTXt) and every other side
// chunk are skipped unread, however many or however large they inflate, as are an oversized or
// damaged profile (AcceptMeta drops a damaged one anyway) and an oversized eXIf. So libspng's
// own limits, which end the whole decode, can only be reached by the picture's own data: the
// image data inflates into a buffer sized from the header, bounded by CheckBitmapSize.
constexpr std::size_t kSideChunkLimit = std::size_t{16} << 20;
constexpr std::size_t kProfileLimit = std::size_t{16} << 20;
// libspng's caps, above what the selection lets through (a profile's inflated size is checked
// before libspng sees it, and libspng grows its buffer by doubling).
constexpr std::size_t kChunkSizeLimit = std::size_t{40} << 20;
constexpr std::size_t kChunkCacheLimit = std::size_t{128} << 20;

// A part of the file handed to libspng: the signature, then the chunks kept, in file order.
struct Segment {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

std::uint32_t Be32(const unsigned char* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// Reads exactly n bytes at offset; false at the end of the file or on an error.
bool ReadAt(int fd, std::uint64_t offset, void* into, std::size_t n) {
    auto* p = static_cast<unsigned char*>(into);
    while (n > 0) {
        const ssize_t got = ::pread(fd, p, n, off_t(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got, offset += std::uint64_t(got), n -= std::size_t(got);
    }
    return true;
}

// Whether an iCCP chunk's data holds a profile within the limit: a name of 1 to 79 bytes, its
// NUL, compression method 0, then a zlib stream that ends inside the chunk, checksum included.
// Inflated into a small scratch buffer and counted, stopping at the limit: a chunk that would
// inflate to a gigabyte costs what 16 MiB cost.
bool ProfileFits(std::vector<unsigned char>& data) {
    const auto nul = std::find(data.begin(), data.end(), '\0');
    const std::size_t nameLength = std::size_t(nul - data.begin());
    if (nul == data.end() || nameLength == 0 || nameLength > 79) return false;
    const std::size_t start = nameLength + 2;
    if (start > data.size() || data[nameLength + 1] != 0) return false;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = data.data() + start;
    z.avail_in = uInt(data.size() - start);
    std::array<unsigned char, 65536> scratch;
    std::size_t total = 0;
    int e = Z_OK;
    while (e == Z_OK && total <= kProfileLimit) {
        z.next_out = scratch.data();
        z.avail_out = uInt(scratch.size());
        e = inflate(&z, Z_NO_FLUSH);
        total += scratch.size() - z.avail_out;
        if (e == Z_BUF_ERROR && z.avail_in > 0) e = Z_OK;  // only the output was full
    }
    inflateEnd(&z);
    return e == Z_STREAM_END && total > 0 && total <= kProfileLimit;
}

// Walks the chunks and picks what libspng reads (see kSideChunkLimit). Where the chunk structure
// breaks (a length past the end or over 2^31 - 1, a cut header), the rest of the file is handed
// on unchanged, so that libspng judges it as before.
std::vector<Segment> SelectChunks(int fd, std::uint64_t fileSize) {
    std::vector<Segment> kept;
    const auto keep = [&](std::uint64_t offset, std::uint64_t length) {
        if (!kept.empty() && kept.back().offset + kept.back().length == offset) {
            kept.back().length += length;
        } else {
            kept.push_back({offset, length});
        }
    };
    keep(0, std::min<std::uint64_t>(8, fileSize));
    bool seenPlte = false, seenIdat = false, haveIccp = false, haveExif = false;
    std::uint64_t at = 8;
    while (at < fileSize) {
        unsigned char head[8];
        if (at + 12 > fileSize || !ReadAt(fd, at, head, sizeof head)) break;
        const std::uint32_t length = Be32(head);
        const std::uint64_t total = 12 + std::uint64_t(length);
        if (length > 0x7FFFFFFFu || total > fileSize - at) break;
        const std::string_view type(reinterpret_cast<const char*>(head + 4), 4);
        // The header must be the first chunk: whatever stands before it is libspng's to refuse
        // (skipping it would make a later chunk the header).
        if (at == 8 && type != "IHDR") break;
        const bool critical = (head[4] & 0x20) == 0;
        bool take = critical || type == "tRNS";
        if (type == "eXIf" && !haveExif && length >= 8 && length <= kSideChunkLimit) {
            // libspng refuses the whole file for an eXIf without a TIFF header: checked here.
            unsigned char tiff[4];
            take = haveExif = ReadAt(fd, at + 8, tiff, 4) &&
                              (std::memcmp(tiff, "II*\0", 4) == 0 ||
                               std::memcmp(tiff, "MM\0*", 4) == 0);
        }
        if (type == "iCCP" && !haveIccp && !seenPlte && !seenIdat && length <= kSideChunkLimit) {
            std::vector<unsigned char> data(length);
            take = haveIccp = ReadAt(fd, at + 8, data.data(), length) && ProfileFits(data);
        }
        if (take) keep(at, total);
        seenPlte = seenPlte || type == "PLTE";
        seenIdat = seenIdat || type == "IDAT";
        at += total;
        if (type == "IEND") return kept;
    }
    if (at < fileSize) keep(at, fileSize - at);
    return kept;
}

// libspng's reader over the chosen segments: exactly `length` bytes, or SPNG_IO_EOF.
struct SegmentReader {
    int fd = -1;
    std::vector<Segment> segments;
    std::size_t index = 0;
    std::uint64_t within = 0;  // bytes of segments[index] already read
};

int ReadSegments(spng_ctx*, void* user, void* dest, std::size_t length) {
    auto& r = *static_cast<SegmentReader*>(user);
    auto* out = static_cast<unsigned char*>(dest);
    while (length > 0) {
        if (r.index >= r.segments.size()) return SPNG_IO_EOF;
        const Segment& s = r.segments[r.index];
        const std::size_t n = std::size_t(std::min<std::uint64_t>(length, s.length - r.within));
        errno = 0;
        if (!ReadAt(r.fd, s.offset + r.within, out, n)) return errno ? SPNG_IO_ERROR : SPNG_IO_EOF;
        out += n, length -= n, r.within += n;
        if (r.within == s.length) ++r.index, r.within = 0;
    }
    return 0;
}

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
        case SPNG_EOVERFLOW:
            return "画像が大きすぎます (PNG の画像の大きさが上限を超えます)";
        case SPNG_ECHUNK_LIMITS:  // only the picture's own chunks reach libspng's limits
            return "画像が大きすぎます (PNG の画像データのチャンクが上限を超えます)";
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
    // Left uninitialised: the decoder writes every byte (zeroing it first cost as much as the
    // decode of a simple picture).
    const std::size_t count = size / 2;
    std::unique_ptr<std::uint16_t[]> wide(new (std::nothrow) std::uint16_t[count]);
    if (!wide) return SPNG_EMEM;
    if (int e = spng_decode_image(ctx, wide.get(), size, SPNG_FMT_RGBA16, SPNG_DECODE_TRNS);
        e != 0) {
        return e;
    }
    auto* out = reinterpret_cast<unsigned char*>(pixels.data());
    for (std::size_t i = 0; i < count; ++i) out[i] = To8(wide[i]);
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
    SegmentReader reader;
    reader.fd = fileno(file.get());
    reader.segments = SelectChunks(reader.fd, std::uint64_t(st.st_size));

    std::unique_ptr<spng_ctx, ContextFreer> ctx(spng_ctx_new(0));
    if (!ctx) return Status::Fail("メモリが足りません");
    // Each side alone may reach the pixel limit (a 1-pixel-high strip); the product is checked
    // below, before anything is allocated for the pixels.
    spng_set_image_limits(ctx.get(), std::uint32_t(platform::kMaxPixels),
                          std::uint32_t(platform::kMaxPixels));
    spng_set_chunk_limits(ctx.get(), kChunkSizeLimit, kChunkCacheLimit);
    // A side chunk with a bad CRC is skipped; one in the picture's own chunks refuses the file.
    spng_set_crc_action(ctx.get(), SPNG_CRC_ERROR, SPNG_CRC_DISCARD);
    if (int e = spng_set_png_stream(ctx.get(), ReadSegments, &reader); e != 0) {
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
    // The picture and, for 16-bit files, the full-depth image it is rounded from, checked
    // together before either is allocated.
    const std::uint64_t pixels = std::uint64_t(ihdr.width) * ihdr.height;
    if (Status s = platform::CheckMemory(pixels * (ihdr.bit_depth == 16 ? 12 : 4)); !s) return s;
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

// --- The row reader ------------------------------------------------------------------------

namespace formats {
namespace {

// True when a profile or EXIF chunk follows the image data: the whole-picture reader takes those
// too (it reads on to the end before it looks), but rows handed out before them could not be
// turned or tagged by them. Walks the chunk headers only; a damaged chain ends the walk and is
// left for the decoder to report.
bool MetadataAfterImage(int fd, std::uint64_t fileSize) {
    bool sawImage = false;
    for (std::uint64_t at = 8; at + 8 <= fileSize;) {
        unsigned char head[8];
        if (::pread(fd, head, 8, off_t(at)) != 8) return false;
        const std::string_view type(reinterpret_cast<const char*>(head + 4), 4);
        if (type == "IDAT") sawImage = true;
        if (sawImage && (type == "iCCP" || type == "eXIf")) return true;
        if (type == "IEND") return false;
        at += 12 + std::uint64_t(Be32(head));
    }
    return false;
}

class PngRows final : public RowReader {
public:
    PngRows(std::FILE* file, spng_ctx* ctx, std::uint64_t fileSize)
        : file_(file), ctx_(ctx), fileSize_(fileSize) {}

    Status Start(bool& streamable);
    Status ReadRows(std::uint32_t* rows, std::size_t stride, int count) override;
    Status Finish() override;

private:
    std::unique_ptr<std::FILE, FileCloser> file_;
    std::unique_ptr<spng_ctx, ContextFreer> ctx_;
    std::uint64_t fileSize_ = 0;
    SegmentReader segments_;  // the chunks libspng is shown: the same as ReadPng's
    bool sixteen_ = false;
    bool mirror_ = false;
    bool ended_ = false;
    std::vector<std::uint16_t> wide_;  // one 16-bit row
};

Status PngRows::Start(bool& streamable) {
    streamable = false;
    spng_set_image_limits(ctx_.get(), std::uint32_t(platform::kMaxPixels),
                          std::uint32_t(platform::kMaxPixels));
    spng_set_chunk_limits(ctx_.get(), kChunkSizeLimit, kChunkCacheLimit);
    // The side-chunk rule of ReadPng: skipped text, dropped oversized profiles, discarded side
    // chunks with bad CRCs. Both routes see the same chunks, so they give the same pictures.
    spng_set_crc_action(ctx_.get(), SPNG_CRC_ERROR, SPNG_CRC_DISCARD);
    segments_.fd = fileno(file_.get());
    segments_.segments = SelectChunks(segments_.fd, fileSize_);
    if (spng_set_png_stream(ctx_.get(), ReadSegments, &segments_) != 0) return Status::Ok();
    errno = 0;
    spng_ihdr ihdr{};
    if (spng_get_ihdr(ctx_.get(), &ihdr) != 0) return Status::Ok();  // the whole load says why
    if (ihdr.interlace_method != SPNG_INTERLACE_NONE || ihdr.width > std::uint32_t(kMaxRowSide) ||
        ihdr.height > std::uint32_t(kMaxRowSide) || ihdr.width == 0 || ihdr.height == 0) {
        return Status::Ok();
    }
    sixteen_ = ihdr.bit_depth == 16;
    const int format = sixteen_ ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
    if (int e = spng_decode_image(ctx_.get(), nullptr, 0, format,
                                  SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
        e != 0) {
        return Status::Fail(DecodeErrorText(e));
    }
    platform::Orientation orientation;
    meta_ = ReadMeta(ctx_.get(), orientation);
    if (orientation != platform::Orientation::Upright &&
        orientation != platform::Orientation::MirrorHorizontal) {
        return Status::Ok();
    }
    mirror_ = orientation == platform::Orientation::MirrorHorizontal;
    width_ = int(ihdr.width);
    height_ = int(ihdr.height);
    try {
        if (sixteen_) wide_.resize(std::size_t(width_) * 4);
    } catch (const std::bad_alloc&) {
        return Status::Fail("メモリが足りません");
    }
    // libspng holds a few rows of the file's bytes and its inflate state.
    workingBytes_ = std::uint64_t(width_) * (sixteen_ ? 8 : 4) * 3 + (std::uint64_t{1} << 20);
    streamable = true;
    return Status::Ok();
}

Status PngRows::ReadRows(std::uint32_t* rows, std::size_t stride, int count) {
    for (int k = 0; k < count; ++k) {
        if (ended_) return Status::Fail(DecodeErrorText(SPNG_EOF));
        std::uint32_t* row = rows + std::size_t(k) * stride;
        errno = 0;
        int e;
        if (sixteen_) {
            e = spng_decode_row(ctx_.get(), wide_.data(), wide_.size() * 2);
            auto* out = reinterpret_cast<unsigned char*>(row);
            for (std::size_t i = 0; i < wide_.size(); ++i) out[i] = To8(wide_[i]);
        } else {
            e = spng_decode_row(ctx_.get(), row, std::size_t(width_) * 4);
        }
        if (e == SPNG_EOI) {
            ended_ = true;
        } else if (e != 0) {
            return Status::Fail(DecodeErrorText(e));
        }
        auto* p = reinterpret_cast<unsigned char*>(row);
        for (int x = 0; x < width_; ++x, p += 4) std::swap(p[0], p[2]);
        OverWhite(row, width_);
        if (mirror_) std::reverse(row, row + width_);
    }
    return Status::Ok();
}

Status PngRows::Finish() {
    if (!ended_) return Status::Fail(DecodeErrorText(SPNG_EOF));
    // As the whole-picture reader: on to IEND, which checks the last image chunk's CRC too.
    errno = 0;
    if (int e = spng_decode_chunks(ctx_.get()); e != 0) return Status::Fail(DecodeErrorText(e));
    return Status::Ok();
}

}  // namespace

RowSource OpenPngRows(int fd) {
    RowSource source;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || MetadataAfterImage(fd, std::uint64_t(st.st_size))) {
        ::close(fd);
        return source;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file) {
        ::close(fd);
        return source;
    }
    spng_ctx* ctx = spng_ctx_new(0);
    if (!ctx) {
        std::fclose(file);
        return source;
    }
    auto reader = std::make_unique<PngRows>(file, ctx, std::uint64_t(st.st_size));
    bool streamable = false;
    source.status = reader->Start(streamable);
    if (source.status && streamable) source.reader = std::move(reader);
    return source;
}

}  // namespace formats
