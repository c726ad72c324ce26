#include "formats/jpeg_load.h"

#include <algorithm>
#include <bitset>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "formats/exif.h"
#include "formats/row_reader.h"
#include "platform/files.h"
#include "platform/orientation.h"

// jpeglib.h needs FILE and size_t declared first, and which messages jerror.h declares depends on
// jpeglib.h's configuration.
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "platform/memory_budget.h"
#include "platform/progress.h"

namespace formats {

using platform::CheckBitmapSize;
using platform::ProgressAdvance;
using platform::ProgressStart;
using platform::WorkCancelled;
namespace {

// libjpeg reports a fatal error by calling error_exit, which must not return: ours jumps back to
// the setjmp in Decode. Everything with a destructor lives in the Reader, outside the frames the
// jump leaves, so that nothing is skipped but libjpeg's own frames and plain locals.
struct Reader {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    jpeg_progress_mgr progress{};
    std::jmp_buf escape{};
    std::string reason;  // set before every jump

    // Which colour components (bit = component index) have had a scan that is over, and which
    // the current scan codes. A picture is whole once every component has had a complete scan.
    // The frame header's component count is one byte, read before libjpeg checks it against its
    // own limit, so the sets hold all 256 indices a file can name.
    using Components = std::bitset<256>;
    int scan = 0;
    Components covered;
    Components current;

