#include "formats/png_bands.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "formats/output_file.h"
#include "platform/parallel.h"

namespace formats {
namespace {

constexpr std::size_t kWindow = 32768;  // deflate's window: what a band's start may refer to
constexpr int kBytesPerPixel = 3;

// A row as red, green, blue (our pixels hold blue, green, red, fourth byte).
void RgbRow(const std::uint32_t* row, int w, unsigned char* out) {
    const auto* src = reinterpret_cast<const unsigned char*>(row);
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

// Rows rows[0 .. n) filtered, one after another: each by its best type, or all by Up. above is
// the row before them (nullptr at the top of the picture: zeros).
void FilterRows(const std::uint32_t* above, const std::uint32_t* const* rows, int n, int w,
                bool choose, unsigned char* out) {
    const std::size_t bytes = std::size_t(w) * kBytesPerPixel;
    std::vector<unsigned char> up(bytes, 0), row(bytes), scratch(bytes);
    if (above) RgbRow(above, w, up.data());
    for (int i = 0; i < n; ++i, out += bytes + 1) {
        RgbRow(rows[i], w, row.data());
        if (choose) {
            FilterRow(row.data(), up.data(), bytes, out, scratch.data());
        } else {
            out[0] = 2;
            ApplyFilter(2, row.data(), up.data(), bytes, out + 1);
        }
        up.swap(row);
    }
}

struct Band {
    std::vector<unsigned char> filtered;
    std::vector<unsigned char> dictionary;  // the 32 KiB of filtered bytes before the band
    std::vector<unsigned char> deflated, matched;
    std::uint32_t adler = 1;
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
        z.next_in = const_cast<unsigned char*>(data);
        z.avail_in = uInt(length);
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        const int e = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
        ok = last ? e == Z_STREAM_END : (e == Z_OK && z.avail_in == 0);
        out.resize(z.total_out);
    }
    deflateEnd(&z);
    return ok;
}

// The rows filtered and deflated in bands of fixed height (BandRows), each band primed with the
// 32 KiB of filtered bytes before it, as one stream would see them, and ended with a sync flush:
// the bands' deflate data join into one zlib stream whose checksum adler32_combine makes of the
// bands' own. Filtering and deflating run on the cores, band by band; the cuts depend on the
// picture's width alone.
class PngBandWriter : public BandedWriter {
public:
    PngBandWriter(int w, int h, PngCoding coding)
        : BandedWriter(w, h, BandRows(w, 1)),
          coding_(coding),
          stride_(std::size_t(w) * kBytesPerPixel + 1),
          bands_(std::size_t(Slots())) {}

    platform::Status Open(const std::string& path, const std::vector<unsigned char>& head) {
        if (platform::Status s = out_.Open(path); !s) return s;
        // One zlib stream over all IDAT chunks: its header, one chunk per band, then the checksum
        // of all filtered bytes. (The header's level field only informs: 1 fastest, 3 maximum.)
        const unsigned char zlibHeader[2] = {
            0x78, std::uint8_t(coding_ == PngCoding::Smallest ? 0xDA : 0x01)};
        if (!out_.Write(head.data(), head.size()) || !Chunk("IDAT", zlibHeader, 2))
            return out_.Close();
        return platform::Status::Ok();
    }

protected:
    platform::Status EncodeBatch(int firstBand, int bands, const std::uint32_t* const* rows,
                                 int count) override {
        const int w = width();
        const auto size = [&](int k) { return std::min(bandRows(), count - k * bandRows()); };
        platform::ParallelFor(
            bands,
            [&](int k0, int k1) {
                for (int k = k0; k < k1; ++k) {
                    Band& band = bands_[std::size_t(k)];
                    const int n = size(k);
                    try {
                        band.filtered.resize(std::size_t(n) * stride_);
                    } catch (const std::bad_alloc&) {
                        band.failed = true;
                        continue;
                    }
                    band.failed = false;
                    const std::size_t first = 1 + std::size_t(k) * std::size_t(bandRows());
                    FilterRows(rows[first - 1], rows + first, n, w,
                               coding_ != PngCoding::Fastest, band.filtered.data());
                    band.adler = std::uint32_t(
                        adler32(1, band.filtered.data(), uInt(band.filtered.size())));
                }
            },
            1);
        platform::ParallelFor(
            bands,
            [&](int k0, int k1) {
                for (int k = k0; k < k1; ++k) {
                    Band& band = bands_[std::size_t(k)];
                    if (band.failed || !Window(k, band.dictionary)) {
                        band.failed = true;
                        continue;
                    }
                    const bool last = firstBand + k == bandCount() - 1;
                    const unsigned char* data = band.filtered.data();
                    const std::size_t length = band.filtered.size();
                    band.failed = !Deflate(band.dictionary.data(), band.dictionary.size(), data,
                                           length, last, 1, Z_RLE, band.deflated);
                    // Photo noise defeats string matching, flat graphics need it (png_save.cpp):
                    // "smallest" keeps whichever is smaller, band by band.
                    if (!band.failed && coding_ == PngCoding::Smallest) {
                        band.failed = !Deflate(band.dictionary.data(), band.dictionary.size(),
                                               data, length, last, 9, Z_FILTERED, band.matched);
                        if (!band.failed && band.matched.size() < band.deflated.size())
                            band.deflated.swap(band.matched);
                    }
                }
            },
            1);
        for (int k = 0; k < bands; ++k) {
            const Band& band = bands_[std::size_t(k)];
            if (band.failed)
                return platform::Status::Fail("PNG に圧縮できません (メモリが足りません)");
            adler_ = std::uint32_t(
                adler32_combine(adler_, band.adler, z_off_t(band.filtered.size())));
            if (!Chunk("IDAT", band.deflated.data(), band.deflated.size())) return out_.Close();
        }
        std::vector<unsigned char> window;
        if (!Window(bands, window)) return platform::Status::Fail("メモリが足りません");
        window_.swap(window);
        return platform::Status::Ok();
    }

