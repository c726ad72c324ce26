// Photos: the EXIF orientation applied at load, the colour profile and the EXIF block carried from
// the source file to the result file, damaged metadata ignored, the JPEG writer's bytes. Inputs
// are made here: pixels by our writers, metadata spliced in as a camera would store it, and read
// back with libjpeg, libspng and libexif directly.

#include <gtest/gtest.h>
#include <libexif/exif-data.h>
#include <spng.h>
#include <turbojpeg.h>

#include <QImage>
#include <QTransform>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// After <cstdio>: jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "codec/codec.h"
#include "compose/compose_image.h"
#include "imagefiles/load_image.h"
#include "imagefiles/save_result.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

// ---- Inputs ------------------------------------------------------------------------------------

// 48 x 32 of flat 16 x 16 blocks, six colours at least 100 apart in some channel: JPEG keeps
// flat blocks aligned to its 16-pixel units almost exactly, and a turned picture differs by far
// more than that error.
platform::Bitmap Blocks() {
    static const std::uint32_t kColours[6] = {
        platform::Rgb(220, 30, 30),  platform::Rgb(30, 220, 30),  platform::Rgb(30, 30, 220),
        platform::Rgb(220, 220, 30), platform::Rgb(30, 220, 220), platform::Rgb(128, 128, 128)};
    platform::Bitmap b;
    EXPECT_TRUE(b.Allocate(48, 32));
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x) b.at(x, y) = kColours[(y / 16) * 3 + x / 16];
    return b;
}

// The picture a camera stores for an upright one and an orientation, made with Qt's transforms
// (rotate(90) turns clockwise on screen): the inverse of what a viewer does.
platform::Bitmap Stored(const platform::Bitmap& upright, int orientation) {
    QImage u(reinterpret_cast<const uchar*>(upright.data()), upright.width(), upright.height(),
             QImage::Format_RGB32);
    const QTransform cw = QTransform().rotate(90), ccw = QTransform().rotate(-90);
    QImage s = u.copy();
    // clang-format off
    switch (orientation) {
        case 2: s = u.mirrored(true, false); break;
        case 3: s = u.mirrored(true, true); break;
        case 4: s = u.mirrored(false, true); break;
        case 5: s = u.transformed(cw).mirrored(true, false); break;
        case 6: s = u.transformed(ccw); break;
        case 7: s = u.transformed(cw).mirrored(false, true); break;
        case 8: s = u.transformed(cw); break;
    }
    // clang-format on
    platform::Bitmap b;
    EXPECT_TRUE(b.Allocate(s.width(), s.height()));
    for (int y = 0; y < s.height(); ++y) std::memcpy(b.row(y), s.constScanLine(y), s.width() * 4u);
    return b;
}

// EXIF holding nothing but the orientation, as the bytes of a little-endian TIFF stream.
Bytes OrientationExif(int n) {
    // clang-format off
    return {'I', 'I', 42, 0, 8, 0, 0, 0,                        // header, IFD0 at 8
            1, 0,                                               // one entry:
            0x12, 1, 3, 0, 1, 0, 0, 0,                          //   Orientation, SHORT, 1
            std::uint8_t(n), std::uint8_t(n >> 8), 0, 0,        //   the value
            0, 0, 0, 0};                                        // no IFD1
    // clang-format on
}

