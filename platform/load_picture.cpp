#include "platform/load_picture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QLoggingCategory>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "formats/bmp_load.h"
#include "formats/exif.h"
#include "platform/files.h"
#include "platform/memory_budget.h"
#include "formats/jpeg_load.h"
#include "formats/picture_readers.h"
#include "platform/orientation.h"
#include "platform/progress.h"

namespace platform {

using formats::AcceptMeta;
using formats::CheckJpegLimits;
using formats::IsDirectBmp;
using formats::JpegHeader;
using formats::JpegMetadata;
using formats::ReadBmp;
using formats::ReadJpeg;
using formats::ReadJpegHeader;
namespace {

// The formats this loader reads. The format is decided from the file's first bytes, never from
// its name, and only these four reach Qt's reader: other installed image plugins are not part of
// what the program reads.
enum class Format { Bmp, Gif, Ico, Jpeg, Png, Unknown };

const char* QtName(Format f) {
    switch (f) {
        case Format::Bmp:
            return "bmp";
        case Format::Gif:
            return "gif";
        case Format::Ico:
            return "ico";
        case Format::Jpeg:
            return "jpeg";
        default:
            return "";
    }
}

const char* Label(Format f) {
    switch (f) {
        case Format::Bmp:
            return "BMP";
        case Format::Gif:
            return "GIF";
        case Format::Ico:
            return "ICO";
        case Format::Jpeg:
            return "JPEG";
        case Format::Png:
            return "PNG";
        default:
            return "?";
    }
}

// Little- and big-endian readers over the file's bytes. Callers check the bounds first.
std::uint32_t Le16(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8;
}
std::uint32_t Le32(const unsigned char* p) { return Le16(p) | Le16(p + 2) << 16; }
std::uint32_t Be16(const unsigned char* p) { return std::uint32_t(p[0]) << 8 | p[1]; }

Format Sniff(std::string_view d) {
    const auto* p = reinterpret_cast<const unsigned char*>(d.data());
    if (d.size() >= 2 && p[0] == 'B' && p[1] == 'M') return Format::Bmp;
    if (d.substr(0, 6) == "GIF87a" || d.substr(0, 6) == "GIF89a") return Format::Gif;
    if (d.size() >= 6 && Le16(p) == 0 && Le16(p + 2) == 1 && Le16(p + 4) > 0) return Format::Ico;
    if (d.size() >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) return Format::Jpeg;
    if (d.substr(0, 8) == "\x89PNG\r\n\x1a\n") return Format::Png;
    return Format::Unknown;
}

Status Truncated() { return Status::Fail("ファイルが途中で切れています"); }
Status Corrupt(Format f) {
    return Status::Fail(std::string("画像のデータが壊れています (") + Label(f) + ")");
}

// BMP: the size is refused before Qt allocates anything, and an uncompressed bitmap must hold all
// of its rows (Qt's reader stops at the end of the data and would hand back a picture whose
// remaining rows are whatever the allocation held).
Status CheckBmp(std::string_view d) {
    const auto* p = reinterpret_cast<const unsigned char*>(d.data());
    if (d.size() < 18) return Truncated();
    const std::uint32_t headerSize = Le32(p + 14);
    std::int64_t width = 0, height = 0;
    std::uint32_t bits = 0, compression = 0;
    if (headerSize == 12) {  // OS/2 core header: 16-bit sizes
        if (d.size() < 26) return Truncated();
        width = Le16(p + 18);
        height = std::int16_t(Le16(p + 20));
        bits = Le16(p + 24);
    } else if (headerSize >= 16) {
        if (d.size() < 14 + std::min<std::size_t>(headerSize, 20)) return Truncated();
        width = std::int32_t(Le32(p + 18));
        height = std::int32_t(Le32(p + 22));
        bits = Le16(p + 28);
        compression = d.size() >= 34 ? Le32(p + 30) : 0;
    } else {
        return Corrupt(Format::Bmp);
    }
    // A negative height means rows top-down; the size is its magnitude.
    const std::int64_t rows = height < 0 ? -height : height;
    if (width <= 0 || rows == 0) return Corrupt(Format::Bmp);
    if (Status s = CheckBitmapSize(width, rows); !s) return s;
    const bool uncompressed = compression == 0 || compression == 3 || compression == 6;
    const bool knownBits =
        bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
    if (uncompressed && knownBits) {
        // Within the pixel limit these products stay far below 2^63.
        const std::uint64_t stride = (std::uint64_t(width) * bits + 31) / 32 * 4;
        const std::uint64_t need = std::uint64_t(Le32(p + 10)) + stride * std::uint64_t(rows);
        if (d.size() < need) return Truncated();
    }
    return Status::Ok();
}

// GIF: walks the blocks up to the end of the first image's data. The walk is linear in the file
// and touches every block once, so a file of endless extension chains ends with the file; it
// refuses a file whose first image is cut off and one that holds no image at all.
Status CheckGif(std::string_view d) {
    const auto* p = reinterpret_cast<const unsigned char*>(d.data());
    const std::size_t n = d.size();
    if (n < 13) return Truncated();
    const std::uint32_t screenW = Le16(p + 6);
    const std::uint32_t screenH = Le16(p + 8);
    if (screenW == 0 || screenH == 0) return Status::Fail("画像の大きさが 0 です");
    // Qt draws the first frame on a canvas of the logical screen's size.
    if (Status s = CheckBitmapSize(screenW, screenH); !s) return s;
    std::size_t at = 13;
    if (p[10] & 0x80) at += 3u << ((p[10] & 7) + 1);
    // Skips a chain of data sub-blocks; false when the file ends inside it.
    const auto skipSubBlocks = [&]() {
        while (at < n) {
            const std::size_t len = p[at];
            at += 1 + len;
            if (len == 0) return true;
        }
        return false;
    };
    while (at < n) {
        switch (p[at]) {
            case 0x21:  // extension: label, then sub-blocks
                at += 2;
                if (!skipSubBlocks()) return Truncated();
                break;
            case 0x2C: {  // image descriptor
                if (at + 10 > n) return Truncated();
                const unsigned flags = p[at + 9];
                at += 10;
                if (flags & 0x80) at += 3u << ((flags & 7) + 1);
                at += 1;  // LZW minimum code size
                if (at > n || !skipSubBlocks()) return Truncated();
                return Status::Ok();
            }
            case 0x3B:
                return Status::Fail("GIF ファイルに画像がありません");
            default:
                return Corrupt(Format::Gif);
        }
    }
    return Truncated();
}

// ICO: the entry to show is chosen here, from the sizes and depths that the entries' own headers
// give (the directory's fields are often wrong: a bogus depth, a height that counts the mask, a
// 0 that means 256): the largest, and of equal sizes the deepest. That entry alone is handed to
// Qt, as a PNG or as a one-entry icon whose directory matches its bitmap header, and its size is
// refused before decoding when it is over the pixel limit.
Status PickIcoEntry(std::string_view d, QByteArray& payload, const char*& qtFormat) {
    const auto* p = reinterpret_cast<const unsigned char*>(d.data());
    const std::size_t n = d.size();
    const std::size_t count = Le16(p + 4);
    if (n < 6 + 16 * count) return Truncated();
    struct Entry {
        std::size_t offset = 0, size = 0;
        std::int64_t width = -1, height = -1;
        std::uint32_t bits = 0;
        bool png = false;
    } best;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* e = p + 6 + 16 * i;
        Entry c;
        c.offset = Le32(e + 12);
        if (c.offset >= n) continue;
        // A size running past the end of the file is cut to the file; the decoder then finds out
        // whether the image really needed the rest.
        c.size = std::min<std::size_t>(Le32(e + 8), n - c.offset);
        const unsigned char* q = p + c.offset;
        if (c.size >= 26 && std::string_view(d.data() + c.offset, 8) == "\x89PNG\r\n\x1a\n") {
            c.png = true;
            c.width = std::int64_t(Be16(q + 16)) << 16 | Be16(q + 18);
            c.height = std::int64_t(Be16(q + 20)) << 16 | Be16(q + 22);
            static constexpr std::uint32_t kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
            c.bits = q[24] * (q[25] < 7 ? kChannels[q[25]] : 0);
        } else if (c.size >= 16 && Le32(q) == 12) {
            c.width = Le16(q + 4);
            c.height = Le16(q + 6) / 2;
            c.bits = Le16(q + 10);
        } else if (c.size >= 40 && Le32(q) >= 40) {
            c.width = std::int32_t(Le32(q + 4));
            c.height = std::int32_t(Le32(q + 8)) / 2;  // the colour rows and the mask rows
            c.bits = Le16(q + 14);
        } else {
            continue;
        }
        if (c.width <= 0 || c.height <= 0) continue;
        // A PNG entry's sides reach 2^32 - 1 each: their product needs all 64 unsigned bits.
        const std::uint64_t area = std::uint64_t(c.width) * std::uint64_t(c.height);
        const std::uint64_t bestArea =
            best.width < 0 ? 0 : std::uint64_t(best.width) * std::uint64_t(best.height);
        if (best.width < 0 || area > bestArea || (area == bestArea && c.bits > best.bits)) best = c;
    }
    if (best.width < 0) return Corrupt(Format::Ico);
    if (Status s = CheckBitmapSize(best.width, best.height); !s) return s;
    if (best.png) {
        payload = QByteArray(d.data() + best.offset, qsizetype(best.size));
        qtFormat = "png";
        return Status::Ok();
    }
    std::string one;
    const auto put16 = [&](std::uint32_t v) { one += char(v & 0xFF), one += char(v >> 8 & 0xFF); };
    put16(0), put16(1), put16(1);
    one += char(best.width < 256 ? best.width : 0);
    one += char(best.height < 256 ? best.height : 0);
    one += '\0', one += '\0';
    put16(1), put16(best.bits);
    put16(std::uint32_t(best.size) & 0xFFFF), put16(std::uint32_t(best.size) >> 16);
    put16(22), put16(0);
    one.append(d.data() + best.offset, best.size);
    payload = QByteArray(one.data(), qsizetype(one.size()));
    qtFormat = "ico";
    return Status::Ok();
}

// Four-channel JPEG, for Qt's reader: walks the markers to the end of the image. The entropy-coded
// data of a scan ends at the first marker that is neither a stuffed zero nor a restart marker.
// Running out of file before the end-of-image marker means the file was cut off: the decoder would
// fill the missing part with grey and call it a picture.
Status CheckJpeg(std::string_view d) {
    const auto* p = reinterpret_cast<const unsigned char*>(d.data());
    const std::size_t n = d.size();
    std::size_t at = 2;
    bool sawFrame = false;
    while (true) {
        // Bytes that are not a marker (some writers leave stray bytes between segments) are
        // skipped, as the decoder does.
        while (at < n && p[at] != 0xFF) ++at;
        while (at < n && p[at] == 0xFF) ++at;
        if (at >= n) return Truncated();
        const unsigned m = p[at++];
        if (m == 0xD9) break;                                 // end of image
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) continue;  // no length
        if (at + 2 > n) return Truncated();
        const std::size_t len = Be16(p + at);
        if (len < 2) return Corrupt(Format::Jpeg);
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
            if (at + 7 > n) return Truncated();
            const std::uint32_t h = Be16(p + at + 3);
            const std::uint32_t w = Be16(p + at + 5);
            if (w == 0 || h == 0) return Status::Fail("画像の大きさが 0 です");
            if (!sawFrame) {
                if (Status s = CheckBitmapSize(w, h); !s) return s;
            }
            sawFrame = true;
        }
        at += len;
        if (m == 0xDA) {
            // Entropy-coded data up to the next real marker.
            while (true) {
                while (at < n && p[at] != 0xFF) ++at;
                if (at + 1 >= n) return Truncated();
                const unsigned next = p[at + 1];
                if (next == 0x00 || next == 0xFF || (next >= 0xD0 && next <= 0xD7)) {
                    at += next == 0xFF ? 1 : 2;
                    continue;
                }
                break;
            }
        }
    }
    if (!sawFrame) return Corrupt(Format::Jpeg);
    return Status::Ok();
}

