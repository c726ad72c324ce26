// The JPEG route of the picture loader: JPEGs written here with libjpeg (then damaged by byte
// surgery where a row says so) must load to exactly the pixels that Qt's reader, which read our
// JPEGs before, gives for the same bytes, or be refused with the reason the row names.
// Also: the metadata handed back beside the pixels, and (where the public test images are
// present) the same comparison over every JPEG of that suite.

#include "formats/jpeg_load.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

// After <cstdio>: jpeglib.h needs FILE and size_t.
// clang-format off
#include <jpeglib.h>
// clang-format on

#include "platform/load_picture.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;

// ---- Writing JPEGs -----------------------------------------------------------------------------

struct Encoding {
    int width = 64, height = 48;
    J_COLOR_SPACE space = JCS_YCbCr;  // JCS_GRAYSCALE, JCS_YCbCr, JCS_RGB or JCS_CMYK
    int h = 2, v = 2;                 // the first component's sampling factors
    bool progressive = false;
    bool arithmetic = false;
    int restartRows = 0;
    std::function<void(jpeg_compress_struct&)> markers = {};  // writes extra markers
};

// Detailed content, so that the coded data is long enough to cut in places that matter.
std::string Encode(const Encoding& e) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    const int channels = e.space == JCS_GRAYSCALE                     ? 1
                         : e.space == JCS_CMYK || e.space == JCS_YCCK ? 4
                                                                      : 3;
    c.image_width = JDIMENSION(e.width);
    c.image_height = JDIMENSION(e.height);
    c.input_components = channels;
    c.in_color_space = channels == 1 ? JCS_GRAYSCALE : channels == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_colorspace(&c, e.space);
    jpeg_set_quality(&c, 90, TRUE);
    c.comp_info[0].h_samp_factor = e.h;
    c.comp_info[0].v_samp_factor = e.v;
    if (e.progressive) jpeg_simple_progression(&c);
    c.arith_code = e.arithmetic;
    c.restart_in_rows = e.restartRows;
    jpeg_start_compress(&c, TRUE);
    if (e.markers) e.markers(c);
    std::vector<JSAMPLE> row(std::size_t(e.width * channels));
    while (c.next_scanline < c.image_height) {
        const int y = int(c.next_scanline);
        for (int x = 0; x < e.width; ++x) {
            const std::uint32_t p = testing_support::PatternPixel(x / 3, y / 3, 7);
            for (int k = 0; k < channels; ++k)
                row[std::size_t(x * channels + k)] = JSAMPLE((p >> (8 * (k % 3))) + x * 2 + y);
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    std::string bytes(reinterpret_cast<char*>(buffer), size);
    jpeg_destroy_compress(&c);
    std::free(buffer);
    return bytes;
}

// Offsets of the scans' headers (the 0xFF of each start-of-scan marker). Coded data stuffs a zero
// after every 0xFF, so the marker's two bytes cannot occur inside it.
std::vector<std::size_t> Scans(const std::string& j) {
    std::vector<std::size_t> at;
    for (std::size_t i = j.find("\xFF\xDA"); i != std::string::npos; i = j.find("\xFF\xDA", i + 2))
        at.push_back(i);
    return at;
}
const std::string kEnd = "\xFF\xD9";
// Where scan i's coded data begins (after its header).
std::size_t DataOf(const std::string& j, std::size_t i) {
    const std::size_t sos = Scans(j).at(i);
    return sos + 2 + (std::size_t(std::uint8_t(j[sos + 2])) << 8 | std::uint8_t(j[sos + 3]));
}
// Where scan i's coded data ends: at the first marker that is neither a stuffed zero nor a
// restart marker.
std::size_t EndOf(const std::string& j, std::size_t i) {
    std::size_t at = DataOf(j, i);
    while (true) {
        at = j.find('\xFF', at);
        const auto next = std::uint8_t(j.at(at + 1));
        if (next != 0 && (next < 0xD0 || next > 0xD7)) return at;
        at += 2;
    }
}
// Scan i's header and coded data.
std::string ScanBytes(const std::string& j, std::size_t i) {
    return j.substr(Scans(j).at(i), EndOf(j, i) - Scans(j)[i]);
}
// The file without the scans (headers and data) for which drop(header) is true; the tables
// written before each scan stay.
std::string WithoutScans(const std::string& j,
                         const std::function<bool(const std::string&)>& drop) {
    std::string out = j;
    for (std::size_t i = Scans(j).size(); i-- > 0;)
        if (drop(ScanBytes(j, i))) out.erase(Scans(j)[i], EndOf(j, i) - Scans(j)[i]);
    return out;
}

Encoding Progressive() {
    Encoding e;
    e.progressive = true;
    return e;
}

// The file's first scan, cut after half of its coded data, then the end marker.
std::string CutInFirstScan(const Encoding& e) {
    const std::string j = Encode(e);
    const std::size_t data = DataOf(j, 0), end = Scans(j).size() > 1 ? Scans(j)[1] : j.size() - 2;
    return j.substr(0, data + (end - data) / 2) + kEnd;
}

// ---- Decoding with Qt --------------------------------------------------------------------------

// Qt's reader as the loader used it for JPEG, converted to our layout; empty when it fails.
platform::Bitmap QtDecode(const std::string& bytes) {
    QByteArray data(bytes.data(), qsizetype(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    reader.setAutoTransform(false);
    QImage image;
    platform::Bitmap out;
    if (!reader.read(&image)) return out;
    image = image.convertToFormat(QImage::Format_RGB32);
    EXPECT_TRUE(out.Allocate(image.width(), image.height()));
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            out.at(x, y) = image.pixel(x, y) | platform::kOpaque;
    return out;
}

// Equal sizes and every pixel equal, fourth byte included; the first difference otherwise.
::testing::AssertionResult SamePixels(const platform::Bitmap& a, const platform::Bitmap& b) {
    if (a.width() != b.width() || a.height() != b.height())
        return ::testing::AssertionFailure()
               << a.width() << "x" << a.height() << " vs " << b.width() << "x" << b.height();
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.at(x, y) != b.at(x, y))
                return ::testing::AssertionFailure()
                       << std::hex << "at (" << std::dec << x << "," << y << ") " << std::hex
                       << a.at(x, y) << " vs " << b.at(x, y);
    return ::testing::AssertionSuccess();
}

// ---- The table ---------------------------------------------------------------------------------

struct JpegCase {
    const char* name;
    std::function<std::string()> make;
    const char* refusal = nullptr;  // null: loads, as Qt decodes it
};
void PrintTo(const JpegCase& c, std::ostream* os) { *os << c.name; }

std::string Repeated(std::string j, std::size_t scan, int times) {
    const std::string s = ScanBytes(j, scan);
    std::string more;
    for (int i = 0; i < times; ++i) more += s;
    return j.insert(j.size() - 2, more);
}

const char kEndsEarly[] = "画像のデータが途中で終わっています (JPEG)";
const char kScans[] = "スキャンが多すぎます (JPEG; 上限は 500)";

const JpegCase kCases[] = {
    // Layouts that must decode exactly as before.
    {"Baseline420", [] { return Encode({}); }},
    {"Baseline422Odd", [] { return Encode({.width = 37, .height = 23, .h = 2, .v = 1}); }},
    {"Baseline440", [] { return Encode({.width = 21, .height = 30, .h = 1, .v = 2}); }},
    {"Baseline444", [] { return Encode({.width = 9, .height = 7, .h = 1, .v = 1}); }},
    {"Grey",
     [] { return Encode({.width = 33, .height = 17, .space = JCS_GRAYSCALE, .h = 1, .v = 1}); }},
    {"AdobeRgb",
     [] { return Encode({.width = 19, .height = 11, .space = JCS_RGB, .h = 1, .v = 1}); }},
    {"OnePixel", [] { return Encode({.width = 1, .height = 1}); }},
    {"Progressive", [] { return Encode(Progressive()); }},
    {"ProgressiveGrey",
     [] { return Encode({.space = JCS_GRAYSCALE, .h = 1, .v = 1, .progressive = true}); }},
    {"Arithmetic", [] { return Encode({.arithmetic = true}); }},
    {"RestartMarkers", [] { return Encode({.restartRows = 1}); }},
    // Qt's route: libjpeg-turbo gives no RGB for these.
    {"Cmyk", [] { return Encode({.width = 13, .height = 9, .space = JCS_CMYK, .h = 1, .v = 1}); }},
    {"Ycck", [] { return Encode({.width = 13, .height = 9, .space = JCS_YCCK, .h = 2, .v = 2}); }},

    // Oddities that leave a whole picture: they load.
    {"StrayBytesBeforeEnd",
     [] {
         std::string j = Encode({});
         return j.insert(j.size() - 2, "\x12\x34\x56");
     }},
    {"StrayBytesBeforeRestartMarkers",
     [] {
         std::string j = Encode({.restartRows = 1});
         for (std::size_t at = j.find("\xFF\xD0"); at != std::string::npos;
              at = j.find("\xFF\xD0", at + 4))
             j.insert(at, "\x01\x02");
         return j;
     }},
    {"ProgressiveWithoutRefinements",
     [] {
         const std::string j = Encode(Progressive());
         return j.substr(0, Scans(j)[3]) + kEnd;
     }},
    {"ProgressiveCutInRefinement",
     [] {
         const std::string j = Encode(Progressive());
         return j.substr(0, DataOf(j, 7) + 10);
     }},
    {"ProgressiveWithoutDcScan",
     [] {
         const std::string j =
             Encode({.space = JCS_GRAYSCALE, .h = 1, .v = 1, .progressive = true});
         return WithoutScans(j, [](const std::string& scan) { return scan[7] == 0; });  // Ss 0
     }},
    {"ProgressiveDcRefinementCut",
     [] {
         // Grey: scans DC, AC, AC, AC refinement, DC refinement (cut here), AC refinement.
         const std::string j =
             Encode({.space = JCS_GRAYSCALE, .h = 1, .v = 1, .progressive = true});
         return j.substr(0, DataOf(j, 4) + 2) + kEnd;
     }},

    // Data that ends or breaks before the first complete pass: refused.
    {"BaselineCutShort", [] { return CutInFirstScan({}); }, kEndsEarly},
    {"BaselineCutWithoutEnd",
     [] {
         const std::string j = Encode({});
         return j.substr(0, DataOf(j, 0) + 200);
     },
     "ファイルが途中で切れています"},
    {"ProgressiveFirstScanCut", [] { return CutInFirstScan(Progressive()); }, kEndsEarly},
    {"BaselineCorruptCode",
     [] {
         // Ones make no code of any table; an 0xFF in coded data is followed by a stuffed zero.
         std::string j = Encode({});
         std::string ones;
         for (int i = 0; i < 20; ++i) ones += std::string("\xFF\0", 2);
         return j.replace(DataOf(j, 0) + 20, ones.size(), ones);
     },
     "画像のデータが壊れています (JPEG)"},
    {"ChromaNeverCoded",
     [] {
         // A progressive colour file left with the scans of its first component (id 1) alone.
         const std::string j = Encode({.h = 1, .v = 1, .progressive = true});
         return WithoutScans(j,
                             [](const std::string& scan) { return scan[4] != 1 || scan[5] != 1; });
     },
     kEndsEarly},
    // A frame far larger than its data could code (4000 x 4000 in about 600 bytes).
    {"TinyFileHugeFrame",
     [] {
         std::string j = Encode({.width = 16, .height = 16});
         const std::size_t sof = j.find("\xFF\xC0");
         j[sof + 5] = char(4000 >> 8), j[sof + 6] = char(4000 & 0xFF);
         j[sof + 7] = char(4000 >> 8), j[sof + 8] = char(4000 & 0xFF);
         return j;
     },
     "画像のデータが足りません (JPEG 4000 × 4000 には少なくとも 93750 バイト必要; あるのは "},
    {"CmykTinyFileHugeFrame",
     [] {
         std::string j = Encode({.width = 16, .height = 16, .space = JCS_CMYK, .h = 1, .v = 1});
         const std::size_t sof = j.find("\xFF\xC0");
         j[sof + 5] = char(4000 >> 8), j[sof + 6] = char(4000 & 0xFF);
         return j;
     },
     "画像のデータが足りません (JPEG 16 × 4000 には少なくとも 1000 バイト必要; あるのは "},
    {"ScanBomb", [] { return Repeated(Encode(Progressive()), 9, 600); }, kScans},
    {"CmykScanBomb",
     [] {
         return Repeated(Encode({.space = JCS_CMYK, .h = 1, .v = 1, .progressive = true}), 0, 600);
     },
     kScans},
    {"ScanLimitHeld", [] { return Repeated(Encode(Progressive()), 9, 500 - 10); }},
};

class JpegRead : public testing::TestWithParam<JpegCase> {};

TEST_P(JpegRead, LoadsAsQtDecodesOrIsRefused) {
    const JpegCase& c = GetParam();
    const std::string bytes = c.make();
    TempDir dir;
    testing_support::WriteBytes(dir.file("a.jpg"), bytes);
    std::shared_ptr<const platform::Picture> picture;
    const platform::Status s = platform::LoadPicture(dir.file("a.jpg"), picture);
    if (c.refusal) {
        ASSERT_FALSE(s);
        EXPECT_EQ(s.reason().substr(0, std::string(c.refusal).size()), c.refusal) << s.reason();
        EXPECT_EQ(picture, nullptr);
        return;
    }
    ASSERT_TRUE(s) << s.reason();
    EXPECT_FALSE(picture->hasAlpha);
    EXPECT_TRUE(SamePixels(picture->pixels, QtDecode(bytes)));
}

INSTANTIATE_TEST_SUITE_P(Files, JpegRead, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Metadata ----------------------------------------------------------------------------------

std::vector<std::uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(JpegMetadata, ExifAndIccComeBackAsStored) {
    const std::string tiff("MM\0*\0\0\0\x08\0\0", 10);
    std::string icc(70000, '\0');  // over one marker's 65519 bytes: two chunks
    for (std::size_t i = 0; i < icc.size(); ++i) icc[i] = char(i * 31 + i / 256);
    const std::string j = Encode({.markers = [&](jpeg_compress_struct& c) {
        jpeg_write_marker(&c, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>("XMP\0x"), 5);
        const std::string exif = std::string("Exif\0\0", 6) + tiff;
        jpeg_write_marker(&c, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(exif.data()),
                          unsigned(exif.size()));
        jpeg_write_icc_profile(&c, reinterpret_cast<const JOCTET*>(icc.data()),
                               unsigned(icc.size()));
    }});
    platform::Picture picture;
    formats::JpegMetadata metadata;
    ASSERT_TRUE(formats::ReadJpeg(j, picture, &metadata));
    EXPECT_EQ(metadata.exif, Bytes(tiff));
    EXPECT_EQ(metadata.icc, Bytes(icc));
    EXPECT_EQ(picture.pixels.width(), 64);
}

TEST(JpegMetadata, BrokenIccChunksGiveNoProfileAndThePictureLoads) {
    // One chunk of a profile that claims two.
    const std::string j = Encode({.markers = [](jpeg_compress_struct& c) {
        const std::string chunk = std::string("ICC_PROFILE\0\x01\x02", 14) + "abcd";
        jpeg_write_marker(&c, JPEG_APP0 + 2, reinterpret_cast<const JOCTET*>(chunk.data()),
                          unsigned(chunk.size()));
    }});
    platform::Picture picture;
    formats::JpegMetadata metadata{.exif = {1}, .icc = {2}};
    ASSERT_TRUE(formats::ReadJpeg(j, picture, &metadata));
    EXPECT_TRUE(metadata.exif.empty());
    EXPECT_TRUE(metadata.icc.empty());
}

// ---- The public suite, where present -----------------------------------------------------------

// GLIMBRA_TESTDATA names the folder of the public image test suites (EXPECTED.tsv at its top).
// Every JPEG row there must load through the loader to Qt's pixels, or be refused where Qt also
// fails or the row allows a refusal (anything but "decode").
TEST(JpegSuite, SameAsQtForEveryFile) {
    const char* root = std::getenv("GLIMBRA_TESTDATA");
    if (!root || !std::filesystem::exists(std::string(root) + "/EXPECTED.tsv"))
        GTEST_SKIP() << "GLIMBRA_TESTDATA does not name the test-data folder";
    std::ifstream tsv(std::string(root) + "/EXPECTED.tsv");
    int same = 0, refusedAsQt = 0, refusedOk = 0, total = 0;
    for (std::string line; std::getline(tsv, line);) {
        std::istringstream fields(line);
        std::string path, format, expect;
        std::getline(fields, path, '\t'), std::getline(fields, format, '\t');
        std::getline(fields, expect, '\t');
        if (format != "jpeg") continue;
        SCOPED_TRACE(path);
        ++total;
        const std::string file = std::string(root) + "/" + path;
        std::shared_ptr<const platform::Picture> picture;
        const platform::Status s = platform::LoadPicture(file, picture);
        const platform::Bitmap qt = QtDecode(testing_support::ReadBytes(file));
        if (s) {
            EXPECT_TRUE(SamePixels(picture->pixels, qt));
            ++same;
        } else if (qt.empty()) {
            ++refusedAsQt;
        } else {
            EXPECT_NE(expect, "decode") << s.reason();
            ++refusedOk;
            std::printf("[ refused  ] %s (%s): %s\n", path.c_str(), expect.c_str(),
                        s.reason().c_str());
        }
    }
    std::printf(
        "[ counts   ] %d JPEG rows: %d same as Qt, %d refused as by Qt, %d refused where "
        "Qt decodes (none of them \"decode\")\n",
        total, same, refusedAsQt, refusedOk);
}

}  // namespace