    Picture picture;
    JpegMetadata metadata;
    bool cancelled = false;  // the user stopped the work (platform/progress.h)
};

Reader& Of(j_common_ptr c) { return *static_cast<Reader*>(c->client_data); }

// Callers set r.reason first, in a statement of its own: no temporary may be alive at the jump.
[[noreturn]] void Escape(Reader& r) { std::longjmp(r.escape, 1); }

const char kDamaged[] = "画像のデータが壊れています (JPEG)";
const char kEndsEarly[] = "画像のデータが途中で終わっています (JPEG)";
std::string TooManyScans() {
    return "スキャンが多すぎます (JPEG; 上限は " + std::to_string(kMaxJpegScans) + ")";
}

std::string ReasonFor(int code) {
    switch (code) {
        case JERR_OUT_OF_MEMORY:
            return "メモリが足りません";
        case JERR_EMPTY_IMAGE:
            return "画像の大きさが 0 です";
        case JERR_IMAGE_TOO_BIG:  // a side over libjpeg's JPEG_MAX_DIMENSION
        case JERR_WIDTH_OVERFLOW:
            return "画像が大きすぎます (JPEG; 一辺の上限は " + std::to_string(JPEG_MAX_DIMENSION) +
                   " 画素)";
        // 12-bit, lossless and hierarchical files, arithmetic coding where it is not built in,
        // colour spaces without a conversion to RGB.
        case JERR_BAD_PRECISION:
        case JERR_NOT_COMPILED:
        case JERR_ARITH_NOTIMPL:
        case JERR_CONVERSION_NOTIMPL:
        case JERR_NOTIMPL:
        case JERR_SOF_UNSUPPORTED:
            return "この種類の JPEG は読めません";
        default:
            return kDamaged;
    }
}

// Keeps Reader::covered and Reader::current up to date; called before every judgement, since a
// new scan may have begun since the last call.
void Track(Reader& r) {
    const jpeg_decompress_struct& ci = r.cinfo;
    if (ci.input_scan_number == r.scan) return;
    r.covered |= r.current;
    r.current.reset();
    for (int i = 0; i < ci.comps_in_scan; ++i) {
        const int index = ci.cur_comp_info[i]->component_index;
        if (index >= 0 && std::size_t(index) < r.current.size()) r.current.set(std::size_t(index));
    }
    r.scan = ci.input_scan_number;
}

bool WholePicture(const Reader& r) {
    const jpeg_decompress_struct& ci = r.cinfo;
    const bool scanOver = ci.input_scan_number > 0 && ci.input_iMCU_row >= ci.total_iMCU_rows;
    Reader::Components have = r.covered;
    if (scanOver) have |= r.current;
    // Every component of the frame, counted from the frame header (at most 255).
    const std::size_t n = std::size_t(std::clamp(ci.num_components, 0, 255));
    for (std::size_t i = 0; i < n; ++i)
        if (!have.test(i)) return false;
    return true;
}

void ErrorExit(j_common_ptr c) {
    Of(c).reason = ReasonFor(c->err->msg_code);
    Escape(Of(c));
}

// Warnings (level -1) that mean coded data was lost: the decoder goes on with zeros in its place.
// Before every component has had one complete scan, that fills part of the picture with grey;
// after it, only detail is missing. Other warnings (stray bytes before a marker, an odd
// progression, a bad ICC chunk) lose no picture data.
void EmitMessage(j_common_ptr c, int level) {
    if (level >= 0) return;  // trace messages
    Reader& r = Of(c);
    Track(r);
    switch (c->err->msg_code) {
        case JWRN_JPEG_EOF:  // the file ends
            if (WholePicture(r)) return;
            r.reason = "ファイルが途中で切れています";
            Escape(r);
        case JWRN_HIT_MARKER:  // a marker comes where coded data should
            if (WholePicture(r)) return;
            r.reason = kEndsEarly;
            Escape(r);
        case JWRN_HUFF_BAD_CODE:
        case JWRN_ARITH_BAD_CODE:
        case JWRN_MUST_RESYNC:
            if (WholePicture(r)) return;
            r.reason = kDamaged;
            Escape(r);
        default:
            return;
    }
}

// Called before every row of coded data that a multi-scan file's decoder takes in, so the count
// is checked as soon as a scan too many begins.
void ProgressMonitor(j_common_ptr c) {
    Reader& r = Of(c);
    if (WorkCancelled()) {
        r.cancelled = true;
        Escape(r);
    }
    Track(r);
    if (r.cinfo.input_scan_number <= kMaxJpegScans) return;
    r.reason = TooManyScans();
    Escape(r);
}

// The fewest bytes that can code the first scan, which libjpeg has just begun.
// A Huffman-coded sequential scan codes every block with at least a DC symbol and an AC symbol
// (an end-of-block at least), each at least one bit long: 2 bits a block. A progressive DC scan
// spends at least one bit a block (the first scan's DC symbol, a refinement's correction bit).
// A progressive AC scan can cover 32767 empty blocks with one run code, and arithmetic coding can
// spend far less than a bit on a likely decision: those give no useful bound, and 0 is returned.
// Restart markers, stuffed bytes and later scans only add to this, so a real file always has at
// least this many bytes after the first scan's header.
std::uint64_t MinFirstScanBytes(const jpeg_decompress_struct& ci) {
    std::uint64_t bitsPerBlock = 2;
    if (ci.arith_code) return 0;
    if (ci.progressive_mode) {
        if (ci.Ss != 0) return 0;
        bitsPerBlock = 1;
    }
    std::uint64_t blocks = 0;
    if (ci.comps_in_scan == 1) {
        const jpeg_component_info& c = *ci.cur_comp_info[0];
        blocks = std::uint64_t(c.width_in_blocks) * c.height_in_blocks;
    } else {
        // Interleaved: whole MCUs, each holding h x v blocks of every component in the scan.
        const std::uint64_t mcuW = std::uint64_t(ci.max_h_samp_factor) * DCTSIZE;
        const std::uint64_t mcuH = std::uint64_t(ci.max_v_samp_factor) * DCTSIZE;
        const std::uint64_t mcus =
            (ci.image_width + mcuW - 1) / mcuW * ((ci.image_height + mcuH - 1) / mcuH);
        std::uint64_t perMcu = 0;
        for (int i = 0; i < ci.comps_in_scan; ++i)
            perMcu += std::uint64_t(ci.cur_comp_info[i]->h_samp_factor) *
                      ci.cur_comp_info[i]->v_samp_factor;
        blocks = mcus * perMcu;
    }
    return (blocks * bitsPerBlock + 7) / 8;
}

template <class Bytes>
int CountScansIn(Bytes& b, int limit) {
    const std::uint64_t n = b.size();
    int scans = 0;
    for (std::uint64_t at = 2; at < n && scans <= limit;) {
        at = b.FindFF(at);
        if (at >= n) break;
        while (at < n && b.At(at) == 0xFF) ++at;
        if (at >= n) break;
        const unsigned m = b.At(at++);
        if (m == 0xD9) break;
        if (m == 0x00 || m == 0x01 || (m >= 0xD0 && m <= 0xD7)) continue;
        if (at + 2 > n) break;
        const std::uint64_t length = std::uint64_t(b.At(at)) << 8 | b.At(at + 1);
        if (length < 2) break;
        at += length;
        if (m == 0xDA) ++scans;
    }
    return scans;
}

// The file's bytes in memory.
struct MemoryBytes {
    const unsigned char* p;
    std::uint64_t n;
    std::uint64_t size() const { return n; }
    unsigned At(std::uint64_t at) const { return p[at]; }
    std::uint64_t FindFF(std::uint64_t at) const {
        const void* ff = std::memchr(p + at, 0xFF, std::size_t(n - at));
        return ff ? std::uint64_t(static_cast<const unsigned char*>(ff) - p) : n;
    }
};

// The file's bytes read through a window of 1 MiB, for files that are not held in memory. A read
// error ends the walk as the end of the file would (the decoder then meets the error itself).
class FileBytes {
public:
    FileBytes(int fd, std::uint64_t size) : fd_(fd), n_(size), window_(std::size_t{1} << 20) {}
    std::uint64_t size() const { return n_; }
    unsigned At(std::uint64_t at) {
        if (!Load(at)) return 0xD9;  // reads as an end of image
        return window_[std::size_t(at - start_)];
    }
    std::uint64_t FindFF(std::uint64_t at) {
        while (at < n_) {
            if (!Load(at)) return n_;
            const unsigned char* from = window_.data() + (at - start_);
            const std::size_t left = std::size_t(start_ + got_ - at);
            if (const void* ff = std::memchr(from, 0xFF, left)) {
                return at + std::uint64_t(static_cast<const unsigned char*>(ff) - from);
            }
            at += left;
        }
        return n_;
    }

private:
    bool Load(std::uint64_t at) {
        if (at >= start_ && at < start_ + got_) return true;
        start_ = at;
        got_ = 0;
        while (got_ == 0) {
            const ssize_t r = ::pread(fd_, window_.data(), window_.size(), off_t(at));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            got_ = std::size_t(r);
        }
        return true;
    }
    int fd_;
    std::uint64_t n_;
    std::vector<unsigned char> window_;
    std::uint64_t start_ = 0;
    std::size_t got_ = 0;
};

// Counts the scans of the image, stopping at limit + 1. Every scan is a pass over the picture, so
// counting them with the decoder would cost hundreds of passes before the refusal; this walk
// costs one look at each byte. It follows the markers as the decoder does: segments are skipped
// by their length, coded data up to the first 0xFF that is not a stuffed zero or a restart marker,
// stray bytes up to the next 0xFF, and the count ends at the end-of-image marker. (The progress
// monitor still holds the limit should the two ever disagree.)
int CountScans(std::string_view file, int limit) {
    MemoryBytes bytes{reinterpret_cast<const unsigned char*>(file.data()), file.size()};
    return CountScansIn(bytes, limit);
}

void SetUp(Reader& r, std::string_view file) {
    r.cinfo.err = jpeg_std_error(&r.err);
    r.err.error_exit = ErrorExit;
    r.err.emit_message = EmitMessage;
    r.cinfo.client_data = &r;
    jpeg_create_decompress(&r.cinfo);
    r.progress.progress_monitor = ProgressMonitor;
    r.cinfo.progress = &r.progress;
    jpeg_mem_src(&r.cinfo, reinterpret_cast<const unsigned char*>(file.data()),
                 static_cast<unsigned long>(file.size()));
}

void TakeMetadata(Reader& r) {
    for (jpeg_saved_marker_ptr m = r.cinfo.marker_list; m; m = m->next) {
        if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 &&
            std::memcmp(m->data, "Exif\0\0", 6) == 0 && r.metadata.exif.empty()) {
            r.metadata.exif.assign(m->data + 6, m->data + m->data_length);
        }
    }
    JOCTET* icc = nullptr;
    unsigned int length = 0;
    if (jpeg_read_icc_profile(&r.cinfo, &icc, &length) && icc) {
        r.metadata.icc.assign(icc, icc + length);
    }
    std::free(icc);
}

// The whole decode; false with r.reason set when the file is refused.
// The checks of a frame whose headers libjpeg has just read, up to its first scan; false with
// r.reason set when it is refused.
// available: the file's bytes from the decoder's position on. The pixel limit belongs to the
// whole picture; the row route holds only bands and leaves it out.
bool CheckFrame(Reader& r, std::uint64_t available, bool pixelLimit = true) {
    const jpeg_decompress_struct& ci = r.cinfo;
    if (ci.image_width == 0 || ci.image_height == 0) {
        r.reason = "画像の大きさが 0 です";
        return false;
    }
    if (pixelLimit) {
        if (Status s = CheckBitmapSize(ci.image_width, ci.image_height); !s) {
            r.reason = s.reason();
            return false;
        }
    }
    if (const std::uint64_t need = MinFirstScanBytes(ci); available < need) {
        r.reason = "画像のデータが足りません (JPEG " + std::to_string(ci.image_width) + " × " +
                   std::to_string(ci.image_height) + " には少なくとも " + std::to_string(need) +
                   " バイト必要; あるのは " + std::to_string(available) + " バイト)";
        return false;
    }
    return true;
}

bool Decode(Reader& r, std::string_view file, bool wantMetadata) {
    if (CountScans(file, kMaxJpegScans) > kMaxJpegScans) {
        r.reason = TooManyScans();
        return false;
    }
    if (setjmp(r.escape)) return false;
    SetUp(r, file);
    if (wantMetadata) {
        jpeg_save_markers(&r.cinfo, JPEG_APP0 + 1, 0xFFFF);
        jpeg_save_markers(&r.cinfo, JPEG_APP0 + 2, 0xFFFF);
    }
    jpeg_read_header(&r.cinfo, TRUE);
    jpeg_decompress_struct& ci = r.cinfo;
    // Refusals found here return at once; only libjpeg's callbacks jump.
    if (ci.jpeg_color_space == JCS_CMYK || ci.jpeg_color_space == JCS_YCCK) {
        r.reason = "この種類の JPEG は読めません (CMYK)";
        return false;
    }
    if (!CheckFrame(r, r.cinfo.src->bytes_in_buffer)) return false;
    if (wantMetadata) TakeMetadata(r);

    // Qt's JPEG reader, which read our JPEGs before, decodes with these (libjpeg's defaults);
    // pictures must not change with the reader.
    ci.out_color_space = JCS_EXT_BGRX;  // the fourth byte is written as 255
    ci.dct_method = JDCT_ISLOW;
    ci.do_fancy_upsampling = TRUE;
    ci.do_block_smoothing = TRUE;
    ci.scale_num = ci.scale_denom = 1;

    // A multi-scan file is taken in whole here, before the picture is allocated: what both take
    // is checked first, from the headers (the picture, and the whole image's coefficients that
    // libjpeg keeps for a multi-scan file), so that a decode that cannot fit never starts.
    std::uint64_t need = std::uint64_t(ci.image_width) * ci.image_height * 4;
    if (ci.progressive_mode || ci.comps_in_scan < ci.num_components) {
        for (int i = 0; i < ci.num_components; ++i) {
            need += std::uint64_t(ci.comp_info[i].width_in_blocks) *
                    ci.comp_info[i].height_in_blocks * DCTSIZE2 * sizeof(JCOEF);
        }
    }
    if (Status s = platform::CheckMemory(need); !s) {
        r.reason = s.reason();
        return false;
    }
    jpeg_start_decompress(&ci);
    if (ci.output_components != 4) {
        r.reason = kDamaged;
        return false;
    }
    if (Status s = r.picture.pixels.Allocate(int(ci.output_width), int(ci.output_height)); !s) {
        r.reason = s.reason();
        return false;
    }
    JSAMPROW rows[16];
    ProgressStart(ci.output_height);
    while (ci.output_scanline < ci.output_height) {
        const JDIMENSION y = ci.output_scanline;
        const JDIMENSION n = std::min<JDIMENSION>(16, ci.output_height - y);
        for (JDIMENSION k = 0; k < n; ++k)
            rows[k] = reinterpret_cast<JSAMPROW>(r.picture.pixels.row(int(y + k)));
        if (jpeg_read_scanlines(&ci, rows, n) == 0) {
            r.reason = kDamaged;
            return false;
        }
        ProgressAdvance(ci.output_scanline - y);
    }
    // A file that ends (with its end marker) before some component had any scan gives no
    // warning: the decoder just leaves that component at zero.
    Track(r);
    if (!WholePicture(r)) {
        r.reason = kEndsEarly;
        return false;
    }
    jpeg_finish_decompress(&ci);
    return true;
}

}  // namespace

