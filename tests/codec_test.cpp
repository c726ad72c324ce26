// The codec layer: PNG decoding of every format that libspng's encoder can make, refusal of
// damaged files, and the three writers checked by reading their files back.

#include "codec/codec.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spng.h>
#include <sys/resource.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/bmp_load.h"
#include "formats/exif.h"
#include "formats/png_load.h"
#include "formats/row_writer.h"
#include "platform/parallel.h"
#include "platform/progress.h"
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
                          TJPF_BGRX, &whole, &size, TJSAMP_420, 75, 0),
              0);
    const Bitmap expected = DecodeJpeg(std::string(reinterpret_cast<char*>(whole), size));
    tjFree(whole);
    tjDestroy(tj);
    const Bitmap back = DecodeJpeg(banded);
    ASSERT_EQ(Size(back), Size(image));
    EXPECT_EQ(ChannelDifference(expected, back), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, JpegBands,
                         ::testing::Values(BandCase{"TwoCoresCutBand", 203, 700, 2},
                                           BandCase{"ThreeCoresWholeBands", 64, 768, 3},
                                           BandCase{"NineCoresMoreThanEightRestarts", 40, 2400, 9}),
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

INSTANTIATE_TEST_SUITE_P(Sizes, PngBands,
                         ::testing::Values(BandCase{"OnePixel", 1, 1, 2},
                                           BandCase{"OneColumn", 1, 3000, 2},
                                           BandCase{"OneRow", 3000, 1, 2},
                                           BandCase{"ManyBandsOneCore", 300, 900, 1},
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

// ---- The row writers: one file whatever the route, the band heights and the core count -------

using formats::OutputFormat;
using formats::WriteSettings;

struct RowSetting {
    const char* name;
    WriteSettings settings;
};
void PrintTo(const RowSetting& c, std::ostream* os) { *os << c.name; }

WriteSettings Jpeg(int rate, bool progressive) {
    return {OutputFormat::Jpeg, rate, progressive, 0};
}
WriteSettings Png(int rate) { return {OutputFormat::Png, 75, false, rate}; }

const RowSetting kRowSettings[] = {
    {"JpegQ1", Jpeg(1, false)},
    {"JpegQ50", Jpeg(50, false)},
    {"JpegQ100", Jpeg(100, false)},
    {"JpegQ1Progressive", Jpeg(1, true)},
    {"JpegQ50Progressive", Jpeg(50, true)},
    {"JpegQ100Progressive", Jpeg(100, true)},
    {"PngNormal", Png(0)},
    {"PngFastest", Png(1)},
    {"PngSmallest", Png(2)},
    {"Bmp", {OutputFormat::Bmp, 75, false, 0}},
};

// Widths up to 2048 pixels make bands of 256 rows (JPEG and PNG alike), 4100 pixels 128 rows.
struct RowSize {
    const char* name;
    int w, h;
    bool meta;  // ICC and EXIF, the EXIF rewritten with the result's size
};
void PrintTo(const RowSize& c, std::ostream* os) { *os << c.name; }

const RowSize kRowSizes[] = {
    {"OnePixelWithMeta", 1, 1, true},
    {"OneColumn", 1, 300, false},
    {"OneRow", 300, 1, false},
    {"Odd", 37, 23, false},
    {"BandLess1", 33, 255, false},
    {"OneBandWithMeta", 33, 256, true},
    {"BandPlus1", 33, 257, false},
    {"TwoBandsPlus1", 33, 513, false},
    {"ManyBandsWithMeta", 41, 3000, true},
    {"WideTwoBands", 4100, 150, false},
};

// The EXIF of a camera: Orientation 6, and a pixel size that the writers set to the result's.
std::vector<std::uint8_t> SizedExif() {
    // clang-format off
    return {'I', 'I', 42, 0, 8, 0, 0, 0,
            2, 0,                                     // IFD0, two entries:
            0x12, 1, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0,    //   Orientation 6
            0x69, 0x87, 4, 0, 1, 0, 0, 0, 38, 0, 0, 0,//   the EXIF IFD at 38
            0, 0, 0, 0,                               // no IFD1
            2, 0,                                     // EXIF IFD, two entries:
            2, 0xA0, 4, 0, 1, 0, 0, 0, 99, 0, 0, 0,   //   PixelXDimension 99
            3, 0xA0, 4, 0, 1, 0, 0, 0, 77, 0, 0, 0,   //   PixelYDimension 77
            0, 0, 0, 0};
    // clang-format on
}

std::vector<std::uint8_t> SmallProfile() {
    std::vector<std::uint8_t> p(200);
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = std::uint8_t(i * 7 + 3);
    p[0] = p[1] = p[2] = 0;
    p[3] = 200;
    std::memcpy(p.data() + 36, "acsp", 4);
    std::memset(p.data() + 128, 0, 4);  // no tags
    return p;
}

class RowRoute : public ::testing::TestWithParam<std::tuple<RowSetting, RowSize>> {
  protected:
    void TearDown() override { platform::SetWorkerCount(0); }
};

// Writes image's top-left w x h through the whole-picture call of the format.
std::string WriteWhole(const Bitmap& image, int w, int h, const WriteSettings& s,
                       const platform::ImageMeta* meta, const std::string& path) {
    std::string reason;
    switch (s.format) {
        case OutputFormat::Jpeg:
            EXPECT_EQ(codec::DCSavetoJPEG(const_cast<Bitmap*>(&image), w, h, path,
                                          std::uint8_t(s.jpegRate), s.progressive ? -1 : 0, &reason,
                                          meta),
                      0)
                << reason;
            break;
        case OutputFormat::Png:
            EXPECT_EQ(codec::DCSavetoPNG(const_cast<Bitmap*>(&image), w, h, path,
                                         std::uint8_t(s.pngRate), &reason, meta),
                      0)
                << reason;
            break;
        case OutputFormat::Bmp:
            EXPECT_TRUE(codec::SavePicture(image, path).ok());
            break;
    }
    return ReadBytes(path);
}

// Hands image's top-left w x h to a row writer in bands of `band` rows (0: its PreferredRows).
std::string WriteInBands(const Bitmap& image, int w, int h, const WriteSettings& s,
                         const platform::ImageMeta* meta, int band, const std::string& path) {
    platform::Status status;
    auto writer = formats::OpenRowWriter(path, w, h, s, meta, status);
    EXPECT_TRUE(writer) << status.reason();
    if (!writer) return "";
    if (band == 0) band = writer->PreferredRows();
    EXPECT_GT(band, 0);
    for (int y = 0; y < h; y += band) {
        status = writer->WriteRows(image.row(y), std::size_t(image.width()), std::min(band, h - y));
        EXPECT_TRUE(status.ok()) << status.reason();
    }
    status = writer->Finish();
    EXPECT_TRUE(status.ok()) << status.reason();
    return ReadBytes(path);
}

TEST_P(RowRoute, GivesTheWholeRoutesBytesForAnyBandsAndCores) {
    const auto& [setting, size] = GetParam();
    const WriteSettings& s = setting.settings;
    const int w = size.w, h = size.h;
    TempDir dir;
    // A corner of a wider bitmap (rows stepped at its pitch), except for BMP, which the
    // whole-picture call writes whole. Smooth; for the lossless formats with some noise for the
    // PNG filters to choose by.
    Bitmap image = MakeSmooth(s.format == OutputFormat::Bmp ? w : w + 3, h);
    for (int y = 0; y < h && s.format != OutputFormat::Jpeg; ++y)
        for (int x = y % 5; x < w; x += 9) image.at(x, y) = PatternPixel(x, y, 6);
    platform::ImageMeta meta;
    if (size.meta) {
        meta.icc = SmallProfile();
        meta.exif = SizedExif();
    }
    const platform::ImageMeta* metaOrNull = size.meta ? &meta : nullptr;

    platform::SetWorkerCount(2);
    const std::string whole = WriteWhole(image, w, h, s, metaOrNull, dir.file("whole"));
    ASSERT_FALSE(whole.empty());
    for (int workers : {1, 2, 5}) {
        platform::SetWorkerCount(workers);
        EXPECT_TRUE(WriteWhole(image, w, h, s, metaOrNull, dir.file("w")) == whole)
            << "whole, " << workers << " cores";
        for (int band : {1, 7, 0}) {
            EXPECT_TRUE(WriteInBands(image, w, h, s, metaOrNull, band, dir.file("b")) == whole)
                << "bands of " << band << " rows, " << workers << " cores";
        }
    }

    // The file reads back: PNG and BMP exactly, JPEG close to the source.
    if (s.format == OutputFormat::Jpeg) {
        const Bitmap back = DecodeJpeg(whole);
        ASSERT_EQ(Size(back), w * 1000 + h);
        double mean = 0;
        ChannelDifference(image, back, &mean);
        if (s.jpegRate >= 50) {
            EXPECT_LT(mean, s.jpegRate == 100 ? 1.5 : 4.0);
        }
    } else {
        platform::Picture back;
        const platform::Status st = s.format == OutputFormat::Png
                                        ? formats::ReadPng(dir.file("whole"), back)
                                        : formats::ReadBmp(whole, back);
        ASSERT_TRUE(st.ok()) << st.reason();
        ASSERT_EQ(Size(back.pixels), w * 1000 + h);
        EXPECT_EQ(ChannelDifference(image, back.pixels), 0);
    }
    // The metadata rides along where the format holds it, the EXIF with the result's size.
    if (size.meta && s.format != OutputFormat::Bmp) {
        const std::vector<std::uint8_t> exif = formats::ExifForOutput(meta.exif, w, h);
        ASSERT_FALSE(exif.empty());
        EXPECT_NE(whole.find(std::string(exif.begin(), exif.end())), std::string::npos);
        EXPECT_NE(whole.find(s.format == OutputFormat::Jpeg ? "ICC_PROFILE" : "iCCP"),
                  std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RowRoute,
                         ::testing::Combine(::testing::ValuesIn(kRowSettings),
                                            ::testing::ValuesIn(kRowSizes)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::get<1>(info.param).name;
                         });

// A baseline JPEG's bands follow from its width alone: as many restart markers for any core
// count, and a file of one band (no restart interval) for pictures up to one band high.
TEST(RowRoute, BandHeightsFollowFromTheWidth) {
    EXPECT_EQ(formats::BandRows(1, 16), 256);
    EXPECT_EQ(formats::BandRows(6000, 16), 96);
    EXPECT_EQ(formats::BandRows(6000, 1), 88);
    EXPECT_EQ(formats::BandRows(65500, 16), 16);
    EXPECT_EQ(formats::BandRows(65500, 1), 9);
    // Restart intervals fit their 16 bits at JPEG's widest: 4094 MCUs a row, one MCU row a band.
    EXPECT_LE((65500 + 15) / 16 * formats::BandRows(65500, 16) / 16, 65535);
}

// ---- Row writers that fail, are cancelled or are dropped: a reason, and no file left ----------

class RowWriterFailure : public ::testing::TestWithParam<RowSetting> {
  protected:
    std::unique_ptr<formats::RowWriter> Open(const std::string& path, int w, int h) {
        platform::Status s;
        auto writer = formats::OpenRowWriter(path, w, h, GetParam().settings, nullptr, s);
        EXPECT_TRUE(writer) << s.reason();
        return writer;
    }
    Bitmap image_ = MakePattern(300, 700, 4);
};

TEST_P(RowWriterFailure, DroppedOrShortOrOverlongLeavesNoFile) {
    TempDir dir;
    const std::string path = dir.file("出力 ファイル");
    auto writer = Open(path, 300, 700);
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->WriteRows(image_.data(), 300, 400).ok());
    writer.reset();  // destroyed before Finish
    EXPECT_FALSE(FileExists(path));

    writer = Open(path, 300, 700);
    ASSERT_TRUE(writer->WriteRows(image_.data(), 300, 699).ok());
    EXPECT_FALSE(writer->Finish().ok());  // a row short
    EXPECT_FALSE(FileExists(path));

    writer = Open(path, 300, 700);
    EXPECT_FALSE(writer->WriteRows(image_.data(), 300, 701).ok());  // a row too many
    EXPECT_FALSE(writer->Finish().ok());
    EXPECT_FALSE(FileExists(path));
    // And nothing is created where the picture cannot be: too large, or no such folder.
    platform::Status s;
    const int tooWide = GetParam().settings.format == OutputFormat::Jpeg ? 65501 : 1 << 30;
    EXPECT_FALSE(formats::OpenRowWriter(path, tooWide, 8000, GetParam().settings, nullptr, s));
    EXPECT_NE(s.reason(), "");
    EXPECT_FALSE(
        formats::OpenRowWriter(dir.file("なし/out"), 4, 4, GetParam().settings, nullptr, s));
    EXPECT_NE(s.reason().find("見つかりません"), std::string::npos) << s.reason();
    EXPECT_FALSE(FileExists(path));
}

// Progress counts every row once; a cancel stops the writer between bands with a cancelled
// status and removes what it wrote.
TEST_P(RowWriterFailure, CountsProgressAndStopsWhenCancelled) {
    TempDir dir;
    const std::string path = dir.file("out");
    platform::Progress progress;
    platform::ScopedProgress scoped(&progress);
    progress.Start(700);
    auto writer = Open(path, 300, 700);
    for (int y = 0; y < 700; y += 100) ASSERT_TRUE(writer->WriteRows(image_.row(y), 300, 100).ok());
    ASSERT_TRUE(writer->Finish().ok());
    EXPECT_EQ(progress.Fraction(), 1.0);

    writer = Open(path, 300, 700);
    ASSERT_TRUE(writer->WriteRows(image_.data(), 300, 300).ok());
    progress.Cancel();
    platform::Status s = writer->WriteRows(image_.row(300), 300, 400);
    if (s.ok()) s = writer->Finish();
    EXPECT_TRUE(s.cancelled()) << s.reason();
    EXPECT_FALSE(writer->Finish().ok());
    EXPECT_FALSE(FileExists(path));
}

// The file system refuses more bytes half way (a file size limit, as a full disk would): the
// writer reports it and leaves no partial file. In a child process, which the limit cannot
// outlive.
TEST_P(RowWriterFailure, WriteErrorHalfWayLeavesNoFile) {
    TempDir dir;
    const std::string path = dir.file("out");
    const ChildRun run = RunInChild(
        [&](int) {
            ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
            const rlimit limit{4096, 4096};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
            Bitmap noise =
                MakePattern(300, 700, 9);  // noise: larger than the limit in every format
            platform::Status s;
            auto writer = formats::OpenRowWriter(path, 300, 700, GetParam().settings, nullptr, s);
            if (!writer) return 4;
            s = writer->WriteRows(noise.data(), 300, 700);
            if (s.ok()) s = writer->Finish();
            if (s.ok() || s.reason().find("書き込めません") == std::string::npos) return 5;
            return FileExists(path) ? 6 : 0;
        },
        ChildLimits{});
    EXPECT_EQ(run.exitCode, 0) << run.out;
}

INSTANTIATE_TEST_SUITE_P(AllWriters, RowWriterFailure, ::testing::ValuesIn(kRowSettings),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
