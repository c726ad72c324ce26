// Loading image files into the slots: every format the program reads, written here by hand (or by
// Qt for JPEG and PNG), loaded through LoadImageSlot, and compared with the pixels the writer was
// given. Failing loads must leave the slot exactly as it was.

#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "compose/slots.h"
#include "imagefiles/load_image.h"
#include "platform/bmp_read.h"
#include "test_support.h"

namespace {

using platform::Bitmap;
using testing_support::PatternPixel;
using testing_support::TempDir;
using testing_support::WriteBytes;

// ---- Writers ----------------------------------------------------------------------------------

void Put16(std::string& s, unsigned v) { s += char(v & 0xFF), s += char(v >> 8 & 0xFF); }
void Put32(std::string& s, std::uint32_t v) { Put16(s, v & 0xFFFF), Put16(s, v >> 16); }

enum class BmpKind { Rgb24, Rgb32, Pal8, TopDown24 };

// An uncompressed BMP of the expected image. Pal8 images must use at most 256 colours.
std::string BmpBytes(const Bitmap& img, BmpKind kind, std::int32_t declaredW = 0,
                     std::int32_t declaredH = 0) {
    const int w = img.width(), h = img.height();
    const int bits = kind == BmpKind::Rgb32 ? 32 : kind == BmpKind::Pal8 ? 8 : 24;
    std::vector<std::uint32_t> palette;
    if (kind == BmpKind::Pal8) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                if (std::find(palette.begin(), palette.end(), img.at(x, y)) == palette.end()) {
                    palette.push_back(img.at(x, y));
                }
            }
        }
    }
    const std::uint32_t stride = (std::uint32_t(w) * bits + 31) / 32 * 4;
    const std::uint32_t offset = 14 + 40 + std::uint32_t(palette.size()) * 4;
    std::string s = "BM";
    Put32(s, offset + stride * std::uint32_t(h));
    Put32(s, 0);
    Put32(s, offset);
    Put32(s, 40);
    Put32(s, std::uint32_t(declaredW ? declaredW : w));
    Put32(s, std::uint32_t(declaredH ? declaredH : kind == BmpKind::TopDown24 ? -h : h));
    Put16(s, 1), Put16(s, unsigned(bits));
    Put32(s, 0), Put32(s, stride * std::uint32_t(h)), Put32(s, 2835), Put32(s, 2835);
    Put32(s, std::uint32_t(palette.size())), Put32(s, 0);
    for (std::uint32_t c : palette) Put32(s, c & 0xFFFFFF);
    for (int r = 0; r < h; ++r) {
        const int y = kind == BmpKind::TopDown24 ? r : h - 1 - r;
        std::string row;
        for (int x = 0; x < w; ++x) {
            const std::uint32_t p = img.at(x, y);
            if (kind == BmpKind::Pal8) {
                row += char(std::find(palette.begin(), palette.end(), p) - palette.begin());
            } else {
                row += char(p), row += char(p >> 8), row += char(p >> 16);
                if (bits == 32) row += '\0';
            }
        }
        row.resize(stride, '\0');
        s += row;
    }
    return s;
}

// A direct-colour BMP. Each channel is packed as v * max / 255, exact for 8-bit channels and for
// 0 and 255. The masks go where files keep them: in a longer header, or after a 40-byte one with
// bit fields.
struct Direct {
    int bits;                   // 16, 24 or 32
    std::uint32_t compression;  // 0 plain, 3 bit fields, 6 bit fields with alpha
    std::uint32_t header;       // 40, 52, 56, 108 or 124 bytes
    std::uint32_t masks[4];     // red, green, blue, alpha: how the pixels are packed
};
constexpr Direct k555{16, 0, 40, {0x7C00, 0x03E0, 0x001F, 0}};
constexpr Direct k565{16, 3, 40, {0xF800, 0x07E0, 0x001F, 0}};
constexpr Direct k4444V3{16, 3, 56, {0xF00, 0xF0, 0xF, 0xF000}};
constexpr Direct k1555V5{16, 3, 124, {0x7C00, 0x3E0, 0x1F, 0x8000}};
constexpr Direct k2101010V5{32, 3, 124, {0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000}};
constexpr Direct kArgbV5{32, 3, 124, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}};
constexpr Direct kXrgb{32, 0, 40, {0xFF0000, 0xFF00, 0xFF, 0}};
constexpr Direct kArgbPlainV5{32, 0, 124, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}};

