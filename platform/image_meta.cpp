#include "platform/image_meta.h"

#include <cstring>

namespace platform {

bool IccProfileIsWhole(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 128) return false;
    const std::uint64_t declared = std::uint64_t(bytes[0]) << 24 | std::uint64_t(bytes[1]) << 16 |
                                   std::uint64_t(bytes[2]) << 8 | bytes[3];
    return declared == bytes.size() && std::memcmp(bytes.data() + 36, "acsp", 4) == 0;
}

ImageMetaPtr MakeImageMeta(std::vector<std::uint8_t> icc, std::vector<std::uint8_t> exif) {
    if (icc.empty() && exif.empty()) return nullptr;
    auto meta = std::make_shared<ImageMeta>();
    meta->icc = std::move(icc);
    meta->exif = std::move(exif);
    return meta;
}

}  // namespace platform
