// The bitmap writer: an uncompressed 24-bit bottom-up BMP, the variant that every viewer reads.

#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/bmp_save.h"
#include "formats/output_file.h"
#include "platform/bitmap.h"
#include "platform/progress.h"

namespace formats {
namespace {

constexpr std::uint32_t kFileHeaderSize = 14;  // BITMAPFILEHEADER
constexpr std::uint32_t kInfoHeaderSize = 40;  // BITMAPINFOHEADER
constexpr std::uint32_t kPixelOffset = kFileHeaderSize + kInfoHeaderSize;
// Rows are gathered into blocks of about this many bytes before each write.
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

void PutLe16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void PutLe32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

platform::Status SaveBmp(const platform::Bitmap& image, const std::string& path) {
    using platform::Status;
    const int w = image.width();
    const int h = image.height();
    if (w <= 0 || h <= 0) {
        return Status::Fail("画像の大きさが不正です (" + std::to_string(w) + " × " +
                            std::to_string(h) + ")");
    }
    // Each row is 3 bytes a pixel, padded with zeros to a multiple of 4 bytes. The file size
    // field is 32 bits, so the whole file must stay below 4 GiB.
    const std::uint64_t rowBytes = (std::uint64_t(w) * 3 + 3) & ~std::uint64_t{3};
    const std::uint64_t imageBytes = rowBytes * std::uint64_t(h);
    const std::uint64_t fileBytes = kPixelOffset + imageBytes;
    if (fileBytes > 0xFFFFFFFFu) {
        return Status::Fail("画像が大きすぎて BMP ファイルにできません (" + std::to_string(w) +
                            " × " + std::to_string(h) + " 画素; BMP ファイルの上限は 4 GiB)");
    }

    unsigned char header[kPixelOffset] = {};
    header[0] = 'B';
    header[1] = 'M';
    PutLe32(header + 2, std::uint32_t(fileBytes));
    PutLe32(header + 10, kPixelOffset);
    PutLe32(header + 14, kInfoHeaderSize);
    PutLe32(header + 18, std::uint32_t(w));
    PutLe32(header + 22, std::uint32_t(h));  // positive height: rows stored bottom-up
    PutLe16(header + 26, 1);                 // planes
    PutLe16(header + 28, 24);                // bits per pixel
    PutLe32(header + 30, 0);                 // BI_RGB, no compression
    PutLe32(header + 34, std::uint32_t(imageBytes));
    // Resolution 96 dpi (3780 pixels per metre), colour table empty and all colours important.
    PutLe32(header + 38, 3780);
    PutLe32(header + 42, 3780);

    OutputFile out;
    if (Status s = out.Open(path); !s) return s;
    out.Write(header, sizeof header);

    const std::size_t rowsPerBlock =
        std::max<std::size_t>(1, kBlockBytes / std::size_t(rowBytes));
    std::vector<unsigned char> block(std::size_t(rowBytes) *
                                     std::min<std::size_t>(rowsPerBlock, std::size_t(h)));
    int y = h - 1;  // the file's first row is the image's bottom row
    platform::ProgressStart(h);
    while (y >= 0 && !out.failed()) {
        if (platform::WorkCancelled()) return Status::Cancelled();
        unsigned char* dst = block.data();
        std::size_t rows = 0;
        for (; rows < rowsPerBlock && y >= 0; ++rows, --y) {
            const auto* src = reinterpret_cast<const unsigned char*>(image.row(y));
            unsigned char* p = dst + rows * rowBytes;
            for (int x = 0; x < w; ++x, src += 4, p += 3) {
                p[0] = src[0];
                p[1] = src[1];
                p[2] = src[2];
            }
            std::memset(p, 0, std::size_t(rowBytes) - std::size_t(w) * 3);
        }
        out.Write(dst, rows * std::size_t(rowBytes));
        platform::ProgressAdvance(std::int64_t(rows));
    }
    return out.Close();
}

}  // namespace formats