Status ReadJpeg(std::string_view file, Picture& out, JpegMetadata* metadata) {
    Reader r;
    const bool ok = Decode(r, file, metadata != nullptr);
    jpeg_destroy_decompress(&r.cinfo);
    if (r.cancelled) return Status::Cancelled();
    if (!ok) return Status::Fail(r.reason);
    r.picture.hasAlpha = false;
    out = std::move(r.picture);
    if (metadata) *metadata = std::move(r.metadata);
    return Status::Ok();
}

namespace {
bool ReadHeader(Reader& r, std::string_view file) {
    if (setjmp(r.escape)) return false;
    SetUp(r, file);
    jpeg_read_header(&r.cinfo, TRUE);
    return true;
}
}  // namespace

Status CheckJpegLimits(std::string_view file) {
    if (CountScans(file, kMaxJpegScans) > kMaxJpegScans) return Status::Fail(TooManyScans());
    Reader r;
    const bool ok = ReadHeader(r, file) && CheckFrame(r, r.cinfo.src->bytes_in_buffer);
    jpeg_destroy_decompress(&r.cinfo);
    return ok ? Status::Ok() : Status::Fail(r.reason);
}

bool ReadJpegHeader(std::string_view file, JpegHeader& out) {
    Reader r;
    const bool ok = ReadHeader(r, file);
    if (ok) {
        const jpeg_decompress_struct& ci = r.cinfo;
        out.width = int(ci.image_width);
        out.height = int(ci.image_height);
        out.components = ci.num_components;
        out.multiScan = ci.progressive_mode || ci.comps_in_scan < ci.num_components;
        out.fourChannel = ci.jpeg_color_space == JCS_CMYK || ci.jpeg_color_space == JCS_YCCK;
    }
    jpeg_destroy_decompress(&r.cinfo);
    return ok;
}

}  // namespace formats

