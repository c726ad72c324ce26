// The codec layer: PNG decoding of every format that libspng's encoder can make, refusal of
// damaged files, and the three writers checked by reading their files back.

#include <gtest/gtest.h>
#include <spng.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "platform/bitmap.h"
#include "platform/surface.h"
#include "test_support.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadBytes;
using testing_support::TempDir;
using testing_support::WriteBytes;

std::uint32_t Bgra(int r, int g, int b, int a) {
    return std::uint32_t(a) << 24 | std::uint32_t(r) << 16 | std::uint32_t(g) << 8 |
           std::uint32_t(b);
}

std::uint32_t Hash(std::uint32_t x, std::uint32_t y, std::uint32_t seed) {
    return testing_support::PatternPixel(int(x), int(y), seed) & 0xFFFFFFu;
}

// ---------------------------------------------------------------------------------------------
// PNG files made with libspng's encoder, together with the pixels a decoder must give for them.

struct PngCase {
    const char* name;
    int colorType;
    int bitDepth;
    bool interlaced;
    bool trns;  // a tRNS chunk (colour key for grey and truecolour, alpha table for palettes)
};

std::string CaseName(const ::testing::TestParamInfo<PngCase>& info) {
    return std::string(info.param.name) + (info.param.interlaced ? "Adam7" : "Plain");
}

struct GeneratedPng {
    std::string bytes;
    std::vector<std::uint32_t> expected;  // BGRA words, row-major
    bool hasAlpha = false;
};

// Writes big-endian samples of any depth, packed from the most significant bit as PNG wants.
class BitWriter {
public:
    explicit BitWriter(std::vector<unsigned char>& out) : out_(out) {}
    void Put(std::uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            if (used_ == 0) out_.push_back(0);
            out_.back() |= ((value >> i) & 1u) << (7 - used_);
            used_ = (used_ + 1) % 8;
        }
    }
    void EndRow() { used_ = 0; }

private:
    std::vector<unsigned char>& out_;
    int used_ = 0;
};

constexpr int kW = 37;  // odd sizes leave partial bytes and partly empty Adam7 passes
constexpr int kH = 23;

