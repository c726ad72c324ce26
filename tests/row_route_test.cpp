// The row route against the whole-picture route: every source kind that goes by rows, tiled and
// stretched, into every writer by rows, at sizes around the edges of bands, gives the very file
// that loading the source whole, ComposeImage and WriteResultFile give, on 1, 2 and 5 cores.
// Also: which sources go by rows, and a source that breaks half way leaves no file behind.

#include <gtest/gtest.h>
#include <spng.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

// After <cstdio>: jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "compose/compose_image.h"
#include "compose/slots.h"
#include "formats/row_reader.h"
#include "imagefiles/compose_rows.h"
#include "imagefiles/load_image.h"
#include "imagefiles/save_result.h"
#include "platform/parallel.h"
#include "test_support.h"

namespace {

using testing_support::LittleEndian;
using testing_support::MakePattern;
using testing_support::MakeSmooth;
using testing_support::ReadBytes;
using testing_support::TempDir;
using testing_support::WriteBytes;
using Bytes = std::vector<std::uint8_t>;

// ---- Sources -----------------------------------------------------------------------------------

// EXIF holding the orientation and a pixel width (which the result must set to its own).
std::string Exif(int orientation, std::uint32_t pixelWidth) {
    // clang-format off
    const unsigned char tiff[] = {
        'I', 'I', 42, 0, 8, 0, 0, 0,                                        // IFD0 at 8
        2, 0,                                                               // two entries:
        0x12, 1, 3, 0, 1, 0, 0, 0, std::uint8_t(orientation), 0, 0, 0,      //   Orientation
        0x69, 0x87, 4, 0, 1, 0, 0, 0, 38, 0, 0, 0,                          //   Exif IFD at 38
        0, 0, 0, 0,                                                         // no IFD1
        1, 0,                                                               // Exif IFD, one entry:
        2, 0xA0, 4, 0, 1, 0, 0, 0,                                          //   PixelXDimension
        std::uint8_t(pixelWidth), std::uint8_t(pixelWidth >> 8), 0, 0,
        0, 0, 0, 0};
    // clang-format on
    return std::string(reinterpret_cast<const char*>(tiff), sizeof tiff);
}

// A profile that passes as whole: its size in the header, "acsp" at 36, no tags.
std::string Profile(std::size_t size) {
    std::string p(size, '\0');
    for (std::size_t i = 128; i < size; ++i) p[i] = char(i * 7);
    for (int i = 0; i < 4; ++i) p[std::size_t(i)] = char(size >> (24 - 8 * i));
    std::memcpy(p.data() + 36, "acsp", 4);
    return p;
}

std::string Jpeg(const platform::Bitmap& pixels, bool progressive, int orientation = 0,
                 bool meta = false) {
    jpeg_compress_struct ci{};
    jpeg_error_mgr err{};
    ci.err = jpeg_std_error(&err);
    jpeg_create_compress(&ci);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&ci, &out, &size);
    ci.image_width = JDIMENSION(pixels.width());
    ci.image_height = JDIMENSION(pixels.height());
    ci.input_components = 4;
    ci.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&ci);
    jpeg_set_quality(&ci, 90, TRUE);
    if (progressive) jpeg_simple_progression(&ci);
    jpeg_start_compress(&ci, TRUE);
    if (orientation || meta) {
        const std::string exif = std::string("Exif\0\0", 6) + Exif(orientation ? orientation : 1, 
                                                                    std::uint32_t(pixels.width()));
        jpeg_write_marker(&ci, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(exif.data()),
                          unsigned(exif.size()));
    }
    if (meta) {
        const std::string icc = Profile(300);
        jpeg_write_icc_profile(&ci, reinterpret_cast<const JOCTET*>(icc.data()), unsigned(icc.size()));
    }
    for (int y = 0; y < pixels.height(); ++y) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<std::uint32_t*>(pixels.row(y)));
        jpeg_write_scanlines(&ci, &row, 1);
    }
    jpeg_finish_compress(&ci);
    jpeg_destroy_compress(&ci);
    std::string file(reinterpret_cast<char*>(out), size);
    std::free(out);
    return file;
}

