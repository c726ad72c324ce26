#include "formats/exif.h"

#include <libexif/exif-data.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace formats {

using platform::IccProfileIsWhole;
using platform::MakeImageMeta;
using platform::OrientationFromExif;
namespace {

constexpr unsigned char kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
// The longest block that libexif reads whole: it stops at 65534 bytes, its prefix included.
constexpr std::size_t kMaxRewritable = 65534 - sizeof kExifHeader;

struct ExifDataFreer {
    void operator()(ExifData* data) const { exif_data_unref(data); }
};
using ExifPtr = std::unique_ptr<ExifData, ExifDataFreer>;

bool HasTiffHeader(const std::vector<std::uint8_t>& b) {
    if (b.size() < 8) return false;
    return (b[0] == 'I' && b[1] == 'I' && b[2] == 42 && b[3] == 0) ||
           (b[0] == 'M' && b[1] == 'M' && b[2] == 0 && b[3] == 42);
}

// Loads the block as it is: libexif is kept from "fixing" it (adding the tags the standard calls
// mandatory) and from dropping tags it does not know, so that what comes out is what went in.
// libexif reports damage only through a log; none is attached, so it stays silent.
ExifPtr Load(const std::vector<std::uint8_t>& exif) {
    if (!HasTiffHeader(exif)) return nullptr;
    ExifPtr data(exif_data_new());
    if (!data) return nullptr;
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
    exif_data_set_option(data.get(), EXIF_DATA_OPTION_DONT_CHANGE_MAKER_NOTE);
    // libexif finds the block only behind the JPEG prefix.
    std::vector<unsigned char> withHeader(sizeof kExifHeader + exif.size());
    std::memcpy(withHeader.data(), kExifHeader, sizeof kExifHeader);
    std::memcpy(withHeader.data() + sizeof kExifHeader, exif.data(), exif.size());
    exif_data_load_data(data.get(), withHeader.data(), unsigned(withHeader.size()));
    unsigned entries = 0;
    for (ExifContent* ifd : data->ifd) entries += ifd ? ifd->count : 0;
    if (entries == 0) return nullptr;
    return data;
}

// Sets a SHORT or LONG tag that is present to value; absent tags stay absent.
void SetNumber(ExifData* data, ExifIfd ifd, ExifTag tag, std::uint32_t value) {
    ExifEntry* entry = exif_content_get_entry(data->ifd[ifd], tag);
    if (!entry || entry->components != 1 || !entry->data) return;
    const ExifByteOrder order = exif_data_get_byte_order(data);
    if (entry->format == EXIF_FORMAT_SHORT && entry->size >= 2 && value <= 0xFFFF) {
        exif_set_short(entry->data, order, ExifShort(value));
    } else if (entry->format == EXIF_FORMAT_LONG && entry->size >= 4) {
        exif_set_long(entry->data, order, ExifLong(value));
    }
}

}  // namespace

std::vector<std::uint8_t> ExifFromApp1(const std::uint8_t* payload, std::size_t size) {
    if (size <= sizeof kExifHeader || std::memcmp(payload, kExifHeader, sizeof kExifHeader) != 0) {
        return {};
    }
    return std::vector<std::uint8_t>(payload + sizeof kExifHeader, payload + size);
}

bool ReadExif(const std::vector<std::uint8_t>& exif, Orientation* orientation) {
    if (orientation) *orientation = Orientation::Upright;
    const ExifPtr data = Load(exif);
    if (!data) return false;
    const ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
    if (orientation && entry && entry->format == EXIF_FORMAT_SHORT && entry->components == 1 &&
        entry->data && entry->size >= 2) {
        *orientation =
            OrientationFromExif(exif_get_short(entry->data, exif_data_get_byte_order(data.get())));
    }
    return true;
}

ImageMetaPtr AcceptMeta(std::vector<std::uint8_t> icc, std::vector<std::uint8_t> exif,
                        Orientation* orientation) {
    if (orientation) *orientation = Orientation::Upright;
    if (!icc.empty() && !IccProfileIsWhole(icc)) icc.clear();
    if (!exif.empty() && !ReadExif(exif, orientation)) exif.clear();
    return MakeImageMeta(std::move(icc), std::move(exif));
}

std::vector<std::uint8_t> ExifForOutput(const std::vector<std::uint8_t>& exif, int width,
                                        int height) {
    // libexif reads no further than one JPEG APP1 segment holds; rewriting a longer block would
    // silently lose whatever lies beyond.
    if (exif.size() > kMaxRewritable) return {};
    const ExifPtr data = Load(exif);
    if (!data) return {};
    SetNumber(data.get(), EXIF_IFD_0, EXIF_TAG_ORIENTATION, 1);
    SetNumber(data.get(), EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION, std::uint32_t(width));
    SetNumber(data.get(), EXIF_IFD_EXIF, EXIF_TAG_PIXEL_Y_DIMENSION, std::uint32_t(height));

    // The thumbnail: IFD1's entries (libexif writes IFD1 while it has any) and its image.
    ExifContent* ifd1 = data->ifd[EXIF_IFD_1];
    while (ifd1 && ifd1->count > 0) exif_content_remove_entry(ifd1, ifd1->entries[0]);
    if (data->data) {
        // exif_data_new allocates through libexif's default allocator, which is malloc's.
        std::free(data->data);
        data->data = nullptr;
        data->size = 0;
    }

    unsigned char* saved = nullptr;
    unsigned int size = 0;
    exif_data_save_data(data.get(), &saved, &size);
    std::unique_ptr<unsigned char, decltype(&std::free)> owned(saved, &std::free);
    if (!saved || size <= sizeof kExifHeader ||
        std::memcmp(saved, kExifHeader, sizeof kExifHeader) != 0) {
        return {};
    }
    return std::vector<std::uint8_t>(saved + sizeof kExifHeader, saved + size);
}

}  // namespace formats