GeneratedPng MakePng(const PngCase& c) {
    const int depth = c.bitDepth;
    const std::uint32_t maxSample = (1u << depth) - 1;
    // Each sample depth reduced to 8 bits: low depths scale exactly, 16 bits keep the high byte.
    const auto to8 = [&](std::uint32_t v) -> int {
        if (depth == 16) return int(v >> 8);
        return int(v * 255 / maxSample);
    };
    const std::uint32_t key = maxSample / 3;  // the tRNS colour key, per channel
    spng_plte plte{};
    spng_trns trns{};
    if (c.colorType == SPNG_COLOR_TYPE_INDEXED) {
        plte.n_entries = 1u << depth;
        for (std::uint32_t i = 0; i < plte.n_entries; ++i) {
            const std::uint32_t h = Hash(i, 7, 99);
            plte.entries[i] = {std::uint8_t(h), std::uint8_t(h >> 8), std::uint8_t(h >> 16), 255};
        }
        // Fewer alpha entries than colours: the rest are opaque.
        trns.n_type3_entries = std::max<std::uint32_t>(1, plte.n_entries / 2);
        for (std::uint32_t i = 0; i < trns.n_type3_entries; ++i) {
            trns.type3_alpha[i] = std::uint8_t(i * 37 % 256);
        }
    } else {
        trns.gray = std::uint16_t(key);
        trns.red = std::uint16_t(key);
        trns.green = std::uint16_t(key);
        trns.blue = std::uint16_t(key);
    }

    GeneratedPng png;
    std::vector<unsigned char> raw;
    BitWriter bits(raw);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            const std::uint32_t h = Hash(std::uint32_t(x), std::uint32_t(y), 5);
            // Every seventh pixel takes the colour key so that the key really occurs.
            const bool keyed = (x + y) % 7 == 0;
            std::uint32_t s[4];
            for (int i = 0; i < 4; ++i) {
                s[i] = (h * (2 * i + 1) + (h >> (8 * i))) & maxSample;
                if (keyed) s[i] = key;
            }
            const bool keyHit = c.trns && s[0] == key && s[1] == key && s[2] == key;
            switch (c.colorType) {
                case SPNG_COLOR_TYPE_GRAYSCALE: {
                    bits.Put(s[0], depth);
                    const int v = to8(s[0]);
                    png.expected.push_back(Bgra(v, v, v, c.trns && s[0] == key ? 0 : 255));
                    break;
                }
                case SPNG_COLOR_TYPE_TRUECOLOR:
                    for (int i = 0; i < 3; ++i) bits.Put(s[i], depth);
                    png.expected.push_back(
                        Bgra(to8(s[0]), to8(s[1]), to8(s[2]), keyHit ? 0 : 255));
                    break;
                case SPNG_COLOR_TYPE_INDEXED: {
                    const std::uint32_t index = s[0];
                    bits.Put(index, depth);
                    const spng_plte_entry& e = plte.entries[index];
                    const int a = c.trns && index < trns.n_type3_entries ? trns.type3_alpha[index]
                                                                         : 255;
                    png.expected.push_back(Bgra(e.red, e.green, e.blue, a));
                    break;
                }
                case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA: {
                    bits.Put(s[0], depth);
                    bits.Put(s[3], depth);
                    const int v = to8(s[0]);
                    png.expected.push_back(Bgra(v, v, v, to8(s[3])));
                    break;
                }
                case SPNG_COLOR_TYPE_TRUECOLOR_ALPHA:
                    for (int i = 0; i < 4; ++i) bits.Put(s[i], depth);
                    png.expected.push_back(Bgra(to8(s[0]), to8(s[1]), to8(s[2]), to8(s[3])));
                    break;
            }
        }
        bits.EndRow();
    }
    png.hasAlpha = c.trns || c.colorType == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
                   c.colorType == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;

    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{};
    ihdr.width = kW;
    ihdr.height = kH;
    ihdr.bit_depth = std::uint8_t(depth);
    ihdr.color_type = std::uint8_t(c.colorType);
    ihdr.interlace_method = c.interlaced ? SPNG_INTERLACE_ADAM7 : SPNG_INTERLACE_NONE;
    EXPECT_EQ(spng_set_ihdr(ctx, &ihdr), 0);
    if (c.colorType == SPNG_COLOR_TYPE_INDEXED) {
        EXPECT_EQ(spng_set_plte(ctx, &plte), 0);
    }
    if (c.trns) {
        EXPECT_EQ(spng_set_trns(ctx, &trns), 0);
    }
    // SPNG_FMT_RAW: big-endian samples packed as in the file, which is how BitWriter made them.
    const int e = spng_encode_image(ctx, raw.data(), raw.size(), SPNG_FMT_RAW,
                                    SPNG_ENCODE_FINALIZE);
    EXPECT_EQ(e, 0) << spng_strerror(e);
    std::size_t length = 0;
    int error = 0;
    void* buffer = spng_get_png_buffer(ctx, &length, &error);
    png.bytes.assign(static_cast<const char*>(buffer), length);
    std::free(buffer);
    spng_ctx_free(ctx);
    return png;
}

std::vector<PngCase> AllPngCases() {
    const PngCase base[] = {
        {"Grey1", SPNG_COLOR_TYPE_GRAYSCALE, 1, false, false},
        {"Grey2", SPNG_COLOR_TYPE_GRAYSCALE, 2, false, false},
        {"Grey4", SPNG_COLOR_TYPE_GRAYSCALE, 4, false, false},
        {"Grey8", SPNG_COLOR_TYPE_GRAYSCALE, 8, false, false},
        {"Grey16", SPNG_COLOR_TYPE_GRAYSCALE, 16, false, false},
        {"Grey2Key", SPNG_COLOR_TYPE_GRAYSCALE, 2, false, true},
        {"Grey8Key", SPNG_COLOR_TYPE_GRAYSCALE, 8, false, true},
        {"Grey16Key", SPNG_COLOR_TYPE_GRAYSCALE, 16, false, true},
        {"Rgb8", SPNG_COLOR_TYPE_TRUECOLOR, 8, false, false},
        {"Rgb16", SPNG_COLOR_TYPE_TRUECOLOR, 16, false, false},
        {"Rgb8Key", SPNG_COLOR_TYPE_TRUECOLOR, 8, false, true},
        {"Rgb16Key", SPNG_COLOR_TYPE_TRUECOLOR, 16, false, true},
        {"Palette1", SPNG_COLOR_TYPE_INDEXED, 1, false, false},
        {"Palette2", SPNG_COLOR_TYPE_INDEXED, 2, false, false},
        {"Palette4", SPNG_COLOR_TYPE_INDEXED, 4, false, false},
        {"Palette8", SPNG_COLOR_TYPE_INDEXED, 8, false, false},
        {"Palette4Alpha", SPNG_COLOR_TYPE_INDEXED, 4, false, true},
        {"Palette8Alpha", SPNG_COLOR_TYPE_INDEXED, 8, false, true},
        {"GreyAlpha8", SPNG_COLOR_TYPE_GRAYSCALE_ALPHA, 8, false, false},
        {"GreyAlpha16", SPNG_COLOR_TYPE_GRAYSCALE_ALPHA, 16, false, false},
        {"Rgba8", SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8, false, false},
        {"Rgba16", SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 16, false, false},
    };
    std::vector<PngCase> cases;
    for (const PngCase& c : base) {
        cases.push_back(c);
        PngCase interlaced = c;
        interlaced.interlaced = true;
        cases.push_back(interlaced);
    }
    return cases;
}

