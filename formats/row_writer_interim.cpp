// Interim OpenRowWriter until the banded writers land: gathers the rows into one bitmap and hands
// it to the whole-picture writers at Finish. Same bytes as those writers, whole-picture memory.

#include <cstring>

#include "formats/bmp_save.h"
#include "formats/jpeg_save.h"
#include "formats/png_save.h"
#include "formats/row_writer.h"
#include "platform/bitmap.h"

namespace formats {
namespace {

class GatheringWriter final : public RowWriter {
public:
    GatheringWriter(std::string path, WriteSettings settings, const platform::ImageMeta* meta)
        : path_(std::move(path)), settings_(settings), meta_(meta ? *meta : platform::ImageMeta{}) {}
    platform::Status Allocate(int w, int h) { return bitmap_.Allocate(w, h); }
    platform::Status WriteRows(const std::uint32_t* rows, std::size_t stride, int count) override {
        for (int i = 0; i < count && next_ < bitmap_.height(); ++i, ++next_)
            std::memcpy(bitmap_.row(next_), rows + std::size_t(i) * stride,
                        std::size_t(bitmap_.width()) * 4);
        return platform::Status::Ok();
    }
    platform::Status Finish() override {
        const int w = bitmap_.width(), h = bitmap_.height();
        switch (settings_.format) {
            case OutputFormat::Jpeg:
                return SaveJpeg(bitmap_, w, h, path_, settings_.jpegRate, settings_.progressive,
                                &meta_);
            case OutputFormat::Png:
                return SavePng(bitmap_, w, h, path_, settings_.pngRate, &meta_);
            default:
                return SaveBmp(bitmap_, path_);
        }
    }
    int PreferredRows() const override { return 16; }

private:
    std::string path_;
    WriteSettings settings_;
    platform::ImageMeta meta_;
    platform::Bitmap bitmap_;
    int next_ = 0;
};

}  // namespace

std::unique_ptr<RowWriter> OpenRowWriter(const std::string& path, int width, int height,
                                         const WriteSettings& settings,
                                         const platform::ImageMeta* meta,
                                         platform::Status& status) {
    auto writer = std::make_unique<GatheringWriter>(path, settings, meta);
    status = writer->Allocate(width, height);
    if (!status) return nullptr;
    return writer;
}

}  // namespace formats
