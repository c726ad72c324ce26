#pragma once
// Writers that take a picture as bands of rows, top to bottom, as they are made, so that a
// picture of any height is written without ever being held whole.
//
// The file's bytes depend only on the picture, the settings and the metadata: never on the
// heights of the bands handed in, on the number of cores or on which route made the rows.
// Each writer cuts its own bands (restart-marker bands, deflate bands) at fixed rows of the
// picture and encodes a band when its last row has arrived. The whole-picture calls
// (DCSavetoJPEG, DCSavetoPNG, SavePicture) hand their bitmap to these same writers.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/image_meta.h"
#include "platform/status.h"

namespace formats {

enum class OutputFormat { Bmp, Jpeg, Png };

struct WriteSettings {
    OutputFormat format = OutputFormat::Bmp;
    int jpegRate = 75;         // JPEG quality, clamped into 1..100
    bool progressive = false;  // progressive JPEG (held whole by libjpeg: not a row writer)
    int pngRate = 0;           // 1 fastest, 0 normal, 2 smallest file; others as 0
};

class RowWriter {
public:
    virtual ~RowWriter() = default;

    // Appends `count` rows. Row i starts at rows + i * stride (in pixels); pixels are 32-bit
    // BGRX words, the fourth byte is ignored. The rows are not kept after the call returns.
    virtual platform::Status WriteRows(const std::uint32_t* rows, std::size_t stride,
                                       int count) = 0;

    // After the picture's last row: writes what is left and closes the file. The file is
    // complete only when this succeeded. A writer destroyed before that removes what it wrote.
    virtual platform::Status Finish() = 0;

    // How many rows a WriteRows call had best bring (the writer's band height), so that
    // callers can size their bands; any count is accepted.
    virtual int PreferredRows() const = 0;
};

// Opens path (UTF-8; refused when it exists as anything but a regular file) for a width x height
// picture. meta, when given, is embedded where the format holds it, as the whole-picture writers
// do. Returns nullptr and sets status on failure; nothing is left on disk then.
std::unique_ptr<RowWriter> OpenRowWriter(const std::string& path, int width, int height,
                                         const WriteSettings& settings,
                                         const platform::ImageMeta* meta,
                                         platform::Status& status);

// ---- What the writers share --------------------------------------------------------------------

// The band height of the JPEG and PNG writers for a picture `width` pixels wide: about
// kBandPixels pixels a band, at most 256 rows, a multiple of `unit` rows (16 for JPEG's 4:2:0
// MCU rows). A 6000-pixel-wide picture gets bands of 96 (JPEG) or 88 (PNG) rows: 42 or 46 bands
// for 4000 rows, enough to keep any number of cores busy.
constexpr int kBandPixels = 1 << 19;
int BandRows(int width, int unit);

// Gathers the rows into batches of whole bands of fixed height and hands each batch to the
// format's EncodeBatch, which encodes its bands on the cores and writes them in order. A batch
// holds up to Slots() bands: a few per core, so the cores share the work, and never more, so the
// memory grows with the width alone. Rows that a call brings up to the end of a batch are read
// where the caller holds them; only rows of a batch that is not yet complete are copied.
// Between batches: progress (rows done) and cancellation. Any failure removes the file.
class BandedWriter : public RowWriter {
public:
    platform::Status WriteRows(const std::uint32_t* rows, std::size_t stride, int count) final;
    platform::Status Finish() final;
    int PreferredRows() const final { return bandRows_; }

protected:
    BandedWriter(int width, int height, int bandRows);
    int width() const { return width_; }
    int height() const { return height_; }
    int bandRows() const { return bandRows_; }
    int bandCount() const { return (height_ + bandRows_ - 1) / bandRows_; }
    int Slots() const { return slots_; }

    // Encodes bands firstBand .. firstBand + bands - 1 (`count` rows) and writes them to the file
    // in order. rows[0] is the row above the first band (nullptr at the top of the picture),
    // rows[1 + i] the batch's row i. Band k of the batch (0 <= k < bands <= Slots()) is rows
    // 1 + k * bandRows() on.
    virtual platform::Status EncodeBatch(int firstBand, int bands,
                                         const std::uint32_t* const* rows, int count) = 0;
    // After the last band: ends and closes the file.
    virtual platform::Status Close() = 0;
    // After a failure: closes the file and removes it.
    virtual void Discard() = 0;

private:
    platform::Status Fail(platform::Status status);
    platform::Status RunBatch(int batchEnd);

    const int width_, height_, bandRows_, slots_;
    int next_ = 0;         // the next row to arrive
    int batchStart_ = 0;   // the first row of the batch being gathered
    bool finished_ = false;
    platform::Status failure_;
    std::vector<std::uint32_t> copied_;   // rows of the batch that arrived in earlier calls
    std::vector<std::uint32_t> above_;    // the last row of the previous batch
    std::vector<const std::uint32_t*> rows_;
};

}  // namespace formats
