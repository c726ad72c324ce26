// Loading image files into the slots: every format the program reads, written by our own writers,
// by Qt or by the small writers below, loaded through LoadImageSlot and compared with the pixels
// the writer was given. Failing loads must leave the slot exactly as it was.

#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <bit>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "compose/slots.h"
#include "imagefiles/load_image.h"
#include "platform/bmp_read.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using namespace std::string_literals;
using platform::Bitmap;

std::string Le(std::uint64_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += char(v >> 8 * i);
    return s;
}

Bitmap Make(int w, int h, std::uint32_t (*pixel)(int, int)) {
    Bitmap b = MakePattern(w, h, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) b.at(x, y) = pixel(x, y);
    return b;
}

std::uint32_t Noise(int x, int y) { return PatternPixel(x, y, 41); }
std::uint32_t Palette16(int x, int y) { return PatternPixel((x * 5 + y) % 16, 0, 77); }
std::uint32_t Holey(int x, int y) { return (x + y) % 3 ? PatternPixel(x, y, 5) : 0; }  // alpha 0
std::uint32_t HoleyGif(int x, int y) { return (x * 5 + y) % 16 == 3 ? 0 : Palette16(x, y); }
std::uint32_t Smooth(int x, int y) {
    return platform::Rgb(std::uint8_t(x * 4), std::uint8_t(y * 4), 128);
}
// Channels of 0 and 255 only, which every channel width holds exactly.
std::uint32_t TwoLevel(int x, int y) {
    return platform::kOpaque | ((PatternPixel(x, y, 40) & 0x808080u) >> 7) * 0xFFu;
}

// ---- Writers -----------------------------------------------------------------------------------

// A direct-colour BMP. Each channel is packed as v * max / 255, exact for 8-bit channels and for
// 0 and 255. The masks go where files keep them: in a longer header, or after a 40-byte one with
// bit fields.
struct Direct {
    int bits;                   // 16, 24 or 32
    std::uint32_t compression;  // 0 plain, 3 bit fields, 6 bit fields with alpha
    std::uint32_t header;       // 40, 52, 56, 108 or 124 bytes
    std::uint32_t masks[4];     // red, green, blue, alpha
    bool topDown = false;
};
constexpr Direct k555{16, 0, 40, {0x7C00, 0x03E0, 0x001F, 0}};
constexpr Direct k565TopDown{16, 3, 40, {0xF800, 0x07E0, 0x001F, 0}, true};
constexpr Direct k4444V3{16, 3, 56, {0xF00, 0xF0, 0xF, 0xF000}};
constexpr Direct k1555V5{16, 3, 124, {0x7C00, 0x3E0, 0x1F, 0x8000}};
constexpr Direct k2101010V5{32, 3, 124, {0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000}};
constexpr Direct kArgbV5{32, 3, 124, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}};
constexpr Direct kXrgb{32, 0, 40, {0xFF0000, 0xFF00, 0xFF, 0}};
constexpr Direct kArgbPlainV5{32, 0, 124, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}};

std::string DirectBmp(const Bitmap& img, const Direct& d) {
    const std::uint32_t w = std::uint32_t(img.width()), h = std::uint32_t(img.height());
    const std::uint32_t stride = (w * std::uint32_t(d.bits) + 31) / 32 * 4;
    const std::uint32_t offset =
        14 + d.header + (d.header == 40 && d.compression ? (d.compression == 6 ? 16 : 12) : 0);
    std::string s = "BM" + Le(offset + stride * h, 4) + Le(0, 4) + Le(offset, 4) + Le(d.header, 4) +
                    Le(w, 4) + Le(d.topDown ? 0 - h : h, 4) + Le(1, 2) +
                    Le(std::uint32_t(d.bits), 2) + Le(d.compression, 4) + Le(stride * h, 4) +
                    Le(2835, 4) + Le(2835, 4) + Le(0, 8);
    for (std::uint32_t m : d.masks) s += Le(m, 4);
    s.resize(offset, '\0');                          // drops the masks of a plain 40-byte file
    static constexpr int kFrom[4] = {16, 8, 0, 24};  // where a Bitmap keeps red, green, blue, alpha
    for (std::uint32_t r = 0; r < h; ++r) {
        std::string row;
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint32_t p = img.at(int(x), int(d.topDown ? r : h - 1 - r));
            std::uint32_t packed = d.bits == 24 ? p : 0;
            for (int c = 0; c < 4 && d.bits != 24; ++c) {
                const std::uint32_t m = d.masks[c],
                                    low = m ? std::uint32_t(std::countr_zero(m)) : 0;
                packed |= ((p >> kFrom[c] & 0xFF) * (m >> low) + 127) / 255 << low;
            }
            row += Le(packed, d.bits / 8);
        }
        s += row + std::string(stride - row.size(), '\0');
    }
    return s;
}

