#include "tools/make_malformed.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageWriter>
#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>

#include "codec/codec.h"
#include "platform/bitmap.h"

namespace malformed {
namespace {

void Put16Le(std::string& s, std::uint32_t v) {
    s += char(v & 0xFF);
    s += char(v >> 8 & 0xFF);
}
void Put32Le(std::string& s, std::uint32_t v) {
    Put16Le(s, v & 0xFFFF);
    Put16Le(s, v >> 16);
}
void Put32Be(std::string& s, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) s += char(v >> shift & 0xFF);
}
void Set32Le(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + std::size_t(i)] = char(v >> (8 * i) & 0xFF);
}
void Set16Le(std::string& s, std::size_t at, std::uint32_t v) {
    s[at] = char(v & 0xFF);
    s[at + 1] = char(v >> 8 & 0xFF);
}
void Set16Be(std::string& s, std::size_t at, std::uint32_t v) {
    s[at] = char(v >> 8 & 0xFF);
    s[at + 1] = char(v & 0xFF);
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A small opaque picture with a different colour in every pixel.
QImage Pattern(int w, int h, QImage::Format format) {
    QImage image(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int a = format == QImage::Format_ARGB32 ? (x * 60 + y * 20) % 256 : 255;
            image.setPixel(x, y, qRgba(x * 40 % 256, y * 50 % 256, (x + y) * 30 % 256, a));
        }
    }
    return format == QImage::Format_ARGB32 ? image : image.convertToFormat(format);
}

std::string QtBytes(const QImage& image, const char* format, int quality = -1) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (quality >= 0) writer.setQuality(quality);
    if (!writer.write(image)) return {};
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

platform::Bitmap PatternBitmap(int w, int h) {
    platform::Bitmap b;
    (void)b.Allocate(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            b.at(x, y) =
                platform::Rgb(std::uint8_t(x * 37), std::uint8_t(y * 53), std::uint8_t(x ^ y));
        }
    }
    return b;
}

// zlib data in stored (uncompressed) blocks: valid for any decoder, no compressor needed.
std::string ZlibStored(const std::string& data) {
    std::string out("\x78\x01", 2);
    std::size_t at = 0;
    do {
        const std::size_t n = std::min<std::size_t>(data.size() - at, 65535);
        out += char(at + n == data.size() ? 1 : 0);
        Put16Le(out, std::uint32_t(n));
        Put16Le(out, std::uint32_t(~n & 0xFFFF));
        out.append(data, at, n);
        at += n;
    } while (at < data.size());
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : data) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    Put32Be(out, b << 16 | a);
    return out;
}

std::string Ihdr(std::uint32_t w, std::uint32_t h, int depth, int colour) {
    std::string d;
    Put32Be(d, w);
    Put32Be(d, h);
    d += char(depth), d += char(colour), d += '\0', d += '\0', d += '\0';
    return PngChunk("IHDR", d);
}

const std::string kPngSignature("\x89PNG\r\n\x1a\n", 8);

// An 8-bit greyscale PNG of w x h pixels whose rows are the given bytes (filter 0 each).
std::string GreyPng(std::uint32_t w, std::uint32_t h, const std::string& rawRows) {
    return kPngSignature + Ihdr(w, h, 8, 0) + PngChunk("IDAT", ZlibStored(rawRows)) +
           PngChunk("IEND", "");
}

// GIF with a 4-colour table and LZW data that never grows its 3-bit codes: a clear code before
// every second pixel keeps the dictionary at its start.
std::string TinyGif(int w, int h, bool transparent) {
    std::string g = "GIF89a";
    Put16Le(g, std::uint32_t(w));
    Put16Le(g, std::uint32_t(h));
    g += char(0x91), g += '\0', g += '\0';
    g += std::string("\x00\x00\x00\xFF\x00\x00\x00\xFF\x00\xFF\xFF\xFF", 12);
    if (transparent) g += std::string("\x21\xF9\x04\x01\x00\x00\x03\x00", 8);
    g += char(0x2C);
    Put16Le(g, 0), Put16Le(g, 0), Put16Le(g, std::uint32_t(w)), Put16Le(g, std::uint32_t(h));
    g += '\0';
    g += char(2);  // LZW minimum code size
    std::vector<int> codes;
    for (int i = 0; i < w * h; ++i) {
        if (i % 2 == 0) codes.push_back(4);
        codes.push_back((i + i / w) % 4);
    }
    codes.push_back(5);
    std::string packed;
    std::uint32_t acc = 0;
    int bits = 0;
    for (int c : codes) {
        acc |= std::uint32_t(c) << bits;
        bits += 3;
        while (bits >= 8) {
            packed += char(acc & 0xFF);
            acc >>= 8;
            bits -= 8;
        }
    }
    if (bits > 0) packed += char(acc & 0xFF);
    for (std::size_t at = 0; at < packed.size(); at += 255) {
        const std::size_t n = std::min<std::size_t>(255, packed.size() - at);
        g += char(n);
        g.append(packed, at, n);
    }
    g += '\0';
    g += ';';
    return g;
}

