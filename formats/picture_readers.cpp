#include "formats/picture_readers.h"

#include <array>
#include <utility>

#include "formats/exif.h"
#include "formats/heif_load.h"
#include "formats/jxl_load.h"
#include "formats/tiff_load.h"
#include "formats/webp_load.h"
#include "platform/bitmap.h"
#include "platform/memory_budget.h"

namespace formats {

std::span<const PictureReader> PictureReaders() {
    static constexpr std::array kReaders{
        PictureReader{"WebP", IsWebp, ReadWebp},
        PictureReader{"TIFF", IsTiff, ReadTiff},
        PictureReader{"HEIF", IsHeif, ReadHeif},
        PictureReader{"JPEG XL", IsJxl, ReadJxl},
    };
    return kReaders;
}

Status CheckDecodeSize(std::int64_t width, std::int64_t height, std::uint64_t extraBytes) {
    if (width <= 0 || height <= 0) return Status::Fail("画像の大きさが 0 です");
    if (Status s = platform::CheckBitmapSize(width, height); !s) return s;
    return platform::CheckMemory(std::uint64_t(width) * std::uint64_t(height) * 4 + extraBytes);
}

Status FinishPicture(Picture& picture, std::vector<std::uint8_t> icc,
                     std::vector<std::uint8_t> exif, const Orientation* own) {
    Orientation orientation = Orientation::Upright;
    platform::ImageMetaPtr meta = AcceptMeta(std::move(icc), std::move(exif), &orientation);
    if (own) orientation = *own;
    if (orientation != Orientation::Upright) {
        platform::Bitmap upright;
        if (Status s = platform::Orient(picture.pixels, orientation, upright); !s) return s;
        picture.pixels.swap(upright);
    }
    picture.meta = std::move(meta);
    return Status::Ok();
}

bool AnyTransparent(const platform::Bitmap& pixels) {
    const std::uint32_t* p = pixels.data();
    std::uint32_t all = platform::kOpaque;
    for (std::size_t i = 0, n = pixels.pixelCount(); i < n; ++i) all &= p[i];
    return all != platform::kOpaque;
}

}  // namespace formats