std::string DirectBmp(const Bitmap& img, const Direct& d, bool topDown = false) {
    const std::uint32_t w = std::uint32_t(img.width()), h = std::uint32_t(img.height());
    const std::uint32_t stride = (w * std::uint32_t(d.bits) + 31) / 32 * 4;
    const std::uint32_t offset =
        14 + d.header + (d.header == 40 && d.compression ? (d.compression == 6 ? 16 : 12) : 0);
    std::string s = "BM";
    Put32(s, offset + stride * h), Put32(s, 0), Put32(s, offset), Put32(s, d.header);
    Put32(s, w), Put32(s, topDown ? 0 - h : h), Put16(s, 1), Put16(s, unsigned(d.bits));
    Put32(s, d.compression), Put32(s, stride * h), Put32(s, 2835), Put32(s, 2835);
    Put32(s, 0), Put32(s, 0);
    for (std::uint32_t m : d.masks) Put32(s, m);
    s.resize(offset, '\0');                          // drops the masks of a plain 40-byte file
    static constexpr int kFrom[4] = {16, 8, 0, 24};  // where a Bitmap keeps red, green, blue, alpha
    for (std::uint32_t r = 0; r < h; ++r) {
        std::string row;
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint32_t p = img.at(int(x), int(topDown ? r : h - 1 - r));
            std::uint32_t packed = d.bits == 24 ? p : 0;
            for (int c = 0; c < 4 && d.bits != 24; ++c) {
                const std::uint32_t m = d.masks[c];
                const std::uint32_t low = m ? std::uint32_t(std::countr_zero(m)) : 0;
                packed |= ((p >> kFrom[c] & 0xFF) * (m >> low) + 127) / 255 << low;
            }
            for (int k = 0; k < d.bits / 8; ++k) row += char(packed >> (8 * k));
        }
        row.resize(stride, '\0');
        s += row;
    }
    return s;
}

// A GIF with one 256-colour global table and one image. The LZW stream sends every pixel as its
// own 9-bit code and clears the table before it would need wider codes: valid, just not small.
std::string GifBytes(int w, int h, const std::vector<std::uint32_t>& palette,
                     const std::vector<std::uint8_t>& indices, int transparent = -1) {
    std::string s = "GIF89a";
    Put16(s, unsigned(w)), Put16(s, unsigned(h));
    s += char(0xF7), s += '\0', s += '\0';  // global table of 256 entries
    for (int i = 0; i < 256; ++i) {
        const std::uint32_t c = i < int(palette.size()) ? palette[std::size_t(i)] : 0;
        s += char(c >> 16), s += char(c >> 8), s += char(c);
    }
    if (transparent >= 0) {
        s += "\x21\xF9\x04\x01";
        Put16(s, 0);
        s += char(transparent), s += '\0';
    }
    s += ',';
    Put16(s, 0), Put16(s, 0), Put16(s, unsigned(w)), Put16(s, unsigned(h));
    s += '\0';
    s += char(8);  // minimum code size
    std::string packed;
    std::uint32_t acc = 0;
    int nbits = 0;
    const auto sendCode = [&](unsigned code) {
        acc |= code << nbits;
        nbits += 9;
        while (nbits >= 8) packed += char(acc & 0xFF), acc >>= 8, nbits -= 8;
    };
    for (std::size_t i = 0; i < indices.size(); ++i) {
        if (i % 254 == 0) sendCode(256);
        sendCode(indices[i]);
    }
    sendCode(257);
    if (nbits > 0) packed += char(acc & 0xFF);
    for (std::size_t at = 0; at < packed.size(); at += 255) {
        const std::string block = packed.substr(at, 255);
        s += char(block.size());
        s += block;
    }
    s += '\0';
    s += ';';
    return s;
}