// An icon file holding the given entries (PNG or BMP-style images), sizes from the caller.
struct IconEntry {
    int w, h, bits;
    std::string data;
};
std::string Icon(const std::vector<IconEntry>& entries) {
    std::string d;
    Put16Le(d, 0), Put16Le(d, 1), Put16Le(d, std::uint32_t(entries.size()));
    std::uint32_t offset = 6 + 16 * std::uint32_t(entries.size());
    for (const IconEntry& e : entries) {
        d += char(e.w < 256 ? e.w : 0), d += char(e.h < 256 ? e.h : 0), d += '\0', d += '\0';
        Put16Le(d, 1), Put16Le(d, std::uint32_t(e.bits));
        Put32Le(d, std::uint32_t(e.data.size()));
        Put32Le(d, offset);
        offset += std::uint32_t(e.data.size());
    }
    for (const IconEntry& e : entries) d += e.data;
    return d;
}

// A 24-bit BMP's header and w x h pixels of data (rows padded to 4 bytes).
std::string Bmp24(std::int32_t w, std::int32_t h, std::uint32_t compression = 0) {
    const std::uint32_t stride = (std::uint32_t(std::max(w, 1)) * 3 + 3) / 4 * 4;
    const std::uint32_t rows = std::uint32_t(std::min<std::int64_t>(std::abs(std::int64_t(h)), 4));
    std::string d = "BM";
    Put32Le(d, 54 + stride * rows), Put32Le(d, 0), Put32Le(d, 54);
    Put32Le(d, 40), Put32Le(d, std::uint32_t(w)), Put32Le(d, std::uint32_t(h));
    Put16Le(d, 1), Put16Le(d, 24), Put32Le(d, compression), Put32Le(d, stride * rows);
    Put32Le(d, 2835), Put32Le(d, 2835), Put32Le(d, 0), Put32Le(d, 0);
    d.append(std::size_t(stride * rows), '\x80');
    return d;
}

std::string JpegFromOurWriter(const std::string& scratch, int w, int h, int progressive) {
    platform::Bitmap b = PatternBitmap(w, h);
    const std::string path = scratch + "/.malformed-writer.jpg";
    if (codec::DCSavetoJPEG(&b, w, h, path, 75, progressive) != 0) return {};
    std::string bytes = ReadAll(path);
    std::remove(path.c_str());
    return bytes;
}

// Offset of the first JPEG marker m (the byte after 0xFF), or npos.
std::size_t FindMarker(const std::string& j, unsigned char m) {
    for (std::size_t i = 2; i + 1 < j.size(); ++i) {
        if (static_cast<unsigned char>(j[i]) == 0xFF && static_cast<unsigned char>(j[i + 1]) == m) {
            return i + 1;
        }
    }
    return std::string::npos;
}

}  // namespace

const char* Extension(Format f) {
    switch (f) {
        case Format::Png:
            return ".png";
        case Format::Bmp:
            return ".bmp";
        case Format::Gif:
            return ".gif";
        case Format::Ico:
            return ".ico";
        case Format::Jpeg:
            return ".jpg";
    }
    return "";
}

const char* Label(Format f) {
    switch (f) {
        case Format::Png:
            return "PNG";
        case Format::Bmp:
            return "BMP";
        case Format::Gif:
            return "GIF";
        case Format::Ico:
            return "ICO";
        case Format::Jpeg:
            return "JPEG";
    }
    return "";
}

std::uint32_t Crc32(const std::string& bytes) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string PngChunk(const std::string& type, const std::string& data) {
    std::string c;
    Put32Be(c, std::uint32_t(data.size()));
    c += type + data;
    Put32Be(c, Crc32(type + data));
    return c;
}