// RGBA (8 or 16 bits a channel), with some translucent pixels, and the metadata chunks.
std::string Png(const platform::Bitmap& pixels, int depth, bool interlaced, bool meta = false) {
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{std::uint32_t(pixels.width()), std::uint32_t(pixels.height()),
                   std::uint8_t(depth), SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 0, 0,
                   std::uint8_t(interlaced ? 1 : 0)};
    spng_set_ihdr(ctx, &ihdr);
    std::string exif = Exif(1, std::uint32_t(pixels.width())), icc = Profile(200);
    spng_exif e{exif.size(), exif.data()};
    spng_iccp p{"Camera", icc.size(), icc.data()};
    if (meta) {
        spng_set_exif(ctx, &e);
        spng_set_iccp(ctx, &p);
    }
    std::vector<unsigned char> data;
    for (std::size_t i = 0; i < pixels.pixelCount(); ++i) {
        const std::uint32_t v = pixels.data()[i];
        const unsigned char rgba[4] = {std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v),
                                       std::uint8_t(i % 3 == 0 ? v >> 24 : 255)};
        for (unsigned char c : rgba) {
            data.push_back(c);
            if (depth == 16) data.push_back(std::uint8_t(c * 7));
        }
    }
    EXPECT_EQ(spng_encode_image(ctx, data.data(), data.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE), 0);
    std::size_t size = 0;
    int error = 0;
    char* buffer = static_cast<char*>(spng_get_png_buffer(ctx, &size, &error));
    std::string file(buffer, size);
    std::free(buffer);
    spng_ctx_free(ctx);
    return file;
}

// Uncompressed BMP: 16 bits (5-5-5), 24 bits, or 32 bits with an alpha mask, stored top-down.
std::string Bmp(const platform::Bitmap& pixels, int bits) {
    const int w = pixels.width(), h = pixels.height();
    const std::uint32_t headerSize = bits == 32 ? 56 : 40;
    const std::uint32_t offset = 14 + headerSize;
    const std::uint32_t stride = (std::uint32_t(w) * std::uint32_t(bits) + 31) / 32 * 4;
    std::string f = "BM" + LittleEndian(offset + stride * std::uint32_t(h), 4) +
                    LittleEndian(0, 4) + LittleEndian(offset, 4);
    f += LittleEndian(headerSize, 4) + LittleEndian(std::uint32_t(w), 4) +
         LittleEndian(std::uint32_t(bits == 32 ? -h : h), 4) + LittleEndian(1, 2) +
         LittleEndian(std::uint32_t(bits), 2) + LittleEndian(bits == 32 ? 3 : 0, 4) +
         LittleEndian(stride * std::uint32_t(h), 4) + std::string(16, '\0');
    if (bits == 32) f += LittleEndian(0xFF0000, 4) + LittleEndian(0xFF00, 4) +
                         LittleEndian(0xFF, 4) + LittleEndian(0xFF000000u, 4);
    for (int r = 0; r < h; ++r) {
        const int y = bits == 32 ? r : h - 1 - r;
        std::string row;
        for (int x = 0; x < w; ++x) {
            const std::uint32_t v = pixels.at(x, y);
            if (bits == 16) {
                row += LittleEndian(((v >> 19) & 31) << 10 | ((v >> 11) & 31) << 5 | ((v >> 3) & 31), 2);
            } else if (bits == 24) {
                row += LittleEndian(v & 0xFFFFFF, 3);
            } else {
                row += LittleEndian((x + y) % 4 == 0 ? (v & 0xFFFFFF) | 0x80000000u : v | 0xFF000000u, 4);
            }
        }
        row.resize(stride, '\0');
        f += row;
    }
    return f;
}

