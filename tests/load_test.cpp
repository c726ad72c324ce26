// Loading image files into the slots: every format the program reads, written by our own writers,
// by Qt or by the small writers below, loaded through LoadImageSlot and compared with the pixels
// the writer was given. Failing loads must leave the slot exactly as it was.

#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <bit>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "codec/codec.h"
#include "compose/slots.h"
#include "imagefiles/load_image.h"
#include "formats/bmp_load.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using namespace std::string_literals;
using platform::Bitmap;

constexpr auto Le = LittleEndian;

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
constexpr Direct kArgbPlainV5{32, 0, 124, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}};
constexpr Direct kArgbV5{32, 3, 124, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}};
constexpr Direct kXrgb{32, 0, 40, {0xFF0000, 0xFF00, 0xFF, 0}};

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
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint32_t p = img.at(int(x), int(d.topDown ? r : h - 1 - r));
            std::uint32_t packed = d.bits == 24 ? p : 0;
            for (int c = 0; c < 4 && d.bits != 24; ++c) {
                const std::uint32_t m = d.masks[c],
                                    low = m ? std::uint32_t(std::countr_zero(m)) : 0;
                packed |= ((p >> kFrom[c] & 0xFF) * (m >> low) + 127) / 255 << low;
            }
            s += Le(packed, d.bits / 8);
        }
        s.append(stride - w * std::uint32_t(d.bits) / 8, '\0');
    }
    return s;
}

// A GIF of img: a global table of its colours after entry 0, the transparent one (alpha 0).
// Every pixel is its own 9-bit LZW code, with a clear code before wider codes would be needed:
// valid, just not small.
std::string Gif(const Bitmap& img) {
    std::vector<std::uint32_t> table{0};
    std::string data, s = "GIF89a" + Le(std::uint32_t(img.width()), 2) +
                          Le(std::uint32_t(img.height()), 2) + "\xF7\0\0"s;
    std::uint32_t acc = 0, bits = 0;
    const auto code = [&](std::uint32_t c) {
        for (acc |= c << bits, bits += 9; bits >= 8; bits -= 8, acc >>= 8) data += char(acc);
    };
    for (std::size_t i = 0; i < img.pixelCount(); ++i) {
        const std::uint32_t p = img.data()[i] >> 24 ? img.data()[i] : 0;
        if (std::find(table.begin(), table.end(), p) == table.end()) table.push_back(p);
        if (i % 254 == 0) code(256);
        code(std::uint32_t(std::find(table.begin(), table.end(), p) - table.begin()));
    }
    code(257);
    if (bits) data += char(acc);
    table.resize(256);
    for (std::uint32_t c : table) s += {char(c >> 16), char(c >> 8), char(c)};
    s += "\x21\xF9\x04\x01\0\0\0\0,"s + Le(0, 4) + s.substr(6, 4) + "\0\x08"s;
    for (std::size_t at = 0; at < data.size(); at += 255)
        s += char(std::min<std::size_t>(255, data.size() - at)) + data.substr(at, 255);
    return s + "\0;"s;
}

// Qt's writer of the given format. A palette for at most 256 colours is made exactly only from an
// image without alpha.
using Writer = std::function<std::string(const Bitmap&)>;
Writer Qt(const char* format, QImage::Format as = QImage::Format_ARGB32) {
    return [=](const Bitmap& b) {
        const QImage q(reinterpret_cast<const uchar*>(b.data()), b.width(), b.height(),
                       as == QImage::Format_ARGB32 ? as : QImage::Format_RGB32);
        TempDir tmp;
        EXPECT_TRUE(q.convertToFormat(as).save(QString::fromStdString(tmp.file("x")), format, 95));
        return ReadBytes(tmp.file("x"));
    };
}
std::string NoLastPadding(const Bitmap& b) { return DirectBmp(b, {24, 0, 40, {}}).substr(0, 75); }
Writer Bmp(Direct d) {
    return [d](const Bitmap& b) { return DirectBmp(b, d); };
}

// Two one-entry icons as Qt writes them (32 bits with alpha) joined into one: the larger entry
// must be shown.
std::string TwoEntryIco(const Bitmap& large) {
    const std::string small = Qt("ICO")(Make(16, 16, Noise));
    std::string dir = small.substr(0, 4) + Le(2, 2), data;
    for (const std::string& one : {small, Qt("ICO")(large)}) {
        dir += one.substr(6, 12) + Le(std::uint32_t(6 + 32 + data.size()), 4);
        data += one.substr(22);
    }
    return dir + data;
}

// ---- Loads that succeed, and loads that fail and leave the slot alone --------------------------

struct LoadCase {
    const char* name;
    const char* file;
    int width, height;
    std::uint32_t (*pixel)(int, int);  // alpha 0 marks a transparent pixel; null: the load fails
    Writer write;                      // the file's bytes
    int tolerance = 0;
    const char* reason = "";
};
void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }
// why: how the reason begins, where it matters; make: the file's bytes, "<folder>" for a folder.
LoadCase Fails(const char* name, const char* file, const char* why, std::string (*make)()) {
    return {name, file, 0, 0, nullptr, [make](const Bitmap&) { return make(); }, 0, why};
}