// An icon whose entries are 32-bit DIBs with alpha (and an all-zero AND mask).
std::string IcoBytes(const std::vector<const Bitmap*>& entries) {
    std::string s;
    Put16(s, 0), Put16(s, 1), Put16(s, unsigned(entries.size()));
    std::vector<std::string> data;
    for (const Bitmap* b : entries) {
        const int w = b->width(), h = b->height();
        std::string d;
        Put32(d, 40), Put32(d, std::uint32_t(w)), Put32(d, std::uint32_t(2 * h));
        Put16(d, 1), Put16(d, 32);
        for (int i = 0; i < 6; ++i) Put32(d, 0);
        for (int y = h - 1; y >= 0; --y) {
            for (int x = 0; x < w; ++x) Put32(d, b->at(x, y));
        }
        d.append(std::size_t((w + 31) / 32 * 4 * h), '\0');
        data.push_back(d);
    }
    std::uint32_t offset = 6 + 16 * std::uint32_t(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        s += char(entries[i]->width()), s += char(entries[i]->height()), s += '\0', s += '\0';
        Put16(s, 1), Put16(s, 32);
        Put32(s, std::uint32_t(data[i].size())), Put32(s, offset);
        offset += std::uint32_t(data[i].size());
    }
    for (const std::string& d : data) s += d;
    return s;
}

QImage ToQImage(const Bitmap& b) {
    QImage q(b.width(), b.height(), QImage::Format_ARGB32);
    for (int y = 0; y < b.height(); ++y) {
        std::memcpy(q.scanLine(y), b.row(y), std::size_t(b.width()) * 4);
    }
    return q;
}

void SaveWithQt(const Bitmap& b, const std::string& path, const char* format, int quality = -1) {
    ASSERT_TRUE(ToQImage(b).save(QString::fromStdString(path), format, quality)) << path;
}

Bitmap Make(int w, int h, const std::function<std::uint32_t(int, int)>& f) {
    Bitmap b;
    EXPECT_TRUE(b.Allocate(w, h));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) b.at(x, y) = f(x, y);
    }
    return b;
}

// Transparent pixels (alpha 0) show the slot's white background; the rest are opaque.
std::uint32_t OverWhite(std::uint32_t p) { return (p >> 24) == 0 ? platform::kWhite : p; }

// ---- Loading each format --------------------------------------------------------------------

struct FormatCase {
    const char* name;
    const char* file;
    int width, height;
    // Writes the file from which the loader must produce `image`; alpha 0 marks transparency.
    std::function<void(const Bitmap& image, const std::string& path)> write;
    std::function<std::uint32_t(int, int)> pixel;
    int tolerance = 0;
};

std::uint32_t Palette16(int x, int y) { return PatternPixel((x * 5 + y) % 16, 0, 77); }
std::uint32_t Holey(int x, int y) { return (x + y) % 3 == 0 ? 0 : PatternPixel(x, y, 5); }
std::uint32_t Smooth(int x, int y) {
    return platform::Rgb(std::uint8_t(x * 4), std::uint8_t(y * 4), 128);
}

// Channels of 0 and 255 only, which every channel width holds exactly.
std::uint32_t TwoLevel(int x, int y) {
    const std::uint32_t p = PatternPixel(x, y, 40);
    return platform::Rgb(p & 0x800000 ? 255 : 0, p & 0x8000 ? 255 : 0, p & 0x80 ? 255 : 0);
}
std::uint32_t Pattern41(int x, int y) { return PatternPixel(x, y, 41); }

std::vector<std::uint8_t> Indices(const Bitmap& b, const std::vector<std::uint32_t>& palette) {
    std::vector<std::uint8_t> out;
    for (int y = 0; y < b.height(); ++y) {
        for (int x = 0; x < b.width(); ++x) {
            out.push_back(std::uint8_t(std::find(palette.begin(), palette.end(), b.at(x, y)) -
                                       palette.begin()));
        }
    }
    return out;
}

std::vector<std::uint32_t> PaletteOf16() {
    std::vector<std::uint32_t> p;
    for (int i = 0; i < 16; ++i) p.push_back(PatternPixel(i, 0, 77));
    return p;
}