// A GIF of img: a global table of its colours, entry 0 transparent when some pixel has alpha 0.
// Every pixel is its own 9-bit LZW code, with a clear code before wider codes would be needed:
// valid, just not small.
std::string Gif(const Bitmap& img) {
    std::vector<std::uint32_t> table{0};
    std::string data, s = "GIF89a" + Le(std::uint32_t(img.width()), 2) +
                          Le(std::uint32_t(img.height()), 2) + "\xF7\0\0"s;
    std::uint32_t acc = 0, bits = 0, n = 0;
    const auto code = [&](std::uint32_t c) {
        for (acc |= c << bits, bits += 9; bits >= 8; bits -= 8, acc >>= 8) data += char(acc);
    };
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const std::uint32_t p = img.at(x, y) >> 24 ? img.at(x, y) : 0;
            if (std::find(table.begin(), table.end(), p) == table.end()) table.push_back(p);
            if (n++ % 254 == 0) code(256);
            code(std::uint32_t(std::find(table.begin(), table.end(), p) - table.begin()));
        }
    }
    code(257);
    if (bits) data += char(acc);
    table.resize(256);
    for (std::uint32_t c : table) s += {char(c >> 16), char(c >> 8), char(c)};
    if (std::count(table.begin(), table.end(), 0u) > 0)
        s += "\x21\xF9\x04\x01\0\0\0\0"s;  // index 0 clear
    s += "," + Le(0, 4) + s.substr(6, 4) + "\0\x08"s;
    for (std::size_t at = 0; at < data.size(); at += 255)
        s += char(std::min<std::size_t>(255, data.size() - at)) + data.substr(at, 255);
    return s + "\0;"s;
}

std::string QtBytes(const Bitmap& b, const char* format,
                    QImage::Format as = QImage::Format_ARGB32) {
    // A palette for at most 256 colours is made exactly only from an image without alpha.
    const QImage q(reinterpret_cast<const uchar*>(b.data()), b.width(), b.height(),
                   as == QImage::Format_ARGB32 ? as : QImage::Format_RGB32);
    TempDir tmp;
    EXPECT_TRUE(q.convertToFormat(as).save(QString::fromStdString(tmp.file("x")), format, 95))
        << format;
    return ReadBytes(tmp.file("x"));
}

// Two one-entry icons as Qt writes them (32 bits with alpha) joined into one: the larger entry
// must be shown.
std::string TwoEntryIco(const std::string& small, const std::string& large) {
    std::string dir = small.substr(0, 4) + Le(2, 2), data;
    for (const std::string* one : {&small, &large}) {
        dir += one->substr(6, 12) + Le(std::uint32_t(6 + 32 + data.size()), 4);
        data += one->substr(22);
    }
    return dir + data;
}

// ---- Loading each format --------------------------------------------------------------------

struct FormatCase {
    const char* name;
    const char* file;
    int width, height;
    std::uint32_t (*pixel)(int, int);     // alpha 0 marks a transparent pixel
    std::string (*write)(const Bitmap&);  // the file's bytes; null: our own BMP writer
    int tolerance = 0;
};