class PngDecode : public ::testing::TestWithParam<PngCase> {};

TEST_P(PngDecode, GivesEveryPixelInOurLayout) {
    TempDir dir;
    const GeneratedPng png = MakePng(GetParam());
    const std::string path = dir.file("画像 ファイル.png");
    WriteBytes(path, png.bytes);

    platform::Picture picture;
    const platform::Status s = codec::ReadPng(path, picture);
    ASSERT_TRUE(s.ok()) << s.reason();
    ASSERT_EQ(picture.pixels.width(), kW);
    ASSERT_EQ(picture.pixels.height(), kH);
    EXPECT_EQ(picture.hasAlpha, png.hasAlpha);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            ASSERT_EQ(picture.pixels.at(x, y), png.expected[std::size_t(y) * kW + x])
                << std::hex << "at " << std::dec << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, PngDecode, ::testing::ValuesIn(AllPngCases()), CaseName);

TEST(PngDraw, BlendsOverWhatTheBitmapHoldsAndClips) {
    TempDir dir;
    const GeneratedPng png = MakePng({"Rgba8", SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8, true, false});
    const std::string path = dir.file("over.png");
    WriteBytes(path, png.bytes);

    // Wider than the image (the right part stays) and lower (the image is cut at the bottom).
    platform::Bitmap target;
    ASSERT_TRUE(target.Allocate(kW + 5, kH - 4).ok());
    const std::uint32_t background = platform::Rgb(10, 200, 90);
    target.Fill(background);
    std::string reason;
    ASSERT_EQ(codec::DCReadPNG(path, &target, &reason), 0) << reason;

    for (int y = 0; y < target.height(); ++y) {
        for (int x = 0; x < target.width(); ++x) {
            std::uint32_t want = background;
            if (x < kW) {
                const std::uint32_t src = png.expected[std::size_t(y) * kW + x];
                const std::uint32_t a = src >> 24;
                want = platform::kOpaque;
                for (int shift = 0; shift < 24; shift += 8) {
                    const std::uint32_t s = (src >> shift) & 0xFF;
                    const std::uint32_t d = (background >> shift) & 0xFF;
                    // Nearest whole number; 255 is odd, so no sum lies halfway.
                    want |= ((a * s + (255 - a) * d + 127) / 255) << shift;
                }
            }
            ASSERT_EQ(target.at(x, y), want) << x << "," << y;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Files that must be refused, with the picture and the bitmap left as they were.

std::uint32_t Crc32(const unsigned char* p, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

// Offset of the first chunk of the given type (its length field), or npos.
std::size_t FindChunk(const std::string& png, const char* type) {
    std::size_t at = 8;
    while (at + 8 <= png.size()) {
        const auto* p = reinterpret_cast<const unsigned char*>(png.data() + at);
        const std::size_t length = std::size_t(p[0]) << 24 | std::size_t(p[1]) << 16 |
                                   std::size_t(p[2]) << 8 | p[3];
        if (std::memcmp(p + 4, type, 4) == 0) return at;
        at += 12 + length;
    }
    return std::string::npos;
}

void FixCrc(std::string& png, std::size_t chunk) {
    auto* p = reinterpret_cast<unsigned char*>(png.data() + chunk);
    const std::size_t length = std::size_t(p[0]) << 24 | std::size_t(p[1]) << 16 |
                               std::size_t(p[2]) << 8 | p[3];
    const std::uint32_t crc = Crc32(p + 4, length + 4);
    for (int i = 0; i < 4; ++i) p[8 + length + i] = std::uint8_t(crc >> (24 - 8 * i));
}

void PutBe32(std::string& bytes, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = char(v >> (24 - 8 * i));
}

struct BadFile {
    const char* name;
    std::string (*make)(const std::string& good);
    const char* reasonPart;
};

const BadFile kBadFiles[] = {
    {"NotPng", [](const std::string&) { return std::string("\xFF\xD8\xFF\xE0 JFIF", 10); },
     "PNG ファイルではありません"},
    {"Empty", [](const std::string&) { return std::string(); }, "途中で切れて"},
    {"CutInHeader", [](const std::string& g) { return g.substr(0, 20); }, "途中で切れて"},
    {"CutInImageData",
     [](const std::string& g) { return g.substr(0, FindChunk(g, "IDAT") + 40); }, "途中で切れて"},
    {"CutBeforeEnd", [](const std::string& g) { return g.substr(0, FindChunk(g, "IEND")); },
     "途中で切れて"},
    {"ImageDataCrc",
     [](const std::string& g) {
         // The data stays intact; only its checksum is wrong.
         std::string bad = g;
         const std::size_t idat = FindChunk(g, "IDAT");
         const std::size_t length = std::size_t(static_cast<unsigned char>(g[idat + 2])) << 8 |
                                    static_cast<unsigned char>(g[idat + 3]);
         bad[idat + 8 + length] ^= 0x01;
         return bad;
     },
     "CRC"},
    {"HeaderCrc",
     [](const std::string& g) {
         std::string bad = g;
         bad[29] ^= 0x01;  // IHDR's CRC: 8 signature + 8 length and type + 13 data
         return bad;
     },
     "CRC"},
    {"ImageDataByteFlipped",
     [](const std::string& g) {
         std::string bad = g;
         bad[FindChunk(g, "IDAT") + 20] ^= 0x55;
         return bad;
     },
     "壊れています"},
    {"ImageDataZlib",
     [](const std::string& g) {
         std::string bad = g;
         const std::size_t idat = FindChunk(g, "IDAT");
         bad[idat + 8] = char(0xFF);  // no valid zlib header starts with 0xFF
         FixCrc(bad, idat);
         return bad;
     },
     "圧縮データ"},
    {"HeaderTooLarge",
     [](const std::string& g) {
         // 70000 x 70000 pixels, far beyond the pixel limit; the CRC is made valid.
         std::string bad = g;
         PutBe32(bad, 16, 70000);
         PutBe32(bad, 20, 70000);
         FixCrc(bad, 8);
         return bad;
     },
     "大きすぎ"},
    {"WidthBeyondSideLimit",
     [](const std::string& g) {
         std::string bad = g;
         PutBe32(bad, 16, 0x7FFFFFFFu);
         PutBe32(bad, 20, 1);
         FixCrc(bad, 8);
         return bad;
     },
     "大きすぎ"},
    {"ZeroWidth",
     [](const std::string& g) {
         std::string bad = g;
         PutBe32(bad, 16, 0);
         FixCrc(bad, 8);
         return bad;
     },
     "ヘッダ"},
};

class PngRefusal : public ::testing::TestWithParam<BadFile> {};

TEST_P(PngRefusal, FailsWithReasonAndTouchesNothing) {
    TempDir dir;
    const std::string good = MakePng({"Rgb8", SPNG_COLOR_TYPE_TRUECOLOR, 8, false, false}).bytes;
    const std::string path = dir.file("bad.png");
    WriteBytes(path, GetParam().make(good));

    platform::Picture picture;
    ASSERT_TRUE(picture.pixels.Allocate(2, 3).ok());
    picture.pixels.Fill(0x12345678u);
    picture.hasAlpha = true;
    const platform::Status s = codec::ReadPng(path, picture);
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.reason().find(GetParam().reasonPart), std::string::npos) << s.reason();
    EXPECT_EQ(picture.pixels.width(), 2);
    EXPECT_EQ(picture.pixels.height(), 3);
    EXPECT_EQ(picture.pixels.at(1, 2), 0x12345678u);
    EXPECT_TRUE(picture.hasAlpha);

    platform::Bitmap target;
    ASSERT_TRUE(target.Allocate(kW, kH).ok());
    target.Fill(platform::kWhite);
    std::string reason;
    EXPECT_NE(codec::DCReadPNG(path, &target, &reason), 0);
    EXPECT_EQ(reason, s.reason());
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) ASSERT_EQ(target.at(x, y), platform::kWhite);
    }
}

INSTANTIATE_TEST_SUITE_P(Damaged, PngRefusal, ::testing::ValuesIn(kBadFiles),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PngRefusal, MissingFileAndFolderHaveTheirOwnReasons) {
    TempDir dir;
    platform::Picture picture;
    platform::Status s = codec::ReadPng(dir.file("なし.png"), picture);
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.reason().find("見つかりません"), std::string::npos) << s.reason();
    std::filesystem::create_directory(dir.file("folder.png"));
    s = codec::ReadPng(dir.file("folder.png"), picture);
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.reason().find("フォルダ"), std::string::npos) << s.reason();
    EXPECT_TRUE(picture.pixels.empty());
}