const FormatCase kFormats[] = {
    {"Bmp24", "a.bmp", 37, 23, [](auto& b, auto& p) { WriteBytes(p, BmpBytes(b, BmpKind::Rgb24)); },
     [](int x, int y) { return PatternPixel(x, y, 1); }},
    {"Bmp32", "a.bmp", 31, 17, [](auto& b, auto& p) { WriteBytes(p, BmpBytes(b, BmpKind::Rgb32)); },
     [](int x, int y) { return PatternPixel(x, y, 2); }},
    {"Bmp8Palette", "a.bmp", 29, 19,
     [](auto& b, auto& p) { WriteBytes(p, BmpBytes(b, BmpKind::Pal8)); }, Palette16},
    {"BmpTopDown", "a.bmp", 13, 41,
     [](auto& b, auto& p) { WriteBytes(p, BmpBytes(b, BmpKind::TopDown24)); },
     [](int x, int y) { return PatternPixel(x, y, 3); }},
    // Direct-colour layouts, read by our own reader. Widths 1 to 3 give every row padding.
    {"Bmp16Plain", "a.bmp", 7, 5, [](auto& b, auto& p) { WriteBytes(p, DirectBmp(b, k555)); },
     TwoLevel},
    {"Bmp16Fields565TopDown", "a.bmp", 5, 4,
     [](auto& b, auto& p) { WriteBytes(p, DirectBmp(b, k565, true)); }, TwoLevel},
    {"Bmp32FieldsOddOrder", "a.bmp", 9, 3,
     [](auto& b, auto& p) {
         WriteBytes(p, DirectBmp(b, {32, 3, 40, {0xFF000000, 0xFF0, 0xFF0000, 0}}));
     },
     Pattern41},
    {"Bmp32AlphaFields", "a.bmp", 3, 2,
     [](auto& b, auto& p) {
         WriteBytes(p, DirectBmp(b, {32, 6, 40, {0xFF00, 0xFF0000, 0xFF000000, 0xFF}}));
     },
     Pattern41},
    {"Bmp32Header52", "a.bmp", 3, 3,
     [](auto& b, auto& p) {
         WriteBytes(p, DirectBmp(b, {32, 3, 52, {0xFF, 0xFF00, 0xFF0000}}));
     },
     Pattern41},
    {"Bmp16Header56", "a.bmp", 6, 6,
     [](auto& b, auto& p) { WriteBytes(p, DirectBmp(b, k4444V3, true)); }, TwoLevel},
    {"Bmp24Header108Width1", "a.bmp", 1, 4,
     [](auto& b, auto& p) {
         WriteBytes(p, DirectBmp(b, {24, 0, 108, {}}));
     },
     Pattern41},
    {"Bmp24Header124Width2TopDown", "a.bmp", 2, 3,
     [](auto& b, auto& p) {
         WriteBytes(p, DirectBmp(b, {24, 0, 124, {}}, true));
     },
     Pattern41},
    {"Bmp32Header124", "a.bmp", 4, 4,
     [](auto& b, auto& p) { WriteBytes(p, DirectBmp(b, kArgbV5)); }, Holey},
    // Content decides the format, not the name.
    {"BmpNamedJpg", "bitmap.jpg", 8, 8,
     [](auto& b, auto& p) { WriteBytes(p, BmpBytes(b, BmpKind::Rgb24)); },
     [](int x, int y) { return PatternPixel(x, y, 4); }},
    // The name rule: a blank after ".png" sends the file to the picture loader.
    {"BmpNamedPngWithBlank", "a.png ", 6, 3,
     [](auto& b, auto& p) { WriteBytes(p, BmpBytes(b, BmpKind::Rgb24)); },
     [](int x, int y) { return PatternPixel(x, y, 10); }},
    {"Gif", "a.gif", 33, 21,
     [](auto& b, auto& p) {
         WriteBytes(p, GifBytes(b.width(), b.height(), PaletteOf16(), Indices(b, PaletteOf16())));
     },
     Palette16},
    {"GifTransparent", "a.gif", 24, 9,
     [](auto& b, auto& p) {
         auto pal = PaletteOf16();
         Bitmap opaque = Make(b.width(), b.height(),
                              [&](int x, int y) { return b.at(x, y) >> 24 ? b.at(x, y) : pal[3]; });
         WriteBytes(p, GifBytes(b.width(), b.height(), pal, Indices(opaque, pal), 3));
     },
     [](int x, int y) { return (x * 5 + y) % 16 == 3 ? 0u : Palette16(x, y); }},
    {"IcoAlpha", "a.ico", 32, 32,
     [](auto& b, auto& p) {
         const Bitmap small = Make(16, 16, [](int, int) { return platform::Rgb(1, 2, 3); });
         WriteBytes(p, IcoBytes({&small, &b}));  // the larger entry must win
     },
     Holey},
    {"Png", "a.png", 45, 27, [](auto& b, auto& p) { SaveWithQt(b, p, "PNG"); }, Holey},
    {"PngMixedCaseName", "a.PnG", 12, 7, [](auto& b, auto& p) { SaveWithQt(b, p, "PNG"); },
     [](int x, int y) { return PatternPixel(x, y, 9); }},
    {"Jpeg", "a.jpg", 40, 30, [](auto& b, auto& p) { SaveWithQt(b, p, "JPEG", 95); }, Smooth, 8},
    {"JapanesePathWithBlanks", "画像 フォルダ/写真 1.bmp", 9, 5,
     [](auto& b, auto& p) { WriteBytes(p, BmpBytes(b, BmpKind::Rgb24)); },
     [](int x, int y) { return PatternPixel(x, y, 6); }},
};

class LoadFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(LoadFormat, PixelsSizeAndPathLandInTheSlot) {
    const FormatCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file(c.file);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const Bitmap image = Make(c.width, c.height, c.pixel);
    c.write(image, path);
    for (std::int16_t index : {0, 1}) {
        compose::SlotSet slotSet;
        std::string reason;
        ASSERT_EQ(basCommon::LoadImageSlot(slotSet, path, index, &reason), 0) << reason;
        const platform::Surface& slot = slotSet.picLoad[std::size_t(index)];
        ASSERT_EQ(slot.Width(), c.width);
        ASSERT_EQ(slot.Height(), c.height);
        EXPECT_EQ(slotSet.FLD[std::size_t(index)], path);
        int worst = 0;
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                const std::uint32_t want = OverWhite(image.at(x, y));
                const std::uint32_t got = slot.Image().at(x, y);
                ASSERT_EQ(got >> 24, 0xFFu);
                for (int shift = 0; shift < 24; shift += 8) {
                    worst = std::max(
                        worst, std::abs(int(got >> shift & 0xFF) - int(want >> shift & 0xFF)));
                }
                if (c.tolerance == 0) {
                    ASSERT_EQ(got, want) << "at " << x << "," << y;
                }
            }
        }
        EXPECT_LE(worst, c.tolerance);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, LoadFormat, testing::ValuesIn(kFormats),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Failing loads leave the slot alone --------------------------------------------------------

struct FailCase {
    const char* name;
    const char* file;
    // Makes the file (or folder, or nothing) at path.
    std::function<void(const std::string& path)> make;
};

std::string ValidBmp() {
    return BmpBytes(Make(20, 10, [](int x, int y) { return PatternPixel(x, y, 8); }),
                    BmpKind::Rgb24);
}
std::string ValidGif() {
    const Bitmap b = Make(20, 10, Palette16);
    return GifBytes(20, 10, PaletteOf16(), Indices(b, PaletteOf16()));
}
std::string Cut(std::string s, std::size_t keep) { return s.substr(0, keep); }
std::string Flip(std::string s, std::size_t at) {
    s[at] = char(s[at] ^ 0x20);
    return s;
}
std::string QtBytes(const char* format, int w = 20, int h = 10) {
    TempDir tmp;
    SaveWithQt(Make(w, h, Smooth), tmp.file("x"), format, 90);
    return testing_support::ReadBytes(tmp.file("x"));
}
// A PNG whose header says width x height, with a matching header checksum and no image data.
std::string PngHeaderOnly(std::uint32_t width, std::uint32_t height) {
    std::string s = QtBytes("PNG", 1, 1);
    for (int i = 0; i < 4; ++i) {
        s[std::size_t(16 + i)] = char(width >> (24 - 8 * i));
        s[std::size_t(20 + i)] = char(height >> (24 - 8 * i));
    }
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 12; i < 29; ++i) {
        crc ^= std::uint8_t(s[i]);
        for (int k = 0; k < 8; ++k) crc = crc >> 1 ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    crc ^= 0xFFFFFFFFu;
    for (int i = 0; i < 4; ++i) s[std::size_t(29 + i)] = char(crc >> (24 - 8 * i));
    return s.substr(0, 33);
}
// A GIF of nothing but comment extensions, thousands deep: refused, and quickly.
std::string EndlessExtensions() {
    std::string s = ValidGif().substr(0, 13 + 768);
    for (int i = 0; i < 200000; ++i) s += "\x21\xFE\x01x", s += '\0';
    return s;
}

