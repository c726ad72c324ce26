// The codec layer: PNG decoding of every format that libspng's encoder can make, refusal of
// damaged files, and the three writers checked by reading their files back.

#include "codec/codec.h"
#include "formats/png_load.h"

#include <gtest/gtest.h>
#include <spng.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/parallel.h"
#include "platform/surface.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using platform::Bitmap;

std::uint32_t Bgra(int r, int g, int b, int a) { return unsigned(a) << 24 | r << 16 | g << 8 | b; }
int Size(const Bitmap& b) { return b.width() * 1000 + b.height(); }

// ---- PNG files from libspng's encoder, with the pixels a decoder must give for them ----------

// trns: a colour key (grey, truecolour) or an alpha table shorter than the palette.
struct PngCase {
    int type, depth;
    bool trns, adam7;
};
void PrintTo(const PngCase& c, std::ostream* os) {
    *os << "type " << c.type << ", " << c.depth << " bits" << (c.trns ? ", tRNS" : "")
        << (c.adam7 ? ", Adam7" : "");
}

std::vector<PngCase> AllPngCases() {
    const std::pair<int, std::vector<int>> kDepths[] = {
        {0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
    std::vector<PngCase> cases;
    for (const auto& [type, depths] : kDepths)
        for (int depth : depths)
            for (int f = 0; f < 4; ++f)  // tRNS only where there is no alpha channel
                if (type < 4 || f < 2) cases.push_back({type, depth, f >= 2, f % 2 == 1});
    return cases;
}

constexpr int kW = 37, kH = 23;  // odd sizes leave partial bytes and partly empty Adam7 passes

// Writes the file; returns the BGRA words (row-major) a decoder must give for it: every sample
// scaled to 8 bits and rounded to nearest (v * 255 / max; exact below 8 bits, and for 16 bits
// not the high byte, which is up to one level darker), tRNS applied.
std::vector<std::uint32_t> MakePng(const PngCase& c, const std::string& path) {
    static const int kChannels[] = {1, 0, 3, 1, 2, 0, 4};
    const int channels = kChannels[c.type];
    const bool indexed = c.type == SPNG_COLOR_TYPE_INDEXED;
    const std::uint32_t max = (1u << c.depth) - 1, key = max / 3;
    const auto to8 = [&](std::uint32_t v) { return int((v * 255 + max / 2) / max); };
    spng_plte plte{max + 1, {}};
    spng_trns trns{};
    trns.gray = trns.red = trns.green = trns.blue = std::uint16_t(key);
    trns.n_type3_entries = std::max(1u, (max + 1) / 2);  // palette entries past it stay opaque
    for (std::uint32_t i = 0; i <= max && indexed; ++i) {
        const std::uint32_t h = PatternPixel(int(i), 7, 99);
        plte.entries[i] = {std::uint8_t(h), std::uint8_t(h >> 8), std::uint8_t(h >> 16), 255};
        trns.type3_alpha[i] = std::uint8_t(i * 37);
    }
    std::vector<std::uint32_t> expected;
    std::vector<unsigned char> raw;  // samples packed from the most significant bit, as in PNG
    for (int y = 0, used = 0; y < kH; ++y, used = 0) {  // every row starts on a byte
        for (int x = 0; x < kW; ++x) {
            std::uint32_t s[4];  // every seventh pixel takes the colour key, so that it occurs
            for (int i = 0; i < 4; ++i)
                s[i] = (x + y) % 7 ? PatternPixel(4 * x + i, y, 5) & max : key;
            for (int i = 0; i < channels; ++i)
                for (int bit = c.depth - 1; bit >= 0; --bit, used = (used + 1) % 8) {
                    if (used == 0) raw.push_back(0);
                    raw.back() |= std::uint8_t(((s[i] >> bit) & 1u) << (7 - used));
                }
            const int g = channels >= 3 ? 1 : 0, b = channels >= 3 ? 2 : 0;
            const bool keyed = c.trns && s[0] == key && s[g] == key && s[b] == key;
            int a = channels % 2 == 0 ? to8(s[channels - 1]) : keyed ? 0 : 255;
            if (indexed) a = c.trns && s[0] < trns.n_type3_entries ? trns.type3_alpha[s[0]] : 255;
            const spng_plte_entry& e = plte.entries[indexed ? s[0] : 0];
            expected.push_back(indexed ? Bgra(e.red, e.green, e.blue, a)
                                       : Bgra(to8(s[0]), to8(s[g]), to8(s[b]), a));
        }
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_png_file(ctx, file);
    spng_ihdr ihdr{kW, kH, std::uint8_t(c.depth), std::uint8_t(c.type),
                   0,  0,  std::uint8_t(c.adam7)};
    spng_set_ihdr(ctx, &ihdr);
    if (indexed) spng_set_plte(ctx, &plte);
    if (c.trns) spng_set_trns(ctx, &trns);
    EXPECT_EQ(spng_encode_image(ctx, raw.data(), raw.size(), SPNG_FMT_RAW, SPNG_ENCODE_FINALIZE),
              0);
    spng_ctx_free(ctx);
    std::fclose(file);
    return expected;
}

class PngDecode : public ::testing::TestWithParam<PngCase> {};

// ReadPng gives every pixel; DCReadPNG draws them over what a bitmap holds, clipped to it (a
// bitmap wider and lower than the image). The blend of partial alpha is the blitter's, tested
// there: here only the opaque and the clear pixels are compared.
TEST_P(PngDecode, GivesEveryPixelAndDrawsThemOverTheBitmap) {
    TempDir dir;
    const std::string path = dir.file("画像 ファイル.png");
    const std::vector<std::uint32_t> expected = MakePng(GetParam(), path);
    platform::Picture picture;
    const platform::Status s = formats::ReadPng(path, picture);
    ASSERT_TRUE(s.ok()) << s.reason();
    ASSERT_EQ(Size(picture.pixels), kW * 1000 + kH);
    EXPECT_EQ(picture.hasAlpha, GetParam().trns || GetParam().type >= 4);
    Bitmap target;
    ASSERT_TRUE(target.Allocate(kW + 5, kH - 4).ok());
    target.Fill(platform::kWhite);
    ASSERT_EQ(codec::DCReadPNG(path, &target), 0);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW + 5; ++x) {
            const std::uint32_t want = x < kW ? expected[std::size_t(y * kW + x)] : 0;
            ASSERT_EQ(x < kW ? picture.pixels.at(x, y) : 0u, want) << x << "," << y;
            if (y >= kH - 4 || (want >> 24 != 0 && want >> 24 != 255)) continue;  // cut, or blended
            ASSERT_EQ(target.at(x, y), want >> 24 ? want : platform::kWhite) << x << "," << y;
        }
    }
}

std::string PngName(const ::testing::TestParamInfo<PngCase>& info) {
    static const char* const kType[] = {"Grey", "", "Rgb", "Palette", "GreyAlpha", "", "Rgba"};
    const PngCase& c = info.param;
    return kType[c.type] + std::to_string(c.depth) + (c.trns ? "Trns" : "") +
           (c.adam7 ? "Adam7" : "");
}

INSTANTIATE_TEST_SUITE_P(AllFormats, PngDecode, ::testing::ValuesIn(AllPngCases()), PngName);

// ---- Files that must be refused, with the picture and the bitmap left as they were -----------

std::string Flip(std::string s, std::size_t at) {
    s[at] = char(s[at] ^ 1);
    return s;
}
std::string BadZlib(std::string g) {  // no valid zlib header starts with 0xFF
    g[PngChunk(g, "IDAT") + 8] = char(0xFF);
    FixPngCrc(g, PngChunk(g, "IDAT"));
    return g;
}

// Each row makes the bytes of the bad file from a good one. (Missing files, folders, other formats
// and empty files stop on the load route before ReadPng: load_test and malformed_test.)
struct BadPng {
    const char* name;
    std::string (*make)(std::string good);
    const char* reasonPart;
};
void PrintTo(const BadPng& c, std::ostream* os) { *os << c.name; }

constexpr const char* kCut = "PNG ファイルが途中で切れています";
const BadPng kBadPngs[] = {
    {"CutInHeader", [](std::string g) { return g.substr(0, 20); }, kCut},
    {"CutInData", [](std::string g) { return g.substr(0, PngChunk(g, "IDAT") + 40); }, kCut},
    {"CutBeforeEnd", [](std::string g) { return g.substr(0, PngChunk(g, "IEND")); }, kCut},
    // The data intact, only a checksum wrong: IHDR's, and IDAT's last byte, just before IEND.
    {"HeaderCrc", [](std::string g) { return Flip(g, 29); }, "CRC"},
    {"DataCrc", [](std::string g) { return Flip(g, PngChunk(g, "IEND") - 1); }, "CRC"},
    {"ZlibHeader", BadZlib, "圧縮データ"},
    {"TooManyPixels", [](std::string g) { return WithPngSize(g, 70000, 70000); }, "大きすぎ"},
    {"ZeroWidth", [](std::string g) { return WithPngSize(g, 0, kH); }, "ヘッダ"},
};

class PngRefusal : public ::testing::TestWithParam<BadPng> {};

TEST_P(PngRefusal, FailsWithReasonAndTouchesNothing) {
    TempDir dir;
    const std::string path = dir.file("bad.png");
    MakePng({SPNG_COLOR_TYPE_TRUECOLOR, 8, false, false}, dir.file("good.png"));
    WriteBytes(path, GetParam().make(ReadBytes(dir.file("good.png"))));
    platform::Picture picture;
    ASSERT_TRUE(picture.pixels.Allocate(2, 3).ok());
    picture.pixels.Fill(platform::kWhite);
    const platform::Status s = formats::ReadPng(path, picture);
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.reason().find(GetParam().reasonPart), std::string::npos) << s.reason();
    std::string reason;
    EXPECT_NE(codec::DCReadPNG(path, &picture.pixels, &reason), 0);
    EXPECT_EQ(reason, s.reason());
    ASSERT_EQ(Size(picture.pixels), 2003);
    EXPECT_EQ(std::count(picture.pixels.data(), picture.pixels.data() + 6, platform::kWhite), 6);
}