const FormatCase kFormats[] = {
    {"Bmp24", "a.bmp", 37, 23, Noise, nullptr},
    {"Bmp32", "a.bmp", 31, 17, Noise, [](auto& b) { return DirectBmp(b, kXrgb); }},
    {"Bmp8Palette", "a.bmp", 29, 19, Palette16,
     [](auto& b) { return QtBytes(b, "BMP", QImage::Format_Indexed8); }},
    // Direct-colour layouts, read by our own reader. Widths 1 to 3 give every row padding.
    {"Bmp16Plain", "a.bmp", 7, 5, TwoLevel, [](auto& b) { return DirectBmp(b, k555); }},
    {"Bmp16Fields565TopDown", "a.bmp", 5, 4, TwoLevel,
     [](auto& b) { return DirectBmp(b, k565TopDown); }},
    {"Bmp32FieldsOddOrder", "a.bmp", 9, 3, Noise,
     [](auto& b) {
         return DirectBmp(b, {32, 3, 40, {0xFF000000, 0xFF0, 0xFF0000, 0}});
     }},
    {"Bmp32AlphaFields", "a.bmp", 3, 2, Noise,
     [](auto& b) {
         return DirectBmp(b, {32, 6, 40, {0xFF00, 0xFF0000, 0xFF000000, 0xFF}});
     }},
    {"Bmp32Header52", "a.bmp", 3, 3, Noise,
     [](auto& b) {
         return DirectBmp(b, {32, 3, 52, {0xFF, 0xFF00, 0xFF0000}});
     }},
    {"Bmp16Header56", "a.bmp", 6, 6, TwoLevel, [](auto& b) { return DirectBmp(b, k4444V3); }},
    {"Bmp24Header108Width1", "a.bmp", 1, 4, Noise,
     [](auto& b) {
         return DirectBmp(b, {24, 0, 108, {}, true});
     }},
    {"Bmp32Header124", "a.bmp", 4, 4, Holey, [](auto& b) { return DirectBmp(b, kArgbV5); }},
    // Some writers leave out the last row's padding: the last row needs only its pixels.
    {"Bmp24LastPaddingLeftOut", "a.bmp", 3, 2, Noise,
     [](auto& b) {
         const std::string s = DirectBmp(b, {24, 0, 40, {}});
         return s.substr(0, s.size() - 3);
     }},
    {"BmpNamedJpg", "bitmap.jpg", 8, 8, Noise, nullptr},  // content decides, not the name
    {"Gif", "a.gif", 33, 21, Palette16, Gif},
    {"GifTransparent", "a.gif", 24, 9, HoleyGif, Gif},
    {"IcoAlpha", "a.ico", 32, 32, Holey,
     [](auto& b) { return TwoEntryIco(QtBytes(Make(16, 16, Noise), "ICO"), QtBytes(b, "ICO")); }},
    {"Png", "a.png", 45, 27, Holey, [](auto& b) { return QtBytes(b, "PNG"); }},
    {"PngMixedCaseName", "a.PnG", 12, 7, Noise, [](auto& b) { return QtBytes(b, "PNG"); }},
    {"Jpeg", "a.jpg", 40, 30, Smooth, [](auto& b) { return QtBytes(b, "JPEG"); }, 8},
    {"JapanesePathWithBlanks", "画像 フォルダ/写真 1.bmp", 9, 5, Noise, nullptr},
};

class LoadFormat : public testing::TestWithParam<FormatCase> {};