const FailCase kFailures[] = {
    {"MissingFile", "none.bmp", [](auto&) {}},
    {"MissingPng", "none.png", [](auto&) {}},
    {"Folder", "folder.bmp", [](auto& p) { std::filesystem::create_directory(p); }},
    {"FolderNamedPng", "folder.png", [](auto& p) { std::filesystem::create_directory(p); }},
    {"ZeroBytes", "empty.gif", [](auto& p) { WriteBytes(p, ""); }},
    {"ZeroBytesPng", "empty.png", [](auto& p) { WriteBytes(p, ""); }},
    {"TruncatedBmp", "cut.bmp", [](auto& p) { WriteBytes(p, Cut(ValidBmp(), 300)); }},
    {"TruncatedGif", "cut.gif", [](auto& p) { WriteBytes(p, Cut(ValidGif(), 13 + 768 + 40)); }},
    {"TruncatedJpeg", "cut.jpg",
     [](auto& p) {
         const std::string whole = QtBytes("JPEG", 64, 48);
         WriteBytes(p, Cut(whole, whole.size() * 3 / 4));
     }},
    {"TruncatedPng", "cut.png", [](auto& p) { WriteBytes(p, Cut(QtBytes("PNG"), 60)); }},
    {"FlippedBmpMagic", "flip.bmp", [](auto& p) { WriteBytes(p, Flip(ValidBmp(), 1)); }},
    {"FlippedGifMagic", "flip.gif", [](auto& p) { WriteBytes(p, Flip(ValidGif(), 2)); }},
    {"FlippedPngSignature", "flip.png", [](auto& p) { WriteBytes(p, Flip(QtBytes("PNG"), 1)); }},
    {"JpegNamedPng", "photo.png", [](auto& p) { WriteBytes(p, QtBytes("JPEG")); }},
    // A trailing blank sends the name to the picture loader, which does not read PNG.
    {"PngWithTrailingBlank", "a.png ", [](auto& p) { WriteBytes(p, QtBytes("PNG")); }},
    {"HugeBmp", "huge.bmp",
     [](auto& p) { WriteBytes(p, BmpBytes(Make(4, 4, Smooth), BmpKind::Rgb24, 100000, 100000)); }},
    {"HugeGifScreen", "huge.gif",
     [](auto& p) {
         std::string s = ValidGif();
         s[6] = s[7] = s[8] = s[9] = char(0xFF);
         WriteBytes(p, s);
     }},
    {"HugePng", "huge.png", [](auto& p) { WriteBytes(p, PngHeaderOnly(100000, 100000)); }},
    {"GifOfEndlessExtensions", "ext.gif", [](auto& p) { WriteBytes(p, EndlessExtensions()); }},
    {"JapanesePathMissing", "画像 フォルダ/無い 画像.bmp",
     [](auto& p) { std::filesystem::create_directories(std::filesystem::path(p).parent_path()); }},
    {"JapanesePathCorrupt", "画像 フォルダ/壊れた 画像.jpg",
     [](auto& p) {
         std::filesystem::create_directories(std::filesystem::path(p).parent_path());
         WriteBytes(p, Cut(QtBytes("JPEG"), 200));
     }},
};

void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }
void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class LoadFails : public testing::TestWithParam<FailCase> {};