    platform::Status Close() override {
        const unsigned char checksum[4] = {
            static_cast<unsigned char>(adler_ >> 24), static_cast<unsigned char>(adler_ >> 16),
            static_cast<unsigned char>(adler_ >> 8), static_cast<unsigned char>(adler_)};
        Chunk("IDAT", checksum, 4);
        Chunk("IEND", nullptr, 0);
        return out_.Close();
    }

    void Discard() override { out_.Discard(); }

private:
    // The last 32 KiB (or all, if fewer) of the filtered bytes before band k of this batch: the
    // previous batches' tail, then the batch's bands 0 .. k - 1.
    bool Window(int k, std::vector<unsigned char>& out) const {
        const auto piece = [&](int j) -> const std::vector<unsigned char>& {
            return j < 0 ? window_ : bands_[std::size_t(j)].filtered;
        };
        std::size_t total = 0;
        for (int j = -1; j < k; ++j) total += piece(j).size();
        std::size_t skip = total - std::min(total, kWindow);
        try {
            out.clear();
            out.reserve(kWindow);
            for (int j = -1; j < k; ++j) {
                const std::vector<unsigned char>& p = piece(j);
                const std::size_t s = std::min(skip, p.size());
                skip -= s;
                out.insert(out.end(), p.begin() + std::ptrdiff_t(s), p.end());
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    // Writes one chunk: length, type, data, and the CRC of type and data.
    bool Chunk(const char* type, const unsigned char* data, std::size_t length) {
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
        return out_.Write(head, 8) && (length == 0 || out_.Write(data, length)) &&
               out_.Write(tail, 4);
    }

    const PngCoding coding_;
    const std::size_t stride_;
    std::vector<Band> bands_;
    std::vector<unsigned char> window_;  // the last 32 KiB of filtered bytes written so far
    std::uint32_t adler_ = 1;
    OutputFile out_;
};

}  // namespace

std::unique_ptr<RowWriter> OpenPngBands(const std::string& path, int w, int h, PngCoding coding,
                                        const std::vector<unsigned char>& head,
                                        platform::Status& status) {
    // A band's filtered bytes go to zlib in one piece, whose length is 32 bits.
    if ((std::uint64_t(w) * kBytesPerPixel + 1) * std::uint64_t(BandRows(w, 1)) > 0x7FFFFFFFu) {
        status = platform::Status::Fail("画像の幅が大きすぎて PNG ファイルにできません (" +
                                        std::to_string(w) + " 画素)");
        return nullptr;
    }
    auto writer = std::make_unique<PngBandWriter>(w, h, coding);
    status = writer->Open(path, head);
    if (!status) return nullptr;
    return writer;
}

}  // namespace formats
