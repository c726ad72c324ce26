// PNG writing: 8-bit RGB, the rows filtered and deflated in bands of fixed height on the cores
// (png_bands.cpp); libspng writes the file's head (IHDR and the metadata chunks).

#include <spng.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "formats/png_save.h"
#include "formats/output_file.h"
#include "formats/embed_meta.h"
#include "formats/png_bands.h"
#include "platform/bitmap.h"
#include "platform/progress.h"

namespace formats {
namespace {

// What each PNG setting selects. Chosen by measuring libspng 0.7.3 with zlib 1.2.13 on two
// generated 2000 x 1500 images (2 cores, one used): "photo", smooth gradients with a mid-frequency
// texture and +-3 noise per channel, and "graphic", flat blocks with edges and a dither pattern.
// Sizes are of the raw 9 000 000 bytes:
//
//   zlib level / strategy / filters       photo: time   size      graphic: time   size
//   1 / Z_RLE / Up                                 80 ms  47.5 %              28 ms   3.7 %
//   1 / Z_RLE / all five, per row                 185 ms  45.0 %              89 ms   1.3 %
//   9 / Z_FILTERED / all five                    1160 ms  45.5 %             303 ms   0.8 %
//   (for comparison)
//   1 / Z_HUFFMAN_ONLY / Sub                       65 ms  47.7 %              65 ms  16.4 %
//   6 / Z_DEFAULT_STRATEGY / all five             960 ms  50.7 %             163 ms   0.8 %
//   6 / Z_FILTERED / all five (libspng's own)    1160 ms  45.5 %             164 ms   0.8 %
//   4 / Z_FILTERED / all five                     525 ms  45.3 %             155 ms   0.9 %
//
// Photo noise defeats string matching, so run-length matching after filtering is nearly as small
// as the slowest settings at a fraction of the time; flat graphics still need real matching to
// shrink the last third. No single choice is smallest on both. Hence:
//   fastest:  the cheapest robust pair (Up is one subtraction per byte and catches vertical
//             repeats that Sub alone misses: 3.7 % against 7.5 % on the graphic);
//   normal:   run-length matching with a per-row filter choice, near the smallest photo size at
//             1/6 of the time of zlib's usual level;
//   smallest: both normal and level 9 with Z_FILTERED, each band keeping the smaller: about
//             normal's size on photos, 40 % smaller on flat graphics.
// Every setting deflates row bands of fixed height on the cores (png_bands.cpp); the bands'
// flushes cost a few bytes per band beside one unbroken stream.
PngCoding CodingFor(int rate) {
    if (rate == 1) return PngCoding::Fastest;
    if (rate == 2) return PngCoding::Smallest;
    return PngCoding::Normal;
}

struct ContextFreer {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

// Where the encoder's bytes go; false stops the encoder with SPNG_IO_ERROR.
using Sink = std::function<bool(const void* data, std::size_t length)>;

int ToSink(spng_ctx*, void* user, void* data, std::size_t length) {
    return (*static_cast<Sink*>(user))(data, length) ? 0 : SPNG_IO_ERROR;
}

// Has libspng write the file up to its image data (signature, IHDR, eXIf, iCCP). Returns 0 or a
// libspng error.
int EncodeHead(int w, int h, const Embedded& embedded, Sink& sink) {
    std::unique_ptr<spng_ctx, ContextFreer> ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) return SPNG_EMEM;
    spng_ihdr ihdr{};
    ihdr.width = std::uint32_t(w);
    ihdr.height = std::uint32_t(h);
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    int e = spng_set_png_stream(ctx.get(), ToSink, &sink);
    if (e == 0) e = spng_set_ihdr(ctx.get(), &ihdr);
    if (e == 0) e = SetPngChunks(ctx.get(), embedded);
    if (e == 0) {
        e = spng_encode_image(ctx.get(), nullptr, 0, SPNG_FMT_PNG,
                              SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE);
    }
    return e;
}

// The file's bytes before its first IDAT chunk (signature, IHDR and the metadata chunks), as
// libspng writes them. Empty if it wrote no IHDR.
std::vector<unsigned char> FileHead(int w, int h, const Embedded& embedded) {
    std::vector<unsigned char> bytes;
    Sink sink = [&bytes](const void* data, std::size_t length) {
        try {
            const auto* p = static_cast<const unsigned char*>(data);
            bytes.insert(bytes.end(), p, p + length);
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    };
    if (EncodeHead(w, h, embedded, sink) != 0) return {};
    // Whole chunks only, up to the image data.
    std::size_t at = 8;
    while (at + 8 <= bytes.size() && std::memcmp(&bytes[at + 4], "IDAT", 4) != 0) {
        const std::size_t length = std::size_t(bytes[at]) << 24 | std::size_t(bytes[at + 1]) << 16 |
                                   std::size_t(bytes[at + 2]) << 8 | bytes[at + 3];
        if (at + 12 + length > bytes.size()) break;
        at += 12 + length;
    }
    if (at < 33 || std::memcmp(&bytes[12], "IHDR", 4) != 0) return {};  // 8 + IHDR's 25 bytes
    bytes.resize(at);
    return bytes;
}

}  // namespace

std::unique_ptr<RowWriter> OpenPngWriter(const std::string& path, int width, int height,
                                         int rate, const platform::ImageMeta* meta,
                                         platform::Status& status) {
    const Embedded embedded = PrepareEmbedded(meta, Container::Png, width, height);
    const std::vector<unsigned char> head = FileHead(width, height, embedded);
    if (head.empty()) {
        status = platform::Status::Fail("PNG に圧縮できません");
        return nullptr;
    }
    return OpenPngBands(path, width, height, CodingFor(rate), head, status);
}

platform::Status SavePng(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                         int rate, const platform::ImageMeta* meta) {
    WriteSettings settings;
    settings.format = OutputFormat::Png;
    settings.pngRate = rate;
    platform::ProgressStart(h);  // this save is the step: its rows are counted
    platform::Status s;
    std::unique_ptr<RowWriter> writer = OpenRowWriter(path, w, h, settings, meta, s);
    if (!writer) return s;
    // A clipped area still steps over whole rows of the bitmap.
    if (s = writer->WriteRows(bitmap.data(), std::size_t(bitmap.width()), h); !s) return s;
    return writer->Finish();
}

}  // namespace formats