// A camera's EXIF through libexif: Make, Orientation, PixelXDimension and a thumbnail in IFD1.
Bytes CameraExif(int orientation) {
    ExifData* ed = exif_data_new();
    exif_data_set_byte_order(ed, EXIF_BYTE_ORDER_MOTOROLA);
    const auto add = [&](ExifIfd ifd, ExifTag tag) {
        ExifEntry* e = exif_entry_new();
        exif_content_add_entry(ed->ifd[ifd], e);
        exif_entry_initialize(e, tag);
        exif_entry_unref(e);
        return e;
    };
    exif_set_short(add(EXIF_IFD_0, EXIF_TAG_ORIENTATION)->data, EXIF_BYTE_ORDER_MOTOROLA,
                   ExifShort(orientation));
    // The stored width of Stored(Blocks(), 6).
    exif_set_long(add(EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION)->data, EXIF_BYTE_ORDER_MOTOROLA,
                  32);
    ExifEntry* make = exif_entry_new();
    exif_content_add_entry(ed->ifd[EXIF_IFD_0], make);
    make->tag = EXIF_TAG_MAKE;
    make->format = EXIF_FORMAT_ASCII;
    make->components = make->size = 8;
    make->data = static_cast<unsigned char*>(std::malloc(8));  // libexif frees with free()
    std::memcpy(make->data, "Glimbra", 8);
    exif_entry_unref(make);
    ed->size = 600;
    ed->data = static_cast<unsigned char*>(std::calloc(ed->size, 1));
    ed->data[0] = 0xFF, ed->data[1] = 0xD8;
    unsigned char* saved = nullptr;
    unsigned size = 0;
    exif_data_save_data(ed, &saved, &size);
    exif_data_unref(ed);
    Bytes tiff(saved + 6, saved + size);  // without "Exif\0\0"
    std::free(saved);
    return tiff;
}

// A profile that passes as whole: its size in the header, "acsp" at 36, anything after.
Bytes Profile(std::size_t size, std::uint8_t seed) {
    Bytes p(size);
    for (std::size_t i = 0; i < size; ++i) p[i] = std::uint8_t(i * 7 + seed);
    for (int i = 0; i < 4; ++i) p[std::size_t(i)] = std::uint8_t(size >> (24 - 8 * i));
    std::memcpy(p.data() + 36, "acsp", 4);
    std::memset(p.data() + 128, 0, std::min<std::size_t>(4, size - 128));  // no tags
    return p;
}

std::string Segment(int marker, const std::string& payload) {
    const std::size_t n = payload.size() + 2;
    return std::string{char(0xFF), char(marker), char(n >> 8), char(n & 0xFF)} + payload;
}

// A JPEG of pixels with the EXIF and the profile (split in parts of at most `part` bytes) stored
// in their markers right after SOI.
std::string Jpeg(const platform::Bitmap& pixels, const Bytes& exif, const Bytes& icc,
                 std::size_t part = 65519, std::size_t skipPart = 0) {
    TempDir dir;
    platform::Bitmap copy;
    copy.ShareFrom(pixels);
    EXPECT_EQ(
        codec::DCSavetoJPEG(&copy, pixels.width(), pixels.height(), dir.file("p.jpg"), 100, 0), 0);
    std::string file = ReadBytes(dir.file("p.jpg")), segments;
    if (!exif.empty())
        segments +=
            Segment(0xE1, std::string("Exif\0\0", 6) + std::string(exif.begin(), exif.end()));
    const std::size_t parts = (icc.size() + part - 1) / part;
    for (std::size_t i = 0; i < parts; ++i) {
        if (i + 1 == skipPart) continue;
        const std::string body(icc.begin() + long(i * part),
                               icc.begin() + long(std::min(icc.size(), (i + 1) * part)));
        segments +=
            Segment(0xE2, std::string("ICC_PROFILE\0", 12) + char(i + 1) + char(parts) + body);
    }
    return file.insert(2, segments);
}

// A PNG of pixels with eXIf and iCCP, written by libspng.
std::string Png(const platform::Bitmap& pixels, const Bytes& exif, const Bytes& icc) {
    std::string out;
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{std::uint32_t(pixels.width()), std::uint32_t(pixels.height()), 8, 6, 0, 0, 0};
    spng_set_ihdr(ctx, &ihdr);
    spng_exif e{exif.size(), reinterpret_cast<char*>(const_cast<std::uint8_t*>(exif.data()))};
    if (!exif.empty()) spng_set_exif(ctx, &e);
    spng_iccp p{"Camera", icc.size(),
                reinterpret_cast<char*>(const_cast<std::uint8_t*>(icc.data()))};
    if (!icc.empty()) spng_set_iccp(ctx, &p);
    std::vector<unsigned char> rgba(pixels.pixelCount() * 4);
    for (std::size_t i = 0; i < pixels.pixelCount(); ++i) {
        const std::uint32_t v = pixels.data()[i];
        rgba[i * 4] = v >> 16, rgba[i * 4 + 1] = v >> 8, rgba[i * 4 + 2] = v, rgba[i * 4 + 3] = 255;
    }
    EXPECT_EQ(spng_encode_image(ctx, rgba.data(), rgba.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE),
              0);
    int error = 0;
    std::size_t size = 0;
    char* buffer = static_cast<char*>(spng_get_png_buffer(ctx, &size, &error));
    out.assign(buffer, size);
    std::free(buffer);
    spng_ctx_free(ctx);
    return out;
}

