#include "formats/bmp_load.h"

#include "platform/progress.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <new>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "formats/row_reader.h"
#include "platform/files.h"

namespace formats {

using platform::CheckBitmapSize;
using platform::kOpaque;
namespace {

enum Compression : std::uint32_t { kRgb = 0, kBitfields = 3, kAlphaBitfields = 6 };

constexpr std::size_t kFileHeaderSize = 14;
// The masks sit at the same place in every file: right after a 40-byte header, or in the
// header's own mask fields (which start at its byte 40) for the longer ones.
constexpr std::size_t kMasksAt = kFileHeaderSize + 40;

std::uint32_t Le16(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8;
}
std::uint32_t Le32(const unsigned char* p) { return Le16(p) | Le16(p + 2) << 16; }

bool KnownHeaderSize(std::uint32_t size) {
    return size == 40 || size == 52 || size == 56 || size == 108 || size == 124 || size == 64;
}
// The 56, 108 and 124-byte headers have an alpha mask field; OS/2's 64-byte header uses those
// bytes for something else.
bool HasAlphaMaskField(std::uint32_t headerSize) {
    return headerSize == 56 || headerSize == 108 || headerSize == 124;
}

Status Truncated() { return Status::Fail("ファイルが途中で切れています"); }
Status Corrupt() { return Status::Fail("画像のデータが壊れています (BMP)"); }

// One channel's place in a pixel, worked out once per file: (pixel >> shift) & keep indexes
// scale, which gives the 0..255 value.
struct Channel {
    unsigned shift = 0;
    std::uint32_t keep = 0;
    std::vector<std::uint8_t> scale;
};

// Fails for a mask whose bits are not one run. An empty mask makes a channel that always reads
// as `absent`. A channel of w bits is scaled to 0..255 as v * 255 / (2^w - 1) rounded to
// nearest, so that full scale is 255 and the steps are even (5-bit 3 is 25, not 24). The table
// covers up to 16 bits; of a wider channel (no common layout has one) the top 16 are used.
bool MakeChannel(std::uint32_t mask, std::uint8_t absent, Channel& c) {
    if (mask == 0) {
        c.shift = 0;
        c.keep = 0;
        c.scale.assign(1, absent);
        return true;
    }
    const unsigned low = unsigned(std::countr_zero(mask));
    const std::uint32_t run = mask >> low;
    if ((run & (run + 1)) != 0) return false;  // wraps to 0 for a full 32-bit run: still one run
    const unsigned width = unsigned(std::popcount(mask));
    const unsigned used = std::min(width, 16u);
    c.shift = low + (width - used);
    c.keep = (1u << used) - 1;
    c.scale.resize(std::size_t(c.keep) + 1);
    for (std::uint32_t v = 0; v <= c.keep; ++v) {
        c.scale[v] = std::uint8_t((v * 255 + c.keep / 2) / c.keep);
    }
    return true;
}

struct Layout {
    int bytesPerPixel = 0;            // 2, 3 or 4
    std::array<Channel, 4> channels;  // red, green, blue, alpha; unused for 3 bytes a pixel
    bool alphaMask = false;
};

void ConvertRow24(const unsigned char* src, std::uint32_t* dst, int width) {
    for (int x = 0; x < width; ++x, src += 3) {
        dst[x] = kOpaque | std::uint32_t(src[2]) << 16 | std::uint32_t(src[1]) << 8 | src[0];
    }
}

// Masked pixels of Bytes bytes. The alpha values seen are folded into allAnd, which tells
// afterwards whether the picture is all opaque.
template <int Bytes>
void ConvertMaskedRow(const unsigned char* src, std::uint32_t* dst, int width,
                      const std::array<Channel, 4>& ch, std::uint32_t& allAnd) {
    const Channel &r = ch[0], &g = ch[1], &b = ch[2], &a = ch[3];
    std::uint32_t rowAnd = 0xFF;
    for (int x = 0; x < width; ++x, src += Bytes) {
        const std::uint32_t px = Bytes == 2 ? Le16(src) : Le32(src);
        const std::uint32_t alpha = a.scale[(px >> a.shift) & a.keep];
        rowAnd &= alpha;
        dst[x] = alpha << 24 | std::uint32_t(r.scale[(px >> r.shift) & r.keep]) << 16 |
                 std::uint32_t(g.scale[(px >> g.shift) & g.keep]) << 8 |
                 b.scale[(px >> b.shift) & b.keep];
    }
    allAnd &= rowAnd;
}

// The masks of a 16 or 32-bit file: given by the file for the bit-field kinds, the defaults
// otherwise. Refuses a mask that is cut off, not one run of bits, or wider than the pixel.
Status ReadMasks(const unsigned char* p, std::size_t n, std::uint32_t headerSize,
                 std::uint32_t compression, int bits, Layout& layout, std::size_t& masksEnd) {
    std::uint32_t masks[4] = {};
    const std::uint32_t pixelBits = bits == 16 ? 0xFFFFu : 0xFFFFFFFFu;
    if (compression == kRgb) {
        if (bits == 16) {
            masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
        } else {
            masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
        }
        // Writers of the longer headers fill the alpha mask for plain bitmaps too, and mean it.
        // A value that is no alpha channel of this pixel (outside it, over the colours) is a
        // leftover and is ignored: the field does not belong to plain bitmaps.
        if (HasAlphaMaskField(headerSize)) {
            const std::uint32_t alpha = Le32(p + kMasksAt + 12);
            const bool fits =
                (alpha & ~pixelBits) == 0 && (alpha & (masks[0] | masks[1] | masks[2])) == 0;
            if (fits) masks[3] = alpha;
        }
    } else {
        const std::size_t count =
            compression == kAlphaBitfields || HasAlphaMaskField(headerSize) ? 4 : 3;
        masksEnd = kMasksAt + 4 * count;
        if (n < masksEnd) return Truncated();
        for (std::size_t i = 0; i < count; ++i) {
            masks[i] = Le32(p + kMasksAt + 4 * i);
            if ((masks[i] & ~pixelBits) != 0) return Corrupt();
        }
    }
    for (int i = 0; i < 4; ++i) {
        if (!MakeChannel(masks[i], i == 3 ? 0xFF : 0, layout.channels[std::size_t(i)])) {
            return Corrupt();
        }
    }
    layout.alphaMask = masks[3] != 0;
    return Status::Ok();
}

}  // namespace

bool IsDirectBmp(std::string_view file) {
    if (file.size() < 34 || file[0] != 'B' || file[1] != 'M') return false;
    const auto* p = reinterpret_cast<const unsigned char*>(file.data());
    const std::uint32_t headerSize = Le32(p + 14);
    const std::uint32_t bits = Le16(p + 28);
    const std::uint32_t compression = Le32(p + 30);
    if (!KnownHeaderSize(headerSize)) return false;
    if (bits != 16 && bits != 24 && bits != 32) return false;
    if (compression == kRgb) return true;
    // OS/2's compression 3 is Huffman coding, not bit fields.
    return (compression == kBitfields || compression == kAlphaBitfields) && bits != 24 &&
           headerSize != 64;
}

namespace {

// Everything the headers say about where and how the rows are stored, checked against the file.
struct Frame {
    std::int64_t width = 0, rows = 0;
    bool topDown = false;
    Layout layout;
    std::uint64_t offset = 0, stride = 0, rowBytes = 0;
};

// head: the file's first bytes (all of them, or at least the first 4 KiB, which hold every
// header this reader knows); fileSize: the whole file's. pixelLimit: the whole picture's limit,
// which the row route leaves out.
Status ParseFrame(std::string_view head, std::uint64_t fileSize, bool pixelLimit, Frame& f) {
    if (!IsDirectBmp(head)) return Corrupt();
    const auto* p = reinterpret_cast<const unsigned char*>(head.data());
    const std::size_t n = head.size();
    const std::uint32_t headerSize = Le32(p + 14);
    if (n < kFileHeaderSize + headerSize) return Truncated();

    // Signed 32-bit fields read into 64 bits, so that -2^31 has a magnitude.
    f.width = std::int32_t(Le32(p + 18));
    const std::int64_t height = std::int32_t(Le32(p + 22));
    const int bits = int(Le16(p + 28));
    const std::uint32_t compression = Le32(p + 30);
    f.topDown = height < 0;  // a negative height stores the rows top-down
    f.rows = f.topDown ? -height : height;
    if (f.width <= 0 || f.rows == 0) return Corrupt();
    if (pixelLimit) {
        if (Status s = CheckBitmapSize(f.width, f.rows); !s) return s;
    }

    f.layout.bytesPerPixel = bits / 8;
    std::size_t masksEnd = 0;
    if (bits != 24) {
        if (Status s = ReadMasks(p, n, headerSize, compression, bits, f.layout, masksEnd); !s) {
            return s;
        }
    }

    // Sides below 2^31 keep these products far below 2^63. The last row needs only its pixels:
    // some writers leave its padding out.
    f.offset = Le32(p + 10);
    const std::uint64_t headersEnd =
        std::max<std::uint64_t>(kFileHeaderSize + headerSize, masksEnd);
    if (f.offset < headersEnd) return Corrupt();
    f.stride = (std::uint64_t(f.width) * std::uint64_t(bits) + 31) / 32 * 4;
    f.rowBytes = std::uint64_t(f.width) * std::uint64_t(f.layout.bytesPerPixel);
    if (f.offset > fileSize || fileSize - f.offset < f.stride * std::uint64_t(f.rows - 1) + f.rowBytes) {
        return Truncated();
    }
    return Status::Ok();
}

void ConvertRow(const Frame& f, const unsigned char* src, std::uint32_t* dst,
                std::uint32_t& allAnd) {
    switch (f.layout.bytesPerPixel) {
        case 2:
            ConvertMaskedRow<2>(src, dst, int(f.width), f.layout.channels, allAnd);
            break;
        case 3:
            ConvertRow24(src, dst, int(f.width));
            break;
        default:
            ConvertMaskedRow<4>(src, dst, int(f.width), f.layout.channels, allAnd);
            break;
    }
}

}  // namespace

Status ReadBmp(std::string_view file, Picture& out) {
    Frame f;
    if (Status s = ParseFrame(file, file.size(), true, f); !s) return s;
    Picture picture;
    if (Status s = picture.pixels.Allocate(int(f.width), int(f.rows)); !s) return s;
    std::uint32_t allAnd = 0xFF;
    const auto* src = reinterpret_cast<const unsigned char*>(file.data()) + f.offset;
    const int rows = int(f.rows);
    platform::ProgressStart(rows);
    for (int r = 0; r < rows; ++r, src += f.stride) {
        if (r % 64 == 0) {  // between bands of 64 rows
            if (platform::WorkCancelled()) return platform::Status::Cancelled();
            if (r > 0) platform::ProgressAdvance(64);
        }
        ConvertRow(f, src, picture.pixels.row(f.topDown ? r : rows - 1 - r), allAnd);
    }
    platform::ProgressAdvance(rows % 64 == 0 ? 64 : rows % 64);
    // An alpha mask is taken at its word even when every pixel is clear: such a picture shows
    // only what lies beneath it.
    picture.hasAlpha = f.layout.alphaMask && allAnd != 0xFF;
    out = std::move(picture);
    return Status::Ok();
}

// --- The row reader ------------------------------------------------------------------------

namespace {

class BmpRows final : public RowReader {
public:
    explicit BmpRows(int fd) : fd_(fd) {}
    ~BmpRows() override { ::close(fd_); }

