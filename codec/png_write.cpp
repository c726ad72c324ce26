// PNG writing over libspng's encoder: 8-bit RGB, one row at a time from the bitmap.

#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "codec/codec.h"
#include "codec/embed_meta.h"
#include "platform/bitmap.h"
#include "platform/parallel.h"

namespace codec {
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
//   normal:   run-length matching with libspng's per-row filter choice, near the smallest photo
//             size at 1/6 of the time of zlib's usual level;
//   smallest: both normal and level 9 with Z_FILTERED, encoded side by side into memory, and the
//             smaller file kept: never larger than normal, 40 % smaller on flat graphics, for the
//             time of the level-9 encoding when a second core is free.
struct PngSettings {
    int level;
    int strategy;
    int filters;
};

constexpr PngSettings kFastest{1, Z_RLE, SPNG_FILTER_CHOICE_UP};
constexpr PngSettings kNormal{1, Z_RLE, SPNG_FILTER_CHOICE_ALL};
constexpr PngSettings kMatching{9, Z_FILTERED, SPNG_FILTER_CHOICE_ALL};

struct ContextFreer {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

// Where the encoder's bytes go; false stops the encoder with SPNG_IO_ERROR.
using Sink = std::function<bool(const void* data, std::size_t length)>;

int ToSink(spng_ctx*, void* user, void* data, std::size_t length) {
    return (*static_cast<Sink*>(user))(data, length) ? 0 : SPNG_IO_ERROR;
}

// Encodes the top-left w x h pixels of bitmap as 8-bit RGB. Returns 0 or a libspng error.
int Encode(const platform::Bitmap& bitmap, int w, int h, const PngSettings& settings,
           const Embedded& embedded, Sink& sink) {
    std::unique_ptr<spng_ctx, ContextFreer> ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) return SPNG_EMEM;
    spng_ihdr ihdr{};
    ihdr.width = std::uint32_t(w);
    ihdr.height = std::uint32_t(h);
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    int e = spng_set_png_stream(ctx.get(), ToSink, &sink);
    if (e == 0) e = spng_set_ihdr(ctx.get(), &ihdr);
    if (e == 0) e = spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_LEVEL, settings.level);
    if (e == 0) e = spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_STRATEGY, settings.strategy);
    if (e == 0) e = spng_set_option(ctx.get(), SPNG_FILTER_CHOICE, settings.filters);
    if (e == 0) e = SetPngChunks(ctx.get(), embedded);
    if (e == 0) {
        e = spng_encode_image(ctx.get(), nullptr, 0, SPNG_FMT_PNG,
                              SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE);
    }
    // Blue, green, red, fourth byte in the bitmap; red, green, blue in the file.
    std::vector<unsigned char> row(std::size_t(w) * 3);
    for (int y = 0; e == 0 && y < h; ++y) {
        const auto* src = reinterpret_cast<const unsigned char*>(bitmap.row(y));
        unsigned char* dst = row.data();
        for (int x = 0; x < w; ++x, src += 4, dst += 3) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
        e = spng_encode_row(ctx.get(), row.data(), row.size());
    }
    // The last row answers SPNG_EOI once IEND is written.
    return e == SPNG_EOI ? 0 : (e == 0 ? SPNG_EINTERNAL : e);
}

std::int32_t Failed(std::string* reason, const std::string& text) {
    if (reason) *reason = text;
    return 1;
}

}  // namespace

std::int32_t DCSavetoPNG(platform::HDC dc, std::int32_t width, std::int32_t height,
                         const std::string& path, std::uint8_t rate, std::string* reason,
                         const platform::ImageMeta* meta) {
    int w = 0, h = 0;
    if (platform::Status s = WriteArea(dc, width, height, w, h); !s) return Failed(reason, s.reason());
    const Embedded embedded = PrepareEmbedded(meta, Container::Png, w, h);

    if (rate == 2) {
        // Two candidates in memory, one per thread; the smaller goes to the file.
        const PngSettings candidates[2] = {kNormal, kMatching};
        std::string bytes[2];
        int errors[2] = {0, 0};
        platform::ParallelFor(
            2,
            [&](int begin, int end) {
                for (int i = begin; i < end; ++i) {
                    Sink sink = [&bytes, i](const void* data, std::size_t length) {
                        try {
                            bytes[i].append(static_cast<const char*>(data), length);
                            return true;
                        } catch (const std::bad_alloc&) {
                            return false;
                        }
                    };
                    errors[i] = Encode(*dc, w, h, candidates[i], embedded, sink);
                }
            },
            1);
        for (int i : {0, 1}) {
            if (errors[i] == SPNG_IO_ERROR) return Failed(reason, "メモリが足りません");
            if (errors[i] != 0) {
                return Failed(reason, std::string("PNG に圧縮できません: ") +
                                          spng_strerror(errors[i]));
            }
        }
        const std::string& smaller = bytes[1].size() < bytes[0].size() ? bytes[1] : bytes[0];
        OutputFile out;
        if (platform::Status s = out.Open(path); !s) return Failed(reason, s.reason());
        out.Write(smaller.data(), smaller.size());
        if (platform::Status s = out.Close(); !s) return Failed(reason, s.reason());
        return 0;
    }

    OutputFile out;
    if (platform::Status s = out.Open(path); !s) return Failed(reason, s.reason());
    Sink sink = [&out](const void* data, std::size_t length) { return out.Write(data, length); };
    if (const int e = Encode(*dc, w, h, rate == 1 ? kFastest : kNormal, embedded, sink); e != 0) {
        if (out.failed()) return Failed(reason, out.Close().reason());
        return Failed(reason, std::string("PNG に圧縮できません: ") + spng_strerror(e));
    }
    if (platform::Status s = out.Close(); !s) return Failed(reason, s.reason());
    return 0;
}

}  // namespace codec