// Qt's GIF and BMP readers refuse a picture of more than 16384 x 16384 pixels, well below our own
// limit: such a file is not damaged, only too large for them. The size is the header's.
constexpr std::uint64_t kQtReaderMaxPixels = std::uint64_t{16384} * 16384;

Status TooLargeForReader(Format f, std::string_view d) {
    const auto* p = reinterpret_cast<const unsigned char*>(d.data());
    std::uint64_t w = 0, h = 0;
    if (f == Format::Gif && d.size() >= 10) {
        w = Le16(p + 6), h = Le16(p + 8);
    } else if (f == Format::Bmp && d.size() >= 22 && Le32(p + 14) == 12) {
        w = Le16(p + 18), h = std::uint64_t(std::abs(std::int16_t(Le16(p + 20))));
    } else if (f == Format::Bmp && d.size() >= 26 && Le32(p + 14) >= 16) {
        const std::int64_t height = std::int32_t(Le32(p + 22));
        w = std::uint64_t(std::max<std::int64_t>(0, std::int32_t(Le32(p + 18))));
        h = std::uint64_t(height < 0 ? -height : height);
    }
    if (w * h <= kQtReaderMaxPixels) return Status::Ok();
    return Status::Fail(std::string("画像が大きすぎてこの形式の読み込み処理では読めません (") +
                        Label(f) + ", " + std::to_string(w) + " × " + std::to_string(h) +
                        " 画素; " + Label(f) + " の上限は " + std::to_string(kQtReaderMaxPixels) +
                        " 画素)");
}

