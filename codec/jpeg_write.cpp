// JPEG writing over libjpeg-turbo's TurboJPEG API, straight from the bitmap's rows.

#include <turbojpeg.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "platform/bitmap.h"
#include "platform/parallel.h"

namespace codec {
namespace {

struct HandleFreer {
    void operator()(void* handle) const { tjDestroy(handle); }
};
struct BufferFreer {
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

std::int32_t Failed(std::string* reason, const std::string& text) {
    if (reason) *reason = text;
    return 1;
}

using Jpeg = std::unique_ptr<unsigned char, BufferFreer>;

// Encodes h rows of w pixels from the first, as baseline or progressive JPEG. Empty on failure,
// with the reason.
Jpeg Encode(const std::uint32_t* first, int w, int pitch, int h, int quality, int flags,
            unsigned long& size, std::string& reason) {
    std::unique_ptr<void, HandleFreer> handle(tjInitCompress());
    if (!handle) {
        reason = std::string("JPEG 圧縮を開始できません: ") + tjGetErrorStr2(nullptr);
        return nullptr;
    }
    unsigned char* buffer = nullptr;
    size = 0;
    // 4:2:0 chroma subsampling, as cameras write photos. Measured at quality 90: 4:4:4 made a
    // 2048 x 1536 photograph composed with a paper texture 1.23 times larger (2.0 times on pure
    // noise) for colour detail at half resolution, which the light-and-shade texture, the same in
    // all three channels, rarely adds. Who needs every chroma sample saves PNG.
    const int result = tjCompress2(handle.get(), reinterpret_cast<const unsigned char*>(first), w,
                                   pitch, h, TJPF_BGRX, &buffer, &size, TJSAMP_420, quality, flags);
    Jpeg owned(buffer);
    if (result != 0) {
        reason = std::string("JPEG に圧縮できません: ") + tjGetErrorStr2(handle.get());
        return nullptr;
    }
    return owned;
}

// Where the SOF0 segment, the SOS segment and the scan's coded data (just after SOS) start in a
// file that TurboJPEG wrote; false if one is missing or the file already has a restart interval.
bool FindScan(const unsigned char* jpeg, std::size_t size, std::size_t& sof, std::size_t& sos,
              std::size_t& data) {
    sof = 0;
    for (std::size_t at = 2; at + 4 <= size;) {
        if (jpeg[at] != 0xFF) return false;
        const unsigned char marker = jpeg[at + 1];
        const std::size_t length = std::size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (marker == 0xC0) sof = at;
        if (marker == 0xDD) return false;
        if (marker == 0xDA) {
            sos = at;
            data = at + 2 + length;
            return sof != 0 && data <= size;
        }
        at += 2 + length;
    }
    return false;
}

// A baseline JPEG of a large picture, coded on every core: the picture is cut at MCU-row
// boundaries into bands, each band is encoded as a picture of its own, and the bands' coded
// data are joined with restart markers, which reset exactly what starting a new picture resets
// (the DC predictions and the bit buffer). The result has the same coefficients as one encoding
// of the whole picture with a restart interval of one band. Empty when the picture does not
// split (too narrow for a 16-bit restart interval, or a single band).
std::vector<unsigned char> EncodeBands(const platform::Bitmap& bitmap, int w, int h, int quality,
                                       std::string& reason, bool& failed) {
    failed = false;
    constexpr int kMcu = 16;  // 4:2:0: an MCU is 16 x 16 pixels
    const int workers = platform::WorkerCount();
    const long mcusPerRow = (w + kMcu - 1) / kMcu;
    const int mcuRows = (h + kMcu - 1) / kMcu;
    const int rowsPerBand =
        int(std::min<long>((mcuRows + workers - 1) / workers, 65535 / mcusPerRow));
    if (workers < 2 || rowsPerBand < 1 || rowsPerBand >= mcuRows || h < 512) return {};
    const int bands = (mcuRows + rowsPerBand - 1) / rowsPerBand;
    std::vector<Jpeg> coded(static_cast<std::size_t>(bands));
    std::vector<unsigned long> sizes(static_cast<std::size_t>(bands));
    std::vector<std::string> reasons(static_cast<std::size_t>(bands));
    const int pitch = bitmap.width() * 4;
    platform::ParallelFor(
        bands,
        [&](int b0, int b1) {
            for (int b = b0; b < b1; ++b) {
                const int y0 = b * rowsPerBand * kMcu;
                const int rows = std::min(h - y0, rowsPerBand * kMcu);
                coded[std::size_t(b)] = Encode(bitmap.row(y0), w, pitch, rows, quality, 0,
                                               sizes[std::size_t(b)], reasons[std::size_t(b)]);
            }
        },
        1);
    std::vector<unsigned char> out;
    std::size_t firstSof = 0, firstData = 0;
    for (int b = 0; b < bands; ++b) {
        const unsigned char* jpeg = coded[std::size_t(b)].get();
        const std::size_t size = sizes[std::size_t(b)];
        std::size_t sof = 0, sos = 0, data = 0;
        if (!jpeg) {
            reason = reasons[std::size_t(b)];
            failed = true;
            return {};
        }
        // Coded data ends with the EOI marker, byte-aligned and padded with one-bits, as a
        // restart marker wants it.
        if (!FindScan(jpeg, size, sof, sos, data) || size < data + 2) return {};
        // Every band must use the first band's tables (Huffman tables optimised per image, which
        // the environment can ask TurboJPEG for, would not): compare the headers but the height.
        if (b == 0) {
            firstSof = sof;
            firstData = data;
        } else {
            const unsigned char* first = coded[0].get();
            if (sof != firstSof || data != firstData || !std::equal(jpeg, jpeg + sof + 5, first) ||
                !std::equal(jpeg + sof + 7, jpeg + data, first + sof + 7)) {
                return {};
            }
        }
        try {
            if (b == 0) {
                out.assign(jpeg, jpeg + sos);
                out[sof + 5] = std::uint8_t(h >> 8);  // the whole picture's height
                out[sof + 6] = std::uint8_t(h);
                const unsigned interval = unsigned(rowsPerBand * mcusPerRow);
                const unsigned char dri[6] = {
                    0xFF, 0xDD, 0, 4, std::uint8_t(interval >> 8), std::uint8_t(interval)};
                out.insert(out.end(), dri, dri + 6);
                out.insert(out.end(), jpeg + sos, jpeg + data);
            } else {
                out.push_back(0xFF);
                out.push_back(std::uint8_t(0xD0 + (b - 1) % 8));  // RST0 .. RST7 in turn
            }
            out.insert(out.end(), jpeg + data, jpeg + size - 2);
        } catch (const std::bad_alloc&) {
            reason = "メモリが足りません";
            failed = true;
            return {};
        }
    }
    out.push_back(0xFF);
    out.push_back(0xD9);
    return out;
}

}  // namespace

std::int32_t DCSavetoJPEG(platform::HDC dc, std::int32_t width, std::int32_t height,
                          const std::string& path, std::uint8_t rate, std::int32_t progressive,
                          std::string* reason) {
    int w = 0, h = 0;
    if (platform::Status s = WriteArea(dc, width, height, w, h); !s)
        return Failed(reason, s.reason());
    // The rate is the quality factor of the JPEG standard's tables; 0 would be no valid quality.
    const int quality = std::clamp<int>(rate, 1, 100);

    // Our pixels are blue, green, red, fourth byte in memory, which is TurboJPEG's BGRX: the
    // rows go to the encoder as they are, with the bitmap's full row length as the pitch so that
    // a clipped rectangle still steps over whole rows. width * 4 fits an int: the bitmap's byte
    // size is below 2^31 by its pixel limit.
    std::string why;
    if (progressive == 0) {
        bool failed = false;
        const std::vector<unsigned char> banded = EncodeBands(*dc, w, h, quality, why, failed);
        if (failed) return Failed(reason, why);
        if (!banded.empty()) {
            OutputFile out;
            if (platform::Status s = out.Open(path); !s) return Failed(reason, s.reason());
            out.Write(banded.data(), banded.size());
            if (platform::Status s = out.Close(); !s) return Failed(reason, s.reason());
            return 0;
        }
    }
    unsigned long size = 0;
    const Jpeg owned = Encode(dc->row(0), w, dc->width() * 4, h, quality,
                              progressive != 0 ? TJFLAG_PROGRESSIVE : 0, size, why);
    if (!owned) return Failed(reason, why);

    OutputFile out;
    if (platform::Status s = out.Open(path); !s) return Failed(reason, s.reason());
    out.Write(owned.get(), size);
    if (platform::Status s = out.Close(); !s) return Failed(reason, s.reason());
    return 0;
}

}  // namespace codec