// Transparent pixels show the slot's white background; every pixel shown is opaque.
TEST_P(LoadFormat, PixelsSizeAndPathLandInTheSlot) {
    const FormatCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file(c.file);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const Bitmap image = Make(c.width, c.height, c.pixel);
    if (c.write)
        WriteBytes(path, c.write(image));
    else
        ASSERT_TRUE(codec::SavePicture(image, path).ok());
    Bitmap want = Make(c.width, c.height, c.pixel);
    for (int i = 0; i < c.width * c.height; ++i)
        if (want.data()[i] >> 24 == 0) want.data()[i] = platform::kWhite;
    for (std::int16_t index : {0, 1}) {
        compose::SlotSet slotSet;
        std::string reason;
        ASSERT_EQ(basCommon::LoadImageSlot(slotSet, path, index, &reason), 0) << reason;
        const Bitmap& got = slotSet.picLoad[std::size_t(index)].Image();
        ASSERT_EQ(got.width() * 1000 + got.height(), c.width * 1000 + c.height);
        EXPECT_EQ(slotSet.FLD[std::size_t(index)], path);
        EXPECT_LE(ChannelDifference(want, got), c.tolerance);
        EXPECT_TRUE(std::all_of(got.data(), got.data() + got.pixelCount(),
                                [](std::uint32_t p) { return p >> 24 == 0xFF; }));
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, LoadFormat, testing::ValuesIn(kFormats),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Failing loads leave the slot alone --------------------------------------------------------

struct FailCase {
    const char* name;
    const char* file;
    std::string (*make)();  // the file's bytes; "<missing>" and "<folder>" for no file and a folder
};

std::string GoodBmp() { return DirectBmp(Make(20, 10, Noise), {24, 0, 40, {}}); }
std::string GoodGif() { return Gif(Make(20, 10, Palette16)); }
std::string GoodJpeg() { return QtBytes(Make(64, 48, Smooth), "JPEG"); }
std::string GoodPng() { return QtBytes(Make(20, 10, Smooth), "PNG"); }

const FailCase kFailures[] = {
    {"Missing", "none.bmp", [] { return "<missing>"s; }},
    {"Folder", "folder.bmp", [] { return "<folder>"s; }},
    {"FolderNamedPng", "folder.png", [] { return "<folder>"s; }},
    {"Empty", "empty.gif", [] { return ""s; }},
    {"EmptyPng", "empty.png", [] { return ""s; }},
    {"TruncatedBmp", "cut.bmp", [] { return GoodBmp().substr(0, 300); }},
    {"TruncatedGif", "cut.gif", [] { return GoodGif().substr(0, 13 + 768 + 40); }},
    {"TruncatedJpeg", "cut.jpg", [] { return GoodJpeg().substr(0, GoodJpeg().size() * 3 / 4); }},
    {"TruncatedPng", "cut.png", [] { return GoodPng().substr(0, 60); }},
    {"UnknownFormat", "flip.bmp", [] { return "BN" + GoodBmp().substr(2); }},
    {"BadPngSignature", "flip.png", [] { return "\x89Png" + GoodPng().substr(4); }},
    {"JpegNamedPng", "photo.png", GoodJpeg},
    // A trailing blank sends the name to the picture loader, which does not read PNG.
    {"PngWithTrailingBlank", "a.png ", GoodPng},
    // Sizes far beyond the pixel limit, refused before anything is allocated for them.
    {"HugeBmp", "huge.bmp",
     [] { return GoodBmp().substr(0, 18) + Le(100000, 4) + Le(100000, 4) + GoodBmp().substr(26); }},
    {"HugeGifScreen", "huge.gif", [] { return "GIF89a\xFF\xFF\xFF\xFF"s + GoodGif().substr(10); }},
    {"HugePng", "huge.png", [] { return WithPngSize(GoodPng(), 100000, 100000); }},
    // Nothing but comment extensions, thousands deep: refused, and quickly.
    {"GifOfEndlessExtensions", "ext.gif",
     [] {
         std::string s = GoodGif().substr(0, 13 + 768);
         for (int i = 0; i < 200000; ++i) s += "\x21\xFE\x01x\0"s;
         return s;
     }},
};

class LoadFails : public testing::TestWithParam<FailCase> {};

TEST_P(LoadFails, ReturnsOneWithAReasonAndKeepsTheSlot) {
    TempDir dir;
    const std::string before = dir.file("before.bmp"), path = dir.file(GetParam().file);
    WriteBytes(before, GoodBmp());
    const std::string bytes = GetParam().make();
    if (bytes == "<folder>") std::filesystem::create_directory(path);
    if (bytes[0] != '<') WriteBytes(path, bytes);
    for (std::int16_t index : {0, 1}) {
        compose::SlotSet slotSet;
        ASSERT_EQ(basCommon::LoadImageSlot(slotSet, before, index), 0);
        const Bitmap& slot = slotSet.picLoad[std::size_t(index)].Image();
        const std::vector<std::uint32_t> pixels(slot.data(), slot.data() + slot.pixelCount());
        std::string reason;
        EXPECT_EQ(basCommon::LoadImageSlot(slotSet, path, index, &reason), 1);
        EXPECT_FALSE(reason.empty());
        EXPECT_EQ(slotSet.FLD[std::size_t(index)], before);
        const Bitmap& after = slotSet.picLoad[std::size_t(index)].Image();
        ASSERT_EQ(after.width() * 1000 + after.height(), 20010);
        EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), after.data()));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, LoadFails, testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The PNG route ----------------------------------------------------------------------------

// The header's width needs 17 bits: the slot must take the whole number, not its lower half.
TEST(LoadPng, WidthBeyondSixteenBitsSizesTheSlotInFull) {
    TempDir dir;
    const Bitmap wide = MakePattern(70000, 1, 12);
    WriteBytes(dir.file("wide.png"), QtBytes(wide, "PNG"));
    compose::SlotSet slotSet;
    std::string reason;
    ASSERT_EQ(basCommon::LoadImageSlot(slotSet, dir.file("wide.png"), 0, &reason), 0) << reason;
    EXPECT_EQ(slotSet.picLoad[0].Width(), 70000);
    EXPECT_EQ(slotSet.picLoad[0].Image().at(69999, 0), wide.at(69999, 0));
}

// A PNG loaded after a BMP picture takes its own size, and its transparent pixels show that
// picture beneath; a BMP loaded after it replaces it whole.
TEST(LoadPng, DrawsOverThePictureOfAnEarlierLoad) {
    TempDir dir;
    const Bitmap under = MakePattern(30, 20, 21), over = Make(16, 12, Holey),
                 last = MakePattern(5, 4, 32);
    ASSERT_TRUE(codec::SavePicture(under, dir.file("under.bmp")).ok());
    WriteBytes(dir.file("over.png"), QtBytes(over, "PNG"));
    ASSERT_TRUE(codec::SavePicture(last, dir.file("last.bmp")).ok());
    compose::SlotSet slotSet;
    ASSERT_EQ(basCommon::LoadImageSlot(slotSet, dir.file("under.bmp"), 1), 0);
    ASSERT_EQ(basCommon::LoadImageSlot(slotSet, dir.file("over.png"), 1), 0);
    const Bitmap& slot = slotSet.picLoad[1].Image();
    ASSERT_EQ(slot.width() * 1000 + slot.height(), 16012);
    EXPECT_EQ(slotSet.FLD[1], dir.file("over.png"));
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x)
            ASSERT_EQ(slot.at(x, y), over.at(x, y) >> 24 ? over.at(x, y) : under.at(x, y))
                << x << "," << y;
    ASSERT_EQ(basCommon::LoadImageSlot(slotSet, dir.file("last.bmp"), 1), 0);
    EXPECT_EQ(ChannelDifference(last, slotSet.picLoad[1].Image()), 0);
    EXPECT_EQ(slotSet.picLoad[1].Width() * 1000 + slotSet.picLoad[1].Height(), 5004);
}

