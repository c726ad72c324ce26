// WebP and TIFF through the picture loader and the writers of formats/: round trips (exact for
// the lossless codings, within a stated error for lossy WebP), the orientation each format stores
// and the metadata carried to a written file, the same bytes whatever the core count, and hostile
// or cut files refused with one line. Inputs are made here: pixels by our writers, orientation and
// metadata added with libwebpmux and libtiff as other programs store them.

#include <gtest/gtest.h>
#include <libexif/exif-data.h>
#include <tiffio.h>
#include <webp/mux.h>

#include <QImage>
#include <QTransform>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/picture_writers.h"
#include "platform/load_picture.h"
#include "platform/parallel.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;
using platform::Bitmap;
using platform::Picture;

std::shared_ptr<const Picture> Load(const std::string& path, std::string* reason = nullptr) {
    std::shared_ptr<const Picture> p;
    const platform::Status s = platform::LoadPicture(path, p);
    if (reason) *reason = s.reason();
    return s ? p : nullptr;
}

platform::Status Save(const std::string& ext, const Bitmap& b, const std::string& path,
                      formats::SaveOptions o = {}, const platform::ImageMeta* meta = nullptr) {
    const formats::PictureWriter w = formats::FindWriter(ext);
    if (!w) return platform::Status::Fail("no writer for " + ext);
    return w(b, b.width(), b.height(), path, o, meta);
}

// ---- Round trips -------------------------------------------------------------------------------

struct RoundTrip {
    const char* name;
    const char* ext;
    bool lossless;
    int quality;
    int maxDiff;      // per channel
    double maxMean;   // mean over all channels
};
void PrintTo(const RoundTrip& c, std::ostream* os) { *os << c.name; }

class FormatRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

// Smooth content: lossy WebP keeps it within the stated errors, about twice what libwebp 1.2.4
// gives (largest 8 and mean 1.3 at quality 90; 25 and 3.0 at quality 10).
TEST_P(FormatRoundTrip, LoadsWhatWasWritten) {
    const RoundTrip c = GetParam();
    TempDir dir;
    const Bitmap image = MakeSmooth(97, 61);
    const std::string path = dir.file(std::string("r") + c.ext);
    formats::SaveOptions o;
    o.lossless = c.lossless;
    o.quality = c.quality;
    ASSERT_TRUE(Save(c.ext, image, path, o));
    const auto back = Load(path);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->pixels.width(), 97);
    ASSERT_EQ(back->pixels.height(), 61);
    EXPECT_FALSE(back->hasAlpha);
    double mean = 0;
    EXPECT_LE(ChannelDifference(back->pixels, image, &mean), c.maxDiff);
    EXPECT_LE(mean, c.maxMean);
}

INSTANTIATE_TEST_SUITE_P(
    Codings, FormatRoundTrip,
    ::testing::Values(RoundTrip{"TiffExact", ".TIF", false, 50, 0, 0},
                      RoundTrip{"TiffLongNameExact", ".TIFF", false, 50, 0, 0},
                      RoundTrip{"WebpLosslessExact", ".WEBP", true, 50, 0, 0},
                      RoundTrip{"WebpQuality90", ".WEBP", false, 90, 16, 2.5},
                      RoundTrip{"WebpQuality10", ".WEBP", false, 10, 40, 6.0}),
    [](const auto& info) { return std::string(info.param.name); });

// The writers split no work by the core count: the same bytes on one core and on two.
TEST(FormatBytes, SameOnOneAndTwoCores) {
    TempDir dir;
    const Bitmap image = MakePattern(300, 200, 3);
    for (const auto& [ext, lossless] :
         std::vector<std::pair<std::string, bool>>{{".WEBP", false}, {".WEBP", true}, {".TIF", false}}) {
        formats::SaveOptions o;
        o.lossless = lossless;
        std::string bytes[2];
        for (int workers : {1, 2}) {
            platform::SetWorkerCount(workers);
            const std::string path = dir.file("b" + std::to_string(workers) + ext);
            ASSERT_TRUE(Save(ext, image, path, o));
            bytes[workers - 1] = ReadBytes(path);
        }
        platform::SetWorkerCount(0);
        EXPECT_EQ(bytes[0], bytes[1]) << ext << (lossless ? " lossless" : "");
    }
}

// ---- Orientation and metadata ------------------------------------------------------------------

// 48 x 32 of six flat blocks: a turned or mirrored picture differs everywhere.
Bitmap Blocks() {
    static const std::uint32_t kColours[6] = {
        platform::Rgb(220, 30, 30),  platform::Rgb(30, 220, 30),  platform::Rgb(30, 30, 220),
        platform::Rgb(220, 220, 30), platform::Rgb(30, 220, 220), platform::Rgb(128, 128, 128)};
    Bitmap b;
    EXPECT_TRUE(b.Allocate(48, 32));
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x) b.at(x, y) = kColours[(y / 16) * 3 + x / 16];
    return b;
}