INSTANTIATE_TEST_SUITE_P(Damaged, PngRefusal, ::testing::ValuesIn(kBadPngs),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The writers, read back by another decoder ------------------------------------------------

Bitmap DecodeJpeg(const std::string& bytes) {  // by TurboJPEG's decoder
    tjhandle tj = tjInitDecompress();
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    int w = 0, h = 0, subsampling = 0, colorspace = 0;
    Bitmap out;
    const bool ok =
        tjDecompressHeader3(tj, data, bytes.size(), &w, &h, &subsampling, &colorspace) == 0 &&
        out.Allocate(w, h).ok() &&
        tjDecompress2(tj, data, bytes.size(), reinterpret_cast<unsigned char*>(out.data()), w, 0, h,
                      TJPF_BGRX, 0) == 0;
    tjDestroy(tj);
    return ok ? std::move(out) : Bitmap();
}

class JpegWrite : public ::testing::TestWithParam<std::int32_t> {};

// The top-left corner of a larger bitmap (rows stepped at the bitmap's pitch) and, asked for
// more than the bitmap holds, the whole bitmap.
TEST_P(JpegWrite, WritesTheCornerCloseToTheSourceInTheRequestedMode) {
    TempDir dir;
    Bitmap image = MakeSmooth(200, 120);
    const std::string path = dir.file("結果 画像.jpg");
    ASSERT_EQ(codec::DCSavetoJPEG(&image, 161, 97, path, 90, GetParam()), 0);
    // The frame header precedes the first scan: SOF2 progressive, SOF0 baseline. (No other
    // segment before the scan holds a 0xFF byte in this writer's files.)
    const std::string bytes = ReadBytes(path);
    EXPECT_LT(bytes.find(GetParam() != 0 ? "\xFF\xC2" : "\xFF\xC0"), bytes.find("\xFF\xDA"));
    const Bitmap back = DecodeJpeg(bytes);
    ASSERT_EQ(Size(back), 161097);
    // Quality 90 with 4:2:0 chroma on content this smooth and edge-free: the mean error stays
    // near one level and no channel strays beyond the quantisation of a few coefficients.
    double mean = 0;
    EXPECT_LT(ChannelDifference(image, back, &mean), 16);
    EXPECT_LT(mean, 2.5);
    ASSERT_EQ(codec::DCSavetoJPEG(&image, 500, 400, path, 90, GetParam()), 0);
    EXPECT_EQ(Size(DecodeJpeg(ReadBytes(path))), 200120);
    // The rate is clamped into the quality range 1 to 100.
    const auto save = [&](std::uint8_t rate) {
        EXPECT_EQ(codec::DCSavetoJPEG(&image, 64, 48, path, rate, GetParam()), 0);
        return ReadBytes(path);
    };
    EXPECT_EQ(save(0), save(1));
    EXPECT_EQ(save(255), save(100));
    EXPECT_LT(save(1).size(), save(100).size());
}

INSTANTIATE_TEST_SUITE_P(Modes, JpegWrite, ::testing::Values(0, -1, 1));

// Both band writers are checked over sizes and core counts; each case sets the number of cores.
struct BandCase {
    const char* name;
    int w, h, workers;
};
void PrintTo(const BandCase& c, std::ostream* os) { *os << c.name; }

class BandWriter : public ::testing::TestWithParam<BandCase> {
protected:
    void SetUp() override { platform::SetWorkerCount(GetParam().workers); }
    void TearDown() override { platform::SetWorkerCount(0); }
};

// A baseline JPEG of a tall picture is coded in bands on every core and joined with restart
// markers: it must decode to exactly the pixels of one encoding of the whole picture, whatever
// the number of cores and however the last band is cut.
class JpegBands : public BandWriter {};

TEST_P(JpegBands, DecodeLikeOneWholeEncoding) {
    const BandCase c = GetParam();
    TempDir dir;
    Bitmap image = MakeSmooth(c.w, c.h);
    for (int y = 0; y < c.h; y += 3) {
        for (int x = 0; x < c.w; x += 5) image.at(x, y) = PatternPixel(x, y, 4);
    }
    ASSERT_EQ(codec::DCSavetoJPEG(&image, c.w, c.h, dir.file("b.jpg"), 75, 0), 0);
    const std::string banded = ReadBytes(dir.file("b.jpg"));
    EXPECT_NE(banded.find("\xFF\xDD"), std::string::npos);  // a restart interval: bands were joined
    tjhandle tj = tjInitCompress();
    unsigned char* whole = nullptr;
    unsigned long size = 0;
    ASSERT_EQ(tjCompress2(tj, reinterpret_cast<unsigned char*>(image.data()), c.w, 0, c.h,
                          TJPF_BGRX, &whole, &size, TJSAMP_420, 75, 0), 0);
    const Bitmap expected = DecodeJpeg(std::string(reinterpret_cast<char*>(whole), size));
    tjFree(whole);
    tjDestroy(tj);
    const Bitmap back = DecodeJpeg(banded);
    ASSERT_EQ(Size(back), Size(image));
    EXPECT_EQ(ChannelDifference(expected, back), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, JpegBands,
    ::testing::Values(BandCase{"TwoCoresCutBand", 203, 700, 2},
                      BandCase{"ThreeCoresWholeBands", 64, 768, 3},
                      BandCase{"NineCoresMoreThanEightRestarts", 40, 2000, 9}),
    [](const auto& info) { return std::string(info.param.name); });

// Every setting (3 and 255 are taken as normal) gives the pixels back exactly, from the
// top-left corner of a larger bitmap; asked for more, the writer takes the whole bitmap. On flat
// blocks the string matching of "smallest" beats the run-length coding of the others.
TEST(PngWrite, RoundTripsExactlyAtEverySettingAndClips) {
    TempDir dir;
    Bitmap image = MakePattern(300, 200, 0);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 300; ++x) image.at(x, y) = PatternPixel(x / 25, y / 20, 8);
    image.at(0, 0) = Bgra(1, 2, 3, 0);  // the fourth byte is no alpha to the writer
    platform::Picture back;
    std::size_t size[256] = {};
    for (std::uint8_t rate : {0, 1, 2, 3, 255}) {
        ASSERT_EQ(codec::DCSavetoPNG(&image, 290, 190, dir.file("結果.png"), rate), 0);
        size[rate] = ReadBytes(dir.file("結果.png")).size();
        ASSERT_TRUE(formats::ReadPng(dir.file("結果.png"), back).ok());
        EXPECT_FALSE(back.hasAlpha) << int(rate);  // 8-bit RGB without tRNS
        ASSERT_EQ(Size(back.pixels), 290190);
        EXPECT_EQ(ChannelDifference(image, back.pixels), 0) << int(rate);
    }
    EXPECT_LT(size[2], size[0]);
    EXPECT_LE(size[0], size[1]);
    ASSERT_EQ(codec::DCSavetoPNG(&image, 10, 400, dir.file("結果.png"), 0), 0);
    ASSERT_TRUE(formats::ReadPng(dir.file("結果.png"), back).ok());
    EXPECT_EQ(Size(back.pixels), 10200);
}

// Every setting cuts the rows into bands compressed apart and joins them into one stream: every
// size (one band, many, rows shorter than a pixel's three bytes can make them) and every number
// of cores must still give one valid file with the exact pixels; "smallest" no larger than
// "normal".
class PngBands : public BandWriter {};

TEST_P(PngBands, JoinsThemIntoOneExactFileAtEverySetting) {
    const BandCase c = GetParam();
    TempDir dir;
    Bitmap image = MakeSmooth(c.w, c.h);
    for (int y = 0; y < c.h; ++y) {
        for (int x = 0; x < c.w; x += 7) image.at(x, y) = PatternPixel(x, y, 3);  // some noise
    }
    for (const char* name : {"1.png", "0.png", "2.png"}) {
        const auto rate = static_cast<std::uint8_t>(name[0] - '0');
        ASSERT_EQ(codec::DCSavetoPNG(&image, c.w, c.h, dir.file(name), rate), 0);
        platform::Picture back;
        ASSERT_TRUE(formats::ReadPng(dir.file(name), back).ok()) << name;
        ASSERT_EQ(Size(back.pixels), Size(image));
        EXPECT_EQ(ChannelDifference(image, back.pixels), 0) << name;
    }
    // Each band's flush costs a few bytes beside one unbroken stream.
    EXPECT_LE(ReadBytes(dir.file("2.png")).size(), ReadBytes(dir.file("0.png")).size() + 64);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PngBands,
    ::testing::Values(BandCase{"OnePixel", 1, 1, 2}, BandCase{"OneColumn", 1, 3000, 2},
                      BandCase{"OneRow", 3000, 1, 2}, BandCase{"ManyBandsOneCore", 300, 900, 1},
                      BandCase{"ManyBandsTwoCores", 301, 899, 2},
                      BandCase{"ManyBandsFiveCores", 257, 1000, 5}),
    [](const auto& info) { return std::string(info.param.name); });

class BmpWrite : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(BmpWrite, HeaderAndBottomUpPaddedRowsAreStandard) {
    const auto [w, h] = GetParam();
    TempDir dir;
    const Bitmap image = MakePattern(w, h, std::uint32_t(w));
    ASSERT_TRUE(codec::SavePicture(image, dir.file("ビット マップ.bmp")).ok());
    const std::string b = ReadBytes(dir.file("ビット マップ.bmp"));
    const std::uint32_t stride = (std::uint32_t(w) * 3 + 3) / 4 * 4,
                        size = 54 + stride * std::uint32_t(h);
    ASSERT_EQ(b.size(), size);
    // "BM", size, reserved, pixel offset, header size, width, height (positive: bottom-up),
    // planes, bits, BI_RGB, image size; the resolution may be anything; no colour table.
    const auto le = LittleEndian;
    EXPECT_EQ(b.substr(0, 38) + b.substr(46, 4),
              "BM" + le(size, 4) + le(0, 4) + le(54, 4) + le(40, 4) + le(w, 4) + le(h, 4) +
                  le(1, 2) + le(24, 2) + le(0, 4) + le(size - 54, 4) + le(0, 4));
    for (int y = 0; y < h; ++y) {
        std::string row(stride, '\0');  // blue, green, red of each pixel, then zeros
        for (int x = 0; x < w; ++x) std::memcpy(&row[3 * std::size_t(x)], image.row(y) + x, 3);
        ASSERT_EQ(b.substr(54 + std::size_t(h - 1 - y) * stride, stride), row) << "row " << y;
    }
}

// Widths 1..4 give every padding of 0..3 bytes; the last case spans several 1 MiB write blocks.
INSTANTIATE_TEST_SUITE_P(Sizes, BmpWrite,
                         ::testing::Values(std::pair{1, 7}, std::pair{2, 7}, std::pair{3, 7},
                                           std::pair{4, 7}, std::pair{1001, 1100}));

// ---- Failures of the writers: a reason, and no file (or no partial file) left behind ---------

enum class Writer { Jpeg, Png, Bmp };
void PrintTo(Writer w, std::ostream* os) {
    *os << (w == Writer::Jpeg ? "JPEG" : w == Writer::Png ? "PNG" : "BMP");
}

class WriterFailure : public ::testing::TestWithParam<Writer> {};

TEST_P(WriterFailure, IsReportedAndLeavesNoFile) {
    TempDir dir;
    Bitmap image = MakePattern(64, 64, 2);
    // The top-left w x h of image; SavePicture writes the whole bitmap, so an empty one for 0.
    const Bitmap none;
    const auto write = [&](int w, int h, const std::string& path) -> std::string {
        if (GetParam() == Writer::Bmp)
            return codec::SavePicture(w > 0 && h > 0 ? image : none, path).reason();
        std::string reason;
        const bool failed = GetParam() == Writer::Jpeg
                                ? codec::DCSavetoJPEG(&image, w, h, path, 90, 0, &reason)
                                : codec::DCSavetoPNG(&image, w, h, path, 0, &reason);
        return failed ? reason : "";
    };
    for (auto [w, h] : {std::pair{0, 8}, std::pair{8, -1}})
        EXPECT_NE(write(w, h, dir.file("empty")), "");
    EXPECT_FALSE(FileExists(dir.file("empty")));
    EXPECT_NE(write(64, 64, dir.file("なし/out")).find("見つかりません"), std::string::npos);
    if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    // A device is no file to write: refused before a byte goes to it, and never removed. (A full
    // disk is tried on a small file system in the robustness tests.)
    EXPECT_NE(write(64, 64, "/dev/full").find("通常のファイルではありません"), std::string::npos);
    EXPECT_TRUE(FileExists("/dev/full"));
}

INSTANTIATE_TEST_SUITE_P(AllWriters, WriterFailure,
                         ::testing::Values(Writer::Jpeg, Writer::Png, Writer::Bmp));

}  // namespace