// ---------------------------------------------------------------------------------------------
// The writers.

// Smooth content that JPEG keeps well; the fourth byte is left at an arbitrary value, which no
// writer may take as data.
void FillSmooth(platform::Bitmap& bitmap) {
    for (int y = 0; y < bitmap.height(); ++y) {
        for (int x = 0; x < bitmap.width(); ++x) {
            const int r = 128 + int(100 * std::sin(x / 23.0 + y / 41.0));
            const int g = 128 + int(90 * std::cos(x / 37.0 - y / 19.0));
            const int b = 128 + int(80 * std::sin((x + y) / 29.0));
            bitmap.at(x, y) = Bgra(r, g, b, 0x5A);
        }
    }
}

struct DecodedJpeg {
    int width = 0, height = 0, subsampling = -1;
    std::vector<unsigned char> bgrx;
};

DecodedJpeg DecodeJpeg(const std::string& bytes) {
    DecodedJpeg out;
    tjhandle handle = tjInitDecompress();
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    int colorspace = 0;
    if (tjDecompressHeader3(handle, data, bytes.size(), &out.width, &out.height,
                            &out.subsampling, &colorspace) == 0) {
        out.bgrx.resize(std::size_t(out.width) * out.height * 4);
        if (tjDecompress2(handle, data, bytes.size(), out.bgrx.data(), out.width, 0, out.height,
                          TJPF_BGRX, 0) != 0) {
            out.bgrx.clear();
        }
    }
    tjDestroy(handle);
    return out;
}

