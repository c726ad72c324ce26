// The row writers' common part: the choice of writer, the fixed band height, and the gathering of
// rows into batches of bands.

#include "formats/row_writer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "formats/bmp_save.h"
#include "formats/jpeg_save.h"
#include "formats/png_save.h"
#include "platform/parallel.h"
#include "platform/progress.h"

namespace formats {

std::unique_ptr<RowWriter> OpenRowWriter(const std::string& path, int width, int height,
                                         const WriteSettings& settings,
                                         const platform::ImageMeta* meta,
                                         platform::Status& status) {
    if (width <= 0 || height <= 0) {
        status = platform::Status::Fail("画像の大きさが不正です (" + std::to_string(width) +
                                        " × " + std::to_string(height) + ")");
        return nullptr;
    }
    switch (settings.format) {
        case OutputFormat::Jpeg:
            return OpenJpegWriter(path, width, height, settings.jpegRate, settings.progressive,
                                  meta, status);
        case OutputFormat::Png:
            return OpenPngWriter(path, width, height, settings.pngRate, meta, status);
        case OutputFormat::Bmp:
            break;
    }
    return OpenBmpWriter(path, width, height, status);
}

int BandRows(int width, int unit) {
    const int rows = int(std::min<long>(256, (long(kBandPixels) + width - 1) / width));
    return std::max(unit, (rows + unit - 1) / unit * unit);
}

// A few bands per core: the bands of a batch differ in cost, and the cores that finish first
// take the rest. The count changes only how many bands wait in memory, never the bytes.
BandedWriter::BandedWriter(int width, int height, int bandRows)
    : width_(width),
      height_(height),
      bandRows_(bandRows),
      slots_(std::clamp(2 * platform::WorkerCount(), 2, 32)) {}

platform::Status BandedWriter::Fail(platform::Status status) {
    if (failure_.ok()) {
        failure_ = status.ok() ? platform::Status::Fail("書き込みに失敗しました") : status;
        Discard();
    }
    return failure_;
}

platform::Status BandedWriter::WriteRows(const std::uint32_t* rows, std::size_t stride,
                                         int count) {
    if (!failure_.ok()) return failure_;
    if (finished_) return platform::Status::Fail("書き込みは終わっています");
    if (count < 0 || count > height_ - next_) {
        return Fail(platform::Status::Fail("画像の高さを超える行が渡されました"));
    }
    const std::size_t w = std::size_t(width_);
    try {
        if (rows_.empty()) rows_.resize(std::size_t(slots_) * std::size_t(bandRows_) + 1);
    } catch (const std::bad_alloc&) {
        return Fail(platform::Status::Fail("メモリが足りません"));
    }
    for (int i = 0; i < count;) {
        const int batchEnd =
            int(std::min<long>(long(batchStart_) + long(slots_) * bandRows_, height_));
        const int take = std::min(count - i, batchEnd - next_);
        // Rows that complete the batch in this call are encoded before it returns: read them in
        // place. The others wait in our copy.
        const bool completes = next_ + take == batchEnd;
        for (int r = 0; r < take; ++r) {
            const std::uint32_t* source = rows + std::size_t(i + r) * stride;
            const std::size_t at = std::size_t(next_ + r - batchStart_);
            if (!completes) {
                if (copied_.empty()) {
                    try {
                        copied_.resize(std::size_t(slots_) * std::size_t(bandRows_) * w);
                    } catch (const std::bad_alloc&) {
                        return Fail(platform::Status::Fail("メモリが足りません"));
                    }
                }
                std::memcpy(&copied_[at * w], source, w * sizeof(std::uint32_t));
                source = &copied_[at * w];
            }
            rows_[1 + at] = source;
        }
        next_ += take;
        i += take;
        if (completes) {
            if (platform::Status s = RunBatch(batchEnd); !s) return Fail(s);
        }
    }
    return platform::Status::Ok();
}

platform::Status BandedWriter::RunBatch(int batchEnd) {
    if (platform::WorkCancelled()) return platform::Status::Cancelled();
    const int count = batchEnd - batchStart_;
    const int bands = (count + bandRows_ - 1) / bandRows_;
    rows_[0] = batchStart_ > 0 ? above_.data() : nullptr;
    if (platform::Status s = EncodeBatch(batchStart_ / bandRows_, bands, rows_.data(), count); !s)
        return s;
    try {
        above_.assign(rows_[std::size_t(count)], rows_[std::size_t(count)] + width_);
    } catch (const std::bad_alloc&) {
        return platform::Status::Fail("メモリが足りません");
    }
    platform::ProgressAdvance(count);
    batchStart_ = batchEnd;
    return platform::Status::Ok();
}

platform::Status BandedWriter::Finish() {
    if (!failure_.ok()) return failure_;
    if (finished_) return platform::Status::Fail("書き込みは終わっています");
    if (next_ != height_) {
        return Fail(platform::Status::Fail("画像の行が足りません (" + std::to_string(next_) +
                                           " / " + std::to_string(height_) + " 行)"));
    }
    finished_ = true;
    if (platform::Status s = Close(); !s) {
        failure_ = s;
        return s;
    }
    return platform::Status::Ok();
}

}  // namespace formats
