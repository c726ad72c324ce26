// JPEG writing over libjpeg-turbo's libjpeg API, straight from the bitmap's rows, streamed into
// the output file (a large baseline picture in bands on every core, joined in memory). The result's
// EXIF and colour profile go into APP1 and APP2 markers.

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

// After <cstdio>: jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "formats/jpeg_save.h"
#include "formats/output_file.h"
#include "formats/embed_meta.h"
#include "platform/bitmap.h"
#include "platform/parallel.h"
#include "platform/progress.h"

namespace formats {
namespace {

// libjpeg reports a fatal error by calling error_exit, which must not return: it jumps back to
// Compress. Warnings (emit_message) are dropped; only the error's text is kept.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void OnError(j_common_ptr cinfo) {
    auto* errors = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, errors->message);
    std::longjmp(errors->jump, 1);
}

void OnMessage(j_common_ptr, int) {}

// The compressed bytes go to the output file in 64 KiB pieces. A failed write ends compression
// through the error path (OutputFile keeps its own reason).
struct FileDestination {
    jpeg_destination_mgr pub;
    OutputFile* file;
    JOCTET buffer[65536];
};

void InitDestination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<FileDestination*>(cinfo->dest);
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = sizeof d->buffer;
}

boolean EmptyBuffer(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<FileDestination*>(cinfo->dest);
    if (!d->file->Write(d->buffer, sizeof d->buffer)) ERREXIT(cinfo, JERR_FILE_WRITE);
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = sizeof d->buffer;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<FileDestination*>(cinfo->dest);
    const std::size_t used = sizeof d->buffer - d->pub.free_in_buffer;
    if (used > 0 && !d->file->Write(d->buffer, used)) ERREXIT(cinfo, JERR_FILE_WRITE);
}

// The compressed bytes in one growing std::malloc block. Unlike jpeg_mem_dest, which frees its
// old block on growth and names the new one only at the end, *memory always names the live
// block, so that the caller frees the right one after a failure or a stop too.
struct MemoryDestination {
    jpeg_destination_mgr pub;
    unsigned char** memory;
    unsigned long* size;
    std::size_t capacity;
};

void InitMemory(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    d->capacity = 65536;
    *d->memory = static_cast<unsigned char*>(std::malloc(d->capacity));
    if (!*d->memory) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 10);
    d->pub.next_output_byte = *d->memory;
    d->pub.free_in_buffer = d->capacity;
}

boolean GrowMemory(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    auto* grown = static_cast<unsigned char*>(std::realloc(*d->memory, d->capacity * 2));
    if (!grown) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 10);
    *d->memory = grown;
    d->pub.next_output_byte = grown + d->capacity;
    d->pub.free_in_buffer = d->capacity;
    d->capacity *= 2;
    return TRUE;
}

void TermMemory(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    *d->size = static_cast<unsigned long>(d->capacity - d->pub.free_in_buffer);
}

