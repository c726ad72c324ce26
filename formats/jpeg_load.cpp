#include "formats/jpeg_load.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

// jpeglib.h needs FILE and size_t declared first, and which messages jerror.h declares depends on
// jpeglib.h's configuration.
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

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
    int scan = 0;
    unsigned covered = 0;
    unsigned current = 0;

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
    r.current = 0;
    for (int i = 0; i < ci.comps_in_scan; ++i)
        r.current |= 1u << ci.cur_comp_info[i]->component_index;
    r.scan = ci.input_scan_number;
}

bool WholePicture(const Reader& r) {
    const jpeg_decompress_struct& ci = r.cinfo;
    const bool scanOver = ci.input_scan_number > 0 && ci.input_iMCU_row >= ci.total_iMCU_rows;
    const unsigned all = (1u << ci.num_components) - 1;
    return ((r.covered | (scanOver ? r.current : 0)) & all) == all;
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

// Counts the scans of the image, stopping at limit + 1. Every scan is a pass over the picture, so
// counting them with the decoder would cost hundreds of passes before the refusal; this walk
// costs one look at each byte. It follows the markers as the decoder does: segments are skipped
// by their length, coded data up to the first 0xFF that is not a stuffed zero or a restart marker,
// stray bytes up to the next 0xFF, and the count ends at the end-of-image marker. (The progress
// monitor still holds the limit should the two ever disagree.)
int CountScans(std::string_view file, int limit) {
    const auto* p = reinterpret_cast<const unsigned char*>(file.data());
    const std::size_t n = file.size();
    int scans = 0;
    for (std::size_t at = 2; at < n && scans <= limit;) {
        const void* ff = std::memchr(p + at, 0xFF, n - at);
        if (!ff) break;
        at = std::size_t(static_cast<const unsigned char*>(ff) - p);
        while (at < n && p[at] == 0xFF) ++at;
        if (at >= n) break;
        const unsigned m = p[at++];
        if (m == 0xD9) break;
        if (m == 0x00 || m == 0x01 || (m >= 0xD0 && m <= 0xD7)) continue;
        if (at + 2 > n) break;
        const std::size_t length = std::size_t(p[at]) << 8 | p[at + 1];
        if (length < 2) break;
        at += length;
        if (m == 0xDA) ++scans;
    }
    return scans;
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
bool CheckFrame(Reader& r) {
    const jpeg_decompress_struct& ci = r.cinfo;
    if (ci.image_width == 0 || ci.image_height == 0) {
        r.reason = "画像の大きさが 0 です";
        return false;
    }
    if (Status s = CheckBitmapSize(ci.image_width, ci.image_height); !s) {
        r.reason = s.reason();
        return false;
    }
    if (const std::uint64_t need = MinFirstScanBytes(ci); ci.src->bytes_in_buffer < need) {
        r.reason = "画像のデータが足りません (JPEG " + std::to_string(ci.image_width) + " × " +
                   std::to_string(ci.image_height) + " には少なくとも " + std::to_string(need) +
                   " バイト必要; あるのは " + std::to_string(ci.src->bytes_in_buffer) + " バイト)";
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
    if (!CheckFrame(r)) return false;
    if (wantMetadata) TakeMetadata(r);

    // Qt's JPEG reader, which read our JPEGs before, decodes with these (libjpeg's defaults);
    // pictures must not change with the reader.
    ci.out_color_space = JCS_EXT_BGRX;  // the fourth byte is written as 255
    ci.dct_method = JDCT_ISLOW;
    ci.do_fancy_upsampling = TRUE;
    ci.do_block_smoothing = TRUE;
    ci.scale_num = ci.scale_denom = 1;

    // A multi-scan file is taken in whole here, before the picture is allocated.
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
    const bool ok = ReadHeader(r, file) && CheckFrame(r);
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
