#include "formats/embed_meta.h"

#include <cstring>
#include <limits>

#include "formats/exif.h"

namespace formats {
namespace {

// One marker segment holds 65535 bytes, its length field included: 65533 of payload.
constexpr std::size_t kMaxMarkerPayload = 65533;
constexpr unsigned char kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
// An ICC_PROFILE marker spends 14 bytes on its name and sequence numbers, and a one-byte count
// allows 255 markers.
constexpr std::size_t kMaxJpegIcc = 255 * (kMaxMarkerPayload - 14);
// A PNG chunk's data holds at most 2^31 - 1 bytes. An iCCP chunk adds up to 81 bytes of name and
// method to the deflated profile, which deflate keeps below size + size / 1000 + 64 even for data
// that does not compress at all.
constexpr std::uint64_t kMaxChunk = std::numeric_limits<std::int32_t>::max();

}  // namespace

Embedded PrepareEmbedded(const platform::ImageMeta* meta, Container container, int width,
                         int height) {
    Embedded e;
    if (!meta) return e;
    if (!meta->exif.empty()) {
        e.exif = formats::ExifForOutput(meta->exif, width, height);
        const std::uint64_t limit =
            container == Container::Jpeg ? kMaxMarkerPayload - sizeof kExifHeader : kMaxChunk;
        if (e.exif.size() > limit) e.exif.clear();
    }
    if (!meta->icc.empty()) {
        const bool fits = container == Container::Jpeg
                              ? meta->icc.size() <= kMaxJpegIcc
                              : meta->icc.size() + meta->icc.size() / 1000 + 64 + 81 <= kMaxChunk;
        if (fits) e.icc = &meta->icc;
    }
    return e;
}

void WriteJpegMarkers(j_compress_ptr cinfo, const Embedded& embedded) {
    // Byte by byte: nothing here may own memory, as libjpeg leaves by longjmp on an error.
    if (!embedded.exif.empty()) {
        jpeg_write_m_header(cinfo, JPEG_APP0 + 1,
                            unsigned(sizeof kExifHeader + embedded.exif.size()));
        for (unsigned char c : kExifHeader) jpeg_write_m_byte(cinfo, c);
        for (std::uint8_t c : embedded.exif) jpeg_write_m_byte(cinfo, c);
    }
    if (embedded.icc) {
        jpeg_write_icc_profile(cinfo, embedded.icc->data(), unsigned(embedded.icc->size()));
    }
}

int SetPngChunks(spng_ctx* ctx, const Embedded& embedded) {
    if (!embedded.exif.empty()) {
        spng_exif exif{};
        exif.length = embedded.exif.size();
        exif.data = reinterpret_cast<char*>(const_cast<std::uint8_t*>(embedded.exif.data()));
        if (int e = spng_set_exif(ctx, &exif); e != 0) return e;
    }
    if (embedded.icc) {
        spng_iccp iccp{};
        std::strcpy(iccp.profile_name, "ICC Profile");
        iccp.profile_len = embedded.icc->size();
        iccp.profile = reinterpret_cast<char*>(const_cast<std::uint8_t*>(embedded.icc->data()));
        if (int e = spng_set_iccp(ctx, &iccp); e != 0) return e;
    }
    return 0;
}

}  // namespace formats
