#pragma once
// The row route: a source that its reader hands out row by row is composed and written band by
// band, never held whole. The bands go through the same texture-row and blend kernels as
// ComposeImage and into the writers' row interface, so the file's bytes are those of the
// whole-picture route (LoadImageSlot, ComposeImage, WriteResultFile).
//
//   decoder thread:  reader.ReadRows ─► band ─► band ─► (up to kBandsAhead bands ahead)
//   calling thread:  texture rows + blend (ParallelFor) ─► RowWriter::WriteRows ─► AtomicFile

#include <cstdint>
#include <string>

#include "formats/row_reader.h"
#include "imagefiles/save_result.h"
#include "platform/bitmap.h"
#include "platform/status.h"

namespace imagefiles {

// Whether the output format and settings are written by rows. Progressive JPEG is not: libjpeg
// holds the whole picture's coefficients for it, so such a job keeps the whole-picture route.
bool WritesByRows(const std::string& ext, const OutputSettings& settings);

// The memory the row route holds for a width-pixel-wide picture besides its reader's and the
// texture: the bands in flight, the texture band and an allowance for the writer's bands.
std::uint64_t RowRouteBytes(int width);

struct RowJobResult {
    platform::Status status;
    bool sourceFailed = false;  // the reason is the source's (else the output's)
};

// Composes every row of reader with texture (tiled when tile == -1, else stretched) and writes
// the result to path in the format that ext (".BMP", ".JPG", ".PNG") names, through a temporary
// file that replaces path only when complete. The result carries the reader's metadata (JPEG,
// PNG). On any failure (the source breaking half way included) nothing is left on disk.
// A platform::Progress installed on the calling thread gets the picture's rows as its step and
// the writer's count of the rows written.
RowJobResult ComposeRowsToFile(formats::RowReader& reader, const platform::Bitmap& texture,
                               std::int16_t tile, const std::string& path, const std::string& ext,
                               const OutputSettings& settings);

}  // namespace imagefiles
