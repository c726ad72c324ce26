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

}  // namespace formats
