#include "formats/png_bands.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "platform/parallel.h"
#include "platform/progress.h"

namespace formats {
namespace {

constexpr std::size_t kWindow = 32768;  // deflate's window: what a band's start may refer to
constexpr int kBytesPerPixel = 3;

// Row y of the bitmap as red, green, blue (the bitmap holds blue, green, red, fourth byte).
void RgbRow(const platform::Bitmap& bitmap, int y, int w, unsigned char* out) {
    const auto* src = reinterpret_cast<const unsigned char*>(bitmap.row(y));
    for (int x = 0; x < w; ++x, src += 4, out += 3) {
        out[0] = src[2];
        out[1] = src[1];
        out[2] = src[0];
    }
}

int Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

// The bytes of one filter type for a row, from the row and the one above it (zeros above the
// first row); returns their absolute sum read as signed bytes. One loop per type, so that the
// compiler can keep each simple.
long ApplyFilter(int type, const unsigned char* row, const unsigned char* above, std::size_t n,
                 unsigned char* out) {
    const std::size_t bpp = kBytesPerPixel;
    const std::size_t head = std::min(bpp, n);
    switch (type) {
        case 0:
            std::memcpy(out, row, n);
            break;
        case 1:
            std::memcpy(out, row, head);
            for (std::size_t i = bpp; i < n; ++i)
                out[i] = static_cast<unsigned char>(row[i] - row[i - bpp]);
            break;
        case 2:
            for (std::size_t i = 0; i < n; ++i)
                out[i] = static_cast<unsigned char>(row[i] - above[i]);
            break;
        case 3:
            for (std::size_t i = 0; i < head; ++i)
                out[i] = static_cast<unsigned char>(row[i] - above[i] / 2);
            for (std::size_t i = bpp; i < n; ++i) {
                out[i] = static_cast<unsigned char>(row[i] - (row[i - bpp] + above[i]) / 2);
            }
            break;
        default:
            for (std::size_t i = 0; i < head; ++i)
                out[i] = static_cast<unsigned char>(row[i] - above[i]);
            for (std::size_t i = bpp; i < n; ++i) {
                out[i] = static_cast<unsigned char>(row[i] -
                                                    Paeth(row[i - bpp], above[i], above[i - bpp]));
            }
            break;
    }
    long sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += std::abs(static_cast<signed char>(out[i]));
    return sum;
}

// One filtered row (type byte, then the bytes) into out. The type is the one whose bytes, read
// as signed, have the least absolute sum: the usual heuristic, which libpng and libspng use too.
void FilterRow(const unsigned char* row, const unsigned char* above, std::size_t n,
               unsigned char* out, unsigned char* scratch) {
    long best = ApplyFilter(0, row, above, n, out + 1);
    out[0] = 0;
    for (int type = 1; type < 5; ++type) {
        const long sum = ApplyFilter(type, row, above, n, scratch);
        if (sum < best) {
            best = sum;
            out[0] = static_cast<unsigned char>(type);
            std::memcpy(out + 1, scratch, n);
        }
    }
}

// Rows [y0, y1) filtered, one after another: each by its best type, or all by Up.
void FilterRows(const platform::Bitmap& bitmap, int w, int y0, int y1, bool choose,
                unsigned char* out) {
    const std::size_t n = std::size_t(w) * kBytesPerPixel;
    std::vector<unsigned char> above(n, 0), row(n), scratch(n);
    if (y0 > 0) RgbRow(bitmap, y0 - 1, w, above.data());
    for (int y = y0; y < y1; ++y, out += n + 1) {
        RgbRow(bitmap, y, w, row.data());
        if (choose) {
            FilterRow(row.data(), above.data(), n, out, scratch.data());
        } else {
            out[0] = 2;
            ApplyFilter(2, row.data(), above.data(), n, out + 1);
        }
        above.swap(row);
    }
}

struct Band {
    std::vector<unsigned char> deflated;
    std::uint32_t adler = 1;
    std::size_t length = 0;  // filtered bytes
    bool failed = false;
};

// Raw deflate of data, primed with dictionary; ends on a byte boundary (a sync flush) unless it
// is the last band, which ends the stream.
bool Deflate(const unsigned char* dictionary, std::size_t dictionaryLength,
             const unsigned char* data, std::size_t length, bool last, int level, int strategy,
             std::vector<unsigned char>& out) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -15, 9, strategy) != Z_OK) return false;
    bool ok = dictionaryLength == 0 ||
              deflateSetDictionary(&z, dictionary, uInt(dictionaryLength)) == Z_OK;
    try {
        out.resize(deflateBound(&z, uLong(length)) + 16);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (ok) {
        // Fed in pieces, each counted, with a look at the stop request between them; zlib's
        // output does not depend on how its input is cut.
        constexpr std::size_t kPiece = std::size_t(1) << 20;
        z.next_in = const_cast<unsigned char*>(data);
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        for (std::size_t at = 0;;) {
            if (platform::WorkCancelled()) {
                ok = false;
                break;
            }
            const std::size_t n = std::min(kPiece, length - at);
            const bool end = at + n == length;
            z.avail_in = uInt(n);
            const int e = deflate(&z, end ? (last ? Z_FINISH : Z_SYNC_FLUSH) : Z_NO_FLUSH);
            platform::ProgressAdvance(std::int64_t(n));
            at += n;
            if (end) {
                ok = last ? e == Z_STREAM_END : (e == Z_OK && z.avail_in == 0);
                break;
            }
            if (e != Z_OK || z.avail_in != 0) {
                ok = false;
                break;
            }
        }
        out.resize(z.total_out);
    }
    deflateEnd(&z);
    return ok;
}