std::string Photo(bool png, const platform::Bitmap& pixels, const Bytes& exif, const Bytes& icc) {
    return png ? Png(pixels, exif, icc) : Jpeg(pixels, exif, icc);
}

// What the loader makes of pixels stored upright in a file without metadata.
platform::Bitmap Loaded(bool png, const platform::Bitmap& pixels) {
    TempDir dir;
    const std::string path = dir.file(png ? "upright.png" : "upright.jpg");
    WriteBytes(path, Photo(png, pixels, {}, {}));
    compose::SlotSet slots;
    EXPECT_EQ(basCommon::LoadImageSlot(slots, path, 0), 0);
    platform::Bitmap b;
    b.ShareFrom(slots.picLoad[0].Image());
    return b;
}

// ---- Reading a result file back ---------------------------------------------------------------

struct FileMeta {
    Bytes exif, icc;
};

FileMeta ReadJpegMeta(const std::string& path) {
    FileMeta m;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    for (jpeg_saved_marker_ptr p = cinfo.marker_list; p; p = p->next)
        if (p->marker == JPEG_APP0 + 1 && p->data_length > 6)
            m.exif.assign(p->data + 6, p->data + p->data_length);
    JOCTET* icc = nullptr;
    unsigned len = 0;
    if (jpeg_read_icc_profile(&cinfo, &icc, &len)) m.icc.assign(icc, icc + len);
    std::free(icc);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
    return m;
}

FileMeta ReadPngMeta(const std::string& path) {
    FileMeta m;
    const std::string bytes = ReadBytes(path);
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, bytes.data(), bytes.size());
    spng_ihdr ihdr;
    spng_get_ihdr(ctx, &ihdr);
    spng_exif e{};
    if (spng_get_exif(ctx, &e) == 0) m.exif.assign(e.data, e.data + e.length);
    spng_iccp p{};
    if (spng_get_iccp(ctx, &p) == 0) m.icc.assign(p.profile, p.profile + p.profile_len);
    spng_ctx_free(ctx);
    return m;
}

FileMeta ReadMeta(const std::string& path) {
    return path.ends_with(".JPG") ? ReadJpegMeta(path) : ReadPngMeta(path);
}

// ---- Orientation --------------------------------------------------------------------------

struct OrientCase {
    bool png;
    int orientation;  // as stored; outside 1..8 the picture is taken as stored
};
void PrintTo(const OrientCase& c, std::ostream* os) {
    *os << (c.png ? "PNG " : "JPEG ") << c.orientation;
}

class Orientation : public ::testing::TestWithParam<OrientCase> {};

// The stored picture, loaded, equals the same picture stored upright, loaded. For JPEG within 3
// levels: flat blocks aligned to the 16-pixel units turn into the same coefficients, but the
// decoder's chroma upsampling rounds with a bias that alternates by column and row, which a turn
// moves; a wrong turn differs by 190 levels somewhere.
TEST_P(Orientation, LoadsUpright) {
    const auto [png, n] = GetParam();
    const bool turned = n >= 1 && n <= 8;
    const platform::Bitmap upright = Loaded(png, Blocks()),
                           stored = Stored(Blocks(), turned ? n : 1);
    const Bytes exif = OrientationExif(n);
    TempDir dir;
    const std::string path = dir.file(png ? "写真.png" : "写真.jpg");
    WriteBytes(path, png ? Png(stored, exif, {}) : Jpeg(stored, exif, {}));
    for (int slot : {0, 1}) {
        compose::SlotSet slots;
        ASSERT_EQ(basCommon::LoadImageSlot(slots, path, std::int16_t(slot)), 0);
        const platform::Bitmap& loaded = slots.picLoad[std::size_t(slot)].Image();
        ASSERT_EQ(loaded.width(), 48);
        ASSERT_EQ(loaded.height(), 32);
        EXPECT_LE(ChannelDifference(loaded, upright), png ? 0 : 3);
    }
}