// What a decoder found beside the pixels becomes the picture's metadata; the picture is turned
// upright as its EXIF says.
Status TakeMeta(JpegMetadata&& found, Picture& picture) {
    Orientation orientation;
    picture.meta = AcceptMeta(std::move(found.icc), std::move(found.exif), &orientation);
    if (orientation == Orientation::Upright) return Status::Ok();
    Bitmap upright;
    if (Status s = Orient(picture.pixels, orientation, upright); !s) return s;
    picture.pixels.swap(upright);
    return Status::Ok();
}

// Reads the whole file: one read gives the checks and the decoder the same bytes, and a file
// that changes while it is being loaded cannot mix two versions.
Status ReadFile(const std::string& path, QByteArray& data) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? Status::Fail("ファイルが見つかりません")
                               : Status::Fail("ファイルを開けません (" + ErrnoText(errno) + ")");
    }
    if (S_ISDIR(st.st_mode)) return Status::Fail("フォルダです (ファイルではありません)");
    // A pipe or device would block the program or never end.
    if (!S_ISREG(st.st_mode)) return Status::Fail("通常のファイルではありません");
    if (st.st_size == 0) return Status::Fail("空のファイルです");
    // An uncompressed bitmap at the pixel limit is the largest file that can be a picture we take;
    // the allowance covers its headers and palette.
    constexpr std::int64_t kMaxFileBytes = kMaxPixels * 4 + (std::int64_t{1} << 20);
    if (st.st_size > kMaxFileBytes) return Status::Fail("ファイルが大きすぎます");

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Status::Fail("ファイルを開けません (" + ErrnoText(errno) + ")");
    QByteArray bytes;
    try {
        bytes.resize(qsizetype(st.st_size));
    } catch (const std::bad_alloc&) {
        ::close(fd);
        return Status::Fail("メモリが足りません");
    }
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t r = ::read(fd, bytes.data() + got, std::size_t(bytes.size() - got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            const int error = errno;
            ::close(fd);
            return Status::Fail("ファイルを読めません (" + ErrnoText(error) + ")");
        }
        if (r == 0) break;
        got += r;
    }
    ::close(fd);
    if (got == 0) return Status::Fail("空のファイルです");
    bytes.truncate(got);
    data = std::move(bytes);
    return Status::Ok();
}