// What a camera stores for the upright picture and an orientation (the inverse of a viewer's
// turn), made with Qt's transforms.
Bitmap Stored(const Bitmap& upright, int orientation) {
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
    Bitmap b;
    EXPECT_TRUE(b.Allocate(s.width(), s.height()));
    for (int y = 0; y < s.height(); ++y) std::memcpy(b.row(y), s.constScanLine(y), s.width() * 4u);
    return b;
}

// EXIF holding only the orientation, a little-endian TIFF stream.
Bytes OrientationExif(int n) {
    return {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 1, 3, 0, 1, 0, 0, 0,
            std::uint8_t(n), 0, 0, 0, 0, 0, 0, 0};
}

// A whole ICC profile as far as the loader checks one: its size, "acsp", the rest arbitrary.
Bytes Profile() {
    Bytes icc(200);
    for (std::size_t i = 0; i < icc.size(); ++i) icc[i] = std::uint8_t(i * 7);
    icc[0] = 0, icc[1] = 0, icc[2] = 0, icc[3] = 200;
    std::memcpy(&icc[36], "acsp", 4);
    return icc;
}

// The Orientation of a TIFF-stream EXIF block; libexif reads it behind JPEG's "Exif\0\0".
int ExifOrientation(const Bytes& exif) {
    Bytes app1 = {'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), exif.begin(), exif.end());
    ExifData* d = exif_data_new_from_data(app1.data(), unsigned(app1.size()));
    if (!d) return -1;
    ExifEntry* e = exif_content_get_entry(d->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
    const int n = e ? exif_get_short(e->data, exif_data_get_byte_order(d)) : 0;
    exif_data_unref(d);
    return n;
}

// A lossless WebP of pixels, with the chunks another program would add.
std::string WebpWith(const TempDir& dir, const Bitmap& pixels, const Bytes& exif, const Bytes& icc) {
    const std::string plain = dir.file("plain.webp");
    formats::SaveOptions o;
    o.lossless = true;
    EXPECT_TRUE(Save(".WEBP", pixels, plain, o));
    const std::string bytes = ReadBytes(plain);
    WebPData in{reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
    WebPMux* mux = WebPMuxCreate(&in, 1);
    if (!exif.empty()) {
        WebPData e{exif.data(), exif.size()};
        EXPECT_EQ(WebPMuxSetChunk(mux, "EXIF", &e, 1), WEBP_MUX_OK);
    }
    if (!icc.empty()) {
        WebPData c{icc.data(), icc.size()};
        EXPECT_EQ(WebPMuxSetChunk(mux, "ICCP", &c, 1), WEBP_MUX_OK);
    }
    WebPData out{};
    EXPECT_EQ(WebPMuxAssemble(mux, &out), WEBP_MUX_OK);
    WebPMuxDelete(mux);
    const std::string result(reinterpret_cast<const char*>(out.bytes), out.size);
    WebPDataClear(&out);
    return result;
}

// An 8-bit RGB TIFF of pixels with an Orientation tag and a profile, written by libtiff.
std::string TiffWith(const TempDir& dir, const Bitmap& pixels, int orientation, const Bytes& icc) {
    const std::string path = dir.file("tagged.tif");
    TIFF* t = TIFFOpen(path.c_str(), "w");
    EXPECT_TRUE(t);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, pixels.width());
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, pixels.height());
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ORIENTATION, orientation);
    if (!icc.empty()) TIFFSetField(t, TIFFTAG_ICCPROFILE, std::uint32_t(icc.size()), icc.data());
    std::vector<std::uint8_t> row(std::size_t(pixels.width()) * 3);
    for (int y = 0; y < pixels.height(); ++y) {
        for (int x = 0; x < pixels.width(); ++x) {
            const std::uint32_t p = pixels.at(x, y);
            row[x * 3] = std::uint8_t(p >> 16), row[x * 3 + 1] = std::uint8_t(p >> 8),
                    row[x * 3 + 2] = std::uint8_t(p);
        }
        TIFFWriteScanline(t, row.data(), std::uint32_t(y), 0);
    }
    TIFFClose(t);
    return ReadBytes(path);
}

struct OrientCase {
    const char* name;
    bool tiff;
    int orientation;
};
void PrintTo(const OrientCase& c, std::ostream* os) { *os << c.name; }

class FormatOrientation : public ::testing::TestWithParam<OrientCase> {};