// The marker of the first start-of-frame segment (0xC0 baseline, 0xC2 progressive), found by
// walking the segments from SOI; 0 when there is none.
int FrameMarker(const std::string& bytes) {
    std::size_t at = 2;
    while (at + 4 <= bytes.size() && static_cast<unsigned char>(bytes[at]) == 0xFF) {
        const int marker = static_cast<unsigned char>(bytes[at + 1]);
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
            marker != 0xCC) {
            return marker;
        }
        if (marker == 0xDA) return 0;  // scan data before any frame header
        at += 2 + (std::size_t(static_cast<unsigned char>(bytes[at + 2])) << 8 |
                   static_cast<unsigned char>(bytes[at + 3]));
    }
    return 0;
}

class JpegWrite : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(JpegWrite, DecodesCloseToTheSourceInTheRequestedMode) {
    TempDir dir;
    platform::Bitmap image;
    ASSERT_TRUE(image.Allocate(161, 97).ok());
    FillSmooth(image);
    const std::string path = dir.file("結果 画像.jpg");
    std::string reason;
    ASSERT_EQ(codec::DCSavetoJPEG(&image, 161, 97, path, 90, GetParam(), &reason), 0) << reason;

    const std::string bytes = ReadBytes(path);
    // SOF2 starts a progressive frame, SOF0 a baseline one.
    EXPECT_EQ(FrameMarker(bytes), GetParam() != 0 ? 0xC2 : 0xC0);
    const DecodedJpeg jpeg = DecodeJpeg(bytes);
    ASSERT_EQ(jpeg.width, 161);
    ASSERT_EQ(jpeg.height, 97);
    EXPECT_EQ(jpeg.subsampling, TJSAMP_420);
    ASSERT_FALSE(jpeg.bgrx.empty());
    // Quality 90 with 4:2:0 chroma on content this smooth and edge-free: the mean error stays
    // near one level and no channel strays beyond the quantisation of a few coefficients.
    double sum = 0;
    int worst = 0;
    for (int y = 0; y < 97; ++y) {
        const auto* src = reinterpret_cast<const unsigned char*>(image.row(y));
        const unsigned char* got = jpeg.bgrx.data() + std::size_t(y) * 161 * 4;
        for (int i = 0; i < 161 * 4; ++i) {
            if (i % 4 == 3) continue;
            const int d = std::abs(int(src[i]) - int(got[i]));
            sum += d;
            worst = std::max(worst, d);
        }
    }
    EXPECT_LT(sum / (161.0 * 97 * 3), 2.5);
    EXPECT_LT(worst, 16);
}