std::vector<OrientCase> OrientCases() {
    std::vector<OrientCase> cases;
    for (bool png : {false, true})
        for (int n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 300}) cases.push_back({png, n});
    return cases;
}
INSTANTIATE_TEST_SUITE_P(EveryValue, Orientation, ::testing::ValuesIn(OrientCases()),
                         [](const auto& info) {
                             return std::string(info.param.png ? "Png" : "Jpeg") +
                                    std::to_string(info.param.orientation);
                         });

// ---- Metadata from the source file to the result file -------------------------------------

struct CarryCase {
    bool pngSource;
    const char* ext;
};
void PrintTo(const CarryCase& c, std::ostream* os) {
    *os << (c.pngSource ? "PNG" : "JPEG") << " to " << c.ext;
}

class Carry : public ::testing::TestWithParam<CarryCase> {};

// A portrait photo (stored turned, Orientation 6) with a profile over two APP2 markers and a
// camera's EXIF, composed with a texture that has a profile of its own: the result carries the
// source's profile byte for byte and its EXIF with Orientation 1, no thumbnail and the upright
// width; its pixels are those of the same file with nothing but the orientation.
TEST_P(Carry, ProfileAndExifReachTheResult) {
    const auto [pngSource, ext] = GetParam();
    const platform::Bitmap stored = Stored(Blocks(), 6);
    const Bytes icc = Profile(70000, 1), exif = CameraExif(6);
    TempDir dir;
    const std::string ext0 = pngSource ? ".png" : ".jpg";
    const std::string photo = dir.file("photo" + ext0), plain = dir.file("plain" + ext0),
                      texture = dir.file("texture.png");
    WriteBytes(photo, Photo(pngSource, stored, exif, icc));
    WriteBytes(plain, Photo(pngSource, stored, OrientationExif(6), {}));
    WriteBytes(texture, Png(MakePattern(20, 20, 3), {}, Profile(3000, 9)));

    platform::Bitmap pixels[2];
    for (int i : {0, 1}) {
        compose::SlotSet slots;
        std::string why;
        ASSERT_EQ(basCommon::LoadImageSlot(slots, i ? plain : photo, 0, &why), 0) << why;
        ASSERT_EQ(basCommon::LoadImageSlot(slots, texture, 1), 0);
        ASSERT_TRUE(basCommon::ComposeImage(slots, basCommon::kTrue));
        pixels[i].ShareFrom(slots.picLoad[2].Image());
        if (i) break;
        const std::string result = dir.file(std::string("result") + ext);
        ASSERT_TRUE(imagefiles::WriteResultFile(slots.picLoad[2], result, ext, {90, 0, 1}));
        const FileMeta got = ReadMeta(result);
        EXPECT_TRUE(got.icc == icc);
        const std::string app1 =
            std::string("Exif\0\0", 6) + std::string(got.exif.begin(), got.exif.end());
        ExifData* ed = exif_data_new_from_data(reinterpret_cast<const unsigned char*>(app1.data()),
                                               unsigned(app1.size()));
        const ExifByteOrder order = exif_data_get_byte_order(ed);
        ExifEntry* o = exif_data_get_entry(ed, EXIF_TAG_ORIENTATION);
        ExifEntry* maker = exif_data_get_entry(ed, EXIF_TAG_MAKE);
        ExifEntry* width = exif_data_get_entry(ed, EXIF_TAG_PIXEL_X_DIMENSION);
        ASSERT_TRUE(o && maker && width);
        EXPECT_EQ(exif_get_short(o->data, order), 1);
        EXPECT_STREQ(reinterpret_cast<const char*>(maker->data), "Glimbra");
        EXPECT_EQ(exif_get_long(width->data, order), 48u);
        EXPECT_EQ(ed->ifd[EXIF_IFD_1]->count, 0u);
        EXPECT_EQ(ed->data, nullptr);
        exif_data_unref(ed);
    }
    EXPECT_EQ(ChannelDifference(pixels[0], pixels[1]), 0);
}

