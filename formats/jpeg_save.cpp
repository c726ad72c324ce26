// JPEG writing over libjpeg-turbo's libjpeg API, straight from 32-bit rows as they arrive:
// baseline in restart-marker bands of fixed height, encoded on the cores and written in order;
// progressive through one compressor that holds the coefficients. The result's EXIF and colour
// profile go into APP1 and APP2 markers.

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

// After <cstdio>: jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "formats/embed_meta.h"
#include "formats/jpeg_save.h"
#include "formats/output_file.h"
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

// The settings every file of ours is made with, on a created compressor.
void Configure(jpeg_compress_struct& cinfo, int w, int h, int quality, bool progressive,
               const Embedded& embedded) {
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
}

void SetErrors(jpeg_compress_struct& cinfo, ErrorManager& errors) {
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = OnError;
    errors.pub.emit_message = OnMessage;
    errors.message[0] = '\0';
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

// One baseline picture of h rows into a std::malloc block (MemoryDestination; the caller frees it
// with std::free, after a failure too). Everything between setjmp and the end is plain data: a
// longjmp out of libjpeg skips no destructor. Returns false with errors.message set on failure.
bool Compress(JSAMPROW* rows, int w, int h, int quality, const Embedded& embedded,
              ErrorManager& errors, unsigned char** memory, unsigned long* memorySize) {
    jpeg_compress_struct cinfo;
    SetErrors(cinfo, errors);
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    MemoryDestination inMemory{};
    inMemory.pub.init_destination = InitMemory;
    inMemory.pub.empty_output_buffer = GrowMemory;
    inMemory.pub.term_destination = TermMemory;
    inMemory.memory = memory;
    inMemory.size = memorySize;
    cinfo.dest = &inMemory.pub;
    Configure(cinfo, w, h, quality, false, embedded);
    jpeg_start_compress(&cinfo, TRUE);
    WriteJpegMarkers(&cinfo, embedded);
    while (cinfo.next_scanline < cinfo.image_height) {
        jpeg_write_scanlines(&cinfo, rows + cinfo.next_scanline,
                             cinfo.image_height - cinfo.next_scanline);
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

// A baseline JPEG in bands of fixed height (BandRows: whole MCU rows). Each band is encoded as a
// picture of its own (the first with the markers), and the bands' coded data are joined with
// restart markers, which reset exactly what starting a new picture resets (the DC predictions
// and the bit buffer). The file has the same coefficients as one encoding of the whole picture
// with a restart interval of one band; a picture of one band is exactly that encoding, without
// a restart interval. The cuts depend on the picture's width alone.
class BaselineWriter : public BandedWriter {
  public:
    BaselineWriter(int w, int h, int quality, Embedded embedded)
        : BandedWriter(w, h, BandRows(w, kMcu)),
          quality_(quality),
          embedded_(std::move(embedded)),
          coded_(std::size_t(Slots())),
          sizes_(std::size_t(Slots())),
          messages_(std::size_t(Slots())) {}

    platform::Status Open(const std::string& path) { return out_.Open(path); }

  protected:
    platform::Status EncodeBatch(int firstBand, int bands, const std::uint32_t* const* rows,
                                 int count) override {
        const int w = width();
        ForEachBand(bands, [&](int k) {
            std::vector<JSAMPROW> pointers;
            const Embedded none;
            const std::size_t i = std::size_t(k);
            const int n = std::min(bandRows(), count - k * bandRows());
            unsigned char* memory = nullptr;
            messages_[i].clear();
            sizes_[i] = 0;
            try {
                pointers.resize(std::size_t(n));
            } catch (const std::bad_alloc&) {
                messages_[i] = "メモリが足りません";
                return;
            }
            for (int r = 0; r < n; ++r) {
                pointers[std::size_t(r)] = reinterpret_cast<JSAMPROW>(
                    const_cast<std::uint32_t*>(rows[1 + std::size_t(k * bandRows() + r)]));
            }
            ErrorManager errors;
            if (!Compress(pointers.data(), w, n, quality_, firstBand + k == 0 ? embedded_ : none,
                          errors, &memory, &sizes_[i])) {
                messages_[i] = errors.message[0] ? errors.message : "?";
            }
            coded_[i].reset(memory);
        });
        for (int k = 0; k < bands; ++k) {
            if (platform::Status s = Join(firstBand + k, std::size_t(k)); !s) return s;
        }
        return platform::Status::Ok();
    }

    platform::Status Close() override {
        const unsigned char eoi[2] = {0xFF, 0xD9};
        out_.Write(eoi, 2);
        return out_.Close();
    }

    void Discard() override { out_.Discard(); }

  private:
    static constexpr int kMcu = 16;  // 4:2:0: an MCU is 16 x 16 pixels

    // Writes band `band`'s coded data (slot i) to the file: the first band with the file's head,
    // the others behind a restart marker.
    platform::Status Join(int band, std::size_t i) {
        const auto failed = [&](const std::string& why) {
            return platform::Status::Fail(std::string("JPEG に圧縮できません: ") + why);
        };
        std::unique_ptr<unsigned char, FreeMemory> coded = std::move(coded_[i]);
        if (!messages_[i].empty() || !coded) return failed(messages_[i]);
        const unsigned char* jpeg = coded.get();
        const std::size_t size = sizes_[i];
        std::vector<Segment> segments;
        // Coded data ends with the EOI marker, byte-aligned and padded with one-bits, as a
        // restart marker wants it.
        if (!Segments(jpeg, size, segments) || size < segments.back().end + 2)
            return failed("band");
        const std::size_t data = segments.back().end;
        try {
            // Every band must read with the first band's tables: they follow from the quality
            // alone (no Huffman tables optimised per picture).
            const std::vector<unsigned char> coding = CodingSegments(jpeg, segments);
            if (band == 0) {
                firstCoding_ = coding;
                const Segment& sos = segments.back();
                std::vector<unsigned char> head(jpeg, jpeg + sos.begin);
                for (const Segment& s : segments) {
                    if (s.marker == 0xC0) {
                        head[s.begin + 5] = std::uint8_t(height() >> 8);  // the whole height
                        head[s.begin + 6] = std::uint8_t(height());
                    }
                }
                if (bandCount() > 1) {
                    const long mcusPerRow = (width() + kMcu - 1) / kMcu;
                    const unsigned interval = unsigned(bandRows() / kMcu * mcusPerRow);
                    const unsigned char dri[6] = {
                        0xFF, 0xDD, 0, 4, std::uint8_t(interval >> 8), std::uint8_t(interval)};
                    head.insert(head.end(), dri, dri + 6);
                }
                head.insert(head.end(), jpeg + sos.begin, jpeg + data);
                out_.Write(head.data(), head.size());
            } else {
                if (coding != firstCoding_) return failed("tables");
                const unsigned char rst[2] = {0xFF, std::uint8_t(0xD0 + (band - 1) % 8)};
                out_.Write(rst, 2);  // RST0 .. RST7 in turn
            }
        } catch (const std::bad_alloc&) {
            return platform::Status::Fail("メモリが足りません");
        }
        if (!out_.Write(jpeg + data, size - 2 - data)) return out_.Close();
        return platform::Status::Ok();
    }

    const int quality_;
    const Embedded embedded_;
    std::vector<std::unique_ptr<unsigned char, FreeMemory>> coded_;
    std::vector<unsigned long> sizes_;
    std::vector<std::string> messages_;
    std::vector<unsigned char> firstCoding_;
    OutputFile out_;
};

// A progressive JPEG: libjpeg takes the rows as they come and keeps the whole picture's DCT
// coefficients (about 3 bytes a pixel at 4:2:0, three quarters of the 32-bit picture) until
// jpeg_finish_compress writes the scans. Memory grows with the area here; baseline does not.
// Every call into libjpeg sets the jump point again; the compressor's state lives in State.
class ProgressiveWriter : public RowWriter {
  public:
    ProgressiveWriter(int w, int h, int quality, Embedded embedded)
        : w_(w),
          h_(h),
          quality_(quality),
          embedded_(std::move(embedded)),
          state_(std::make_unique<State>()) {}

    ~ProgressiveWriter() override {
        if (created_) jpeg_destroy_compress(&state_->cinfo);
    }

    platform::Status Open(const std::string& path) {
        if (platform::Status s = out_.Open(path); !s) return s;
        State& st = *state_;
        st.destination.file = &out_;
        SetErrors(st.cinfo, st.errors);
        if (setjmp(st.errors.jump)) return Failed();
        jpeg_create_compress(&st.cinfo);
        created_ = true;
        st.destination.pub.init_destination = InitDestination;
        st.destination.pub.empty_output_buffer = EmptyBuffer;
        st.destination.pub.term_destination = TermDestination;
        st.cinfo.dest = &st.destination.pub;
        Configure(st.cinfo, w_, h_, quality_, true, embedded_);
        jpeg_start_compress(&st.cinfo, TRUE);
        WriteJpegMarkers(&st.cinfo, embedded_);
        return platform::Status::Ok();
    }

    platform::Status WriteRows(const std::uint32_t* rows, std::size_t stride, int count) override {
        if (!failure_.ok()) return failure_;
        if (finished_) return platform::Status::Fail("書き込みは終わっています");
        if (count < 0 || count > h_ - next_) {
            return Fail(platform::Status::Fail("画像の高さを超える行が渡されました"));
        }
        if (platform::WorkCancelled()) return Fail(platform::Status::Cancelled());
        State& st = *state_;
        if (setjmp(st.errors.jump)) return Failed();
        for (int i = 0; i < count; ++i) {
            JSAMPROW row = reinterpret_cast<JSAMPROW>(
                const_cast<std::uint32_t*>(rows + std::size_t(i) * stride));
            jpeg_write_scanlines(&st.cinfo, &row, 1);
        }
        next_ += count;
        platform::ProgressAdvance(count);
        return platform::Status::Ok();
    }

    platform::Status Finish() override {
        if (!failure_.ok()) return failure_;
        if (finished_) return platform::Status::Fail("書き込みは終わっています");
        if (next_ != h_) {
            return Fail(platform::Status::Fail("画像の行が足りません (" + std::to_string(next_) +
                                               " / " + std::to_string(h_) + " 行)"));
        }
        if (platform::WorkCancelled()) return Fail(platform::Status::Cancelled());
        State& st = *state_;
        if (setjmp(st.errors.jump)) return Failed();
        jpeg_finish_compress(&st.cinfo);
        finished_ = true;
        failure_ = out_.Close();
        return failure_;
    }

    int PreferredRows() const override { return BandRows(w_, 16); }

  private:
    struct State {
        jpeg_compress_struct cinfo;
        ErrorManager errors;
        FileDestination destination;
    };

    // After a longjmp out of libjpeg: the file's own failure if writing failed, else libjpeg's.
    platform::Status Failed() {
        if (out_.failed()) return Fail(out_.Close());
        return Fail(platform::Status::Fail(std::string("JPEG に圧縮できません: ") +
                                           state_->errors.message));
    }

    platform::Status Fail(platform::Status status) {
        if (failure_.ok()) failure_ = status;
        out_.Discard();
        return failure_;
    }

    const int w_, h_, quality_;
    const Embedded embedded_;
    std::unique_ptr<State> state_;
    bool created_ = false;
    int next_ = 0;
    bool finished_ = false;
    platform::Status failure_;
    OutputFile out_;
};

}  // namespace

std::unique_ptr<RowWriter> OpenJpegWriter(const std::string& path, int width, int height, int rate,
                                          bool progressive, const platform::ImageMeta* meta,
                                          platform::Status& status) {
    if (width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) {
        status = platform::Status::Fail("画像が大きすぎて JPEG ファイルにできません (" +
                                        std::to_string(width) + " × " + std::to_string(height) +
                                        " 画素; JPEG の上限は一辺 " +
                                        std::to_string(JPEG_MAX_DIMENSION) + " 画素)");
        return nullptr;
    }
    // The rate is the quality factor of the JPEG standard's tables; 0 would be no valid quality.
    const int quality = std::clamp<int>(rate, 1, 100);
    Embedded embedded = PrepareEmbedded(meta, Container::Jpeg, width, height);
    if (progressive) {
        auto writer =
            std::make_unique<ProgressiveWriter>(width, height, quality, std::move(embedded));
        status = writer->Open(path);
        return status ? std::move(writer) : nullptr;
    }
    auto writer = std::make_unique<BaselineWriter>(width, height, quality, std::move(embedded));
    status = writer->Open(path);
    return status ? std::move(writer) : nullptr;
}

platform::Status SaveJpeg(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                          int rate, bool progressive, const platform::ImageMeta* meta) {
    WriteSettings settings;
    settings.format = OutputFormat::Jpeg;
    settings.jpegRate = rate;
    settings.progressive = progressive;
    platform::ProgressStart(h);  // this save is the step: its rows are counted
    platform::Status s;
    std::unique_ptr<RowWriter> writer = OpenRowWriter(path, w, h, settings, meta, s);
    if (!writer) return s;
    // A clipped area still steps over whole rows of the bitmap.
    if (s = writer->WriteRows(bitmap.data(), std::size_t(bitmap.width()), h); !s) return s;
    return writer->Finish();
}

}  // namespace formats