INSTANTIATE_TEST_SUITE_P(Modes, JpegWrite, ::testing::Values(0, -1, 1),
                         [](const auto& info) {
                             return info.param == 0 ? std::string("Baseline")
                                                    : "Progressive" + std::to_string(info.index);
                         });

TEST(JpegWriteRate, IsClampedIntoTheQualityRange) {
    TempDir dir;
    platform::Bitmap image;
    ASSERT_TRUE(image.Allocate(64, 48).ok());
    FillSmooth(image);
    const auto save = [&](std::uint8_t rate) {
        const std::string path = dir.file("q" + std::to_string(rate) + ".jpg");
        EXPECT_EQ(codec::DCSavetoJPEG(&image, 64, 48, path, rate, 0), 0);
        return ReadBytes(path);
    };
    EXPECT_EQ(save(0), save(1));
    EXPECT_EQ(save(255), save(100));
    EXPECT_NE(save(50), save(100));
    EXPECT_LT(save(1).size(), save(100).size());
}

TEST(JpegWriteRegion, TakesTheTopLeftCornerAndClipsToTheBitmap) {
    TempDir dir;
    platform::Bitmap image;
    ASSERT_TRUE(image.Allocate(80, 60).ok());
    FillSmooth(image);
    const std::string part = dir.file("part.jpg");
    ASSERT_EQ(codec::DCSavetoJPEG(&image, 40, 30, part, 95, 0), 0);
    const DecodedJpeg small = DecodeJpeg(ReadBytes(part));
    ASSERT_EQ(small.width, 40);
    ASSERT_EQ(small.height, 30);
    double sum = 0;
    for (int y = 0; y < 30; ++y) {
        const auto* src = reinterpret_cast<const unsigned char*>(image.row(y));
        for (int i = 0; i < 40 * 4; ++i) {
            if (i % 4 != 3) sum += std::abs(int(src[i]) - small.bgrx[std::size_t(y) * 160 + i]);
        }
    }
    EXPECT_LT(sum / (40.0 * 30 * 3), 2.5);  // the corner's content, not a rescaled whole

    const std::string over = dir.file("over.jpg");
    ASSERT_EQ(codec::DCSavetoJPEG(&image, 500, 400, over, 95, 0), 0);
    const DecodedJpeg clipped = DecodeJpeg(ReadBytes(over));
    EXPECT_EQ(clipped.width, 80);
    EXPECT_EQ(clipped.height, 60);
}

TEST(PngWrite, RoundTripsExactlyAtEverySetting) {
    TempDir dir;
    platform::Bitmap image;
    ASSERT_TRUE(image.Allocate(123, 45).ok());
    testing_support::FillPattern(image, 17);
    image.at(0, 0) = Bgra(1, 2, 3, 0);  // the fourth byte is no alpha to the writer
    for (std::uint8_t rate : {0, 1, 2, 3, 255}) {
        SCOPED_TRACE(int(rate));
        const std::string path = dir.file("結果 " + std::to_string(rate) + ".png");
        std::string reason;
        ASSERT_EQ(codec::DCSavetoPNG(&image, 123, 45, path, rate, &reason), 0) << reason;
        platform::Picture back;
        ASSERT_TRUE(codec::ReadPng(path, back).ok());
        EXPECT_FALSE(back.hasAlpha);  // 8-bit RGB without tRNS
        ASSERT_EQ(back.pixels.width(), 123);
        ASSERT_EQ(back.pixels.height(), 45);
        for (int y = 0; y < 45; ++y) {
            for (int x = 0; x < 123; ++x) {
                ASSERT_EQ(back.pixels.at(x, y), image.at(x, y) | platform::kOpaque) << x << ","
                                                                                    << y;
            }
        }
    }
}