INSTANTIATE_TEST_SUITE_P(SourceToResult, Carry,
                         ::testing::Values(CarryCase{false, ".JPG"}, CarryCase{false, ".PNG"},
                                           CarryCase{true, ".JPG"}, CarryCase{true, ".PNG"}),
                         [](const auto& info) {
                             return std::string(info.param.pngSource ? "Png" : "Jpeg") + "To" +
                                    (info.param.ext + 1);
                         });

// ---- Damaged metadata ------------------------------------------------------------------------

struct DamageCase {
    const char* name;
    bool png;
    bool exifDamaged;  // else the profile is
};
void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class Damaged : public ::testing::TestWithParam<DamageCase> {};

// The picture loads as if the damaged part were absent (the other part stays), the pixels are
// those of the file without it, and the command-line tool composes it without a word.
TEST_P(Damaged, IsIgnored) {
    const DamageCase c = GetParam();
    const std::string name = c.name;
    const platform::Bitmap stored = Stored(Blocks(), 6);
    Bytes exif = CameraExif(6), icc = Profile(3000, 5);
    if (name.ends_with("NotTiff")) exif.assign(40, 'x');
    if (name.ends_with("CutShort")) exif = Bytes(exif.begin(), exif.begin() + 14);
    if (name.ends_with("SizeWrong")) icc.pop_back();
    if (name.ends_with("NoSignature")) icc[36] = 'X';
    std::string file = c.png
                           ? Png(stored, exif, icc)
                           : Jpeg(stored, exif, icc, 1000, name.ends_with("MarkerMissing") ? 2 : 0);
    if (name.ends_with("NotInflatable")) {
        const std::size_t at = PngChunk(file, "iCCP");
        file[at + 8 + 7 + 2 + 10] ^= 0x55;  // inside the deflated profile, behind the name "Camera"
        FixPngCrc(file, at);
    }
    TempDir dir;
    const std::string photo = dir.file(c.png ? "photo.png" : "photo.jpg"),
                      texture = dir.file("texture.png");
    WriteBytes(photo, file);
    WriteBytes(texture, Png(MakePattern(20, 20, 3), {}, {}));
    compose::SlotSet slots;
    ASSERT_EQ(basCommon::LoadImageSlot(slots, photo, 0), 0);
    const platform::ImageMetaPtr meta = slots.picLoad[0].Meta();
    ASSERT_TRUE(meta);
    EXPECT_EQ(meta->exif.empty(), c.exifDamaged);
    EXPECT_EQ(meta->icc.empty(), !c.exifDamaged);
    EXPECT_EQ(slots.picLoad[0].Width(), c.exifDamaged ? 32 : 48);  // a damaged EXIF turns nothing
    const platform::Bitmap want = c.exifDamaged ? Loaded(c.png, stored) : Loaded(c.png, Blocks());
    EXPECT_LE(ChannelDifference(slots.picLoad[0].Image(), want), c.png ? 0 : 3);

    const ChildRun run = RunProgram({GLIMBRA_CLI_PATH, photo, texture, dir.file("out.jpg")}, {});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
}

const DamageCase kDamaged[] = {
    {"JpegExifNotTiff", false, true},           {"JpegExifCutShort", false, true},
    {"JpegProfileSizeWrong", false, false},     {"JpegProfileNoSignature", false, false},
    {"JpegProfileMarkerMissing", false, false}, {"PngExifCutShort", true, true},
    {"PngProfileSizeWrong", true, false},       {"PngProfileNoSignature", true, false},
    {"PngProfileNotInflatable", true, false},
};
INSTANTIATE_TEST_SUITE_P(Metadata, Damaged, ::testing::ValuesIn(kDamaged),
                         [](const auto& info) { return std::string(info.param.name); });