    Status Start(std::uint64_t fileSize, std::string_view head, bool& streamable) {
        streamable = false;
        if (Status s = ParseFrame(head, fileSize, false, frame_); !s) return s;
        if (frame_.width > kMaxRowSide || frame_.rows > kMaxRowSide) return Status::Ok();
        width_ = int(frame_.width);
        height_ = int(frame_.rows);
        workingBytes_ = frame_.stride * kChunkRows;
        streamable = true;
        return Status::Ok();
    }

    // The rows of a band lie together in the file (bottom-up files hold them in reverse):
    // read in chunks of kChunkRows file rows.
    Status ReadRows(std::uint32_t* rows, std::size_t stride, int count) override {
        if (count > height_ - next_) return Truncated();
        for (int done = 0; done < count;) {
            const int n = std::min(kChunkRows, count - done);
            const int first = next_ + done;  // picture rows first .. first + n - 1
            const std::int64_t fileFirst = frame_.topDown ? first : height_ - (first + n);
            const std::uint64_t at = frame_.offset + std::uint64_t(fileFirst) * frame_.stride;
            const std::uint64_t bytes = frame_.stride * std::uint64_t(n - 1) + frame_.rowBytes;
            try {
                buffer_.resize(std::size_t(bytes));
            } catch (const std::bad_alloc&) {
                return Status::Fail("メモリが足りません");
            }
            for (std::uint64_t got = 0; got < bytes;) {
                const ssize_t r = ::pread(fd_, buffer_.data() + got, std::size_t(bytes - got),
                                          off_t(at + got));
                if (r < 0 && errno == EINTR) continue;
                if (r < 0) return Status::Fail("ファイルを読めません (" + platform::ErrnoText(errno) + ")");
                if (r == 0) return Truncated();  // the file shrank since it was opened
                got += std::uint64_t(r);
            }
            for (int k = 0; k < n; ++k) {
                const std::int64_t fileRow = frame_.topDown ? k : n - 1 - k;
                std::uint32_t* dst = rows + std::size_t(done + k) * stride;
                std::uint32_t allAnd = 0xFF;
                ConvertRow(frame_, buffer_.data() + std::uint64_t(fileRow) * frame_.stride, dst,
                           allAnd);
                OverWhite(dst, width_);
            }
            done += n;
        }
        next_ += count;
        return Status::Ok();
    }

    Status Finish() override { return next_ == height_ ? Status::Ok() : Truncated(); }

private:
    static constexpr int kChunkRows = 64;
    int fd_;
    Frame frame_;
    int next_ = 0;
    std::vector<unsigned char> buffer_;
};

}  // namespace

RowSource OpenBmpRows(int fd) {
    RowSource source;
    struct stat st {};
    std::string head(4096, '\0');
    ssize_t got = -1;
    if (::fstat(fd, &st) == 0) got = ::pread(fd, head.data(), head.size(), 0);
    auto reader = std::make_unique<BmpRows>(fd);
    if (got < 0) return source;
    head.resize(std::size_t(got));
    if (!IsDirectBmp(head)) return source;
    bool streamable = false;
    source.status = reader->Start(std::uint64_t(st.st_size), head, streamable);
    if (source.status && streamable) source.reader = std::move(reader);
    return source;
}

}  // namespace formats