enum class Kind { JpegBaseline, JpegProgressive, Png8, Png16, Bmp16, Bmp24, Bmp32 };
const char* Name(Kind k) {
    static const char* names[] = {"JpegBaseline", "JpegProgressive", "Png8", "Png16",
                                  "Bmp16", "Bmp24", "Bmp32"};
    return names[int(k)];
}

// The source file of a kind, and its name (".png" for PNG, as the loader routes by name).
std::string WriteSource(const TempDir& dir, Kind kind, int w, int h, bool meta) {
    const platform::Bitmap pixels = (w > 8 && h > 8) ? MakeSmooth(w, h) : MakePattern(w, h, 7);
    switch (kind) {
        case Kind::JpegBaseline:
        case Kind::JpegProgressive: {
            const std::string path = dir.file("source.jpg");
            WriteBytes(path, Jpeg(pixels, kind == Kind::JpegProgressive, 0, meta));
            return path;
        }
        case Kind::Png8:
        case Kind::Png16: {
            const std::string path = dir.file("source.png");
            WriteBytes(path, Png(pixels, kind == Kind::Png16 ? 16 : 8, false, meta));
            return path;
        }
        default: {
            const std::string path = dir.file("source.bmp");
            WriteBytes(path, Bmp(pixels, kind == Kind::Bmp16 ? 16 : kind == Kind::Bmp24 ? 24 : 32));
            return path;
        }
    }
}

// ---- The two routes ----------------------------------------------------------------------------

struct Output {
    const char* name;
    const char* ext;  // as WriteResultFile takes it
    imagefiles::OutputSettings settings;
};
const Output kOutputs[] = {{"Jpeg50", ".JPG", {50, 0, 1}},
                           {"Jpeg95", ".JPG", {95, 0, 1}},
                           {"PngFastest", ".PNG", {50, 0, 1}},
                           {"PngSmallest", ".PNG", {50, 0, 2}},
                           {"Bmp", ".BMP", {50, 0, 1}}};

std::string WholeRoute(const std::string& source, const std::string& texture, bool tile,
                       const Output& out, const std::string& path) {
    compose::SlotSet slots;
    EXPECT_EQ(basCommon::LoadImageSlot(slots, source, 0), 0);
    EXPECT_EQ(basCommon::LoadImageSlot(slots, texture, 1), 0);
    EXPECT_TRUE(basCommon::ComposeImage(slots, tile ? basCommon::kTrue : basCommon::kFalse));
    const platform::Status s = imagefiles::WriteResultFile(slots.picLoad[2], path, out.ext, out.settings);
    EXPECT_TRUE(s) << s.reason();
    return ReadBytes(path);
}

std::string RowRoute(const std::string& source, const std::string& texture, bool tile,
                     const Output& out, const std::string& path) {
    formats::RowSource rows = formats::OpenRowReader(source);
    EXPECT_TRUE(rows.streamable()) << rows.status.reason();
    if (!rows.streamable()) return {};
    compose::SlotSet slots;
    EXPECT_EQ(basCommon::LoadImageSlot(slots, texture, 1), 0);
    const imagefiles::RowJobResult r = imagefiles::ComposeRowsToFile(
        *rows.reader, slots.picLoad[1].Image(), tile ? basCommon::kTrue : basCommon::kFalse, path,
        out.ext, out.settings);
    EXPECT_TRUE(r.status) << r.status.reason();
    return ReadBytes(path);
}

// ---- Same bytes --------------------------------------------------------------------------------

struct Size {
    const char* name;
    int w, h;
};
// Bands are 1024 rows for narrow pictures and 14 at 70,001 pixels; writers cut theirs at 8 and 16.
const Size kSizes[] = {{"1x1", 1, 1},          {"OneRow", 37, 1},     {"OneColumn", 1, 37},
                       {"Odd", 33, 17},        {"Band", 5, 1024},     {"BandLess1", 5, 1023},
                       {"BandPlus1", 5, 1025}, {"Wide", 70001, 15},   {"Mcu", 48, 32}};