// A failed load keeps the slot's picture and its metadata together; a BMP brings none.
TEST(SlotMeta, FollowsThePicture) {
    TempDir dir;
    const std::string photo = dir.file("photo.jpg"), bmp = dir.file("plain.bmp");
    WriteBytes(photo, Jpeg(Blocks(), CameraExif(1), Profile(500, 2)));
    ASSERT_TRUE(codec::SavePicture(Blocks(), bmp));
    compose::SlotSet slots;
    ASSERT_EQ(basCommon::LoadImageSlot(slots, photo, 0), 0);
    const platform::ImageMetaPtr meta = slots.picLoad[0].Meta();
    ASSERT_TRUE(meta && meta->icc == Profile(500, 2));
    EXPECT_EQ(basCommon::LoadImageSlot(slots, dir.file("missing.jpg"), 0), 1);
    EXPECT_EQ(slots.picLoad[0].Meta(), meta);
    ASSERT_EQ(basCommon::LoadImageSlot(slots, bmp, 0), 0);
    EXPECT_EQ(slots.picLoad[0].Meta(), nullptr);
}

// ---- What fits a format ---------------------------------------------------------------------

// EXIF over one APP1 segment is left out (libexif cannot rewrite it whole either); a profile
// over 255 APP2 markers is left out of a JPEG and whole in a PNG; one of exactly 255 full
// markers still fits.
TEST(FormatLimits, LeaveOutWhatDoesNotFit) {
    Bytes big = {'I', 'I',  42,   0, 8, 0,  0, 0, 1, 0, 0x98, 0x82, 2,
                 0,   0x70, 0x11, 1, 0, 26, 0, 0, 0, 0, 0,    0,    0};
    big.resize(26 + 70000, 'c');  // Copyright, 70000 characters
    big.back() = 0;
    const std::size_t jpegMost = 255 * 65519;
    struct Row {
        Bytes exif, icc;
        bool jpegExif, jpegIcc;
    } rows[] = {{big, {}, false, false},
                {{}, Profile(jpegMost + 1, 3), false, false},
                {{}, Profile(jpegMost, 4), false, true}};
    TempDir dir;
    platform::Bitmap pixels = MakeSmooth(40, 24);
    for (const Row& r : rows) {
        platform::ImageMeta meta{r.icc, r.exif};
        ASSERT_EQ(codec::DCSavetoJPEG(&pixels, 40, 24, dir.file("r.JPG"), 90, 0, nullptr, &meta),
                  0);
        ASSERT_EQ(codec::DCSavetoPNG(&pixels, 40, 24, dir.file("r.PNG"), 1, nullptr, &meta), 0);
        const FileMeta jpeg = ReadMeta(dir.file("r.JPG")), png = ReadMeta(dir.file("r.PNG"));
        EXPECT_EQ(!jpeg.exif.empty(), r.jpegExif);
        EXPECT_EQ(jpeg.icc == r.icc && !r.icc.empty(), r.jpegIcc);
        EXPECT_TRUE(png.exif.empty());
        EXPECT_TRUE(png.icc == r.icc);
    }
}

// ---- The JPEG writer ------------------------------------------------------------------------

class JpegBytes : public ::testing::TestWithParam<std::tuple<int, bool>> {};

// Without metadata the writer's file is, byte for byte, what TurboJPEG made of the same rows
// with the same quality, 4:2:0 subsampling and progressive switch.
TEST_P(JpegBytes, MatchTurboJpeg) {
    const auto [quality, progressive] = GetParam();
    platform::Bitmap pixels = MakeSmooth(67, 45);
    TempDir dir;
    ASSERT_EQ(codec::DCSavetoJPEG(&pixels, 67, 45, dir.file("a.jpg"), std::uint8_t(quality),
                                  progressive ? -1 : 0),
              0);
    tjhandle tj = tjInitCompress();
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    ASSERT_EQ(tjCompress2(tj, reinterpret_cast<const unsigned char*>(pixels.data()), 67, 67 * 4, 45,
                          TJPF_BGRX, &buffer, &size, TJSAMP_420, quality,
                          progressive ? TJFLAG_PROGRESSIVE : 0),
              0);
    EXPECT_TRUE(ReadBytes(dir.file("a.jpg")) == std::string(reinterpret_cast<char*>(buffer), size));
    tjFree(buffer);
    tjDestroy(tj);
}

INSTANTIATE_TEST_SUITE_P(Settings, JpegBytes,
                         ::testing::Combine(::testing::Values(1, 50, 95, 96, 100),
                                            ::testing::Bool()));

}  // namespace