// Qt refuses images over 128 MB by default. Our own limit is kMaxPixels 32-bit pixels, checked
// before decoding; Qt's limit is raised to the same size so that it never refuses a picture we
// accept, and still refuses an allocation that a size field hidden from our checks asks for (a
// PNG inside an icon).
//
// The decoders' own warnings about damaged data ("Corrupt JPEG data: ...", a colour profile Qt
// cannot parse) are switched off: a picture either loads or fails with our reason, and the command-line tool promises one line on
// stderr per failed file.
void SetUpReaders() {
    static const bool done = [] {
        QImageReader::setAllocationLimit(int((kMaxPixels * 4) / (1024 * 1024)) + 1);
        QLoggingCategory::setFilterRules(QStringLiteral("qt.gui.imageio*=false\nqt.gui.icc=false"));
        return true;
    }();
    (void)done;
}

}  // namespace

Status LoadPicture(const std::string& path, std::shared_ptr<const Picture>& out) {
    SetUpReaders();
    QByteArray data;
    if (Status s = ReadFile(path, data); !s) return s;
    const std::string_view bytes(data.constData(), std::size_t(data.size()));

    // The readers of formats/ that their first bytes select: each gives an upright picture with
    // its metadata.
    for (const formats::PictureReader& reader : formats::PictureReaders()) {
        if (!reader.detect(bytes)) continue;
        auto picture = std::make_shared<Picture>();
        if (Status s = reader.read(bytes, *picture); !s) return s;
        out = std::move(picture);
        return Status::Ok();
    }

    const Format format = Sniff(bytes);
    Status check;
    QByteArray payload;  // what Qt decodes; the whole file except for icons
    const char* qtFormat = QtName(format);
    switch (format) {
        case Format::Bmp:
            // Direct-colour bitmaps are ours: Qt's reader refuses the 56-byte header and leaves
            // 5 and 6-bit channels short of white. Palette and run-length ones stay with Qt.
            if (IsDirectBmp(bytes)) {
                auto picture = std::make_shared<Picture>();
                if (Status s = ReadBmp(bytes, *picture); !s) return s;
                out = std::move(picture);
                return Status::Ok();
            }
            check = CheckBmp(bytes);
            break;
        case Format::Gif:
            check = CheckGif(bytes);
            break;
        case Format::Ico:
            check = PickIcoEntry(bytes, payload, qtFormat);
            break;
        case Format::Jpeg:
            // Ours, except for four-channel files: libjpeg-turbo gives no RGB for CMYK or YCCK,
            // and Qt's reader converts them.
            if (JpegHeader h; !ReadJpegHeader(bytes, h) || !h.fourChannel) {
                auto picture = std::make_shared<Picture>();
                JpegMetadata metadata;
                if (Status s = ReadJpeg(bytes, *picture, &metadata); !s) return s;
                if (Status s = TakeMeta(std::move(metadata), *picture); !s) return s;
                out = std::move(picture);
                return Status::Ok();
            }
            // A four-channel file carries no metadata onward: its profile describes inks, not the
            // RGB that Qt's conversion gives.
            check = CheckJpeg(bytes);
            if (check) check = CheckJpegLimits(bytes);
            break;
        case Format::Png:
            return Status::Fail("この形式の画像は読めません (PNG)");
        case Format::Unknown:
            return Status::Fail("画像の形式が分かりません");
    }
    if (!check) return check;
    if (format != Format::Ico) payload = std::move(data);
    data.clear();

    QBuffer buffer(&payload);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, qtFormat);
    reader.setAutoTransform(false);
    reader.setDecideFormatFromContent(false);
    if (!reader.canRead()) return Corrupt(format);
    if (const QSize size = reader.size(); size.isValid()) {
        if (Status s = CheckBitmapSize(size.width(), size.height()); !s) return s;
        // Qt's image and our copy of it are held together for a moment; Qt's own allocation
        // is not one that Bitmap::Allocate sees.
        const std::uint64_t bytes = std::uint64_t(size.width()) * std::uint64_t(size.height()) * 4;
        if (Status s = CheckMemory(2 * bytes); !s) return s;
    }

    // Qt decodes in one call that cannot be stopped: the work shows 0 % until it returns, and a
    // stop asked for meanwhile is honoured right after.
    ProgressStart(1);
    if (WorkCancelled()) return Status::Cancelled();
    QImage image;
    const bool read = reader.read(&image);
    if (WorkCancelled()) return Status::Cancelled();
    ProgressAdvance(1);
    if (!read || image.isNull()) {
        if (Status s = TooLargeForReader(format, std::string_view(payload.constData(),
                                                                  std::size_t(payload.size())));
            !s) {
            return s;
        }
        // Qt's reader names no distinct failures; an allocation it refused is the one we can tell.
        if (reader.error() == QImageReader::InvalidDataError || reader.size().isValid()) {
            return Corrupt(format);
        }
        return Status::Fail("画像を読み取れません (" + std::string(Label(format)) + ")");
    }
    if (Status s = CheckBitmapSize(image.width(), image.height()); !s) return s;
    if (image.width() == 0 || image.height() == 0) return Status::Fail("画像の大きさが 0 です");
    buffer.close();
    payload.clear();  // the file's bytes are no longer needed; the conversion may need the memory

    const bool alpha = image.hasAlphaChannel();
    const QImage::Format wanted = alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32;
    if (image.format() != wanted) {
        QImage converted = image.convertToFormat(wanted);
        if (converted.isNull()) return Status::Fail("メモリが足りません");
        image = std::move(converted);
    }

    auto picture = std::make_shared<Picture>();
    if (Status s = picture->pixels.Allocate(image.width(), image.height()); !s) return s;
    picture->hasAlpha = alpha;
    const std::size_t rowBytes = std::size_t(image.width()) * 4;
    for (int y = 0; y < image.height(); ++y) {
        std::memcpy(picture->pixels.row(y), image.constScanLine(y), rowBytes);
    }
    if (!alpha) {
        // Qt's readers do not always write the fourth byte of an RGB32 image (a GIF frame larger
        // than its screen leaves it 0); an opaque picture has 255 there, as the layout promises.
        std::uint32_t* p = picture->pixels.data();
        for (std::size_t i = 0, n = picture->pixels.pixelCount(); i < n; ++i) p[i] |= kOpaque;
    }
    out = std::move(picture);
    return Status::Ok();
}

}  // namespace platform