// Writes one chunk: length, type, data, and the CRC of type and data.
bool Chunk(const ByteSink& write, const char* type, const unsigned char* data, std::size_t length) {
    unsigned char head[8];
    const auto be32 = [](unsigned char* at, std::uint32_t v) {
        at[0] = static_cast<unsigned char>(v >> 24);
        at[1] = static_cast<unsigned char>(v >> 16);
        at[2] = static_cast<unsigned char>(v >> 8);
        at[3] = static_cast<unsigned char>(v);
    };
    be32(head, std::uint32_t(length));
    std::memcpy(head + 4, type, 4);
    uLong crc = crc32(0, head + 4, 4);
    if (length > 0) crc = crc32(crc, data, uInt(length));
    unsigned char tail[4];
    be32(tail, std::uint32_t(crc));
    return write(head, 8) && (length == 0 || write(data, length)) && write(tail, 4);
}

}  // namespace

platform::Status EncodePngBands(const platform::Bitmap& bitmap, int w, int h, PngCoding coding,
                                const std::vector<unsigned char>& head, const ByteSink& write) {
    const std::size_t stride = std::size_t(w) * kBytesPerPixel + 1;
    // A few bands per core even out their unequal costs; each at least a window long so that
    // priming costs little beside its own work.
    const int wanted = 4 * platform::WorkerCount();
    const int minRows = int(std::min<std::size_t>(h, 4 * kWindow / stride + 1));
    const int bands = std::clamp(h / std::max(minRows, 1), 1, wanted);
    std::vector<Band> out(static_cast<std::size_t>(bands));
    const auto bandStart = [&](int b) { return int(std::int64_t(h) * b / bands); };
    // Counted in filtered bytes deflated ("smallest" deflates every band twice).
    platform::ProgressStart(std::int64_t(h) * std::int64_t(stride) *
                            (coding == PngCoding::Smallest ? 2 : 1));

    platform::ParallelFor(
        bands,
        [&](int b0, int b1) {
            for (int b = b0; b < b1; ++b) {
                Band& band = out[std::size_t(b)];
                if (platform::WorkCancelled()) return;
                const int y0 = bandStart(b), y1 = bandStart(b + 1);
                // The rows before the band that the window can reach, filtered again here.
                const int primeRows = y0 == 0 ? 0 : std::min<int>(y0, int(kWindow / stride) + 1);
                std::vector<unsigned char> filtered;
                try {
                    filtered.resize(std::size_t(y1 - y0 + primeRows) * stride);
                } catch (const std::bad_alloc&) {
                    band.failed = true;
                    continue;
                }
                FilterRows(bitmap, w, y0 - primeRows, y1, coding != PngCoding::Fastest,
                           filtered.data());
                const std::size_t primed = std::size_t(primeRows) * stride;
                const std::size_t dictionary = std::min(primed, kWindow);
                const unsigned char* data = filtered.data() + primed;
                band.length = filtered.size() - primed;
                band.adler = std::uint32_t(adler32(1, data, uInt(band.length)));
                const bool last = b == bands - 1;
                band.failed = !Deflate(data - dictionary, dictionary, data, band.length, last, 1,
                                       Z_RLE, band.deflated);
                // Photo noise defeats string matching, flat graphics need it (png_write.cpp):
                // "smallest" keeps whichever is smaller, band by band.
                if (!band.failed && coding == PngCoding::Smallest) {
                    std::vector<unsigned char> matched;
                    band.failed = !Deflate(data - dictionary, dictionary, data, band.length, last,
                                           9, Z_FILTERED, matched);
                    if (!band.failed && matched.size() < band.deflated.size()) {
                        band.deflated.swap(matched);
                    }
                }
            }
        },
        1);

    if (platform::WorkCancelled()) return platform::Status::Cancelled();
    for (const Band& band : out) {
        if (band.failed) return platform::Status::Fail("PNG に圧縮できません (メモリが足りません)");
    }
    const auto fail = [] { return platform::Status::Fail("PNG を書き込めません"); };
    if (!write(head.data(), head.size())) return fail();
    // One zlib stream over all IDAT chunks: its header, one chunk per band, then the checksum of
    // all filtered bytes.
    // (The header's level field only informs: 1 fastest, 3 maximum.)
    const unsigned char zlibHeader[2] = {0x78,
                                         std::uint8_t(coding == PngCoding::Smallest ? 0xDA : 0x01)};
    if (!Chunk(write, "IDAT", zlibHeader, 2)) return fail();
    std::uint32_t adler = 1;
    for (const Band& band : out) {
        adler = std::uint32_t(adler32_combine(adler, band.adler, z_off_t(band.length)));
        if (!Chunk(write, "IDAT", band.deflated.data(), band.deflated.size())) return fail();
    }
    const unsigned char checksum[4] = {
        static_cast<unsigned char>(adler >> 24), static_cast<unsigned char>(adler >> 16),
        static_cast<unsigned char>(adler >> 8), static_cast<unsigned char>(adler)};
    if (!Chunk(write, "IDAT", checksum, 4) || !Chunk(write, "IEND", nullptr, 0)) return fail();
    return platform::Status::Ok();
}

}  // namespace formats