// ---- Direct-colour BMPs: values, alpha and broken headers -------------------------------------

// One stored pixel and the 0xAARRGGBB it must give. A channel of w bits holding v gives
// v * 255 / (2^w - 1) rounded to nearest.
struct ValueCase {
    const char* name;
    Direct layout;
    std::uint32_t stored, want;
    bool hasAlpha;
};

const ValueCase kValues[] = {
    {"FiveBitFullScale", k555, 0x7FFF, 0xFFFFFFFF, false},
    {"FiveBitRounds", k555, 3 << 10 | 1 << 5 | 16, 0xFF190884, false},  // 24.7, 8.2, 131.6
    {"SixBitGreen", k565TopDown, 32 << 5 | 1, 0xFF008208, false},       // 129.5, 8.2
    {"FourBitsAndAlpha", k4444V3, 0x18F0, 0x1188FF00, true},
    {"OneBitAlphaClear", k1555V5, 0x001F, 0x000000FF, true},
    {"TenBitsTwoBitAlpha", k2101010V5, 2u << 30 | 1023u << 20 | 512u << 10 | 1, 0xAAFF8000, true},
    {"EmptyMaskReadsZero", {16, 3, 40, {0xFF00, 0xFF, 0, 0}}, 0xFFFF, 0xFFFFFF00, false},
    // Under the 40-byte header the fourth byte of a plain pixel is padding, not alpha; the longer
    // headers' alpha mask counts for plain pixels too.
    {"FourthBytePadding", kXrgb, 0x12345678, 0xFF345678, false},
    {"PlainWithAlphaMask", kArgbPlainV5, 0x12345678, 0x12345678, true},
    {"AllOpaqueIsNoAlpha", kArgbV5, 0xFF345678, 0xFF345678, false},
};