std::string GoodGif() { return Gif(Make(20, 10, Palette16)); }
std::string GoodJpeg() { return Qt("JPEG")(Make(64, 48, Smooth)); }
std::string GoodPng() { return Qt("PNG")(Make(20, 10, Smooth)); }
// A 4x3 file under the 124-byte header (14 + 124 + 48 bytes) with the value put at `at` in
// `bytes` bytes, or cut at `at` for 0 bytes.
std::string BmpWith(std::size_t at, int bytes, std::uint64_t value) {
    const std::string s = DirectBmp(Make(4, 3, Noise), kArgbV5);
    return s.substr(0, bytes ? s.size() : at).replace(at, std::size_t(bytes), Le(value, bytes));
}

const char kTooBig[] = "画像が大きすぎます", kCut[] = "ファイルが途中で切れています",
           kBroken[] = "画像のデータが壊れています (BMP)";
const LoadCase kLoads[] = {
    {"BmpNamedJpg", "bitmap.jpg", 37, 23, Noise, Bmp({24, 0, 40, {}})},  // content decides
    {"Bmp32", "a.bmp", 31, 17, Noise, Bmp(kXrgb)},
    {"Bmp8Palette", "a.bmp", 29, 19, Palette16, Qt("BMP", QImage::Format_Indexed8)},
    // Direct-colour layouts, read by our own reader. Widths 1 to 3 give every row padding.
    {"Bmp16Plain", "a.bmp", 7, 5, TwoLevel, Bmp(k555)},
    {"Bmp16Fields565TopDown", "a.bmp", 5, 4, TwoLevel, Bmp(k565TopDown)},
    {"Bmp32FieldsOddOrder", "a.bmp", 9, 3, Noise, Bmp({32, 3, 40, {0xFF000000, 0xFF0, 0xFF0000}})},
    {"Bmp32AlphaFields", "a.bmp", 3, 2, Noise,
     Bmp({32, 6, 40, {0xFF00, 0xFF0000, 0xFF000000, 0xFF}})},
    {"Bmp32Header52", "a.bmp", 3, 3, Noise, Bmp({32, 3, 52, {0xFF, 0xFF00, 0xFF0000}})},
    {"Bmp16Header56", "a.bmp", 6, 6, TwoLevel, Bmp(k4444V3)},
    {"Bmp24Header108Width1", "a.bmp", 1, 4, Noise, Bmp({24, 0, 108, {}, true})},
    {"Bmp32Header124", "a.bmp", 4, 4, Holey, Bmp(kArgbV5)},
    // Some writers leave out the last row's padding (3 of 54 + 2 * 12 bytes): the last row needs
    // only its pixels.
    {"Bmp24LastPaddingLeftOut", "a.bmp", 3, 2, Noise, NoLastPadding},
    {"Gif", "a.gif", 33, 21, Palette16, Gif},
    {"GifTransparent", "a.gif", 24, 9, HoleyGif, Gif},
    {"IcoAlpha", "a.ico", 32, 32, Holey, TwoEntryIco},
    {"Png", "a.png", 45, 27, Holey, Qt("PNG")},
    {"PngMixedCaseName", "a.PnG", 12, 7, Noise, Qt("PNG")},
    // The header's width needs 17 bits: the slot must take the whole number, not its lower half.
    {"PngWidth70000", "wide.png", 70000, 1, Noise, Qt("PNG")},
    {"Jpeg", "a.jpg", 40, 30, Smooth, Qt("JPEG"), 8},
    Fails("FolderNamedPng", "folder.png", "", [] { return "<folder>"s; }),
    Fails("Empty", "empty.gif", "", [] { return ""s; }),
    Fails("TruncatedGif", "cut.gif", "", [] { return GoodGif().substr(0, 13 + 768 + 40); }),
    Fails("TruncatedJpeg", "cut.jpg", "",
          [] { return GoodJpeg().substr(0, GoodJpeg().size() * 3 / 4); }),
    Fails("TruncatedPng", "cut.png", "", [] { return GoodPng().substr(0, 60); }),
    Fails("UnknownFormat", "flip.bmp", "", [] { return BmpWith(0, 2, 'N' << 8 | 'B'); }),  // "BN"
    Fails("JpegNamedPng", "photo.png", "", GoodJpeg),
    // A trailing blank sends the name to the picture loader, which does not read PNG.
    Fails("PngWithTrailingBlank", "a.png ", "この形式の画像は読めません (PNG)", GoodPng),
    Fails("HugePng", "huge.png", kTooBig, [] { return WithPngSize(GoodPng(), 100000, 100000); }),
    // Direct-colour BMPs spoilt at one 32-bit field or cut short.
    Fails("BmpHeightMinus2To31", "b.bmp", kTooBig, [] { return BmpWith(22, 4, 0x80000000u); }),
    Fails("BmpWidthOverLimit", "b.bmp", kTooBig, [] { return BmpWith(18, 4, 0x7FFFFFFFu); }),
    // Width 200'000'000, height 1: a row of 600 MB.
    Fails("BmpRowSize", "b.bmp", kCut, [] { return BmpWith(18, 8, 200'000'000 | 1ull << 32); }),
    Fails("BmpOffsetPastEnd", "b.bmp", kCut, [] { return BmpWith(10, 4, 0xFFFFFFF0u); }),
    Fails("BmpLastByteMissing", "b.bmp", kCut, [] { return BmpWith(14 + 124 + 48 - 1, 0, 0); }),
    Fails("BmpHeaderCut", "b.bmp", kCut, [] { return BmpWith(60, 0, 0); }),
    Fails("BmpOffsetInsideHeader", "b.bmp", kBroken, [] { return BmpWith(10, 4, 100); }),
    Fails("BmpMaskWithGap", "b.bmp", kBroken, [] { return BmpWith(54, 4, 0xF0F0); }),
    Fails("BmpNegativeWidth", "b.bmp", kBroken, [] { return BmpWith(18, 4, 0xFFFFFFFFu); }),
};

