// JPEG writing over libjpeg-turbo's libjpeg API, straight from the bitmap's rows, streamed into
// the output file. The result's EXIF and colour profile go into APP1 and APP2 markers.

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <vector>

// After <cstdio>: jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "codec/codec.h"
#include "codec/embed_meta.h"
#include "platform/bitmap.h"

namespace codec {
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

// Everything between setjmp and the end is plain data: a longjmp out of libjpeg skips no
// destructor. Returns false with errors.message set on failure.
bool Compress(JSAMPROW* rows, int w, int h, int quality, bool progressive, const Embedded& embedded,
              FileDestination& destination, ErrorManager& errors) {
    jpeg_compress_struct cinfo;
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = OnError;
    errors.pub.emit_message = OnMessage;
    errors.message[0] = '\0';
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    destination.pub.init_destination = InitDestination;
    destination.pub.empty_output_buffer = EmptyBuffer;
    destination.pub.term_destination = TermDestination;
    cinfo.dest = &destination.pub;

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
    while (cinfo.next_scanline < cinfo.image_height) {
        jpeg_write_scanlines(&cinfo, rows + cinfo.next_scanline,
                             cinfo.image_height - cinfo.next_scanline);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

std::int32_t Failed(std::string* reason, const std::string& text) {
    if (reason) *reason = text;
    return 1;
}

}  // namespace

std::int32_t DCSavetoJPEG(platform::HDC dc, std::int32_t width, std::int32_t height,
                          const std::string& path, std::uint8_t rate, std::int32_t progressive,
                          std::string* reason, const platform::ImageMeta* meta) {
    int w = 0, h = 0;
    if (platform::Status s = WriteArea(dc, width, height, w, h); !s)
        return Failed(reason, s.reason());
    // The rate is the quality factor of the JPEG standard's tables; 0 would be no valid quality.
    const int quality = std::clamp<int>(rate, 1, 100);
    const Embedded embedded = PrepareEmbedded(meta, Container::Jpeg, w, h);

    // Row pointers into the bitmap: a clipped area still steps over whole rows. libjpeg only
    // reads through them.
    std::vector<JSAMPROW> rows(static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y) rows[std::size_t(y)] = reinterpret_cast<JSAMPROW>(dc->row(y));

    OutputFile out;
    if (platform::Status s = out.Open(path); !s) return Failed(reason, s.reason());
    auto destination = std::make_unique<FileDestination>();
    destination->file = &out;
    ErrorManager errors;
    if (!Compress(rows.data(), w, h, quality, progressive != 0, embedded, *destination, errors)) {
        if (out.failed()) return Failed(reason, out.Close().reason());
        return Failed(reason, std::string("JPEG に圧縮できません: ") + errors.message);
    }
    if (platform::Status s = out.Close(); !s) return Failed(reason, s.reason());
    return 0;
}

}  // namespace codec