TEST(PngWrite, SmallestSettingGivesTheSmallestFile) {
    TempDir dir;
    platform::Bitmap image;
    ASSERT_TRUE(image.Allocate(300, 200).ok());
    const auto size = [&](std::uint8_t rate) {
        const std::string path = dir.file("s" + std::to_string(rate) + ".png");
        EXPECT_EQ(codec::DCSavetoPNG(&image, 300, 200, path, rate), 0);
        return ReadBytes(path).size();
    };
    // Noise, where run-length coding wins, and flat blocks, where string matching wins.
    testing_support::FillPattern(image, 4);
    EXPECT_LE(size(2), size(0));
    EXPECT_LE(size(2), size(1));
    for (int y = 0; y < 200; ++y) {
        for (int x = 0; x < 300; ++x) {
            image.at(x, y) = testing_support::PatternPixel(x / 25, y / 20, 8);
        }
    }
    EXPECT_LT(size(2), size(0));
    EXPECT_LE(size(0), size(1));
}

TEST(PngWrite, ClipsToTheBitmap) {
    TempDir dir;
    platform::Bitmap image;
    ASSERT_TRUE(image.Allocate(30, 20).ok());
    testing_support::FillPattern(image, 3);
    const std::string path = dir.file("clip.png");
    ASSERT_EQ(codec::DCSavetoPNG(&image, 10, 400, path, 0), 0);
    platform::Picture back;
    ASSERT_TRUE(codec::ReadPng(path, back).ok());
    ASSERT_EQ(back.pixels.width(), 10);
    ASSERT_EQ(back.pixels.height(), 20);
    EXPECT_EQ(back.pixels.at(9, 19), image.at(9, 19));
}

// Reads a 24-bit bottom-up BMP with nothing but the format's own rules.
struct Bmp {
    std::uint32_t Le32(std::size_t at) const {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
        return v;
    }
    std::uint16_t Le16(std::size_t at) const {
        return std::uint16_t(static_cast<unsigned char>(bytes[at]) |
                             static_cast<unsigned char>(bytes[at + 1]) << 8);
    }
    std::string bytes;
};

class BmpWrite : public ::testing::TestWithParam<int> {};

TEST_P(BmpWrite, HeaderAndBottomUpPaddedRowsAreStandard) {
    const int w = GetParam();
    const int h = 7;
    TempDir dir;
    platform::Bitmap image;
    ASSERT_TRUE(image.Allocate(w, h).ok());
    testing_support::FillPattern(image, std::uint32_t(w));
    const std::string path = dir.file("ビット マップ.bmp");
    const platform::Status s = codec::SavePicture(image, path);
    ASSERT_TRUE(s.ok()) << s.reason();

    const Bmp bmp{ReadBytes(path)};
    const std::uint32_t stride = (std::uint32_t(w) * 3 + 3) / 4 * 4;
    ASSERT_EQ(bmp.bytes.size(), 54 + stride * h);
    EXPECT_EQ(bmp.bytes.substr(0, 2), "BM");
    EXPECT_EQ(bmp.Le32(2), bmp.bytes.size());
    EXPECT_EQ(bmp.Le32(6), 0u);  // reserved
    EXPECT_EQ(bmp.Le32(10), 54u);
    EXPECT_EQ(bmp.Le32(14), 40u);
    EXPECT_EQ(bmp.Le32(18), std::uint32_t(w));
    EXPECT_EQ(bmp.Le32(22), std::uint32_t(h));  // positive: bottom-up
    EXPECT_EQ(bmp.Le16(26), 1);
    EXPECT_EQ(bmp.Le16(28), 24);
    EXPECT_EQ(bmp.Le32(30), 0u);  // BI_RGB
    EXPECT_EQ(bmp.Le32(34), stride * h);
    EXPECT_EQ(bmp.Le32(46), 0u);  // no colour table
    for (int row = 0; row < h; ++row) {
        const std::size_t base = 54 + std::size_t(row) * stride;
        const int y = h - 1 - row;
        for (int x = 0; x < w; ++x) {
            const std::uint32_t p = image.at(x, y);
            ASSERT_EQ(static_cast<unsigned char>(bmp.bytes[base + 3 * x]), p & 0xFF);
            ASSERT_EQ(static_cast<unsigned char>(bmp.bytes[base + 3 * x + 1]), (p >> 8) & 0xFF);
            ASSERT_EQ(static_cast<unsigned char>(bmp.bytes[base + 3 * x + 2]), (p >> 16) & 0xFF);
        }
        for (std::uint32_t pad = std::uint32_t(w) * 3; pad < stride; ++pad) {
            ASSERT_EQ(bmp.bytes[base + pad], 0);
        }
    }
}