// WebP has no orientation of its own: its EXIF's turns the picture. A TIFF's Orientation tag does.
TEST_P(FormatOrientation, LoadsUpright) {
    const OrientCase c = GetParam();
    TempDir dir;
    const Bitmap upright = Blocks();
    const Bitmap stored = Stored(upright, c.orientation);
    const std::string path = dir.file(c.tiff ? "o.tif" : "o.webp");
    WriteBytes(path, c.tiff ? TiffWith(dir, stored, c.orientation, {})
                            : WebpWith(dir, stored, OrientationExif(c.orientation), {}));
    const auto p = Load(path);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->pixels.width(), 48);
    ASSERT_EQ(p->pixels.height(), 32);
    EXPECT_EQ(ChannelDifference(p->pixels, upright), 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryValue, FormatOrientation,
    ::testing::Values(OrientCase{"Webp1", false, 1}, OrientCase{"Webp2", false, 2},
                      OrientCase{"Webp3", false, 3}, OrientCase{"Webp4", false, 4},
                      OrientCase{"Webp5", false, 5}, OrientCase{"Webp6", false, 6},
                      OrientCase{"Webp7", false, 7}, OrientCase{"Webp8", false, 8},
                      OrientCase{"Tiff1", true, 1}, OrientCase{"Tiff2", true, 2},
                      OrientCase{"Tiff3", true, 3}, OrientCase{"Tiff4", true, 4},
                      OrientCase{"Tiff5", true, 5}, OrientCase{"Tiff6", true, 6},
                      OrientCase{"Tiff7", true, 7}, OrientCase{"Tiff8", true, 8}),
    [](const auto& info) { return std::string(info.param.name); });

// The profile and EXIF a WebP brings reach a written WebP; the EXIF then says 1. A TIFF keeps its
// profile through our TIFF writer.
TEST(FormatMetadata, ProfileAndExifCarried) {
    TempDir dir;
    const Bytes icc = Profile();
    WriteBytes(dir.file("in.webp"), WebpWith(dir, Stored(Blocks(), 6), OrientationExif(6), icc));
    const auto in = Load(dir.file("in.webp"));
    ASSERT_TRUE(in && in->meta);
    EXPECT_EQ(in->meta->icc, icc);
    EXPECT_EQ(ExifOrientation(in->meta->exif), 6);

    ASSERT_TRUE(Save(".WEBP", in->pixels, dir.file("out.webp"), {}, in->meta.get()));
    const auto out = Load(dir.file("out.webp"));
    ASSERT_TRUE(out && out->meta);
    EXPECT_EQ(out->meta->icc, icc);
    EXPECT_EQ(ExifOrientation(out->meta->exif), 1);
    EXPECT_EQ(out->pixels.width(), 48);  // upright already: not turned a second time

    ASSERT_TRUE(Save(".TIF", in->pixels, dir.file("out.tif"), {}, in->meta.get()));
    const auto tiff = Load(dir.file("out.tif"));
    ASSERT_TRUE(tiff && tiff->meta);
    EXPECT_EQ(tiff->meta->icc, icc);
    EXPECT_EQ(ChannelDifference(tiff->pixels, in->pixels), 0);
}

// ---- Hostile and cut files ---------------------------------------------------------------------

// A reason is one line naming why, never a library's own text.
void ExpectRefused(const std::string& path, const char* what) {
    std::string reason;
    EXPECT_FALSE(Load(path, &reason)) << what;
    EXPECT_FALSE(reason.empty()) << what;
    EXPECT_EQ(reason.find('\n'), std::string::npos) << what << ": " << reason;
}

TEST(FormatHostile, HugeClaimsRefusedBeforeAllocation) {
    TempDir dir;
    // A TIFF header and one directory claiming 65535 x 65535, with no pixel data.
    std::string t = std::string("II*\0", 4) + LittleEndian(8, 4) + LittleEndian(4, 2);
    const auto entry = [](int tag, int type, std::uint32_t value) {
        return LittleEndian(tag, 2) + LittleEndian(type, 2) + LittleEndian(1, 4) +
               LittleEndian(value, 4);
    };
    t += entry(256, 4, 65535) + entry(257, 4, 65535) + entry(273, 4, 0) + entry(279, 4, 16);
    t += LittleEndian(0, 4);
    WriteBytes(dir.file("huge.tif"), t);
    ExpectRefused(dir.file("huge.tif"), "65535 x 65535 TIFF");
    // A lossless WebP header claiming 16384 x 16384, the most its 14-bit fields hold, and nothing
    // after it.
    std::string vp8l = "\x2f";
    const std::uint32_t bits = 16383u | 16383u << 14;
    vp8l += LittleEndian(bits, 4) + std::string(8, '\0');
    std::string w = "RIFF" + LittleEndian(4 + 8 + vp8l.size(), 4) + "WEBPVP8L" +
                    LittleEndian(vp8l.size(), 4) + vp8l;
    WriteBytes(dir.file("huge.webp"), w);
    ExpectRefused(dir.file("huge.webp"), "16384 x 16384 WebP");
}

TEST(FormatHostile, CutFilesRefused) {
    TempDir dir;
    const Bitmap image = MakePattern(64, 48, 9);
    for (const char* ext : {".WEBP", ".TIF"}) {
        const std::string whole = dir.file(std::string("whole") + ext);
        ASSERT_TRUE(Save(ext, image, whole));
        const std::string bytes = ReadBytes(whole);
        for (std::size_t keep : {std::size_t{8}, bytes.size() / 3, bytes.size() / 2,
                                 bytes.size() - 1}) {
            const std::string cut = dir.file("cut" + std::to_string(keep) + ext);
            WriteBytes(cut, bytes.substr(0, keep));
            ExpectRefused(cut, (std::string(ext) + " cut to " + std::to_string(keep)).c_str());
        }
    }
}

}  // namespace