class ReadDirectBmp : public testing::TestWithParam<ValueCase> {};

TEST_P(ReadDirectBmp, GivesTheWorkedValue) {
    const ValueCase& c = GetParam();
    std::string file = DirectBmp(MakePattern(1, 1, 0), c.layout);
    file.replace(file.size() - 4, std::size_t(c.layout.bits / 8), Le(c.stored, c.layout.bits / 8));
    ASSERT_TRUE(platform::IsDirectBmp(file));
    platform::Picture picture;
    const platform::Status s = platform::ReadBmp(file, picture);
    ASSERT_TRUE(s) << s.reason();
    EXPECT_EQ(picture.pixels.at(0, 0), c.want) << std::hex << picture.pixels.at(0, 0);
    EXPECT_EQ(picture.hasAlpha, c.hasAlpha);
}

INSTANTIATE_TEST_SUITE_P(Values, ReadDirectBmp, testing::ValuesIn(kValues),
                         [](const auto& info) { return std::string(info.param.name); });

// A 4x3 file under the 124-byte header, spoilt at one 32-bit field (or cut to a length);
// refused with the reason's first words and the picture left alone.
struct BadCase {
    const char* name;
    std::size_t at, bytes;  // where the value goes and its length; 0 bytes: the file is cut there
    std::uint64_t value;
    const char* reason;
};

const char kTooBig[] = "画像が大きすぎます", kCut[] = "ファイルが途中で切れています",
           kBroken[] = "画像のデータが壊れています (BMP)";
const BadCase kBadHeaders[] = {
    {"HeightMinus2To31", 22, 4, 0x80000000u, kTooBig},
    {"WidthOverLimit", 18, 4, 0x7FFFFFFFu, kTooBig},
    {"RowSizeBeyond32Bits", 18, 8, 200'000'000 | 1ull << 32, kCut},  // width, height 1
    {"OffsetPastEnd", 10, 4, 0xFFFFFFF0u, kCut},
    {"LastByteMissing", 14 + 124 + 48 - 1, 0, 0, kCut},
    {"HeaderCut", 60, 0, 0, kCut},
    {"OffsetInsideHeader", 10, 4, 100, kBroken},
    {"MaskWithGap", 54, 4, 0xF0F0, kBroken},
    {"ZeroWidth", 18, 4, 0, kBroken},
    {"NegativeWidth", 18, 4, 0xFFFFFFFFu, kBroken},
};

class RefuseDirectBmp : public testing::TestWithParam<BadCase> {};

TEST_P(RefuseDirectBmp, NamesTheFault) {
    const BadCase& c = GetParam();
    std::string file = DirectBmp(Make(4, 3, Noise), kArgbV5);
    ASSERT_EQ(file.size(), 14u + 124 + 48);
    file = file.substr(0, c.bytes ? file.size() : c.at)
               .replace(c.at, c.bytes, Le(c.value, int(c.bytes)));
    platform::Picture picture;
    ASSERT_TRUE(picture.pixels.Allocate(1, 1));
    const std::string reason = platform::ReadBmp(file, picture).reason();
    EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << reason;
    EXPECT_EQ(picture.pixels.width(), 1);
}

INSTANTIATE_TEST_SUITE_P(Headers, RefuseDirectBmp, testing::ValuesIn(kBadHeaders),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
