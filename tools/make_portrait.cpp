// glimbra-make-portrait LANDSCAPE.png OUT.jpg: makes the portrait photo of the README's photo
// example the way a phone stores one. A portrait crop of our own landscape sample is turned on its
// side (stored landscape) and written as a JPEG whose EXIF says Orientation 6 (turn clockwise to
// show), with the camera fields a phone writes and a 64 x 48 thumbnail cut from the stored
// picture. A viewer that ignores the tag shows it lying on its side.

#include <libexif/exif-data.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "codec/codec.h"
#include "formats/png_load.h"
#include "platform/orientation.h"

namespace {

ExifEntry* Add(ExifData* data, ExifIfd ifd, ExifTag tag) {
    ExifEntry* e = exif_entry_new();
    exif_content_add_entry(data->ifd[ifd], e);
    exif_entry_initialize(e, tag);
    exif_entry_unref(e);
    return e;
}

void AddText(ExifData* data, ExifTag tag, const char* text) {
    ExifEntry* e = exif_entry_new();
    exif_content_add_entry(data->ifd[EXIF_IFD_0], e);
    e->tag = tag;
    e->format = EXIF_FORMAT_ASCII;
    e->components = e->size = unsigned(std::strlen(text) + 1);
    e->data = static_cast<unsigned char*>(std::malloc(e->size));  // libexif frees it with free()
    std::memcpy(e->data, text, e->size);
    exif_entry_unref(e);
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: glimbra-make-portrait LANDSCAPE.png OUT.jpg\n");
        return 2;
    }
    platform::Picture landscape;
    if (platform::Status s = formats::ReadPng(argv[1], landscape); !s) {
        std::fprintf(stderr, "%s: %s\n", argv[1], s.reason().c_str());
        return 1;
    }
    // A 2:3 portrait from the middle of the landscape.
    const int h = landscape.pixels.height(), w = h * 2 / 3;
    const int x0 = (landscape.pixels.width() - w) / 2;
    platform::Bitmap portrait;
    if (!portrait.Allocate(w, h)) return 1;
    for (int y = 0; y < h; ++y) {
        std::memcpy(portrait.row(y), landscape.pixels.row(y) + x0, std::size_t(w) * 4);
    }
    // Stored turned anticlockwise, so that Orientation 6 turns it back.
    platform::Bitmap stored;
    if (!platform::Orient(portrait, platform::Orientation::Rotate270, stored)) return 1;

    const std::string pixels = std::string(argv[2]) + ".pixels";
    const std::string thumb = std::string(argv[2]) + ".thumb";
    if (codec::DCSavetoJPEG(&stored, stored.width(), stored.height(), pixels, 90, 0) != 0 ||
        codec::DCSavetoJPEG(&stored, 64, 48, thumb, 60, 0) != 0) {
        return 1;
    }
    const std::string jpeg = ReadAll(pixels), thumbnail = ReadAll(thumb);
    std::remove(pixels.c_str());
    std::remove(thumb.c_str());

    ExifData* exif = exif_data_new();
    exif_data_set_byte_order(exif, EXIF_BYTE_ORDER_INTEL);
    exif_set_short(Add(exif, EXIF_IFD_0, EXIF_TAG_ORIENTATION)->data, EXIF_BYTE_ORDER_INTEL, 6);
    AddText(exif, EXIF_TAG_MAKE, "Glimbra");
    AddText(exif, EXIF_TAG_MODEL, "make_portrait");
    exif_set_long(Add(exif, EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION)->data, EXIF_BYTE_ORDER_INTEL,
                  ExifLong(stored.width()));
    exif_set_long(Add(exif, EXIF_IFD_EXIF, EXIF_TAG_PIXEL_Y_DIMENSION)->data, EXIF_BYTE_ORDER_INTEL,
                  ExifLong(stored.height()));
    exif->size = unsigned(thumbnail.size());
    exif->data = static_cast<unsigned char*>(std::malloc(exif->size));
    std::memcpy(exif->data, thumbnail.data(), exif->size);
    unsigned char* app1 = nullptr;
    unsigned size = 0;
    exif_data_save_data(exif, &app1, &size);
    exif_data_unref(exif);

    // SOI, then the APP1 segment, then the rest of the file (JFIF and the image).
    std::string out = jpeg.substr(0, 2);
    out += char(0xFF), out += char(0xE1), out += char((size + 2) >> 8),
        out += char((size + 2) & 0xFF);
    out.append(reinterpret_cast<const char*>(app1), size);
    out += jpeg.substr(2);
    std::free(app1);
    std::ofstream(argv[2], std::ios::binary).write(out.data(), std::streamsize(out.size()));
    return 0;
}