TEST_P(LoadFails, ReturnsOneWithAReasonAndKeepsTheSlot) {
    const FailCase& c = GetParam();
    TempDir dir;
    const std::string before = dir.file("before.bmp");
    WriteBytes(before, ValidBmp());
    const std::string path = dir.file(c.file);
    c.make(path);
    for (std::int16_t index : {0, 1}) {
        compose::SlotSet slotSet;
        ASSERT_EQ(basCommon::LoadImageSlot(slotSet, before, index), 0);
        const platform::Surface& slot = slotSet.picLoad[std::size_t(index)];
        const std::vector<std::uint32_t> pixels(slot.Image().data(),
                                                slot.Image().data() + slot.Image().pixelCount());
        std::string reason;
        EXPECT_EQ(basCommon::LoadImageSlot(slotSet, path, index, &reason), 1);
        EXPECT_FALSE(reason.empty());
        EXPECT_EQ(slotSet.FLD[std::size_t(index)], before);
        ASSERT_EQ(slot.Width(), 20);
        ASSERT_EQ(slot.Height(), 10);
        EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), slot.Image().data()));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, LoadFails, testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The PNG route ----------------------------------------------------------------------------

// The header's width needs 17 bits: the slot must take the whole number, not its lower half.
TEST(LoadPng, WidthBeyondSixteenBitsSizesTheSlotInFull) {
    TempDir dir;
    const Bitmap wide = Make(70000, 1, [](int x, int) { return PatternPixel(x, 0, 12); });
    SaveWithQt(wide, dir.file("wide.png"), "PNG");
    compose::SlotSet slotSet;
    std::string reason;
    ASSERT_EQ(basCommon::LoadImageSlot(slotSet, dir.file("wide.png"), 0, &reason), 0) << reason;
    EXPECT_EQ(slotSet.picLoad[0].Width(), 70000);
    EXPECT_EQ(slotSet.picLoad[0].Image().at(69999, 0), wide.at(69999, 0));
}

// A PNG loaded after a BMP picture: the slot is cleared down to that picture, and the PNG's
// transparent pixels show the picture beneath.
TEST(LoadPng, DrawsOverThePictureOfAnEarlierLoad) {
    TempDir dir;
    const Bitmap under = Make(30, 20, [](int x, int y) { return PatternPixel(x, y, 21); });
    const Bitmap over = Make(16, 12, Holey);
    WriteBytes(dir.file("under.bmp"), BmpBytes(under, BmpKind::Rgb24));
    SaveWithQt(over, dir.file("over.png"), "PNG");
    compose::SlotSet slotSet;
    ASSERT_EQ(basCommon::LoadImageSlot(slotSet, dir.file("under.bmp"), 1), 0);
    std::string reason;
    ASSERT_EQ(basCommon::LoadImageSlot(slotSet, dir.file("over.png"), 1, &reason), 0) << reason;
    const platform::Surface& slot = slotSet.picLoad[1];
    ASSERT_EQ(slot.Width(), 16);
    ASSERT_EQ(slot.Height(), 12);
    EXPECT_EQ(slotSet.FLD[1], dir.file("over.png"));
    for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 16; ++x) {
            const std::uint32_t want = over.at(x, y) >> 24 ? over.at(x, y) : under.at(x, y);
            ASSERT_EQ(slot.Image().at(x, y), want) << x << "," << y;
        }
    }
}

// A second load replaces the first, whichever route each took.
TEST(LoadPng, SecondLoadReplacesTheFirst) {
    TempDir dir;
    const Bitmap first = Make(9, 9, [](int x, int y) { return PatternPixel(x, y, 31); });
    const Bitmap second = Make(5, 4, [](int x, int y) { return PatternPixel(x, y, 32); });
    SaveWithQt(first, dir.file("first.png"), "PNG");
    WriteBytes(dir.file("second.bmp"), BmpBytes(second, BmpKind::Rgb32));
    compose::SlotSet slotSet;
    ASSERT_EQ(basCommon::LoadImageSlot(slotSet, dir.file("first.png"), 0), 0);
    ASSERT_EQ(basCommon::LoadImageSlot(slotSet, dir.file("second.bmp"), 0), 0);
    ASSERT_EQ(slotSet.picLoad[0].Width(), 5);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 5; ++x) ASSERT_EQ(slotSet.picLoad[0].Image().at(x, y), second.at(x, y));
    }
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
    {"SixBitGreen", k565, 32 << 5 | 1, 0xFF008208, false},              // 129.5, 8.2
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