// Widths 1..5 give every padding of 0..3 bytes; 700 rows of 2100 bytes span several write
// blocks only with the tall case below.
INSTANTIATE_TEST_SUITE_P(Widths, BmpWrite, ::testing::Values(1, 2, 3, 4, 5, 700));

TEST(BmpWriteLarge, RowsCrossingWriteBlocksStayInOrder) {
    TempDir dir;
    platform::Bitmap image;
    ASSERT_TRUE(image.Allocate(1001, 1100).ok());  // about 3.3 MB: several 1 MiB blocks
    testing_support::FillPattern(image, 9);
    const std::string path = dir.file("large.bmp");
    ASSERT_TRUE(codec::SavePicture(image, path).ok());
    const std::string bytes = ReadBytes(path);
    const std::size_t stride = 3004;
    ASSERT_EQ(bytes.size(), 54 + stride * 1100);
    for (int y : {0, 348, 349, 350, 700, 1099}) {
        const std::size_t at = 54 + std::size_t(1099 - y) * stride + 3 * 1000;
        const std::uint32_t p = image.at(1000, y);
        EXPECT_EQ(static_cast<unsigned char>(bytes[at]), p & 0xFF) << y;
        EXPECT_EQ(static_cast<unsigned char>(bytes[at + 2]), (p >> 16) & 0xFF) << y;
    }
}

// ---------------------------------------------------------------------------------------------
// Failures of the writers: a reason, and no file (or no partial file) left behind.

enum class Writer { Jpeg, Png, Bmp };

std::string WriteWith(Writer writer, platform::Bitmap& image, int w, int h,
                      const std::string& path) {
    std::string reason;
    switch (writer) {
        case Writer::Jpeg:
            return codec::DCSavetoJPEG(&image, w, h, path, 75, 0, &reason) == 0 ? "" : reason;
        case Writer::Png:
            return codec::DCSavetoPNG(&image, w, h, path, 0, &reason) == 0 ? "" : reason;
        case Writer::Bmp:
            if (w != image.width() || h != image.height()) {
                platform::Bitmap empty;
                const platform::Status s = codec::SavePicture(empty, path);
                return s.ok() ? "" : s.reason();
            }
            return codec::SavePicture(image, path).reason();
    }
    return "";
}

std::string WriterName(const ::testing::TestParamInfo<Writer>& info) {
    switch (info.param) {
        case Writer::Jpeg: return "Jpeg";
        case Writer::Png: return "Png";
        case Writer::Bmp: return "Bmp";
    }
    return "";
}

class WriterFailure : public ::testing::TestWithParam<Writer> {};

TEST_P(WriterFailure, EmptyRegionIsRefusedWithoutAFile) {
    TempDir dir;
    platform::Bitmap image;
    ASSERT_TRUE(image.Allocate(8, 8).ok());
    const std::string path = dir.file("empty.out");
    EXPECT_NE(WriteWith(GetParam(), image, 0, 8, path), "");
    EXPECT_NE(WriteWith(GetParam(), image, 8, -1, path), "");
    EXPECT_FALSE(FileExists(path));
}

TEST_P(WriterFailure, MissingFolderIsReported) {
    TempDir dir;
    platform::Bitmap image;
    ASSERT_TRUE(image.Allocate(8, 8).ok());
    testing_support::FillPattern(image, 1);
    const std::string reason = WriteWith(GetParam(), image, 8, 8, dir.file("なし/out.img"));
    EXPECT_NE(reason.find("見つかりません"), std::string::npos) << reason;
}

TEST_P(WriterFailure, FullDiskIsReportedAndTheDeviceStays) {
    if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    platform::Bitmap image;
    ASSERT_TRUE(image.Allocate(64, 64).ok());
    testing_support::FillPattern(image, 2);
    const std::string reason = WriteWith(GetParam(), image, 64, 64, "/dev/full");
    EXPECT_NE(reason.find("ディスクの空き"), std::string::npos) << reason;
    EXPECT_TRUE(FileExists("/dev/full"));
}

INSTANTIATE_TEST_SUITE_P(AllWriters, WriterFailure,
                         ::testing::Values(Writer::Jpeg, Writer::Png, Writer::Bmp), WriterName);

}  // namespace