// --- The row reader ------------------------------------------------------------------------

namespace formats {
namespace {

// libjpeg's input from a file descriptor, read as the decoder asks. At the end of the file it
// warns and inserts an end-of-image marker, as the memory source does, so the judgement of a
// file cut short is the same on both routes.
struct FileSource {
    jpeg_source_mgr pub{};
    Reader* reader = nullptr;
    int fd = -1;
    std::uint64_t fileSize = 0;
    std::uint64_t offset = 0;  // file bytes handed to the decoder so far
    std::vector<JOCTET> buffer = std::vector<JOCTET>(std::size_t{256} << 10);
    JOCTET fakeEnd[2] = {0xFF, JPEG_EOI};

    // The file's bytes from the decoder's position on.
    std::uint64_t available() const { return fileSize - (offset - pub.bytes_in_buffer); }
};

FileSource& SourceOf(j_decompress_ptr ci) { return *reinterpret_cast<FileSource*>(ci->src); }

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInput(j_decompress_ptr ci) {
    FileSource& s = SourceOf(ci);
    ssize_t got;
    do {
        got = ::pread(s.fd, s.buffer.data(), s.buffer.size(), off_t(s.offset));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        Reader& r = *s.reader;
        r.reason = "ファイルを読めません (" + platform::ErrnoText(errno) + ")";
        Escape(r);
    }
    if (got == 0) {
        WARNMS(ci, JWRN_JPEG_EOF);
        s.pub.next_input_byte = s.fakeEnd;
        s.pub.bytes_in_buffer = 2;
        return TRUE;
    }
    s.offset += std::uint64_t(got);
    s.pub.next_input_byte = s.buffer.data();
    s.pub.bytes_in_buffer = std::size_t(got);
    return TRUE;
}

void SkipInput(j_decompress_ptr ci, long count) {
    FileSource& s = SourceOf(ci);
    if (count <= 0) return;
    while (std::size_t(count) > s.pub.bytes_in_buffer) {
        count -= long(s.pub.bytes_in_buffer);
        FillInput(ci);
    }
    s.pub.next_input_byte += count;
    s.pub.bytes_in_buffer -= std::size_t(count);
}

// A progressive or other multi-scan file is decoded through all its coefficients: 128 bytes an
// 8 x 8 block of every component, blocks rounded up to whole sampling units.
std::uint64_t CoefficientBytes(const jpeg_decompress_struct& ci) {
    std::uint64_t blocks = 0;
    for (int i = 0; i < ci.num_components; ++i) {
        const jpeg_component_info& c = ci.comp_info[i];
        const std::uint64_t h = std::uint64_t(c.h_samp_factor), v = std::uint64_t(c.v_samp_factor);
        blocks += (c.width_in_blocks + h - 1) / h * h * ((c.height_in_blocks + v - 1) / v * v);
    }
    return blocks * sizeof(JBLOCK);
}

class JpegRows final : public RowReader {
public:
    explicit JpegRows(int fd) { source_.fd = fd; }
    ~JpegRows() override {
        if (created_) jpeg_destroy_decompress(&r_.cinfo);
        ::close(source_.fd);
    }