void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.name; }

class ReadDirectBmp : public testing::TestWithParam<ValueCase> {};

TEST_P(ReadDirectBmp, GivesTheWorkedValue) {
    const ValueCase& c = GetParam();
    std::string file = DirectBmp(Make(1, 1, [](int, int) { return 0u; }), c.layout);
    for (int k = 0; k < c.layout.bits / 8; ++k) file[file.size() - 4 + k] = char(c.stored >> 8 * k);
    ASSERT_TRUE(platform::IsDirectBmp(file));
    platform::Picture picture;
    const platform::Status s = platform::ReadBmp(file, picture);
    ASSERT_TRUE(s) << s.reason();
    EXPECT_EQ(picture.pixels.at(0, 0), c.want) << std::hex << picture.pixels.at(0, 0);
    EXPECT_EQ(picture.hasAlpha, c.hasAlpha);
}

INSTANTIATE_TEST_SUITE_P(Values, ReadDirectBmp, testing::ValuesIn(kValues),
                         [](const auto& info) { return std::string(info.param.name); });

// A 4x3 file under the 124-byte header, spoilt; refused with the reason's first words and the
// picture left alone.
const std::string kTooBig = "画像が大きすぎます", kCut = "ファイルが途中で切れています",
                  kBroken = "画像のデータが壊れています (BMP)";

void Set32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) s[at + std::size_t(k)] = char(v >> 8 * k);
}

struct BadCase {
    const char* name;
    std::function<void(std::string&)> spoil;
    const std::string& reason;
};

const BadCase kBadHeaders[] = {
    {"HeightMinus2To31", [](auto& s) { Set32(s, 22, 0x80000000u); }, kTooBig},
    {"WidthOverLimit", [](auto& s) { Set32(s, 18, 0x7FFFFFFFu); }, kTooBig},
    {"RowSizeBeyond32Bits", [](auto& s) { Set32(s, 18, 200'000'000), Set32(s, 22, 1); }, kCut},
    {"OffsetPastEnd", [](auto& s) { Set32(s, 10, 0xFFFFFFF0u); }, kCut},
    {"LastByteMissing", [](auto& s) { s.pop_back(); }, kCut},
    {"HeaderCut", [](auto& s) { s.resize(60); }, kCut},
    {"OffsetInsideHeader", [](auto& s) { Set32(s, 10, 100); }, kBroken},
    {"MaskWithGap", [](auto& s) { Set32(s, 54, 0xF0F0); }, kBroken},
    {"ZeroWidth", [](auto& s) { Set32(s, 18, 0); }, kBroken},
    {"NegativeWidth", [](auto& s) { Set32(s, 18, 0xFFFFFFFFu); }, kBroken},
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class RefuseDirectBmp : public testing::TestWithParam<BadCase> {};

TEST_P(RefuseDirectBmp, NamesTheFault) {
    std::string file = DirectBmp(Make(4, 3, Pattern41), kArgbV5);
    GetParam().spoil(file);
    platform::Picture picture;
    ASSERT_TRUE(picture.pixels.Allocate(1, 1));
    const platform::Status s = platform::ReadBmp(file, picture);
    EXPECT_EQ(s.reason().rfind(GetParam().reason, 0), 0u) << s.reason();
    EXPECT_EQ(picture.pixels.width(), 1);
}

INSTANTIATE_TEST_SUITE_P(Headers, RefuseDirectBmp, testing::ValuesIn(kBadHeaders),
                         [](const auto& info) { return std::string(info.param.name); });

// Some writers leave out the last row's padding; a byte short of its pixels is a cut file.
TEST(ReadDirectBmp, LastRowNeedsItsPixelsNotItsPadding) {
    const Bitmap image = Make(3, 2, Pattern41);
    std::string file = DirectBmp(image, {24, 0, 40, {}});
    file.resize(file.size() - 3);
    platform::Picture picture;
    ASSERT_TRUE(platform::ReadBmp(file, picture));
    EXPECT_EQ(picture.pixels.at(2, 0), image.at(2, 0));
    file.pop_back();
    EXPECT_EQ(platform::ReadBmp(file, picture).reason(), kCut);
}

}  // namespace