// Everything between setjmp and the end is plain data: a longjmp out of libjpeg skips no
// destructor. Returns false with errors.message set on failure.
// With memory set, the file goes into a buffer that libjpeg allocates (the caller frees it with
// std::free) instead of to destination.
bool Compress(JSAMPROW* rows, int w, int h, int quality, bool progressive, const Embedded& embedded,
              FileDestination& destination, ErrorManager& errors, unsigned char** memory = nullptr,
              unsigned long* memorySize = nullptr) {
    if (platform::WorkCancelled()) return false;
    jpeg_compress_struct cinfo;
    MemoryDestination inMemory{};
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = OnError;
    errors.pub.emit_message = OnMessage;
    errors.message[0] = '\0';
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    if (memory) {
        inMemory.pub.init_destination = InitMemory;
        inMemory.pub.empty_output_buffer = GrowMemory;
        inMemory.pub.term_destination = TermMemory;
        inMemory.memory = memory;
        inMemory.size = memorySize;
        cinfo.dest = &inMemory.pub;
    } else {
        destination.pub.init_destination = InitDestination;
        destination.pub.empty_output_buffer = EmptyBuffer;
        destination.pub.term_destination = TermDestination;
        cinfo.dest = &destination.pub;
    }

    // Our pixels are blue, green, red, fourth byte in memory: libjpeg-turbo's BGRX.
    cinfo.image_width = JDIMENSION(w);
    cinfo.image_height = JDIMENSION(h);
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    // The DCT that TurboJPEG chooses: the fast one below quality 96, the accurate one from there,
    // where its error would show. The same settings give the same file as before.
    cinfo.dct_method = quality >= 96 ? JDCT_ISLOW : JDCT_FASTEST;
    jpeg_set_colorspace(&cinfo, JCS_YCbCr);
    if (progressive) jpeg_simple_progression(&cinfo);
    // 4:2:0 chroma subsampling, as cameras write photos. Measured at quality 90: 4:4:4 made a
    // 2048 x 1536 photograph composed with a paper texture 1.23 times larger (2.0 times on pure
    // noise) for colour detail at half resolution, which the light-and-shade texture, the same in
    // all three channels, rarely adds. Who needs every chroma sample saves PNG.
    cinfo.comp_info[0].h_samp_factor = 2;
    cinfo.comp_info[0].v_samp_factor = 2;
    for (int c = 1; c < 3; ++c) {
        cinfo.comp_info[c].h_samp_factor = 1;
        cinfo.comp_info[c].v_samp_factor = 1;
    }
    // A file with EXIF starts with its APP1, as the EXIF standard lays it out; JFIF's APP0 stays
    // for files without.
    if (!embedded.exif.empty()) cinfo.write_JFIF_header = FALSE;

    jpeg_start_compress(&cinfo, TRUE);
    WriteJpegMarkers(&cinfo, embedded);
    // Bands of 16 rows, each counted; a stop between them abandons the file.
    while (cinfo.next_scanline < cinfo.image_height) {
        if (platform::WorkCancelled()) {
            jpeg_destroy_compress(&cinfo);
            return false;
        }
        const JDIMENSION y = cinfo.next_scanline;
        jpeg_write_scanlines(&cinfo, rows + y, std::min<JDIMENSION>(16, cinfo.image_height - y));
        platform::ProgressAdvance(cinfo.next_scanline - y);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

struct FreeMemory {
    void operator()(unsigned char* p) const { std::free(p); }
};

// A marker segment of a JPEG file: its marker byte and where it starts and ends.
struct Segment {
    unsigned char marker;
    std::size_t begin, end;
};

// The segments of a file that libjpeg wrote, up to and including SOS; false if SOS is missing or
// the file already has a restart interval.
bool Segments(const unsigned char* jpeg, std::size_t size, std::vector<Segment>& out) {
    for (std::size_t at = 2; at + 4 <= size;) {
        if (jpeg[at] != 0xFF) return false;
        const unsigned char marker = jpeg[at + 1];
        const std::size_t end = at + 2 + (std::size_t(jpeg[at + 2]) << 8 | jpeg[at + 3]);
        if (marker == 0xDD || end > size) return false;
        out.push_back({marker, at, end});
        if (marker == 0xDA) return true;
        at = end;
    }
    return false;
}

// The segments that decide how the coded data reads: the tables, the frame (without its height)
// and the scan header.
std::vector<unsigned char> CodingSegments(const unsigned char* jpeg,
                                          const std::vector<Segment>& segments) {
    std::vector<unsigned char> bytes;
    for (const Segment& s : segments) {
        if (s.marker != 0xDB && s.marker != 0xC4 && s.marker != 0xC0 && s.marker != 0xDA) continue;
        std::size_t from = bytes.size();
        bytes.insert(bytes.end(), jpeg + s.begin, jpeg + s.end);
        if (s.marker == 0xC0) bytes[from + 5] = bytes[from + 6] = 0;  // the height
    }
    return bytes;
}

// A baseline JPEG of a large picture, coded on every core: the picture is cut at MCU-row
// boundaries into bands, each band is encoded as a picture of its own (the first with the
// markers), and the bands' coded data are joined with restart markers, which reset exactly what
// starting a new picture resets (the DC predictions and the bit buffer). The result has the same
// coefficients as one encoding of the whole picture with a restart interval of one band. Empty
// when the picture does not split (too narrow for a 16-bit restart interval, a single band, or
// bands whose tables differ); failed set when encoding failed.
std::vector<unsigned char> EncodeBands(JSAMPROW* rows, int w, int h, int quality,
                                       const Embedded& embedded, std::string& reason,
                                       bool& failed) {
    failed = false;
    constexpr int kMcu = 16;  // 4:2:0: an MCU is 16 x 16 pixels
    const int workers = platform::WorkerCount();
    const long mcusPerRow = (w + kMcu - 1) / kMcu;
    const int mcuRows = (h + kMcu - 1) / kMcu;
    const int rowsPerBand =
        int(std::min<long>((mcuRows + workers - 1) / workers, 65535 / mcusPerRow));
    if (workers < 2 || rowsPerBand < 1 || rowsPerBand >= mcuRows || h < 512) return {};
    const int bands = (mcuRows + rowsPerBand - 1) / rowsPerBand;
    std::vector<std::unique_ptr<unsigned char, FreeMemory>> coded(static_cast<std::size_t>(bands));
    std::vector<unsigned long> sizes(static_cast<std::size_t>(bands));
    std::vector<std::string> messages(static_cast<std::size_t>(bands));
    const Embedded none;
    platform::ParallelFor(
        bands,
        [&](int b0, int b1) {
            for (int b = b0; b < b1; ++b) {
                const std::size_t i = std::size_t(b);
                const int y0 = b * rowsPerBand * kMcu;
                const int n = std::min(h - y0, rowsPerBand * kMcu);
                auto destination = std::make_unique<FileDestination>();
                ErrorManager errors;
                unsigned char* memory = nullptr;
                if (!Compress(rows + y0, w, n, quality, false, b == 0 ? embedded : none,
                              *destination, errors, &memory, &sizes[i])) {
                    messages[i] = errors.message[0] ? errors.message : "?";
                }
                coded[i].reset(memory);
            }
        },
        1);
    std::vector<unsigned char> out;
    std::vector<unsigned char> firstCoding;
    for (int b = 0; b < bands; ++b) {
        const std::size_t i = std::size_t(b);
        if (!messages[i].empty() || !coded[i]) {
            reason = std::string("JPEG に圧縮できません: ") + messages[i];
            failed = true;
            return {};
        }
        const unsigned char* jpeg = coded[i].get();
        const std::size_t size = sizes[i];
        std::vector<Segment> segments;
        // Coded data ends with the EOI marker, byte-aligned and padded with one-bits, as a
        // restart marker wants it.
        if (!Segments(jpeg, size, segments) || size < segments.back().end + 2) return {};
        // Every band must read with the first band's tables (Huffman tables optimised per
        // image would not).
        const std::vector<unsigned char> coding = CodingSegments(jpeg, segments);
        const std::size_t data = segments.back().end;
        try {
            if (b == 0) {
                firstCoding = coding;
                const Segment& sos = segments.back();
                out.assign(jpeg, jpeg + sos.begin);
                for (const Segment& s : segments) {
                    if (s.marker == 0xC0) {
                        out[s.begin + 5] = std::uint8_t(h >> 8);  // the whole picture's height
                        out[s.begin + 6] = std::uint8_t(h);
                    }
                }
                const unsigned interval = unsigned(rowsPerBand * mcusPerRow);
                const unsigned char dri[6] = {
                    0xFF, 0xDD, 0, 4, std::uint8_t(interval >> 8), std::uint8_t(interval)};
                out.insert(out.end(), dri, dri + 6);
                out.insert(out.end(), jpeg + sos.begin, jpeg + data);
            } else {
                if (coding != firstCoding) return {};
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

platform::Status SaveJpeg(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                          int rate, bool progressive, const platform::ImageMeta* meta) {
    // The rate is the quality factor of the JPEG standard's tables; 0 would be no valid quality.
    const int quality = std::clamp<int>(rate, 1, 100);
    const Embedded embedded = PrepareEmbedded(meta, Container::Jpeg, w, h);

    // Row pointers into the bitmap: a clipped area still steps over whole rows. libjpeg only
    // reads through them.
    std::vector<JSAMPROW> rows(static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y) rows[std::size_t(y)] = reinterpret_cast<JSAMPROW>(const_cast<std::uint32_t*>(bitmap.row(y)));
    platform::ProgressStart(h);

    if (!progressive) {
        std::string why;
        bool failed = false;
        const std::vector<unsigned char> banded =
            EncodeBands(rows.data(), w, h, quality, embedded, why, failed);
        if (failed) return platform::Status::Fail(why);
        if (!banded.empty()) {
            OutputFile out;
            if (platform::Status s = out.Open(path); !s) return platform::Status::Fail(s.reason());
            out.Write(banded.data(), banded.size());
            if (platform::Status s = out.Close(); !s) return platform::Status::Fail(s.reason());
            return platform::Status::Ok();
        }
    }

    OutputFile out;
    if (platform::Status s = out.Open(path); !s) return platform::Status::Fail(s.reason());
    auto destination = std::make_unique<FileDestination>();
    destination->file = &out;
    ErrorManager errors;
    if (!Compress(rows.data(), w, h, quality, progressive, embedded, *destination, errors)) {
        if (out.failed()) return platform::Status::Fail(out.Close().reason());
        return platform::Status::Fail(std::string("JPEG に圧縮できません: ") + errors.message);
    }
    if (platform::Status s = out.Close(); !s) return platform::Status::Fail(s.reason());
    return platform::Status::Ok();
}

}  // namespace formats