std::pair<int, int> Size(const Bitmap& b) { return {b.width(), b.height()}; }

class Load : public testing::TestWithParam<LoadCase> {};

// Into an empty slot 0 and over an earlier BMP picture in slot 1. A load gives the slot the
// image's own size and path, and opaque pixels: transparent ones show white, or on the PNG route
// the earlier picture; a BMP loaded after it replaces it whole. A failed load returns 1 with a
// reason and leaves the slot's pixels, size and path as they were.
TEST_P(Load, LandsInTheSlotOrLeavesItAlone) {
    const LoadCase& c = GetParam();
    TempDir dir;
    const std::string earlierPath = dir.file("earlier.bmp"), path = dir.file(c.file);
    const Bitmap earlier = MakePattern(63, 32, 21);
    ASSERT_TRUE(codec::SavePicture(earlier, earlierPath).ok());
    const std::string bytes = c.write(Make(c.width, c.height, c.pixel));
    if (bytes == "<folder>") std::filesystem::create_directory(path);
    if (bytes[0] != '<') WriteBytes(path, bytes);
    for (const std::size_t index : {0, 1}) {
        compose::SlotSet slotSet;
        ASSERT_EQ(index ? basCommon::LoadImageSlot(slotSet, earlierPath, 1) : 0, 0);
        const Bitmap& got = slotSet.picLoad[index].Image();
        const std::vector<std::uint32_t> before(got.data(), got.data() + got.pixelCount());
        const auto sizeBefore = Size(got);
        std::string reason;
        const int result = basCommon::LoadImageSlot(slotSet, path, std::int16_t(index), &reason);
        if (!c.pixel) {
            EXPECT_TRUE(result == 1 && !reason.empty()) << result;
            EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << reason;
            EXPECT_EQ(slotSet.FLD[index], index ? earlierPath : "");
            ASSERT_EQ(Size(got), sizeBefore);
            EXPECT_TRUE(std::equal(before.begin(), before.end(), got.data()));
            continue;
        }
        ASSERT_EQ(result, 0) << reason;
        ASSERT_EQ(Size(got), std::pair(c.width, c.height));
        EXPECT_EQ(slotSet.FLD[index], path);
        Bitmap want = Make(c.width, c.height, c.pixel);
        const bool overEarlier = index && std::string_view(c.file).ends_with(".png");
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x)
                if (want.at(x, y) >> 24 == 0)
                    want.at(x, y) = overEarlier ? earlier.at(x, y) : platform::kWhite;
        EXPECT_LE(ChannelDifference(want, got), c.tolerance);
        EXPECT_TRUE(std::all_of(got.data(), got.data() + got.pixelCount(),
                                [](std::uint32_t p) { return p >> 24 == 0xFF; }));
        ASSERT_EQ(basCommon::LoadImageSlot(slotSet, earlierPath, std::int16_t(index)), 0);
        EXPECT_EQ(Size(got), Size(earlier));
        EXPECT_EQ(ChannelDifference(earlier, got), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Load, testing::ValuesIn(kLoads),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Direct-colour BMP values ------------------------------------------------------------------

// One stored pixel and the 0xAARRGGBB it must give. A channel of w bits holding v gives
// v * 255 / (2^w - 1) rounded to nearest.
struct ValueCase {
    const char* name;
    Direct layout;
    std::uint32_t stored, want;
    bool hasAlpha;
};
void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.name; }

const ValueCase kValues[] = {
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
    platform::Picture picture;
    const platform::Status s = formats::ReadBmp(file, picture);
    ASSERT_TRUE(s) << s.reason();
    EXPECT_EQ(picture.pixels.at(0, 0), c.want) << std::hex << picture.pixels.at(0, 0);
    EXPECT_EQ(picture.hasAlpha, c.hasAlpha);
}

INSTANTIATE_TEST_SUITE_P(Values, ReadDirectBmp, testing::ValuesIn(kValues),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