struct Case {
    Kind kind;
    bool tile;
    Size size;
};
void PrintTo(const Case& c, std::ostream* os) {
    *os << Name(c.kind) << (c.tile ? "_Tile_" : "_Stretch_") << c.size.name;
}

class SameBytes : public ::testing::TestWithParam<Case> {
protected:
    void TearDown() override { platform::SetWorkerCount(0); }
};

TEST_P(SameBytes, AsTheWholePictureRoute) {
    const Case c = GetParam();
    TempDir dir;
    const bool meta = c.size.w == 33;  // profile and EXIF on the odd size
    const std::string source = WriteSource(dir, c.kind, c.size.w, c.size.h, meta);
    // A texture larger than the source where the source is small.
    const std::string texture = dir.file("texture.png");
    const int tw = c.size.w > 40 ? 19 : 64, th = c.size.h > 40 ? 23 : 48;
    WriteBytes(texture, Png(MakePattern(tw, th, 3), 8, false));
    for (const Output& out : kOutputs) {
        if (c.size.w > 65500 && std::strcmp(out.ext, ".JPG") == 0) continue;
        // The other settings of a writer cut the same bands: tried on two sizes.
        const bool firstOfFormat = out.name == std::string("Jpeg50") ||
                                   out.name == std::string("PngFastest") ||
                                   out.name == std::string("Bmp");
        if (!firstOfFormat && c.size.w != 33 && c.size.w != 48) continue;
        for (int workers : {1, 2, 5}) {
            platform::SetWorkerCount(workers);
            SCOPED_TRACE(std::string(out.name) + " on " + std::to_string(workers) + " cores");
            const std::string whole = WholeRoute(source, texture, c.tile, out, dir.file("whole"));
            const std::string rows = RowRoute(source, texture, c.tile, out, dir.file("rows"));
            ASSERT_FALSE(whole.empty());
            ASSERT_TRUE(whole == rows) << "files differ (" << whole.size() << " and "
                                       << rows.size() << " bytes)";
        }
    }
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    for (Kind k : {Kind::JpegBaseline, Kind::JpegProgressive, Kind::Png8, Kind::Png16, Kind::Bmp16,
                   Kind::Bmp24, Kind::Bmp32}) {
        for (bool tile : {true, false}) {
            for (const Size& s : kSizes) {
                // JPEG stops at 65,500 pixels a side; the very wide bands are the same for every
                // kind that can have them.
                if (s.w > 65500 && k != Kind::Png8 && k != Kind::Bmp24) continue;
                cases.push_back({k, tile, s});
            }
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Table, SameBytes, ::testing::ValuesIn(Cases()),
                         [](const auto& info) {
                             const Case& c = info.param;
                             return std::string(Name(c.kind)) + (c.tile ? "_Tile_" : "_Stretch_") +
                                    c.size.name;
                         });

// ---- Which route -------------------------------------------------------------------------------

struct RouteCase {
    const char* name;
    std::string (*make)();
    const char* file;
    bool streamable;
};
void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.name; }

class Route : public ::testing::TestWithParam<RouteCase> {};

// Streamable sources give, by rows, the file that the whole route gives; the others are left to
// the whole route, without a refusal.
TEST_P(Route, IsChosenByWhatTheFileNeeds) {
    const RouteCase& c = GetParam();
    TempDir dir;
    const std::string source = dir.file(c.file);
    WriteBytes(source, c.make());
    formats::RowSource rows = formats::OpenRowReader(source);
    EXPECT_TRUE(rows.status) << rows.status.reason();
    ASSERT_EQ(rows.streamable(), c.streamable);
    if (!c.streamable) return;
    rows.reader.reset();
    const std::string texture = dir.file("texture.png");
    WriteBytes(texture, Png(MakePattern(7, 5, 3), 8, false));
    const Output& out = kOutputs[0];
    EXPECT_EQ(RowRoute(source, texture, true, out, dir.file("rows.jpg")),
              WholeRoute(source, texture, true, out, dir.file("whole.jpg")));
}

const platform::Bitmap& Picture() {
    static const platform::Bitmap b = MakeSmooth(40, 24);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Sources, Route,
    ::testing::Values(
        RouteCase{"JpegMirrored", [] { return Jpeg(Picture(), false, 2); }, "s.jpg", true},
        RouteCase{"JpegTurned", [] { return Jpeg(Picture(), false, 6); }, "s.jpg", false},
        RouteCase{"JpegUpsideDown", [] { return Jpeg(Picture(), true, 3); }, "s.jpg", false},
        RouteCase{"PngInterlaced", [] { return Png(Picture(), 8, true); }, "s.png", false},
        RouteCase{"PngNamedJpg", [] { return Png(Picture(), 8, false); }, "s.jpg", false},
        RouteCase{"JpegNamedPng", [] { return Jpeg(Picture(), false); }, "s.png", false},
        RouteCase{"Gif", [] { return std::string("GIF89a", 6) + std::string(20, '\0'); }, "s.gif",
                  false},
        RouteCase{"BmpPalette",
                  [] {
                      std::string f = Bmp(Picture(), 24);
                      f[28] = 8;  // 8 bits a pixel: a palette bitmap
                      return f;
                  },
                  "s.bmp", false}),
    [](const auto& info) { return std::string(info.param.name); });

// Progressive JPEG output keeps the whole route: libjpeg holds the whole picture for it.
TEST(Route, ProgressiveJpegIsNotWrittenByRows) {
    EXPECT_FALSE(imagefiles::WritesByRows(".JPG", {50, -1, 1}));
    EXPECT_TRUE(imagefiles::WritesByRows(".JPG", {50, 0, 1}));
    EXPECT_TRUE(imagefiles::WritesByRows(".PNG", {50, -1, 2}));
}

// ---- Breaking half way -------------------------------------------------------------------------

// A source cut (or damaged) after some rows were written fails with the whole route's reason and
// leaves neither the output nor a temporary file; an existing output keeps its contents.
TEST(RowRoute, SourceBrokenHalfWayLeavesNoFile) {
    TempDir dir;
    const std::string whole = Jpeg(MakeSmooth(64, 3000), false);
    const std::string texture = dir.file("texture.png");
    WriteBytes(texture, Png(MakePattern(7, 5, 3), 8, false));
    for (const bool existing : {false, true}) {
        const std::string source = dir.file("cut.jpg");
        WriteBytes(source, whole.substr(0, whole.size() / 2));
        const std::string output = dir.file("out.jpg");
        if (existing) WriteBytes(output, "old");
        formats::RowSource rows = formats::OpenRowReader(source);
        ASSERT_TRUE(rows.streamable());
        compose::SlotSet slots;
        ASSERT_EQ(basCommon::LoadImageSlot(slots, texture, 1), 0);
        const imagefiles::RowJobResult r = imagefiles::ComposeRowsToFile(
            *rows.reader, slots.picLoad[1].Image(), basCommon::kTrue, output, ".JPG", {50, 0, 1});
        EXPECT_FALSE(r.status);
        EXPECT_TRUE(r.sourceFailed);
        std::string reason;
        compose::SlotSet whole;
        EXPECT_EQ(basCommon::LoadImageSlot(whole, source, 0, &reason), 1);
        EXPECT_EQ(r.status.reason(), reason);
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        const std::vector<std::string> expected =
            existing ? std::vector<std::string>{"cut.jpg", "out.jpg", "texture.png"}
                     : std::vector<std::string>{"cut.jpg", "texture.png"};
        EXPECT_EQ(names, expected);
        if (existing) {
            EXPECT_EQ(ReadBytes(output), "old");
        }
        std::filesystem::remove(output);
    }
}

}  // namespace