std::vector<Sample> ValidSamples(Format f, const std::string& scratch) {
    std::vector<Sample> out;
    switch (f) {
        case Format::Png: {
            platform::Bitmap b = PatternBitmap(5, 4);
            const std::string path = scratch + "/.malformed-writer.png";
            if (codec::DCSavetoPNG(&b, 5, 4, path, 1) == 0) out.push_back({"rgb8", ReadAll(path)});
            std::remove(path.c_str());
            out.push_back({"rgba8", QtBytes(Pattern(4, 3, QImage::Format_ARGB32), "png")});
            out.push_back({"grey8", QtBytes(Pattern(4, 3, QImage::Format_Grayscale8), "png")});
            out.push_back({"palette", QtBytes(Pattern(4, 3, QImage::Format_Indexed8), "png")});
            out.push_back({"grey16", QtBytes(Pattern(3, 3, QImage::Format_Grayscale16), "png")});
            out.push_back({"rgba16", QtBytes(Pattern(3, 2, QImage::Format_RGBA64), "png")});
            out.push_back(
                {"stored", GreyPng(3, 2, std::string("\0\x10\x20\x30\0\x40\x50\x60", 8))});
            break;
        }
        case Format::Bmp: {
            platform::Bitmap b = PatternBitmap(5, 3);
            const std::string path = scratch + "/.malformed-writer.bmp";
            if (codec::SavePicture(b, path)) out.push_back({"rgb24", ReadAll(path)});
            std::remove(path.c_str());
            out.push_back({"argb32", QtBytes(Pattern(4, 3, QImage::Format_ARGB32), "bmp")});
            out.push_back({"indexed8", QtBytes(Pattern(4, 3, QImage::Format_Indexed8), "bmp")});
            out.push_back({"mono", QtBytes(Pattern(9, 2, QImage::Format_Mono), "bmp")});
            break;
        }
        case Format::Gif:
            out.push_back({"plain", TinyGif(4, 3, false)});
            out.push_back({"transparent", TinyGif(3, 3, true)});
            break;
        case Format::Ico: {
            out.push_back({"qt", QtBytes(Pattern(16, 16, QImage::Format_ARGB32), "ico")});
            const std::string small = QtBytes(Pattern(2, 2, QImage::Format_ARGB32), "png");
            const std::string large = QtBytes(Pattern(4, 4, QImage::Format_RGB32), "png");
            out.push_back({"png-entries", Icon({{2, 2, 32, small}, {4, 4, 32, large}})});
            break;
        }
        case Format::Jpeg:
            out.push_back({"baseline", JpegFromOurWriter(scratch, 9, 7, 0)});
            out.push_back({"progressive", JpegFromOurWriter(scratch, 8, 8, -1)});
            out.push_back({"grey", QtBytes(Pattern(5, 5, QImage::Format_Grayscale8), "jpeg", 80)});
            break;
    }
    out.erase(
        std::remove_if(out.begin(), out.end(), [](const Sample& s) { return s.bytes.empty(); }),
        out.end());
    return out;
}

std::vector<Sample> Damaged(Format, const Sample& valid, std::uint32_t seed) {
    std::vector<Sample> out;
    const std::size_t n = valid.bytes.size();
    // Cut inside every early header field, then at evenly spread offsets, then one byte short.
    std::vector<std::size_t> cuts{1, 2, 3, 6, 8, 12, 16, 20, 24, 30, 40};
    for (int i = 1; i <= 6; ++i) cuts.push_back(n * std::size_t(i) / 7);
    cuts.push_back(n - 1);
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    for (std::size_t cut : cuts) {
        if (cut == 0 || cut >= n) continue;
        out.push_back({valid.name + "-cut" + std::to_string(cut), valid.bytes.substr(0, cut)});
    }
    std::mt19937 random(seed);
    for (int i = 0; i < 10; ++i) {
        std::string bytes = valid.bytes;
        const int flips = 1 + int(random() % 4);
        for (int k = 0; k < flips; ++k) {
            // Half of the flips land in the first 64 bytes, where the headers are.
            const std::size_t limit = (k % 2 == 0) ? std::min<std::size_t>(n, 64) : n;
            bytes[random() % limit] ^= char(1u << (random() % 8));
        }
        out.push_back({valid.name + "-flip" + std::to_string(i), std::move(bytes)});
    }
    return out;
}