    // Reads the headers; Ok with streamable set when the rows can be handed out.
    Status Open(bool& streamable);
    Status ReadRows(std::uint32_t* rows, std::size_t stride, int count) override;
    Status Finish() override;

private:
    bool ReadHeaders(bool& streamable);
    bool Start();
    bool Scanlines(std::uint32_t* rows, std::size_t stride, int count);
    bool End();

    Reader r_;
    FileSource source_;
    bool created_ = false, started_ = false;
    bool mirror_ = false;
};

bool JpegRows::ReadHeaders(bool& streamable) {
    if (setjmp(r_.escape)) return false;
    r_.cinfo.err = jpeg_std_error(&r_.err);
    r_.err.error_exit = ErrorExit;
    r_.err.emit_message = EmitMessage;
    r_.cinfo.client_data = &r_;
    jpeg_create_decompress(&r_.cinfo);
    created_ = true;
    r_.progress.progress_monitor = ProgressMonitor;
    r_.cinfo.progress = &r_.progress;
    source_.reader = &r_;
    source_.pub.init_source = InitSource;
    source_.pub.fill_input_buffer = FillInput;
    source_.pub.skip_input_data = SkipInput;
    source_.pub.resync_to_restart = jpeg_resync_to_restart;
    source_.pub.term_source = TermSource;
    r_.cinfo.src = &source_.pub;
    jpeg_save_markers(&r_.cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&r_.cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&r_.cinfo, TRUE);
    jpeg_decompress_struct& ci = r_.cinfo;
    // Four-channel files go to Qt's reader, whole.
    if (ci.jpeg_color_space == JCS_CMYK || ci.jpeg_color_space == JCS_YCCK) return true;
    if (!CheckFrame(r_, source_.available(), false)) return false;
    TakeMetadata(r_);
    platform::Orientation orientation;
    meta_ = AcceptMeta(std::move(r_.metadata.icc), std::move(r_.metadata.exif), &orientation);
    if (orientation != platform::Orientation::Upright &&
        orientation != platform::Orientation::MirrorHorizontal) {
        return true;
    }
    mirror_ = orientation == platform::Orientation::MirrorHorizontal;
    ci.out_color_space = JCS_EXT_BGRX;  // the same settings as ReadJpeg
    ci.dct_method = JDCT_ISLOW;
    ci.do_fancy_upsampling = TRUE;
    ci.do_block_smoothing = TRUE;
    ci.scale_num = ci.scale_denom = 1;
    width_ = int(ci.image_width);
    height_ = int(ci.image_height);
    workingBytes_ = source_.buffer.size() + std::uint64_t(width_) * 64;
    if (ci.progressive_mode || ci.comps_in_scan < ci.num_components)
        workingBytes_ += CoefficientBytes(ci);
    streamable = width_ <= kMaxRowSide && height_ <= kMaxRowSide;
    return true;
}

Status JpegRows::Open(bool& streamable) {
    streamable = false;
    struct stat st {};
    if (::fstat(source_.fd, &st) != 0) return Status::Ok();
    source_.fileSize = std::uint64_t(st.st_size);
    {
        FileBytes bytes(source_.fd, source_.fileSize);
        if (CountScansIn(bytes, kMaxJpegScans) > kMaxJpegScans) return Status::Fail(TooManyScans());
    }
    if (!ReadHeaders(streamable)) {
        streamable = false;
        return Status::Fail(r_.reason);
    }
    return Status::Ok();
}

// A multi-scan file is taken in whole here, on the first rows' call.
bool JpegRows::Start() {
    if (setjmp(r_.escape)) return false;
    jpeg_start_decompress(&r_.cinfo);
    if (r_.cinfo.output_components != 4) {
        r_.reason = kDamaged;
        return false;
    }
    return true;
}

bool JpegRows::Scanlines(std::uint32_t* rows, std::size_t stride, int count) {
    if (setjmp(r_.escape)) return false;
    jpeg_decompress_struct& ci = r_.cinfo;
    JSAMPROW pointers[16];
    for (int done = 0; done < count;) {
        const int n = std::min(16, count - done);
        for (int k = 0; k < n; ++k)
            pointers[k] = reinterpret_cast<JSAMPROW>(rows + std::size_t(done + k) * stride);
        const JDIMENSION got = jpeg_read_scanlines(&ci, pointers, JDIMENSION(n));
        if (got == 0) {
            r_.reason = kDamaged;
            return false;
        }
        done += int(got);
    }
    return true;
}

bool JpegRows::End() {
    if (setjmp(r_.escape)) return false;
    // A file that ends (with its end marker) before some component had any scan gives no
    // warning: the decoder just leaves that component at zero.
    Track(r_);
    if (!WholePicture(r_)) {
        r_.reason = kEndsEarly;
        return false;
    }
    jpeg_finish_decompress(&r_.cinfo);
    return true;
}

Status JpegRows::ReadRows(std::uint32_t* rows, std::size_t stride, int count) {
    if (!started_) {
        if (!Start()) return Status::Fail(r_.reason);
        started_ = true;
    }
    if (count > height_ - int(r_.cinfo.output_scanline)) return Status::Fail(kDamaged);
    if (!Scanlines(rows, stride, count)) return Status::Fail(r_.reason);
    if (mirror_) {
        for (int k = 0; k < count; ++k) {
            std::uint32_t* row = rows + std::size_t(k) * stride;
            std::reverse(row, row + width_);
        }
    }
    return Status::Ok();
}

Status JpegRows::Finish() {
    if (!started_ || int(r_.cinfo.output_scanline) != height_) return Status::Fail(kDamaged);
    return End() ? Status::Ok() : Status::Fail(r_.reason);
}

}  // namespace

RowSource OpenJpegRows(int fd) {
    auto reader = std::make_unique<JpegRows>(fd);
    bool streamable = false;
    RowSource source;
    source.status = reader->Open(streamable);
    if (source.status && streamable) source.reader = std::move(reader);
    return source;
}

}  // namespace formats
