#include "formats/picture_writers.h"

#include <array>

#include "formats/heif_save.h"
#include "formats/jxl_save.h"
#include "formats/tiff_save.h"
#include "formats/webp_save.h"

namespace formats {

std::span<const WriterEntry> PictureWriters() {
    static constexpr std::array kWriters{
        WriterEntry{".WEBP", SaveWebp},
        WriterEntry{".TIF", SaveTiff},
        WriterEntry{".TIFF", SaveTiff},
        WriterEntry{".AVIF", SaveAvif},
        WriterEntry{".HEIC", SaveHeic},
        WriterEntry{".JXL", SaveJxl},
    };
    return kWriters;
}

PictureWriter FindWriter(std::string_view ext) {
    for (const WriterEntry& e : PictureWriters()) {
        if (ext == e.ext) return e.write;
    }
    return nullptr;
}

}  // namespace formats