std::vector<Sample> Hostile(Format f, const std::string& scratch) {
    std::vector<Sample> out;
    switch (f) {
        case Format::Png: {
            const std::string row(1, '\0');
            const auto sized = [&](std::uint32_t w, std::uint32_t h) {
                return kPngSignature + Ihdr(w, h, 8, 0) + PngChunk("IDAT", ZlibStored(row)) +
                       PngChunk("IEND", "");
            };
            out.push_back({"zero-size", sized(0, 0)});
            out.push_back({"100000x100000", sized(100000, 100000)});
            out.push_back({"width-2^31-1", sized(0x7FFFFFFF, 1)});
            out.push_back({"height-2^31", sized(1, 0x80000000u)});
            out.push_back({"16384x16384-cut", sized(16384, 16384), true});
            out.push_back({"bad-depth", kPngSignature + Ihdr(2, 2, 3, 0) + PngChunk("IEND", "")});
            out.push_back({"bad-colour", kPngSignature + Ihdr(2, 2, 8, 5) + PngChunk("IEND", "")});
            out.push_back({"no-ihdr", kPngSignature + PngChunk("IDAT", ZlibStored(row)) +
                                          PngChunk("IEND", "")});
            out.push_back(
                {"palette-without-plte", kPngSignature + Ihdr(1, 1, 8, 3) +
                                             PngChunk("IDAT", ZlibStored(std::string(2, '\0'))) +
                                             PngChunk("IEND", "")});
            std::string huge = kPngSignature + Ihdr(1, 1, 8, 0);
            Put32Be(huge, 0x7FFFFFFF);
            huge += "tEXt" + std::string(64, 'a');
            out.push_back({"chunk-2^31-1", huge});
            // A compressed text chunk that inflates to 80 MiB from a few hundred KiB.
            const QByteArray bomb = qCompress(QByteArray(80 << 20, '\0'), 9).mid(4);
            out.push_back(
                {"ztxt-bomb",
                 kPngSignature + Ihdr(1, 1, 8, 0) +
                     PngChunk("zTXt", std::string("k\0\0", 3) +
                                          std::string(bomb.constData(), std::size_t(bomb.size()))) +
                     PngChunk("IDAT", ZlibStored(std::string(2, '\0'))) + PngChunk("IEND", "")});
            // Wider than 16 bits, and real: every row is there.
            out.push_back({"70000x1", GreyPng(70000, 1, std::string(70001, '\0'))});
            break;
        }
        case Format::Bmp: {
            out.push_back({"width-0", Bmp24(0, 2)});
            out.push_back({"height-0", Bmp24(2, 0)});
            out.push_back(
                {"height-minus-2^31", Bmp24(2, std::numeric_limits<std::int32_t>::min())});
            out.push_back({"width-minus-1", Bmp24(-1, 2)});
            out.push_back({"100000x100000", Bmp24(100000, 100000)});
            out.push_back({"top-down", Bmp24(2, -2)});
            std::string d = Bmp24(2, 2);
            Set16Le(d, 28, 0);
            out.push_back({"depth-0", d});
            d = Bmp24(2, 2);
            Set16Le(d, 28, 64);
            out.push_back({"depth-64", d});
            d = Bmp24(2, 2);
            Set32Le(d, 10, 0xFFFFFFF0u);
            out.push_back({"data-offset-past-end", d});
            d = Bmp24(2, 2);
            Set32Le(d, 14, 0xFFFFFFFFu);
            out.push_back({"header-size-2^32-1", d});
            // Run-length data that ends at once: a size within the pixel limit, almost no data.
            d = Bmp24(16000, 16000, 1);
            Set16Le(d, 28, 8);
            out.push_back({"rle8-16000x16000", d.substr(0, 54) + std::string("\0\1", 2), true});
            break;
        }
        case Format::Gif: {
            const std::string valid = TinyGif(2, 2, false);
            const std::string head = valid.substr(0, 13 + 12);
            std::string endless = head;
            for (int i = 0; i < 100000; ++i) endless += std::string("\x21\xFE\x01x\x00", 5);
            out.push_back({"endless-extensions", endless});
            std::string open = head + "\x21\xFE";
            for (int i = 0; i < 4000; ++i) open += std::string("\xFF") + std::string(255, 'x');
            out.push_back({"unterminated-sub-blocks", open});
            std::string d = valid;
            Set16Le(d, 6, 0), Set16Le(d, 8, 0);
            out.push_back({"screen-0x0", d});
            d = valid;
            Set16Le(d, 6, 65535), Set16Le(d, 8, 65535);
            out.push_back({"screen-65535x65535", d});
            d = valid;
            Set16Le(d, 25 + 5, 65535), Set16Le(d, 25 + 7, 65535);
            out.push_back({"image-65535x65535", d});
            d = valid;
            d[25 + 10] = 12;
            out.push_back({"lzw-code-size-12", d});
            d = valid;
            d[25 + 10] = 0;
            out.push_back({"lzw-code-size-0", d});
            out.push_back({"no-image", head + ";"});
            break;
        }
        case Format::Ico: {
            const std::string png = QtBytes(Pattern(2, 2, QImage::Format_ARGB32), "png");
            std::string d = Icon({{2, 2, 32, png}});
            Set32Le(d, 6 + 12, 0x7FFFFFFF);
            out.push_back({"offset-past-end", d});
            d = Icon({{2, 2, 32, png}});
            Set32Le(d, 6 + 8, 0xFFFFFFFFu);
            out.push_back({"size-2^32-1", d});
            d = Icon({{2, 2, 32, png}});
            Set16Le(d, 4, 0xFFFF);
            out.push_back({"count-65535", d});
            d = Icon({{2, 2, 32, png}});
            Set16Le(d, 4, 0);
            out.push_back({"count-0", d});
            std::string bigPng = png;
            std::string ihdr = bigPng.substr(8, 25);
            std::string fields = ihdr.substr(8, 13);
            fields.replace(0, 8, std::string("\x00\x01\x86\xA0\x00\x01\x86\xA0", 8));
            bigPng.replace(8, 25, PngChunk("IHDR", fields));
            out.push_back({"png-entry-100000x100000", Icon({{0, 0, 32, bigPng}})});
            std::string dib;
            Put32Le(dib, 40), Put32Le(dib, 100000), Put32Le(dib, 200000);
            Put16Le(dib, 1), Put16Le(dib, 32);
            dib.append(24, '\0');
            out.push_back(
                {"bmp-entry-100000x100000", Icon({{0, 0, 32, dib + std::string(64, '\0')}})});
            std::string negative;
            Put32Le(negative, 40), Put32Le(negative, 0xFFFFFFFEu), Put32Le(negative, 4);
            Put16Le(negative, 1), Put16Le(negative, 32);
            negative.append(24, '\0');
            out.push_back(
                {"bmp-entry-negative", Icon({{2, 2, 32, negative + std::string(64, '\0')}})});
            break;
        }
        case Format::Jpeg: {
            const std::string j = JpegFromOurWriter(scratch, 8, 8, 0);
            const std::size_t sof = FindMarker(j, 0xC0);
            if (j.empty() || sof == std::string::npos) break;
            // SOF0 fields: length (2), precision (1), height (2), width (2), components (1).
            std::string d = j;
            Set16Be(d, sof + 4, 0), Set16Be(d, sof + 6, 0);
            out.push_back({"size-0x0", d});
            d = j;
            Set16Be(d, sof + 4, 65535), Set16Be(d, sof + 6, 65535);
            out.push_back({"65535x65535", d});
            d = j;
            Set16Be(d, sof + 1, 0xFFFF);
            out.push_back({"segment-past-end", d});
            d = j;
            Set16Be(d, sof + 1, 1);
            out.push_back({"segment-length-1", d});
            d = j;
            d[sof + 8] = char(0xFF);
            out.push_back({"255-components", d});
            out.push_back({"no-frame", std::string("\xFF\xD8\xFF\xD9", 4)});
            const std::size_t sos = FindMarker(j, 0xDA);
            if (sos != std::string::npos) {
                out.push_back({"scan-before-frame", j.substr(0, 2) + j.substr(sos - 1)});
                // Half of the coded data, then the end marker: a picture half grey if taken.
                const std::size_t data =
                    sos + 1 +
                    (std::size_t(std::uint8_t(j[sos + 1])) << 8 | std::uint8_t(j[sos + 2]));
                out.push_back({"cut-in-scan-then-end",
                               j.substr(0, data + (j.size() - 2 - data) / 2) + "\xFF\xD9"});
            }
            // The largest square frame within the pixel limit, in a file of a few hundred bytes:
            // 2 GiB of grey if taken. A smaller one for the fuzzers, which skip large frames.
            d = j;
            Set16Be(d, sof + 4, 23170), Set16Be(d, sof + 6, 23170);
            out.push_back({"23170x23170-tiny", d});
            d = j;
            Set16Be(d, sof + 4, 2048), Set16Be(d, sof + 6, 2048);
            out.push_back({"2048x2048-tiny", d});
            // A progressive file whose last scan comes 600 times over.
            const std::string p = JpegFromOurWriter(scratch, 8, 8, -1);
            const std::size_t last = p.rfind("\xFF\xDA");
            if (last != std::string::npos) {
                std::string bomb = p.substr(0, p.size() - 2);
                const std::string scan = p.substr(last, p.size() - 2 - last);
                for (int i = 0; i < 600; ++i) bomb += scan;
                out.push_back({"600-scans", bomb + "\xFF\xD9"});
            }
            break;
        }
    }
    return out;
}

}  // namespace malformed
