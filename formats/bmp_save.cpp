// The bitmap writer: an uncompressed 24-bit bottom-up BMP, the variant that every viewer reads.
// Rows come top to bottom and go straight to their place in the file, the last row first.

#include "formats/bmp_save.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

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

class BmpWriter : public RowWriter {
  public:
    BmpWriter(int width, int height, std::size_t rowBytes)
        : width_(width),
          height_(height),
          rowBytes_(rowBytes),
          blockRows_(int(std::clamp<std::size_t>(kBlockBytes / rowBytes, 1, std::size_t(height)))) {
    }

    platform::Status Open(const std::string& path) {
        const std::uint64_t imageBytes = std::uint64_t(rowBytes_) * std::uint64_t(height_);
        unsigned char header[kPixelOffset] = {};
        header[0] = 'B';
        header[1] = 'M';
        PutLe32(header + 2, std::uint32_t(kPixelOffset + imageBytes));
        PutLe32(header + 10, kPixelOffset);
        PutLe32(header + 14, kInfoHeaderSize);
        PutLe32(header + 18, std::uint32_t(width_));
        PutLe32(header + 22, std::uint32_t(height_));  // positive height: rows stored bottom-up
        PutLe16(header + 26, 1);                       // planes
        PutLe16(header + 28, 24);                      // bits per pixel
        PutLe32(header + 30, 0);                       // BI_RGB, no compression
        PutLe32(header + 34, std::uint32_t(imageBytes));
        // Resolution 96 dpi (3780 pixels per metre), colour table empty and all colours important.
        PutLe32(header + 38, 3780);
        PutLe32(header + 42, 3780);
        try {
            block_.resize(rowBytes_ * std::size_t(blockRows_));
        } catch (const std::bad_alloc&) {
            return platform::Status::Fail("メモリが足りません");
        }
        if (platform::Status s = out_.Open(path); !s) return s;
        out_.Write(header, sizeof header);
        return platform::Status::Ok();
    }

    platform::Status WriteRows(const std::uint32_t* rows, std::size_t stride, int count) override {
        if (!failure_.ok()) return failure_;
        if (finished_) return platform::Status::Fail("書き込みは終わっています");
        if (count < 0 || count > height_ - next_) {
            return Fail(platform::Status::Fail("画像の高さを超える行が渡されました"));
        }
        for (int i = 0; i < count;) {
            if (platform::WorkCancelled()) return Fail(platform::Status::Cancelled());
            // Rows y .. y + n - 1 lie in the file one before the other, the last one first.
            const int n = std::min(blockRows_, count - i);
            for (int r = 0; r < n; ++r) {
                const auto* src =
                    reinterpret_cast<const unsigned char*>(rows + std::size_t(i + r) * stride);
                unsigned char* p = block_.data() + std::size_t(n - 1 - r) * rowBytes_;
                for (int x = 0; x < width_; ++x, src += 4, p += 3) {
                    p[0] = src[0];
                    p[1] = src[1];
                    p[2] = src[2];
                }
                std::memset(p, 0, rowBytes_ - std::size_t(width_) * 3);
            }
            const int last = next_ + n - 1;
            const std::uint64_t at =
                kPixelOffset + std::uint64_t(height_ - 1 - last) * std::uint64_t(rowBytes_);
            if (!out_.WriteAt(at, block_.data(), std::size_t(n) * rowBytes_))
                return Fail(out_.Close());
            next_ += n;
            i += n;
            platform::ProgressAdvance(n);
        }
        return platform::Status::Ok();
    }

    platform::Status Finish() override {
        if (!failure_.ok()) return failure_;
        if (finished_) return platform::Status::Fail("書き込みは終わっています");
        if (next_ != height_) {
            return Fail(platform::Status::Fail("画像の行が足りません (" + std::to_string(next_) +
                                               " / " + std::to_string(height_) + " 行)"));
        }
        finished_ = true;
        failure_ = out_.Close();
        return failure_;
    }

    int PreferredRows() const override { return blockRows_; }

  private:
    platform::Status Fail(platform::Status status) {
        if (failure_.ok()) failure_ = status;
        out_.Discard();
        return failure_;
    }

    const int width_, height_;
    const std::size_t rowBytes_;
    const int blockRows_;
    int next_ = 0;
    bool finished_ = false;
    platform::Status failure_;
    std::vector<unsigned char> block_;
    OutputFile out_;
};

}  // namespace

std::unique_ptr<RowWriter> OpenBmpWriter(const std::string& path, int width, int height,
                                         platform::Status& status) {
    // Each row is 3 bytes a pixel, padded with zeros to a multiple of 4 bytes. The file size
    // field is 32 bits, so the whole file must stay below 4 GiB.
    const std::uint64_t rowBytes = (std::uint64_t(width) * 3 + 3) & ~std::uint64_t{3};
    if (kPixelOffset + rowBytes * std::uint64_t(height) > 0xFFFFFFFFu) {
        status = platform::Status::Fail("画像が大きすぎて BMP ファイルにできません (" +
                                        std::to_string(width) + " × " + std::to_string(height) +
                                        " 画素; BMP ファイルの上限は 4 GiB)");
        return nullptr;
    }
    auto writer = std::make_unique<BmpWriter>(width, height, std::size_t(rowBytes));
    status = writer->Open(path);
    if (!status) return nullptr;
    return writer;
}

platform::Status SaveBmp(const platform::Bitmap& image, const std::string& path) {
    platform::ProgressStart(image.height());  // this save is the step: its rows are counted
    platform::Status s;
    std::unique_ptr<RowWriter> writer = OpenRowWriter(path, image.width(), image.height(),
                                                      WriteSettings{OutputFormat::Bmp}, nullptr, s);
    if (!writer) return s;
    if (s = writer->WriteRows(image.data(), std::size_t(image.width()), image.height()); !s)
        return s;
    return writer->Finish();
}

}  // namespace formats
